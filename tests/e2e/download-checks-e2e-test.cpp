// What the program checks around a download, with the real program, its
// aria2 and the demo site: room for the file before the task is made, and
// after it finishes, whether the file is what the share page described.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "engine/download-task.h"
#include "engine/free-name.h"
#include "harness/korvath-harness.h"
#include "shell/notification-bus.h"
#include "support/loopback-ports.h"

namespace korvath::testing {
namespace {

constexpr const char* kErrorPage =
    "<!DOCTYPE html>\n<html><head><title>403</title></head><body>link expired</body></html>\n";

demo::DemoSiteOptions SiteWithAnExpiredFile() {
  demo::DemoFile file{.shown_name = "installer image.iso", .size = 50u << 20, .seed = 77};
  file.error_page = kErrorPage;
  return {.files = {file}};
}

// Waits for the program to be ready, clicks the page's download button and
// waits for the notice about the task it makes (`gid`).
void ClickAndAwaitNotice(KorvathProcess& korvath, XDisplay& x, std::string& gid) {
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath.Output();
  ASSERT_TRUE(korvath.EventsNamed("download_notices_unavailable").empty());
  Window main = 0;
  ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath.pid())) != 0; }, 10000));
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  ClickDownload(x, main);
  ASSERT_TRUE(korvath.WaitForEvent("task_created", {}, 15000)) << korvath.Output();
  gid = korvath.EventsNamed("task_created").back().value("gid", "");
  ASSERT_TRUE(korvath.WaitForEvent("download_notice", {{"gid", gid}}, 15000));
}

// A link that has gone bad may be answered with an error page and status
// 200, which aria2 saves under the file's name and calls complete. With a
// notification server of the test's own on a private session bus: the page
// says 50 MB, an HTML page arrives, and it is not announced as finished.
TEST(DownloadChecksEndToEnd, AnErrorPageForAFileThePageCalls50MbIsReportedAndKept) {
  if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
  NotificationServerThread notices(PrivateBus::Get().address());
  ASSERT_TRUE(notices.owned());
  Aria2MachineLock lock;
  XDisplay x;
  demo::DemoSite site(SiteWithAnExpiredFile());
  ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));

  // The program inherits the private bus from this process's environment.
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", site.FilePageUrl(0)}, {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
  std::string gid;
  ASSERT_NO_FATAL_FAILURE(ClickAndAwaitNotice(korvath, x, gid));
  const Json notice = korvath.EventsNamed("download_notice", {{"gid", gid}}).front();
  EXPECT_FALSE(notice.value("ok", true));
  const std::string mismatch = Utf8(u8"下载的文件与分享页不符：收到的是一个网页而不是文件（") +
                               std::to_string(std::string(kErrorPage).size()) +
                               Utf8(u8" B，分享页写的是 50.0 MB），文件已保留，请打开查看。");
  EXPECT_EQ(notice.value("mismatch", ""), mismatch);
  EXPECT_EQ(korvath.EventsNamed("arrival_checked", {{"gid", gid}, {"kind", "web_page"}}).size(), 1u);

  // What the desktop was shown: the mismatch, never "下载完成".
  ASSERT_TRUE(WaitUntil([&] { return !notices.Notices().empty(); }, 5000));
  const std::vector<Shown> shown = notices.Notices();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].summary, Utf8(u8"文件与分享页不符：installer image.iso"));
  EXPECT_EQ(shown[0].body, mismatch);

  // The file stays for the user to look at.
  const fs::path saved = fs::path(korvath.work_dir()) / "ZorbitDravenet" / "installer image.iso";
  std::ifstream in(saved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), kErrorPage);
}

// An object store's XML error body for a file whose page writes its size
// with a thousands separator and its name with a right-to-left override: the
// name is saved as it reads, and the body is reported, never "下载完成".
TEST(DownloadChecksEndToEnd, AnXmlErrorBodyIsReportedUnderTheNameCleanedOfHiddenMarks) {
  if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
  NotificationServerThread notices(PrivateBus::Get().address());
  ASSERT_TRUE(notices.owned());
  Aria2MachineLock lock;
  XDisplay x;
  const std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>AccessDenied</Code>"
      "<Message>Request has expired</Message></Error>";
  demo::DemoFile file{.shown_name = Utf8(u8"invoice\u202Egpj.zip"), .size = 1234 * 1024, .seed = 5};
  file.error_page = body;
  file.shown_size = "1,234 KB";
  demo::DemoSite site({.files = {file}});
  ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", site.FilePageUrl(0)}, {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
  std::string gid;
  ASSERT_NO_FATAL_FAILURE(ClickAndAwaitNotice(korvath, x, gid));

  EXPECT_EQ(korvath.EventsNamed("arrival_checked", {{"gid", gid}, {"kind", "error_reply"}}).size(), 1u);
  ASSERT_TRUE(WaitUntil([&] { return !notices.Notices().empty(); }, 5000));
  const Shown shown = notices.Notices().front();
  EXPECT_EQ(shown.summary, Utf8(u8"文件与分享页不符：invoicegpj.zip"));
  EXPECT_EQ(shown.body, Utf8(u8"下载的文件与分享页不符：收到的是服务器的出错回复而不是文件（") +
                            std::to_string(body.size()) +
                            Utf8(u8" B，分享页写的是 1,234 KB），文件已保留，请打开查看。"));
  const fs::path saved = fs::path(korvath.work_dir()) / "ZorbitDravenet" / "invoicegpj.zip";
  std::ifstream in(saved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), body);
}

