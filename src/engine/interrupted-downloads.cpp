#include "engine/interrupted-downloads.h"

#include <algorithm>

#include "engine/aria2-request.h"
#include "engine/rpc-client.h"
#include "engine/task-status.h"
#include "platform/event-log.h"

namespace korvath {

std::vector<SessionTask> InterruptedTasks(const std::vector<SessionTask>& recorded) {
  std::vector<SessionTask> interrupted;
  for (const SessionTask& task : recorded) {
    if (task.refused.empty() && (task.state == "active" || task.state == "waiting"))
      interrupted.push_back(task);
  }
  return interrupted;
}

int ContinueInterruptedDownloads(Desktop& desktop, const EngineState& state,
                                 const std::vector<SessionTask>& interrupted, std::string_view base_dir) {
  if (interrupted.empty()) return 0;
  const TaskList waiting = TellWaiting(desktop, state);
  if (!waiting.ok) return 0;
  const Text base = Utf8ToGbk(base_dir);
  std::vector<bool> taken(interrupted.size(), false);
  int continued = 0;
  for (const Aria2Task& task : waiting.tasks) {
    if (task.status != "paused" || task.uris.empty()) continue;
    const Text dir = AbsoluteTaskDir(task.dir, base);
    for (std::size_t i = 0; i < interrupted.size(); ++i) {
      const SessionTask& wanted = interrupted[i];
      if (taken[i] || wanted.dir != dir || wanted.uris.empty()) continue;
      if (std::find(task.uris.begin(), task.uris.end(), wanted.uris.front()) == task.uris.end()) continue;
      taken[i] = true;
      const std::string reply = SendRpc(
          desktop, state, Aria2Request(aria2_method::kUnpause, state.rpc_secret).AddText(task.gid).Body());
      if (reply.find("\"result\"") != std::string::npos) {
        ++continued;
        desktop.Log().Record("download_continued", {{"gid", task.gid}, {"out", wanted.out}});
      }
      break;
    }
  }
  return continued;
}

}  // namespace korvath
