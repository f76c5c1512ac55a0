// The text model every part of Korvath works in.
//
// `Text` is a byte string in the system code page. That code page is GB18030:
// every GBK byte sequence is the same in GB18030, and unlike GBK it can hold
// every Unicode character, so no file name is ever reduced to "?".
// Positions are 1-based byte positions; -1 means "not found". Scanning
// operations step over a lead byte (>= 0x80) and its trail byte together, and
// over a complete GB18030 four-byte sequence (lead, digit, lead, digit) as one
// character, so a match never starts inside a character. Cutting operations
// count plain bytes. A text is taken as ending at its last byte; conversions
// stop at a zero byte.
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
Text ToText(double value);           // "%.13g", at least three exponent digits
Text ToText(float value);            // "%.6g"
Text ToText(bool value);             // "真" / "假"
Text ToText(const Bytes& bytes);     // up to the first zero byte
Text ToText(std::uint8_t value);     // "%u"
Text ToText(std::string_view text);  // itself
Text ToText(const char* text);       // itself (keeps literals from turning into bool)
Text DateTimeText(DateTime value);
Bytes ToBytes(std::string_view text);
Bytes ToBytes(int value);           // 4 bytes, little-endian
Bytes ToBytes(std::int64_t value);  // 8 bytes, little-endian
Bytes ToBytes(double value);        // 8 bytes, little-endian
std::int64_t ToInt(std::string_view text);
std::int64_t ToInt(double value);  // truncated toward zero, saturated at the int64 range
Text HexText(std::int64_t value);  // of the low 32 bits
DateTime ToDateTime(std::string_view text);
// Full-width GBK forms (A3A1-A3FE, the full-width space A1A1) as their ASCII forms.
Text ToHalfWidth(std::string_view text);

// ---- byte sets ----------------------------------------------------------
std::int64_t BytesLength(const Bytes& bytes);
Bytes BytesLeft(const Bytes& bytes, std::int64_t n);
Bytes BytesMid(const Bytes& bytes, std::int64_t start, std::int64_t n);
Bytes BlankBytes(std::int64_t n);
Bytes operator+(const Bytes& a, const Bytes& b);

// Type codes of ReadBytesValue.
enum class ValueType {
  kByte = 1,
  kInt16 = 2,
  kInt32 = 3,
  kInt64 = 4,
  kFloat = 5,
  kDouble = 6,
  kBool = 7,
  kDateTime = 8,
  kAddress = 9,
  kText = 10
};
struct BytesValue {
  bool ok = false;           // false only for a type outside 1-10
  std::int64_t integer = 0;  // byte, integers, bool (0/1), address
  double number = 0;         // float, double, DateTime (integers are copied here too)
  Text text;                 // kText: up to the first zero byte
  Text error;                // the programming-error message when !ok
};
// Reads a value in its little-endian in-memory form from the 1-based position;
// a set too short for the type reads as if padded with zero bytes.
BytesValue ReadBytesValue(const Bytes& bytes, int type, std::int64_t position = 1);

// ---- date-time ----------------------------------------------------------
DateTime Now();
struct DateParts {
  int year = 100, month = 1, day = 1, hour = 0, minute = 0, second = 0;
};
// kNoDate for a date or time that does not exist (years 100-9999).
DateTime MakeDateTime(const DateParts& parts);
DateParts SplitDateTime(DateTime value);  // rounded to the second
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
