#include "app/engine-session.h"

#include <glib.h>

#include <filesystem>

#include "app/aria2-supervisor.h"
#include "engine/processes.h"
#include "engine/rpc-client.h"
#include "engine/task-status.h"
#include "engine/unreachable-retry.h"
#include "platform/event-log.h"

namespace korvath {
namespace {

// Shut-down's calls to aria2 together, and the wait for an aria2 that did
// not answer them to end: the program is gone within ten seconds.
constexpr std::int64_t kEndCallsMs = 6000;
constexpr int kHungEndMs = 2000;
// How long shut-down waits for a record write that is still under way.
constexpr std::int64_t kKeeperWriteWaitMs = 2000;
constexpr int kKeeperWritePollMs = 20;

void Step(Desktop& desktop, const char* step) {
  desktop.Log().Record("shutdown_step", {{"step", std::string(step)}});
}

}  // namespace

std::string WorkingDirectory() {
  std::error_code ec;
  return std::filesystem::current_path(ec).string();
}

EngineSession::EngineSession(Desktop& desktop, EngineSessionEvents events)
    : desktop_(desktop), events_(std::move(events)), status_(desktop.Log()) {}

EngineSession::~EngineSession() {
  if (keeper_timer_) g_source_remove(keeper_timer_);
}

SessionRestoreResult EngineSession::RestoreRecord() {
  // The files of a remote aria2 are on its machine, out of reach of a check.
  stated_sizes_ = std::make_unique<StatedSizes>(StatedSizesPath());
  SessionRestoreResult restored =
      RestoreSessionRecord(desktop_, engine_, SessionRecordPath(engine_.rpc_url), stated_sizes_.get());
  restored_sizes_ = restored.sizes;
  return restored;
}

void EngineSession::KeepRecord(std::vector<SessionTask> held, const std::vector<SessionTask>& finished,
                               int keep_finished) {
  keeper_ = std::make_unique<SessionKeeper>(SessionRecordPath(engine_.rpc_url), WorkingDirectory(),
                                            std::move(held), keep_finished);
  keeper_->AddFinished(finished);
  keeper_timer_ = g_timeout_add(
      static_cast<unsigned>(SessionKeeper::kMinWriteIntervalMs),
      +[](gpointer self) -> gboolean {
        static_cast<EngineSession*>(self)->KeeperTick();
        return G_SOURCE_CONTINUE;
      },
      this);
}

// From here on the record follows aria2 within a second of every change, so
// a crash or a kill loses nothing; shut-down still writes it last.
void EngineSession::KeeperTick() {
  if (ending_) return;
  if (supervisor_) {
    // An aria2 started again holds nothing until the record is back in it:
    // a look now would write the downloads away.
    if (supervisor_->restarting()) return;
    // Recorded downloads a restart could not add again stay in the record,
    // like those refused at start-up.
    keeper_->Hold(supervisor_->TakeRefused());
  }
  const std::int64_t now = MonotonicMs();
  keeper_->WritePending(desktop_, now);
  if (!keeper_->LookDue(now)) return;
  // aria2's tasks as the store follows them; until it has read a new
  // aria2's lists there is nothing to write.
  if (!store_ || !store_->synced() || !record_looks_.Begin(now, true)) return;
  keeper_->Look(desktop_, engine_, store_->Tasks(), store_->listed_at_ms(), now);
  if (keeper_->failing()) record_looks_.Changed();
}

void EngineSession::Supervise(StartAria2Params params) {
  supervisor_ = std::make_unique<Aria2Supervisor>(*this, std::move(params));
  supervisor_->Watch();
}

void EngineSession::Follow() {
  if (activity_) {
    activity_->Follow(engine_);
    // A new aria2: what the store held was the old one's.
    store_->Reset();
    return;
  }
  activity_ = std::make_unique<Aria2Activity>(
      desktop_.Log(),
      Aria2ActivityHandlers{
          .notified = [this](std::string_view method, std::string_view gid) { Notified(method, gid); },
          .counted = [this](const Aria2Counts& counts) { Counted(counts); },
          .unanswered =
              [this](int misses) {
                if (ending_) return;
                // Ours is replaced; a remote one is only said to be away.
                if (supervisor_)
                  supervisor_->Unanswered(misses);
                else if (engine_.Remote())
                  status_.Set(EngineStatus::kUnreachable);
              },
      });
  activity_->Follow(engine_);
  store_ = std::make_unique<TaskStore>(
      engine_, TaskStoreParams{.ask = [this](const std::string& body,
                                             Aria2Answer done) { activity_->Ask(body, std::move(done)); },
                               .streaming = [this] { return activity_->streaming(); }});
  store_->Subscribe([this](const TaskChange&) {
    record_looks_.Changed();
    notice_looks_.Changed();
  });
  store_->StartTicking(static_cast<unsigned>(Aria2ActivityTiming{}.ask_every_ms));
}

void EngineSession::Notified(std::string_view method, std::string_view gid) {
  if (method == "aria2.onDownloadError") PlanRetry(std::string(gid));
  store_->Notified(method, gid);
  if (keeper_ && (method == "aria2.onDownloadComplete" || method == "aria2.onBtDownloadComplete"))
    keeper_->MarkComplete(desktop_, gid, MonotonicMs());
  if (events_.notified) events_.notified(method, gid);
}

void EngineSession::Counted(const Aria2Counts& counts) {
  if (status_.status() == EngineStatus::kUnreachable) status_.Set(EngineStatus::kRunning);
  // A task added or removed by the manager page tells no one but the
  // counts: the store compares them with its own.
  store_->Counted(counts);
}

// A task whose server could not be reached runs again after a wait, on the
// main loop; the timer holds the retrier only weakly, as it may outlive it.
void EngineSession::PlanRetry(const std::string& gid) {
  if (ending_) return;
  if (!retry_) retry_ = std::make_shared<UnreachableRetry>(desktop_, engine_);
  const std::optional<int> wait = retry_->Failed(gid);
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
      new Planned{retry_, gid}, +[](gpointer data) { delete static_cast<Planned*>(data); });
}

