// Korvath's own settings in the manager's "设置" view, with the window's real
// handler writing a real settings file: what the view loads, what a save
// changes on disk, and what it refuses to touch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/settings-table.h"
#include "manager-page/manager-page-fixture.h"
#include "shell/settings-messages.h"

namespace korvath::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class KorvathSettingsTest : public ManagerPageTest {
 protected:
  void SetUp() override {
    ManagerPageTest::SetUp();
    path_ = dir_ + "/config/korvath/settings.ini";
    fs::create_directories(fs::path(path_).parent_path());
  }
  void Write(const std::string& text) {
    std::ofstream(path_, std::ios::binary) << text;
    fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                               fs::perms::others_read);
  }
  // The page with the window's handler; the program's part of a save is
  // recorded instead of applied.
  void Open() {
    SettingsView view{.path = path_,
                      .default_folder = "/home/user/Downloads/ZorbitDravenet",
                      .env = [](const char* name) -> const char* {
                        return std::string(name) == "KORVATH_NOTICE_URL" ? "http://from-env/" : nullptr;
                      },
                      .apply =
                          [this](const Settings& saved, const std::vector<std::string>& changed) {
                            applied_.push_back(changed);
                            applied_folder_ = saved.download_folder.value_or("");
                            return std::vector<std::string>{"folder", "notifications"};
                          }};
    page_->AddMessageHandler(kSettingsMessage,
                             [view](const std::string& m) { return SettingsMessageReply(m, view); });
    ASSERT_TRUE(OpenPage(aria2_->secret()));
    ClickId("open-settings");
    ASSERT_TRUE(
        page_->WaitFor("document.getElementById('k-folder') !== null && "
                       "document.getElementById('korvath-path').textContent !== ''",
                       5000));
  }
  std::string Js(const std::string& e) { return page_->Eval(e); }
  void Set(const std::string& name, const std::string& value) {
    Js("document.getElementById('k-" + name + "').value = " + JsString(value) + "; true");
  }
  // Clicks save and waits for the page's answer line.
  std::string Save() {
    Js("document.getElementById('msg').textContent = ''; document.getElementById('korvath-save').click(); "
       "true");
    page_->WaitFor("document.getElementById('msg').textContent !== ''", 5000);
    return json::parse(Js("document.getElementById('msg').textContent"), nullptr, false).get<std::string>();
  }
  fs::perms Mode() { return fs::status(path_).permissions() & fs::perms::all; }

  std::string path_;
  std::vector<std::vector<std::string>> applied_;
  std::string applied_folder_;
};

TEST_F(KorvathSettingsTest, TheViewShowsTheFileAndSavesAChangedFolderKeepingEverythingElse) {
  const std::string secret = "s3cret-" + RandomSecret();
  Write("# my own note\n[downloads]\nfolder=/old/place\n\n[aria2]\nrpc-secret=" + secret +
        "\n# the NAS\nrpc-url=http://192.168.1.9:6800/jsonrpc\n[notifications]\nenabled=false\n");
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(Js("document.getElementById('k-folder').value"), "\"/old/place\"");
  EXPECT_EQ(Js("document.getElementById('k-rpc-url').value"), "\"http://192.168.1.9:6800/jsonrpc\"");
  EXPECT_EQ(Js("document.getElementById('k-notifications').value"), "\"false\"");
  EXPECT_EQ(Js("document.getElementById('k-rpc-secret').type"), "\"password\"");
  // The secret is kept by the window: the page learns only that there is one.
  EXPECT_EQ(Js("document.getElementById('k-rpc-secret').value"), "\"\"");
  EXPECT_NE(Js("document.getElementById('k-rpc-secret').placeholder").find("已保存"), std::string::npos);
  EXPECT_EQ(Js("document.documentElement.outerHTML").find(secret), std::string::npos);
  const std::string load = SettingsMessageReply(R"({"action":"load"})", {.path = path_});
  EXPECT_EQ(load.find(secret), std::string::npos) << load;
  // Every field has its label and its one-line explanation with when it applies.
  EXPECT_EQ(Js("[...document.querySelectorAll('#korvath-options .setting')].every((r) => "
               "r.querySelector('label').textContent.length > 1 && "
               "/生效/.test(r.querySelector('.help').textContent))"),
            "true");
  EXPECT_NE(Js("document.getElementById('k-notice-url').title").find("KORVATH_NOTICE_URL"),
            std::string::npos);
  Screenshot("manager-page-korvath-settings.png");

  const std::string folder = dir_ + "/chosen";
  Set("folder", folder);
  const std::string said = Save();
  EXPECT_NE(said.find("设置已保存"), std::string::npos) << said;
  EXPECT_NE(said.find("立即生效：下载文件夹"), std::string::npos) << said;
  const std::string text = ReadAll(path_);
  EXPECT_NE(text.find("folder=" + folder + "\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("/old/place"), std::string::npos) << text;
  for (const std::string& kept :
       {std::string("# my own note\n"), std::string("# the NAS\nrpc-url=http://192.168.1.9:6800/jsonrpc\n"),
        "rpc-secret=" + secret + "\n", std::string("enabled=false\n")})
    EXPECT_NE(text.find(kept), std::string::npos) << kept << " lost from\n" << text;
  EXPECT_EQ(Mode(), fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(applied_.size(), 1u);
  EXPECT_EQ(applied_[0], std::vector<std::string>{"folder"});
  EXPECT_EQ(applied_folder_, folder);
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path_).parent_path()), fs::directory_iterator()), 1)
      << "a temporary file was left beside the settings";

  // A new secret is sent once and saved; it never comes back to the page.
  Set("rpc-secret", "new-one");
  EXPECT_NE(Save().find("下次启动 Korvath 后生效：远程 aria2 密钥"), std::string::npos);
  EXPECT_NE(ReadAll(path_).find("rpc-secret=new-one\n"), std::string::npos);
  EXPECT_EQ(Js("document.getElementById('k-rpc-secret').value"), "\"\"");
  Js("document.getElementById('korvath-secret-clear').checked = true");
  Save();
  EXPECT_EQ(ReadAll(path_).find("rpc-secret"), std::string::npos) << ReadAll(path_);
  EXPECT_NE(Js("document.getElementById('k-rpc-secret').placeholder").find("未设置"), std::string::npos);
  // Emptying the folder gives the default back: the key goes.
  Set("folder", "");
  Save();
  EXPECT_EQ(ReadAll(path_).find("folder="), std::string::npos) << ReadAll(path_);
  EXPECT_NE(Js("document.getElementById('k-folder').placeholder").find("/home/user/Downloads/ZorbitDravenet"),
            std::string::npos);
}

