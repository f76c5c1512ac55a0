#include "shell/record-reply.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "app/engine-session.h"
#include "engine/download-task.h"
#include "platform/event-log.h"
#include "shell/page-reply.h"

namespace korvath {

void AddedOrder::Add(const nlohmann::json& more) {
  for (const nlohmann::json& gid : more) {
    if (!gid.is_string() || gid.get_ref<const std::string&>().empty()) continue;
    if (held_.insert(gid.get<std::string>()).second) gids_.push_back(gid.get<std::string>());
  }
  if (gids_.size() > kMost) {
    const auto cut = gids_.begin() + static_cast<std::ptrdiff_t>(gids_.size() - kMost);
    for (auto it = gids_.begin(); it != cut; ++it) held_.erase(*it);
    gids_.erase(gids_.begin(), cut);
  }
}

std::string RecordReply(const std::string& request_json, const EngineSession& session, AddedOrder& order) {
  using json = nlohmann::json;
  const json request = json::parse(request_json, nullptr, false);
  if (!request.is_object()) return PageReplyText(json{{"ok", false}});
  SessionKeeper* keeper = session.keeper();
  // {"added":[gid,...]}: the places the page gave since, appended.
  if (request.contains("added")) {
    if (!request["added"].is_array()) return PageReplyText(json{{"ok", false}});
    order.Add(request["added"]);
    return PageReplyText(json{{"ok", true}});
  }
  if (request.contains("forget")) {
    std::vector<Text> gids;
    if (request["forget"].is_array())
      for (const json& gid : request["forget"])
        if (gid.is_string()) gids.push_back(Utf8ToGbk(gid.get<std::string>()));
    const bool ok = keeper && keeper->Forget(session.desktop(), gids, MonotonicMs());
    return PageReplyText(json{{"ok", ok}});
  }
  json finished = json::array();
  if (keeper) {
    for (const SessionTask& task : keeper->finished()) {
      const std::string dir = GbkToUtf8(task.dir);
      const std::string name = SafeFileName(GbkToUtf8(task.out));
      finished.push_back({{"gid", GbkToUtf8(task.gid)},
                          {"dir", dir},
                          {"name", name},
                          {"path", name.empty() ? dir : (std::filesystem::path(dir) / name).string()},
                          {"length", task.length}});
    }
  }
  json sizes = json::object();
  for (const auto& [gid, size] : session.restored_sizes())
    sizes[GbkToUtf8(gid)] = {{"total", size.total}, {"completed", size.completed}};
  json reply{{"finished", std::move(finished)},
             {"sizes", std::move(sizes)},
             {"keep", keeper ? keeper->keep_finished() : 0}};
  // {"order":true}: a new window asks once for the places an earlier gave.
  if (request.contains("order") && request["order"] == true) reply["added"] = order.gids();
  return PageReplyText(reply);
}

}  // namespace korvath
