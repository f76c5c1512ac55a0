// Keeps the record of unfinished downloads current while Korvath runs, so a
// crash, a kill or a power cut loses nothing that was already handed to
// aria2. Downloads change in aria2 behind Korvath's back (the manager page
// talks to aria2 directly), so the keeper looks at aria2 rather than at
// Korvath's own calls.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine-state.h"
#include "engine/session-record.h"
#include "engine/task-status.h"
#include "platform/desktop.h"

namespace korvath {

class SessionKeeper {
 public:
  // The fewest milliseconds between two writes: a burst of changes (the
  // manager pausing a hundred tasks) costs one write a second, not a hundred.
  static constexpr std::int64_t kMinWriteIntervalMs = 1000;
  // The longest the window's thread waits for a write of the record: a disk
  // that hangs (a network folder gone away) must not freeze the windows.
  static constexpr int kWriteLimitMs = 3000;

  // `path` is the record (SessionRecordPath()), `base_dir` aria2's working
  // directory, `held` the recorded tasks aria2 did not take back at start-up:
  // they are written after aria2's own until the user adds them again.
  // What the record holds now counts as written, so a start that changes
  // nothing writes nothing.
  // Completed downloads are kept in the record, the newest `keep_finished`,
  // until the user removes them (Forget).
  SessionKeeper(std::string path, std::string base_dir, std::vector<SessionTask> held = {},
                int keep_finished = 0);

  // One look at aria2 at monotonic time `now_ms`: when the set of unfinished
  // tasks or any of their states differs from what was last written, and the
  // last write is at least kMinWriteIntervalMs old, the record is replaced
  // (atomically, synced). An aria2 that does not answer changes nothing.
  // Records "session_saved" {count, reason: "change"}, "session_not_saved"
  // {reason} once per run of failures. A record that cannot be written is
  // also said in a message box, once per run: the downloads would otherwise
  // be lost at the next start without a word. True when the record was written.
  // A call made while a look waits on aria2 (window events are handled
  // meanwhile) returns false at once.
  bool Look(Desktop& desktop, const EngineState& state, std::int64_t now_ms);

  // The same look at aria2's `tasks` as someone else read them (a task store),
  // in aria2's order, asked for at `listed_at_ms`: a task handed over before
  // then that is not among them is gone. aria2 is asked only what a status
  // does not say, once per task: the "out" of a task that has no path yet,
  // and aria2's session file for a new torrent, metalink or magnet.
  bool Look(Desktop& desktop, const EngineState& state, const std::vector<Aria2Task>& tasks,
            std::int64_t listed_at_ms, std::int64_t now_ms);

  // A task Korvath has just handed to aria2, written to the record at once,
  // whatever the time since the last write: aria2 may end a moment later,
  // before any look could see the task. A look whose lists were asked for
  // before this call does not drop it.
  bool Record(Desktop& desktop, SessionTask task, std::int64_t now_ms);

  // aria2 told the download `gid` complete: it is marked so in the record,
  // so that a start after aria2 ended before the next look takes its file
  // for finished instead of fetching it again. Written at once, unless the
  // last write is less than kMinWriteIntervalMs old: then by WritePending.
  // True when the record was written.
  bool MarkComplete(Desktop& desktop, std::string_view gid, std::int64_t now_ms);
  // Writes marks MarkComplete had to hold back, once the interval allows.
  bool WritePending(Desktop& desktop, std::int64_t now_ms);

  // Whether a look now would ask aria2 at all (not too soon after the last
  // write, none under way).
  bool LookDue(std::int64_t now_ms) const {
    return !looking_ && (!last_write_ms_ || now_ms - *last_write_ms_ >= kMinWriteIntervalMs);
  }
  // Whether the last look or write failed.
  bool failing() const { return !last_failure_.empty(); }

  const std::vector<SessionTask>& held() const { return held_; }
  const std::vector<SessionTask>& finished() const { return finished_; }
  int keep_finished() const { return keep_finished_; }
  void SetKeepFinished(int keep) { keep_finished_ = keep; }
  // Completed downloads the start-up found finished, kept like the others.
  void AddFinished(const std::vector<SessionTask>& tasks);
  // The user removed these completed downloads from the list. True when the
  // record was written.
  bool Forget(Desktop& desktop, const std::vector<Text>& gids, std::int64_t now_ms);
  // Recorded tasks a restart of aria2 could not add again stay in the record.
  void Hold(std::vector<SessionTask> refused);

  // What writes the record (WriteFileAtomically) and how long a write may
  // take before it counts as failed; for tests of a disk that hangs.
  void SetWriter(std::function<bool(const std::string& path, const std::string& text)> write, int limit_ms);
  // Whether a write that ran out of time is still under way: another write
  // of the record must wait for it.
  bool WriteUnderway() const;

 private:
  struct WriteJob;

  bool Write(Desktop& desktop, std::int64_t now_ms, const char* reason);
  bool Failed(Desktop& desktop, const char* reason);
  // The tasks of `listed` and the finished ones into the record.
  bool Take(Desktop& desktop, std::vector<SessionTask> listed, std::vector<SessionTask> finished,
            std::int64_t now_ms);

  struct Created {
    std::uint64_t generation;
    std::int64_t at_ms;
    SessionTask task;
  };

  std::string path_;
  std::string base_dir_;
  std::string written_;
  std::vector<SessionTask> listed_;  // aria2's unfinished tasks at the last look
  std::vector<Created> created_;     // handed over since the lists of the last look were asked for
  std::uint64_t generation_ = 0;
  bool looking_ = false;
  bool unwritten_ = false;  // marks held back by the write interval
  std::optional<std::int64_t> last_write_ms_;
  std::string last_failure_;
  std::vector<SessionTask> held_;
  std::vector<SessionTask> finished_;
  int keep_finished_ = 0;
  std::set<Text> forgotten_;
  bool told_unwritable_ = false;
  // What aria2 was asked about a task, by gid (SessionTasksOf's sources).
  std::map<Text, Text> outs_;
  std::map<Text, MetadataSource> made_;
  std::function<bool(const std::string& path, const std::string& text)> write_;
  int write_limit_ms_ = kWriteLimitMs;
  std::shared_ptr<WriteJob> writing_;  // the last write, maybe still under way
  bool writing_now_ = false;           // waiting for it
};

}  // namespace korvath
