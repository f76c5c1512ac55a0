// Desktop notices for finished and failed downloads, through GApplication's
// own notification backend, on a private D-Bus session bus where the test
// plays the notification server. aria2 is the real one.
#include "shell/download-notifier.h"

#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <atomic>

#include "engine/aria2-bootstrap.h"
#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"
#include "shell/notification-bus.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

using testing::FakeNotificationServer;
using testing::PrivateBus;
using testing::Shown;

namespace fs = std::filesystem;

const char* U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// Runs the main loop until `condition` holds or `limit` passes.
template <typename Condition>
bool PumpUntil(Condition condition, std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

class DownloadNotifierTest : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
    files.SetResponder([](const testing::RecordedRequest& request) {
      if (request.Target() == "/missing") return testing::Reply::Ok("", {}, "404 Not Found");
      return testing::Reply::Ok(std::string(2048, 'k'));
    });
  }
  void TearDown() override {
    // Never finalized: GLib 2.74's freedesktop notification backend crashes
    // the process later when an application that sent a notification is.
    // The program itself keeps its application until it ends.
    app = nullptr;
    testing::Aria2Test::TearDown();
  }
  void RegisterApp() {
    static int runs = 0;
    const std::string id = "org.korvath.NotifierTest" + std::to_string(++runs);
    app = g_application_new(id.c_str(), G_APPLICATION_DEFAULT_FLAGS);
    ASSERT_TRUE(g_application_register(app, nullptr, nullptr));
  }
  std::string Create(const Text& name, const std::string& path) {
    if (!CreateDownloadTask(*desktop, state,
                            {.name = name, .link = Text(files.Url(path)), .dir = "ZorbitDravenet"})) {
      return {};
    }
    return desktop->Events("task_created").back()["gid"].get<std::string>();
  }

  testing::RecordingServer files;
  GApplication* app = nullptr;
};

TEST_F(DownloadNotifierTest, EachFinishedOrFailedDownloadIsAnnouncedOnceAndItsButtonOpensTheFolder) {
  FakeNotificationServer server(PrivateBus::Get().address());
  ASSERT_TRUE(server.owned());
  ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}));
  ASSERT_TRUE(SetGlobalOptions(*desktop, state));
  // Finished before the notices start: not news.
  std::string earlier = Create("earlier.bin", "/file");
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        return testing::Aria2Call(state, "aria2.tellStatus", {earlier})["result"].value("status", "") ==
               "complete";
      },
      std::chrono::seconds(10)));

  RegisterApp();
  std::vector<std::string> opened;
  DownloadNotifier notifier(app, *desktop, state,
                            {.open_folder = [&](const std::string& f) { opened.push_back(f); }});
  ASSERT_TRUE(notifier.Start());
  ASSERT_FALSE(Create(Gbk(u8"报告.bin"), "/file").empty());
  ASSERT_FALSE(Create("gone.bin", "/missing").empty());
  ASSERT_TRUE(PumpUntil([&] { return server.shown.size() >= 2; }, std::chrono::seconds(15)));
  // A further look brings nothing new.
  PumpUntil([] { return false; }, std::chrono::milliseconds(2500));
  ASSERT_EQ(server.shown.size(), 2u);

  const std::string folder = (work_dir / "ZorbitDravenet").string();
  const Shown* done = nullptr;
  const Shown* failed = nullptr;
  for (const Shown& item : server.shown) {
    if (item.summary == U8(u8"下载完成：报告.bin")) done = &item;
    if (item.summary == U8(u8"下载失败：gone.bin")) failed = &item;
  }
  ASSERT_TRUE(done && failed) << server.shown[0].summary << " / " << server.shown[1].summary;
  EXPECT_EQ(done->body, folder);
  EXPECT_EQ(failed->body, U8(u8"服务器上找不到这个文件。请回到分享页再点击一次这个文件。（错误码 3）"));
  EXPECT_EQ(desktop->Events("download_notice").size(), 2u);

  // The button, as the server lists it, reaches the program's action.
  std::string button;
  for (size_t i = 0; i + 1 < done->actions.size(); i += 2) {
    if (done->actions[i + 1] == U8(u8"打开文件夹")) button = done->actions[i];
  }
  ASSERT_FALSE(button.empty());
  server.Invoke(done->id, button);
  ASSERT_TRUE(PumpUntil([&] { return !opened.empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(opened, std::vector<std::string>{folder});

  // Switched off in the settings: what ends meanwhile is never announced,
  // not even once they are switched on again.
  notifier.SetQuiet(true);
  const std::string quiet = Create("quiet.bin", "/file");
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        return testing::Aria2Call(state, "aria2.tellStatus", {quiet})["result"].value("status", "") ==
               "complete";
      },
      std::chrono::seconds(10)));
  PumpUntil([] { return false; }, std::chrono::milliseconds(2500));
  notifier.SetQuiet(false);
  ASSERT_FALSE(Create("loud.bin", "/file").empty());
  ASSERT_TRUE(PumpUntil([&] { return server.shown.size() >= 3; }, std::chrono::seconds(15)));
  PumpUntil([] { return false; }, std::chrono::milliseconds(2500));
  ASSERT_EQ(server.shown.size(), 3u);
  EXPECT_EQ(server.shown[2].summary, U8(u8"下载完成：loud.bin"));
}

