// Korvath's own aria2 ending under it while the program runs (a crash, the
// out-of-memory killer, a user's kill): the real program, the real aria2 and
// the demo share site. aria2 comes back by itself with the downloads, a click
// meanwhile is held rather than failed, and one that keeps ending is given up
// on with one box.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "engine/download-task.h"
#include "engine/free-name.h"
#include "harness/korvath-harness.h"
#include "shell/notification-bus.h"

namespace korvath::testing {
namespace {

// The aria2 program Korvath supplies: the real one, started late while a
// flag file exists, so that a restart lasts long enough to click into.
class SlowToStartAria2 {
 public:
  SlowToStartAria2() {
    std::ofstream(program_) << "#!/bin/sh\n[ -e '" << flag_ << "' ] && sleep 0.5\nexec aria2c \"$@\"\n";
    fs::permissions(program_, fs::perms::owner_all);
  }
  ~SlowToStartAria2() { fs::remove_all(dir_); }
  const std::string& program() const { return program_; }
  void SlowFromNowOn() const { std::ofstream{flag_}; }

 private:
  std::string dir_ = MakeTempDir("slow-aria2");
  std::string program_ = dir_ + "/aria2c";
  std::string flag_ = dir_ + "/slow";
};

class Aria2Restart : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kBigSize = 6u << 20;
  // The big file takes about six seconds: it is half-way when aria2 is
  // killed, so fetching it again from byte 0 would cost three more MiB.
  static demo::DemoSiteOptions Site() {
    demo::DemoSiteOptions options;
    options.files = {demo::DemoFile{.shown_name = "field recording.wav", .size = kBigSize, .seed = 7},
                     demo::DemoFile{.shown_name = "notes.txt", .size = 20000, .seed = 8, .text = true}};
    options.bytes_per_second = 1u << 20;
    return options;
  }

  void SetUp() override {
    if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
    notices = std::make_unique<NotificationServerThread>(PrivateBus::Get().address());
    ASSERT_TRUE(notices->owned());
    ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
  }

  void Open(std::size_t index) {
    korvath = std::make_unique<KorvathProcess>(
        std::map<std::string, std::string>{{"KORVATH_APP_URL", site.FilePageUrl(index)},
                                           {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                                           {"KORVATH_ARIA2C", aria2.program()}});
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath->Output();
    ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath->pid())) != 0; }, 10000));
    ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  }

  // Kills the running aria2 as the out-of-memory killer would; returns it.
  int KillAria2() {
    const int pid = korvath->Aria2Pid();
    EXPECT_GT(pid, 0);
    if (pid > 0) ::kill(pid, SIGKILL);
    return pid;
  }

  bool WaitForRestarts(std::size_t count, int timeout_ms = 15000) const {
    return WaitUntil([&] { return korvath->EventsNamed("aria2_restarted").size() >= count; }, timeout_ms);
  }

  fs::path Saved(std::size_t index) const {
    return fs::path(korvath->work_dir()) / "ZorbitDravenet" /
           SafeFileName(demo::SavedName(site.files()[index]));
  }

  void ExpectSiteBytes(const fs::path& path, std::size_t index) const {
    const demo::DemoFile& file = site.files()[index];
    ASSERT_TRUE(WaitForFinishedFile(path, file.size, 30000)) << path;
    std::string expected;
    ASSERT_TRUE(demo::ReadContent(file, 0, file.size, expected));
    EXPECT_TRUE(ReadAll(path) == expected) << "bytes differ in " << path;
  }

  std::uint64_t BytesServed(std::size_t index) const {
    std::set<std::string> links;
    for (const auto& request : site.DownloadRequests())
      if (request.index == index) links.insert(request.link);
    std::uint64_t sent = 0;
    for (const std::string& link : links) sent += site.LinkBytesServed(index, link);
    return sent;
  }

  std::string EventDump() const {
    std::string dump;
    for (const auto& e : korvath->Events()) dump += e.dump() + "\n";
    return dump;
  }

  Aria2MachineLock lock;  // first in, last out: held until Korvath and its aria2 are gone
  XDisplay x;
  std::unique_ptr<NotificationServerThread> notices;
  SlowToStartAria2 aria2;
  demo::DemoSite site{Site()};
  std::unique_ptr<KorvathProcess> korvath;
  Window main = 0;
};

