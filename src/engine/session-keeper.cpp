#include "engine/session-keeper.h"

#include <fstream>
#include <iterator>

#include "engine/session-record.h"

namespace korvath {

SessionKeeper::SessionKeeper(std::string path, std::string base_dir)
    : path_(std::move(path)), base_dir_(std::move(base_dir)) {
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
  std::string text = SessionRecordText(*tasks);
  if (text == written_) {
    last_failure_.clear();
    return false;
  }
  if (!WriteFileAtomically(path_, text)) return failed("write_failed");
  last_failure_.clear();
  written_ = std::move(text);
  last_write_ms_ = now_ms;
  desktop.Log().Record("session_saved",
                       {{"count", static_cast<std::int64_t>(tasks->size())}, {"reason", std::string("change")}});
  return true;
}

}  // namespace korvath
