#include "shell/main-window.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "app/options.h"
#include "shell/gtk-desktop.h"
#include "shell/page-reply.h"
#include "shell/page-resources.h"
#include "shell/settings-messages.h"
#include "shell/window-placement.h"
#include "shell/window-styles.h"
#include "util/random-key.h"
#include "webview/page-address.h"
#include "webview/script-messages.h"
#include "webview/web-engine.h"

namespace korvath {
namespace {

const char* U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

GtkWidget* MakeButton(const char8_t* name, const char8_t* caption) {
  GtkWidget* b = gtk_button_new_with_label(U8(caption));
  gtk_widget_set_name(b, U8(name));
  gtk_style_context_add_class(gtk_widget_get_style_context(b), "korvath-control");
  return b;
}

// Escapes text for the inside of an HTML element or attribute.
std::string HtmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace

std::string UnreachablePage(const std::string& url_utf8, const std::string& key) {
  const std::string url = HtmlEscape(url_utf8);
  return FillPage(ResourceText("/org/korvath/unreachable-page.html"),
                  {{"heading", U8(u8"无法连接分享站点")},
                   {"what", U8(u8"无法打开：<code>") + url + "</code>"},
                   {"advice", U8(u8"请检查网络连接后点击“刷新”或“首页”重试。")},
                   {"label", U8(u8"或者改用其他地址（保存后立即打开，以后每次启动也使用它）：")},
                   {"field", url},
                   {"key", HtmlEscape(key)}});
}

std::string FirstStartPage(const std::string& key) {
  return FillPage(ResourceText("/org/korvath/unreachable-page.html"),
                  {{"heading", U8(u8"还没有设置分享站点")},
                   {"what", U8(u8"Korvath 自带的只是一个占位地址，它打不开任何网站。")},
                   {"advice", U8(u8"请在下面填写分享站点的地址（以 https:// 开头），然后点“保存并打开”。")},
                   {"label", U8(u8"分享站点的地址（保存后立即打开，以后每次启动也使用它）：")},
                   {"field", ""},
                   {"key", HtmlEscape(key)}});
}

MainWindow::MainWindow(GtkApplication* app, WebEngine& engine, std::string app_url,
                       MainWindowHandlers handlers)
    : app_url_(std::move(app_url)), handlers_(std::move(handlers)) {
  InstallShellStyles();
  view_ = std::make_unique<WebView>(engine);
  Build(app);
  view_->on_load_url_begin = [this](const Text& url, std::int64_t) {
    ShowLoadingOverlay();
    if (handlers_.request) handlers_.request(url);
  };
  view_->on_load_url_end = [this](const Text&, std::int64_t, std::int64_t) { HideLoadingOverlay(); };
  view_->on_loading_finish = [this](const Text& url, int result, const Text& reason) {
    HideLoadingOverlay();
    OnLoadingFinish(url, result, reason);
  };
  // Only our stand-in page, shown as about:blank, may ask; its key proves
  // it is ours and not some other blank page.
  AddScriptMessageHandler(view_->widget(), kAppUrlMessage, "about:blank",
                          [this](const std::string& m) { return OnAppUrlMessage(m); });
}

MainWindow::~MainWindow() {
  if (pending_home_) g_source_remove(pending_home_);
  dialogs_.reset();
  if (window_) {
    g_signal_handlers_disconnect_by_data(window_, this);
    gtk_widget_destroy(GTK_WIDGET(window_));
  }
}

void MainWindow::Build(GtkApplication* app) {
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  if (app) gtk_window_set_application(window_, app);
  gtk_window_set_title(window_, "Korvath - Fenlow");
  // The template's height does not fit a laptop's screen less its panel and
  // the window's title bar: there the window starts shorter.
  const Rect work = WorkAreaAt({});
  int height = kHeight;
  if (work.height > 0 && work.height < kHeight + kTitleBarAllowance)
    height = std::max(kMinHeight, work.height - kTitleBarAllowance);
  gtk_window_set_default_size(window_, kWidth, height);

  // The page lies under every other control, so it is the overlay's main
  // child; the controls float above it. A web view's natural height is its
  // page's whole height: the page area is a GtkLayout, whose size is its own
  // request alone, or a long page would stretch the window.
  overlay_ = gtk_overlay_new();
  page_area_ = gtk_layout_new(nullptr, nullptr);
  gtk_widget_set_size_request(page_area_, kWidth, kMinHeight);
  g_signal_connect(page_area_, "size-allocate",
                   G_CALLBACK(+[](GtkWidget*, GdkRectangle* area, gpointer data) {
                     auto* self = static_cast<MainWindow*>(data);
                     if (self->page_stretched_) self->FitPageTo(area->width, area->height);
                   }),
                   this);
  gtk_container_add(GTK_CONTAINER(overlay_), page_area_);
  gtk_container_add(GTK_CONTAINER(window_), overlay_);

  about_ = MakeButton(u8"按钮_关于", u8"关于");
  refresh_ = MakeButton(u8"按钮_刷新", u8"刷新");
  loading_label_ = gtk_label_new(U8(u8"载入中……"));
  gtk_widget_set_name(loading_label_, "korvath-loading");
  cover_ = gtk_label_new("");
  gtk_widget_set_name(cover_, "korvath-cover");
  manager_button_ = MakeButton(u8"按钮_下载管理", u8"下载管理");
  home_ = MakeButton(u8"按钮_首页", u8"首页");

  // Controls created first lie on top; overlay children added last lie on
  // top, so they go in in reverse order of creation.
  auto* ov = GTK_OVERLAY(overlay_);
  gtk_widget_set_size_request(view_->widget(), 69, 48);
  gtk_layout_put(GTK_LAYOUT(page_area_), view_->widget(), 0, 0);
  PlaceControl(ov, home_, {264, 16, 64, 24});
  PlaceControl(ov, manager_button_, {424, 16, 64, 24});
  PlaceControl(ov, cover_, {24, 232, 58, 68});
  PlaceControl(ov, loading_label_, {136, 264, 336, 144});
  PlaceControl(ov, refresh_, {344, 16, 64, 24});
  PlaceControl(ov, about_, {504, 16, 64, 24});
  // The row of buttons, left to right: with the desktop's text made larger
  // a caption would spill out of its 64 pixels, so the buttons grow instead.
  GrowWithText(home_);
  GrowWithText(refresh_, home_);
  GrowWithText(manager_button_, refresh_);
  GrowWithText(about_, manager_button_);

  g_signal_connect_swapped(home_, "clicked", G_CALLBACK(+[](MainWindow* w) { w->Home(); }), this);
  g_signal_connect_swapped(refresh_, "clicked", G_CALLBACK(+[](MainWindow* w) { w->Refresh(); }), this);
  g_signal_connect_swapped(manager_button_, "clicked", G_CALLBACK(+[](MainWindow* w) {
                             if (w->handlers_.download_manager) w->handlers_.download_manager();
                           }),
                           this);
  g_signal_connect_swapped(about_, "clicked", G_CALLBACK(+[](MainWindow* w) {
                             if (w->handlers_.about) w->handlers_.about();
                           }),
                           this);

  OfferCloseAndMinimiseOnly(window_, /*resizable=*/true);
  g_signal_connect(window_, "configure-event",
                   G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* self = static_cast<MainWindow*>(data);
                     Rect now = self->OuterRectangle();
                     if (now.left != self->last_position_.left || now.top != self->last_position_.top) {
                       self->last_position_ = now;
                       if (self->handlers_.moved) self->handlers_.moved();
                     }
                     return FALSE;
                   }),
                   this);
  g_signal_connect(window_, "notify::is-active", G_CALLBACK(+[](GtkWindow* w, GParamSpec*, gpointer data) {
                     auto* self = static_cast<MainWindow*>(data);
                     if (gtk_window_is_active(w) && self->handlers_.activated) self->handlers_.activated();
                   }),
                   this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer data) -> gboolean {
                     auto* self = static_cast<MainWindow*>(data);
                     if (self->handlers_.close_requested) self->handlers_.close_requested();
                     // Shut-down ends the program; the window is never
                     // destroyed underneath a handler that is still running.
                     return TRUE;
                   }),
                   this);

  // Centred by the template's own formula rather than the window manager's,
  // within the work area where the screen is too small for it.
  ScreenSize screen = PrimaryScreenSize();
  Rect place{Truncate((screen.width - kWidth) / 2.0), Truncate((screen.height - kHeight) / 2.0), kWidth,
             height};
  if (work.width > 0) place = KeptInside(place, work);
  gtk_window_set_position(window_, GTK_WIN_POS_NONE);
  MoveWindowTo(window_, place.left, place.top);
  last_position_ = place;
}

