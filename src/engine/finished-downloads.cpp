#include "engine/finished-downloads.h"

#include <algorithm>
#include <filesystem>

#include "engine/download-failure.h"
#include "engine/task-status.h"

namespace korvath {

std::vector<FinishedDownload> FinishedDownloadWatch::Look(Desktop& desktop, const EngineState& state) {
  std::vector<FinishedDownload> news;
  // aria2 lists stopped results oldest first and keeps as many as its
  // max-download-result, which a user's aria2.conf may set above one page:
  // the first page would then never hold news. A negative offset reads the
  // newest page instead, newest first.
  TaskList stopped = TellStopped(desktop, state, -1, 1000);
  answered_ = stopped.ok;
  if (!stopped.ok) return news;
  std::reverse(stopped.tasks.begin(), stopped.tasks.end());
  return Take(desktop, stopped.tasks);
}

std::vector<FinishedDownload> FinishedDownloadWatch::Take(Desktop& desktop,
                                                          const std::vector<Aria2Task>& stopped) {
  std::vector<FinishedDownload> news;
  const bool report = primed_;
  primed_ = true;
  // Told in the order the tasks stopped.
  for (const Aria2Task& task : stopped) {
    if (!seen_.insert(task.gid).second || !report) continue;
    if (task.status != "complete" && task.status != "error") continue;
    const Text path = task.path.empty() ? Text() : AbsoluteTaskDir(task.path, Utf8ToGbk(base_dir_));
    FinishedDownload item{.gid = task.gid,
                          .ok = task.status == "complete",
                          .name = TaskDisplayName(task),
                          .folder = AbsoluteTaskDir(task.dir, Utf8ToGbk(base_dir_))};
    // The folder the file is in, which a name holding a path puts below
    // the task's own.
    if (!path.empty()) item.folder = Utf8ToGbk(std::filesystem::path(GbkToUtf8(path)).parent_path().string());
    if (!item.ok) {
      item.error = ExplainDownloadFailure(task.error_code, task.error_message);
    } else if (stated_ && !path.empty()) {
      const ArrivalVerdict verdict = stated_->Verdict(desktop, task.gid, GbkToUtf8(path));
      // aria2 finishes writing a file whose folder was deleted or moved
      // under it and calls it complete; the user has nothing where the
      // download was to be, and what is there now is someone else's.
      if (verdict.missing() || verdict.moved()) {
        item.ok = false;
        item.error = verdict.text;
      } else if (verdict.unconfirmed()) {
        item.unconfirmed = verdict.text;
      } else {
        item.mismatch = verdict.text;
      }
    }
    news.push_back(std::move(item));
  }
  return news;
}

void FinishedDownloadWatch::LookAtLengths(Desktop& desktop, const EngineState& state) {
  if (!stated_ || !stated_->AwaitingFirstLook()) return;
  const TaskList active = TellActive(desktop, state);
  for (const Aria2Task& task : active.tasks) {
    // Until the first bytes arrive aria2 may not have the server's answer;
    // after them, a length of 0 is a body that runs until the connection ends.
    if (task.path.empty() || task.completed_length <= 0) continue;
    const Text path = AbsoluteTaskDir(task.path, Utf8ToGbk(base_dir_));
    stated_->NoteLength(GbkToUtf8(path), task.total_length > 0);
    // aria2 has the file open by now and writes that one to the end.
    stated_->NoteWriting(GbkToUtf8(path));
  }
}

}  // namespace korvath
