// The text model every part of Korvath works in.
//
// `Text` is a byte string in the system code page. That code page is GB18030:
// every GBK byte sequence is the same in GB18030, and unlike GBK it can hold
// every Unicode character, so no file name is ever reduced to "?".
// Positions are 1-based byte positions; -1 means "not found". Scanning
// operations step over a lead byte (>= 0x80) and its trail byte together, so a
// match never starts on a trail byte. Cutting operations count plain bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvath {

using Text = std::string;
using TextArray = std::vector<Text>;  // indexed from 0 in C++, "from 1" in messages
using Bytes = std::vector<std::uint8_t>;

// Days since 1899-12-30 00:00 local time; kNoDate stands for "no valid date".
using DateTime = double;
inline constexpr DateTime kNoDate = -657434.0;

// ---- primitives ---------------------------------------------------------
std::int64_t TextLength(std::string_view text);
Text TextLeft(std::string_view text, std::int64_t n);
Text TextRight(std::string_view text, std::int64_t n);
Text TextMid(std::string_view text, std::int64_t start, std::int64_t n);

std::int64_t FindText(std::string_view text, std::string_view needle,
                      std::optional<std::int64_t> start = std::nullopt, bool ignore_case = false);
std::int64_t FindTextLast(std::string_view text, std::string_view needle,
                          std::optional<std::int64_t> start = std::nullopt, bool ignore_case = false);

struct ReplaceOptions {
  std::optional<std::int64_t> start;  // 1-based; default 1
  std::optional<std::int64_t> count;  // default: all
  bool case_sensitive = false;
};
Text ReplaceSubtext(std::string_view text, std::string_view find, std::string_view replacement = {},
                    ReplaceOptions options = {});

TextArray SplitText(std::string_view text, std::string_view delimiter = ",",
                    std::optional<std::int64_t> max_parts = std::nullopt);

Text TrimBlanks(std::string_view text);
Text RemoveBlanks(std::string_view text);
Text ToUpper(std::string_view text);
Text ToLower(std::string_view text);
Text CharText(std::int64_t code);
int CharCode(std::string_view text, std::int64_t position = 1);
Text SpaceText(std::int64_t n);
Text RepeatText(std::int64_t count, std::string_view text);
int CompareText(std::string_view a, std::string_view b, bool case_sensitive = true);

// ---- conversions --------------------------------------------------------
Text ToText(int value);
Text ToText(std::int64_t value);
Text ToText(double value);  // "%.13g", at least three exponent digits
Text ToText(float value);   // "%.6g"
Text ToText(bool value);    // "真" / "假"
Text ToText(const Bytes& bytes);  // up to the first zero byte
Text DateTimeText(DateTime value);
Bytes ToBytes(std::string_view text);
std::int64_t ToInt(std::string_view text);
Text HexText(std::int64_t value);
DateTime ToDateTime(std::string_view text);

// ---- byte sets ----------------------------------------------------------
Bytes BytesLeft(const Bytes& bytes, std::int64_t n);
Bytes BytesMid(const Bytes& bytes, std::int64_t start, std::int64_t n);
Bytes BlankBytes(std::int64_t n);

// ---- date-time ----------------------------------------------------------
DateTime Now();
// Units: 1 years, 2 quarters, 3 months, 4 weeks, 5 days, 6 hours, 7 minutes, 8 seconds.
double TimeDiff(DateTime a, DateTime b, int unit);

// ---- the system's own helpers -------------------------------------------
struct BetweenOptions {
  std::optional<std::int64_t> start;
  bool ignore_case = false;
};
Text TextBetween(std::string_view text, std::string_view left, std::string_view right,
                 BetweenOptions options = {});
Text UrlEncode(std::string_view text, bool keep_safe = false, bool utf8 = false);
Text UrlDecode(std::string_view text, bool utf8 = false);
Text Utf8ToGbk(std::string_view utf8);
Text GbkToUtf8(std::string_view text);

// Code pages as the original names them; 936 is served by GB18030.
inline constexpr int kCodePageSystem = 936;
inline constexpr int kCodePageUtf8 = 65001;
Bytes TextToWide(std::string_view text, int code_page = kCodePageUtf8);
Text WideToText(const Bytes& utf16le, int code_page = kCodePageSystem);

// Turns a UTF-8 literal in the source into system text once, at first use.
// The returned reference stays valid for the life of the program.
const Text& Gbk(const char8_t* utf8_literal);

}  // namespace korvath
