// Our own aria2 while Korvath runs: when it ends by itself (a crash, the
// out-of-memory killer, a user's kill) it is started again by the start-up
// steps, with the same port and secret, and the unfinished downloads come
// back from the record: those that were running go on, paused ones stay
// paused. An aria2 that keeps ending is given up on, and the user told why.
// A remote aria2 is not our child; it is never watched.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/aria2-bootstrap.h"
#include "engine/aria2-restart-policy.h"
#include "engine/session-record.h"

namespace korvath {

class EarlyStart;
class EngineSession;

class Aria2Supervisor {
 public:
  // `params` are the ones aria2 was first started with; `session` must
  // outlive this object.
  Aria2Supervisor(EngineSession& session, StartAria2Params params);
  ~Aria2Supervisor();
  Aria2Supervisor(const Aria2Supervisor&) = delete;
  Aria2Supervisor& operator=(const Aria2Supervisor&) = delete;

  // Watches the session's aria2_pid, the aria2 that runs now.
  void Watch();

  // Whether aria2 is being started again right now.
  bool restarting() const { return restart_ != nullptr; }

  // A download asked for while aria2 is being started again (or has just
  // ended, before the main loop handled it) waits for it,
  // `limit_ms` at most, handling window events meanwhile.
  void HoldWhileRestarting(int limit_ms);

  // For shut-down: waits for a restart under way and takes over its aria2,
  // so that it is paused, recorded and ended like the first one.
  void Settle();

  // aria2 left `misses` questions in a row unanswered: one that stays
  // silent this long is hung, and is ended so that it is started again.
  // One that keeps working meanwhile (its CPU time grows) is busy, not hung:
  // aria2 answers one question at a time, and ten thousand tasks restored
  // or unpaused at once keep it from the counts for many seconds. It is
  // ended only when it stops working, or after kBusyMisses.
  void Unanswered(int misses);
  static constexpr int kHungMisses = 3;
  static constexpr int kBusyMisses = 30;

  // The recorded downloads the last restart could not add again, once: they
  // must stay in the record (the keeper's held tasks).
  std::vector<SessionTask> TakeRefused();

 private:
  void Ended(int pid, int wait_status);
  void Restart();
  void Finish();
  void GiveUp(const ChildEnd& last);

  EngineSession& session_;
  StartAria2Params params_;
  Aria2RestartPolicy policy_;
  unsigned watch_ = 0;
  unsigned poll_ = 0;
  std::int64_t ended_ms_ = 0;
  std::unique_ptr<EarlyStart> restart_;
  // Written on the restart's thread, read once it is done.
  SessionRestoreResult restored_;
  int continued_ = 0;
  std::vector<SessionTask> refused_;
  // aria2's CPU time at the last unanswered question of this silence.
  std::optional<std::int64_t> silent_ticks_;
  bool told_busy_ = false;
};

}  // namespace korvath
