// MainWindow: the share-browsing app in a web view under a strip of four
// buttons, with the loading overlay's two labels above the page.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "shell/script-dialog-host.h"
#include "shell/window-geometry.h"
#include "util/text.h"
#include "webview/web-view.h"

typedef struct _GtkApplication GtkApplication;

namespace korvath {

class EventLog;
class WebEngine;

struct MainWindowHandlers {
  std::function<void()> about;             // 按钮_关于 clicked
  std::function<void()> download_manager;  // 按钮_下载管理 clicked
  std::function<void()> moved;             // the window's position changed
  std::function<void()> activated;         // the window became the active one
  std::function<void()> close_requested;   // the user asked to close the window
  // Every resource request of the page, after the overlay is shown.
  std::function<void(const Text& url)> request;
  // Our stand-in page asks to use another app address (UTF-8) from now on:
  // "" when it was saved, else what went wrong and what to do.
  std::function<std::string(const std::string& url)> save_app_url;
};

class MainWindow {
 public:
  static constexpr int kWidth = 590;
  static constexpr int kHeight = 709;
  // The user may make the window taller or shorter down to this, and a
  // screen too short for the template starts it shorter.
  static constexpr int kMinHeight = 400;
  // What a window manager's title bar and borders take at most, beside the
  // window's own height.
  static constexpr int kTitleBarAllowance = 40;

  // Builds the window from its template, centred on the primary screen. Not
  // shown yet.
  MainWindow(GtkApplication* app, WebEngine& engine, std::string app_url, MainWindowHandlers handlers);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Shows the window, then starts loading `app_url` (UTF-8).
  void Show();
  // Brings the window to the front (a second start of the program).
  void Present();
  GtkWindow* window() const { return window_; }
  WebView& view() { return *view_; }
  Rect OuterRectangle() const;

  // 按钮_首页: the app address again, even when it is shown already.
  void Home();
  // The address 按钮_首页 opens from now on (UTF-8).
  void SetAppUrl(std::string app_url) { app_url_ = std::move(app_url); }
  // 按钮_刷新.
  void Refresh();
  // The web view over the whole window; called once, during start-up.
  void StretchMainWebView();

  // The page's script dialogs become our own boxes from now on.
  void HostScriptDialogs(EventLog& log, bool auto_dialogs);

  void ShowLoadingOverlay();
  void HideLoadingOverlay();

  // The controls by their template names, for tests and placement.
  GtkWidget* control(const char8_t* name) const;

 private:
  struct Signals;
  void Build(GtkApplication* app);
  void OnLoadingFinish(const Text& url, int result, const Text& reason);
  // The page over the page area's `width` x `height`.
  void FitPageTo(int width, int height);
  // One of our stand-in pages, made with a fresh key, in place of the app.
  void ShowStandInPage(std::string (*page)(const std::string& key));
  std::string OnAppUrlMessage(const std::string& message_json);

  std::string app_url_;
  MainWindowHandlers handlers_;
  GtkWindow* window_ = nullptr;
  GtkWidget* overlay_ = nullptr;
  GtkWidget* page_area_ = nullptr;
  GtkWidget* about_ = nullptr;
  GtkWidget* refresh_ = nullptr;
  GtkWidget* loading_label_ = nullptr;  // 标签1
  GtkWidget* cover_ = nullptr;          // 遮挡标签
  GtkWidget* manager_button_ = nullptr;
  GtkWidget* home_ = nullptr;
  std::unique_ptr<WebView> view_;
  std::unique_ptr<ScriptDialogHost> dialogs_;  // before the view goes
  // The app address, while our local page stands in for it after it failed.
  std::string failed_url_;
  // Known only to the stand-in page while it is shown: a message without it
  // comes from some other page.
  std::string unreachable_key_;
  unsigned pending_home_ = 0;  // the load that follows a saved address
  Rect last_position_{};
  bool page_stretched_ = false;  // from then on the page follows the window's size
};

// The short local page shown when the app address cannot be reached; names
// `url` (the app address) and offers a field for another address, prefilled
// with it, which it posts to kAppUrlMessage with `key` when its own button is
// pressed. Only its own script, the one carrying `key`, runs in it.
std::string UnreachablePage(const std::string& url_utf8, const std::string& key);
// The stand-in page while the app address is still the built-in placeholder.
std::string FirstStartPage(const std::string& key);

}  // namespace korvath
