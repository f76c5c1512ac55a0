#include "engine/session-keeper.h"

#include <algorithm>
#include <filesystem>

#include "engine/session-record.h"
#include "util/file-io.h"

namespace korvath {

namespace fs = std::filesystem;

SessionKeeper::SessionKeeper(std::string path, std::string base_dir, std::vector<SessionTask> held,
                             int keep_finished)
    : path_(std::move(path)),
      base_dir_(std::move(base_dir)),
      held_(std::move(held)),
      keep_finished_(keep_finished) {
  if (std::optional<std::string> text = ReadWholeFile(path_)) written_ = std::move(*text);
  // Until the first look, what the record holds is the best list there is:
  // a task handed over before then is added to it, not written alone.
  if (std::optional<ParsedSessionRecord> parsed = ParseSessionRecord(written_)) {
    finished_ = std::move(parsed->finished);
    for (SessionTask& task : parsed->tasks) {
      const bool is_held =
          std::any_of(held_.begin(), held_.end(), [&](const SessionTask& h) { return SameTarget(h, task); });
      if (!is_held) listed_.push_back(std::move(task));
    }
  }
}

void SessionKeeper::Hold(std::vector<SessionTask> refused) {
  for (SessionTask& task : refused) {
    const bool known =
        std::any_of(held_.begin(), held_.end(), [&](const SessionTask& h) { return SameTarget(h, task); });
    if (!known) held_.push_back(std::move(task));
  }
}

void SessionKeeper::AddFinished(const std::vector<SessionTask>& tasks) {
  KeepFinished(finished_, tasks, keep_finished_);
}

bool SessionKeeper::Forget(Desktop& desktop, const std::vector<Text>& gids, std::int64_t now_ms) {
  const size_t before = finished_.size();
  std::erase_if(finished_, [&](const SessionTask& f) {
    return std::find(gids.begin(), gids.end(), f.gid) != gids.end();
  });
  if (finished_.size() == before) return false;
  // Removed from aria2 too: a look meanwhile must not bring them back.
  forgotten_.insert(gids.begin(), gids.end());
  return Write(desktop, now_ms, "forget");
}

bool SessionKeeper::Record(Desktop& desktop, SessionTask task, std::int64_t now_ms) {
  created_.push_back({++generation_, std::move(task)});
  return Write(desktop, now_ms, "created");
}

bool SessionKeeper::MarkComplete(Desktop& desktop, std::string_view gid, std::int64_t now_ms) {
  if (gid.empty()) return false;
  const auto it =
      std::find_if(listed_.begin(), listed_.end(), [&](const SessionTask& t) { return t.gid == gid; });
  if (it == listed_.end()) return false;
  it->state = "complete";
  // A burst of completions (a queue of small files) costs one write a
  // second, not one each: the rest wait for WritePending.
  if (last_write_ms_ && now_ms - *last_write_ms_ < kMinWriteIntervalMs) {
    unwritten_ = true;
    return false;
  }
  return Write(desktop, now_ms, "complete");
}

bool SessionKeeper::WritePending(Desktop& desktop, std::int64_t now_ms) {
  if (!unwritten_ || (last_write_ms_ && now_ms - *last_write_ms_ < kMinWriteIntervalMs)) return false;
  return Write(desktop, now_ms, "complete");
}

bool SessionKeeper::Look(Desktop& desktop, const EngineState& state, std::int64_t now_ms) {
  auto failed = [&](const char* reason) {
    // Told once, not every second while aria2 stays away.
    if (last_failure_ != reason) desktop.Log().Record("session_not_saved", {{"reason", std::string(reason)}});
    last_failure_ = reason;
    return false;
  };
  if (looking_) return false;
  if (path_.empty()) return failed("no_state_directory");
  // Too soon after the last write: the change is caught by a later look.
  if (last_write_ms_ && now_ms - *last_write_ms_ < kMinWriteIntervalMs) return false;
  const std::uint64_t asked_at = generation_;
  looking_ = true;
  std::vector<SessionTask> finished;
  std::optional<std::vector<SessionTask>> tasks = ListUnfinishedTasks(desktop, state, base_dir_, &finished);
  looking_ = false;
  if (!tasks) return failed("aria2_unanswered");
  std::erase_if(finished, [&](const SessionTask& f) { return forgotten_.count(f.gid) > 0; });
  KeepFinished(finished_, finished, keep_finished_);
  // What was handed over before the lists were asked for is in them, or has
  // since been removed or finished; what came while they were read may not be.
  std::erase_if(created_, [&](const Created& c) { return c.generation <= asked_at; });
  listed_ = std::move(*tasks);
  return Write(desktop, now_ms, "change");
}

bool SessionKeeper::Write(Desktop& desktop, std::int64_t now_ms, const char* reason) {
  if (path_.empty()) return false;
  std::vector<SessionTask> tasks = listed_;
  for (const Created& c : created_) {
    const bool listed =
        std::any_of(tasks.begin(), tasks.end(), [&](const SessionTask& t) { return SameTarget(t, c.task); });
    if (!listed) tasks.push_back(c.task);
  }
  tasks = WithHeldTasks(std::move(tasks), held_);
  std::string text = SessionRecordText(tasks, finished_);
  if (text == written_) {
    last_failure_.clear();
    unwritten_ = false;
    return false;
  }
  if (!WriteFileAtomically(path_, text)) {
    if (last_failure_ != "write_failed")
      desktop.Log().Record("session_not_saved", {{"reason", std::string("write_failed")}});
    last_failure_ = "write_failed";
    // Set before the box: the timer looks again while it is open.
    if (!told_unwritable_) {
      told_unwritable_ = true;
      MessageBox(desktop,
                 Gbk(u8"无法保存下载记录：") + Utf8ToGbk(fs::path(path_).parent_path().string()) +
                     Gbk(u8"\n未完成的下载在下次启动时将无法恢复。请腾出这个文件夹所在磁盘的空间，"
                         u8"或检查这个文件夹的权限，让当前用户可以写入；本程序会自动再试。"),
                 kMbIconError);
    }
    return false;
  }
  last_failure_.clear();
  unwritten_ = false;
  written_ = std::move(text);
  last_write_ms_ = now_ms;
  desktop.Log().Record("session_saved",
                       {{"count", static_cast<std::int64_t>(tasks.size())}, {"reason", std::string(reason)}});
  return true;
}

}  // namespace korvath
