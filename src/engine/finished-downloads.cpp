#include "engine/finished-downloads.h"

#include "engine/task-status.h"

namespace korvath {

std::vector<FinishedDownload> FinishedDownloadWatch::Look(Desktop& desktop, const EngineState& state) {
  std::vector<FinishedDownload> news;
  // aria2 keeps the last 1000 stopped results (max-download-result), so one
  // page sees every task that can still be news.
  TaskList stopped = TellStopped(desktop, state, 0, 1000);
  if (!stopped.ok) return news;
  const bool report = primed_;
  primed_ = true;
  for (const Aria2Task& task : stopped.tasks) {
    if (!seen_.insert(task.gid).second || !report) continue;
    if (task.status != "complete" && task.status != "error") continue;
    FinishedDownload item{.gid = task.gid,
                          .ok = task.status == "complete",
                          .name = TaskDisplayName(task),
                          .folder = AbsoluteTaskDir(task.dir, Utf8ToGbk(base_dir_))};
    if (!item.ok) {
      item.error = !task.error_message.empty() ? task.error_message : Gbk(u8"错误码 ") + task.error_code;
    }
    news.push_back(std::move(item));
  }
  return news;
}

}  // namespace korvath