// The notice's action is on the session bus for every program there to call:
// it shows an existing folder and nothing else.
TEST_F(DownloadNotifierTest, TheOpenFolderActionCalledFromTheBusOpensOnlyAFolder) {
  RegisterApp();
  std::vector<std::string> opened;
  DownloadNotifier notifier(app, *desktop, state,
                            {.open_folder = [&](const std::string& f) { opened.push_back(f); }});
  GError* error = nullptr;
  GDBusConnection* caller = g_dbus_connection_new_for_address_sync(
      PrivateBus::Get().address().c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &error);
  ASSERT_TRUE(caller) << (error ? error->message : "");
  const std::string file = (work_dir / "run-me.sh").string();
  testing::WriteFile(file, "#!/bin/sh\n");
  int answered = 0;
  for (const std::string& target :
       {std::string("https://stranger.example/"), file, std::string("relative/folder"), work_dir.string()}) {
    GVariant* parameter = g_variant_new_variant(g_variant_new_string(target.c_str()));
    g_dbus_connection_call(
        caller, g_application_get_application_id(app), g_application_get_dbus_object_path(app),
        "org.gtk.Actions", "Activate",
        g_variant_new("(s@av@a{sv})", kOpenFolderAction,
                      g_variant_new_array(G_VARIANT_TYPE_VARIANT, &parameter, 1),
                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer count) {
          GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
          if (reply) g_variant_unref(reply);
          ++*static_cast<int*>(count);
        },
        &answered);
  }
  ASSERT_TRUE(PumpUntil([&] { return answered == 4; }, std::chrono::seconds(5)));
  EXPECT_EQ(opened, std::vector<std::string>{work_dir.string()});
  EXPECT_EQ(desktop->Events("open_folder_refused").size(), 3u);
  g_object_unref(caller);
}

// A remote aria2 says what it likes: a name with a line break and an error of
// a hundred thousand characters over many lines reach the notice as one line
// each, short enough to read.
TEST_F(DownloadNotifierTest, ARemoteAria2sLongMultiLineErrorIsShownAsOneShortLine) {
  FakeNotificationServer server(PrivateBus::Get().address());
  ASSERT_TRUE(server.owned());
  std::string error;
  for (int i = 0; error.size() < 100000; ++i)
    error += "line " + std::to_string(i) + " of the remote story\r\n";
  std::atomic<bool> failed{false};
  testing::RecordingServer remote;
  remote.SetResponder([&](const testing::RecordedRequest&) {
    nlohmann::json tasks = nlohmann::json::array();
    if (failed) {
      tasks.push_back({{"gid", "0123456789abcdef"},
                       {"status", "error"},
                       {"dir", "/srv"},
                       {"errorCode", "1"},
                       {"errorMessage", error},
                       {"files", {{{"path", "/srv/report\nFINAL.bin"}, {"uris", nlohmann::json::array()}}}}});
    }
    return testing::Reply::Ok(nlohmann::json{{"id", 1}, {"jsonrpc", "2.0"}, {"result", tasks}}.dump());
  });
  EngineState remote_state{.rpc_url = "http://127.0.0.1:" + std::to_string(remote.Port()) + "/jsonrpc"};
  RegisterApp();
  DownloadNotifier notifier(app, *desktop, remote_state, {.interval_seconds = 1});
  ASSERT_TRUE(notifier.Start());
  failed = true;
  ASSERT_TRUE(PumpUntil([&] { return !server.shown.empty(); }, std::chrono::seconds(10)));
  const Shown& shown = server.shown[0];
  EXPECT_EQ(shown.summary, U8(u8"下载失败：report FINAL.bin"));
  EXPECT_EQ(shown.body.find_first_of("\r\n"), std::string::npos);
  EXPECT_EQ(shown.body.rfind(U8(u8"下载失败（错误码 1）：line 0 of the remote story line 1 of"), 0), 0u)
      << shown.body;
  // Cut inside aria2's words, so what to do is still there.
  EXPECT_LT(shown.body.size(), 1200u);
  EXPECT_NE(shown.body.find(U8(u8"……。请稍后在下载管理器里重试。")), std::string::npos) << shown.body;
}

