#include "engine/task-status.h"

#include "engine/rpc-client.h"
#include "util/json-object.h"

namespace korvath {
namespace {

// Only what Korvath reads: a task's peers, bitfield and pieces can make a
// full reply megabytes long.
constexpr std::string_view kKeys =
    R"(["gid","status","dir","files","errorCode","errorMessage","totalLength","completedLength"])";

Text ListBody(const EngineState& state, std::string_view method, std::string_view paging) {
  // Chinese placeholders, as in the other templates: an ASCII word could
  // also match a key of the template, since letters match without case.
  return ReplacePlaceholders(Gbk(u8R"({"jsonrpc":"2.0","method":"方法","id":1,"params":["token:qzvtre",分页字段]})"),
                             {{"qzvtre", JsonStringContent(state.rpc_secret)},
                              {Gbk(u8"方法"), method},
                              {Gbk(u8"分页"), paging},
                              {Gbk(u8"字段"), kKeys}});
}

TaskList Ask(Desktop& desktop, const EngineState& state, std::string_view method, std::string_view paging) {
  Text reply = SendRpc(desktop, state, ListBody(state, method, paging));
  return ParseTaskList(reply);
}

Text Paging(int offset, int count) { return ToText(offset) + "," + ToText(count) + ","; }

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
  return Ask(desktop, state, "aria2.tellActive", "");
}

TaskList TellWaiting(Desktop& desktop, const EngineState& state, int offset, int count) {
  return Ask(desktop, state, "aria2.tellWaiting", Paging(offset, count));
}

TaskList TellStopped(Desktop& desktop, const EngineState& state, int offset, int count) {
  return Ask(desktop, state, "aria2.tellStopped", Paging(offset, count));
}

Text TaskOption(Desktop& desktop, const EngineState& state, std::string_view gid, std::string_view option) {
  Text body = ReplacePlaceholders(
      Gbk(u8R"({"jsonrpc":"2.0","method":"aria2.getOption","id":1,"params":["token:qzvtre","任务号"]})"),
      {{"qzvtre", JsonStringContent(state.rpc_secret)}, {Gbk(u8"任务号"), JsonStringContent(gid)}});
  Text reply = SendRpc(desktop, state, body);
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
