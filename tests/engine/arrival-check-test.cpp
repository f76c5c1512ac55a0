// A finished download against what its share page said: sizes within half
// a step of the page's last digit, error pages told apart from files whatever
// their size, a file that is gone, and the page's size kept by path until the
// file is checked, across a restart.
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

ArrivalVerdict Compare(std::string_view stated, std::int64_t size, std::string_view head = "PK\x03\x04",
                       std::string_view name = "file.bin") {
  return CompareArrival(Stated(stated), size, head, name);
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
  // Worded sizes are read too, but never from the next line.
  EXPECT_EQ(StatedFileSize(Gbk(u8"文件大小：约 2 MB")).value_or(StatedSize{}).shown, "2 MB");
  EXPECT_FALSE(StatedFileSize(Gbk(u8"文件大小：未知\n1 MB")).has_value());
}

TEST(StatedFileSize, ReadsSizesInTheFormsPagesWriteThemAndNoNonsense) {
  const std::int64_t kib = 1024, mib = kib * kib;
  EXPECT_EQ(Stated("1,234 KB").bytes, 1234 * kib);
  EXPECT_EQ(Stated("1,234 KB").step, kib);
  EXPECT_EQ(Stated("1,234.5KB").shown, "1,234.5 KB");
  EXPECT_EQ(Stated("8MB").bytes, 8 * mib);
  EXPECT_EQ(Stated("2 MiB").bytes, 2 * mib);
  EXPECT_EQ(Stated(Gbk(u8"3 兆")).bytes, 3 * mib);
  EXPECT_EQ(Stated(Gbk(u8"512字节")).bytes, 512);
  EXPECT_EQ(Stated(Gbk(u8"5\u3000MB")).bytes, 5 * mib);  // an ideographic space between
  // A size kept in the record reads back as it was shown.
  EXPECT_EQ(Stated(Stated("1,234 KB").shown).bytes, 1234 * kib);

  const std::pair<std::string, const char*> nonsense[] = {
      {"1e400 GB", "exponent"}, {"-5 MB", "negative"},   {"1,5 MB", "comma"},
      {"5 XB", "unit"},         {"NaN GB", "no_number"}, {std::string(400, '9') + " B", "too_large"}};
  for (const auto& [text, problem] : nonsense) {
    EXPECT_FALSE(ReadSizeText(text).size.has_value()) << text;
    EXPECT_STREQ(ReadSizeText(text).problem, problem) << text;
  }
  // On the page, words before a negative number do not hide its sign, and an
  // unreadable size is said in the log.
  const fs::path dir = testing::MakeTempDir("korvath-sizes");
  testing::LoggingDesktop desktop(dir / "events.jsonl");
  EXPECT_FALSE(StatedFileSize(Gbk(u8"文件大小：约 -5 MB"), &desktop.Log()).has_value());
  EXPECT_FALSE(StatedFileSize(Gbk(u8"文件大小：1e400 GB\n下载"), &desktop.Log()).has_value());
  EXPECT_TRUE(StatedFileSize(Gbk(u8"文件大小：1,234 KB"), &desktop.Log()).has_value());
  const auto unread = desktop.Events("stated_size_unread");
  ASSERT_EQ(unread.size(), 2u);
  EXPECT_EQ(unread[0].value("reason", ""), "negative");
  EXPECT_EQ(unread[1].value("text", ""), "1e400 GB");
  EXPECT_EQ(unread[1].value("reason", ""), "exponent");
  fs::remove_all(dir);
}

