// The settings table against the code that acts on it: the file's reader and
// the saver refuse and keep each value by its row's one check, and what the
// running program puts to use at once is what the rows promise the user.
#include "shell/settings-table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "harness/korvath-harness.h"
#include "shell/settings-writer.h"
#include "shell/shell.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// The row's value as Settings keeps it, as text; nullopt when absent.
std::optional<std::string> Kept(const SettingRow& row, const Settings& settings) {
  if (row.kind == SettingKind::kBool) {
    const std::optional<bool> flag = settings.*row.flag;
    return flag ? std::optional<std::string>(*flag ? "true" : "false") : std::nullopt;
  }
  return settings.*row.text;
}

TEST(SettingsTable, TheFileAndTheSaverApplyEachRowsOwnCheck) {
  const std::string dir = testing::MakeTempDir("settings-table");
  const std::string path = dir + "/settings.ini";
  std::string fingerprint;
  for (int i = 0; i < 32; ++i) fingerprint += std::string(i ? ":" : "") + "AB";
  const std::vector<std::string> values = {"x",        "true",   "maybe",         "http://h/app/", "ftp://h/",
                                           "wss://h:1", "AB:CD", fingerprint, Utf8(u8"/数据/下载 #1")};
  for (const SettingRow& row : SettingRows()) {
    for (const std::string& value : values) {
      SCOPED_TRACE(std::string(row.key) + "=" + value);
      std::string checked = value;
      const std::optional<std::string> wrong = row.check(checked);
      const LoadedSettings read = ParseSettingsText("[" + std::string(row.group) + "]\n" + row.key + "=" + value + "\n");
      const SettingsSaveResult saved = SaveSettingsChanges(path, {{row.group, row.key, value}});
      if (wrong) {
        ASSERT_EQ(read.problems.size(), 1u);
        EXPECT_EQ(read.problems[0].what, row.key + Utf8(u8"：") + *wrong);
        EXPECT_FALSE(Kept(row, read.settings).has_value());
        EXPECT_FALSE(saved.ok);
        EXPECT_EQ(saved.bad_key, row.key);
        EXPECT_FALSE(fs::exists(path));
      } else {
        EXPECT_TRUE(read.problems.empty());
        EXPECT_EQ(Kept(row, read.settings), checked);
        ASSERT_TRUE(saved.ok) << saved.error;
        EXPECT_EQ(Kept(row, LoadSettingsFile(path).settings), checked);
        fs::remove(path);
      }
    }
  }
  fs::remove_all(dir);
}

TEST(SettingsTable, WhatTheRowsSayTakesEffectNowIsWhatTheRunningProgramApplies) {
  Shell shell(Options{});
  Settings saved{.download_folder = "/data/mine",
                 .rpc_url = "http://nas:6800/jsonrpc",
                 .rpc_secret = "s",
                 .certificate_sha256 = std::string(64, 'a'),
                 .remote_folder = "/srv",
                 .app_url = "http://share.example/app/",
                 .notice_url = "http://notice.example/",
                 .notifications = false};
  std::vector<std::string> names, now;
  for (const SettingRow& row : SettingRows()) {
    names.push_back(row.name);
    // A variable set for this run holds the value until the next start.
    const char* variable = row.variable ? std::getenv(row.variable) : nullptr;
    if (row.when == SettingTakesEffect::kNow && !(variable && *variable)) now.push_back(row.name);
  }
  EXPECT_EQ(ApplySavedSettings(shell, saved, names), now);
}

}  // namespace
}  // namespace korvath
