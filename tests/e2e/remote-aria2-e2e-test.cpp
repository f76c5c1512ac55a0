// The settings file and an aria2 on "another machine": a second aria2 this
// test starts on 127.0.0.2 with its own secret and folder, over http and over
// https with a certificate the test makes. Korvath is pointed at it by the
// settings file alone, and must start no aria2 of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "demo-site.h"
#include "engine/download-task.h"
#include "harness/aria2-instance.h"
#include "harness/korvath-harness.h"
#include "support/hostile-server.h"
#include "support/loopback-ports.h"
#include "support/recording-server.h"
#include "support/start-up-servers.h"

namespace korvath::testing {
namespace {

using demo::DemoFile;
using demo::DemoSite;

constexpr const char* kMainTitle = "Korvath - Fenlow";
constexpr const char* kRemoteHost = "127.0.0.2";

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class RemoteAria2Test : public ::testing::Test {
 protected:
  void SetUp() override {
    // Port 6800 must be quiet for "nothing listens there" to mean anything.
    ASSERT_TRUE(lock.locked()) << "another test kept aria2's port for minutes";
    ASSERT_TRUE(x.ok()) << "no X display";
    ASSERT_TRUE(WaitUntil([] { return !PortListening(6800); }, 15000)) << "port 6800 stays taken";
    ASSERT_GT(site.Start(), 0);
  }
  void TearDown() override {
    korvath.reset();
    if (remote) remote->Stop();
    fs::remove_all(remote_dir);
    fs::remove_all(config_dir);
  }

  void StartRemote(bool secure) {
    std::vector<std::string> tls;
    if (secure) {
      ASSERT_EQ(certificate.fingerprint.size(), 95u) << "openssl made no certificate";
      tls = certificate.Aria2Args();
    }
    remote = std::make_unique<Aria2Instance>(RandomSecret(), remote_dir, tls);
    remote->ListenAt(kRemoteHost, UnusedPort());
    ASSERT_TRUE(remote->Start(20000)) << "the remote aria2 did not come up";
  }

  void WriteSettings(const std::string& text) {
    fs::create_directories(config_dir + "/korvath");
    std::ofstream(config_dir + "/korvath/settings.ini", std::ios::binary) << text;
  }

  std::string RemoteSettings(const std::string& secret, const std::string& extra = "") const {
    return "[aria2]\nrpc-url=" + remote->RpcUrl() + "\nrpc-secret=" + secret +
           "\nremote-folder=" + remote_dir + "\n" + extra;
  }

  void StartKorvath(std::size_t index = 0) {
    korvath = std::make_unique<KorvathProcess>(
        std::map<std::string, std::string>{{"KORVATH_APP_URL", site.FilePageUrl(index)},
                                           {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                                           {"XDG_CONFIG_HOME", config_dir}});
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath->Output();
  }

  Window MainWindow() const {
    for (Window w : x.WindowsOf(korvath->pid()))
      if (x.Title(w) == kMainTitle) return w;
    return 0;
  }

  // Clicks the demo page's download button once it is drawn.
  void ClickDownload() {
    ASSERT_TRUE(WaitUntil([&] { return MainWindow() != 0; }, 10000));
    XWindowAttributes a{};
    XGetWindowAttributes(x.get(), MainWindow(), &a);
    const int bx = a.width / 2, by = a.height - 32;
    ASSERT_TRUE(WaitUntil([&] { return GrayStatistic(MainWindow(), bx - 40, by - 4, 80, 8, "mean") < 0.7; },
                          15000, 100))
        << "the download button was never drawn";
    ClickAt(MainWindow(), bx, by);
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const auto& e : korvath->EventsNamed("message_box")) texts.push_back(e.value("text", ""));
    return texts;
  }
  bool SomeBoxSays(const std::string& part) const {
    for (const auto& text : BoxTexts())
      if (text.find(part) != std::string::npos) return true;
    return false;
  }

  // No aria2 of Korvath's: none started, none among its children, none on 6800.
  void ExpectNoLocalAria2() const {
    EXPECT_TRUE(korvath->EventsNamed("aria2_started").empty());
    EXPECT_FALSE(PortListening(6800));
    const std::string children = RunCommand("ps -o comm= --ppid " + std::to_string(korvath->pid()));
    EXPECT_EQ(children.find("aria2c"), std::string::npos) << children;
  }

  // The click ends with the demo file in the remote aria2's folder, whole.
  void ExpectDownloadArrives(std::size_t index) {
    ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 20000)) << korvath->Output();
    const DemoFile& file = site.files()[index];
    const fs::path saved = fs::path(remote_dir) / SafeFileName(demo::SavedName(file));
    ASSERT_TRUE(WaitUntil(
        [&] {
          std::error_code ec;
          return fs::exists(saved, ec) && fs::file_size(saved, ec) == file.size &&
                 !fs::exists(saved.string() + ".aria2", ec);
        },
        20000, 100))
        << saved << "\n"
        << remote->Call("aria2.tellStopped", {0, 10}).dump() << remote->Call("aria2.tellActive").dump();
    std::string expected;
    ASSERT_TRUE(demo::ReadContent(file, 0, file.size, expected));
    EXPECT_TRUE(ReadAll(saved) == expected) << "bytes differ in " << saved;
    // The remote aria2 itself holds the task.
    nlohmann::json stopped = remote->Call("aria2.tellStopped", {0, 10});
    ASSERT_TRUE(stopped.is_array());
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].value("status", ""), "complete");
  }

  Aria2MachineLock lock;
  XDisplay x;
  DemoSite site;
  SelfSignedCertificate certificate;
  std::string remote_dir = MakeTempDir("remote-downloads");
  std::string config_dir = MakeTempDir("config");
  std::unique_ptr<Aria2Instance> remote;
  std::unique_ptr<KorvathProcess> korvath;
};

