#include "app/early-start.h"

#include <chrono>

#include "app/kept-aria2-options.h"
#include "engine/rpc-client.h"
#include "notice/notice.h"

namespace korvath {

// Stands in for the desktop on the thread: no window may be touched there,
// so boxes are kept for later and waits are plain sleeps. The steps it
// serves only show boxes with a single OK button, so answering OK at once
// is what the user's click would have answered.
class EarlyStart::DeferredDesktop : public Desktop {
 public:
  explicit DeferredDesktop(EventLog& log) : log_(log) {}
  void KeepBoxesIn(std::vector<MessageBoxRequest>& boxes) { boxes_ = &boxes; }

  int ShowMessageBox(const MessageBoxRequest& request) override {
    boxes_->push_back(request);
    return kOk;
  }
  void PumpMessages() override {}
  void DelayPumping(int ms) override {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
  // The main window is up by the time the box is shown; the desktop then
  // finds its owner itself.
  bool FindProcessWindow(int) override { return true; }
  EventLog& Log() override { return log_; }

 private:
  EventLog& log_;
  std::vector<MessageBoxRequest>* boxes_ = nullptr;
};

EarlyStart::EarlyStart(EventLog& log, EarlyStartParams params)
    : desktop_(std::make_unique<DeferredDesktop>(log)), local_aria2_(params.aria2.has_value()) {
  desktop_->KeepBoxesIn(start_boxes_);
  thread_ = std::thread([this, params = std::move(params)] { Run(params); });
}

EarlyStart::~EarlyStart() {
  if (thread_.joinable()) thread_.join();
}

void EarlyStart::Run(const EarlyStartParams& params) {
  EventLog& log = desktop_->Log();
  if (params.notice_url) {
    log.Record("startup_step", {{"step", std::string("notice")}});
    FetchNotice(*desktop_, *params.notice_url);
  }
  if (params.aria2) {
    log.Record("startup_step", {{"step", std::string("aria2")}});
    StartAria2Params aria2 = *params.aria2;
    // Which way on is the user's choice, asked on the window's thread.
    aria2.port_held = [this](const std::vector<PortListener>& holders) { port_holders_ = holders; };
    aria2_started_ = StartAria2(*desktop_, engine_, aria2);
    if (aria2_started_) {
      desktop_->KeepBoxesIn(option_boxes_);
      log.Record("startup_step", {{"step", std::string("global_options")}});
      SetGlobalOptions(*desktop_, engine_, TaskGlobalOptions(params.aria2_options));
      SendKeptOptions(*desktop_, engine_, params.aria2_options);
      if (params.then) params.then(*desktop_, engine_);
    }
  }
  done_ = true;
}

void EarlyStart::Wait(Desktop& desktop) {
  while (!done_) desktop.DelayPumping(2);
  if (thread_.joinable()) thread_.join();
}

void EarlyStart::ShowStartBoxes(Desktop& desktop) {
  for (const MessageBoxRequest& box : start_boxes_) desktop.ShowMessageBox(box);
}

void EarlyStart::ShowOptionBoxes(Desktop& desktop) {
  for (const MessageBoxRequest& box : option_boxes_) desktop.ShowMessageBox(box);
}

std::optional<EngineState> EarlyStart::TakeEngine() {
  if (!local_aria2_ || engine_taken_) return std::nullopt;
  engine_taken_ = true;
  return std::move(engine_);
}

}  // namespace korvath