TEST_F(Aria2Restart, KilledMidDownloadItComesBackAndTheFileGoesOnFromWhereItWas) {
  ASSERT_NO_FATAL_FAILURE(Open(0));
  ClickDownload(x, main);
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000)) << EventDump();
  // Recorded as running, and well under way.
  ASSERT_TRUE(korvath->WaitForEvent("session_saved", {{"count", 1}, {"reason", "change"}}, 10000))
      << EventDump();
  ASSERT_TRUE(WaitUntil([&] { return BytesServed(0) > (3u << 20); }, 10000));
  const std::size_t requests_before = site.DownloadRequests().size();
  const auto kill_time = std::chrono::steady_clock::now();
  const int killed = KillAria2();

  ASSERT_TRUE(WaitForRestarts(1)) << EventDump();
  const Json ended = korvath->EventsNamed("aria2_ended").at(0);
  EXPECT_EQ(ended.value("pid", 0), killed);
  EXPECT_EQ(ended.value("signal", 0), SIGKILL);
  const int again = korvath->Aria2Pid();
  EXPECT_NE(again, killed);
  EXPECT_TRUE(ProcessAlive(again));
  EXPECT_FALSE(ProcessAlive(killed)) << "the killed aria2 was left a zombie";
  const Json restarted = korvath->EventsNamed("aria2_restarted").at(0);
  EXPECT_EQ(restarted.value("restored", 0), 1);
  // The record brings a task that was running back running: nothing is left
  // to unpause.
  EXPECT_EQ(restarted.value("continued", 0), 0);
  const std::string notice = Utf8(u8"下载引擎意外退出，已自动重新启动，未完成的下载会继续。");
  EXPECT_EQ(restarted.value("notice", ""), notice);
  ASSERT_TRUE(WaitUntil([&] { return !notices->Notices().empty(); }, 5000));
  EXPECT_EQ(notices->Notices().back().summary, notice);
  EXPECT_TRUE(korvath->EventsNamed("message_box").size() <= 1u);  // the announcement at most
  // Bytes the site sends once the killed aria2 is gone come from the new one.
  ASSERT_TRUE(WaitUntil([&] { return !ProcessAlive(killed); }, 5000));
  const std::size_t served_when_gone = BytesServed(0);
  ASSERT_TRUE(WaitUntil([&] { return BytesServed(0) > served_when_gone; }, 10000));
  const auto back_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - kill_time)
          .count();
  std::cout << "aria2 killed -> download running again: " << back_ms << " ms\n";

  ExpectSiteBytes(Saved(0), 0);
  // Continued from the control file: nothing after the kill asks for byte 0
  // again, and the site sent the file about once, give or take the last
  // second before the kill, which aria2 had not yet noted.
  const auto requests = site.DownloadRequests();
  ASSERT_GT(requests.size(), requests_before);
  for (std::size_t i = requests_before; i < requests.size(); ++i)
    EXPECT_FALSE(requests[i].range.starts_with("bytes=0-")) << requests[i].range;
  EXPECT_LE(BytesServed(0), kBigSize + (2u << 20));
  std::cout << "bytes served for a " << kBigSize << "-byte file: " << BytesServed(0) << "\n";

  // The new aria2 takes the next click: the same page again, saved beside it.
  ClickDownload(x, main);
  ASSERT_TRUE(WaitUntil([&] { return korvath->EventsNamed("task_created").size() >= 2; }, 15000))
      << EventDump();
  ExpectSiteBytes(Saved(0).parent_path() / NumberedName(Saved(0).filename().string(), 2), 0);
}

TEST_F(Aria2Restart, AClickWhileAria2ComesBackIsHeldAndBecomesATask) {
  ASSERT_NO_FATAL_FAILURE(Open(1));
  aria2.SlowFromNowOn();
  KillAria2();
  ClickDownload(x, main);
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 20000)) << EventDump();
  const auto held = korvath->EventsNamed("intake_held");
  ASSERT_EQ(held.size(), 1u) << EventDump();
  const auto released = korvath->EventsNamed("intake_released");
  ASSERT_EQ(released.size(), 1u);
  EXPECT_TRUE(released[0].value("aria2_running", false));
  EXPECT_LT(korvath->EventsNamed("aria2_restarted").at(0).value("t_ms", std::int64_t{0}),
            korvath->EventsNamed("task_created").at(0).value("t_ms", std::int64_t{0}));
  for (const auto& box : korvath->EventsNamed("message_box"))
    EXPECT_EQ(box.value("text", "").find(Utf8(u8"失败")), std::string::npos) << box;
  ExpectSiteBytes(Saved(1), 1);
}

