#include "engine/task-status.h"

#include "engine/aria2-request.h"
#include "engine/rpc-client.h"
#include "util/json-object.h"

namespace korvath {
namespace {

// Only what Korvath reads: a task's peers, bitfield and pieces can make a
// full reply megabytes long.
const std::vector<Text>& Keys() {
  static const std::vector<Text> keys{"gid",       "status",       "dir",         "files",
                                      "errorCode", "errorMessage", "totalLength", "completedLength"};
  return keys;
}

TaskList Ask(Desktop& desktop, const EngineState& state, Aria2Request& request) {
  return ParseTaskList(SendRpc(desktop, state, request.AddTexts(Keys()).Body()));
}

TaskList AskPage(Desktop& desktop, const EngineState& state, const Aria2Method& method, int offset,
                 int count) {
  Aria2Request request(method, state.rpc_secret);
  request.AddNumber(offset).AddNumber(count);
  return Ask(desktop, state, request);
}

std::int64_t Number(const JsonObject& json, const Text& path) {
  // aria2 writes lengths as decimal strings.
  Text text = json.GetProperty(path);
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

TaskList ParseTaskList(std::string_view reply_utf8) {
  TaskList list;
  JsonObject json;
  if (reply_utf8.empty() || !json.Parse(Utf8ToGbk(reply_utf8)) || json.GetType("result") != kJsonArray) {
    return list;
  }
  list.ok = true;
  const std::int64_t count = json.Count("result");
  for (std::int64_t i = 0; i < count; ++i) {
    const Text at = "result[" + ToText(i) + "]";
    Aria2Task task;
    task.gid = json.GetProperty(at + ".gid");
    task.status = json.GetProperty(at + ".status");
    task.dir = json.GetProperty(at + ".dir");
    task.path = json.GetProperty(at + ".files[0].path");
    const std::int64_t file_count = json.Count(at + ".files");
    for (std::int64_t f = 0; f < file_count; ++f) {
      Text file = json.GetProperty(at + ".files[" + ToText(f) + "].path");
      if (!file.empty()) task.paths.push_back(std::move(file));
    }
    task.error_code = json.GetProperty(at + ".errorCode");
    task.error_message = json.GetProperty(at + ".errorMessage");
    task.total_length = Number(json, at + ".totalLength");
    task.completed_length = Number(json, at + ".completedLength");
    const Text uris = at + ".files[0].uris";
    const std::int64_t uri_count = json.Count(uris);
    for (std::int64_t u = 0; u < uri_count; ++u) {
      // aria2 lists an address once per connection it may open to it.
      Text uri = json.GetProperty(uris + "[" + ToText(u) + "].uri");
      if (uri.empty()) continue;
      bool seen = false;
      for (const Text& known : task.uris) seen = seen || known == uri;
      if (!seen) task.uris.push_back(std::move(uri));
    }
    if (!task.gid.empty()) list.tasks.push_back(std::move(task));
  }
  return list;
}

TaskList TellActive(Desktop& desktop, const EngineState& state) {
  Aria2Request request(aria2_method::kTellActive, state.rpc_secret);
  return Ask(desktop, state, request);
}

TaskList TellWaiting(Desktop& desktop, const EngineState& state, int offset, int count) {
  return AskPage(desktop, state, aria2_method::kTellWaiting, offset, count);
}

TaskList TellStopped(Desktop& desktop, const EngineState& state, int offset, int count) {
  return AskPage(desktop, state, aria2_method::kTellStopped, offset, count);
}

Text TaskOption(Desktop& desktop, const EngineState& state, std::string_view gid, std::string_view option) {
  const std::string reply =
      SendRpc(desktop, state, Aria2Request(aria2_method::kGetOption, state.rpc_secret).AddText(gid).Body());
  JsonObject json;
  if (reply.empty() || !json.Parse(Utf8ToGbk(reply))) return {};
  return json.GetProperty("result['" + Text(option) + "']");
}

Text TaskDisplayName(const Aria2Task& task) {
  auto last_segment = [](std::string_view text) {
    size_t end = text.find_first_of("?#");
    if (end != std::string_view::npos) text = text.substr(0, end);
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    size_t slash = text.rfind('/');
    return Text(slash == std::string_view::npos ? text : text.substr(slash + 1));
  };
  Text name = last_segment(task.path);
  if (name.empty() && !task.uris.empty()) {
    std::string_view uri = task.uris.front();
    size_t scheme = uri.find("://");
    // An address without a path names its host, which is no file name.
    size_t path = uri.find('/', scheme == std::string_view::npos ? 0 : scheme + 3);
    if (path != std::string_view::npos) name = UrlDecode(last_segment(uri.substr(path)), /*utf8=*/true);
  }
  return name.empty() ? task.gid : name;
}

Text AbsoluteTaskDir(std::string_view dir, std::string_view base) {
  if (!dir.empty() && dir.front() == '/') return Text(dir);
  Text joined(base);
  if (dir.empty() || dir == ".") return joined;
  if (joined.empty() || joined.back() != '/') joined += '/';
  joined += dir;
  return joined;
}

}  // namespace korvath
