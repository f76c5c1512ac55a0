// The order the program comes up and goes down in.
#include <gio/gio.h>
#include <glib-unix.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "app/download-folder.h"
#include "app/kept-aria2-options.h"
#include "app/settings-writer.h"
#include "engine/aria2-home.h"
#include "engine/processes.h"
#include "engine/remote-aria2.h"
#include "engine/rpc-client.h"
#include "engine/session-restore-report.h"
#include "notice/notice.h"
#include "platform/problem-log.h"
#include "shell/install-kind.h"
#include "shell/program.h"

namespace korvath {
namespace {

[[noreturn]] void EndProgram(int code) {
  // Ends at once, wherever the call came from: shut-down may run inside a
  // nested wait of some handler, and nothing below it must resume. The web
  // engine's helper processes end when their connection to us closes.
  std::fflush(nullptr);
  _exit(code);
}

}  // namespace

// A remote aria2 is not ours to start: when it cannot be used the user has
// been told why, and the program stays so that the settings can be fixed and
// each download offers a retry.
bool Program::ConnectToRemoteAria2() {
  Step("aria2");
  const bool ready = ConnectRemoteAria2(desktop_, session_.engine(),
                                        {.rpc_url = options_.rpc_url,
                                         .rpc_secret = options_.rpc_secret,
                                         .certificate_sha256 = options_.certificate_sha256,
                                         .cookie = Text("Zorbit")});
  if (!ready) Step("remote_aria2_unusable");
  return ready;
}

// Waits for the early steps and takes over the aria2 they started, once.
void Program::AdoptEarlyEngine() {
  if (!early_start_) return;
  early_start_->Wait(desktop_);
  if (std::optional<EngineState> engine = early_start_->TakeEngine()) session_.Adopt(std::move(*engine));
}

void Program::DecideDownloadFolder() {
  DownloadFolderSources sources = CurrentDownloadFolderSources(options_.user_downloads);
  sources.settings_folder = options_.download_folder;
  // The log and the tasks take system text; paths are the file system's UTF-8.
  download_dir_ = Utf8ToGbk(DownloadFolder(sources));
  desktop_.Log().Record("download_folder", {{"folder", download_dir_}});
}

void Program::StartDownloadNotifier() {
  EngineSession* session = &session_;
  notifier_ = std::make_unique<DownloadNotifier>(
      G_APPLICATION(app_), desktop_, session_.engine(),
      DownloadNotifierParams{.stated_sizes = session_.stated_sizes(),
                             .schedule = &session_.notice_looks(),
                             .streaming = [session] { return session->streaming(); },
                             .retrying = [session](const Text& gid) { return session->Retrying(gid); },
                             .store = session_.tasks()});
  notifier_->Start();
}

void Program::AnnounceFinishedUnseen(const std::vector<SessionTask>& finished) {
  for (const SessionTask& task : finished) {
    const std::filesystem::path file =
        std::filesystem::path(GbkToUtf8(task.dir)) / SafeFileName(GbkToUtf8(task.out));
    desktop_.Log().Record("download_finished_unseen", {{"path", file.string()}});
    if (!notifier_) continue;
    notifier_->Announce({.gid = Text("record-") + task.out,
                         .ok = true,
                         .name = Utf8ToGbk(file.filename().string()),
                         .folder = task.dir});
  }
}

void Program::TellRestarted(const Text& notice) {
  GApplication* app = app_ ? G_APPLICATION(app_) : nullptr;
  if (!app || !g_application_get_is_registered(app)) return;
  GNotification* notification = g_notification_new(GbkToUtf8(notice).c_str());
  g_application_send_notification(app, "aria2-restarted", notification);
  g_object_unref(notification);
}

std::string ProgramDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec).string();
  return exe.parent_path().string();
}

// How our own aria2 is started, at launch and again when it ended by itself.
StartAria2Params Program::LocalAria2Params() const {
  const std::string logs = LogDirectory();
  return {.cookie = Text("Zorbit"),
          .program_dir = Aria2FilesDirectory(ProgramDirectory(), UserDataDir()),
          .log_file = logs.empty() ? std::nullopt : std::optional<std::string>(logs + "/aria2.log"),
          .port = options_.aria2_port};
}

// Another program holds aria2's port: the user chooses between our aria2 on
// a free port and ending here. Whether our aria2 now runs on the new port;
// nullopt when the user chose to end.
std::optional<bool> Program::OfferAnotherPort() {
  const std::vector<PortListener> holders = early_start_->port_holders();
  const int port = FreeLoopbackPort();
  if (port == 0) {
    MessageBox(desktop_, PortHeldMessage(options_.aria2_port, holders), kMbIconError);
    return false;
  }
  bool holder_is_aria2 = false;
  for (const PortListener& holder : holders)
    holder_is_aria2 = holder_is_aria2 || holder.name.starts_with("aria2");
  Text question = PortHeldMessage(options_.aria2_port, holders) + Gbk(u8"\n\n点“是”：改用空闲的端口") +
                  ToText(port) +
                  Gbk(u8"启动本程序自己的aria2，以后也使用这个端口（可在下载管理的“设置”里改回6800）。\n点“否"
                      u8"”：退出本程序。");
  if (holder_is_aria2)
    question += Gbk(u8"\n\n如果那是您自己运行的aria2，也可以退出后在下载管理的“设置”里把它填为远程aria2（地址"
                    u8" http://127.0.0.1:") +
                ToText(options_.aria2_port) + Gbk(u8"/jsonrpc 和它的密钥），让本程序使用它。");
  const int answer = MessageBox(desktop_, question, kMbYesNo | kMbIconQuestion);
  desktop_.Log().Record("aria2_port_choice",
                        {{"port", std::int64_t{port}}, {"another_port", answer == kYes}});
  if (answer != kYes) return std::nullopt;
  options_.aria2_port = port;
  // The next start goes to this port at once instead of asking again.
  const SettingsSaveResult saved =
      SaveSettingsChanges(SettingsFilePath(), {{"aria2", "port", std::to_string(port)}});
  if (!saved.ok) desktop_.Log().Record("aria2_port_not_saved", {{"error", saved.error}});
  early_start_ = std::make_unique<EarlyStart>(
      desktop_.Log(), EarlyStartParams{.aria2 = LocalAria2Params(), .aria2_options = options_.aria2_options});
  early_start_->Wait(desktop_);
  AdoptEarlyEngine();
  early_start_->ShowStartBoxes(desktop_);
  return early_start_->aria2_started();
}

