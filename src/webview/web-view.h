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

struct WebViewOptions {
  // Loaded as soon as the view is created.
  std::optional<Text> start_url;
  // Links with this scheme (without ':', e.g. "korvath-folder") never navigate;
  // the view hands them to on_reserved_link instead.
  std::optional<Text> reserved_scheme;
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
  // The address of the current page; "" when none.
  Text CurrentUrl() const;

  struct ScriptResult {
    bool ok = false;      // false: script error, no view, or timed out
    Text value;           // the result converted to a string, system text
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
  // A link with the reserved scheme was followed; the page stays where it is.
  std::function<void(const Text& uri)> on_reserved_link;

  struct State;  // engine-side state, shared with signal handlers

 private:
  std::shared_ptr<State> state_;
};

}  // namespace korvath
