// Saving the settings file from the program's own views. Only the keys the
// user changed are touched; every other line, comments included, stays as
// the user wrote it, and a file the program cannot fully read is never
// written at all, so nothing the user wrote is lost.
#pragma once

#include <string>
#include <vector>

namespace korvath {

struct SettingChange {
  std::string group;
  std::string key;
  std::string value;  // UTF-8; "" removes the key, so its default stands again
};

struct SettingsSaveResult {
  bool ok = false;
  std::string error;    // UTF-8: what went wrong and what the user can do; "" when ok
  std::string bad_key;  // the key whose value was refused, when that was the trouble
};

// Checks every value as the file's own lines are checked, then replaces the
// file at `path` atomically (mode 0600: it may hold a secret). A link is
// followed, so the file it names is the one replaced. Refuses, changing
// nothing, when the present file has a line that cannot be used.
SettingsSaveResult SaveSettingsChanges(const std::string& path, const std::vector<SettingChange>& changes);

}  // namespace korvath
