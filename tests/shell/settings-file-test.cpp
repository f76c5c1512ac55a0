// The settings file: what each key does to the options, what a damaged file
// reports, and that KORVATH_* variables stay in charge.
#include "app/settings-file.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "app/download-folder.h"
#include "app/settings-writer.h"
#include "engine/rpc-client.h"
#include "shell/settings-messages.h"
#include "support/fifo-trap.h"
#include "util/file-io.h"

namespace korvath {
namespace {

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

EnvLookup Env(std::map<std::string, std::string> values) {
  auto shared = std::make_shared<std::map<std::string, std::string>>(std::move(values));
  return [shared](const char* name) -> const char* {
    auto found = shared->find(name);
    return found == shared->end() ? nullptr : found->second.c_str();
  };
}

TEST(SettingsFile, EveryKeyReachesTheOptions) {
  const LoadedSettings loaded = ParseSettingsText(
      "# mine\n"
      "[downloads]\nfolder=/data/下载 dir\n"
      "[aria2]\n rpc-url = wss://nas.local:6800/jsonrpc\nrpc-secret=s3cret\n"
      "certificate-sha256=AB:CD\n"
      "remote-folder=/srv/files\n"
      "[app]\napp-url=http://share.example/app/\nnotice-url=https://n.example/x\n"
      "[notifications]\nenabled=false\n");
  // The fingerprint is too short to be one: the only problem, and it stays unset.
  ASSERT_EQ(loaded.problems.size(), 1u);
  EXPECT_EQ(loaded.problems[0].line, 7);

  Options options;
  ApplySettings(options, loaded.settings, Env({}));
  EXPECT_EQ(options.download_folder, Utf8(u8"/data/下载 dir"));
  EXPECT_EQ(options.rpc_url, "wss://nas.local:6800/jsonrpc");
  EXPECT_EQ(options.rpc_secret, "s3cret");
  EXPECT_EQ(options.certificate_sha256, "");
  EXPECT_EQ(options.remote_folder, "/srv/files");
  EXPECT_EQ(options.app_url, "http://share.example/app/");
  EXPECT_EQ(options.notice_url, "https://n.example/x");
  EXPECT_FALSE(options.notifications);
}

TEST(SettingsFile, FingerprintsAreTakenInEitherFormAndNothingElse) {
  const std::string hex(64, 'a');
  std::string colons;
  for (int i = 0; i < 32; ++i) colons += std::string(i ? ":" : "") + "AA";
  EXPECT_EQ(NormalizeSha256Fingerprint(hex), hex);
  EXPECT_EQ(NormalizeSha256Fingerprint(colons), hex);
  EXPECT_EQ(NormalizeSha256Fingerprint(hex + "a"), std::nullopt);
  EXPECT_EQ(NormalizeSha256Fingerprint(std::string(63, 'a') + "g"), std::nullopt);
  const LoadedSettings loaded = ParseSettingsText("[aria2]\ncertificate-sha256=" + colons + "\n");
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.settings.certificate_sha256, hex);
}

TEST(SettingsFile, RpcAddressesNeedAnAria2SchemeAndAHost) {
  for (const char* good :
       {"http://h:1/jsonrpc", "https://h/jsonrpc", "ws://10.0.0.2:6800/jsonrpc", "wss://h"})
    EXPECT_TRUE(UsableRpcUrl(good)) << good;
  for (const char* bad : {"ftp://h/", "http://", "http://:6800/", "h:6800", "http://u:p@h/", "http://h /x"})
    EXPECT_FALSE(UsableRpcUrl(bad)) << bad;
}

TEST(SettingsFile, EachBadLineIsNamedAndTheGoodOnesStillCount) {
  const LoadedSettings loaded = ParseSettingsText(
      "folder=/before/any/group\n"     // 1: no group yet
      "[downloads]\n"                  // 2
      "folder=/good\n"                 // 3
      "this line has no equals\n"      // 4: syntax
      "colour=blue\n"                  // 5: unknown key
      "[notifications]\n"              // 6
      "enabled=yes\n"                  // 7: bad value
      "[aria2]\r\n"                    // 8: CR LF line end is fine
      "rpc-url=gopher://x/\r\n"        // 9: bad value
      "certificate-sha256=xyz\n"       // 10: bad value
      "[elsewhere]\nkey=1\nother=2\n"  // 11 reported once, 12-13 not
  );
  std::vector<int> lines;
  for (const auto& problem : loaded.problems) lines.push_back(problem.line);
  EXPECT_EQ(lines, (std::vector<int>{1, 4, 5, 7, 9, 10, 11}));
  EXPECT_EQ(loaded.settings.download_folder, "/good");
  EXPECT_FALSE(loaded.settings.notifications.has_value());
  EXPECT_FALSE(loaded.settings.rpc_url.has_value());
  EXPECT_FALSE(loaded.settings.certificate_sha256.has_value());

  const std::string message = SettingsProblemMessage("/home/u/.config/korvath/settings.ini", loaded.problems);
  EXPECT_NE(message.find("/home/u/.config/korvath/settings.ini"), std::string::npos);
  EXPECT_NE(message.find(Utf8(u8"第5行：未知的设置“colour”")), std::string::npos) << message;
  EXPECT_NE(message.find(Utf8(u8"第7行：enabled：只能是true或false")), std::string::npos) << message;
  EXPECT_NE(message.find(Utf8(u8"已改用默认值")), std::string::npos);
  EXPECT_EQ(SettingsProblemMessage("x", {}), "");
}

TEST(SettingsFile, VariablesWinAndAMissingFileChangesNothing) {
  Settings settings;
  settings.app_url = "http://from-file/";
  settings.notice_url = "http://notice-from-file/";
  Options options = ParseOptions({}, Env({{"KORVATH_APP_URL", "http://from-env/"}}));
  ApplySettings(options, settings, Env({{"KORVATH_APP_URL", "http://from-env/"}}));
  EXPECT_EQ(options.app_url, "http://from-env/");
  EXPECT_EQ(options.notice_url, "http://notice-from-file/");

  const LoadedSettings missing = LoadSettingsFile("/nonexistent/korvath/settings.ini");
  EXPECT_FALSE(missing.found);
  EXPECT_TRUE(missing.problems.empty());
  Options untouched;
  ApplySettings(untouched, missing.settings, Env({}));
  const Options defaults;
  EXPECT_EQ(untouched.app_url, defaults.app_url);
  EXPECT_FALSE(untouched.download_folder.has_value());
  EXPECT_EQ(untouched.rpc_url, "");
  EXPECT_FALSE(untouched.notice_url.has_value());
  EXPECT_TRUE(untouched.notifications);
}

}  // namespace
}  // namespace korvath