// An aria2 that keeps ending is not started for ever: the third end within a
// minute is the last, said once in a box; clicks then get today's messages.
TEST_F(Aria2Restart, ThreeEndsWithinAMinuteStopTheRestartsAndSaySoOnce) {
  ASSERT_NO_FATAL_FAILURE(Open(1));
  for (std::size_t restarts = 1; restarts <= 2; ++restarts) {
    KillAria2();
    ASSERT_TRUE(WaitForRestarts(restarts)) << EventDump();
  }
  const int last = KillAria2();
  ASSERT_TRUE(korvath->WaitForEvent("aria2_given_up", {}, 10000)) << EventDump();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_EQ(korvath->EventsNamed("aria2_restarted").size(), 2u);
  EXPECT_EQ(korvath->EventsNamed("aria2_started").size(), 3u);
  EXPECT_FALSE(ProcessAlive(last));
  const std::string gave_up = Utf8(u8"下载引擎aria2一分钟内已3次意外退出");
  std::vector<Json> boxes;
  for (const auto& box : korvath->EventsNamed("message_box"))
    if (box.value("text", "").starts_with(gave_up)) boxes.push_back(box);
  ASSERT_EQ(boxes.size(), 1u) << EventDump();
  const std::string text = boxes[0].value("text", "");
  EXPECT_NE(text.find(Utf8(u8"最后一次是被信号9（SIGKILL）终止")), std::string::npos) << text;
  EXPECT_NE(text.find(Utf8(u8"请重新启动本程序")), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("/aria2.conf")) << text;
  EXPECT_EQ(boxes[0].value("flags", 0), 16);

  const std::size_t boxes_before = korvath->EventsNamed("message_box").size();
  ClickDownload(x, main);
  const std::string failed = Utf8(u8"创建任务失败！请重试……");
  ASSERT_TRUE(korvath->WaitForEvent("message_box", {{"text", failed}}, 20000)) << EventDump();
  auto after = korvath->EventsNamed("message_box");
  after.erase(after.begin(), after.begin() + static_cast<long>(boxes_before));
  ASSERT_GE(after.size(), 2u);
  EXPECT_EQ(after[after.size() - 2].value("text", ""),
            Utf8(u8"aria2的RPC服务不工作，请检查您电脑的防火墙设置。"));
  EXPECT_TRUE(korvath->EventsNamed("task_created").empty());
  EXPECT_TRUE(korvath->EventsNamed("intake_held").empty());
  EXPECT_TRUE(ProcessAlive(korvath->pid()));
}

// An aria2 that stops answering (stopped, deadlocked) is ended and started
// again like one that died, and the download goes on.
TEST_F(Aria2Restart, AStoppedAria2IsReplacedAndTheDownloadGoesOn) {
  ASSERT_NO_FATAL_FAILURE(Open(0));
  ClickDownload(x, main);
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 15000)) << EventDump();
  ASSERT_TRUE(WaitUntil([&] { return BytesServed(0) > (2u << 20); }, 10000));
  const int stopped = korvath->Aria2Pid();
  const auto since = Clock::now();
  ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
  ASSERT_TRUE(korvath->WaitForEvent("aria2_hung", {{"pid", stopped}}, 20000)) << EventDump();
  ASSERT_TRUE(WaitForRestarts(1, 20000)) << EventDump();
  std::cout << "SIGSTOP to a fresh aria2 answering: "
            << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count() << " ms\n";
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(stopped); }, 5000));
  std::vector<std::string> states;
  for (const Json& e : korvath->EventsNamed("engine_status")) states.push_back(e.value("state", ""));
  EXPECT_EQ(states, (std::vector<std::string>{"restarting", "restarted"}));
  ExpectSiteBytes(Saved(0), 0);
}

TEST_F(Aria2Restart, SigtermWhileAria2IsStoppedEndsTheProgramAndAria2WithinTenSeconds) {
  ASSERT_NO_FATAL_FAILURE(Open(0));
  const int stopped = korvath->Aria2Pid();
  ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
  korvath->Signal(SIGTERM);
  ASSERT_TRUE(korvath->WaitExit(10000).has_value()) << EventDump();
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(stopped); }, 5000))
      << "a stopped aria2 was left holding the port";
}

// The record is written when the task is made, not at the next look: an
// aria2 killed right after it took the task loses nothing.
TEST_F(Aria2Restart, ATaskAria2TookJustBeforeItWasKilledComesBackAndFinishes) {
  for (int delay_ms : {0, 300}) {
    SCOPED_TRACE(delay_ms);
    korvath.reset();
    ASSERT_NO_FATAL_FAILURE(Open(0));
    ClickDownload(x, main);
    ASSERT_TRUE(WaitUntil([&] { return !korvath->EventsNamed("task_created").empty(); }, 15000, 2))
        << EventDump();
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    KillAria2();
    ASSERT_TRUE(WaitForRestarts(1)) << EventDump();
    EXPECT_EQ(korvath->EventsNamed("aria2_restarted").at(0).value("restored", 0), 1) << EventDump();
    ExpectSiteBytes(Saved(0), 0);
  }
}

}  // namespace
}  // namespace korvath::testing
