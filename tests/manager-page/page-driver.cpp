#include "manager-page/page-driver.h"

#include <dirent.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

// XTest needs Xlib's types, which gdkx.h brings.
#include <gdk/gdkx.h>

#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "shell/download-manager-window.h"
#include "webview/script-messages.h"

namespace korvath::testing {

namespace {

void InitGtkOnce() {
  static bool done = [] {
    // The same environment the program's engine sets: software drawing
    // under Xvfb, and no bubblewrap sandbox when running as root.
    setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
    setenv("WEBKIT_DISABLE_DMABUF_RENDERER", "1", 0);
    if (geteuid() == 0) setenv("WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS", "1", 0);
    return gtk_init_check(nullptr, nullptr);
  }();
  (void)done;
}

long RssKiBOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return 0;
}

}  // namespace

// Both from the window's own loader, so the tests load what the program shows.
std::string ManagerPageHtml() { return LoadManagerDocument({}).html; }

std::string ManagerPageUri(int port, const std::string& secret) {
  return LoadManagerDocument({.rpc_port = std::to_string(port), .rpc_secret = secret}).base_uri;
}

std::string ScreenshotDir() {
  const char* build = std::getenv("KORVATH_BUILD_DIR");
  std::filesystem::path dir =
      std::filesystem::path(build && *build ? build : KORVATH_PAGE_BUILD_DIR) / "screenshots";
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir.string();
}

struct PageDriver::Impl {
  GtkWidget* window = nullptr;
  WebKitWebContext* context = nullptr;
  WebKitWebView* view = nullptr;
  bool loaded = false;
  bool load_failed = false;
  std::vector<std::string> dialogs;
  std::vector<std::string> navigations;
  // Handlers wait for the page they answer: they are bound to its address
  // when it is loaded.
  std::vector<std::pair<std::string, std::function<std::string(const std::string&)>>> pending_handlers;
};

namespace {

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  if (event == WEBKIT_LOAD_FINISHED) static_cast<PageDriver::Impl*>(data)->loaded = true;
}

gboolean OnLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar*, GError*, gpointer data) {
  static_cast<PageDriver::Impl*>(data)->load_failed = true;
  return FALSE;
}

gboolean OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
  static_cast<PageDriver::Impl*>(data)->dialogs.push_back(webkit_script_dialog_get_message(dialog));
  return TRUE;  // handled: nothing is shown, the page goes on
}

gboolean OnDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                        gpointer data) {
  auto* impl = static_cast<PageDriver::Impl*>(data);
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION || !impl->loaded) return FALSE;
  auto* nav = WEBKIT_NAVIGATION_POLICY_DECISION(decision);
  WebKitURIRequest* request =
      webkit_navigation_action_get_request(webkit_navigation_policy_decision_get_navigation_action(nav));
  impl->navigations.push_back(webkit_uri_request_get_uri(request));
  webkit_policy_decision_ignore(decision);
  return TRUE;
}

struct EvalState {
  bool done = false;
  std::string result;
};

void OnEvaluated(GObject* source, GAsyncResult* result, gpointer data) {
  auto* state = static_cast<EvalState*>(data);
  GError* error = nullptr;
  JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
  if (value) {
    char* json = jsc_value_to_json(value, 0);
    state->result = json ? json : "null";
    g_free(json);
    g_object_unref(value);
  } else {
    g_clear_error(&error);
  }
  state->done = true;
}

struct SnapshotState {
  bool done = false;
  bool ok = false;
  std::string path;
};

void OnSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
  auto* state = static_cast<SnapshotState*>(data);
  cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
  if (surface) {
    state->ok = cairo_surface_write_to_png(surface, state->path.c_str()) == CAIRO_STATUS_SUCCESS;
    cairo_surface_destroy(surface);
  }
  state->done = true;
}

// Iterates the default main context until done() or the deadline.
template <typename Done>
bool RunUntil(Done done, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
  return true;
}

}  // namespace

PageDriver::PageDriver(int width, int height, bool prefer_dark) : impl_(new Impl) {
  InitGtkOnce();
  g_object_set(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", prefer_dark ? TRUE : FALSE,
               nullptr);
  WebKitWebsiteDataManager* data = webkit_website_data_manager_new_ephemeral();
  impl_->context = webkit_web_context_new_with_website_data_manager(data);
  g_object_unref(data);
  impl_->view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", impl_->context, nullptr));
  impl_->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(impl_->window), width, height);
  gtk_container_add(GTK_CONTAINER(impl_->window), GTK_WIDGET(impl_->view));
  g_signal_connect(impl_->view, "load-changed", G_CALLBACK(OnLoadChanged), impl_);
  g_signal_connect(impl_->view, "load-failed", G_CALLBACK(OnLoadFailed), impl_);
  g_signal_connect(impl_->view, "script-dialog", G_CALLBACK(OnScriptDialog), impl_);
  g_signal_connect(impl_->view, "decide-policy", G_CALLBACK(OnDecidePolicy), impl_);
  gtk_widget_show_all(impl_->window);
}

PageDriver::~PageDriver() {
  g_signal_handlers_disconnect_by_data(impl_->view, impl_);
  gtk_widget_destroy(impl_->window);
  g_object_unref(impl_->context);
  Pump(50);
  delete impl_;
}