void MainWindow::Show() {
  gtk_widget_show_all(GTK_WIDGET(window_));
  // The first load starts the web process, a few hundred milliseconds of
  // work: the window reaches the screen before it, not after.
  gdk_display_flush(gtk_widget_get_display(GTK_WIDGET(window_)));
  Home();
}

void MainWindow::Present() { gtk_window_present(window_); }

Rect MainWindow::OuterRectangle() const { return OuterRect(window_); }

void MainWindow::Home() {
  failed_url_.clear();
  unreachable_key_.clear();
  // The built-in address never resolves: asking the network would only end
  // in blaming it.
  if (app_url_ == kDefaultAppUrl) {
    ShowStandInPage(FirstStartPage);
    return;
  }
  view_->LoadUrl(Utf8ToGbk(app_url_));
}

void MainWindow::ShowStandInPage(std::string (*page)(const std::string& key)) {
  unreachable_key_ = RandomHexKey();
  view_->LoadHtml(page(unreachable_key_), Text("about:blank"));
}

void MainWindow::Refresh() {
  // Reloading our stand-in page would only show it again: try the address
  // that failed instead.
  if (!failed_url_.empty()) {
    std::string url = failed_url_;
    failed_url_.clear();
    unreachable_key_.clear();
    view_->LoadUrl(Utf8ToGbk(url));
    return;
  }
  view_->Reload();
}

