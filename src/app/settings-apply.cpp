#include "app/settings-apply.h"

#include <cstdlib>

#include "app/options.h"
#include "app/settings-table.h"

namespace korvath {

std::vector<std::string> ApplySavedSettings(RunningSettings& program, const Settings& saved,
                                            const std::vector<std::string>& changed) {
  std::vector<std::string> now;
  for (const std::string& name : changed) {
    const SettingRow* row = FindSettingField(name);
    const char* variable = row && row->variable ? std::getenv(row->variable) : nullptr;
    if (variable && *variable) continue;
    if (row && row->kind == SettingKind::kAria2) {
      program.UseAria2Options(saved.aria2_options);
    } else if (name == "folder") {
      program.UseDownloadFolder(saved.download_folder);
    } else if (name == "remote-folder") {
      program.UseRemoteFolder(saved.remote_folder.value_or(""));
    } else if (name == "notifications") {
      program.UseNotifications(saved.notifications.value_or(true));
    } else if (name == "app-url") {
      program.UseAppUrl(saved.app_url.value_or(kDefaultAppUrl));
    } else {
      continue;
    }
    now.push_back(name);
  }
  return now;
}

}  // namespace korvath
