// The settings table against the code that acts on it: the file's reader and
// the saver refuse and keep each value by its row's one check, and what the
// running program puts to use at once is what the rows promise the user.
#include "app/settings-table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/kept-aria2-options.h"
#include "app/settings-apply.h"
#include "app/settings-writer.h"
#include "engine/rpc-client.h"
#include "harness/korvath-harness.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// The row's value as Settings keeps it, as text; nullopt when absent.
std::optional<std::string> Kept(const SettingRow& row, const Settings& settings) {
  if (row.kind == SettingKind::kAria2) {
    const auto found = settings.aria2_options.find(row.key);
    return found == settings.aria2_options.end() ? std::nullopt : std::optional<std::string>(found->second);
  }
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
  const std::vector<std::string> values = {
      "x",         "true",  "maybe",     "http://h/app/",        "ftp://h/",
      "wss://h:1", "AB:CD", fingerprint, Utf8(u8"/数据/下载 #1")};
  for (const SettingRow& row : SettingRows()) {
    for (const std::string& value : values) {
      SCOPED_TRACE(std::string(row.key) + "=" + value);
      std::string checked = value;
      const std::optional<std::string> wrong = row.check(checked);
      const LoadedSettings read =
          ParseSettingsText("[" + std::string(row.group) + "]\n" + row.key + "=" + value + "\n");
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

// Counts what the running program was asked to use.
struct UsedSettings : RunningSettings {
  int used = 0;
  void UseAria2Options(const std::map<std::string, std::string>&) override { ++used; }
  void UseDownloadFolder(const std::optional<std::string>&) override { ++used; }
  void UseRemoteFolder(const std::string&) override { ++used; }
  void UseNotifications(bool) override { ++used; }
  void UseAppUrl(const std::string&) override { ++used; }
};

TEST(SettingsTable, WhatTheRowsSayTakesEffectNowIsWhatTheRunningProgramApplies) {
  UsedSettings program;
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
  EXPECT_EQ(ApplySavedSettings(program, saved, names), now);
  EXPECT_EQ(program.used, static_cast<int>(now.size()));
}

TEST(SettingsTable, TheOptionsSentBeforeADownloadAreTheUsersInTheBodysOwnOrder) {
  EngineState state;
  // Without a word from the user the program sends what it always sent.
  EXPECT_EQ(GlobalOptionsBody(state, TaskGlobalOptions({})), GlobalOptionsBody(state, {}));
  EXPECT_TRUE(OtherAria2Options({}).empty());

  const LoadedSettings read = ParseSettingsText(
      "[aria2-options]\nmin-split-size=20M\nauto-file-renaming=true\ncontinue=false\nsplit=4\n"
      "max-concurrent-downloads=7\nconnect-timeout=30\nuser-agent=Mine/1.0\n"
      "all-proxy=http://127.0.0.1:3128\nmax-overall-download-limit=500K\n");
  ASSERT_TRUE(read.problems.empty());
  EXPECT_EQ(
      GlobalOptionsBody(state, TaskGlobalOptions(read.settings.aria2_options)),
      R"({"jsonrpc":"2.0","method":"aria2.changeGlobalOption","id":1,"params":["token:",{"continue":"false",)"
      R"("auto-file-renaming":"true","follow-torrent":"false","split":"4","max-concurrent-downloads":"7",)"
      R"("max-connection-per-server":"8","user-agent":"Mine/1.0","timeout":"1","connect-timeout":"30",)"
      R"("min-split-size":"20M"}]})");
  // The rest go to aria2 at its start, never in the download's body.
  const std::vector<std::pair<std::string, std::string>> others = {{"max-overall-download-limit", "500K"},
                                                                   {"all-proxy", "http://127.0.0.1:3128"}};
  EXPECT_EQ(OtherAria2Options(read.settings.aria2_options), others);
}

TEST(SettingsTable, Aria2ValuesAria2WouldRefuseAreNamedInChineseAndNotKept) {
  const LoadedSettings read = ParseSettingsText(
      "[aria2-options]\nsplit=0\nmin-split-size=1.5M\nall-proxy=not a proxy\nmax-concurrent-downloads=5\n"
      "no-such-option=1\nfile-allocation=fast\n");
  ASSERT_EQ(read.problems.size(), 5u);
  EXPECT_EQ(read.problems[0].what, Utf8(u8"split：请输入 1 到 16 的整数"));
  EXPECT_EQ(read.problems[1].what, Utf8(u8"min-split-size：请输入 1M 到 1024M 之间的大小（例如 20M）"));
  EXPECT_EQ(read.problems[2].line, 4);
  EXPECT_EQ(read.problems[3].what, Utf8(u8"未知的设置“no-such-option”（组[aria2-options]）"));
  EXPECT_EQ(read.problems[4].what, Utf8(u8"file-allocation：只能是 none、prealloc、trunc、falloc 之一"));
  const std::map<std::string, std::string> kept = {{"max-concurrent-downloads", "5"}};
  EXPECT_EQ(read.settings.aria2_options, kept);
}

}  // namespace
}  // namespace korvath
