#include "app/engine-status.h"

#include <string>

namespace korvath {

std::string_view EngineStatusName(EngineStatus status) {
  switch (status) {
    case EngineStatus::kRunning:
      return "running";
    case EngineStatus::kRestarting:
      return "restarting";
    case EngineStatus::kRestarted:
      return "restarted";
    case EngineStatus::kGivenUp:
      return "given_up";
    case EngineStatus::kUnreachable:
      return "unreachable";
  }
  return "running";
}

void EngineStatusBoard::Set(EngineStatus status) {
  if (status == status_) return;
  status_ = status;
  log_.Record("engine_status", {{"state", std::string(EngineStatusName(status))}});
}

}  // namespace korvath
