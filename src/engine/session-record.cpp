#include "engine/session-record.h"

#include <cstdint>
#include <filesystem>
#include <set>

#include "engine/aria2-request.h"
#include "engine/download-task.h"
#include "engine/rpc-client.h"
#include "engine/task-status.h"
#include "util/file-io.h"
#include "util/json-object.h"
#include "util/xdg-dirs.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

constexpr int kRecordVersion = 1;
// aria2 pages its lists; Korvath asks for this many at a time.
constexpr int kPage = 1000;

// Every page of one of aria2's paged lists; not ok when any page failed.
template <typename Ask>
TaskList AllPages(Ask ask) {
  TaskList all{.ok = true};
  for (int offset = 0;; offset += kPage) {
    TaskList page = ask(offset);
    if (!page.ok) return {};
    size_t got = page.tasks.size();
    for (auto& task : page.tasks) all.tasks.push_back(std::move(task));
    if (got < static_cast<size_t>(kPage)) return all;
  }
}

// The file's name inside its directory, as aria2 has it now.
Text OutOf(Desktop& desktop, const EngineState& state, const Aria2Task& task) {
  if (task.path.empty()) return TaskOption(desktop, state, task.gid, "out");
  std::string_view path = task.path;
  if (!task.dir.empty() && path.starts_with(task.dir) && path.size() > task.dir.size() &&
      path[task.dir.size()] == '/') {
    return Text(path.substr(task.dir.size() + 1));
  }
  size_t slash = path.rfind('/');
  return Text(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool Unfinished(const Text& status) {
  return status == "active" || status == "waiting" || status == "paused" || status == "error";
}

void MoveAside(Desktop& desktop, const std::string& path, const char* reason) {
  std::error_code ec;
  fs::rename(path, path + ".bad", ec);
  desktop.Log().Record("session_record_bad", {{"reason", std::string(reason)}, {"moved", !ec}});
}

}  // namespace

std::string SessionRecordPath(std::string_view rpc_url) {
  const std::string base = XdgStateHome();
  if (base.empty()) return {};
  if (rpc_url.empty()) return base + "/korvath/session.json";
  // One record per remote aria2, named by a hash of its address (FNV-1a):
  // the address itself may hold characters no file name can.
  std::uint64_t hash = 1469598103934665603ull;
  for (unsigned char byte : rpc_url) hash = (hash ^ byte) * 1099511628211ull;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string name = "session-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 15];
  return base + "/korvath/" + name + ".json";
}

std::string SessionRecordText(const std::vector<SessionTask>& tasks) {
  JsonObject json;
  json.SetNumber("version", kRecordVersion);
  json.SetPropertyExpr("tasks", "[]");
  for (size_t i = 0; i < tasks.size(); ++i) {
    const SessionTask& task = tasks[i];
    const Text at = "tasks[" + ToText(static_cast<std::int64_t>(i)) + "]";
    json.Push("{}", "tasks", /*expression=*/true);
    json.SetPropertyExpr(at + ".uris", "[]");
    for (const Text& uri : task.uris) json.Push(uri, at + ".uris");
    json.SetProperty(at + ".dir", task.dir);
    json.SetProperty(at + ".out", task.out);
    json.SetProperty(at + ".state", task.state);
  }
  return GbkToUtf8(json.ToJson()) + "\n";
}

std::optional<std::vector<SessionTask>> ParseSessionRecord(std::string_view text_utf8) {
  JsonObject json;
  if (!json.Parse(Utf8ToGbk(text_utf8)) || json.GetType() != kJsonObject) return std::nullopt;
  if (json.GetType("version") != kJsonNumber || json.GetNumber("version") != kRecordVersion)
    return std::nullopt;
  if (json.GetType("tasks") != kJsonArray) return std::nullopt;
  std::vector<SessionTask> tasks;
  const std::int64_t count = json.Count("tasks");
  for (std::int64_t i = 0; i < count; ++i) {
    const Text at = "tasks[" + ToText(i) + "]";
    for (const char* field : {".dir", ".out", ".state"}) {
      if (json.GetType(at + field) != kJsonString) return std::nullopt;
    }
    if (json.GetType(at + ".uris") != kJsonArray || json.Count(at + ".uris") == 0) return std::nullopt;
    SessionTask task{.dir = json.GetProperty(at + ".dir"),
                     .out = json.GetProperty(at + ".out"),
                     .state = json.GetProperty(at + ".state")};
    const std::int64_t uri_count = json.Count(at + ".uris");
    for (std::int64_t u = 0; u < uri_count; ++u) {
      const Text uri_at = at + ".uris[" + ToText(u) + "]";
      if (json.GetType(uri_at) != kJsonString) return std::nullopt;
      task.uris.push_back(json.GetProperty(uri_at));
    }
    tasks.push_back(std::move(task));
  }
  return tasks;
}

Text RestoreTaskBody(const EngineState& state, const SessionTask& task) {
  // The addresses go back to aria2 in the bytes it reported them in.
  std::vector<Text> uris;
  for (const Text& uri : task.uris) uris.push_back(GbkToUtf8(uri));
  return Aria2Request(aria2_method::kAddUri, state.rpc_secret)
      .AddTexts(uris)
      .AddOptions(TaskOptions(state, GbkToUtf8(task.dir), SafeFileName(GbkToUtf8(task.out)))
                      .SetSwitch(aria2_option::kPause, true)
                      .SetSwitch(aria2_option::kContinue, true))
      .Body();
}

std::optional<std::vector<SessionTask>> ListUnfinishedTasks(Desktop& desktop, const EngineState& state,
                                                           std::string_view base_dir) {
  TaskList active, waiting, stopped;
  // Each question is asked only when the one before was answered: an aria2
  // that is gone costs one refused connection, not three.
  bool answered =
      (active = TellActive(desktop, state)).ok &&
      (waiting = AllPages([&](int offset) { return TellWaiting(desktop, state, offset, kPage); })).ok &&
      (stopped = AllPages([&](int offset) { return TellStopped(desktop, state, offset, kPage); })).ok;
  if (!answered) return std::nullopt;

  const Text base = Utf8ToGbk(base_dir);
  std::vector<SessionTask> record;
  // A task still being paused when the lists are read moves from the active
  // list to the waiting one between the two answers; listed twice, it would
  // come back as two downloads into one file.
  std::set<Text> recorded;
  for (const TaskList* list : {&active, &waiting, &stopped}) {
    for (const Aria2Task& task : list->tasks) {
      // Tasks without addresses (torrents, metalinks) cannot be added back
      // through addUri.
      if (!Unfinished(task.status) || task.uris.empty()) continue;
      if (!recorded.insert(task.gid).second) continue;
      record.push_back({.uris = task.uris,
                        .dir = AbsoluteTaskDir(task.dir, base),
                        .out = OutOf(desktop, state, task),
                        .state = task.status});
    }
  }
  return record;
}

SessionSaveResult SaveSessionRecord(Desktop& desktop, const EngineState& state, const std::string& path,
                                    std::string_view base_dir) {
  if (path.empty()) {
    desktop.Log().Record("session_not_saved", {{"reason", std::string("no_state_directory")}});
    return {};
  }
  std::optional<std::vector<SessionTask>> record = ListUnfinishedTasks(desktop, state, base_dir);
  if (!record) {
    // The last complete record is the better one to keep.
    desktop.Log().Record("session_not_saved", {{"reason", std::string("aria2_unanswered")}});
    return {};
  }
  if (!WriteFileAtomically(path, SessionRecordText(*record))) {
    desktop.Log().Record("session_not_saved", {{"reason", std::string("write_failed")}});
    return {};
  }
  desktop.Log().Record("session_saved", {{"count", static_cast<std::int64_t>(record->size())},
                                         {"reason", std::string("shutdown")}});
  return {.saved = true, .count = static_cast<int>(record->size())};
}

SessionRestoreResult RestoreSessionRecord(Desktop& desktop, const EngineState& state,
                                          const std::string& path) {
  SessionRestoreResult result;
  std::error_code ec;
  if (path.empty() || !fs::exists(path, ec)) {
    desktop.Log().Record("session_restored", {{"count", std::int64_t{0}}, {"failed", std::int64_t{0}}});
    return result;
  }
  const std::optional<std::string> text = ReadWholeFile(path);
  if (!text) {
    MoveAside(desktop, path, "unreadable");
    result.bad_record = true;
    return result;
  }
  std::optional<std::vector<SessionTask>> tasks = ParseSessionRecord(*text);
  if (!tasks) {
    MoveAside(desktop, path, "malformed");
    result.bad_record = true;
    return result;
  }
  for (const SessionTask& task : *tasks) {
    Text reply = SendRpc(desktop, state, RestoreTaskBody(state, task));
    JsonObject json;
    json.Parse(reply);
    if (!json.GetProperty("result").empty()) {
      ++result.restored;
    } else {
      ++result.failed;
    }
  }
  desktop.Log().Record("session_restored", {{"count", static_cast<std::int64_t>(result.restored)},
                                            {"failed", static_cast<std::int64_t>(result.failed)}});
  return result;
}

}  // namespace korvath
