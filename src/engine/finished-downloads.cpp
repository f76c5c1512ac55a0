#include "engine/finished-downloads.h"

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
  if (!stopped.ok) return news;
  const bool report = primed_;
  primed_ = true;
  // Told in the order the tasks stopped.
  for (auto it = stopped.tasks.rbegin(); it != stopped.tasks.rend(); ++it) {
    const Aria2Task& task = *it;
    if (!seen_.insert(task.gid).second || !report) continue;
    if (task.status != "complete" && task.status != "error") continue;
    FinishedDownload item{.gid = task.gid,
                          .ok = task.status == "complete",
                          .name = TaskDisplayName(task),
                          .folder = AbsoluteTaskDir(task.dir, Utf8ToGbk(base_dir_))};
    if (!item.ok) {
      item.error = ExplainDownloadFailure(task.error_code, task.error_message);
    } else if (stated_ && !task.path.empty()) {
      const ArrivalVerdict verdict =
          stated_->Verdict(desktop, task.gid, GbkToUtf8(AbsoluteTaskDir(task.path, Utf8ToGbk(base_dir_))));
      item.mismatch = verdict.text;
    }
    news.push_back(std::move(item));
  }
  return news;
}

}  // namespace korvath