TEST_F(KorvathSettingsTest, ABadValueIsRefusedNamingItsFieldAndTheFileStaysByteForByte) {
  const std::string text = "[app]\napp-url = https://share.example/app/\n";
  Write(text);
  ASSERT_NO_FATAL_FAILURE(Open());
  EXPECT_EQ(Js("document.getElementById('k-app-url').value"), "\"https://share.example/app/\"");
  Set("folder", dir_ + "/elsewhere");
  Set("rpc-url", "ftp://nas/jsonrpc");
  std::string said = Save();
  EXPECT_NE(said.find("没有保存"), std::string::npos) << said;
  EXPECT_NE(said.find("远程 aria2 地址"), std::string::npos) << said;
  EXPECT_EQ(Js("document.getElementById('k-rpc-url').classList.contains('bad')"), "true");
  Set("rpc-url", "");
  Set("certificate-sha256", "AB:CD");
  said = Save();
  EXPECT_NE(said.find("证书指纹"), std::string::npos) << said;
  EXPECT_EQ(Js("document.getElementById('k-certificate-sha256').classList.contains('bad')"), "true");
  // What a page could post by hand is checked the same way.
  for (const char* forged : {R"J({"action":"save","values":{"folder":"/a\nb"}})J",
                             R"J({"action":"save","values":{"notifications":"maybe"}})J",
                             R"J({"action":"save","values":{"app-url":"javascript:alert(1)"}})J",
                             R"J({"action":"save"})J", R"J({"action":"drop"})J", "[]"}) {
    const json reply = json::parse(SettingsMessageReply(forged, {.path = path_}));
    EXPECT_EQ(reply["ok"], false) << forged;
    EXPECT_FALSE(reply.value("error", "").empty()) << forged;
  }
  EXPECT_EQ(ReadAll(path_), text);
  EXPECT_EQ(Mode(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  EXPECT_TRUE(applied_.empty());
}

TEST_F(KorvathSettingsTest, ADamagedFileIsShownByLineAndNeverOverwritten) {
  const std::string text = "[downloads]\nfolder=/mine\n[notifications]\nenabled=maybe\n[mine]\nx=1\n";
  Write(text);
  ASSERT_NO_FATAL_FAILURE(Open());
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('korvath-damaged').hidden", 3000));
  const std::string shown = Js("document.getElementById('korvath-damaged').textContent");
  EXPECT_NE(shown.find("第4行"), std::string::npos) << shown;
  EXPECT_NE(shown.find("第5行"), std::string::npos) << shown;
  // The good line still shows.
  EXPECT_EQ(Js("document.getElementById('k-folder').value"), "\"/mine\"");
  Set("folder", dir_ + "/elsewhere");
  const std::string said = Save();
  EXPECT_NE(said.find("第4行"), std::string::npos) << said;
  EXPECT_NE(said.find("先用文本编辑器改正"), std::string::npos) << said;
  EXPECT_EQ(ReadAll(path_), text);
  EXPECT_TRUE(applied_.empty());
}

// aria2's options and the toolbar's speed limit are kept by the window as
// well as set in aria2; a value the window refuses reaches neither.
TEST_F(KorvathSettingsTest, Aria2OptionsSavedOnThePageAreKeptInTheFile) {
  ASSERT_NO_FATAL_FAILURE(Open());
  ASSERT_TRUE(page_->WaitFor("document.getElementById('opt-split').value !== ''", 5000));
  Js("const set = (id, v) => { const e = document.getElementById(id); e.value = v;"
     "  e.dispatchEvent(new Event('change', {bubbles: true})); };"
     "set('opt-max-concurrent-downloads', '6'); set('opt-auto-file-renaming', 'true');"
     "document.getElementById('msg').textContent = ''; document.getElementById('aria2-save').click(); true");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.includes('已保存')", 5000))
      << ReadAll(path_);
  const std::map<std::string, std::string> kept = {{"auto-file-renaming", "true"},
                                                   {"max-concurrent-downloads", "6"}};
  EXPECT_EQ(LoadSettingsFile(path_).settings.aria2_options, kept);
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-concurrent-downloads"], "6");

  Js("document.getElementById('limit').value = '500'; document.getElementById('limit-apply').click(); true");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.includes('500')", 5000));
  EXPECT_EQ(LoadSettingsFile(path_).settings.aria2_options.at("max-overall-download-limit"), "512000");

  // The table refuses what the page's own check lets through.
  const std::string before = ReadAll(path_);
  Js("const e = document.getElementById('opt-user-agent'); e.value = 'A\u0001B';"
     "e.dispatchEvent(new Event('change', {bubbles: true}));"
     "document.getElementById('msg').textContent = ''; document.getElementById('aria2-save').click(); true");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent !== ''", 5000));
  EXPECT_NE(Js("document.getElementById('msg').textContent").find("没有保存"), std::string::npos);
  EXPECT_EQ(ReadAll(path_), before);
  EXPECT_NE(aria2_->Call("aria2.getGlobalOption")["user-agent"], std::string("A\x01"
                                                                             "B"));
  EXPECT_EQ(Js("document.getElementById('opt-user-agent').classList.contains('bad')"), "true");
}

// The form is the window's settings table, drawn in its order: a field left
// out, a label or help that differs from what the window's messages name, or
// a wrong promise of when a change takes effect shows here.
TEST_F(KorvathSettingsTest, TheFormIsTheWindowsTableInItsOrder) {
  ASSERT_NO_FATAL_FAILURE(Open());
  json expected = json::array();
  std::vector<std::string> sent_per_task;
  for (const SettingRow& row : SettingRows()) {
    // aria2's options are drawn by the aria2 form; the window only says
    // which of them it sends before every download.
    if (row.kind == SettingKind::kAria2) {
      if (row.task_default &&
          page_->Eval(std::string("!!document.getElementById('opt-") + row.key + "')") == "true")
        sent_per_task.push_back(row.key);
      continue;
    }
    const char* type = row.kind == SettingKind::kBool     ? "select"
                       : row.kind == SettingKind::kSecret ? "password"
                                                          : "text";
    expected.push_back(
        {"k-" + std::string(row.name), type, reinterpret_cast<const char*>(row.label),
         reinterpret_cast<const char*>(row.help),
         row.when == SettingTakesEffect::kNow ? "（保存后立即生效）" : "（下次启动 Korvath 后生效）"});
  }
  const json drawn = json::parse(
      Js("[...document.querySelectorAll('#korvath-options .setting')].map((r) => {"
         "  const i = r.querySelector('input, select');"
         "  return [i.id, i.tagName === 'SELECT' ? 'select' : i.type, r.querySelector('label').textContent,"
         "          r.querySelector('.help').firstChild.data, r.querySelector('.reset').textContent]; })"),
      nullptr, false);
  EXPECT_EQ(drawn, expected);
  std::sort(sent_per_task.begin(), sent_per_task.end());
  EXPECT_EQ(
      json::parse(Js(
          "[...document.querySelectorAll('#aria2-options .setting')].filter((r) => r.querySelector('.reset'))"
          ".map((r) => r.querySelector('[data-option]').dataset.option).sort()")),
      json(sent_per_task));
  // Reading again fills the same form instead of drawing a second one.
  Js("document.getElementById('korvath-reload').click(); true");
  page_->Pump(300);
  EXPECT_EQ(Js("document.querySelectorAll('#korvath-options .setting').length"),
            std::to_string(expected.size()));
}

}  // namespace
}  // namespace korvath::testing
