#include "webview/web-view.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <cctype>
#include <deque>
#include <string>
#include <utility>

#include "webview/page-address.h"
#include "webview/web-engine-internal.h"
#include "webview/web-engine.h"

namespace korvath {

struct WebView::State : std::enable_shared_from_this<WebView::State> {
  WebView* owner = nullptr;  // cleared when the WebView object goes away
  WebEngine* engine = nullptr;
  GtkWidget* widget = nullptr;  // our own reference while the widget exists
  std::string reserved_scheme;  // lower case, UTF-8, without ':'
  bool closed = false;
  // The page the program last loaded (PageAddress form): in a closed view
  // the only one shown.
  std::string own_address;
  std::int64_t next_job = 1;
  // Documents already reported when their navigation was decided, waiting for
  // their resource load to start (URL in UTF-8, job). Bounded: a navigation
  // that never loads must not hold its entry for ever.
  std::deque<std::pair<std::string, std::int64_t>> announced;

  // The main load's failure, reported once the load has finished.
  bool failed = false;
  int failed_result = kLoadingFailed;
  std::string failed_url;
  std::string failed_reason;

  // The page's open script dialog (our reference), answered by the window.
  WebKitScriptDialog* dialog = nullptr;
  // The dialog whose signal is being handled right now.
  WebKitScriptDialog* announcing = nullptr;

  // A LoadUrl or Reload on its way: it must get through whatever the page's
  // script does.
  struct Leaving {
    bool active = false;
    bool started = false;  // the engine began the new load
    bool killed = false;   // we ended the web process to get it started
    std::string url;       // UTF-8, made again after the web process ended
    std::int64_t since_ms = 0;
    int dialogs = 0;  // the page's dialogs since the load was asked for
    guint timer = 0;
  } leaving;

  // What LoadHtml last loaded (UTF-8 page, base address), to load again when
  // a shared web process is ended under this view.
  std::string html;
  std::string html_base;
  bool has_html = false;

  WebKitWebView* view() const { return widget ? WEBKIT_WEB_VIEW(widget) : nullptr; }
};

namespace {

using State = WebView::State;

// Handlers may destroy the WebView or its window; each event copies what it
// needs and keeps the state alive until it returns.
template <typename Handler, typename... Args>
void Fire(State* state, Handler WebView::*member, Args&&... args) {
  auto keep = state->shared_from_this();
  if (!keep->owner) return;
  Handler handler = keep->owner->*member;
  if (handler) handler(std::forward<Args>(args)...);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  }
  return true;
}

// ---- resources ------------------------------------------------------------

struct ResourceJob {
  std::weak_ptr<State> state;
  std::int64_t job = 0;
  std::string url;  // UTF-8, as the request asked for it
};

void DeleteResourceJob(gpointer data, GClosure*) { delete static_cast<ResourceJob*>(data); }

void OnResourceFinished(WebKitWebResource* resource, gpointer data) {
  auto* job = static_cast<ResourceJob*>(data);
  auto state = job->state.lock();
  if (!state || !state->widget) return;
  std::int64_t length = 0;
  if (WebKitURIResponse* response = webkit_web_resource_get_response(resource)) {
    length = static_cast<std::int64_t>(webkit_uri_response_get_content_length(response));
  }
  Fire(state.get(), &WebView::on_load_url_end, Utf8ToGbk(job->url), job->job, length);
}

void OnResourceLoadStarted(WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest* request,
                           gpointer data) {
  auto* state = static_cast<State*>(data);
  const char* uri = webkit_uri_request_get_uri(request);
  auto* job = new ResourceJob{state->weak_from_this(), 0, uri ? uri : ""};
  auto announced = std::find_if(state->announced.begin(), state->announced.end(),
                                [&](const auto& entry) { return entry.first == job->url; });
  const bool reported = announced != state->announced.end();
  if (reported) {
    job->job = announced->second;
    state->announced.erase(announced);
  } else {
    job->job = state->next_job++;
  }
  g_signal_connect_data(resource, "finished", G_CALLBACK(OnResourceFinished), job, DeleteResourceJob,
                        GConnectFlags(0));
  if (!reported) Fire(state, &WebView::on_load_url_begin, Utf8ToGbk(job->url), job->job);
}

// A link with the download attribute goes from its navigation straight to
// the engine's download machinery (where the engine cancels it), without a
// resource load of the page: the report made when its navigation was decided
// is completed here, or made here if there was none.
void OnDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer data) {
  auto* state = static_cast<State*>(data);
  if (!state->widget || webkit_download_get_web_view(download) != state->view()) return;
  WebKitURIRequest* request = webkit_download_get_request(download);
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  const std::string url_utf8 = uri ? uri : "";
  const Text url = Utf8ToGbk(url_utf8);
  auto keep = state->shared_from_this();
  auto announced = std::find_if(state->announced.begin(), state->announced.end(),
                                [&](const auto& entry) { return entry.first == url_utf8; });
  std::int64_t job = 0;
  if (announced != state->announced.end()) {
    job = announced->second;
    state->announced.erase(announced);
  } else {
    job = state->next_job++;
    Fire(state, &WebView::on_load_url_begin, url, job);
  }
  if (keep->widget) Fire(state, &WebView::on_load_url_end, url, job, std::int64_t{0});
}

