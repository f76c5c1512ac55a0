// The start-up steps that need no window (the announcement, our own aria2
// and its options) run on a thread of their own while GTK and the web engine
// build the main window. Their message boxes wait and are shown once the
// window is up, in the order the steps would have shown them one after the
// other: the announcement, then aria2's, then the options'.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/aria2-bootstrap.h"
#include "engine/engine-state.h"
#include "platform/desktop.h"

namespace korvath {

struct EarlyStartParams {
  // Absent: no announcement is fetched (aria2 started again while running).
  std::optional<std::string> notice_url;
  // Absent for a remote aria2, which is not ours to start: it is reached
  // once the window is up, its messages shown as they come.
  std::optional<StartAria2Params> aria2;
  // The user's aria2 options from the settings file; empty: the program's own.
  std::map<std::string, std::string> aria2_options;
  // Run on the thread after the options when our aria2 runs; it may show
  // no message box and must not touch a window.
  std::function<void(Desktop&, const EngineState&)> then;
};

class EarlyStart {
 public:
  // Starts the steps at once; `log` must outlive this object.
  EarlyStart(EventLog& log, EarlyStartParams params);
  ~EarlyStart();  // waits for the steps
  EarlyStart(const EarlyStart&) = delete;
  EarlyStart& operator=(const EarlyStart&) = delete;

  // Waits until the steps are done, handling window events meanwhile.
  void Wait(Desktop& desktop);
  // Whether the steps are done, without waiting.
  bool done() const { return done_; }

  // After Wait: the boxes of the announcement and of aria2's start, whether
  // our aria2 runs, its state, and the boxes of the options call.
  void ShowStartBoxes(Desktop& desktop);
  bool aria2_started() const { return aria2_started_; }
  // After Wait: who held the RPC port when our aria2 could not start for
  // it (no box was kept for that); empty otherwise.
  const std::vector<PortListener>& port_holders() const { return port_holders_; }
  // Our aria2's state, once; nullopt for a remote aria2 or a second call.
  std::optional<EngineState> TakeEngine();
  void ShowOptionBoxes(Desktop& desktop);

 private:
  class DeferredDesktop;

  void Run(const EarlyStartParams& params);

  std::unique_ptr<DeferredDesktop> desktop_;
  bool local_aria2_;
  EngineState engine_;
  bool aria2_started_ = false;
  std::vector<PortListener> port_holders_;
  bool engine_taken_ = false;
  std::vector<MessageBoxRequest> start_boxes_;
  std::vector<MessageBoxRequest> option_boxes_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

}  // namespace korvath
