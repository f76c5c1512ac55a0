#include "engine/session-keeper.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/session-record.h"
#include "util/file-io.h"

namespace korvath {

namespace fs = std::filesystem;

// One write of the record on a thread of its own, which the window's thread
// waits for only so long. Shared with that thread: it may outlive the keeper.
struct SessionKeeper::WriteJob {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool ok = false;

  bool Done() {
    std::lock_guard lock(mutex);
    return done;
  }
  // Whether it ended within `limit_ms`; `ok` tells how.
  bool Wait(int limit_ms) {
    std::unique_lock lock(mutex);
    return finished.wait_for(lock, std::chrono::milliseconds(limit_ms), [&] { return done; });
  }
};

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
  created_.push_back({++generation_, now_ms, std::move(task)});
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

bool SessionKeeper::Failed(Desktop& desktop, const char* reason) {
  // Told once, not every second while aria2 stays away.
  if (last_failure_ != reason) desktop.Log().Record("session_not_saved", {{"reason", std::string(reason)}});
  last_failure_ = reason;
  return false;
}

bool SessionKeeper::Look(Desktop& desktop, const EngineState& state, std::int64_t now_ms) {
  if (looking_) return false;
  if (path_.empty()) return Failed(desktop, "no_state_directory");
  // Too soon after the last write: the change is caught by a later look.
  if (last_write_ms_ && now_ms - *last_write_ms_ < kMinWriteIntervalMs) return false;
  const std::uint64_t asked_at = generation_;
  looking_ = true;
  std::vector<SessionTask> finished;
  std::optional<std::vector<SessionTask>> tasks = ListUnfinishedTasks(desktop, state, base_dir_, &finished);
  looking_ = false;
  if (!tasks) return Failed(desktop, "aria2_unanswered");
  // What was handed over before the lists were asked for is in them, or has
  // since been removed or finished; what came while they were read may not be.
  std::erase_if(created_, [&](const Created& c) { return c.generation <= asked_at; });
  return Take(desktop, std::move(*tasks), std::move(finished), now_ms);
}

bool SessionKeeper::Look(Desktop& desktop, const EngineState& state, const std::vector<Aria2Task>& tasks,
                         std::int64_t listed_at_ms, std::int64_t now_ms) {
  if (looking_) return false;
  if (path_.empty()) return Failed(desktop, "no_state_directory");
  if (last_write_ms_ && now_ms - *last_write_ms_ < kMinWriteIntervalMs) return false;
  // Asking aria2 below handles window events meanwhile.
  looking_ = true;
  std::optional<std::map<std::string, Aria2SessionEntry>> entries;
  const TaskSources sources{.out =
                                [&](const Aria2Task& task) {
                                  Text& out = outs_[task.gid];
                                  if (out.empty()) out = TaskOption(desktop, state, task.gid, "out");
                                  return out;
                                },
                            .made =
                                [&](const Aria2Task& task) {
                                  MetadataSource& made = made_[task.gid];
                                  if (!made.kind.empty()) return made;
                                  const std::string folder = MetadataFolder();
                                  if (!entries) {
                                    entries = folder.empty() ? std::map<std::string, Aria2SessionEntry>{}
                                                             : AskAria2Session(desktop, state,
                                                                               folder + "/aria2-session.txt");
                                  }
                                  const auto it = entries->find(GbkToUtf8(task.gid));
                                  if (it != entries->end()) made = KeepMetadata(it->second, folder);
                                  return made;
                                }};
  std::vector<SessionTask> finished;
  std::vector<SessionTask> listed = SessionTasksOf(tasks, base_dir_, sources, &finished);
  // What aria2 was asked is kept only for the tasks it still has.
  std::set<Text> gids;
  for (const Aria2Task& task : tasks) gids.insert(task.gid);
  std::erase_if(outs_, [&](const auto& each) { return !gids.count(each.first) || each.second.empty(); });
  std::erase_if(made_, [&](const auto& each) { return !gids.count(each.first) || each.second.kind.empty(); });
  std::erase_if(created_, [&](const Created& c) { return c.at_ms < listed_at_ms; });
  const bool written = Take(desktop, std::move(listed), std::move(finished), now_ms);
  looking_ = false;
  return written;
}

bool SessionKeeper::Take(Desktop& desktop, std::vector<SessionTask> listed, std::vector<SessionTask> finished,
                         std::int64_t now_ms) {
  std::erase_if(finished, [&](const SessionTask& f) { return forgotten_.count(f.gid) > 0; });
  KeepFinished(finished_, finished, keep_finished_);
  listed_ = std::move(listed);
  return Write(desktop, now_ms, "change");
}

void SessionKeeper::SetWriter(std::function<bool(const std::string& path, const std::string& text)> write,
                              int limit_ms) {
  write_ = std::move(write);
  write_limit_ms_ = limit_ms;
}

bool SessionKeeper::WriteUnderway() const { return writing_ && !writing_->Done(); }

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
  if (WriteUnderway()) {
    // Two writes at once could leave the older text in place: this one
    // waits its turn (WritePending). Inside the wait of the one under way
    // (window events are handled meanwhile) that is all; after a write that
    // ran out of time, it is one more failed write.
    unwritten_ = true;
    if (writing_now_) return false;
    return Failed(desktop, "write_timeout");
  }
  unwritten_ = false;
  // The thread owns its own copies: it may outlive this call, and the keeper.
  auto job = std::make_shared<WriteJob>();
  writing_ = job;
  bool in_time = false;
  try {
    std::thread([job, write = write_, path = path_, text] {
      const bool ok = write ? write(path, text) : WriteFileAtomically(path, text);
      std::lock_guard lock(job->mutex);
      job->ok = ok;
      job->done = true;
      job->finished.notify_all();
    }).detach();
    writing_now_ = true;
    desktop.RunAside([&] { in_time = job->Wait(write_limit_ms_); });
    writing_now_ = false;
  } catch (const std::system_error&) {
    // No thread to be had: nothing was written.
    writing_.reset();
    in_time = true;
  }
  bool ok = false;
  if (in_time) {
    std::lock_guard lock(job->mutex);
    ok = job->ok;
  }
  if (!ok) {
    const char* reason = in_time ? "write_failed" : "write_timeout";
    Failed(desktop, reason);
    // Tried again at the next second (WritePending).
    unwritten_ = true;
    // Set before the box: the timer looks again while it is open.
    if (!told_unwritable_) {
      told_unwritable_ = true;
      const Text folder = Utf8ToGbk(fs::path(path_).parent_path().string());
      MessageBox(desktop,
                 in_time
                     ? Gbk(u8"无法保存下载记录：") + folder +
                           Gbk(u8"\n未完成的下载在下次启动时将无法恢复。请腾出这个文件夹所在磁盘的空间，"
                               u8"或检查这个文件夹的权限，让当前用户可以写入；本程序会自动再试。")
                     : Gbk(u8"保存下载记录超时：") + folder +
                           Gbk(u8"\n这个文件夹所在的磁盘没有及时响应，未完成的下载在下次启动时可能无法恢复。"
                               u8"请检查这个磁盘（例如网络磁盘是否已断开）；本程序会自动再试。"),
                 kMbIconError);
    }
    return false;
  }
  last_failure_.clear();
  written_ = std::move(text);
  last_write_ms_ = now_ms;
  desktop.Log().Record("session_saved",
                       {{"count", static_cast<std::int64_t>(tasks.size())}, {"reason", std::string(reason)}});
  return true;
}

}  // namespace korvath