// ---- script dialogs and leaving a page ------------------------------------

// How long a navigation may wait for a page that keeps raising dialogs before
// its web process is ended: long enough for a beforeunload handler and the
// last dialogs of a loop that is about to finish, short enough to feel
// immediate.
constexpr std::int64_t kStuckPageMs = 300;

std::int64_t NowMs() { return g_get_monotonic_time() / 1000; }

ScriptDialogKind KindOf(WebKitScriptDialog* dialog) {
  switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
      return ScriptDialogKind::kConfirm;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
      return ScriptDialogKind::kPrompt;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
      return ScriptDialogKind::kLeavePage;
    default:
      return ScriptDialogKind::kAlert;
  }
}

// Ends the open dialog with the given answer; the page's script goes on.
void CloseDialog(State* state, bool accepted, const std::string& text_utf8) {
  WebKitScriptDialog* dialog = std::exchange(state->dialog, nullptr);
  if (!dialog) return;
  switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
      webkit_script_dialog_confirm_set_confirmed(dialog, accepted);
      break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
      // Left unset, prompt() returns null: what Cancel means to a page.
      if (accepted) webkit_script_dialog_prompt_set_text(dialog, text_utf8.c_str());
      break;
    default:
      break;
  }
  // Answered while its signal is still running, the engine's own reference
  // ends it once the handlers return: closing it from inside makes the engine
  // lose track of it and the page never gets its answer.
  if (dialog != state->announcing) webkit_script_dialog_close(dialog);
  webkit_script_dialog_unref(dialog);
}

// The dialog goes without an answer from the window (the page is being left
// or the view ends): leaving is what the user asked for, nothing else is
// agreed to.
void DropDialog(State* state) {
  if (!state->dialog) return;
  const bool leave =
      webkit_script_dialog_get_dialog_type(state->dialog) == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM;
  CloseDialog(state, leave, std::string());
  Fire(state, &WebView::on_script_dialog_gone);
}

void EndLeaving(State* state) {
  auto& leaving = state->leaving;
  if (leaving.timer) g_source_remove(leaving.timer);
  leaving = {};
}

gboolean CheckStuckPage(gpointer data) {
  auto* state = static_cast<State*>(data);
  auto& leaving = state->leaving;
  if (!leaving.active || leaving.started || !state->widget) {
    leaving.timer = 0;
    return G_SOURCE_REMOVE;
  }
  if (leaving.killed || NowMs() - leaving.since_ms < kStuckPageMs) return G_SOURCE_CONTINUE;
  // The page's script is still running, one dialog after another, so the
  // engine never gets to the load: only ending its web process stops it. A
  // slow server with a quiet page never gets here.
  if (state->dialog || leaving.dialogs >= 2) {
    leaving.killed = true;
    DropDialog(state);
    webkit_web_view_terminate_web_process(state->view());
  }
  return G_SOURCE_CONTINUE;
}

