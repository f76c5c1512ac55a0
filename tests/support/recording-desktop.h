// A Desktop for core tests: records every message box and answers it from a
// script (OK by default), counts pumps, and really waits in DelayPumping so
// timing-dependent paths (retries) behave as in the program.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "platform/desktop.h"

namespace korvath::testing {

class RecordingDesktop : public Desktop {
 public:
  int ShowMessageBox(const MessageBoxRequest& request) override;
  void PumpMessages() override;
  void DelayPumping(int ms) override;
  bool FindProcessWindow(int limit_ms) override;
  EventLog& Log() override { return log_; }
  // Runs on_aside first: what the window's events would do while a call waits.
  void RunAside(const std::function<void()>& work) override;

  // The caption the box was shown with ("信息：" when none was given).
  static Text CaptionOf(const MessageBoxRequest& request);

  std::vector<MessageBoxRequest> boxes;
  std::deque<int> answers;  // consumed front first; OK when empty
  int pumps = 0;
  std::vector<int> delays;  // every DelayPumping argument
  bool has_window = false;
  // Runs inside PumpMessages/DelayPumping, to simulate nested handlers.
  std::function<void()> on_pump;
  // Runs inside RunAside, before the work, to simulate handlers that run
  // while a call to aria2 is under way.
  std::function<void()> on_aside;

 private:
  EventLog log_;
};

}  // namespace korvath::testing
