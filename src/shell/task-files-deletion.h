// "删除任务和文件" for the manager page: the page cannot touch the disk, so it
// asks the window, which deletes a stopped task's files and control files.
// The page is not trusted with the folder: what a task owns is asked of
// aria2, and every path must stay inside that task's own folder.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine-state.h"
#include "platform/desktop.h"

namespace korvath {

// Another task in the same aria2, as far as deleting needs it: a file that
// task still lists is never removed for this one.
struct OtherTask {
  std::string gid;
  std::string name;    // as the manager shows it
  std::string status;  // aria2's word: "active", "waiting", "paused", ...
  std::vector<std::string> paths;
};

// A task as aria2 reports it (UTF-8; dir and paths may be relative to
// aria2's working directory, which is ours).
struct TaskFiles {
  std::string status;
  std::string dir;
  std::vector<std::string> paths;
  // Every other task aria2 lists (running, waiting, paused and stopped);
  // nullopt when the lists could not be read, and then nothing is deleted.
  // Asked only when files are to be deleted: the arrival check looks tasks
  // up too, once per finished download, and has no use for the lists.
  std::function<std::optional<std::vector<OtherTask>>()> others;
};
// nullopt when aria2 does not know the gid or cannot be asked.
using TaskFilesLookup = std::function<std::optional<TaskFiles>(const std::string& gid)>;

// The name the page posts to: window.webkit.messageHandlers.korvathDeleteFiles.
inline constexpr const char* kDeleteFilesMessage = "korvathDeleteFiles";

// Handles {"gid": "...", "paths": ["..."]}: every path must be one of the
// task's files, the task must be stopped, no other task may list the path
// (or its control file), and each path must lie below the task's folder
// through real folders, not links; otherwise nothing is deleted. Each
// accepted file and its ".aria2" control file are removed. Replies
// {"ok":true,"deleted":[...]} or {"ok":false,"error":"<Chinese text>"}.
std::string DeleteTaskFilesReply(const std::string& request_json, const TaskFilesLookup& lookup);

// Asks this run's aria2 (aria2.tellStatus, and aria2.tellActive,
// tellWaiting and tellStopped for the other tasks) through the engine's RPC.
TaskFilesLookup Aria2TaskFiles(Desktop& desktop, const EngineState& state);

}  // namespace korvath