void StartLeaving(State* state, std::string url) {
  EndLeaving(state);
  auto& leaving = state->leaving;
  leaving.active = true;
  leaving.url = std::move(url);
  leaving.since_ms = NowMs();
  leaving.timer = g_timeout_add(50, CheckStuckPage, state);
  // A page waiting in a dialog never starts the load: answer it first.
  DropDialog(state);
}

gboolean OnPrint(WebKitWebView* view, WebKitPrintOperation*, gpointer data) {
  const char* uri = webkit_web_view_get_uri(view);
  Fire(static_cast<State*>(data), &WebView::on_print_refused, Utf8ToGbk(uri ? uri : ""));
  return TRUE;  // handled: the engine shows no print dialog
}

gboolean OnScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, gpointer data) {
  auto* state = static_cast<State*>(data);
  if (!state->owner || !state->owner->on_script_dialog) return FALSE;
  // The engine asks one at a time per view; an older one still held would be
  // a page we can no longer answer, so it goes first.
  DropDialog(state);
  if (state->leaving.active) ++state->leaving.dialogs;
  state->dialog = webkit_script_dialog_ref(dialog);
  const char* uri = webkit_web_view_get_uri(view);
  ScriptDialogRequest request{.kind = KindOf(dialog), .page_url = Utf8ToGbk(uri ? uri : "")};
  // The engine no longer passes a beforeunload handler's own text on.
  if (request.kind != ScriptDialogKind::kLeavePage)
    request.message = Utf8ToGbk(webkit_script_dialog_get_message(dialog));
  if (request.kind == ScriptDialogKind::kPrompt)
    request.default_text = Utf8ToGbk(webkit_script_dialog_prompt_get_default_text(dialog));
  auto keep = state->shared_from_this();
  keep->announcing = dialog;
  Fire(state, &WebView::on_script_dialog, request);
  keep->announcing = nullptr;
  return TRUE;
}

struct Redo {
  std::weak_ptr<State> state;
};

// The web process cannot take a load in the same turn that ended it.
gboolean LoadAgain(gpointer data) {
  std::unique_ptr<Redo> redo(static_cast<Redo*>(data));
  auto state = redo->state.lock();
  WebKitWebView* view = state ? state->view() : nullptr;
  if (!view) return G_SOURCE_REMOVE;
  const char* uri = webkit_web_view_get_uri(view);
  std::string current = uri ? uri : "";
  if (state->leaving.active) {
    state->leaving.killed = false;
    state->leaving.dialogs = 0;
    state->leaving.since_ms = NowMs();
    current = state->leaving.url;
  }
  // The page asked for, or for a view that shared the ended process its own
  // page again: a page given as text is given again (its address may have
  // moved on within the page, and nothing is behind it anyway).
  if (state->has_html && (!state->leaving.active || current == state->html_base)) {
    webkit_web_view_load_html(view, state->html.c_str(), state->html_base.c_str());
  } else if (!current.empty()) {
    webkit_web_view_load_uri(view, current.c_str());
  }
  return G_SOURCE_REMOVE;
}

void OnWebProcessTerminated(WebKitWebView*, WebKitWebProcessTerminationReason reason, gpointer data) {
  auto* state = static_cast<State*>(data);
  auto keep = state->shared_from_this();
  DropDialog(state);
  // Only our own ending of a shared process is made good here; a crash keeps
  // the engine's behaviour.
  if (reason != WEBKIT_WEB_PROCESS_TERMINATED_BY_API || !keep->widget) return;
  g_timeout_add(0, LoadAgain, new Redo{keep});
}

// ---- page loads -----------------------------------------------------------

