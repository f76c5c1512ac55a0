#include "util/regex-object.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace korvath {
namespace {

constexpr const char* kCharsetPattern = "<meta.+?charset=[^\\w]?([-\\w]+)";

TEST(RegexObjectTest, FindsDeclaredCharsetTheWayTheRequestRoutineAsks) {
  RegexObject regex;
  ASSERT_TRUE(regex.Create(kCharsetPattern,
                           "<html><META http-equiv='Content-Type' content='text/html; charset=GBK'>"));
  EXPECT_EQ(regex.GetSubMatch(1, 1), "GBK");

  ASSERT_TRUE(regex.Create(kCharsetPattern, "<meta charset='utf-8' />"));
  EXPECT_EQ(regex.GetSubMatch(1, 1), "utf-8");

  // "." stops at a line feed, so a tag split over two lines declares nothing.
  ASSERT_TRUE(regex.Create(kCharsetPattern, "<meta\ncharset=gbk>"));
  EXPECT_EQ(regex.MatchCount(), 0);
  EXPECT_EQ(regex.GetSubMatch(1, 1), "");
}

TEST(RegexObjectTest, InvalidPatternFailsAndEveryReadIsEmpty) {
  for (const char* pattern :
       {"(", "a)", "[a", "*a", "a{2}+", "(?<=a)b", "(?i)a", "(?<n>a)", "(?>a)", "(*ACCEPT)a", "a\\"}) {
    RegexObject regex;
    ASSERT_TRUE(regex.Create("a", "a"));  // a failed Create must not leave the previous matches behind
    EXPECT_FALSE(regex.Create(pattern, "a(b)")) << pattern;
    EXPECT_EQ(regex.MatchCount(), 0) << pattern;
    EXPECT_EQ(regex.GetMatch(1), "") << pattern;
    EXPECT_EQ(regex.GetSubMatch(1, 1), "") << pattern;
    EXPECT_EQ(regex.SubMatchCount(), 0) << pattern;
    EXPECT_EQ(regex.Replace("x"), "") << pattern;
  }
}

TEST(RegexObjectTest, CaseAndGlobalFlagsDecideTheMatchCount) {
  RegexObject regex;
  ASSERT_TRUE(regex.Create("a", "AaA"));
  EXPECT_EQ(regex.MatchCount(), 3);
  ASSERT_TRUE(regex.Create("a", "AaA", {.case_sensitive = true}));
  EXPECT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.GetMatchAt(1).position, 1);
  ASSERT_TRUE(regex.Create("a", "AaA", {.global = false}));
  EXPECT_EQ(regex.MatchCount(), 1);
  EXPECT_EQ(regex.Replace("-"), "-aA");
}

TEST(RegexObjectTest, ReadsOutOfRangeOrUnsetGroupsAsEmpty) {
  RegexObject regex;
  EXPECT_EQ(regex.GetPattern(), "");
  EXPECT_EQ(regex.GetMatch(1), "");
  ASSERT_TRUE(regex.Create("(a)|(b)", "b"));
  EXPECT_EQ(regex.SubMatchCount(), 2);
  EXPECT_EQ(regex.GetSubMatch(1, 1), "");  // took no part in the match
  EXPECT_EQ(regex.GetSubMatch(1, 2), "b");
  EXPECT_EQ(regex.GetSubMatch(1, 0), "");
  EXPECT_EQ(regex.GetSubMatch(1, 3), "");
  EXPECT_EQ(regex.GetSubMatch(2, 1), "");
  EXPECT_EQ(regex.GetMatch(0), "");
  EXPECT_EQ(regex.GetMatch(2), "");

  ASSERT_TRUE(regex.Create("(x)", "abc"));
  EXPECT_EQ(regex.SubMatchCount(), 0);  // no match, so no groups to read
  EXPECT_EQ(regex.Replace("y"), "abc");
}

TEST(RegexObjectTest, ReplaceExpandsGroupReferences) {
  RegexObject regex;
  ASSERT_TRUE(regex.Create("(\\d+)", "x12y345"));
  EXPECT_EQ(regex.Replace("<$1>"), "x<12>y<345>");
  EXPECT_EQ(regex.Replace(), "xy");
  // A reference past the pattern's groups, "$0" and a lone "$" stay as written.
  EXPECT_EQ(regex.Replace("$2$0$"), "x$2$0$y$2$0$");

  ASSERT_TRUE(regex.Create("(a)|(b)", "ab"));
  EXPECT_EQ(regex.Replace("[$1$2]"), "[a][b]");
}

