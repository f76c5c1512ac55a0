#include "engine/session-keeper.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/session-record.h"

namespace korvath {

namespace fs = std::filesystem;

SessionKeeper::SessionKeeper(std::string path, std::string base_dir, std::vector<SessionTask> held)
    : path_(std::move(path)), base_dir_(std::move(base_dir)), held_(std::move(held)) {
  std::ifstream in(path_, std::ios::binary);
  if (in) written_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool SessionKeeper::Look(Desktop& desktop, const EngineState& state, std::int64_t now_ms) {
  auto failed = [&](const char* reason) {
    // Told once, not every second while aria2 stays away.
    if (last_failure_ != reason) desktop.Log().Record("session_not_saved", {{"reason", std::string(reason)}});
    last_failure_ = reason;
    return false;
  };
  if (path_.empty()) return failed("no_state_directory");
  // Too soon after the last write: the change is caught by a later look.
  if (last_write_ms_ && now_ms - *last_write_ms_ < kMinWriteIntervalMs) return false;
  std::optional<std::vector<SessionTask>> tasks = ListUnfinishedTasks(desktop, state, base_dir_);
  if (!tasks) return failed("aria2_unanswered");
  tasks = WithHeldTasks(std::move(*tasks), held_);
  std::string text = SessionRecordText(*tasks);
  if (text == written_) {
    last_failure_.clear();
    return false;
  }
  if (!WriteFileAtomically(path_, text)) {
    failed("write_failed");
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
  written_ = std::move(text);
  last_write_ms_ = now_ms;
  desktop.Log().Record("session_saved",
                       {{"count", static_cast<std::int64_t>(tasks->size())}, {"reason", std::string("change")}});
  return true;
}

}  // namespace korvath