bool PageDriver::Load(const std::string& html, const std::string& base_uri) {
  impl_->loaded = false;
  impl_->load_failed = false;
  for (auto& [name, handler] : impl_->pending_handlers)
    AddScriptMessageHandler(GTK_WIDGET(impl_->view), name, base_uri, std::move(handler));
  impl_->pending_handlers.clear();
  webkit_web_view_load_html(impl_->view, html.c_str(), base_uri.c_str());
  return RunUntil([&] { return impl_->loaded; }, 20000) && !impl_->load_failed;
}

std::string PageDriver::Eval(const std::string& expression) {
  EvalState state;
  webkit_web_view_evaluate_javascript(impl_->view, expression.c_str(), -1, nullptr, nullptr, nullptr,
                                      OnEvaluated, &state);
  if (!RunUntil([&] { return state.done; }, 30000)) {
    // The callback still owns &state; keep the loop going until it comes.
    RunUntil([&] { return state.done; }, 600000);
    return {};
  }
  return state.result;
}

bool PageDriver::WaitFor(const std::string& expression, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  const std::string probe = "!!(" + expression + ")";
  while (true) {
    if (Eval(probe) == "true") return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    Pump(50);
  }
}

void PageDriver::Pump(int ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  RunUntil([&] { return std::chrono::steady_clock::now() >= until; }, ms + 1000);
}

void PageDriver::PressKey(unsigned keyval, unsigned modifiers) {
  GtkWidget* view = GTK_WIDGET(impl_->view);
  gtk_widget_grab_focus(view);
  GdkDisplay* display = gtk_widget_get_display(view);
  GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
  event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(view)));
  event->key.keyval = keyval;
  event->key.state = modifiers;
  event->key.time = GDK_CURRENT_TIME;
  gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
  // GTK reads the key from its hardware code as well: a wrong one is
  // taken for another key.
  GdkKeymapKey* keys = nullptr;
  int count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &count) &&
      count > 0)
    event->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
  g_free(keys);
  gtk_main_do_event(event);
  event->key.type = GDK_KEY_RELEASE;
  gtk_main_do_event(event);
  gdk_event_free(event);
  Pump(30);
}

void PageDriver::ClickAt(int x, int y) {
  // Through the X server's test extension, so the toolkit and the engine
  // see a real pointer: its own position, timing and click counting.
  GtkWidget* view = GTK_WIDGET(impl_->view);
  gtk_window_present(GTK_WINDOW(impl_->window));
  Pump(20);
  int origin_x = 0, origin_y = 0;
  gdk_window_get_origin(gtk_widget_get_window(view), &origin_x, &origin_y);
  if (!gtk_widget_get_has_window(view)) {
    GtkAllocation box;
    gtk_widget_get_allocation(view, &box);
    origin_x += box.x;
    origin_y += box.y;
  }
  Display* display = GDK_DISPLAY_XDISPLAY(gtk_widget_get_display(view));
  XTestFakeMotionEvent(display, -1, origin_x + x, origin_y + y, CurrentTime);
  XTestFakeButtonEvent(display, 1, True, CurrentTime);
  XTestFakeButtonEvent(display, 1, False, CurrentTime);
  XFlush(display);
  Pump(40);
}

bool PageDriver::Screenshot(const std::string& path) {
  SnapshotState state;
  state.path = path;
  webkit_web_view_get_snapshot(impl_->view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                               nullptr, OnSnapshot, &state);
  RunUntil([&] { return state.done; }, 600000);
  return state.ok;
}

void PageDriver::AddMessageHandler(const std::string& name,
                                   std::function<std::string(const std::string&)> handler) {
  impl_->pending_handlers.emplace_back(name, std::move(handler));
}

std::string PageDriver::ClipboardText() {
  gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
  std::string out = text ? text : "";
  g_free(text);
  return out;
}

const std::vector<std::string>& PageDriver::dialogs() const { return impl_->dialogs; }

const std::vector<std::string>& PageDriver::navigations() const { return impl_->navigations; }

namespace {

// The pids of this process's web-process children.
std::vector<int> WebProcessPids() {
  std::vector<int> pids;
  const pid_t self = getpid();
  DIR* proc = opendir("/proc");
  if (!proc) return pids;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto open = text.find('('), close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string state;
    int ppid = 0;
    rest >> state >> ppid;
    if (ppid == self && text.compare(open + 1, 15, "WebKitWebProces") == 0) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

}  // namespace

void* PageDriver::WebContext() const { return impl_->context; }

double PageDriver::WebProcessCpuMs() const {
  double ms = 0;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  for (int pid : WebProcessPids()) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    // Fields after the name: state is 3rd; utime and stime are 14th and 15th.
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::atoll(field.c_str());
      if (i == 15) stime = std::atoll(field.c_str());
    }
    ms += (utime + stime) * 1000.0 / tick;
  }
  return ms;
}

long PageDriver::WebProcessRssKiB() const {
  // Each driver owns a context of its own, so with one driver alive there is
  // one such child.
  long rss = 0;
  for (int pid : WebProcessPids()) rss = std::max(rss, RssKiBOf(pid));
  return rss;
}

}  // namespace korvath::testing
