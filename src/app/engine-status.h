// What the windows say of aria2 besides "connected": whether Korvath is
// bringing its own aria2 back, has given up on it, or cannot reach a remote
// one. The supervisor and the activity set it; the manager page asks for it
// when it loses aria2, so that it can say why and what happens next.
#pragma once

#include <string_view>

#include "platform/event-log.h"

namespace korvath {

enum class EngineStatus {
  kRunning,
  kRestarting,   // our aria2 ended or hung and is being started again
  kRestarted,    // it was started again and took the unfinished downloads back
  kGivenUp,      // it kept ending, or could not be started again
  kUnreachable,  // a remote aria2 does not answer
};

// The name the page gets: "running", "restarting", "restarted", "given_up", "unreachable".
std::string_view EngineStatusName(EngineStatus status);

class EngineStatusBoard {
 public:
  explicit EngineStatusBoard(EventLog& log) : log_(log) {}
  EngineStatus status() const { return status_; }
  // Records "engine_status" {state} when it changes.
  void Set(EngineStatus status);

 private:
  EventLog& log_;
  EngineStatus status_ = EngineStatus::kRunning;
};

}  // namespace korvath