namespace korvath {
namespace {

TEST(SettingsFile, TheChosenFolderWinsOverTheMenuEntrysDefault) {
  DownloadFolderSources sources{
      .user_downloads = true, .xdg_download_dir = "/home/u/Downloads", .home = "/home/u"};
  EXPECT_EQ(DownloadFolder(sources), "/home/u/Downloads/ZorbitDravenet");
  sources.settings_folder = "/data/mine";
  EXPECT_EQ(DownloadFolder(sources), "/data/mine");
  sources.user_downloads = false;
  EXPECT_EQ(DownloadFolder(sources), "/data/mine");

  // "~" is the user's home, as in a shell, not a folder named "~".
  const std::string home = g_get_home_dir();
  EXPECT_EQ(ParseSettingsText("[downloads]\nfolder=~/下载\n").settings.download_folder, home + "/下载");
  EXPECT_EQ(ParseSettingsText("[downloads]\nfolder=~\n").settings.download_folder, home);
  EXPECT_EQ(ParseSettingsText("[downloads]\nfolder=~other/x\n").settings.download_folder, "~other/x");
}

// What the program writes reads back as the value the user gave, whatever
// characters it holds, and a settings file linked from elsewhere stays a
// link to the file that now holds the change.
TEST(SettingsFile, SavedValuesReadBackExactlyAndALinkedFileStaysLinked) {
  namespace fs = std::filesystem;
  std::string dir = (fs::temp_directory_path() / "korvath-settings-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string real = dir + "/dotfiles/settings.ini";
  const std::string path = dir + "/korvath/settings.ini";
  fs::create_directories(dir + "/dotfiles");
  fs::create_directories(dir + "/korvath");
  std::ofstream(real) << "# kept\n[app]\nnotice-url=http://n.example/\n";
  fs::create_symlink(real, path);
  const std::string folder = Utf8(u8"  /下载/a\\b #1;x=y ");
  ASSERT_TRUE(
      SaveSettingsChanges(path, {{"downloads", "folder", folder}, {"aria2", "rpc-secret", "a#b;c"}}).ok);
  EXPECT_TRUE(fs::is_symlink(path));
  const LoadedSettings loaded = LoadSettingsFile(path);
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.settings.download_folder, folder);
  EXPECT_EQ(loaded.settings.rpc_secret, "a#b;c");
  EXPECT_EQ(loaded.settings.notice_url, "http://n.example/");
  EXPECT_EQ(ReadWholeFile(real)->rfind("# kept\n", 0), 0u) << *ReadWholeFile(real);
  // An unknown key is not the program's to write.
  EXPECT_FALSE(SaveSettingsChanges(path, {{"app", "colour", "red"}}).ok);
  EXPECT_EQ(LoadSettingsFile(path).settings.download_folder, folder);
  fs::remove_all(dir);
}

// A FIFO under the settings file's name held start-up (and the settings
// view) waiting for a writer. It is told as a whole-file problem, and a save
// leaves it alone.
TEST(SettingsFile, AFifoInPlaceOfTheFileIsToldAndNeitherReadNorWrittenOver) {
  namespace fs = std::filesystem;
  std::string dir = (fs::temp_directory_path() / "korvath-settings-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string path = dir + "/settings.ini";
  ASSERT_TRUE(testing::MakeFifo(path));
  const auto loaded = testing::WithinTime(path, [&] { return LoadSettingsFile(path); });
  ASSERT_TRUE(loaded.has_value()) << "loading the settings waited on the FIFO";
  EXPECT_FALSE(loaded->found);
  ASSERT_EQ(loaded->problems.size(), 1u);
  const std::string message = SettingsProblemMessage(path, loaded->problems);
  EXPECT_NE(message.find(Utf8(u8"不是普通的文本文件")), std::string::npos) << message;
  EXPECT_EQ(message.find(Utf8(u8"第0行")), std::string::npos) << message;

  const auto saved = testing::WithinTime(path, [&] {
    return SaveSettingsChanges(path, {{"app", "app-url", "http://a.example/"}});
  });
  ASSERT_TRUE(saved.has_value()) << "saving the settings waited on the FIFO";
  EXPECT_FALSE(saved->ok);
  EXPECT_NE(saved->error.find(Utf8(u8"不是普通的文本文件")), std::string::npos) << saved->error;
  EXPECT_TRUE(fs::is_fifo(path));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath

namespace korvath {
namespace {
// A folder or settings path named in another encoding (a home folder from an
// old system, Korvath started in such a folder) is not UTF-8: the reply to
// the manager's settings view must still be one, not a crash.
TEST(SettingsMessages, APathThatIsNotUtf8ReachesThePageReplaced) {
  const std::string latin1_dir = ::testing::TempDir() + "caf\xe9";
  std::filesystem::create_directories(latin1_dir);
  const std::string reply = SettingsMessageReply(
      R"({"action":"load"})", {.path = latin1_dir + "/settings.ini", .default_folder = latin1_dir});
  const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
  ASSERT_TRUE(parsed.is_object()) << reply;
  EXPECT_EQ(parsed.value("defaultFolder", ""), ::testing::TempDir() + "caf\xef\xbf\xbd");
}
}  // namespace
}  // namespace korvath

namespace korvath {
namespace {
// The page marks and keeps aria2's options through the window: the list it
// marks is the body the program really sends, and what it keeps is checked
// as the file's lines are, a refusal leaving the file as it was.
TEST(SettingsMessages, ThePageLearnsTheSentOptionsFromTheBodyAndKeepsOnlyGoodValues) {
  const std::string path = ::testing::TempDir() + "aria2-kept/settings.ini";
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::vector<std::string> applied;
  const SettingsView view{.path = path,
                          .apply = [&](const Settings& saved, const std::vector<std::string>& changed) {
                            applied = changed;
                            EXPECT_EQ(saved.aria2_options.at("split"), "4");
                            return changed;
                          }};
  const nlohmann::json loaded = nlohmann::json::parse(SettingsMessageReply(R"({"action":"load"})", view));
  const nlohmann::ordered_json body = nlohmann::ordered_json::parse(GlobalOptionsBody(EngineState{}, {}));
  std::vector<std::string> sent;
  for (const auto& [name, value] : body["params"][1].items()) sent.push_back(name);
  EXPECT_EQ(loaded["aria2"]["sentPerTask"].get<std::vector<std::string>>(), sent);

  nlohmann::json reply = nlohmann::json::parse(SettingsMessageReply(
      R"({"action":"aria2","values":{"split":"4","all-proxy":" http://127.0.0.1:3128 "}})", view));
  ASSERT_EQ(reply.value("ok", false), true) << reply.dump();
  EXPECT_EQ(applied, (std::vector<std::string>{"all-proxy", "split"}));
  const std::map<std::string, std::string> kept = {{"all-proxy", "http://127.0.0.1:3128"}, {"split", "4"}};
  EXPECT_EQ(LoadSettingsFile(path).settings.aria2_options, kept);

  const std::string before = *ReadPlainFile(path).bytes;
  for (const char* request : {R"({"action":"aria2","values":{"split":"99","timeout":"5"}})",
                              R"({"action":"aria2","values":{"no-such-option":"1"}})"}) {
    reply = nlohmann::json::parse(SettingsMessageReply(request, view));
    EXPECT_EQ(reply.value("ok", true), false) << request;
    EXPECT_EQ(*ReadPlainFile(path).bytes, before) << request;
  }
  reply = nlohmann::json::parse(SettingsMessageReply(R"({"action":"aria2","values":{"split":"99"}})", view));
  EXPECT_EQ(reply.value("key", ""), "split");
  EXPECT_EQ(reply.value("error", "").rfind(Utf8(u8"“分段数”：请输入 1 到 16 的整数"), 0), 0u) << reply.dump();
}
}  // namespace
}  // namespace korvath
