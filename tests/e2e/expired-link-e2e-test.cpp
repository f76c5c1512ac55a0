// One download per file, through the program's own windows: the share page's
// link stops working part-way, and the user opens the file on the page again
// and clicks 下载. The page's new link continues the same file from the bytes
// on disk, aria2's list keeps one entry for it, and no second copy appears.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "harness/aria2-instance.h"
#include "harness/korvath-harness.h"
#include "shell/notification-bus.h"
#include "support/loopback-ports.h"

namespace korvath::testing {
namespace {

// What a user is told about a link the server refused; aria2 names the code.
std::string ExpiredLinkText(const std::string& code) {
  const std::string why =
      Utf8(u8"下载链接已过期或被服务器拒绝。请在分享页上再点击一次这个文件，下载会接着已下载的部分继续。");
  return why + Utf8(u8"（错误码 ") + code + Utf8(u8"）");
}

class ExpiredLinkEndToEnd : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kSize = 8u << 20;
  // Each link the page hands out serves 6 MiB: the first stops part-way,
  // the next one has room for the rest. At 2 MiB/s the first link expires
  // after about three seconds, with the download well under way.
  static constexpr std::uint64_t kLinkBytes = 6u << 20;
  // Rows 1 and 2: two shares' files of one name and one size, other bytes.
  static constexpr std::uint64_t kTwinSize = 4u << 20;
  static demo::DemoSiteOptions ExpiringSite() {
    demo::DemoFile file{
        .shown_name = "season finale.mkv", .size = kSize, .seed = 91, .link_bytes = kLinkBytes};
    demo::DemoFile twin_a{.shown_name = "课程资料.bin", .size = kTwinSize, .seed = 5};
    demo::DemoFile twin_b{.shown_name = "课程资料.bin", .size = kTwinSize, .seed = 6};
    return {.files = {file, twin_a, twin_b}, .bytes_per_second = 2u << 20};
  }

  void SetUp() override {
    if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
    notices = std::make_unique<NotificationServerThread>(PrivateBus::Get().address());
    ASSERT_TRUE(notices->owned());
    ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
    // The program starts on the list of shared files and inherits the
    // private bus from this process's environment.
    korvath = std::make_unique<KorvathProcess>(
        std::map<std::string, std::string>{{"KORVATH_APP_URL", site.AppUrl()},
                                           {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                                           {"KORVATH_ARIA2C", noted.program()}});
    ASSERT_TRUE(korvath->WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath->Output();
    ASSERT_TRUE(korvath->EventsNamed("download_notices_unavailable").empty());
    ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath->pid())) != 0; }, 10000));
    // Only a client: this aria2 is Korvath's, never started or ended here.
    const std::string secret = noted.Secret();
    ASSERT_FALSE(secret.empty()) << "aria2 was started without a secret";
    aria2 = std::make_unique<Aria2Instance>(secret, "");
  }

  // From the list of files: the file's page, then its 下载 button, until the
  // program has looked for a download of the same file. Each visit of the
  // page hands out a new link.
  void OpenTheFileAndClickDownload(int row = 0) {
    ASSERT_TRUE(WaitForFileList(x, main)) << "the list of files was never drawn";
    const std::size_t views = FilePageViews();
    ClickAt(main, 120, 119 + row * kListRowPixels);
    ASSERT_TRUE(WaitUntil([&] { return FilePageViews() > views; }, 10000))
        << "the file's page was not opened";
    ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
    const std::size_t requests = korvath->EventsNamed("same_file").size();
    ClickDownload(x, main);
    ASSERT_TRUE(WaitUntil([&] { return korvath->EventsNamed("same_file").size() > requests; }, 15000))
        << korvath->Output();
  }

  // One row of the list and the gap below it.
  static constexpr int kListRowPixels = 52;

  // Back to the list, as the user does with 首页.
  void GoHome() { ClickAt(main, 264 + 32, 16 + 12); }

  std::size_t FilePageViews() const {
    std::size_t n = 0;
    for (const auto& path : site.PagesServed()) n += path.rfind("/app/s/", 0) == 0;
    return n;
  }

  nlohmann::json TaskStatus(const std::string& gid) {
    nlohmann::json error;
    nlohmann::json status = aria2->Call("aria2.tellStatus", nlohmann::json::array({gid}), &error);
    EXPECT_TRUE(error.is_null()) << error.dump();
    return status;
  }

  // Every entry aria2 lists, whatever its state.
  nlohmann::json Entries() {
    nlohmann::json all = nlohmann::json::array();
    for (const nlohmann::json& task : aria2->Call("aria2.tellActive")) all.push_back(task);
    for (const char* method : {"aria2.tellWaiting", "aria2.tellStopped"}) {
      for (const nlohmann::json& task : aria2->Call(method, {0, 100})) all.push_back(task);
    }
    return all;
  }

  fs::path Folder() const { return fs::path(korvath->work_dir()) / "ZorbitDravenet"; }
  fs::path Saved() const { return Folder() / "season finale.mkv"; }

  std::string SameFileWay() const {
    const auto events = korvath->EventsNamed("same_file");
    return events.empty() ? "" : events.back().value("way", "");
  }

  // The end of both stories: the file is whole and what the site serves,
  // announced as finished, aria2 lists it once, and the folder holds no
  // second copy even after everything in aria2's list is resumed.
  void ExpectOneFinishedFile(const std::string& gid) {
    ASSERT_TRUE(WaitForFinishedFile(Saved(), kSize, 30000)) << Entries().dump();
    std::string expected;
    ASSERT_TRUE(demo::ReadContent(site.files()[0], 0, kSize, expected));
    EXPECT_TRUE(ReadAll(Saved()) == expected) << "the continued file differs from what the site serves";
    ASSERT_TRUE(korvath->WaitForEvent("download_notice", {{"gid", gid}}, 15000));
    EXPECT_TRUE(korvath->EventsNamed("download_notice", {{"gid", gid}}).back().value("ok", false));
    const nlohmann::json entries = Entries();
    ASSERT_EQ(entries.size(), 1u) << entries.dump();
    EXPECT_EQ(entries[0].value("gid", ""), gid);
    EXPECT_EQ(entries[0].value("status", ""), "complete");
    aria2->Call("aria2.unpauseAll");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(fs::exists(Folder() / "season finale.1.mkv"));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder()))
      names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"season finale.mkv"});
  }

  Aria2MachineLock lock;  // first in, last out: held until Korvath and its aria2 are gone
  XDisplay x;
  std::unique_ptr<NotificationServerThread> notices;
  Aria2SecretNoted noted;
  demo::DemoSite site{ExpiringSite()};
  std::unique_ptr<KorvathProcess> korvath;
  std::unique_ptr<Aria2Instance> aria2;
  Window main = 0;
};