TEST(CompareArrival, AcceptsOnlySizesThePagesRoundingCouldHaveShown) {
  const std::int64_t mib = 1 << 20;
  EXPECT_TRUE(Compare("50 MB", 50 * mib).matches());
  EXPECT_TRUE(Compare("50 MB", 50 * mib + mib / 2).matches());  // rounded down
  EXPECT_TRUE(Compare("50 MB", 49 * mib + mib / 2).matches());  // rounded up
  EXPECT_TRUE(Compare("50 MB", 50'000'000).matches());          // 1000-based units
  EXPECT_TRUE(Compare("3.0 MB", 3'050'000).matches());
  EXPECT_TRUE(Compare("16.0 MB", 16 * mib).matches());
  EXPECT_TRUE(Compare("12.0 KB", 12 * 1024 + 7).matches());
  EXPECT_TRUE(Compare("123 B", 123).matches());
  EXPECT_TRUE(Compare("0 B", 0).matches());

  EXPECT_EQ(Compare("50 MB", 45 * mib).kind, "size");
  // Half a megabyte either way, not a whole one: "1 MB" no longer takes 1 byte or 1.9 MB.
  EXPECT_EQ(Compare("1 MB", 1).kind, "size");
  EXPECT_EQ(Compare("1 MB", mib + 6 * mib / 10).kind, "size");
  EXPECT_EQ(Compare("3.0 MB", 3 * mib + mib / 10).kind, "size");
  EXPECT_EQ(Compare("50.0 MB", 50 * mib + mib / 5).kind, "size");  // a tenth is the step here
  EXPECT_EQ(Compare("123 B", 124).kind, "size");
  EXPECT_EQ(Compare("1.2 GB", 0).kind, "size");
  EXPECT_EQ(
      GbkToUtf8(Compare("50 MB", 45 * mib).text),
      U8(u8"下载的文件与分享页不符：分享页写的大小是 50 MB，收到的文件是 45.0 MB，文件已保留，请打开查看。"));
}

TEST(CompareArrival, TellsAnErrorPageOrAnErrorReplyFromAFile) {
  const ArrivalVerdict page =
      Compare("50 MB", 312, "\xEF\xBB\xBF \r\n<!DOCTYPE HTML><html><title>403</title>");
  EXPECT_EQ(page.kind, "web_page");
  EXPECT_EQ(GbkToUtf8(page.text), U8(u8"下载的文件与分享页不符：收到的是一个网页而不是文件（312 "
                                     u8"B，分享页写的是 50 MB），文件已保留，请打开查看。"));
  EXPECT_EQ(Compare("50 MB", 90, "\n\t<html lang=zh>").kind, "web_page");
  EXPECT_EQ(Compare("50 MB", 60, R"({"error_code":31045,"error_msg":"user not exists"})").kind,
            "error_reply");
  EXPECT_EQ(Compare("50 MB", 20, R"( {"errno":-6})").kind, "error_reply");
  // JSON without an error, or text that merely mentions HTML, is only the wrong size.
  EXPECT_EQ(Compare("50 MB", 20, R"({"list":[]})").kind, "size");
  EXPECT_EQ(Compare("50 MB", 20, "notes about <html>").kind, "size");
  // An error page is one whatever size the page gave: a 60-byte page passes "1 MB" by neither.
  EXPECT_EQ(Compare("1 MB", 60, "<html><body>expired</body></html>").kind, "web_page");
  EXPECT_EQ(Compare("2.0 KB", 2048, "<!DOCTYPE html><html>").kind, "web_page");
  EXPECT_EQ(Compare("57 B", 57, R"({"error":"expired"})").kind, "error_reply");
  // Only a file whose own name says it is a page or JSON may be one.
  EXPECT_TRUE(Compare("2.0 KB", 2048, "<!DOCTYPE html><html>", "index.HTML").matches());
  EXPECT_TRUE(Compare("57 B", 57, R"({"error":"an example"})", "sample.json").matches());
  // Object stores answer in XML, APIs in JSON: error bodies whatever the
  // size, or whether the page's size could be read.
  const std::string s3 =
      "<?xml version=\"1.0\" "
      "encoding=\"UTF-8\"?>\n<Error><Code>AccessDenied</Code><Message>x</Message></Error>";
  EXPECT_EQ(Compare("57 B", 62, s3).kind, "error_reply");
  EXPECT_EQ(CompareArrival(std::nullopt, 62, s3, "a.bin").kind, "error_reply");
  EXPECT_EQ(
      CompareArrival(std::nullopt, 90, "<?xml version='1.0'?><!-- x --><ErrorResponse xmlns='a'>", "a.bin")
          .kind,
      "error_reply");
  EXPECT_EQ(CompareArrival(std::nullopt, 40, R"({"code":403,"message":"expired"})", "a.bin").kind,
            "error_reply");
  EXPECT_EQ(CompareArrival(std::nullopt, 40, R"([ {"errmsg":"expired"}])", "a.bin").kind, "error_reply");
  // XML that is no error, an error body's own name, or a file too large to
  // be an error reply are the files they are.
  EXPECT_TRUE(CompareArrival(std::nullopt, 90, "<?xml version=\"1.0\"?><svg>", "a.svg").matches());
  EXPECT_TRUE(CompareArrival(std::nullopt, 62, s3, "error.xml").matches());
  EXPECT_TRUE(CompareArrival(std::nullopt, 1 << 20, R"({"code":1,"message":"a log"})", "a.bin").matches());
  // With no size stated the page check still runs.
  EXPECT_EQ(CompareArrival(std::nullopt, 60, "<html>", "a.zip").kind, "web_page");
  EXPECT_TRUE(CompareArrival(std::nullopt, 60, "PK", "a.zip").matches());
}