TEST_F(RemoteAria2Test, OverHttpTheTaskRunsThereAndShutDownLeavesItAlone) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(false));
  WriteSettings(RemoteSettings(remote->secret()));
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  EXPECT_EQ(korvath->EventsNamed("remote_aria2", {{"ok", true}}).size(), 1u);
  EXPECT_TRUE(korvath->WaitForEvent("global_options_accepted", {}, 5000));
  ExpectNoLocalAria2();
  ClickDownload();
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadArrives(0));
  EXPECT_FALSE(korvath->EventsNamed("window", {{"name", "download_manager"}, {"action", "opened"}}).empty());

  // A task still waiting there when Korvath ends must stay as it is.
  nlohmann::json gid = remote->Call("aria2.addUri", {{site.DownloadUrl(0)}, {{"pause", "true"}}});
  ASSERT_TRUE(gid.is_string());
  korvath->Signal(SIGTERM);
  ASSERT_EQ(korvath->WaitExit(20000), 0);
  EXPECT_TRUE(korvath->EventsNamed("rpc", {{"method", "aria2.pauseAll"}}).empty());
  EXPECT_GT(remote->Call("aria2.getVersion").size(), 0u) << "the remote aria2 was ended";
  EXPECT_EQ(remote->Call("aria2.tellStatus", {gid, {"status"}}).value("status", ""), "paused");
  ExpectNoLocalAria2();
}

TEST_F(RemoteAria2Test, OverHttpsAPinnedSelfSignedCertificateIsTrusted) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(true));
  WriteSettings(RemoteSettings(remote->secret(), "certificate-sha256=" + certificate.fingerprint + "\n"));
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  EXPECT_EQ(korvath->EventsNamed("remote_aria2", {{"ok", true}}).size(), 1u) << korvath->Output();
  ExpectNoLocalAria2();
  ClickDownload();
  ASSERT_NO_FATAL_FAILURE(ExpectDownloadArrives(0));
  // The manager page connects from inside the web engine, which is told to
  // accept that one certificate for that host.
  ASSERT_TRUE(korvath->WaitForEvent("web_certificate_pinned", {}, 10000)) << korvath->Output();
  EXPECT_EQ(korvath->EventsNamed("web_certificate_pinned", {{"ok", true}}).size(), 1u)
      << korvath->EventsNamed("web_certificate_pinned")[0].dump();
  // aria2's own notices come over wss, trusting the same pinned certificate.
  EXPECT_TRUE(korvath->WaitForEvent("aria2_events", {{"state", "streaming"}}, 10000))
      << korvath->EventsNamed("aria2_events").size();
}

// The pin is for the manager's page alone: a page in the main window that
// reaches for the same server, after the manager has trusted it, is still
// refused by the engine.
TEST_F(RemoteAria2Test, APinnedCertificateServesTheManagerOnlyNotThePagesOfTheMainWindow) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(true));
  WriteSettings(RemoteSettings(remote->secret(), "certificate-sha256=" + certificate.fingerprint + "\n"));
  RecordingServer app;
  const std::string target = remote->RpcUrl() + "?probe=1";
  app.SetResponder([&](const RecordedRequest& r) {
    if (r.Target().rfind("/app/", 0) == 0)
      return Reply::Ok(
          "<!DOCTYPE html><html><body><script>setInterval(() => {"
          "fetch('" +
              target +
              "', { mode: 'no-cors' }).then(() => fetch('/report?reached'),"
              " () => fetch('/report?refused')); }, 400);</script></body></html>",
          {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    return Reply::Ok("", {}, "204 No Content");
  });
  auto reports = [&] {
    std::vector<std::string> out;
    for (auto& r : app.Requests())
      if (r.Target().rfind("/report?", 0) == 0) out.push_back(r.Target().substr(8));
    return out;
  };
  korvath = std::make_unique<KorvathProcess>(
      std::map<std::string, std::string>{{"KORVATH_APP_URL", app.Url("/app/")},
                                         {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                                         {"XDG_CONFIG_HOME", config_dir}});
  ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath->Output();
  ASSERT_TRUE(WaitUntil([&] { return MainWindow() != 0; }, 10000));
  ClickAt(MainWindow(), 456, 28);  // 下载管理
  ASSERT_TRUE(korvath->WaitForEvent("web_certificate_pinned", {{"ok", true}}, 15000)) << korvath->Output();
  const std::size_t before = reports().size();
  ASSERT_TRUE(WaitUntil([&] { return reports().size() >= before + 3; }, 15000))
      << "the page stopped reporting";
  const std::vector<std::string> seen = reports();
  for (std::size_t i = before; i < seen.size(); ++i) EXPECT_EQ(seen[i], "refused") << i;
}

TEST_F(RemoteAria2Test, AnUnpinnedCertificateIsRefusedShowingItsFingerprint) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(true));
  WriteSettings(RemoteSettings(remote->secret()));
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  EXPECT_EQ(korvath->EventsNamed("remote_aria2", {{"ok", false}}).size(), 1u);
  EXPECT_TRUE(SomeBoxSays(Utf8(u8"的证书不被信任，已拒绝连接")));
  EXPECT_TRUE(SomeBoxSays(certificate.fingerprint)) << certificate.fingerprint;
  // Nothing reached the remote aria2: the secret never left this machine.
  nlohmann::json active = remote->Call("aria2.tellActive");
  EXPECT_TRUE(active.is_array() && active.empty());
  ExpectNoLocalAria2();
}

TEST_F(RemoteAria2Test, AWrongSecretIsNamedAtStartAndTheClickOffersARetry) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(false));
  WriteSettings(RemoteSettings("not-" + remote->secret()));
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  EXPECT_TRUE(SomeBoxSays("Unauthorized"));
  ClickDownload();
  ASSERT_TRUE(korvath->WaitForEvent("intake_retry_offered", {}, 20000)) << korvath->Output();
  auto retry = korvath->EventsNamed("message_box", {{"flags", 5 + 16}});
  ASSERT_EQ(retry.size(), 1u);
  EXPECT_NE(retry[0].value("text", "").find(Utf8(u8"重试")), std::string::npos);
  const auto texts = BoxTexts();
  EXPECT_GE(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) { return t.find("Unauthorized") != std::string::npos; }),
            2);
  // Korvath is still there and no task was made anywhere.
  EXPECT_FALSE(korvath->WaitExit(200).has_value());
  EXPECT_TRUE(remote->Call("aria2.tellStopped", {0, 10}).empty());
  ExpectNoLocalAria2();
}

// A page that asks for a file while start-up still waits (here for the
// announcement) is answered once Korvath knows its aria2: the task goes to
// the remote one, never to whatever listens on this machine's port 6800.
TEST_F(RemoteAria2Test, AFileAskedForDuringStartUpGoesToTheRemoteAria2) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(false));
  WriteSettings(RemoteSettings(remote->secret()));
  RecordingServer app;
  ServeAPageAskingForAFileAtOnce(app);
  RecordingServer notice;
  HoldTheNotice(notice);
  korvath = std::make_unique<KorvathProcess>(
      std::map<std::string, std::string>{{"KORVATH_APP_URL", app.Url("/app/")},
                                         {"KORVATH_NOTICE_URL", notice.Url("/n")},
                                         {"XDG_CONFIG_HOME", config_dir}});
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 30000)) << korvath->Output();
  const auto asked = korvath->EventsNamed("intake_queued");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_LT(asked[0]["t_ms"], korvath->EventsNamed("remote_aria2")[0]["t_ms"]) << "the request came too late";
  EXPECT_TRUE(BoxTexts().empty()) << BoxTexts()[0];
  const fs::path saved = fs::path(remote_dir) / "early.bin";
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(saved) == "12345"; }, 20000, 100)) << saved;
  ExpectNoLocalAria2();
}

