#include "http/cookies.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

struct Case {
  const char* old_cookies;
  const char* new_cookies;
  const char* merged;
  const char* merged_ex;
};

TEST(CookieMerge, NewFirstThenOldNotOverriddenWithDeletionsAndDuplicatesGone) {
  const Case cases[] = {
      {"a=1; b=2", "b=3", "b=3; a=1", "b=3; a=1"},
      {"a=1; b=2", "b=deleted", "a=1", "a=1"},
      {"", "x=1; y=2", "x=1; y=2", "x=1; y=2"},
      {"a=1", "", "a=1", "a=1"},
      {"a = 1", "", "a=1", "a = 1"},
      {"a=1;b=2", "b=3", "b=3; a=1", "b=3; a=1;b=2"},
      {"", "c=1; c=1", "c=1", "c=1"},
      {"", "", "", ""},
      // Names compare with case; deletion markers are exact.
      {"A=1", "a=2", "a=2; A=1", "a=2; A=1"},
      {"a=1", "b=DELETED", "b=DELETED; a=1", "b=DELETED; a=1"},
      // An old cookie the response deleted does not return.
      {"s=1; t=2", "s=deleted; u=3", "u=3; t=2", "u=3; t=2"},
      // Trailing and doubled separators leave no empty entries.
      {"a=1;", "b=2; ", "b=2; a=1", "b=2; a=1"},
      {"a=1;;b=2", "", "a=1; b=2", "a=1;;b=2"},
      // An entry without "=" is its own name.
      {"flag; a=1", "flag", "flag; a=1", "flag; a=1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.old_cookies) + " | " + c.new_cookies);
    EXPECT_EQ(MergeCookies(c.old_cookies, c.new_cookies), c.merged);
    EXPECT_EQ(MergeCookiesEx(c.old_cookies, c.new_cookies), c.merged_ex);
  }
}

TEST(CookieMerge, FullWidthBlanksCountAsBlanks) {
  const std::string full_width = "\xA1\xA1";
  EXPECT_EQ(MergeCookies("a=1;" + full_width + "b=2", "c=3"), "c=3; a=1; b=2");
  EXPECT_EQ(MergeCookiesEx(full_width + "a=1" + full_width, ""), "a=1");
}

TEST(CookieMerge, Utf8ValuesKeepTheirSeparators) {
  const std::string zh = "\xE4\xB8\xAD";
  EXPECT_EQ(MergeCookies("n=" + zh + ";m=1", "m=2"), Text("m=2; n=" + zh));
  EXPECT_EQ(MergeCookiesEx("n=" + zh + "; m=1", "m=2"), Text("m=2; n=" + zh));
  // A blank right after a value's odd last high byte is a blank all the same.
  EXPECT_EQ(MergeCookies("n=" + zh + " ;m=1", "k=" + zh + " "), Text("k=" + zh + "; n=" + zh + "; m=1"));
}

TEST(CookieMerge, LargeInputsStayFast) {
  std::string old_cookies, new_cookies;
  for (int i = 0; i < 20000; ++i) {
    old_cookies += "o" + std::to_string(i) + "=1; ";
    new_cookies += "n" + std::to_string(i) + "=1; ";
  }
  const Text merged = MergeCookies(old_cookies, new_cookies);
  EXPECT_EQ(merged.substr(0, 11), "n0=1; n1=1;");
  EXPECT_EQ(merged.substr(merged.size() - 10), "; o19999=1");
}

}  // namespace
}  // namespace korvath
