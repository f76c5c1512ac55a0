// Only whole files are whole, with the real aria2 and the intake: an error
// body sent with status 200 is no file, whatever the page wrote as its size
// and whatever it named it, and a body sent without a length is not passed
// on the page's rounded figure.
#include <gtest/gtest.h>

#include "engine/aria2-bootstrap.h"
#include "engine/engine-fixture.h"
#include "engine/finished-downloads.h"
#include "engine/rpc-client.h"
#include "support/recording-server.h"
#include "support/throttled-server.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

const std::string kXmlError =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>AccessDenied</Code></Error>";
const std::string kJsonError = R"({"code":403,"message":"link expired"})";

class WholeFiles : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    ASSERT_TRUE(StartAria2(*desktop, state, {.cookie = "Zorbit", .program_dir = program_dir.string()}))
        << desktop->BoxTexts();
    errors.SetResponder([](const testing::RecordedRequest&) { return testing::Reply::Ok(kJsonError); });
    watch = std::make_unique<FinishedDownloadWatch>(work_dir.string(), &sizes);
    watch->Look(*desktop, state);
  }
  // Clicks `link` on a page that shows `name` and `size`, waits until aria2
  // calls the download complete (the notices' length looks going on
  // meanwhile) and returns what the watch makes of it.
  FinishedDownload Download(const char8_t* name, const char8_t* size, const std::string& link) {
    testing::SharePage page(U8(name), U8(size));
    InterceptDownload(
        {.desktop = *desktop, .engine = state, .page = page, .shell = shell, .stated_sizes = &sizes},
        link + "?bkt=1");
    const std::string gid = desktop->Events("task_created").back()["gid"];
    EXPECT_TRUE(testing::WaitFor(
        [&] {
          watch->LookAtLengths(*desktop, state);
          return testing::Aria2Call(state, "aria2.tellStatus", {gid})["result"].value("status", "") ==
                 "complete";
        },
        std::chrono::seconds(15)));
    std::vector<FinishedDownload> news;
    EXPECT_TRUE(testing::WaitFor([&] { return !(news = watch->Look(*desktop, state)).empty(); },
                                 std::chrono::seconds(5)));
    return news.empty() ? FinishedDownload{} : news.back();
  }
  fs::path Saved(const char8_t* name) { return work_dir / "ZorbitDravenet" / U8(name); }

  testing::RecordingServer errors;
  testing::ThrottledServer files{900 * 1024, 1u << 20};
  testing::CountingShell shell;
  StatedSizes sizes{""};
  std::unique_ptr<FinishedDownloadWatch> watch;
};

// (The XML body, with a hidden mark in the name, goes through the whole
// program in the end-to-end checks.)
TEST_F(WholeFiles, AJsonErrorBodyIsNoFileWhenThePagesSizeIsNonsense) {
  // A name of nothing visible and a size that is nonsense: still checked.
  const FinishedDownload json = Download(u8"\u200B\u2060 ", u8"1e400 GB", errors.Url("/json"));
  EXPECT_NE(GbkToUtf8(json.mismatch).find(U8(u8"收到的是服务器的出错回复而不是文件")), std::string::npos)
      << GbkToUtf8(json.mismatch);
  EXPECT_EQ(testing::ReadFile(Saved(u8"未命名")), kJsonError);
  EXPECT_EQ(desktop->Events("stated_size_unread").size(), 1u);
}

TEST_F(WholeFiles, ABodyWithoutALengthIsNotConfirmedByThePagesRoundedSize) {
  // 900 KiB, which "1 MB" can stand for.
  const FinishedDownload unsized = Download(u8"unsized.bin", u8"1 MB", files.Url("/unsized"));
  EXPECT_TRUE(unsized.ok);
  EXPECT_EQ(unsized.mismatch, "");
  EXPECT_EQ(GbkToUtf8(unsized.unconfirmed)
                .rfind(U8(u8"服务器没有告知文件的长度，无法确认文件是否完整：收到 900.0 KB"), 0),
            0u)
      << GbkToUtf8(unsized.unconfirmed);
  EXPECT_TRUE(testing::ReadFile(Saved(u8"unsized.bin")) == files.Big());
  // The same bytes with their length are what the server meant to send.
  const FinishedDownload whole = Download(u8"whole.bin", u8"1 MB", files.Url("/big"));
  EXPECT_TRUE(whole.ok);
  EXPECT_EQ(whole.mismatch, "");
  EXPECT_EQ(whole.unconfirmed, "");
}

}  // namespace
}  // namespace korvath
