#include "app/options.h"

#include <cstdlib>

#include "notice/notice.h"
#include "util/download-folder-name.h"

#ifndef KORVATH_VERSION
#define KORVATH_VERSION "0.0.0"
#endif

namespace korvath {

Options ParseOptions(const std::vector<std::string>& args, const EnvLookup& env_in) {
  EnvLookup env = env_in ? env_in : [](const char* name) -> const char* { return std::getenv(name); };
  auto get = [&](const char* name) -> std::optional<std::string> {
    const char* v = env(name);
    if (!v || !*v) return std::nullopt;
    return std::string(v);
  };
  Options o;
  if (auto v = get("KORVATH_APP_URL")) o.app_url = *v;
  o.notice_url = get("KORVATH_NOTICE_URL");
  o.storage_base = get("KORVATH_STORAGE_BASE");
  o.ariang = get("KORVATH_ARIANG");
  o.event_log = get("KORVATH_EVENT_LOG").value_or("");
  o.auto_dialogs = get("KORVATH_DIALOGS").value_or("") == "auto";
  for (const auto& a : args) {
    if (a == "--help" || a == "-h") {
      o.show_help = true;
    } else if (a == "--version" || a == "-V") {
      o.show_version = true;
    } else if (a == "--user-downloads") {
      o.user_downloads = true;
    } else if (o.error.empty()) {
      o.error = "unknown argument: " + a;
    }
  }
  return o;
}

std::string VersionText() { return std::string("korvath ") + KORVATH_VERSION + "\n"; }

std::string HelpText() {
  return std::string(
             "Usage: korvath [--user-downloads] [--help] [--version]\n"
             "\n"
             "Korvath downloads the files of shared links with aria2. It is set up\n"
             "through the environment:\n"
             "\n"
             "  KORVATH_APP_URL=URL       the share-browsing app shown in the main window\n"
             "                            (default: ") +
         kDefaultAppUrl +
         ",\n"
         "                            a placeholder that never resolves)\n"
         "  KORVATH_NOTICE_URL=URL    where the start-up announcement is asked for\n"
         "                            (default: " +
         std::string(kDefaultNoticeUrl) +
         ")\n"
         "  KORVATH_STORAGE_BASE=URL  the storage service's base address; requests to it\n"
         "                            send the app page back (default: the built-in one)\n"
         "  KORVATH_ARIA2C=PATH       the aria2 program to run (default: aria2c on PATH)\n"
         "  KORVATH_ARIANG=FILE       an AriaNg all-in-one page to show in the download\n"
         "                            manager instead of the built-in page\n"
         "  KORVATH_EVENT_LOG=FILE    append one JSON object per line for each event\n"
         "                            (message boxes, page dialogs, aria2 start, RPC\n"
         "                            calls, intake, tasks, windows, start-up and\n"
         "                            shut-down steps)\n"
         "  KORVATH_DIALOGS=auto      answer every message box and page dialog with OK\n"
         "                            without showing it\n"
         "\n"
         "Settings are read from $XDG_CONFIG_HOME/korvath/settings.ini (the download\n"
         "folder, a remote aria2, the app and notice addresses, notifications); the\n"
         "variables above win over it. A remote aria2 is neither paused nor ended.\n"
         "\n"
         "A second start brings the running window to the front. SIGTERM and SIGINT\n"
         "shut down as closing the main window does: downloads are paused and aria2\n"
         "is ended.\n"
         "\n"
         "Downloads are saved in " +
         kDownloadFolderName +
         " in the current directory. An installed\n"
         "Korvath keeps aria2c.exe and aria2.conf in $XDG_DATA_HOME/korvath\n"
         "(~/.local/share/korvath); the one in its build folder keeps them beside itself.\n"
         "\n"
         "Warnings and errors go to korvath.log, aria2's own log to aria2.log, both in\n"
         "$XDG_STATE_HOME/korvath (~/.local/state/korvath); attach them to a problem\n"
         "report. Korvath is free software under the GNU GPL, version 3 or later.\n"
         "\n"
         "  --user-downloads  save downloads in " +
         kDownloadFolderName +
         " in the user's download\n"
         "                    folder (XDG_DOWNLOAD_DIR, else ~/Downloads) instead of\n"
         "                    the current directory; the applications menu entry\n"
         "                    starts Korvath with it\n"
         "  --help            show this text\n"
         "  --version         show the version\n";
}

}  // namespace korvath
