// Operator options: environment variables and the two command-line flags.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvath {

// The share-browsing app's address when KORVATH_APP_URL is not set. The real
// service's host is not ours to know; .invalid never resolves, so a missing
// setting shows our own "could not be reached" page instead of someone
// else's site.
inline constexpr const char* kDefaultAppUrl = "https://share.korvath.invalid/app/";

struct Options {
  std::string app_url = kDefaultAppUrl;
  std::optional<std::string> notice_url;    // absent: the notice client's default
  std::optional<std::string> storage_base;  // absent: the intake's default
  std::optional<std::string> ariang;        // an AriaNg all-in-one page to show instead
  std::string event_log;                    // "" logs nothing
  bool auto_dialogs = false;
  bool user_downloads = false;  // --user-downloads: see DownloadFolder()

  // From the settings file (settings-file.h); the defaults are the program's
  // behaviour without one.
  std::optional<std::string> download_folder;  // absent: DownloadFolder() decides
  std::string rpc_url;                         // "": the aria2 Korvath starts itself
  int aria2_port = 6800;                       // where the aria2 Korvath starts listens
  std::string rpc_secret;
  std::string certificate_sha256;  // lowercase hex; "": the system's certificate store decides
  std::string remote_folder;       // a path on the remote machine; "": that aria2's own folder
  bool notifications = true;
  std::map<std::string, std::string> aria2_options;  // the user's aria2 options by name
  int keep_finished = 200;                           // completed downloads the record keeps listed
  std::string settings_message;                      // what was wrong with the settings file; "" when nothing

  bool show_help = false;
  bool show_version = false;
  std::string error;  // an unknown argument; the program prints it and the help
};

using EnvLookup = std::function<const char*(const char*)>;

// Reads every KORVATH_* variable through `env` (getenv by default) and the
// arguments after the program name. Empty variables count as unset.
// KORVATH_ARIA2C is the exception: the engine reads it where it looks for
// the aria2 program (FindAria2Program), so every start follows one rule.
Options ParseOptions(const std::vector<std::string>& args, const EnvLookup& env = nullptr);

std::string HelpText();
std::string VersionText();

}  // namespace korvath
