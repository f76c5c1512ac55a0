// What a setting saved from the manager's view changes in the running
// program before the next start. The rows of the settings table that say
// "now" are the ones acted on here.
#include <cstdlib>

#include "shell/settings-table.h"
#include "shell/shell.h"

namespace korvath {

std::vector<std::string> ApplySavedSettings(Shell& shell, const Settings& saved,
                                            const std::vector<std::string>& changed) {
  std::vector<std::string> now;
  for (const std::string& name : changed) {
    // A variable set for this run still wins, as it did at start.
    const SettingRow* row = FindSettingField(name);
    const char* variable = row && row->variable ? std::getenv(row->variable) : nullptr;
    if (variable && *variable) continue;
    if (row && row->kind == SettingKind::kAria2) {
      // The next download sends it, and aria2's next start gets it again.
      shell.options.aria2_options = saved.aria2_options;
      now.push_back(name);
    } else if (name == "folder") {
      // The next task goes there; tasks already made keep their folder.
      shell.options.download_folder = saved.download_folder;
      DecideDownloadFolder(shell);
      now.push_back(name);
    } else if (name == "remote-folder") {
      shell.options.remote_folder = saved.remote_folder.value_or("");
      now.push_back(name);
    } else if (name == "notifications") {
      shell.options.notifications = saved.notifications.value_or(true);
      // The save may arrive while the notifier waits on aria2: it is
      // quietened, never destroyed underneath itself.
      if (shell.notifier) {
        shell.notifier->SetQuiet(!shell.options.notifications);
      } else if (shell.options.notifications && shell.app) {
        StartDownloadNotifier(shell);
      }
      now.push_back(name);
    } else if (name == "app-url") {
      shell.options.app_url = saved.app_url.value_or(kDefaultAppUrl);
      if (shell.main) shell.main->SetAppUrl(shell.options.app_url);
      now.push_back(name);
    }
  }
  return now;
}

}  // namespace korvath