// A server that sends no length ends a file wherever its connection breaks.
// Seen downloading without one (aria2's totalLength 0), a file whose size
// the page's "1 MB" allows only by rounding is not announced as done.
TEST_F(DownloadNotifierTest, AFileSentWithoutALengthIsNotAnnouncedAsDone) {
  FakeNotificationServer server(PrivateBus::Get().address());
  ASSERT_TRUE(server.owned());
  const fs::path file = work_dir / "unsized.bin";
  testing::WriteFile(file, std::string(900 * 1024, 'u'));
  StatedSizes sizes("");
  sizes.Remember(file.string(), ParseSizeText("1 MB"));
  std::atomic<bool> complete{false};
  testing::RecordingServer aria2;
  aria2.SetResponder([&](const testing::RecordedRequest& request) {
    const bool active = request.body.find("aria2.tellActive") != std::string::npos;
    nlohmann::json tasks = nlohmann::json::array();
    if (active != complete) {
      tasks.push_back({{"gid", "00000000000000aa"},
                       {"status", active ? "active" : "complete"},
                       {"dir", work_dir.string()},
                       {"totalLength", active ? "0" : "921600"},
                       {"completedLength", "4096"},
                       {"files", {{{"path", file.string()}, {"uris", nlohmann::json::array()}}}}});
    }
    return testing::Reply::Ok(nlohmann::json{{"id", 1}, {"jsonrpc", "2.0"}, {"result", tasks}}.dump());
  });
  EngineState fake{.rpc_port = std::to_string(aria2.Port())};
  RegisterApp();
  DownloadNotifier notifier(app, *desktop, fake, {.interval_seconds = 1, .stated_sizes = &sizes});
  ASSERT_TRUE(notifier.Start());
  ASSERT_TRUE(PumpUntil([&] { return !sizes.AwaitingLength(); }, std::chrono::seconds(5)));
  complete = true;
  ASSERT_TRUE(PumpUntil([&] { return !server.shown.empty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(server.shown[0].summary, U8(u8"下载结束，但无法确认文件完整：unsized.bin"));
  EXPECT_EQ(server.shown[0].body.rfind(U8(u8"服务器没有告知文件的长度"), 0), 0u) << server.shown[0].body;
  EXPECT_FALSE(desktop->Events("download_notice").back().value("ok", true));
}

TEST_F(DownloadNotifierTest, WithoutANotificationServiceItOnlyLogsOneLine) {
  // No server on this bus, none to start on demand; no aria2 either, since
  // nothing may be asked of it.
  RegisterApp();
  DownloadNotifier notifier(app, *desktop, state);
  EXPECT_FALSE(notifier.Start());
  EXPECT_FALSE(notifier.Start());
  PumpUntil([] { return false; }, std::chrono::milliseconds(2500));
  EXPECT_EQ(desktop->Events("download_notices_unavailable").size(), 1u);
  EXPECT_TRUE(desktop->Events("rpc").empty());
}

}  // namespace
}  // namespace korvath