TEST_F(ExpiredLinkEndToEnd, TheFailedTaskSaysTheLinkExpiredAndTheNextClickContinuesTheSameFile) {
  ASSERT_NO_FATAL_FAILURE(OpenTheFileAndClickDownload());
  ASSERT_EQ(SameFileWay(), "new_task");
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 5000));
  const std::string first = korvath->EventsNamed("task_created").back().value("gid", "");

  // The link expires part-way: the task fails and says why.
  ASSERT_TRUE(korvath->WaitForEvent("download_notice", {{"gid", first}}, 30000)) << Entries().dump();
  const nlohmann::json failed = TaskStatus(first);
  ASSERT_EQ(failed.value("status", ""), "error") << failed.dump();
  const std::string code = failed.value("errorCode", "");
  EXPECT_TRUE(code == "22" || code == "24") << failed.dump();
  const nlohmann::json notice = korvath->EventsNamed("download_notice", {{"gid", first}}).back();
  EXPECT_FALSE(notice.value("ok", true));
  EXPECT_EQ(notice.value("error", ""), ExpiredLinkText(code));
  ASSERT_TRUE(WaitUntil([&] { return !notices->Notices().empty(); }, 5000));
  EXPECT_EQ(notices->Notices().back().summary, Utf8(u8"下载失败：season finale.mkv"));
  EXPECT_EQ(notices->Notices().back().body, ExpiredLinkText(code));
  const std::uint64_t kept = std::stoull(failed.value("completedLength", "0"));
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, kSize);
  EXPECT_TRUE(fs::exists(Saved().string() + ".aria2"));

  GoHome();
  ASSERT_NO_FATAL_FAILURE(OpenTheFileAndClickDownload());
  EXPECT_EQ(SameFileWay(), "replaced_failed");
  ASSERT_EQ(korvath->EventsNamed("task_created").size(), 2u);
  const std::string second = korvath->EventsNamed("task_created").back().value("gid", "");
  ASSERT_NO_FATAL_FAILURE(ExpectOneFinishedFile(second));
  // Continued, not started again: the new link gave the rest of the file.
  const std::uint64_t fetched = site.LinkBytesServed(0, "2");
  EXPECT_GE(fetched, kSize - kept);
  EXPECT_LE(fetched, kSize - kept + (1u << 20));
}

