// The web view control: one page of the web engine (WebKitGTK) inside a
// window. Text crossing this interface is system text (GB18030) unless a
// name says utf8; the control converts to and from the engine's UTF-8.
//
// Every operation and event runs on the GTK main thread. Every operation on a
// view whose widget does not exist (never created, or destroyed with its
// window) does nothing, and GetPageText then returns "".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "util/text.h"

typedef struct _GtkWidget GtkWidget;

namespace korvath {

class WebEngine;

// Result codes of on_loading_finish.
inline constexpr int kLoadingSucceeded = 0;
inline constexpr int kLoadingFailed = 1;
inline constexpr int kLoadingCanceled = 2;

// What a page's script asked with alert(), confirm(), prompt() or a
// beforeunload handler.
enum class ScriptDialogKind { kAlert, kConfirm, kPrompt, kLeavePage };

struct ScriptDialogRequest {
  ScriptDialogKind kind = ScriptDialogKind::kAlert;
  Text message;       // empty for a leave-page question: engines no longer pass the page's text
  Text default_text;  // prompt() only
  Text page_url;      // the page shown in the view when the script asked
};

struct WebViewOptions {
  // Loaded as soon as the view is created.
  std::optional<Text> start_url;
  // Links with this scheme (without ':', e.g. "korvath-folder") never navigate;
  // the view hands them to on_reserved_link instead.
  std::optional<Text> reserved_scheme;
  // The view shows only the page the program loads into it (LoadUrl,
  // LoadHtml; moving within it by its fragment is fine): every other
  // address a page, a frame, a new-window request or a link dropped on the
  // view asks for is refused and handed to on_refused_navigation. A view
  // whose page holds the program's handlers must not become someone else's.
  bool closed = false;
};

class WebView {
 public:
  // Creates the widget at once. The engine must outlive the view.
  explicit WebView(WebEngine& engine, WebViewOptions options = {});
  ~WebView();  // destroys the widget if it still exists
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  // The engine widget, for the window to place (e.g. in a GtkFixed). The view
  // holds its own reference: the widget lives until Destroy() or until the
  // window holding it is destroyed; nullptr from then on.
  GtkWidget* widget() const;
  bool Exists() const;
  // Destroys the widget; afterwards every operation does nothing.
  void Destroy();

  // LoadUrl and Reload always get through, whatever the page's script does:
  // until the new page starts, the page's dialogs should be answered at once
  // (LeavingPage), and a page that keeps raising them and so never lets the
  // engine start the load has its web process ended and the load made anew.
  // Views sharing that process (related views) load their page again.
  void LoadUrl(const Text& url);
  // The UTF-8 bytes become the page unchanged; base_uri (system text) is the
  // address relative links resolve against (default "about:blank").
  void LoadHtml(std::string_view html_utf8, std::optional<Text> base_uri = std::nullopt);
  void Reload();
  void GoBack();
  // The rendered text of the whole page (innerText of the first html
  // element). Waits for the page while handling window events (handlers may
  // run nested); "" on error, when the page gives none, or after 5 s.
  Text GetPageText();
  // A LoadUrl or Reload is on its way and the new page has not replaced the
  // old one yet.
  bool LeavingPage() const;
  // The page's open script dialog, if any: its script waits for the answer.
  bool HasScriptDialog() const;
  // Answers the open script dialog: accepted is OK for alert, confirm and
  // prompt (which then returns `text`) and "leave" for a leave-page question.
  // Does nothing when none is open.
  void AnswerScriptDialog(bool accepted, const Text& text = Text());

  // The address of the current page; "" when none.
  Text CurrentUrl() const;

  struct ScriptResult {
    bool ok = false;  // false: script error, no view, or timed out
    Text value;       // the result converted to a string, system text
  };
  // Runs a function body (it may use `return`) in the page's main frame and
  // waits up to timeout_ms for its value while handling window events.
  ScriptResult EvaluateScript(std::string_view body_utf8, int timeout_ms = 5000);

  // Events. `job` is a number unique within the view for one request, the
  // same in begin and end. The handlers may call operations of this view.
  // Fires for every resource request of the page (documents, frames,
  // scripts, images, downloads). Documents, frames and download clicks are
  // reported while their navigation is decided, before anything is sent;
  // scripts and images are reported as the engine starts them, which may be
  // while their request is already on its way.
  std::function<void(const Text& url, std::int64_t job)> on_load_url_begin;
  // The resource finished or failed; data_length is the body length the
  // response announced (0 when unknown or none).
  std::function<void(const Text& url, std::int64_t job, std::int64_t data_length)> on_load_url_end;
  // The main page finished (kLoadingSucceeded) or failed.
  std::function<void(const Text& url, int result, const Text& failure_reason)> on_loading_finish;
  // A page script asked for a dialog; the view holds it open until
  // AnswerScriptDialog. With no handler the engine shows its own dialog.
  std::function<void(const ScriptDialogRequest& request)> on_script_dialog;
  // The open script dialog ended without AnswerScriptDialog (the view or its
  // web process went away); whatever shows it should go too.
  std::function<void()> on_script_dialog_gone;
  // A new page replaced the old one in the view (the old one was left).
  std::function<void(const Text& url)> on_page_changed;
  // A link with the reserved scheme was followed; the page stays where it is.
  std::function<void(const Text& uri)> on_reserved_link;
  // A closed view refused to show `url`; user_clicked when the user's own
  // click on a link asked for it (not a script, a frame or a drop).
  std::function<void(const Text& url, bool user_clicked)> on_refused_navigation;
  // The page called print(), and nothing was shown: neither window has
  // anything to print, and a page calling it again and again would keep the
  // user closing print dialogs.
  std::function<void(const Text& url)> on_print_refused;

  struct State;  // engine-side state, shared with signal handlers

 private:
  std::shared_ptr<State> state_;
};

}  // namespace korvath