void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data) {
  auto* state = static_cast<State*>(data);
  if (event == WEBKIT_LOAD_STARTED) {
    state->failed = false;
    state->leaving.started = true;
    return;
  }
  if (event == WEBKIT_LOAD_COMMITTED) {
    EndLeaving(state);
    const char* uri = webkit_web_view_get_uri(view);
    Fire(state, &WebView::on_page_changed, Utf8ToGbk(uri ? uri : ""));
    return;
  }
  if (event != WEBKIT_LOAD_FINISHED) return;
  // Our load failed before it replaced the page: the old page stays, and its
  // dialogs are asked again. The page's own navigation that ours cancelled
  // ends here too, and changes nothing.
  if (state->failed && state->leaving.active && state->failed_url == state->leaving.url) EndLeaving(state);
  if (state->failed) {
    state->failed = false;
    Fire(state, &WebView::on_loading_finish, Utf8ToGbk(state->failed_url), state->failed_result,
         Utf8ToGbk(state->failed_reason));
    return;
  }
  const char* uri = webkit_web_view_get_uri(view);
  Fire(state, &WebView::on_loading_finish, Utf8ToGbk(uri ? uri : ""), kLoadingSucceeded, Text());
}

gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* failing_uri, GError* error, gpointer data) {
  auto* state = static_cast<State*>(data);
  const bool cancelled = g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED) ||
                         g_error_matches(error, WEBKIT_POLICY_ERROR,
                                         WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
  state->failed = true;
  state->failed_result = cancelled ? kLoadingCanceled : kLoadingFailed;
  state->failed_url = failing_uri ? failing_uri : "";
  state->failed_reason = error && error->message ? error->message : "";
  // The engine's own error page would be a second load racing whatever page
  // the window shows for a failure; the window decides instead.
  return TRUE;
}

// ---- policy ---------------------------------------------------------------

bool IsAttachment(WebKitURIResponse* response) {
  SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
  if (!headers) return false;
  const char* disposition = soup_message_headers_get_one(headers, "Content-Disposition");
  if (!disposition) return false;
  std::string_view value = disposition;
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  return StartsWithNoCase(value, "attachment");
}

// Whether a closed view may go to `uri`: its own page, or an empty frame
// inside it (about:blank and srcdoc frames are the page's own content).
// A new window is never its own page: the view has no second window.
bool OwnPage(const State& state, const std::string& uri, WebKitPolicyDecisionType type) {
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) return false;
  if (uri == "about:blank" || uri == "about:srcdoc") return true;
  return !state.own_address.empty() && PageAddress(uri) == state.own_address;
}

gboolean OnDecidePolicy(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                        gpointer data) {
  auto* state = static_cast<State*>(data);
  if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
    auto* response_decision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(response_decision);
    // Only the download engine saves files: a response the view cannot show
    // is dropped here instead of becoming an engine download.
    if (IsAttachment(response) ||
        !webkit_response_policy_decision_is_mime_type_supported(response_decision)) {
      webkit_policy_decision_ignore(decision);
      return TRUE;
    }
    return FALSE;
  }

  auto* navigation = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(navigation);
  WebKitURIRequest* request = webkit_navigation_action_get_request(action);
  const char* uri = webkit_uri_request_get_uri(request);
  const std::string uri_text = uri ? uri : "";

  if (!state->reserved_scheme.empty() && StartsWithNoCase(uri_text, state->reserved_scheme + ":")) {
    webkit_policy_decision_ignore(decision);
    Fire(state, &WebView::on_reserved_link, Utf8ToGbk(uri_text));
    return TRUE;
  }
  if (state->closed && !OwnPage(*state, uri_text, type)) {
    webkit_policy_decision_ignore(decision);
    const bool user_clicked =
        webkit_navigation_action_get_navigation_type(action) == WEBKIT_NAVIGATION_TYPE_LINK_CLICKED &&
        webkit_navigation_action_is_user_gesture(action);
    Fire(state, &WebView::on_refused_navigation, Utf8ToGbk(uri_text), user_clicked);
    return TRUE;
  }
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    // There is no second browser window: a link aimed at a new window opens
    // here, so its requests are seen like any other.
    webkit_policy_decision_ignore(decision);
    webkit_web_view_load_request(view, request);
    return TRUE;
  }
  // A document's resource load is reported by the engine only once the
  // request may already be on the wire. Its navigation is decided before
  // anything is sent, so documents (pages, frames, download clicks) are
  // reported here and their resource load is matched up later.
  constexpr size_t kMaxAnnounced = 32;
  const std::int64_t job = state->next_job++;
  state->announced.emplace_back(uri_text, job);
  if (state->announced.size() > kMaxAnnounced) state->announced.pop_front();
  Fire(state, &WebView::on_load_url_begin, Utf8ToGbk(uri_text), job);
  return FALSE;
}

