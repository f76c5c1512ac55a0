// The program's hold on aria2 while it runs, with no window of its own:
// which aria2 takes the downloads, what it is doing (its notifications and
// counts), the record that outlives it, tasks tried again after an
// unreachable server, and our own aria2 started again when it ends or hangs.
// The windows ask it what they need and subscribe to what it tells; none of
// its parts is reached from outside.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/aria2-activity.h"
#include "app/engine-status.h"
#include "app/look-schedule.h"
#include "app/task-store.h"
#include "engine/aria2-bootstrap.h"
#include "engine/download-task.h"
#include "engine/engine-state.h"
#include "engine/session-keeper.h"
#include "engine/session-record.h"
#include "engine/stated-sizes.h"
#include "platform/desktop.h"

namespace korvath {

class Aria2Supervisor;
class UnreachableRetry;

struct EngineSessionEvents {
  // aria2 told that the download `gid` started, paused, stopped, completed
  // or failed ("aria2.onDownloadStart", …).
  std::function<void(std::string_view method, std::string_view gid)> notified;
  // Downloads aria2 finished before it ended, which no look saw finished.
  std::function<void(const std::vector<SessionTask>& finished)> finished_unseen;
  // Our aria2 was started again and took the unfinished downloads back;
  // `notice` is what to tell the user.
  std::function<void(const Text& notice)> restarted;
};

class EngineSession {
 public:
  // `desktop` must outlive the session.
  EngineSession(Desktop& desktop, EngineSessionEvents events);
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  Desktop& desktop() const { return desktop_; }

  // The aria2 that takes downloads: empty until start-up fills it (from our
  // own aria2, or the remote one it connected to).
  EngineState& engine() { return engine_; }
  const EngineState& engine() const { return engine_; }
  void Adopt(EngineState engine) { engine_ = std::move(engine); }

  // The user's aria2 options (the settings file's), sent before every
  // download and at every start of our aria2.
  const std::map<std::string, std::string>& kept_options() const { return kept_options_; }
  void SetKeptOptions(std::map<std::string, std::string> options) { kept_options_ = std::move(options); }

  // ---- start-up, our own aria2 only ----
  // Adds the recorded downloads back into aria2; what came back, what did
  // not and what had finished, for the user to be told.
  SessionRestoreResult RestoreRecord();
  // From now on the record follows aria2 within a second of every change.
  // `held`: recorded tasks aria2 did not take back; `finished`: downloads the
  // start found finished, kept listed like the others.
  void KeepRecord(std::vector<SessionTask> held, const std::vector<SessionTask>& finished, int keep_finished);
  // From now on our aria2 is started again (with `params`) when it ends by
  // itself or hangs.
  void Supervise(StartAria2Params params);

  // Follows what aria2 does from now on (again, for an aria2 started again).
  void Follow();

  // ---- while running ----
  // A task aria2 has just taken, written into the record at once.
  void RecordHandedOver(const DownloadTask& task);
  // A download asked for while our aria2 is being started again waits for
  // it, `limit_ms` at most, handling window events meanwhile.
  void HoldWhileRestarting(int limit_ms);

  EngineStatus status() const { return status_.status(); }
  // Whether aria2's notifications arrive (see Aria2Activity::streaming).
  bool streaming() const { return activity_ && activity_->streaming(); }
  // Whether a failed task will be tried again by itself.
  bool Retrying(const Text& gid) const;
  // When the finished-download notices look at aria2 again.
  LookSchedule& notice_looks() { return notice_looks_; }
  // aria2's tasks as its notifications tell them; none before Follow.
  const TaskStore* tasks() const { return store_.get(); }
  // What share pages said of our aria2's files; none for a remote aria2.
  StatedSizes* stated_sizes() const { return stated_sizes_.get(); }
  // The record keeper; none for a remote aria2 or before KeepRecord.
  SessionKeeper* keeper() const { return keeper_.get(); }
  // What the tasks added back at start-up hold on disk, by gid.
  const std::vector<std::pair<Text, SessionRestoreResult::Size>>& restored_sizes() const {
    return restored_sizes_;
  }

  // ---- shut-down ----
  // Nothing is started again or acted on from now on; an aria2 being
  // started again right now is waited for and taken over, so that it is
  // paused, recorded and ended like the first.
  void BeginEnd();
  bool ending() const { return ending_; }
  // Pauses our aria2, saves the record and ends aria2, all within a few
  // seconds however aria2 behaves. A remote aria2 is left running.
  void End(int keep_finished);

 private:
  friend class Aria2Supervisor;  // replaces the engine and the status it restarts
  void SetStatus(EngineStatus status) { status_.Set(status); }
  void Restarted(const SessionRestoreResult& restored, const Text& notice);
  void PlanRetry(const std::string& gid);
  void Notified(std::string_view method, std::string_view gid);
  void Counted(const Aria2Counts& counts);
  void KeeperTick();

  Desktop& desktop_;
  EngineSessionEvents events_;
  EngineState engine_;
  std::map<std::string, std::string> kept_options_;
  EngineStatusBoard status_;
  std::unique_ptr<Aria2Activity> activity_;
  // The one copy of aria2's tasks the record keeper and the notices read;
  // after the activity, which it asks through, so it goes first.
  std::unique_ptr<TaskStore> store_;
  LookSchedule record_looks_;
  LookSchedule notice_looks_;
  std::unique_ptr<StatedSizes> stated_sizes_;
  std::vector<std::pair<Text, SessionRestoreResult::Size>> restored_sizes_;
  std::unique_ptr<SessionKeeper> keeper_;
  unsigned keeper_timer_ = 0;
  std::unique_ptr<Aria2Supervisor> supervisor_;
  // Shared with the timers that wait for a task's next try, so that a timer
  // outliving it does nothing.
  std::shared_ptr<UnreachableRetry> retry_;
  bool ending_ = false;
};

// Korvath's working directory, which aria2 inherits and relative task
// folders are taken from.
std::string WorkingDirectory();

}  // namespace korvath
