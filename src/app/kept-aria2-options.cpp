#include "app/kept-aria2-options.h"

#include <cstdlib>

#include "app/settings-table.h"
#include "util/text.h"

namespace korvath {

GlobalOptions TaskGlobalOptions(const std::map<std::string, std::string>& kept) {
  GlobalOptions options;
  for (const auto& [name, value] : TaskAria2Options(kept)) {
    const int number = std::atoi(value.c_str());
    if (name == "continue")
      options.continue_downloads = value == "true";
    else if (name == "auto-file-renaming")
      options.auto_file_renaming = value == "true";
    else if (name == "follow-torrent")
      options.follow_torrent = value == "true";
    else if (name == "split")
      options.split = number;
    else if (name == "max-concurrent-downloads")
      options.concurrent_tasks = number;
    else if (name == "max-connection-per-server")
      options.connections_per_server = number;
    else if (name == "user-agent")
      options.user_agent = Utf8ToGbk(value);
    else if (name == "timeout")
      options.timeout_seconds = number;
    else if (name == "connect-timeout")
      options.connect_timeout_seconds = number;
    else if (name == "min-split-size")
      options.min_split_size = Text(value);
  }
  return options;
}

void SendKeptOptions(Desktop& desktop, const EngineState& state,
                     const std::map<std::string, std::string>& kept) {
  const auto others = OtherAria2Options(kept);
  if (others.empty()) return;
  const std::vector<std::string> refused = SetKeptOptions(desktop, state, others);
  std::string names;
  for (const std::string& name : refused) names += (names.empty() ? "" : ", ") + name;
  desktop.Log().Record("kept_options",
                       {{"sent", static_cast<std::int64_t>(others.size())}, {"refused", names}});
  if (refused.empty()) return;
  NoticeBox(desktop, Gbk(u8"aria2没有接受您保存的这些设置：") + Text(names) +
                         Gbk(u8"。其余设置已生效。请在下载管理的“设置”中改正这些项后重新保存。"));
}

}  // namespace korvath