// ---- lifetime -------------------------------------------------------------

void OnDestroy(GtkWidget* widget, gpointer data) {
  auto* state = static_cast<State*>(data);
  if (state->widget != widget) return;
  DropDialog(state);
  EndLeaving(state);
  g_signal_handlers_disconnect_by_data(widget, state);
  if (state->engine) {
    g_signal_handlers_disconnect_by_data(state->engine->context(), state);
    webview_internal::ForgetEngineView(*state->engine, widget);
  }
  state->widget = nullptr;
  g_object_unref(widget);
}

// ---- scripts --------------------------------------------------------------

struct ScriptCall {
  bool done = false;
  bool timed_out = false;
  bool ok = false;
  std::string value;
};

void OnScriptDone(GObject* source, GAsyncResult* result, gpointer data) {
  auto* holder = static_cast<std::shared_ptr<ScriptCall>*>(data);
  ScriptCall& call = **holder;
  GError* error = nullptr;
  JSCValue* value =
      webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (value) {
    call.ok = true;
    if (!jsc_value_is_undefined(value) && !jsc_value_is_null(value)) {
      char* text = jsc_value_to_string(value);
      if (text) call.value = text;
      g_free(text);
    }
    g_object_unref(value);
  }
  if (error) g_error_free(error);
  call.done = true;
  delete holder;
}

gboolean OnScriptTimeout(gpointer data) {
  (*static_cast<std::shared_ptr<ScriptCall>*>(data))->timed_out = true;
  return G_SOURCE_REMOVE;
}

void DeleteScriptHolder(gpointer data) { delete static_cast<std::shared_ptr<ScriptCall>*>(data); }

}  // namespace

WebView::WebView(WebEngine& engine, WebViewOptions options) : state_(std::make_shared<State>()) {
  state_->owner = this;
  state_->engine = &engine;
  state_->closed = options.closed;
  if (options.reserved_scheme) {
    std::string scheme = GbkToUtf8(*options.reserved_scheme);
    if (!scheme.empty() && scheme.back() == ':') scheme.pop_back();
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    state_->reserved_scheme = scheme;
  }

  GtkWidget* widget = webview_internal::CreateEngineView(engine);
  // Our own reference: the widget lives until it, or the window holding it,
  // is destroyed, whether or not a container ever took it.
  g_object_ref_sink(widget);
  state_->widget = widget;
  State* data = state_.get();
  g_signal_connect(widget, "destroy", G_CALLBACK(OnDestroy), data);
  g_signal_connect(widget, "resource-load-started", G_CALLBACK(OnResourceLoadStarted), data);
  g_signal_connect(widget, "load-changed", G_CALLBACK(OnLoadChanged), data);
  g_signal_connect(widget, "load-failed", G_CALLBACK(OnLoadFailed), data);
  g_signal_connect(widget, "decide-policy", G_CALLBACK(OnDecidePolicy), data);
  g_signal_connect(widget, "script-dialog", G_CALLBACK(OnScriptDialog), data);
  g_signal_connect(widget, "print", G_CALLBACK(OnPrint), data);
  g_signal_connect(widget, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), data);
  g_signal_connect(engine.context(), "download-started", G_CALLBACK(OnDownloadStarted), data);

  if (options.start_url && !options.start_url->empty()) LoadUrl(*options.start_url);
}

