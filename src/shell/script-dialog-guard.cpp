#include "shell/script-dialog-guard.h"

namespace korvath {

ScriptDialogGuard::Verdict ScriptDialogGuard::Arrived(std::int64_t now_ms) {
  if (at_once_) return Verdict::kAnswerAtOnce;
  while (!arrivals_.empty() && now_ms - arrivals_.front() >= kWindowMs) arrivals_.pop_front();
  if (static_cast<int>(arrivals_.size()) >= kStormDialogs) {
    at_once_ = Reason::kStorm;
    return Verdict::kAnswerAtOnce;
  }
  // A dialog that stayed open for long still counts from when it ended: what
  // matters is how soon the page asked again.
  const bool repeated = !arrivals_.empty() || (last_answered_ms_ && now_ms - *last_answered_ms_ < kWindowMs);
  arrivals_.push_back(now_ms);
  return repeated ? Verdict::kShowWithBlockChoice : Verdict::kShow;
}

void ScriptDialogGuard::Answered(std::int64_t now_ms, bool block) {
  last_answered_ms_ = now_ms;
  if (block) at_once_ = Reason::kUserBlocked;
}

void ScriptDialogGuard::PageLeft() { *this = ScriptDialogGuard(); }

}  // namespace korvath
