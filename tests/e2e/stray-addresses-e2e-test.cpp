// Addresses a page loads by itself, carrying the download marker: pictures,
// frames and magnet links must start no download, while the share page's own
// download button still does.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "demo-site.h"
#include "e2e/demo-clicks.h"
#include "harness/korvath-harness.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

constexpr const char* kMagnet = "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&bkt=1";

std::string StrayPage(const std::string& then) {
  return std::string("<!DOCTYPE html><html><body><p>stray</p>") +
         "<img "
         "src='data:image/gif;bkt=1;base64,R0lGODlhAQABAIAAAP///wAAACH5BAEAAAAALAAAAAABAAEAAAICRAEAOw=='>"
         "<img src='/pic.gif#bkt=1'>"
         "<iframe src='" +
         kMagnet +
         "'></iframe>"
         "<iframe src='ftp://127.0.0.1:9/f?bkt=1'></iframe>"
         "<script>"
         "setTimeout(() => { location.href = '" +
         std::string(kMagnet) +
         "2'; }, 1000);"
         "setTimeout(() => { location.href = '" +
         then +
         "'; }, 4000);"
         "</script></body></html>";
}

TEST(StrayAddresses, PicturesFramesAndMagnetsStartNothingWhileTheSharePagesClickStillDoes) {
  Aria2MachineLock lock;
  XDisplay x;
  demo::DemoSite site;
  ASSERT_NO_FATAL_FAILURE(PrepareForDemoClicks(lock, x, site));
  RecordingServer stray;
  const std::string page = StrayPage(site.FilePageUrl(0));
  stray.SetResponder([&](const RecordedRequest& r) {
    if (r.Target().rfind("/app/", 0) == 0)
      return Reply::Ok(page, {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    return Reply::Ok("", {}, "404 Not Found");
  });
  KorvathProcess korvath(std::map<std::string, std::string>{{"KORVATH_APP_URL", stray.Url("/app/")},
                                                            {"KORVATH_NOTICE_URL", site.NoticeUrl()}});
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000)) << korvath.Output();
  // The page's own navigation to a magnet link is the last thing it does
  // before it moves on to the share page.
  ASSERT_TRUE(korvath.WaitForEvent("intake_request", {{"url", std::string(kMagnet) + "2"}}, 20000));
  ASSERT_TRUE(WaitUntil([&] { return MainWindowOf(x, korvath.pid()) != 0; }, 10000));
  const Window main = MainWindowOf(x, korvath.pid());
  ASSERT_TRUE(WaitForDownloadButton(x, main)) << "the share page was never shown";

  EXPECT_FALSE(korvath.EventsNamed("intake_request", {{"url", kMagnet}, {"kind", "refused"}}).empty());
  EXPECT_FALSE(
      korvath.EventsNamed("intake_request", {{"url", std::string(kMagnet) + "2"}, {"kind", "refused"}})
          .empty());
  for (const auto& e : korvath.EventsNamed("intake_request")) {
    if (e.value("url", "").find("bkt=") != std::string::npos) {
      EXPECT_NE(e.value("kind", ""), "download") << e.dump();
    }
  }
  EXPECT_TRUE(korvath.EventsNamed("task_created").empty());

  ClickDownload(x, main);
  ASSERT_TRUE(korvath.WaitForEvent("task_created", {}, 15000)) << korvath.Output();
  EXPECT_EQ(korvath.EventsNamed("task_created").size(), 1u);
}

}  // namespace
}  // namespace korvath::testing
