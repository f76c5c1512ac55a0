// Keeps the record of unfinished downloads current while Korvath runs, so a
// crash, a kill or a power cut loses nothing that was already handed to
// aria2. Downloads change in aria2 behind Korvath's back (the manager page
// talks to aria2 directly), so the keeper looks at aria2 rather than at
// Korvath's own calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine-state.h"
#include "engine/session-record.h"
#include "platform/desktop.h"

namespace korvath {

class SessionKeeper {
 public:
  // The fewest milliseconds between two writes: a burst of changes (the
  // manager pausing a hundred tasks) costs one write a second, not a hundred.
  static constexpr std::int64_t kMinWriteIntervalMs = 1000;

  // `path` is the record (SessionRecordPath()), `base_dir` aria2's working
  // directory, `held` the recorded tasks aria2 did not take back at start-up:
  // they are written after aria2's own until the user adds them again.
  // What the record holds now counts as written, so a start that changes
  // nothing writes nothing.
  SessionKeeper(std::string path, std::string base_dir, std::vector<SessionTask> held = {});

  // One look at aria2 at monotonic time `now_ms`: when the set of unfinished
  // tasks or any of their states differs from what was last written, and the
  // last write is at least kMinWriteIntervalMs old, the record is replaced
  // (atomically, synced). An aria2 that does not answer changes nothing.
  // Records "session_saved" {count, reason: "change"}, "session_not_saved"
  // {reason} once per run of failures. A record that cannot be written is
  // also said in a message box, once per run: the downloads would otherwise
  // be lost at the next start without a word. True when the record was written.
  bool Look(Desktop& desktop, const EngineState& state, std::int64_t now_ms);

  const std::vector<SessionTask>& held() const { return held_; }

 private:
  std::string path_;
  std::string base_dir_;
  std::string written_;
  std::optional<std::int64_t> last_write_ms_;
  std::string last_failure_;
  std::vector<SessionTask> held_;
  bool told_unwritable_ = false;
};

}  // namespace korvath
