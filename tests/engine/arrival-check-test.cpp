// A finished download against what its share page said: sizes within the
// page's rounding, error pages told apart from files, and the page's size
// kept by path until the file is checked, across a restart.
#include "engine/arrival-check.h"

#include <gtest/gtest.h>

#include "engine/engine-fixture.h"
#include "engine/stated-sizes.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

StatedSize Stated(std::string_view text) {
  std::optional<StatedSize> size = ParseSizeText(text);
  EXPECT_TRUE(size.has_value()) << text;
  return size.value_or(StatedSize{});
}

ArrivalVerdict Compare(std::string_view stated, std::int64_t size, std::string_view head = "PK\x03\x04") {
  return CompareArrival(Stated(stated), size, head);
}

TEST(StatedFileSize, ReadsTheSizeWithThePrecisionThePageGave) {
  const std::optional<StatedSize> page = StatedFileSize(Gbk(u8"文件名：a.zip\n文件大小：1.25gb\n下载"));
  ASSERT_TRUE(page.has_value());
  EXPECT_EQ(page->bytes, 5LL << 28);
  EXPECT_EQ(page->step, (1LL << 30) / 100);  // 0.01 GiB
  EXPECT_EQ(page->shown, "1.25 GB");
  EXPECT_EQ(Stated("50 MB").step, 1LL << 20);
  EXPECT_EQ(Stated("900kb").shown, "900 KB");
  EXPECT_EQ(Stated("123 B").step, 1);
  EXPECT_EQ(Stated("7").shown, "7 B");
  EXPECT_FALSE(ParseSizeText(Gbk(u8"未知")).has_value());
  EXPECT_FALSE(ParseSizeText("5 XB").has_value());
  EXPECT_FALSE(StatedFileSize("no marker 5 MB").has_value());
}

TEST(CompareArrival, AcceptsAnySizeThePagesRoundingCouldHaveShown) {
  const std::int64_t mib = 1 << 20;
  EXPECT_TRUE(Compare("50 MB", 50 * mib).matches());
  EXPECT_TRUE(Compare("50 MB", 50 * mib + mib - 1).matches());  // cut rather than rounded
  EXPECT_TRUE(Compare("50 MB", 49 * mib + 1).matches());        // rounded up
  EXPECT_TRUE(Compare("50 MB", 50'000'000).matches());          // 1000-based units
  EXPECT_TRUE(Compare("16.0 MB", 16 * mib).matches());
  EXPECT_TRUE(Compare("12.0 KB", 12 * 1024 + 7).matches());
  EXPECT_TRUE(Compare("123 B", 123).matches());
  EXPECT_TRUE(Compare("0 B", 0).matches());

  EXPECT_EQ(Compare("50 MB", 45 * mib).kind, "size");
  EXPECT_EQ(Compare("50.0 MB", 50 * mib + mib / 5).kind, "size");  // a tenth is the step here
  EXPECT_EQ(Compare("123 B", 124).kind, "size");
  EXPECT_EQ(Compare("1.2 GB", 0).kind, "size");
  EXPECT_EQ(GbkToUtf8(Compare("50 MB", 45 * mib).text),
            U8(u8"下载的文件与分享页不符：分享页写的大小是 50 MB，收到的文件是 45.0 MB，文件已保留，请打开查看。"));
}

TEST(CompareArrival, TellsAnErrorPageOrAnErrorReplyFromAFile) {
  const ArrivalVerdict page = Compare("50 MB", 312, "\xEF\xBB\xBF \r\n<!DOCTYPE HTML><html><title>403</title>");
  EXPECT_EQ(page.kind, "web_page");
  EXPECT_EQ(GbkToUtf8(page.text),
            U8(u8"下载的文件与分享页不符：收到的是一个网页而不是文件（312 B，分享页写的是 50 MB），文件已保留，请打开查看。"));
  EXPECT_EQ(Compare("50 MB", 90, "\n\t<html lang=zh>").kind, "web_page");
  EXPECT_EQ(Compare("50 MB", 60, R"({"error_code":31045,"error_msg":"user not exists"})").kind, "error_reply");
  EXPECT_EQ(Compare("50 MB", 20, R"( {"errno":-6})").kind, "error_reply");
  // JSON without an error, or text that merely mentions HTML, is only the wrong size.
  EXPECT_EQ(Compare("50 MB", 20, R"({"list":[]})").kind, "size");
  EXPECT_EQ(Compare("50 MB", 20, "notes about <html>").kind, "size");
  // A small file the page called small is what was promised, whatever it holds.
  EXPECT_TRUE(Compare("2.0 KB", 2048, "<!DOCTYPE html><html>").matches());
  EXPECT_TRUE(Compare("57 B", 57, R"({"error":"this file is an example"})").matches());
}

TEST(StatedSizes, KeepsThePagesSizeByPathAcrossARestartUntilTheFileIsChecked) {
  const fs::path dir = testing::MakeTempDir("korvath-stated");
  const std::string record = (dir / "state" / "stated-sizes.json").string();
  const fs::path page = dir / U8(u8"报告.zip");
  const fs::path file = dir / "file.bin";
  const fs::path small = dir / "small.txt";
  testing::WriteFile(page, "<!doctype html><p>link expired</p>");
  testing::WriteFile(file, std::string(3000, 'x'));
  testing::WriteFile(small, "hello");
  {
    StatedSizes sizes(record);
    sizes.Remember(page.string(), Stated("50 MB"));
    sizes.Remember((dir / "sub" / ".." / "file.bin").string(), Stated("2.9 KB"));  // the same file
    sizes.Remember((dir / "gone.bin").string(), Stated("1 MB"));
    sizes.Forget((dir / "gone.bin").string());
  }
  testing::LoggingDesktop desktop(dir / "events.jsonl");
  StatedSizes sizes(record);  // a new run
  const ArrivalVerdict verdict = sizes.Verdict(desktop, "g1", page.string());
  EXPECT_EQ(verdict.kind, "web_page");
  EXPECT_TRUE(sizes.Verdict(desktop, "g2", file.string()).matches());
  EXPECT_TRUE(sizes.Verdict(desktop, "g3", small.string()).matches());  // nothing known: not checked
  EXPECT_TRUE(sizes.Verdict(desktop, "g4", (dir / "gone.bin").string()).matches());
  // The notice and the manager ask about the same task: one answer, one check.
  EXPECT_EQ(sizes.Verdict(desktop, "g1", page.string()).text, verdict.text);
  const std::string log = desktop.RawLog();
  EXPECT_NE(log.find(R"("event":"arrival_checked","gid":"g1")"), std::string::npos) << log;
  EXPECT_NE(log.find(R"("kind":"web_page")"), std::string::npos) << log;
  size_t checks = 0;
  for (size_t at = 0; (at = log.find("arrival_checked", at)) != std::string::npos; ++at) ++checks;
  EXPECT_EQ(checks, 2u) << log;
  // Checked sizes are dropped from the record: a later download of the same
  // name is not held to an old page.
  EXPECT_EQ(testing::ReadFile(record).find("50 MB"), std::string::npos) << testing::ReadFile(record);
  EXPECT_TRUE(StatedSizes(record).Verdict(desktop, "g5", page.string()).matches());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath
