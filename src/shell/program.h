// The running program: it owns the options, the desktop, the hold on aria2
// and the windows, and puts them together at start-up and apart at the end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/early-start.h"
#include "app/engine-session.h"
#include "app/options.h"
#include "app/settings-apply.h"
#include "app/settings-file.h"
#include "shell/download-manager.h"
#include "shell/download-notifier.h"
#include "shell/gtk-desktop.h"
#include "shell/main-window.h"
#include "shell/page-requests.h"
#include "util/download-folder-name.h"
#include "webview/web-engine.h"

typedef struct _GtkApplication GtkApplication;

namespace korvath {

class Program : private RunningSettings {
 public:
  explicit Program(Options options);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Runs the main loop until the program ends; the exit code. `entered_ms`:
  // when the process began, for the start-up's log.
  int Run(std::int64_t entered_ms, const char* program_name);

 private:
  // ---- app.cpp ----
  void OnActivate();
  void BuildMainWindow();
  void Step(const char* step);

  // ---- lifecycle.cpp ----
  // Starts the steps that need no window (the announcement, our own aria2
  // and its options) beside the window's set-up; only the first instance does.
  void BeginStartUp();
  // With the main window shown: finishes the start-up steps, showing their
  // messages in order. False when the program must end (aria2 could not be
  // started); the exit code is 0.
  bool StartUp();
  bool ConnectToRemoteAria2();
  void AdoptEarlyEngine();
  std::optional<bool> OfferAnotherPort();
  StartAria2Params LocalAria2Params() const;
  // Decides the folder of the next downloads from the settings, the
  // environment and the user's folders, and logs it.
  void DecideDownloadFolder();
  // Announces finished and failed downloads from now on.
  void StartDownloadNotifier();
  // Announces downloads aria2 finished before it ended, unseen, as finished.
  void AnnounceFinishedUnseen(const std::vector<SessionTask>& finished);
  void TellRestarted(const Text& notice);
  // Runs the shut-down steps once and ends the process with exit code 0; a
  // second call (a signal during the first) returns at once. Asked for while
  // a download intake runs, it is deferred until the intake has finished.
  void ShutDown(const char* reason);
  void InstallSignalHandlers();

  // ---- program-settings.cpp ----
  void UseAria2Options(const std::map<std::string, std::string>& options) override;
  void UseDownloadFolder(const std::optional<std::string>& folder) override;
  void UseRemoteFolder(const std::string& folder) override;
  void UseNotifications(bool on) override;
  void UseAppUrl(const std::string& url) override;

  Options options_;
  GtkDesktop desktop_;
  EngineSession session_;
  Text download_dir_ = kDownloadFolderName;  // what DecideDownloadFolder() decided
  GtkApplication* app_ = nullptr;
  std::unique_ptr<EarlyStart> early_start_;  // from GTK's start-up on
  std::unique_ptr<WebEngine> web_engine_;
  std::unique_ptr<MainWindow> main_;
  std::unique_ptr<DownloadManagerHost> manager_;  // with the main window
  std::unique_ptr<PageRequestQueue> requests_;    // with the main window
  std::unique_ptr<DownloadNotifier> notifier_;    // from the end of start-up on
  bool shutting_down_ = false;
};

// The directory of the running program (/proc/self/exe).
std::string ProgramDirectory();

// The whole program: options, single instance, main loop. Returns the exit code.
int RunKorvath(int argc, char** argv);

}  // namespace korvath
