// Downloads whose server could not be reached are tried again by themselves,
// a few times after growing waits, before they are left failed. aria2 tries
// such a server again at once, so its own few tries are over within a second
// of the network going away.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine-state.h"
#include "platform/desktop.h"

namespace korvath {

inline const std::vector<int> kUnreachableRetryWaitsMs = {15'000, 60'000, 300'000};

class UnreachableRetry {
 public:
  UnreachableRetry(Desktop& desktop, const EngineState& engine,
                   std::vector<int> waits_ms = kUnreachableRetryWaitsMs)
      : desktop_(desktop), engine_(engine), waits_ms_(std::move(waits_ms)) {}

  // aria2 said `gid` failed. When its server could not be reached and it has
  // tries left, the wait before TryAgain(gid); until then the task is waiting,
  // not failed. A task that moved bytes since its last failure starts its
  // tries afresh. Records "retry_planned" {gid, path, wait_ms} or
  // "retry_given_up" {gid, path}.
  std::optional<int> Failed(const std::string& gid);

  // Adds the failed task `gid` again with its links and options (the download
  // continues from its control file) and drops the failed entry. Nothing
  // happens when the user retried or removed it meanwhile. Records
  // "retry_started" {gid, new_gid}.
  void TryAgain(const std::string& gid);

  bool Waiting(const std::string& gid) const { return waiting_.count(gid) > 0; }

 private:
  struct Tries {
    std::size_t made = 0;
    std::string completed;  // completedLength at the last failure
  };
  Desktop& desktop_;
  const EngineState& engine_;
  std::vector<int> waits_ms_;
  std::map<std::string, Tries> tries_;          // by the file's path
  std::map<std::string, std::string> waiting_;  // gid -> path
};

}  // namespace korvath