void Program::BeginStartUp() {
  EarlyStartParams params{.notice_url = options_.notice_url.value_or(std::string(kDefaultNoticeUrl))};
  // A remote aria2 is not ours to start.
  if (options_.rpc_url.empty()) params.aria2 = LocalAria2Params();
  params.aria2_options = options_.aria2_options;
  early_start_ = std::make_unique<EarlyStart>(desktop_.Log(), std::move(params));
}

bool Program::StartUp() {
  // A damaged settings file is reported before anything uses the defaults
  // that stand in for its bad lines.
  if (!options_.settings_message.empty()) {
    Step("settings_damaged");
    MessageBox(desktop_, Utf8ToGbk(options_.settings_message), kMbIconError);
  }
  // Every task goes to this folder until the user saves another one.
  DecideDownloadFolder();

  // 1. The announcement, if the notice service had one (it never stops
  // start-up), and 2. our own aria2, or the program ends.
  AdoptEarlyEngine();
  early_start_->ShowStartBoxes(desktop_);
  const bool remote = !options_.rpc_url.empty();
  bool engine_ready = true;
  if (remote) {
    engine_ready = ConnectToRemoteAria2();
  } else if (!early_start_->aria2_started()) {
    const std::optional<bool> moved =
        early_start_->port_holders().empty() ? std::optional<bool>(false) : OfferAnotherPort();
    if (!moved || !*moved) {
      // Ending was the user's own answer to the port question: no second box.
      if (moved) MessageBox(desktop_, Gbk(u8"下载器初始化失败！可能无法执行下载操作！"), kMbIconError);
      Step("aria2_failed");
      return false;
    }
  }

  // 3. Only now does the page get the whole window.
  Step("stretch_web_view");
  main_->StretchMainWebView();

  // 4. Errors are reported by the call itself; start-up ends either way.
  if (remote) {
    Step("global_options");
    if (engine_ready)
      SetGlobalOptions(desktop_, session_.engine(), TaskGlobalOptions(options_.aria2_options));
  } else {
    early_start_->ShowOptionBoxes(desktop_);
  }

  // Downloads the last run left unfinished come back: those that were
  // running or waiting run again in their order, the paused stay paused. A
  // remote aria2 keeps its own tasks across our restarts, and tasks recorded
  // for the local one must never be added to it: nothing is restored into it
  // or recorded.
  Step("restore_session");
  std::vector<SessionTask> finished_before;
  if (!session_.engine().Remote()) {
    SessionRestoreResult restored = session_.RestoreRecord();
    finished_before = std::move(restored.finished);
    // What could not come back stays in the record unless the user lets it go.
    if (TellRestoreOutcome(desktop_, restored) == RefusedChoice::kForget) restored.refused.clear();
    session_.KeepRecord(std::move(restored.refused), finished_before, options_.keep_finished);
  }
  session_.Follow();
  if (options_.notifications) StartDownloadNotifier();
  AnnounceFinishedUnseen(finished_before);
  // From now on an aria2 of ours that ends by itself is started again.
  if (!session_.engine().Remote()) session_.Supervise(LocalAria2Params());
  Step("ready");
  return true;
}

void Program::ShutDown(const char* reason) {
  // A signal or a second close arriving while the steps below wait must not
  // start them over.
  if (shutting_down_) return;
  if (requests_ && requests_->DeferShutDown(reason)) return;
  shutting_down_ = true;
  desktop_.Log().Record("shutdown_step", {{"step", std::string("begin")}, {"reason", std::string(reason)}});

  // An aria2 of ours that ends from now on is not started again, and one
  // being started again after it ended by itself is taken over to be ended.
  session_.BeginEnd();
  // Likewise, asked for while start-up still waits for aria2: that aria2 is
  // ended too.
  AdoptEarlyEngine();

  desktop_.Log().Record("shutdown_step", {{"step", std::string("close_download_manager")}});
  if (manager_) manager_->Close();

  session_.End(options_.keep_finished);

  desktop_.Log().Record("shutdown_step", {{"step", std::string("exit")}});
  EndProgram(0);
}

void Program::InstallSignalHandlers() {
  // Delivered through the main loop, so they also run inside nested waits.
  g_unix_signal_add(
      SIGTERM,
      +[](gpointer self) -> gboolean {
        static_cast<Program*>(self)->ShutDown("SIGTERM");
        return G_SOURCE_CONTINUE;
      },
      this);
  g_unix_signal_add(
      SIGINT,
      +[](gpointer self) -> gboolean {
        static_cast<Program*>(self)->ShutDown("SIGINT");
        return G_SOURCE_CONTINUE;
      },
      this);
}

}  // namespace korvath
