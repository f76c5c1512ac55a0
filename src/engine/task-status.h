// Reading aria2's task lists: what is running, waiting, paused, finished or
// failed. Same request form as every other call (fresh address, secret).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine-state.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// One aria2 task as far as Korvath needs it. Texts are system text.
struct Aria2Task {
  Text gid;
  Text status;              // "active" | "waiting" | "paused" | "error" | "complete" | "removed"
  Text dir;                 // as aria2 has it; relative to aria2's working directory when relative
  Text path;                // the first file's path; "" until aria2 knows the name
  std::vector<Text> paths;  // every file's path that aria2 knows, the first one included
  std::vector<Text> uris;   // the first file's addresses, each once, in aria2's order
  Text error_code;          // "0" or "" unless the task failed
  Text error_message;
  std::int64_t total_length = 0;
  std::int64_t completed_length = 0;
};

struct TaskList {
  bool ok = false;  // false: aria2 did not answer or answered with an error
  std::vector<Aria2Task> tasks;
};

// aria2.tellActive, aria2.tellWaiting and aria2.tellStopped. Each records
// "rpc" {method, ok, ms} through SendRpc.
TaskList TellActive(Desktop& desktop, const EngineState& state);
TaskList TellWaiting(Desktop& desktop, const EngineState& state, int offset = 0, int count = 1000);
TaskList TellStopped(Desktop& desktop, const EngineState& state, int offset = 0, int count = 1000);

// One option of one task (aria2.getOption); "" when unset or unanswered.
Text TaskOption(Desktop& desktop, const EngineState& state, std::string_view gid, std::string_view option);

// The list in an aria2 reply ({"result":[...]}) given as UTF-8; not ok for
// anything else.
TaskList ParseTaskList(std::string_view reply_utf8);

// The name to show for a task: the file name of its path, else the last
// segment of its first address, else its gid.
Text TaskDisplayName(const Aria2Task& task);

// `dir` made absolute against `base` (aria2's working directory, which is
// ours: aria2 inherits it). Absolute directories are returned unchanged.
Text AbsoluteTaskDir(std::string_view dir, std::string_view base);

}  // namespace korvath