WebView::~WebView() {
  state_->owner = nullptr;
  Destroy();
}

GtkWidget* WebView::widget() const { return state_->widget; }

bool WebView::Exists() const { return state_->widget != nullptr; }

void WebView::Destroy() {
  if (GtkWidget* widget = state_->widget) gtk_widget_destroy(widget);
}

void WebView::LoadUrl(const Text& url) {
  WebKitWebView* view = state_->view();
  if (!view) return;
  const std::string target = GbkToUtf8(url);
  state_->own_address = PageAddress(target);
  StartLeaving(state_.get(), target);
  state_->has_html = false;
  webkit_web_view_load_uri(view, target.c_str());
}

void WebView::LoadHtml(std::string_view html_utf8, std::optional<Text> base_uri) {
  WebKitWebView* view = state_->view();
  if (!view) return;
  const std::string html(html_utf8);
  const std::string base = base_uri ? GbkToUtf8(*base_uri) : std::string();
  state_->own_address = PageAddress(base_uri ? base : "about:blank");
  webkit_web_view_load_html(view, html.c_str(), base_uri ? base.c_str() : nullptr);
  state_->html = html;
  state_->html_base = base_uri ? base : "about:blank";
  state_->has_html = true;
}

void WebView::Reload() {
  WebKitWebView* view = state_->view();
  if (!view) return;
  const char* uri = webkit_web_view_get_uri(view);
  StartLeaving(state_.get(), uri ? uri : "");
  webkit_web_view_reload(view);
}

bool WebView::LeavingPage() const { return state_->leaving.active; }

bool WebView::HasScriptDialog() const { return state_->dialog != nullptr; }

void WebView::AnswerScriptDialog(bool accepted, const Text& text) {
  CloseDialog(state_.get(), accepted, GbkToUtf8(text));
}

void WebView::GoBack() {
  if (WebKitWebView* view = state_->view()) webkit_web_view_go_back(view);
}

Text WebView::CurrentUrl() const {
  WebKitWebView* view = state_->view();
  if (!view) return Text();
  const char* uri = webkit_web_view_get_uri(view);
  return uri ? Utf8ToGbk(uri) : Text();
}

Text WebView::GetPageText() {
  const std::string locator = std::string("document.querySelectorAll('") + "html" + "')[" + "0" + "]";
  ScriptResult result = EvaluateScript("return " + locator + ".innerText", 5000);
  return result.ok ? result.value : Text();
}

WebView::ScriptResult WebView::EvaluateScript(std::string_view body_utf8, int timeout_ms) {
  WebKitWebView* view = state_->view();
  if (!view) return {};
  auto keep = state_;  // the view may be destroyed while we wait
  g_object_ref(view);
  auto call = std::make_shared<ScriptCall>();
  GCancellable* cancellable = g_cancellable_new();
  webkit_web_view_call_async_javascript_function(
      view, body_utf8.data(), static_cast<gssize>(body_utf8.size()), nullptr, nullptr, nullptr, cancellable,
      OnScriptDone, new std::shared_ptr<ScriptCall>(call));
  guint timer =
      g_timeout_add_full(G_PRIORITY_DEFAULT, static_cast<guint>(std::max(timeout_ms, 0)), OnScriptTimeout,
                         new std::shared_ptr<ScriptCall>(call), DeleteScriptHolder);
  // The caller waits for the answer; window events keep flowing meanwhile.
  while (!call->done && !call->timed_out) g_main_context_iteration(nullptr, TRUE);
  if (!call->timed_out) g_source_remove(timer);
  if (!call->done) g_cancellable_cancel(cancellable);
  g_object_unref(cancellable);
  g_object_unref(view);
  ScriptResult result;
  if (call->done && call->ok) {
    result.ok = true;
    result.value = Utf8ToGbk(call->value);
  }
  return result;
}

}  // namespace korvath
