// A link that has gone bad may be answered with an error page and status
// 200, which aria2 saves under the file's name and calls complete. The real
// program, its aria2 and the demo site, with a notification server of the
// test's own on a private session bus: the page says 50 MB, an HTML page
// arrives, and the program must not announce it as finished.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "engine/download-task.h"
#include "shell/korvath-harness.h"
#include "shell/notification-bus.h"
#include "support/loopback-ports.h"

namespace korvath::testing {
namespace {

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

constexpr const char* kErrorPage =
    "<!DOCTYPE html>\n<html><head><title>403</title></head><body>link expired</body></html>\n";

demo::DemoSiteOptions SiteWithAnExpiredFile() {
  demo::DemoFile file{.shown_name = "installer image.iso", .size = 50u << 20, .seed = 77};
  file.error_page = kErrorPage;
  return {.files = {file}};
}

TEST(ArrivalEndToEnd, AnErrorPageForAFileThePageCalls50MbIsReportedAndKept) {
  if (!PrivateBus::Get().ok()) GTEST_SKIP() << "needs a process whose session bus is not open yet";
  NotificationServerThread notices(PrivateBus::Get().address());
  ASSERT_TRUE(notices.owned());
  Aria2MachineLock lock;
  XDisplay x;
  demo::DemoSite site(SiteWithAnExpiredFile());
  ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));

  // The program inherits the private bus from this process's environment.
  KorvathProcess korvath({{"KORVATH_APP_URL", site.FilePageUrl(0)}, {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath.Output();
  ASSERT_TRUE(korvath.EventsNamed("download_notices_unavailable").empty());
  Window main = 0;
  ASSERT_TRUE(WaitUntil([&] { return (main = MainWindowOf(x, korvath.pid())) != 0; }, 10000));
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the download button was never drawn";
  ClickDownload(x, main);
  ASSERT_TRUE(korvath.WaitForEvent("task_created", {}, 15000)) << korvath.Output();
  const std::string gid = korvath.EventsNamed("task_created").back().value("gid", "");

  ASSERT_TRUE(korvath.WaitForEvent("download_notice", {{"gid", gid}}, 15000));
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

}  // namespace
}  // namespace korvath::testing
