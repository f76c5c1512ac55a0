#include "app/aria2-supervisor.h"

#include <glib.h>

#include <memory>

#include "app/early-start.h"
#include "app/engine-session.h"
#include "engine/interrupted-downloads.h"
#include "engine/processes.h"
#include "engine/stated-sizes.h"
#include "platform/event-log.h"
#include "util/file-io.h"

namespace korvath {
namespace {

// How often the main loop looks whether the restart's thread is done.
constexpr unsigned kRestartPollMs = 20;

const char8_t* const kRestartedNotice = u8"下载引擎意外退出，已自动重新启动，未完成的下载会继续。";

}  // namespace

Aria2Supervisor::Aria2Supervisor(EngineSession& session, StartAria2Params params)
    : session_(session), params_(std::move(params)) {}

Aria2Supervisor::~Aria2Supervisor() {
  if (watch_) g_source_remove(watch_);
  if (poll_) g_source_remove(poll_);
}

void Aria2Supervisor::Watch() {
  const int pid = session_.engine().aria2_pid;
  if (watch_ || pid <= 0 || session_.engine().Remote()) return;
  // GLib reaps the child, so no zombie is left behind, even when it ended
  // before this call.
  watch_ = g_child_watch_add(
      pid,
      +[](GPid ended, gint status, gpointer self) {
        static_cast<Aria2Supervisor*>(self)->Ended(ended, status);
      },
      this);
}

void Aria2Supervisor::Ended(int pid, int wait_status) {
  watch_ = 0;
  const ChildEnd end = DescribeChildEnd(wait_status);
  session_.desktop().Log().Record("aria2_ended",
                                  {{"pid", std::int64_t{pid}},
                                   {end.signalled ? "signal" : "exit_code", std::int64_t{end.code}},
                                   {"shutting_down", session_.ending()}});
  if (session_.ending()) return;
  // A pid that is no longer ours must never be paused or signalled.
  if (session_.engine().aria2_pid == pid) session_.engine().aria2_pid = 0;
  ended_ms_ = MonotonicMs();
  if (!policy_.MayRestart(ended_ms_)) {
    session_.SetStatus(EngineStatus::kGivenUp);
    GiveUp(end);
    return;
  }
  session_.SetStatus(EngineStatus::kRestarting);
  Restart();
}

void Aria2Supervisor::Restart() {
  StartAria2Params params = params_;
  params.rpc_secret = session_.engine().rpc_secret;
  const std::string record = SessionRecordPath(session_.engine().rpc_url);
  const std::string base_dir = WorkingDirectory();
  // Read before anything restores it: the record alone still says which
  // downloads were running when aria2 ended.
  std::vector<SessionTask> interrupted;
  if (const std::optional<std::string> text = ReadWholeFile(record)) {
    if (const std::optional<ParsedSessionRecord> parsed = ParseSessionRecord(*text))
      interrupted = InterruptedTasks(parsed->tasks);
  }
  // The restore runs on a thread while the window's thread may note places
  // and check files: it reads a copy taken now.
  std::shared_ptr<const StatedSizes> places;
  if (session_.stated_sizes()) places = std::make_shared<const StatedSizes>(*session_.stated_sizes());
  restored_ = {};
  continued_ = 0;
  session_.desktop().Log().Record("aria2_restart",
                                  {{"interrupted", static_cast<std::int64_t>(interrupted.size())}});
  // The start-up steps run on a thread, as at launch: the window stays
  // responsive, and a click meanwhile waits in HoldWhileRestarting.
  restart_ = std::make_unique<EarlyStart>(
      session_.desktop().Log(),
      EarlyStartParams{
          .aria2 = std::move(params),
          // What the user set since the launch counts too.
          .aria2_options = session_.kept_options(),
          .then = [this, record, base_dir, interrupted, places](Desktop& desktop, const EngineState& engine) {
            restored_ = RestoreSessionRecord(desktop, engine, record, places.get());
            continued_ = ContinueInterruptedDownloads(desktop, engine, interrupted, base_dir);
          }});
  poll_ = g_timeout_add(
      kRestartPollMs,
      +[](gpointer data) -> gboolean {
        auto* self = static_cast<Aria2Supervisor*>(data);
        if (self->restart_ && !self->restart_->done()) return G_SOURCE_CONTINUE;
        self->poll_ = 0;
        self->Finish();
        return G_SOURCE_REMOVE;
      },
      this);
}

void Aria2Supervisor::Finish() {
  if (!restart_) return;
  if (poll_) {
    g_source_remove(poll_);
    poll_ = 0;
  }
  // Taken out first: a box below may run the main loop, which must not
  // finish the same restart a second time.
  std::unique_ptr<EarlyStart> finished = std::move(restart_);
  finished->Wait(session_.desktop());
  std::optional<EngineState> engine = finished->TakeEngine();
  const bool started = finished->aria2_started() && engine && engine->aria2_pid > 0;
  if (started) {
    session_.engine() = std::move(*engine);
    Watch();
    session_.SetStatus(EngineStatus::kRestarted);
    refused_ = std::move(restored_.refused);
    session_.desktop().Log().Record("aria2_restarted", {{"pid", std::int64_t{session_.engine().aria2_pid}},
                                                        {"ms", MonotonicMs() - ended_ms_},
                                                        {"restored", std::int64_t{restored_.restored}},
                                                        {"continued", std::int64_t{continued_}},
                                                        {"notice", Gbk(kRestartedNotice)}});
    session_.Restarted(restored_, Gbk(kRestartedNotice));
  } else {
    // The boxes below say why; later clicks are told as when aria2 is gone.
    session_.desktop().Log().Record("aria2_restart_failed");
    session_.SetStatus(EngineStatus::kGivenUp);
  }
  finished->ShowStartBoxes(session_.desktop());
  finished->ShowOptionBoxes(session_.desktop());
}

void Aria2Supervisor::GiveUp(const ChildEnd& last) {
  session_.desktop().Log().Record(
      "aria2_given_up", {{"ends", std::int64_t{Aria2RestartPolicy::kMostEnds}}, {"how", ChildEndText(last)}});
  const std::string conf = params_.program_dir + "/aria2.conf";
  MessageBox(
      session_.desktop(),
      Gbk(u8"下载引擎aria2一分钟内已") + ToText(Aria2RestartPolicy::kMostEnds) +
          Gbk(u8"次意外退出，最后一次是") + ChildEndText(last) +
          Gbk(u8"，不再自动重新启动，暂时无法下载。请重新启动本程序；如果仍然如此，请检查aria2的配置文件：") +
          Utf8ToGbk(conf),
      kMbIconError);
}

void Aria2Supervisor::Unanswered(int misses) {
  const int pid = session_.engine().aria2_pid;
  if (restarting() || pid <= 0 || !watch_) return;
  if (misses == 1) {
    silent_ticks_.reset();
    told_busy_ = false;
  }
  const std::optional<std::int64_t> ticks = ProcessCpuTicks(pid);
  const bool working = ticks && silent_ticks_ && *ticks > *silent_ticks_;
  silent_ticks_ = ticks;
  if (misses < kHungMisses) return;
  if (working && misses < kBusyMisses) {
    if (!std::exchange(told_busy_, true))
      session_.desktop().Log().Record("aria2_busy",
                                      {{"pid", std::int64_t{pid}}, {"misses", std::int64_t{misses}}});
    return;
  }
  session_.desktop().Log().Record("aria2_hung",
                                  {{"pid", std::int64_t{pid}}, {"misses", std::int64_t{misses}}});
  // SIGKILL: a hung aria2 would not act on SIGTERM. Its end comes through
  // the child watch and the restart path, as any other end.
  KillProcessById(pid);
}

void Aria2Supervisor::HoldWhileRestarting(int limit_ms) {
  const std::int64_t since = MonotonicMs();
  // aria2 may have ended a moment ago, its end not yet handled by the main
  // loop: the click waits for that first.
  const int pid = session_.engine().aria2_pid;
  while (!restarting() && watch_ && pid > 0 && session_.engine().aria2_pid == pid && !ProcessRunning(pid) &&
         MonotonicMs() - since < limit_ms)
    session_.desktop().DelayPumping(kRestartPollMs);
  if (!restarting()) return;
  session_.desktop().Log().Record("intake_held");
  while (restart_ && !restart_->done() && MonotonicMs() - since < limit_ms)
    session_.desktop().DelayPumping(kRestartPollMs);
  if (restart_ && restart_->done()) Finish();
  session_.desktop().Log().Record(
      "intake_released", {{"ms", MonotonicMs() - since}, {"aria2_running", session_.engine().aria2_pid > 0}});
}

void Aria2Supervisor::Settle() {
  if (!restart_) return;
  restart_->Wait(session_.desktop());
  Finish();
}

std::vector<SessionTask> Aria2Supervisor::TakeRefused() { return std::exchange(refused_, {}); }

}  // namespace korvath
