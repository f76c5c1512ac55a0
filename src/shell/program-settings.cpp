// The settings saved in the manager that the running program puts to use at
// once.
#include "shell/program.h"

namespace korvath {

void Program::UseAria2Options(const std::map<std::string, std::string>& options) {
  options_.aria2_options = options;
  session_.SetKeptOptions(options);
}

void Program::UseDownloadFolder(const std::optional<std::string>& folder) {
  options_.download_folder = folder;
  DecideDownloadFolder();
}

void Program::UseRemoteFolder(const std::string& folder) { options_.remote_folder = folder; }

void Program::UseNotifications(bool on) {
  options_.notifications = on;
  // The save may arrive while the notifier waits on aria2: it is quietened,
  // never destroyed underneath itself.
  if (notifier_) {
    notifier_->SetQuiet(!on);
  } else if (on && app_) {
    StartDownloadNotifier();
  }
}

void Program::UseAppUrl(const std::string& url) {
  options_.app_url = url;
  if (main_) main_->SetAppUrl(url);
}

}  // namespace korvath