// The download folder on a 1 MiB tmpfs, named in the settings file, and the
// demo site's 16 MB file.
TEST(DownloadChecksEndToEnd, AFolderTooSmallForTheFileSaysHowMuchIsNeededAndMakesNoTask) {
  Aria2MachineLock lock;
  XDisplay x;
  demo::DemoSite site;
  ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
  const std::size_t index = DemoFileIndex(site, [](const demo::DemoFile& f) { return f.size == 16u << 20; });
  ASSERT_LT(index, site.files().size());
  const std::string dir = MakeTempDir("small-disk");
  const std::string folder = dir + "/downloads";
  fs::create_directories(folder);
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0) {
    fs::remove_all(dir);
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  }
  // Unmounted however the test ends, after the program is gone.
  struct Unmount {
    std::string folder, dir;
    ~Unmount() {
      ::umount(folder.c_str());
      fs::remove_all(dir);
    }
  } unmount{folder, dir};
  fs::create_directories(dir + "/config/korvath");
  std::ofstream(dir + "/config/korvath/settings.ini") << "[downloads]\nfolder=" << folder << "\n";
  KorvathProcess korvath({{"KORVATH_APP_URL", site.FilePageUrl(index)},
                          {"KORVATH_NOTICE_URL", site.NoticeUrl()},
                          {"XDG_CONFIG_HOME", dir + "/config"}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath.Output();
  Window main = 0;
  ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath.pid())) != 0; }, 10000));
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  ClickDownload(x, main);
  ASSERT_TRUE(korvath.WaitForEvent("task_refused", {{"reason", "disk_space"}}, 15000)) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("message_box").back().value("text", ""),
            Utf8(u8"下载文件夹所在的磁盘空间不够：这个文件需要 16.0 MB，只剩 1.0 "
                 u8"MB。请清理磁盘后再点击一次这个文件。"));
  EXPECT_TRUE(korvath.EventsNamed("task_created").empty());
  EXPECT_TRUE(fs::is_empty(folder));
}

// A FIFO named as the file's control file held the window's thread for good
// at the click, waiting for a writer: SIGTERM was never served. It is no
// control file; the file is saved beside it, and the program still ends.
TEST(DownloadChecksEndToEnd, AFifoNamedAsTheControlFileHoldsNeitherTheClickNorTheEnd) {
  Aria2MachineLock lock;
  XDisplay x;
  demo::DemoSite site;
  ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
  const std::size_t index =
      DemoFileIndex(site, [](const demo::DemoFile& f) { return f.shown_name == "Korvath demo notes.txt"; });
  ASSERT_LT(index, site.files().size());
  const demo::DemoFile& file = site.files()[index];
  KorvathProcess korvath(
      {{"KORVATH_APP_URL", site.FilePageUrl(index)}, {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath.Output();
  const fs::path folder = fs::path(korvath.work_dir()) / "ZorbitDravenet";
  const fs::path saved = folder / SafeFileName(demo::SavedName(file));
  fs::create_directories(folder);
  const std::string fifo = saved.string() + ".aria2";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // However the test ends, a program stuck on the FIFO is let go first.
  struct Release {
    std::string fifo;
    ~Release() {
      const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (writer >= 0) ::close(writer);
    }
  } release{fifo};

  Window main = 0;
  ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath.pid())) != 0; }, 10000));
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  ClickDownload(x, main);
  ASSERT_TRUE(korvath.WaitForEvent("task_created", {}, 15000)) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("same_file").back().value("way", ""), "free_name");
  const fs::path beside = folder / NumberedName(saved.filename().string(), 2);
  EXPECT_TRUE(WaitForFinishedFile(beside, file.size)) << beside;
  EXPECT_TRUE(fs::is_fifo(fifo));

  korvath.Signal(SIGTERM);
  EXPECT_TRUE(korvath.WaitExit(10000).has_value()) << "SIGTERM was not served";
}

}  // namespace
}  // namespace korvath::testing
