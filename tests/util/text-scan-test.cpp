// The scanners against a plain character-by-character reference walk, plus the
// cases where double-byte and four-byte characters must not yield a match.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>

#include "util/text.h"

namespace korvath {
namespace {

// Bytes of one character of GB18030 as the scanners must step it.
std::size_t RefStep(std::string_view s, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  if (at(i) < 0x80) return 1;
  if (i + 3 < s.size() && at(i) >= 0x81 && at(i) <= 0xFE && at(i + 1) >= 0x30 && at(i + 1) <= 0x39 &&
      at(i + 2) >= 0x81 && at(i + 2) <= 0xFE && at(i + 3) >= 0x30 && at(i + 3) <= 0x39) {
    return 4;
  }
  return 2;
}

bool RefMatch(std::string_view s, std::size_t i, std::string_view needle, bool fold) {
  for (std::size_t k = 0; k < needle.size(); ++k) {
    char a = s[i + k], b = needle[k];
    if (fold) {
      if (a >= 'A' && a <= 'Z') a += 32;
      if (b >= 'A' && b <= 'Z') b += 32;
    }
    if (a != b) return false;
  }
  return true;
}

std::int64_t RefFind(std::string_view s, std::string_view needle, std::int64_t start, bool fold) {
  if (start < 1) start = 1;
  if (start > static_cast<std::int64_t>(s.size())) return -1;
  if (needle.empty()) return 1;
  for (std::size_t i = start - 1; i < s.size(); i += RefStep(s, i)) {
    if (s.size() - i >= needle.size() && RefMatch(s, i, needle, fold)) return i + 1;
  }
  return -1;
}

std::int64_t RefFindLast(std::string_view s, std::string_view needle, std::int64_t start, bool fold) {
  const std::size_t region = start <= 1 ? 0 : std::min<std::size_t>(start - 1, s.size());
  if (region == 0) return -1;
  if (needle.empty()) return 1;
  std::int64_t last = -1;
  for (std::size_t i = 0; i < region; i += RefStep(s, i)) {
    if (region - i >= needle.size() && RefMatch(s, i, needle, fold)) last = i + 1;
  }
  return last;
}

Text RefReplace(std::string_view s, std::string_view find, std::string_view with, std::int64_t start,
                std::int64_t count, bool fold) {
  const std::size_t from = std::max<std::int64_t>(start - 1, 0);
  if (s.empty() || find.empty() || from >= s.size() || count == 0) return Text(s);
  Text out(s.substr(0, from));
  std::size_t i = from;
  while (s.size() - i >= find.size()) {
    if (RefMatch(s, i, find, fold)) {
      out += with;
      i += find.size();
      if (count != -1) {
        if (count == 1) break;
        --count;
      }
    } else {
      const std::size_t step = RefStep(s, i);
      if (i + step > s.size()) break;
      out += s.substr(i, step);
      i += step;
    }
  }
  out += s.substr(i);
  return out;
}

TextArray RefSplit(std::string_view s, std::string_view delimiter, std::int64_t max) {
  TextArray parts;
  if (s.empty() || max == 0) return parts;
  std::size_t begin = 0, i = 0;
  while (i < s.size()) {
    if (s.size() - i >= delimiter.size() && RefMatch(s, i, delimiter, false)) {
      parts.emplace_back(s.substr(begin, i - begin));
      i += delimiter.size();
      begin = i;
      if (max > 0 && --max == 0) return parts;
    } else {
      i += RefStep(s, i);
    }
  }
  if (begin < s.size()) parts.emplace_back(s.substr(begin));
  return parts;
}

// Mixed text built from the pieces that make scanning hard: ASCII with upper
// and lower case, digits, two-byte characters whose trail bytes look like
// ASCII, four-byte sequences, full-width spaces and a lone lead byte.
Text RandomText(std::mt19937& rng, std::size_t pieces) {
  // clang-format off
  static const char* const kPieces[] = {
      "a", "A", "b", ",", "0", "9", " ", "ab", "Ab",
      "\xD6\xD0",          // 中
      "\x81\x61",          // trail byte 'a'
      "\x81\x41",          // trail byte 'A'
      "\x82\x2C",          // a lead byte before ',' (invalid, but must be stepped over)
      "\xA1\xA1",          // full-width space
      "\x81\x30\x82\x30",  // four-byte character
      "\x81\x31\x81\x30",  // four-byte character
      "\x95\x32\x82\x36",  // supplementary-plane character
      "\xB0\x61\x62",      // lead, trail 'a', then 'b'
  };
  // clang-format on
  std::uniform_int_distribution<std::size_t> pick(0, std::size(kPieces) - 1);
  Text out;
  for (std::size_t i = 0; i < pieces; ++i) out += kPieces[pick(rng)];
  if (rng() % 8 == 0) out += "\x81";  // a lead byte that ends the text
  return out;
}

Text RandomNeedle(std::mt19937& rng, const Text& text) {
  if (text.empty() || rng() % 4 == 0) return RandomText(rng, 1 + rng() % 2);
  const std::size_t at = rng() % text.size();
  const std::size_t n = 1 + rng() % std::min<std::size_t>(5, text.size() - at);
  return text.substr(at, n);  // often begins on a trail byte
}

TEST(FindText, EmptyNeedleAndEmptyRegion) {
  EXPECT_EQ(FindText("abc", ""), 1);
  EXPECT_EQ(FindText("", ""), -1);
  EXPECT_EQ(FindText("abc", "", 3), 1);
  EXPECT_EQ(FindText("abc", "", 4), -1);
  EXPECT_EQ(FindTextLast("abc", ""), 1);
  EXPECT_EQ(FindTextLast("abc", "", 1), -1);
  EXPECT_EQ(FindText("abc", "c", -5), 3);
  EXPECT_EQ(FindText("abc", "abcd"), -1);
}

TEST(FindText, PositionsAreOneBasedFromTheWholeText) {
  EXPECT_EQ(FindText("a.b.c", "."), 2);
  EXPECT_EQ(FindText("a.b.c", ".", 3), 4);
  EXPECT_EQ(FindText("a.b.c", ".", 5), -1);
  EXPECT_EQ(FindTextLast("a.b.c", "."), 4);
  EXPECT_EQ(FindTextLast("a.b.c", ".", 4), 2);  // the one at 4 is not wholly before 4
  EXPECT_EQ(FindTextLast("a.b.c", ".", 5), 4);
  EXPECT_EQ(FindTextLast("a.b.c", ".", 99), 4);
  EXPECT_EQ(FindTextLast("abab", "ab", 4), 1);
}

TEST(FindText, IgnoreCaseFoldsAsciiOnly) {
  EXPECT_EQ(FindText("xxHeLLo", "hello"), -1);
  EXPECT_EQ(FindText("xxHeLLo", "hello", std::nullopt, true), 3);
  EXPECT_EQ(FindTextLast("Ab ab AB", "ab", std::nullopt, true), 7);
  // A trail byte 'A' after a lead byte is no match for 'a', folded or not.
  EXPECT_EQ(FindText("\x81\x41", "a", std::nullopt, true), -1);
}

TEST(FindText, TrailBytesNeverStartAMatch) {
  // 0x81 0x61 is one character whose trail byte is 'a'.
  EXPECT_EQ(FindText("\x81\x61", "a"), -1);
  EXPECT_EQ(FindText("\x81\x61\x61", "a"), 3);
  EXPECT_EQ(FindTextLast("a\x81\x61", "a"), 1);
  // 中 is D6 D0 and 械 is D0 B5: the pair D0 D0 never starts at a trail byte.
  const Text text = Gbk(u8"中中");
  EXPECT_EQ(FindText(text, "\xD0\xD6"), -1);
  EXPECT_EQ(FindText(text, Gbk(u8"中"), 3), 3);
  // The walk starts at the start position, so from a trail byte it pairs
  // the bytes differently and the second 中 is no longer on a boundary.
  EXPECT_EQ(FindText(text, Gbk(u8"中"), 2), -1);
  // A search starting on a trail byte steps from there, as the caller asked.
  EXPECT_EQ(FindText("\x81\x61", "a", 2), 2);
}

TEST(FindText, FourByteCharactersAreNotSplit) {
  // "ť" + "ꐃ" is 81 30 95 32 | 82 36 81 30; its bytes 3-6 spell "𠀀" (95 32 82 36).
  // Stepping the text two bytes at a time would land on byte 3 and match.
  const Text text = Utf8ToGbk("\xC5\xA5\xEA\x90\x83");
  const Text needle = Utf8ToGbk("\xF0\xA0\x80\x80");
  ASSERT_EQ(text, "\x81\x30\x95\x32\x82\x36\x81\x30");
  ASSERT_EQ(needle, "\x95\x32\x82\x36");
  EXPECT_EQ(FindText(text, needle), -1);
  EXPECT_EQ(FindTextLast(text, needle), -1);
  EXPECT_EQ(ReplaceSubtext(text, needle, "X"), text);
  EXPECT_EQ(SplitText(text, needle).size(), 1u);
  EXPECT_EQ(FindText(text + needle, needle), 9);
  // The same with a BMP character: 81 30 82 30 | 81 31 81 30 holds 㒤 (82 30 81 31).
  EXPECT_EQ(FindText("\x81\x30\x82\x30\x81\x31\x81\x30", Utf8ToGbk("\xE3\x92\xA4")), -1);
}

TEST(FindText, LeadByteAtTheEndEndsTheScan) {
  EXPECT_EQ(FindText("ab\x81", "\x81"), 3);
  EXPECT_EQ(FindText("\x81", "\x81\x61"), -1);
  EXPECT_EQ(ReplaceSubtext("a\x81", "a", "b"), "b\x81");
}

TEST(FindText, AgreesWithACharacterWalk) {
  std::mt19937 rng(20261207);
  for (int round = 0; round < 20000; ++round) {
    const Text text = RandomText(rng, rng() % 24);
    const Text needle = RandomNeedle(rng, text);
    const std::int64_t start = static_cast<std::int64_t>(rng() % (text.size() + 3)) - 1;
    const bool fold = rng() % 3 == 0;
    SCOPED_TRACE(testing::PrintToString(text) + " / " + testing::PrintToString(needle) + " @" +
                 std::to_string(start));
    ASSERT_EQ(FindText(text, needle, start, fold), RefFind(text, needle, start, fold));
    ASSERT_EQ(FindTextLast(text, needle, start, fold), RefFindLast(text, needle, start, fold));
    ASSERT_EQ(FindTextLast(text, needle, std::nullopt, fold),
              RefFindLast(text, needle, static_cast<std::int64_t>(text.size()) + 1, fold));
  }
}

// Long texts where the needle's first byte is everywhere: the scanner changes
// its way of finding candidates part-way and must still agree.
TEST(FindText, DenseCandidatesInLongTexts) {
  const Text as = Text(50000, 'a');
  EXPECT_EQ(FindText(as + "b", "aab"), 49999);
  EXPECT_EQ(FindTextLast(as + "b" + as + "b", "aab"), 100000);
  const Text zhong = RepeatText(30000, Gbk(u8"中"));
  EXPECT_EQ(FindText(zhong + "a", "\xD0\xD6"), -1);  // every such pair straddles two characters
  EXPECT_EQ(FindText(zhong + "a", Gbk(u8"中") + "a"), 59999);
  EXPECT_EQ(FindText("x" + zhong + "a", "\xD0\xD6"), -1);
  EXPECT_EQ(FindText("\xD0" + zhong, "\xD6\xD0"), -1);  // D0 D6 | D0 D6 ...: the pairs shift
  EXPECT_EQ(SplitText(zhong, Gbk(u8"中")).size(), 30000u);
  EXPECT_EQ(ReplaceSubtext(zhong, "\xD0\xD6", "x"), zhong);
}

TEST(ReplaceSubtext, StartCountAndCase) {
  EXPECT_EQ(ReplaceSubtext("a-a-a", "a", "b"), "b-b-b");
  EXPECT_EQ(ReplaceSubtext("a-a-a", "a", "b", {.count = 1}), "b-a-a");
  EXPECT_EQ(ReplaceSubtext("a-a-a", "a", "b", {.start = 2, .count = 1}), "a-b-a");
  EXPECT_EQ(ReplaceSubtext("a-a-a", "a", "b", {.start = 6}), "a-a-a");
  EXPECT_EQ(ReplaceSubtext("a-a-a", "a", "b", {.count = 0}), "a-a-a");
  EXPECT_EQ(ReplaceSubtext("a-a-a", "a"), "--");
  EXPECT_EQ(ReplaceSubtext("aaa", "aa", "a"), "aa");  // matched bytes are skipped
  EXPECT_EQ(ReplaceSubtext("A-a", "a", "x"), "x-x");  // case folded by default
  EXPECT_EQ(ReplaceSubtext("A-a", "a", "x", {.case_sensitive = true}), "A-x");
  EXPECT_EQ(ReplaceSubtext("", "a", "x"), "");
  EXPECT_EQ(ReplaceSubtext("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceSubtext("\x81\x61\x61", "a", "x"), "\x81\x61x");
  // Any start before the text counts as its first byte.
  EXPECT_EQ(ReplaceSubtext("a-a", "a", "b", {.start = 0}), "b-b");
  EXPECT_EQ(ReplaceSubtext("a-a", "a", "b", {.start = INT64_MIN}), "b-b");
}

TEST(ReplaceSubtext, AgreesWithACharacterWalk) {
  std::mt19937 rng(7);
  for (int round = 0; round < 20000; ++round) {
    const Text text = RandomText(rng, rng() % 24);
    const Text find = RandomNeedle(rng, text);
    const std::int64_t start = static_cast<std::int64_t>(rng() % (text.size() + 3)) - 1;
    const std::int64_t count = static_cast<std::int64_t>(rng() % 5) - 1;
    const bool sensitive = rng() % 2 == 0;
    SCOPED_TRACE(testing::PrintToString(text) + " / " + testing::PrintToString(find));
    ASSERT_EQ(ReplaceSubtext(text, find, "<>", {.start = start, .count = count, .case_sensitive = sensitive}),
              RefReplace(text, find, "<>", start, count, !sensitive));
  }
}

TEST(SplitText, ElementsAndMaxima) {
  EXPECT_EQ(SplitText("a,,b"), (TextArray{"a", "", "b"}));
  EXPECT_EQ(SplitText("a,b,"), (TextArray{"a", "b"}));
  EXPECT_EQ(SplitText(",a"), (TextArray{"", "a"}));
  EXPECT_EQ(SplitText(""), TextArray{});
  EXPECT_EQ(SplitText("a,b,c", ",", 2), (TextArray{"a", "b"}));
  EXPECT_EQ(SplitText("a,b,c", ",", 5), (TextArray{"a", "b", "c"}));
  EXPECT_EQ(SplitText("a,b,c", ",", 0), TextArray{});
  EXPECT_EQ(SplitText("a,b,c", ",", -3), TextArray{});
  EXPECT_EQ(SplitText("a,b", ""), TextArray{"a,b"});
  EXPECT_EQ(SplitText("a::b", "::"), (TextArray{"a", "b"}));
  EXPECT_EQ(SplitText("A,a", "a"), (TextArray{"A,"}));  // always case-sensitive
  // 0x82 0x2C is one character: its ',' is no delimiter.
  EXPECT_EQ(SplitText("x\x82,y,z"), (TextArray{"x\x82,y", "z"}));
}

TEST(SplitText, AgreesWithACharacterWalk) {
  std::mt19937 rng(11);
  for (int round = 0; round < 20000; ++round) {
    const Text text = RandomText(rng, rng() % 24);
    const Text delimiter = rng() % 2 ? Text(",") : RandomNeedle(rng, text);
    const std::int64_t max = static_cast<std::int64_t>(rng() % 6) - 1;  // -1: none
    SCOPED_TRACE(testing::PrintToString(text) + " / " + testing::PrintToString(delimiter));
    ASSERT_EQ(SplitText(text, delimiter, max < 0 ? std::nullopt : std::optional<std::int64_t>(max)),
              RefSplit(text, delimiter, max));
  }
}

TEST(TextBetween, MarkersStartAndQuotes) {
  EXPECT_EQ(TextBetween("[gg]hello[/gg]", "[gg]", "[/gg]"), "hello");
  EXPECT_EQ(TextBetween("[gg]hello", "[gg]", "[/gg]"), "");
  EXPECT_EQ(TextBetween("hello[/gg]", "[gg]", "[/gg]"), "");
  EXPECT_EQ(TextBetween("[gg][/gg]", "[gg]", "[/gg]"), "");
  EXPECT_EQ(TextBetween("a=1;a=2;", "a=", ";", {.start = 2}), "2");
  EXPECT_EQ(TextBetween("User-Agent: x\r\n", "user-agent:", "\r\n", {.ignore_case = true}), " x");
  EXPECT_EQ(TextBetween("User-Agent: x\r\n", "user-agent:", "\r\n"), "");
  EXPECT_EQ(TextBetween("v=\"q\"", Gbk(u8"v=#引号"), Gbk(u8"#引号")), "q");
  // The right marker is searched only after the left one.
  EXPECT_EQ(TextBetween("]x[a]", "[", "]"), "a");
  const Text page = Gbk(u8"文件名：报告.pdf 文件大小：3MB");
  EXPECT_EQ(TextBetween(page, Gbk(u8"文件名："), Gbk(u8"文件大小：")), Gbk(u8"报告.pdf "));
}

}  // namespace
}  // namespace korvath