TEST(RegexObjectTest, EmptyMatchesAdvanceOneCharacter) {
  RegexObject regex;
  ASSERT_TRUE(regex.Create("x*", Gbk(u8"a中")));
  EXPECT_EQ(regex.MatchCount(), 3);  // before "a", before "中", at the end
  EXPECT_EQ(regex.Replace("-"), Gbk(u8"-a-中-"));

  ASSERT_TRUE(regex.Create("a*", "aaa"));
  EXPECT_EQ(regex.MatchCount(), 2);
  EXPECT_EQ(regex.GetMatch(1), "aaa");
  EXPECT_EQ(regex.GetMatch(2), "");
}

TEST(RegexObjectTest, MatchesCharactersOfSystemText) {
  RegexObject regex;
  const Text subject = Gbk(u8"文件名：报告.pdf");
  ASSERT_TRUE(regex.Create(Gbk(u8"名：(.)(..)"), subject));
  EXPECT_EQ(regex.GetSubMatch(1, 1), Gbk(u8"报"));
  EXPECT_EQ(regex.GetSubMatch(1, 2), Gbk(u8"告."));
  // Positions are zero-based byte offsets in the system text.
  EXPECT_EQ(regex.GetMatchAt(1).position, static_cast<std::int64_t>(Gbk(u8"文件").size()));
  EXPECT_EQ(regex.GetSubMatchAt(1, 2).position, static_cast<std::int64_t>(Gbk(u8"文件名：报").size()));
  EXPECT_EQ(regex.GetSubMatchAt(1, 9).position, -1);
}

TEST(RegexObjectTest, FollowsScriptEngineDialect) {
  RegexObject regex;
  // Multi-line anchors hold at CR LF line ends too; without multi-line "$" is the very end.
  ASSERT_TRUE(regex.Create("^b$", "a\r\nb\r\nc"));
  EXPECT_EQ(regex.MatchCount(), 1);
  ASSERT_TRUE(regex.Create("^b$", "a\nb\nc", {.multi_line = false}));
  EXPECT_EQ(regex.MatchCount(), 0);
  ASSERT_TRUE(regex.Create("b$", "b\n", {.multi_line = false}));
  EXPECT_EQ(regex.MatchCount(), 0);

  ASSERT_TRUE(regex.Create("\\u0041\\x42\\v", "AB\x0B"));
  EXPECT_EQ(regex.MatchCount(), 1);
  ASSERT_TRUE(regex.Create("\\v", "\n"));
  EXPECT_EQ(regex.MatchCount(), 0);  // \v is the vertical tab only
  ASSERT_TRUE(regex.Create("(a)?b\\1", "b"));
  EXPECT_EQ(regex.GetMatch(1), "b");  // an unset back-reference matches empty
  ASSERT_TRUE(regex.Create("x[]y|[^]", "\n"));
  EXPECT_EQ(regex.GetMatch(1), "\n");
  ASSERT_TRUE(regex.Create("a{,2}", "a{,2}"));
  EXPECT_EQ(regex.GetMatch(1), "a{,2}");
  ASSERT_TRUE(regex.Create("[[:a]+", "[:a"));
  EXPECT_EQ(regex.GetMatch(1), "[:a");
  ASSERT_TRUE(regex.Create("a(?=b)", "acab", {.case_sensitive = true}));
  EXPECT_EQ(regex.GetMatchAt(1).position, 2);
}

TEST(RegexObjectTest, QuoteTokenStandsForDoubleQuote) {
  RegexObject regex;
  ASSERT_TRUE(regex.Create(Gbk(u8"href=#引号(.+?)#引号"), "<a href=\"x.zip\">", {.quote_token = true}));
  EXPECT_EQ(regex.GetPattern(), "href=\"(.+?)\"");
  EXPECT_EQ(regex.GetSubMatch(1, 1), "x.zip");
  ASSERT_TRUE(regex.Create(Gbk(u8"#引号"), "\""));
  EXPECT_EQ(regex.MatchCount(), 0);  // without the flag the token is literal
}

TEST(RegexObjectTest, CopySharesMatchesAndKeepsThemAfterOriginalChanges) {
  RegexObject regex;
  ASSERT_TRUE(regex.Create("(\\d)", "a1b2"));
  RegexObject copy = regex;
  ASSERT_TRUE(regex.Create("z", "z"));
  EXPECT_EQ(copy.MatchCount(), 2);
  EXPECT_EQ(copy.GetSubMatch(2, 1), "2");
  EXPECT_EQ(copy.Replace("#"), "a#b#");
  EXPECT_EQ(copy.GetPattern(), "(\\d)");
}

TEST(RegexObjectTest, CatastrophicBacktrackingEndsQuicklyWithoutMatch) {
  RegexObject regex;
  const Text subject = Text(30, 'a') + "!";
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_TRUE(regex.Create("(a+)+$", subject));
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(regex.MatchCount(), 0);
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

}  // namespace
}  // namespace korvath