bool EngineSession::Retrying(const Text& gid) const { return retry_ && retry_->Waiting(std::string(gid)); }

void EngineSession::RecordHandedOver(const DownloadTask& task) {
  if (!keeper_) return;
  const std::string out = SafeFileName(GbkToUtf8(task.name));
  keeper_->Record(desktop_,
                  {.uris = {task.link},
                   .dir = AbsoluteTaskDir(task.dir, Utf8ToGbk(WorkingDirectory())),
                   .out = Utf8ToGbk(out),
                   .state = "waiting"},
                  MonotonicMs());
}

void EngineSession::HoldWhileRestarting(int limit_ms) {
  if (supervisor_) supervisor_->HoldWhileRestarting(limit_ms);
}

void EngineSession::Restarted(const SessionRestoreResult& restored, const Text& notice) {
  Follow();
  if (events_.restarted) events_.restarted(notice);
  if (events_.finished_unseen) events_.finished_unseen(restored.finished);
}

void EngineSession::BeginEnd() {
  ending_ = true;
  if (supervisor_) supervisor_->Settle();
}

void EngineSession::End(int keep_finished) {
  // However aria2 behaves, pausing and saving end by this deadline: a hung
  // aria2 must not keep the user's desktop waiting for minutes.
  RpcDeadline deadline(MonotonicMs() + kEndCallsMs);
  const int pid = engine_.aria2_pid;

  // Which downloads run, wait or were paused by the user is read before our
  // own pause makes them all paused: the next start runs again what ran.
  std::optional<std::vector<SessionTask>> before;
  if (pid > 0) {
    Step(desktop_, "list_tasks");
    before = ListUnfinishedTasks(desktop_, engine_, WorkingDirectory());
  }

  // Paused downloads keep their control files, so they can resume later. A
  // remote aria2 has no pid of ours: it is neither paused nor ended and keeps
  // downloading after we are gone.
  Step(desktop_, "pause_all");
  bool answered = false;
  if (pid > 0) answered = PauseAll(desktop_, engine_);

  // aria2 forgets its tasks when it ends; the next start adds them again.
  // One that did not answer the pause would not answer the lists either:
  // the keeper's record, written as tasks came and went, is the one kept.
  Step(desktop_, "save_session");
  // A keeper's write that ran out of time may still land: written after
  // ours, its older text would be the one the next start restores.
  const std::int64_t write_wait_until = MonotonicMs() + kKeeperWriteWaitMs;
  while (keeper_ && keeper_->WriteUnderway() && MonotonicMs() < write_wait_until)
    desktop_.DelayPumping(kKeeperWritePollMs);
  const bool write_underway = keeper_ && keeper_->WriteUnderway();
  if (write_underway) desktop_.Log().Record("session_not_saved", {{"reason", std::string("write_underway")}});
  if (pid > 0 && answered && !write_underway) {
    SessionSaveExtras extras{.keep_finished = keep_finished, .before = std::move(before)};
    if (keeper_) {
      extras.held = keeper_->held();
      extras.finished = keeper_->finished();
    }
    SaveSessionRecord(desktop_, engine_, SessionRecordPath(engine_.rpc_url), WorkingDirectory(),
                      std::move(extras));
  }

  Step(desktop_, "end_aria2");
  TerminateProcessById(pid);
  if (pid > 0 && !answered && !WaitForProcessEnd(desktop_, pid, kHungEndMs)) {
    // Hung too deep to act on SIGTERM: left running it would hold the port.
    desktop_.Log().Record("aria2_killed", {{"pid", std::int64_t{pid}}});
    KillProcessById(pid);
  }
}

}  // namespace korvath
