// The order the program comes up and goes down in.
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>

#include "engine/aria2-bootstrap.h"
#include "engine/aria2-home.h"
#include "engine/processes.h"
#include "engine/remote-aria2.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "engine/session-restore-report.h"
#include "notice/notice.h"
#include "shell/download-folder.h"
#include "shell/install-kind.h"
#include "shell/shell.h"

namespace korvath {
namespace {

void Step(Shell& shell, const char* event, const char* step) {
  shell.desktop.Log().Record(event, {{"step", std::string(step)}});
}

[[noreturn]] void EndProgram(int code) {
  // Ends at once, wherever the call came from: shut-down may run inside a
  // nested wait of some handler, and nothing below it must resume. The web
  // engine's helper processes end when their connection to us closes.
  std::fflush(nullptr);
  _exit(code);
}

std::string WorkingDirectory() {
  std::error_code ec;
  return std::filesystem::current_path(ec).string();
}

// Recorded downloads a restart of aria2 could not add again stay in the
// record, like those refused at start-up. Called from the keeper's own timer,
// never while it looks at aria2.
void HoldAlso(Shell& shell, std::vector<SessionTask> refused) {
  if (refused.empty()) return;
  std::vector<SessionTask> held = shell.session_keeper->held();
  for (SessionTask& task : refused) {
    const bool known = std::any_of(held.begin(), held.end(), [&](const SessionTask& h) { return SameTarget(h, task); });
    if (!known) held.push_back(std::move(task));
  }
  shell.session_keeper = std::make_unique<SessionKeeper>(SessionRecordPath(shell.engine.rpc_url),
                                                         WorkingDirectory(), std::move(held));
}

// From here on the record follows aria2 within a second of every change, so
// a crash or a kill loses nothing; shut-down still writes it last.
void KeepSessionRecord(Shell& shell, std::vector<SessionTask> held) {
  shell.session_keeper = std::make_unique<SessionKeeper>(SessionRecordPath(shell.engine.rpc_url),
                                                         WorkingDirectory(), std::move(held));
  shell.session_timer = g_timeout_add(
      static_cast<unsigned>(SessionKeeper::kMinWriteIntervalMs), +[](gpointer data) -> gboolean {
        Shell& shell = *static_cast<Shell*>(data);
        if (shell.shutting_down) return G_SOURCE_CONTINUE;
        if (shell.aria2_supervisor) {
          // An aria2 started again holds nothing until the record is back
          // in it: a look now would write the downloads away.
          if (shell.aria2_supervisor->restarting()) return G_SOURCE_CONTINUE;
          HoldAlso(shell, shell.aria2_supervisor->TakeRefused());
        }
        shell.session_keeper->Look(shell.desktop, shell.engine, MonotonicMs());
        return G_SOURCE_CONTINUE;
      },
      &shell);
}

// A remote aria2 is not ours to start: when it cannot be used the user has
// been told why, and the program stays so that the settings can be fixed and
// each download offers a retry.
bool ConnectToRemoteAria2(Shell& shell) {
  Step(shell, "startup_step", "aria2");
  const bool ready = ConnectRemoteAria2(shell.desktop, shell.engine,
                                        {.rpc_url = shell.options.rpc_url,
                                         .rpc_secret = shell.options.rpc_secret,
                                         .certificate_sha256 = shell.options.certificate_sha256,
                                         .cookie = Text("Zorbit")});
  if (!ready) Step(shell, "startup_step", "remote_aria2_unusable");
  return ready;
}

// Waits for the early steps and takes over the aria2 they started, once.
void AdoptEarlyEngine(Shell& shell) {
  if (!shell.early_start) return;
  shell.early_start->Wait(shell.desktop);
  if (std::optional<EngineState> engine = shell.early_start->TakeEngine()) shell.engine = std::move(*engine);
}

}  // namespace

void DecideDownloadFolder(Shell& shell) {
  DownloadFolderSources sources = CurrentDownloadFolderSources(shell.options.user_downloads);
  sources.settings_folder = shell.options.download_folder;
  // The log and the tasks take system text; paths are the file system's UTF-8.
  shell.download_dir = Utf8ToGbk(DownloadFolder(sources));
  shell.desktop.Log().Record("download_folder", {{"folder", shell.download_dir}});
}

void StartDownloadNotifier(Shell& shell) {
  shell.notifier = std::make_unique<DownloadNotifier>(G_APPLICATION(shell.app), shell.desktop, shell.engine,
                                                      DownloadNotifierParams{.stated_sizes = shell.stated_sizes.get()});
  shell.notifier->Start();
}

std::string ProgramDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec).string();
  return exe.parent_path().string();
}

namespace {

// How our own aria2 is started, at launch and again when it ended by itself.
StartAria2Params LocalAria2Params() {
  return {.cookie = Text("Zorbit"), .program_dir = Aria2FilesDirectory(ProgramDirectory(), UserDataDir())};
}

}  // namespace

void BeginStartUp(Shell& shell) {
  EarlyStartParams params{.notice_url = shell.options.notice_url.value_or(std::string(kDefaultNoticeUrl))};
  // A remote aria2 is not ours to start.
  if (shell.options.rpc_url.empty()) params.aria2 = LocalAria2Params();
  shell.early_start = std::make_unique<EarlyStart>(shell.desktop.Log(), std::move(params));
}

