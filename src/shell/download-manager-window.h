// DownloadManagerWindow: the download-manager page in a web view, in a small
// fixed window beside the main one.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "shell/script-dialog-host.h"
#include "shell/settings-messages.h"
#include "shell/task-files-deletion.h"
#include "shell/window-geometry.h"
#include "webview/web-view.h"

namespace korvath {

class EventLog;
class WebEngine;

// What the window shows: our own page from the program's resources, or an
// AriaNg all-in-one file, pointed at this run's aria2 either way.
// The name the page posts to: window.webkit.messageHandlers.korvathEngine.
inline constexpr const char* kEngineStatusMessage = "korvathEngine";

struct ManagerPage {
  std::optional<std::string> ariang_file;  // KORVATH_ARIANG
  std::string rpc_port = "6800";
  std::string rpc_secret;
  // Where "删除任务和文件" learns what a task owns; unset: the page cannot delete.
  TaskFilesLookup task_files;
  // Answers the page's question whether a finished file is what its share
  // page described (ArrivalCheckReply); unset: the page does not ask.
  std::function<std::string(const std::string& request_json)> arrival_check;
  // Answers the page's question what became of aria2 when it lost it
  // ({"state": EngineStatusName}); unset: the page does not ask.
  std::function<std::string(const std::string& request_json)> engine_status;
  // Answers the page's questions about Korvath's record (RecordReply);
  // unset: the page lists only what aria2 holds.
  std::function<std::string(const std::string& request_json)> record;
  // "": the local aria2 on rpc_port. Otherwise the http(s) or ws(s) address
  // of an aria2 on another machine; its folders are not ours to open.
  std::string rpc_url;
  // Where Korvath's and aria2's logs are, offered in the "状态" view through
  // the same folder link as a task's folder; "": not offered.
  std::string log_folder;
  // Korvath's own settings in the "设置" view; without a path the view shows
  // only aria2's.
  SettingsView settings;
  // The desktop's double-click time in ms, for the page's guard against a
  // second click landing on what the first one brought up; 0: not known,
  // the window reads it from GTK.
  int double_click_ms = 0;
};

// The HTML (UTF-8, unchanged bytes) and the document address to load it
// under; empty html when the page could not be read.
struct ManagerDocument {
  std::string html;
  std::string base_uri;
};
ManagerDocument LoadManagerDocument(const ManagerPage& page);

// base64url without padding, the form AriaNg's settings route takes.
std::string Base64Url(std::string_view bytes);

class DownloadManagerWindow {
 public:
  static constexpr int kWidth = 846;
  static constexpr int kHeight = 509;

  // Creates the window centred on the screen, stretches its web view over it
  // and loads a fresh copy of the page; shows it. `closed` runs when the
  // window is destroyed by any means.
  DownloadManagerWindow(WebEngine& engine, const ManagerPage& page, std::function<void()> closed);
  ~DownloadManagerWindow();
  DownloadManagerWindow(const DownloadManagerWindow&) = delete;
  DownloadManagerWindow& operator=(const DownloadManagerWindow&) = delete;

  bool Exists() const { return window_ != nullptr; }
  GtkWindow* window() const { return window_; }
  WebView& view() { return *view_; }
  Rect OuterRectangle() const;
  // The page's script dialogs become our own boxes from now on.
  void HostScriptDialogs(EventLog& log, bool auto_dialogs);
  // Hides, then destroys the window.
  void Close();

 private:
  GtkWindow* window_ = nullptr;
  std::unique_ptr<WebView> view_;
  std::unique_ptr<ScriptDialogHost> dialogs_;  // before the view goes
  std::function<void()> closed_;
};

// Hands an address the manager view refused to the desktop's browser (through
// xdg-open), when the user clicked it and it is an http(s) address; false
// otherwise, with nothing opened.
bool OpenClickedLinkInBrowser(const std::string& url_utf8, bool user_clicked);

// Opens the folder a "korvath-folder:" link names (percent-encoded path,
// relative to the working directory): the directory itself, or the one that
// holds the named file. Returns false when neither exists or xdg-open cannot
// be started.
bool OpenDownloadFolder(const std::string& link_utf8);

}  // namespace korvath
