// The user's settings file, $XDG_CONFIG_HOME/korvath/settings.ini, in GLib's
// key-file format. Every key is optional: a key that is absent (or a file
// that is missing) keeps the behaviour the program has without it.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/options.h"

namespace korvath {

// Values as written in the file (UTF-8), already checked: one field for each
// row of the settings table (settings-table.h), which says how it is kept.
struct Settings {
  std::optional<std::string> download_folder;        // [downloads] folder
  std::optional<std::string> rpc_url;                // [aria2] rpc-url; "" = the local aria2
  std::optional<std::string> port;                   // [aria2] port of the aria2 Korvath starts
  std::optional<std::string> rpc_secret;             // [aria2] rpc-secret
  std::optional<std::string> certificate_sha256;     // [aria2] certificate-sha256, as 64 lowercase hex digits
  std::optional<std::string> remote_folder;          // [aria2] remote-folder
  std::optional<std::string> app_url;                // [app] app-url
  std::optional<std::string> notice_url;             // [app] notice-url
  std::optional<bool> notifications;                 // [notifications] enabled
  std::map<std::string, std::string> aria2_options;  // [aria2-options] <aria2 option>=<value>
  std::optional<std::string> keep_finished;          // [downloads] keep-finished
};

// One line the program could not use; `line` counts from 1, and is 0 for
// the file as a whole.
struct SettingsProblem {
  int line = 0;
  std::string what;  // UTF-8, says what is wrong with it
};

struct LoadedSettings {
  bool found = false;  // the file exists and could be read
  Settings settings;   // what was good; a bad line contributes nothing
  std::vector<SettingsProblem> problems;
};

// g_get_user_config_dir() + "/korvath/settings.ini".
std::string SettingsFilePath();

// Reads `path` without ever writing to it. A missing file is no problem;
// something that is not a regular file is one, and is never waited on.
LoadedSettings LoadSettingsFile(const std::string& path);
// The same checks on text already read, for the file's contents.
LoadedSettings ParseSettingsText(const std::string& text);

// The one message (UTF-8) that reports every problem of the file at `path`;
// "" when there is none.
std::string SettingsProblemMessage(const std::string& path, const std::vector<SettingsProblem>& problems);

// `settings` on top of `options`, except where a KORVATH_* variable (read
// through `env`) set the value already.
void ApplySettings(Options& options, const Settings& settings, const EnvLookup& env = nullptr);

// The fingerprint as 64 lowercase hex digits, from that form or from the
// "AB:CD:..." form openssl prints; nullopt for anything else.
std::optional<std::string> NormalizeSha256Fingerprint(const std::string& text);

// What is wrong with `value` for the key `key` of [group], by the same checks
// the file's lines get (a key the program does not know is wrong too);
// nothing when it may stand in the file.
std::optional<std::string> SettingValueProblem(const std::string& group, const std::string& key,
                                               const std::string& value);

// Whether `url` is an aria2 RPC address Korvath can use: http, https, ws or
// wss with a host.
bool UsableRpcUrl(const std::string& url);

}  // namespace korvath
