// When an aria2 of ours that ended by itself is started again, and how its
// end is told. Kept apart from the desktop so the rule can be tried alone.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "util/text.h"

namespace korvath {

class Aria2RestartPolicy {
 public:
  // An aria2 that keeps ending would otherwise be started again for ever,
  // each time taking the downloads down with it.
  static constexpr int kMostEnds = 3;
  static constexpr std::int64_t kWindowMs = 60000;

  // Counts an unexpected end at monotonic time `now_ms`; true while fewer
  // than kMostEnds ends fall within the last kWindowMs, false from then on
  // (a refusal stands: nothing is restarted after it).
  bool MayRestart(std::int64_t now_ms);

 private:
  std::deque<std::int64_t> ends_ms_;
  bool refused_ = false;
};

// How a child ended, from its wait status.
struct ChildEnd {
  bool signalled = false;
  int code = 0;  // the exit code, or the signal's number when signalled
};
ChildEnd DescribeChildEnd(int wait_status);

// For the user, in system text: "退出码1" or "被信号9（SIGKILL）终止".
Text ChildEndText(const ChildEnd& end);

}  // namespace korvath
