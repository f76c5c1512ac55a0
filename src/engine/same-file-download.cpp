#include "engine/same-file-download.h"

#include <filesystem>

#include "engine/aria2-request.h"
#include "engine/rpc-client.h"
#include "engine/task-status.h"
#include "util/json-object.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

// A task's file as one comparable absolute path (UTF-8 bytes).
std::string FileKey(std::string_view dir_or_path, std::string_view base) {
  return fs::path(GbkToUtf8(AbsoluteTaskDir(dir_or_path, Utf8ToGbk(base)))).lexically_normal().string();
}

bool Succeeded(std::string_view reply) {
  JsonObject json;
  return !reply.empty() && json.Parse(Utf8ToGbk(reply)) && json.GetType("result") != kJsonNull &&
         json.GetType("error") == kJsonNull;
}

// Every address of the task's file as aria2 lists it, each as often as it is
// listed: changeUri removes one listing per address it is given.
std::vector<Text> ListedUris(Desktop& desktop, const EngineState& state, const Text& gid) {
  Text reply = SendRpc(desktop, state, Aria2Request(aria2_method::kGetUris, state.rpc_secret).AddText(gid).Body());
  JsonObject json;
  std::vector<Text> uris;
  if (reply.empty() || !json.Parse(Utf8ToGbk(reply))) return uris;
  const std::int64_t count = json.Count("result");
  for (std::int64_t i = 0; i < count; ++i) {
    Text uri = json.GetProperty("result[" + ToText(i) + "].uri");
    if (!uri.empty()) uris.push_back(GbkToUtf8(uri));
  }
  return uris;
}

bool Call(Desktop& desktop, const EngineState& state, const Aria2Method& method, const Text& gid) {
  return Succeeded(SendRpc(desktop, state, Aria2Request(method, state.rpc_secret).AddText(gid).Body()));
}

// The old task's addresses give way to the new link, which goes first.
bool ChangeLinks(Desktop& desktop, const EngineState& state, const Text& gid, const Text& link) {
  Text body = Aria2Request(aria2_method::kChangeUri, state.rpc_secret)
                  .AddText(gid)
                  .AddNumber(1)
                  .AddTexts(ListedUris(desktop, state, gid))
                  .AddTexts({link})
                  .AddNumber(0)
                  .Body();
  return Succeeded(SendRpc(desktop, state, body));
}

}  // namespace

SameFileOutcome ContinueSameFile(Desktop& desktop, const EngineState& state, const DownloadTask& task,
                                 std::string_view base_dir) {
  std::error_code ec;
  const std::string base = base_dir.empty() ? fs::current_path(ec).string() : std::string(base_dir);
  SameFileOutcome outcome{.way = "new_task"};
  auto done = [&]() {
    desktop.Log().Record("same_file", {{"name", task.name}, {"way", outcome.way}, {"gid", outcome.gid}});
    return outcome;
  };
  const Text safe_name = SafeFileName(GbkToUtf8(task.name));
  // Without a name aria2 picks one from the address: nothing to compare.
  if (safe_name.empty()) return done();
  const std::string target = FileKey(task.dir + "/" + Utf8ToGbk(safe_name), base);

  TaskList active, waiting, stopped;
  if (!(active = TellActive(desktop, state)).ok || !(waiting = TellWaiting(desktop, state)).ok ||
      !(stopped = TellStopped(desktop, state)).ok) {
    return done();
  }
  const Aria2Task* resumable = nullptr;
  std::vector<const Aria2Task*> failed;
  bool busy_or_finished = false;
  for (const TaskList* list : {&active, &waiting, &stopped}) {
    for (const Aria2Task& each : list->tasks) {
      if (each.path.empty() || FileKey(each.path, base) != target) continue;
      if (each.status == "active" || each.status == "complete") busy_or_finished = true;
      if ((each.status == "paused" || each.status == "waiting") && !resumable) resumable = &each;
      if (each.status == "error") failed.push_back(&each);
    }
  }
  if (busy_or_finished) {
    outcome.way = "second_task";
    return done();
  }
  if (resumable && ChangeLinks(desktop, state, resumable->gid, task.link)) {
    if (resumable->status == "paused") Call(desktop, state, aria2_method::kUnpause, resumable->gid);
    outcome = {.way = "changed_links", .gid = resumable->gid, .continued = true};
  }
  // A failed twin left in the list could be resumed in the manager later and
  // would then write beside the continued file.
  for (const Aria2Task* each : failed) Call(desktop, state, aria2_method::kRemoveDownloadResult, each->gid);
  if (outcome.continued) return done();
  if (!failed.empty()) {
    outcome.way = "replaced_failed";
  } else if (fs::exists(target + ".aria2", ec)) {
    outcome.way = "control_file";
  }
  return done();
}

}  // namespace korvath