void MainWindow::HostScriptDialogs(EventLog& log, bool auto_dialogs) {
  dialogs_ = std::make_unique<ScriptDialogHost>(*view_, window_, log, "main", auto_dialogs);
}

void MainWindow::StretchMainWebView() {
  page_stretched_ = true;
  GtkAllocation area;
  gtk_widget_get_allocation(page_area_, &area);
  // Before the first layout the page area has no size yet; the window's
  // inside is the one it is about to get.
  if (area.width <= 1 || area.height <= 1) gtk_window_get_size(window_, &area.width, &area.height);
  FitPageTo(area.width, area.height);
}

void MainWindow::FitPageTo(int width, int height) {
  // Exactly the page area: the window's frame is outside it. Asked only on a
  // change, since the ask itself lays the page area out again.
  int now_width = 0, now_height = 0;
  gtk_widget_get_size_request(view_->widget(), &now_width, &now_height);
  if (now_width != width || now_height != height) gtk_widget_set_size_request(view_->widget(), width, height);
}

void MainWindow::ShowLoadingOverlay() {
  Rect r = OuterRectangle();
  MoveControl(cover_, {0, 50, r.width, r.height});
  gtk_widget_show(cover_);
  gtk_widget_show(loading_label_);
}

void MainWindow::HideLoadingOverlay() {
  MoveControl(cover_, {0, 50, 0, 0});
  gtk_widget_hide(cover_);
  gtk_widget_hide(loading_label_);
}

void MainWindow::OnLoadingFinish(const Text& url, int result, const Text&) {
  if (result != kLoadingFailed) return;
  // Only the app address itself failing leaves the window with nothing to
  // show. Any other failed load is one the share site (or a page posing as
  // it) started: offering its address as the app address would let a page
  // choose what the window opens from now on, so the old page stays.
  if (PageAddress(GbkToUtf8(url)) != PageAddress(app_url_)) return;
  // The page's base address is our own, not the failed one, so nothing on it
  // can pass for the share site.
  failed_url_ = app_url_;
  unreachable_key_ = RandomHexKey();
  view_->LoadHtml(UnreachablePage(app_url_, unreachable_key_), Text("about:blank"));
}

std::string MainWindow::OnAppUrlMessage(const std::string& message_json) {
  auto reply = [](bool ok, const std::string& error) {
    nlohmann::json r = {{"ok", ok}};
    if (!ok) r["error"] = error;
    return PageReplyText(r);
  };
  // The handler belongs to this view, whose page is usually the remote app:
  // only our stand-in page, while it is the page shown, may change settings.
  const nlohmann::json request = nlohmann::json::parse(message_json, nullptr, false);
  const bool ours = !unreachable_key_.empty() && request.is_object() && request.contains("key") &&
                    request["key"].is_string() && request["key"].get<std::string>() == unreachable_key_ &&
                    GbkToUtf8(view_->CurrentUrl()) == "about:blank";
  if (!ours) return reply(false, U8(u8"这个页面不能更改设置。"));
  const std::string url =
      request.contains("url") && request["url"].is_string() ? request["url"].get<std::string>() : "";
  const std::string error =
      handlers_.save_app_url ? handlers_.save_app_url(url) : U8(u8"这个窗口不能保存设置。");
  if (!error.empty()) return reply(false, error);
  app_url_ = url;
  // The page gets its answer first; the new address replaces it right after.
  if (!pending_home_)
    pending_home_ = g_idle_add(
        +[](gpointer data) -> gboolean {
          auto* self = static_cast<MainWindow*>(data);
          self->pending_home_ = 0;
          self->Home();
          return G_SOURCE_REMOVE;
        },
        this);
  return reply(true, "");
}

GtkWidget* MainWindow::control(const char8_t* name) const {
  const std::u8string n(name);
  if (n == u8"按钮_关于") return about_;
  if (n == u8"按钮_刷新") return refresh_;
  if (n == u8"标签1") return loading_label_;
  if (n == u8"遮挡标签") return cover_;
  if (n == u8"按钮_下载管理") return manager_button_;
  if (n == u8"按钮_首页") return home_;
  if (n == u8"精易Web浏览器1") return view_->widget();
  return nullptr;
}

}  // namespace korvath
