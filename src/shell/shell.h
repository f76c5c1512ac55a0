// The running program: its options, desktop, engine state and windows, and
// the operations that span more than one window.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/aria2-activity.h"
#include "app/engine-status.h"
#include "app/look-schedule.h"
#include "app/task-store.h"
#include "engine/download-task.h"
#include "engine/engine-state.h"
#include "engine/session-keeper.h"
#include "engine/stated-sizes.h"
#include "engine/unreachable-retry.h"
#include "shell/aria2-supervisor.h"
#include "shell/download-manager-window.h"
#include "shell/download-notifier.h"
#include "shell/early-start.h"
#include "shell/gtk-desktop.h"
#include "shell/main-window.h"
#include "shell/options.h"
#include "shell/settings-file.h"
#include "util/download-folder-name.h"
#include "webview/web-engine.h"

typedef struct _GtkApplication GtkApplication;

namespace korvath {

// A file the page asked for while another request was handled or before
// start-up knew which aria2 takes it, with the page's text of that moment
// when it could be read: the page may have moved on by its turn.
struct WaitingRequest {
  std::uint64_t id = 0;
  Text url;
  std::optional<Text> page_text;
};

struct PageRequests {
  std::deque<WaitingRequest> waiting;
  std::uint64_t last_id = 0;
  std::size_t dropped = 0;  // beyond the queue, since the user was last told
  std::optional<std::int64_t> last_told_ms;
  bool answering = false;     // the waiting ones are being handed to the intake
  bool reading_text = false;  // a waiting one's page text is being read
};

struct Shell {
  explicit Shell(Options opts)
      : options(std::move(opts)),
        desktop({.event_log = options.event_log, .auto_dialogs = options.auto_dialogs}) {}

  Options options;
  GtkDesktop desktop;
  EngineState engine;                       // created empty at start, released at the end
  Text download_dir = kDownloadFolderName;  // what DownloadFolder() decided at start-up
  GtkApplication* app = nullptr;
  std::unique_ptr<EarlyStart> early_start;  // from GTK's start-up on
  std::unique_ptr<WebEngine> web_engine;
  // The manager's own engine once a pinned certificate is to be trusted: the
  // engine trusts a certificate for a host on every port and for every view
  // of its context, so the share site's pages must not share that context.
  std::unique_ptr<WebEngine> pinned_web_engine;
  std::unique_ptr<MainWindow> main;
  std::unique_ptr<DownloadManagerWindow> manager;
  std::unique_ptr<DownloadNotifier> notifier;     // from the end of start-up on
  std::unique_ptr<SessionKeeper> session_keeper;  // from the end of start-up on
  // What the tasks added back at start-up hold on disk, by gid, for the page.
  std::vector<std::pair<Text, SessionRestoreResult::Size>> restored_sizes;
  // Our own aria2 from the end of start-up on; none for a remote one.
  std::unique_ptr<Aria2Supervisor> aria2_supervisor;
  // What share pages said of the local aria2's files; none for a remote one.
  std::unique_ptr<StatedSizes> stated_sizes;
  unsigned session_timer = 0;
  // What aria2 does, as it tells it, from the end of start-up on; the
  // record keeper and the notices look at aria2's lists only when it changed.
  std::unique_ptr<Aria2Activity> activity;
  // aria2's tasks as its notifications tell them, from the same moment on;
  // what the record keeper and the notices read instead of aria2's lists.
  std::unique_ptr<TaskStore> task_store;
  // Shared with the timers that wait for a task's next try, so that a timer
  // outliving it does nothing.
  std::shared_ptr<UnreachableRetry> unreachable_retry;
  EngineStatusBoard engine_status{desktop.Log()};
  LookSchedule record_looks;
  LookSchedule notice_looks;
  bool web_certificate_pinned = false;  // pinned_web_engine accepts the remote aria2's pinned certificate
  bool shutting_down = false;
  // Start-up has decided which aria2 takes downloads. Until then the page's
  // requests for files and the manager wait: either would reach for an
  // aria2 that is not there yet, or for whatever else listens on its port.
  bool ready = false;
  PageRequests page_requests;
  bool manager_wanted = false;
  // Intakes running right now, and the shut-down that asked to run while one
  // was: it waits until the intake has handed its task to aria2, so a
  // download being handed over is never dropped.
  int intakes_running = 0;
  const char* deferred_shutdown = nullptr;

  bool ManagerExists() const { return manager && manager->Exists(); }
  void LogWindow(const char* name, const char* action, Rect where);
};

// ---- download manager (download-manager.cpp) ----
void ToggleDownloadManager(Shell& shell);
void ShowDownloadManager(Shell& shell);
void CloseDownloadManager(Shell& shell);
void DockDownloadManager(Shell& shell);
void PlaceMainForDownloadManager(Shell& shell);
void RaiseDownloadManager(Shell& shell, int pause_ms = 0);

// ---- settings saved while running (settings-apply.cpp) ----
// Puts the saved values named in `changed` to use at once where the running
// program can (the folder of the next download, notifications, the app
// address of "首页"); returns the names of those it applied.
std::vector<std::string> ApplySavedSettings(Shell& shell, const Settings& saved,
                                            const std::vector<std::string>& changed);

// ---- about window (about-window.cpp) ----
// Opens AboutWindow modally over the main window; returns when it is closed.
void ShowAboutWindow(Shell& shell);

// ---- the main page's requests for files (page-requests.cpp) ----
// Hands a request the main page started to the download intake, at once or,
// while another is handled or start-up runs, when its turn comes.
void OnPageRequest(Shell& shell, const Text& url);
// Answers what waited: the manager asked for during start-up, then the
// waiting requests in order. Does nothing before start-up has ended.
void AnswerWaitingRequests(Shell& shell);

// ---- start-up and shut-down (lifecycle.cpp) ----
// Starts the steps that need no window (the announcement, our own aria2 and
// its options) beside the window's set-up; only the first instance does.
void BeginStartUp(Shell& shell);
// With the main window shown: finishes the start-up steps, showing their
// messages in order. Returns false when the program must end (aria2 could
// not be started); the exit code is 0.
bool StartUp(Shell& shell);
// Decides the folder of the next downloads from the settings, the
// environment and the user's folders, and logs it.
void DecideDownloadFolder(Shell& shell);
// Writes a task aria2 has just taken into the record at once.
void RecordHandedOverTask(Shell& shell, const DownloadTask& task);
// Follows what aria2 does from now on (again, for an aria2 started again).
void FollowAria2Activity(Shell& shell);
// Announces downloads aria2 finished before it ended, unseen, as finished.
void AnnounceFinishedBeforeTheEnd(Shell& shell, const std::vector<SessionTask>& finished);
// Announces finished and failed downloads from now on, checking finished
// files against what their share pages said.
void StartDownloadNotifier(Shell& shell);
// Runs the shut-down steps once and ends the process with exit code 0; a
// second call (a signal during the first) returns at once. Asked for while a
// download intake runs, it is deferred until the intake has finished.
void ShutDown(Shell& shell, const char* reason);
// SIGTERM and SIGINT shut down like closing the main window.
void InstallSignalHandlers(Shell& shell);

// The directory of the running program (/proc/self/exe).
std::string ProgramDirectory();

// The whole program: options, single instance, main loop. Returns the exit code.
int RunKorvath(int argc, char** argv);

}  // namespace korvath
