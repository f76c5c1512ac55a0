#include "engine/unreachable-retry.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "engine/aria2-request.h"
#include "engine/download-failure.h"
#include "engine/rpc-client.h"

namespace korvath {
namespace {

using nlohmann::json;

// The reply's "result", or null when aria2 did not answer or refused.
json Ask(Desktop& desktop, const EngineState& engine, const std::string& body) {
  const json reply = json::parse(CallRpc(desktop, engine, body).reply, nullptr, false);
  return reply.is_object() && reply.contains("result") ? reply["result"] : json();
}

std::string Field(const json& object, const char* name) {
  return object.is_object() && object.contains(name) && object[name].is_string()
             ? object[name].get<std::string>()
             : std::string();
}

json Status(Desktop& desktop, const EngineState& engine, const std::string& gid) {
  return Ask(desktop, engine,
             Aria2Request(aria2_method::kTellStatus, engine.rpc_secret)
                 .AddText(gid)
                 .AddTexts(std::vector<std::string>{"status", "errorCode", "errorMessage", "completedLength",
                                                    "files"})
                 .Body());
}

std::string FirstPath(const json& status) {
  const json& files = status.is_object() ? status.value("files", json::array()) : json::array();
  return files.is_array() && !files.empty() ? Field(files[0], "path") : std::string();
}

}  // namespace

std::optional<int> UnreachableRetry::Failed(const std::string& gid) {
  const json status = Status(desktop_, engine_, gid);
  if (Field(status, "status") != "error" ||
      !ServerUnreachable(Field(status, "errorCode"), Field(status, "errorMessage")))
    return std::nullopt;
  const std::string path = FirstPath(status).empty() ? gid : FirstPath(status);
  Tries& tries = tries_[path];
  const std::string completed = Field(status, "completedLength");
  if (completed != tries.completed) tries.made = 0;
  tries.completed = completed;
  if (tries.made >= waits_ms_.size()) {
    desktop_.Log().Record("retry_given_up", {{"gid", gid}, {"path", path}});
    return std::nullopt;
  }
  const int wait = waits_ms_[tries.made++];
  waiting_[gid] = path;
  desktop_.Log().Record("retry_planned", {{"gid", gid}, {"path", path}, {"wait_ms", wait}});
  return wait;
}

void UnreachableRetry::TryAgain(const std::string& gid) {
  if (!waiting_.erase(gid)) return;
  const json status = Status(desktop_, engine_, gid);
  if (Field(status, "status") != "error") return;  // retried or removed by the user meanwhile
  const json options =
      Ask(desktop_, engine_, Aria2Request(aria2_method::kGetOption, engine_.rpc_secret).AddText(gid).Body());
  std::vector<std::string> uris;
  for (const json& file : status.value("files", json::array()))
    for (const json& uri : file.value("uris", json::array()))
      if (const std::string u = Field(uri, "uri");
          !u.empty() && std::find(uris.begin(), uris.end(), u) == uris.end())
        uris.push_back(u);
  if (!options.is_object() || uris.empty()) return;
  Aria2Options again;
  for (const auto& [name, value] : options.items())
    // The user unpaused it since it was added paused, or it would not have run.
    if (value.is_string() && name != "pause") again.Set(name, value.get<std::string>());
  const std::string new_gid = [&] {
    const json added =
        Ask(desktop_, engine_,
            Aria2Request(aria2_method::kAddUri, engine_.rpc_secret).AddTexts(uris).AddOptions(again).Body());
    return added.is_string() ? added.get<std::string>() : std::string();
  }();
  if (new_gid.empty()) return;
  // The failed entry goes only once its successor exists: the list shows the
  // task once, and never not at all.
  Ask(desktop_, engine_,
      Aria2Request(aria2_method::kRemoveDownloadResult, engine_.rpc_secret).AddText(gid).Body());
  desktop_.Log().Record("retry_started", {{"gid", gid}, {"new_gid", new_gid}});
}

}  // namespace korvath
