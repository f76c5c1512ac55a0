// Korvath's own settings for the pages that show them: the manager's "设置"
// view reads and saves them through kSettingsMessage, and the main window's
// stand-in page (the app cannot be reached) saves another app address
// through kAppUrlMessage. Saving goes through SaveSettingsChanges, so a value
// is checked as the file's lines are and a damaged file is never written.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/settings-file.h"

namespace korvath {

// window.webkit.messageHandlers.korvathSettings: {"action":"load"} or
// {"action":"save","values":{...},"secret":"...","clearSecret":bool}, or
// {"action":"aria2","values":{"<aria2 option>":"<value>",...}}.
inline constexpr const char* kSettingsMessage = "korvathSettings";
// window.webkit.messageHandlers.korvathAppUrl: {"key":"...","url":"..."}.
inline constexpr const char* kAppUrlMessage = "korvathAppUrl";

// Puts what was saved to use at once where it can be; returns the names
// (as the page has them: "folder", "notifications", ...) of those that took
// effect. The others wait for the next start.
using SettingsApplier =
    std::function<std::vector<std::string>(const Settings& saved, const std::vector<std::string>& changed)>;

struct SettingsView {
  std::string path;            // the settings file; "": the page gets no handler
  std::string default_folder;  // where downloads go when the file names no folder
  EnvLookup env;               // the variables that win over the file; getenv when unset
  SettingsApplier apply;       // may be unset: nothing takes effect before the next start
};

// The reply (JSON text) to one message of the settings view. A load gives the
// form to draw (`fields`: each row's name, label, help, kind and when it
// takes effect, from the settings table), the
// file's values, never the remote aria2's secret (only whether one is set),
// the problems of a damaged file and which values variables override; a save
// changes only the values that differ from the file and says which took
// effect and which wait for the next start; the load also says which aria2
// options Korvath sends before every download (`aria2.sentPerTask`) and
// which the user keeps (`aria2.kept`), and "aria2" keeps the values given for
// aria2's options. {"ok":false,"error":...,"key":...}
// otherwise, the file untouched.
std::string SettingsMessageReply(const std::string& request_json, const SettingsView& view);

// Saves `url` as [app] app-url of the file at `path`; "" when saved, else
// what went wrong and what to do (UTF-8).
std::string SaveAppUrl(const std::string& path, const std::string& url);

}  // namespace korvath