// The user pauses the download in the manager, and later opens the file on
// the page again: the paused task takes the page's new link and goes on where
// it stopped; no second task is made.
TEST_F(ExpiredLinkEndToEnd, APausedTaskTakesThePagesNewLinkAndGoesOn) {
  ASSERT_NO_FATAL_FAILURE(OpenTheFileAndClickDownload());
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 5000));
  const std::string gid = korvath->EventsNamed("task_created").back().value("gid", "");
  auto manager = x.WaitFor(korvath->pid(), Utf8(u8"下载管理"));
  ASSERT_TRUE(manager);
  // The toolbar and the task's row are drawn: the page talks to aria2.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return GrayStatistic(*manager, 90, 8, 60, 20, "standard_deviation") > 0.05 &&
               GrayStatistic(*manager, 10, 106, 120, 16, "standard_deviation") > 0.05;
      },
      10000));
  // Paused once the page's next link can serve the rest, and well before
  // this one expires.
  ASSERT_TRUE(WaitUntil(
      [&] {
        return std::stoull(TaskStatus(gid).value("completedLength", "0")) >= kSize - kLinkBytes + (1u << 18);
      },
      10000));
  ClickAt(*manager, 121, 17);  // 全部暂停
  ASSERT_TRUE(WaitUntil([&] { return TaskStatus(gid).value("status", "") == "paused"; }, 10000))
      << TaskStatus(gid).dump();
  const std::uint64_t kept = std::stoull(TaskStatus(gid).value("completedLength", "0"));
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, kSize);
  const std::uint64_t old_link_bytes = site.LinkBytesServed(0, "1");

  GoHome();
  ASSERT_NO_FATAL_FAILURE(OpenTheFileAndClickDownload());
  EXPECT_EQ(SameFileWay(), "changed_links");
  EXPECT_EQ(korvath->EventsNamed("same_file").back().value("gid", ""), gid);
  EXPECT_EQ(korvath->EventsNamed("task_created").size(), 1u);
  ASSERT_NO_FATAL_FAILURE(ExpectOneFinishedFile(gid));
  // The old link was given up, and the new one gave the rest of the file.
  const nlohmann::json uris = TaskStatus(gid)["files"][0]["uris"];
  ASSERT_FALSE(uris.empty());
  for (const nlohmann::json& uri : uris)
    EXPECT_EQ(uri.value("uri", ""), site.DownloadUrl(0, 2)) << uris.dump();
  EXPECT_EQ(site.LinkBytesServed(0, "1"), old_link_bytes);
  const std::uint64_t fetched = site.LinkBytesServed(0, "2");
  EXPECT_GE(fetched, kSize - kept);
  EXPECT_LE(fetched, kSize - kept + (1u << 20));
}

// Two shares each hold a 课程资料.bin of the same size. Share A's download is
// paused in the manager, then share B's file is clicked: B's is another file,
// saved beside A's under a free name, and A's download keeps its own link.
// Each file ends as its share serves it.
TEST_F(ExpiredLinkEndToEnd, AnotherSharesFileOfTheSameNameAndSizeIsSavedBeside) {
  const std::string name = Utf8(u8"课程资料.bin"), beside = Utf8(u8"课程资料 (2).bin");
  ASSERT_NO_FATAL_FAILURE(OpenTheFileAndClickDownload(1));
  ASSERT_EQ(SameFileWay(), "new_task");
  ASSERT_TRUE(korvath->WaitForEvent("task_created", {}, 5000));
  const std::string first = korvath->EventsNamed("task_created").back().value("gid", "");
  ASSERT_TRUE(
      WaitUntil([&] { return std::stoull(TaskStatus(first).value("completedLength", "0")) > 0; }, 10000));
  aria2->Call("aria2.pause", nlohmann::json::array({first}));
  ASSERT_TRUE(WaitUntil([&] { return TaskStatus(first).value("status", "") == "paused"; }, 10000));

  GoHome();
  ASSERT_NO_FATAL_FAILURE(OpenTheFileAndClickDownload(2));
  EXPECT_EQ(SameFileWay(), "free_name");
  EXPECT_EQ(korvath->EventsNamed("same_file").back().value("saved", ""), beside);
  ASSERT_TRUE(WaitUntil([&] { return korvath->EventsNamed("task_created").size() == 2; }, 5000));
  EXPECT_EQ(TaskStatus(first)["files"][0]["uris"][0].value("uri", ""), site.DownloadUrl(1, 1));
  aria2->Call("aria2.unpause", nlohmann::json::array({first}));

  for (std::size_t index : {1u, 2u}) {
    const fs::path saved = Folder() / (index == 1 ? name : beside);
    ASSERT_TRUE(WaitForFinishedFile(saved, kTwinSize, 30000)) << Entries().dump();
    std::string expected;
    ASSERT_TRUE(demo::ReadContent(site.files()[index], 0, kTwinSize, expected));
    EXPECT_TRUE(ReadAll(saved) == expected) << saved;
  }
  for (const auto& event : korvath->EventsNamed("same_file")) {
    std::printf("same_file %s\n", event.dump().c_str());
  }
}

}  // namespace
}  // namespace korvath::testing
