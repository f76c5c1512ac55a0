// When a reader of aria2's lists (the record keeper, the finished-download
// notices) has to ask for them again. While aria2's notifications arrive, a
// list is asked for only after something changed, and otherwise once in a
// long while to catch what no notification tells (a paused task unpaused,
// the queue reordered); without them, at every tick as before. An idle
// aria2 with ten thousand tasks then costs next to nothing.
#pragma once

#include <cstdint>
#include <optional>

namespace korvath {

class LookSchedule {
 public:
  static constexpr std::int64_t kResyncMs = 60000;

  // Something changed in aria2 since the last look began, or the last look
  // got no answer: the next tick looks.
  void Changed() { changed_ = true; }

  // Whether a look at `now_ms` is due; when it is, it counts as begun, so a
  // change told while it waits on aria2 asks for another.
  bool Begin(std::int64_t now_ms, bool streaming) {
    const bool due = !streaming || changed_ || !last_ms_ || now_ms - *last_ms_ >= kResyncMs;
    if (!due) return false;
    changed_ = false;
    last_ms_ = now_ms;
    return true;
  }

 private:
  bool changed_ = true;
  std::optional<std::int64_t> last_ms_;
};

}  // namespace korvath