bool StartUp(Shell& shell) {
  // A damaged settings file is reported before anything uses the defaults
  // that stand in for its bad lines.
  if (!shell.options.settings_message.empty()) {
    Step(shell, "startup_step", "settings_damaged");
    MessageBox(shell.desktop, Utf8ToGbk(shell.options.settings_message), kMbIconError);
  }
  // Every task goes to this folder until the user saves another one.
  DecideDownloadFolder(shell);

  // 1. The announcement, if the notice service had one (it never stops
  // start-up), and 2. our own aria2, or the program ends.
  AdoptEarlyEngine(shell);
  shell.early_start->ShowStartBoxes(shell.desktop);
  const bool remote = !shell.options.rpc_url.empty();
  bool engine_ready = true;
  if (remote) {
    engine_ready = ConnectToRemoteAria2(shell);
  } else if (!shell.early_start->aria2_started()) {
    MessageBox(shell.desktop, Gbk(u8"下载器初始化失败！可能无法执行下载操作！"), kMbIconError);
    Step(shell, "startup_step", "aria2_failed");
    return false;
  }

  // 3. Only now does the page get the whole window.
  Step(shell, "startup_step", "stretch_web_view");
  shell.main->StretchMainWebView();

  // 4. Errors are reported by the call itself; start-up ends either way.
  if (remote) {
    Step(shell, "startup_step", "global_options");
    if (engine_ready) SetGlobalOptions(shell.desktop, shell.engine);
  } else {
    shell.early_start->ShowOptionBoxes(shell.desktop);
  }

  // Downloads the last run left unfinished come back, paused. A remote aria2
  // keeps its own tasks across our restarts, and tasks recorded for the local
  // one must never be added to it: nothing is restored into it or recorded.
  Step(shell, "startup_step", "restore_session");
  if (!shell.engine.Remote()) {
    SessionRestoreResult restored =
        RestoreSessionRecord(shell.desktop, shell.engine, SessionRecordPath(shell.engine.rpc_url));
    // What could not come back stays in the record unless the user lets it go.
    if (TellRestoreOutcome(shell.desktop, restored) == RefusedChoice::kForget) restored.refused.clear();
    KeepSessionRecord(shell, std::move(restored.refused));
    // The files of a remote aria2 are on its machine, out of reach of a check.
    shell.stated_sizes = std::make_unique<StatedSizes>(StatedSizesPath());
  }
  if (shell.options.notifications) {
    StartDownloadNotifier(shell);
  }
  // From now on an aria2 of ours that ends by itself is started again.
  if (!shell.engine.Remote()) {
    shell.aria2_supervisor = std::make_unique<Aria2Supervisor>(shell, LocalAria2Params());
    shell.aria2_supervisor->Watch();
  }
  shell.ready = true;
  Step(shell, "startup_step", "ready");
  return true;
}

void ShutDown(Shell& shell, const char* reason) {
  // A signal or a second close arriving while the steps below wait must not
  // start them over.
  if (shell.shutting_down) return;
  if (shell.intakes_running > 0) {
    if (!shell.deferred_shutdown) {
      shell.deferred_shutdown = reason;
      shell.desktop.Log().Record("shutdown_step",
                                 {{"step", std::string("deferred")}, {"reason", std::string(reason)}});
    }
    return;
  }
  shell.shutting_down = true;
  shell.desktop.Log().Record("shutdown_step",
                             {{"step", std::string("begin")}, {"reason", std::string(reason)}});

  // Asked for while start-up still waits for aria2: that aria2 is ended too.
  AdoptEarlyEngine(shell);
  // Likewise an aria2 being started again after it ended by itself.
  if (shell.aria2_supervisor) shell.aria2_supervisor->Settle();

  Step(shell, "shutdown_step", "close_download_manager");
  CloseDownloadManager(shell);

  // Paused downloads keep their control files, so they can resume later. A
  // remote aria2 has no pid of ours: it is neither paused nor ended and keeps
  // downloading after we are gone.
  Step(shell, "shutdown_step", "pause_all");
  if (shell.engine.aria2_pid > 0) PauseAll(shell.desktop, shell.engine);

  // aria2 forgets its tasks when it ends; the next start adds them again.
  Step(shell, "shutdown_step", "save_session");
  if (shell.engine.aria2_pid > 0) {
    SaveSessionRecord(shell.desktop, shell.engine, SessionRecordPath(shell.engine.rpc_url),
                      WorkingDirectory(),
                      shell.session_keeper ? shell.session_keeper->held() : std::vector<SessionTask>{});
  }

  Step(shell, "shutdown_step", "end_aria2");
  TerminateProcessById(shell.engine.aria2_pid);

  Step(shell, "shutdown_step", "exit");
  EndProgram(0);
}

void InstallSignalHandlers(Shell& shell) {
  // Delivered through the main loop, so they also run inside nested waits.
  g_unix_signal_add(
      SIGTERM,
      +[](gpointer data) -> gboolean {
        ShutDown(*static_cast<Shell*>(data), "SIGTERM");
        return G_SOURCE_CONTINUE;
      },
      &shell);
  g_unix_signal_add(
      SIGINT,
      +[](gpointer data) -> gboolean {
        ShutDown(*static_cast<Shell*>(data), "SIGINT");
        return G_SOURCE_CONTINUE;
      },
      &shell);
}

}  // namespace korvath