// The remote folder is not ours to look into: a file already there under the
// clicked name is kept, and the download takes a numbered name beside it.
TEST_F(RemoteAria2Test, AFileOfTheSameNameInTheRemoteFolderIsKept) {
  ASSERT_NO_FATAL_FAILURE(StartRemote(false));
  WriteSettings(RemoteSettings(remote->secret()));
  const DemoFile& file = site.files()[0];
  const fs::path users = fs::path(remote_dir) / SafeFileName(demo::SavedName(file));
  std::ofstream(users, std::ios::binary) << "kept";
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  ClickDownload();
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 20000)) << korvath->Output();
  const fs::path beside = users.parent_path() / (users.stem().string() + ".1" + users.extension().string());
  std::string expected;
  ASSERT_TRUE(demo::ReadContent(file, 0, file.size, expected));
  EXPECT_TRUE(WaitUntil([&] { return ReadAll(beside) == expected; }, 20000, 100))
      << remote->Call("aria2.tellStopped", {0, 10}).dump();
  EXPECT_EQ(ReadAll(users), "kept");
}

TEST_F(RemoteAria2Test, AnUnreachableAddressIsSaidPlainlyAndNothingStartsLocally) {
  remote = nullptr;
  WriteSettings("[aria2]\nrpc-url=http://127.0.0.2:" + std::to_string(UnusedPort()) +
                "/jsonrpc\nrpc-secret=x\n");
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  EXPECT_TRUE(SomeBoxSays(Utf8(u8"无法连接远程aria2")));
  EXPECT_EQ(korvath->EventsNamed("remote_aria2", {{"ok", false}}).size(), 1u);
  ExpectNoLocalAria2();
}

// A remote aria2 that accepts and never answers (a machine asleep behind a
// tunnel) froze the window for the whole call: 关于 opened over a minute late.
TEST_F(RemoteAria2Test, AnAria2ThatNeverAnswersLeavesTheWindowAnsweringAndTheEndInTime) {
  remote = nullptr;
  HostileServer silent(Hostile::kSilent);
  ASSERT_TRUE(silent.Listening());
  WriteSettings("[aria2]\nrpc-url=" + silent.Url("/jsonrpc") + "\nrpc-secret=x\n");
  korvath = std::make_unique<KorvathProcess>(
      std::map<std::string, std::string>{{"KORVATH_APP_URL", site.FilePageUrl(0)},
                                         {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                                         {"XDG_CONFIG_HOME", config_dir}});
  ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "aria2"}}, 20000)) << korvath->Output();
  ASSERT_TRUE(WaitUntil([&] { return MainWindow() != 0; }, 10000));
  ClickAt(MainWindow(), 504 + 32, 16 + 12);
  EXPECT_TRUE(x.WaitFor(korvath->pid(), Utf8(u8"关于 Korvath"), 3000))
      << "关于 did not open while the call waited";
  EXPECT_TRUE(korvath->EventsNamed("startup_step", {{"step", "ready"}}).empty())
      << "the call was not waiting";
  korvath->Signal(SIGTERM);
  EXPECT_TRUE(korvath->WaitExit(10000).has_value());
}

TEST_F(RemoteAria2Test, ADamagedSettingsFileIsReportedByLineAndLeftAsItWas) {
  const std::string folder = MakeTempDir("chosen-folder");
  const std::string text =
      "[downloads]\nfolder=" + folder + "\n[notifications]\nenabled=maybe\nno equals here\n";
  WriteSettings(text);
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  EXPECT_TRUE(SomeBoxSays(Utf8(u8"第4行：enabled")));
  EXPECT_TRUE(SomeBoxSays(Utf8(u8"第5行：")));
  EXPECT_EQ(ReadAll(config_dir + "/korvath/settings.ini"), text);
  // The good line still counts: the download goes to the chosen folder.
  ClickDownload();
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 20000)) << korvath->Output();
  const DemoFile& file = site.files()[0];
  const fs::path saved = fs::path(folder) / SafeFileName(demo::SavedName(file));
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::error_code ec;
        return fs::file_size(saved, ec) == file.size;
      },
      20000, 100))
      << saved;
  EXPECT_FALSE(fs::exists(fs::path(korvath->work_dir()) / "ZorbitDravenet" / saved.filename()));
  korvath.reset();
  EXPECT_EQ(ReadAll(config_dir + "/korvath/settings.ini"), text);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace korvath::testing
