#include "shell/arrival-check-reply.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "shell/page-reply.h"

namespace korvath {

std::string ArrivalCheckReply(const std::string& request_json, const TaskFilesLookup& lookup,
                              StatedSizes& sizes, Desktop& desktop) {
  using nlohmann::json;
  const json request = json::parse(request_json, nullptr, false);
  const json refused = {{"ok", false}};
  if (!request.is_object() || !request.contains("gid") || !request["gid"].is_string())
    return PageReplyText(refused);
  const std::string gid = request["gid"];
  const std::optional<TaskFiles> task = lookup(gid);
  if (!task || task->status != "complete" || task->paths.empty() || task->paths[0].empty())
    return PageReplyText(refused);
  std::error_code ec;
  std::filesystem::path file(task->paths[0]);
  if (file.is_relative()) file = std::filesystem::current_path(ec) / file;
  const ArrivalVerdict verdict = sizes.Verdict(desktop, Utf8ToGbk(gid), file.string());
  return PageReplyText(json{{"ok", true}, {"mismatch", GbkToUtf8(verdict.text)}});
}

}  // namespace korvath
