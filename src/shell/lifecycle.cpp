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
#include "engine/download-task.h"
#include "engine/processes.h"
#include "engine/remote-aria2.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"
#include "engine/session-restore-report.h"
#include "engine/task-status.h"
#include "notice/notice.h"
#include "platform/problem-log.h"
#include "shell/download-folder.h"
#include "shell/install-kind.h"
#include "shell/kept-aria2-options.h"
#include "shell/settings-writer.h"
#include "shell/shell.h"

namespace korvath {
namespace {

void Step(Shell& shell, const char* event, const char* step) {
  shell.desktop.Log().Record(event, {{"step", std::string(step)}});
}

// Shut-down's calls to aria2 together, and the wait for an aria2 that did
// not answer them to end: the program is gone within ten seconds.
constexpr std::int64_t kShutdownCallsMs = 6000;
constexpr int kHungEndMs = 2000;

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

// From here on the record follows aria2 within a second of every change, so
// a crash or a kill loses nothing; shut-down still writes it last.
void KeepSessionRecord(Shell& shell, std::vector<SessionTask> held) {
  shell.session_keeper =
      std::make_unique<SessionKeeper>(SessionRecordPath(shell.engine.rpc_url), WorkingDirectory(),
                                      std::move(held), shell.options.keep_finished);
  shell.session_timer = g_timeout_add(
      static_cast<unsigned>(SessionKeeper::kMinWriteIntervalMs),
      +[](gpointer data) -> gboolean {
        Shell& shell = *static_cast<Shell*>(data);
        if (shell.shutting_down) return G_SOURCE_CONTINUE;
        if (shell.aria2_supervisor) {
          // An aria2 started again holds nothing until the record is back
          // in it: a look now would write the downloads away.
          if (shell.aria2_supervisor->restarting()) return G_SOURCE_CONTINUE;
          // Recorded downloads a restart could not add again stay in the
          // record, like those refused at start-up.
          shell.session_keeper->Hold(shell.aria2_supervisor->TakeRefused());
        }
        const std::int64_t now = MonotonicMs();
        shell.session_keeper->WritePending(shell.desktop, now);
        if (!shell.session_keeper->LookDue(now)) return G_SOURCE_CONTINUE;
        if (shell.task_store) {
          // aria2's tasks as the store follows them; until it has read a
          // new aria2's lists there is nothing to write.
          if (!shell.task_store->synced() || !shell.record_looks.Begin(now, true)) return G_SOURCE_CONTINUE;
          shell.session_keeper->Look(shell.desktop, shell.engine, shell.task_store->Tasks(),
                                     shell.task_store->listed_at_ms(), now);
        } else {
          if (!shell.record_looks.Begin(now, shell.activity && shell.activity->streaming()))
            return G_SOURCE_CONTINUE;
          shell.session_keeper->Look(shell.desktop, shell.engine, now);
        }
        if (shell.session_keeper->failing()) shell.record_looks.Changed();
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
  Shell* s = &shell;
  shell.notifier = std::make_unique<DownloadNotifier>(
      G_APPLICATION(shell.app), shell.desktop, shell.engine,
      DownloadNotifierParams{.stated_sizes = shell.stated_sizes.get(),
                             .schedule = &shell.notice_looks,
                             .streaming = [s] { return s->activity && s->activity->streaming(); },
                             .retrying =
                                 [s](const Text& gid) {
                                   return s->unreachable_retry &&
                                          s->unreachable_retry->Waiting(std::string(gid));
                                 },
                             .store = shell.task_store.get()});
  shell.notifier->Start();
}

void AnnounceFinishedBeforeTheEnd(Shell& shell, const std::vector<SessionTask>& finished) {
  for (const SessionTask& task : finished) {
    const std::filesystem::path file =
        std::filesystem::path(GbkToUtf8(task.dir)) / SafeFileName(GbkToUtf8(task.out));
    shell.desktop.Log().Record("download_finished_unseen", {{"path", file.string()}});
    if (!shell.notifier) continue;
    shell.notifier->Announce({.gid = Text("record-") + task.out,
                              .ok = true,
                              .name = Utf8ToGbk(file.filename().string()),
                              .folder = task.dir});
  }
}

namespace {

// A task whose server could not be reached runs again after a wait, on the
// main loop; the timer holds the retrier only weakly, as it may outlive it.
void PlanRetry(Shell& shell, const std::string& gid) {
  if (shell.shutting_down) return;
  if (!shell.unreachable_retry)
    shell.unreachable_retry = std::make_shared<UnreachableRetry>(shell.desktop, shell.engine);
  const std::optional<int> wait = shell.unreachable_retry->Failed(gid);
  if (!wait) return;
  struct Planned {
    std::weak_ptr<UnreachableRetry> retry;
    std::string gid;
  };
  g_timeout_add_full(
      G_PRIORITY_DEFAULT, static_cast<unsigned>(*wait),
      +[](gpointer data) -> gboolean {
        auto* planned = static_cast<Planned*>(data);
        if (auto retry = planned->retry.lock()) retry->TryAgain(planned->gid);
        return G_SOURCE_REMOVE;
      },
      new Planned{shell.unreachable_retry, gid}, +[](gpointer data) { delete static_cast<Planned*>(data); });
}

}  // namespace

void FollowAria2Activity(Shell& shell) {
  if (shell.activity) {
    shell.activity->Follow(shell.engine);
    // A new aria2: what the store held was the old one's.
    if (shell.task_store) shell.task_store->Reset();
    return;
  }
  Shell* s = &shell;
  shell.activity = std::make_unique<Aria2Activity>(
      shell.desktop.Log(),
      Aria2ActivityHandlers{
          .notified =
              [s](std::string_view method, std::string_view gid) {
                if (method == "aria2.onDownloadError") PlanRetry(*s, std::string(gid));
                if (s->task_store) s->task_store->Notified(method, gid);
                if (s->session_keeper &&
                    (method == "aria2.onDownloadComplete" || method == "aria2.onBtDownloadComplete"))
                  s->session_keeper->MarkComplete(s->desktop, gid, MonotonicMs());
                if (method == "aria2.onDownloadStart" && s->notifier) s->notifier->DownloadStarted();
              },
          .counted =
              [s](const Aria2Counts& counts) {
                if (s->engine_status.status() == EngineStatus::kUnreachable)
                  s->engine_status.Set(EngineStatus::kRunning);
                // A task added or removed by the manager page tells no one
                // but the counts: the store compares them with its own.
                if (s->task_store) s->task_store->Counted(counts);
              },
          .unanswered =
              [s](int misses) {
                if (s->shutting_down) return;
                // Ours is replaced; a remote one is only said to be away.
                if (s->aria2_supervisor)
                  s->aria2_supervisor->Unanswered(misses);
                else if (s->engine.Remote())
                  s->engine_status.Set(EngineStatus::kUnreachable);
              },
      });
  shell.activity->Follow(shell.engine);
  // The one copy of aria2's tasks the record keeper and the notices read.
  shell.task_store = std::make_unique<TaskStore>(
      shell.engine,
      TaskStoreParams{.ask = [s](std::string body,
                                 Aria2Answer done) { s->activity->Ask(std::move(body), std::move(done)); },
                      .streaming = [s] { return s->activity->streaming(); }});
  shell.task_store->Subscribe([s](const TaskChange&) {
    s->record_looks.Changed();
    s->notice_looks.Changed();
  });
  shell.task_store->StartTicking(static_cast<unsigned>(Aria2ActivityTiming{}.ask_every_ms));
}

void RecordHandedOverTask(Shell& shell, const DownloadTask& task) {
  if (!shell.session_keeper) return;
  const std::string out = SafeFileName(GbkToUtf8(task.name));
  shell.session_keeper->Record(shell.desktop,
                               {.uris = {task.link},
                                .dir = AbsoluteTaskDir(task.dir, Utf8ToGbk(WorkingDirectory())),
                                .out = Utf8ToGbk(out),
                                .state = "waiting"},
                               MonotonicMs());
}

std::string ProgramDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec).string();
  return exe.parent_path().string();
}

namespace {

// How our own aria2 is started, at launch and again when it ended by itself.
StartAria2Params LocalAria2Params(const Options& options) {
  const std::string logs = LogDirectory();
  return {.cookie = Text("Zorbit"),
          .program_dir = Aria2FilesDirectory(ProgramDirectory(), UserDataDir()),
          .log_file = logs.empty() ? std::nullopt : std::optional<std::string>(logs + "/aria2.log"),
          .port = options.aria2_port};
}

// Another program holds aria2's port: the user chooses between our aria2 on
// a free port and ending here. Whether our aria2 now runs on the new port;
// nullopt when the user chose to end.
std::optional<bool> OfferAnotherPort(Shell& shell) {
  const std::vector<PortListener> holders = shell.early_start->port_holders();
  const int port = FreeLoopbackPort();
  if (port == 0) {
    MessageBox(shell.desktop, PortHeldMessage(shell.options.aria2_port, holders), kMbIconError);
    return false;
  }
  bool holder_is_aria2 = false;
  for (const PortListener& holder : holders)
    holder_is_aria2 = holder_is_aria2 || holder.name.starts_with("aria2");
  Text question = PortHeldMessage(shell.options.aria2_port, holders) + Gbk(u8"\n\n点“是”：改用空闲的端口") +
                  ToText(port) +
                  Gbk(u8"启动本程序自己的aria2，以后也使用这个端口（可在下载管理的“设置”里改回6800）。\n点“否"
                      u8"”：退出本程序。");
  if (holder_is_aria2)
    question += Gbk(u8"\n\n如果那是您自己运行的aria2，也可以退出后在下载管理的“设置”里把它填为远程aria2（地址"
                    u8" http://127.0.0.1:") +
                ToText(shell.options.aria2_port) + Gbk(u8"/jsonrpc 和它的密钥），让本程序使用它。");
  const int answer = MessageBox(shell.desktop, question, kMbYesNo | kMbIconQuestion);
  shell.desktop.Log().Record("aria2_port_choice",
                             {{"port", std::int64_t{port}}, {"another_port", answer == kYes}});
  if (answer != kYes) return std::nullopt;
  shell.options.aria2_port = port;
  // The next start goes to this port at once instead of asking again.
  const SettingsSaveResult saved =
      SaveSettingsChanges(SettingsFilePath(), {{"aria2", "port", std::to_string(port)}});
  if (!saved.ok) shell.desktop.Log().Record("aria2_port_not_saved", {{"error", saved.error}});
  StartAria2Params params = LocalAria2Params(shell.options);
  shell.early_start = std::make_unique<EarlyStart>(
      shell.desktop.Log(), EarlyStartParams{.aria2 = params, .aria2_options = shell.options.aria2_options});
  shell.early_start->Wait(shell.desktop);
  AdoptEarlyEngine(shell);
  shell.early_start->ShowStartBoxes(shell.desktop);
  return shell.early_start->aria2_started();
}

}  // namespace

void BeginStartUp(Shell& shell) {
  EarlyStartParams params{.notice_url = shell.options.notice_url.value_or(std::string(kDefaultNoticeUrl))};
  // A remote aria2 is not ours to start.
  if (shell.options.rpc_url.empty()) params.aria2 = LocalAria2Params(shell.options);
  params.aria2_options = shell.options.aria2_options;
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
    const std::optional<bool> moved =
        shell.early_start->port_holders().empty() ? std::optional<bool>(false) : OfferAnotherPort(shell);
    if (!moved || !*moved) {
      // Ending was the user's own answer to the port question: no second box.
      if (moved) MessageBox(shell.desktop, Gbk(u8"下载器初始化失败！可能无法执行下载操作！"), kMbIconError);
      Step(shell, "startup_step", "aria2_failed");
      return false;
    }
  }

