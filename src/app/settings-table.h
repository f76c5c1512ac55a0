// Every key of the settings file, one row each. The file's reader, the
// writer, the manager's settings view and the form the page draws all take
// a setting's group, key, check, label and reach from its row, so adding a
// setting is one row here plus the code that uses it.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/options.h"
#include "app/settings-file.h"

namespace korvath {

enum class SettingKind {
  kText,
  kSecret,  // kept by the window: the page only learns whether one is set
  kBool,    // "true" or "false" in the file
  // One of aria2's own global options, kept in [aria2-options] under its
  // aria2 name and drawn by the page's aria2 form, not Korvath's.
  kAria2,
};

enum class SettingTakesEffect { kNow, kNextStart };

struct SettingRow {
  const char* group;  // [group] of the file
  const char* key;
  const char* name;  // the field's name on the page and in its messages
  SettingKind kind;
  // What is wrong with `value` (UTF-8), said in Chinese; nothing when it may
  // stand in the file. A good value may be rewritten into the form the
  // program keeps (a fingerprint as 64 lowercase hex digits).
  std::optional<std::string> (*check)(std::string& value);
  // An empty value leaves the setting as if the key were absent: the
  // program's default stands.
  bool empty_is_default;
  const char8_t* label;
  const char8_t* help;
  const char* variable;  // the KORVATH_* variable that wins over the file; nullptr: none
  SettingTakesEffect when;
  // Where Settings keeps the value: `text` for text and secret rows, `flag`
  // for bool rows (shown as `flag_default` while the file sets none).
  std::optional<std::string> Settings::*text;
  std::optional<bool> Settings::*flag;
  bool flag_default;
  // Puts the kept value (present in the Settings) into the options.
  void (*apply)(const Settings& settings, Options& options);
  // kAria2 rows Korvath sends before every download: the value sent while
  // the user has saved none. nullptr: sent only when the user saved one.
  const char* task_default = nullptr;
};

// The rows in the order the page shows them.
std::span<const SettingRow> SettingRows();

// The row of [group] key, or of the page's field `name`; nullptr when none.
const SettingRow* FindSetting(const std::string& group, const std::string& key);
const SettingRow* FindSettingField(const std::string& name);

// The aria2 options Korvath sends before every download, in the order they
// are sent, each with the user's value or its default.
std::vector<std::pair<std::string, std::string>> TaskAria2Options(
    const std::map<std::string, std::string>& kept);
// The user's other aria2 options, in the table's order, for aria2's start.
std::vector<std::pair<std::string, std::string>> OtherAria2Options(
    const std::map<std::string, std::string>& kept);

// Whether a row's value is present in `settings`.
bool HasSetting(const SettingRow& row, const Settings& settings);

// Checks `value` for `row` and keeps it in `settings`; returns what is wrong
// instead, `settings` untouched.
std::optional<std::string> StoreSetting(const SettingRow& row, std::string value, Settings& settings);

}  // namespace korvath
