// Keeps a page from locking the user out with its script dialogs: decides for
// each dialog of one view whether it is shown, shown with the choice to block
// the page's further dialogs, or answered at once without showing anything.
// Pure bookkeeping over times the caller passes in, so it needs no desktop.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace korvath {

class ScriptDialogGuard {
 public:
  // Dialogs within this span count as coming one after another.
  static constexpr std::int64_t kWindowMs = 10000;
  // This many within the span, and the page's next dialogs are answered.
  static constexpr int kStormDialogs = 5;

  enum class Verdict { kShow, kShowWithBlockChoice, kAnswerAtOnce };
  // Why a dialog is answered at once.
  enum class Reason { kUserBlocked, kStorm };

  // A dialog of the current page arrived at now_ms.
  Verdict Arrived(std::int64_t now_ms);
  // The shown dialog was answered at now_ms; block: the user chose to stop
  // the page's further dialogs.
  void Answered(std::int64_t now_ms, bool block);
  // The view shows another page now: the new page starts with a clean slate.
  void PageLeft();

  // Set once the page's dialogs are answered at once.
  std::optional<Reason> answering_at_once() const { return at_once_; }

 private:
  std::deque<std::int64_t> arrivals_;  // of the current page, within the span
  std::optional<std::int64_t> last_answered_ms_;
  std::optional<Reason> at_once_;
};

}  // namespace korvath