  // 3. Only now does the page get the whole window.
  Step(shell, "startup_step", "stretch_web_view");
  shell.main->StretchMainWebView();

  // 4. Errors are reported by the call itself; start-up ends either way.
  if (remote) {
    Step(shell, "startup_step", "global_options");
    if (engine_ready)
      SetGlobalOptions(shell.desktop, shell.engine, TaskGlobalOptions(shell.options.aria2_options));
  } else {
    shell.early_start->ShowOptionBoxes(shell.desktop);
  }

  // Downloads the last run left unfinished come back: those that were
  // running or waiting run again in their order, the paused stay paused. A remote aria2
  // keeps its own tasks across our restarts, and tasks recorded for the local
  // one must never be added to it: nothing is restored into it or recorded.
  Step(shell, "startup_step", "restore_session");
  std::vector<SessionTask> finished_before;
  if (!shell.engine.Remote()) {
    // The files of a remote aria2 are on its machine, out of reach of a check.
    shell.stated_sizes = std::make_unique<StatedSizes>(StatedSizesPath());
    SessionRestoreResult restored = RestoreSessionRecord(
        shell.desktop, shell.engine, SessionRecordPath(shell.engine.rpc_url), shell.stated_sizes.get());
    finished_before = std::move(restored.finished);
    shell.restored_sizes = std::move(restored.sizes);
    // What could not come back stays in the record unless the user lets it go.
    if (TellRestoreOutcome(shell.desktop, restored) == RefusedChoice::kForget) restored.refused.clear();
    KeepSessionRecord(shell, std::move(restored.refused));
    shell.session_keeper->AddFinished(finished_before);
  }
  FollowAria2Activity(shell);
  if (shell.options.notifications) {
    StartDownloadNotifier(shell);
  }
  AnnounceFinishedBeforeTheEnd(shell, finished_before);
  // From now on an aria2 of ours that ends by itself is started again.
  if (!shell.engine.Remote()) {
    shell.aria2_supervisor = std::make_unique<Aria2Supervisor>(shell, LocalAria2Params(shell.options));
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

  // However aria2 behaves, pausing and saving end by this deadline: a hung
  // aria2 must not keep the user's desktop waiting for minutes.
  RpcDeadline deadline(MonotonicMs() + kShutdownCallsMs);

  // Which downloads run, wait or were paused by the user is read before our
  // own pause makes them all paused: the next start runs again what ran.
  std::optional<std::vector<SessionTask>> before;
  if (shell.engine.aria2_pid > 0) {
    Step(shell, "shutdown_step", "list_tasks");
    before = ListUnfinishedTasks(shell.desktop, shell.engine, WorkingDirectory());
  }

  // Paused downloads keep their control files, so they can resume later. A
  // remote aria2 has no pid of ours: it is neither paused nor ended and keeps
  // downloading after we are gone.
  Step(shell, "shutdown_step", "pause_all");
  bool answered = false;
  if (shell.engine.aria2_pid > 0) answered = PauseAll(shell.desktop, shell.engine);

  // aria2 forgets its tasks when it ends; the next start adds them again.
  // One that did not answer the pause would not answer the lists either:
  // the keeper's record, written as tasks came and went, is the one kept.
  Step(shell, "shutdown_step", "save_session");
  if (shell.engine.aria2_pid > 0 && answered) {
    SessionSaveExtras extras{.keep_finished = shell.options.keep_finished, .before = std::move(before)};
    if (shell.session_keeper) {
      extras.held = shell.session_keeper->held();
      extras.finished = shell.session_keeper->finished();
    }
    SaveSessionRecord(shell.desktop, shell.engine, SessionRecordPath(shell.engine.rpc_url),
                      WorkingDirectory(), std::move(extras));
  }

  Step(shell, "shutdown_step", "end_aria2");
  TerminateProcessById(shell.engine.aria2_pid);
  if (shell.engine.aria2_pid > 0 && !answered &&
      !WaitForProcessEnd(shell.desktop, shell.engine.aria2_pid, kHungEndMs)) {
    // Hung too deep to act on SIGTERM: left running it would hold the port.
    shell.desktop.Log().Record("aria2_killed", {{"pid", std::int64_t{shell.engine.aria2_pid}}});
    KillProcessById(shell.engine.aria2_pid);
  }

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