// A server that sends no length ends a download wherever its connection
// breaks: a size that agrees only within the page's rounding proves nothing.
TEST(CompareArrival, WithoutALengthFromTheServerOnlyAnExactSizeIsConfirmed) {
  const std::int64_t mib = 1 << 20;
  const ArrivalVerdict cut =
      CompareArrival(Stated("8 MB"), 8'074'035, "PK", "a.zip", /*length_unknown=*/true);
  EXPECT_TRUE(cut.unconfirmed());
  EXPECT_EQ(GbkToUtf8(cut.text),
            U8(u8"服务器没有告知文件的长度，无法确认文件是否完整：收到 7.7 MB，分享页写的是约 8 MB。"
               u8"请打开文件查看；如果不完整，请在分享页再点击一次这个文件重新下载。"));
  EXPECT_TRUE(CompareArrival(Stated("8 MB"), 8 * mib, "PK", "a.zip", true).matches());
  EXPECT_TRUE(CompareArrival(Stated("8 MB"), 8'000'000, "PK", "a.zip", true).matches());
  EXPECT_EQ(CompareArrival(Stated("8 MB"), 2 * mib, "PK", "a.zip", true).kind, "size");
  EXPECT_TRUE(CompareArrival(Stated("8 MB"), 8'074'035, "PK", "a.zip", false).matches());
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
  // A file that is not there is never "done", known to a page or not.
  const ArrivalVerdict gone = sizes.Verdict(desktop, "g4", (dir / "gone.bin").string());
  EXPECT_TRUE(gone.missing());
  EXPECT_EQ(GbkToUtf8(gone.text).rfind(U8(u8"下载的文件不见了：") + (dir / "gone.bin").string(), 0), 0u)
      << GbkToUtf8(gone.text);
  // The notice and the manager ask about the same task: one answer, one check.
  EXPECT_EQ(sizes.Verdict(desktop, "g1", page.string()).text, verdict.text);
  const std::string log = desktop.RawLog();
  EXPECT_NE(log.find(R"("event":"arrival_checked","gid":"g1")"), std::string::npos) << log;
  EXPECT_NE(log.find(R"("kind":"web_page")"), std::string::npos) << log;
  size_t checks = 0;
  for (size_t at = 0; (at = log.find("arrival_checked", at)) != std::string::npos; ++at) ++checks;
  EXPECT_EQ(checks, 3u) << log;
  // Checked sizes are dropped from the record: a later download of the same
  // name is not held to an old page.
  EXPECT_EQ(testing::ReadFile(record).find("50 MB"), std::string::npos) << testing::ReadFile(record);
  EXPECT_TRUE(StatedSizes(record).Verdict(desktop, "g5", page.string()).matches());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath
