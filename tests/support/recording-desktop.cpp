#include "support/recording-desktop.h"

#include <chrono>
#include <thread>

namespace korvath::testing {

int RecordingDesktop::ShowMessageBox(const MessageBoxRequest& request) {
  boxes.push_back(request);
  if (answers.empty()) return kOk;
  int answer = answers.front();
  answers.pop_front();
  return answer;
}

void RecordingDesktop::PumpMessages() {
  ++pumps;
  if (on_pump) on_pump();
}

void RecordingDesktop::DelayPumping(int ms) {
  delays.push_back(ms);
  PumpMessages();
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool RecordingDesktop::FindProcessWindow(int) { return has_window; }

Text RecordingDesktop::CaptionOf(const MessageBoxRequest& request) {
  return request.caption ? *request.caption : Gbk(u8"信息：");
}

void RecordingDesktop::RunAside(const std::function<void()>& work) {
  if (on_aside) on_aside();
  work();
}

}  // namespace korvath::testing
