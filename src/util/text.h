// The text model of the original routines, and the type that names it.
//
// `Text` holds bytes in the system code page. That code page is GB18030:
// every GBK byte sequence is the same in GB18030, and unlike GBK it can hold
// every Unicode character, so no file name is ever reduced to "?". Text that
// is UTF-8 (settings, files Korvath writes, aria2's replies, file-system
// paths, GTK and WebKit strings) is a plain `std::string`. The compiler keeps
// the two apart: a Text is made from a std::string only explicitly (normally
// through Utf8ToGbk), is not accepted where a std::string is taken, and does
// not compare with or join to one; Utf8ToGbk refuses a Text and GbkToUtf8 a
// std::string, so nothing is converted twice. A Text reads as a
// std::string_view, so the routines below take either; only std::string's own
// assignment and append from a view can still take a Text's bytes unseen.
// ASCII literals are the same in both and become a Text implicitly; Chinese
// literals become one through Gbk(u8"...").
// Positions are 1-based byte positions; -1 means "not found". Scanning
// operations step over a lead byte (>= 0x80) and its trail byte together, and
// over a complete GB18030 four-byte sequence (lead, digit, lead, digit) as one
// character, so a match never starts inside a character. Cutting operations
// count plain bytes. A text is taken as ending at its last byte; conversions
// stop at a zero byte.
#pragma once

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvath {

class Text {
 public:
  using value_type = char;
  using size_type = std::string::size_type;
  using iterator = std::string::iterator;
  using const_iterator = std::string::const_iterator;
  static constexpr size_type npos = std::string::npos;

  Text() = default;
  // ASCII literals read the same in both encodings.
  Text(const char* ascii) : bytes_(ascii) {}
  Text(size_type count, char c) : bytes_(count, c) {}
  Text(const char* data, size_type size) : bytes_(data, size) {}
  // Bytes already in the system code page.
  explicit Text(std::string bytes) : bytes_(std::move(bytes)) {}
  explicit Text(std::string_view bytes) : bytes_(bytes) {}

  operator std::string_view() const noexcept { return bytes_; }

  size_type size() const noexcept { return bytes_.size(); }
  bool empty() const noexcept { return bytes_.empty(); }
  const char* data() const noexcept { return bytes_.data(); }
  const char* c_str() const noexcept { return bytes_.c_str(); }
  char& operator[](size_type i) { return bytes_[i]; }
  const char& operator[](size_type i) const { return bytes_[i]; }
  const char& front() const { return bytes_.front(); }
  char& back() { return bytes_.back(); }
  const char& back() const { return bytes_.back(); }
  iterator begin() noexcept { return bytes_.begin(); }
  iterator end() noexcept { return bytes_.end(); }
  const_iterator begin() const noexcept { return bytes_.begin(); }
  const_iterator end() const noexcept { return bytes_.end(); }

  void reserve(size_type n) { bytes_.reserve(n); }
  void clear() noexcept { bytes_.clear(); }
  void resize(size_type n, char c = '\0') { bytes_.resize(n, c); }
  void push_back(char c) { bytes_.push_back(c); }
  void pop_back() { bytes_.pop_back(); }
  Text& append(const Text& more) { return bytes_.append(more.bytes_), *this; }
  Text& append(size_type count, char c) { return bytes_.append(count, c), *this; }
  Text& append(const char* data, size_type size) { return bytes_.append(data, size), *this; }
  // Bytes of system text taken from a view of one.
  Text& append(std::string_view bytes) { return bytes_.append(bytes), *this; }
  template <std::same_as<std::string> T>
  Text& append(const T&) = delete;
  Text& operator+=(const Text& more) { return append(more); }
  Text& operator+=(const char* ascii) { return bytes_ += ascii, *this; }
  // A view is taken as system text; a std::string is UTF-8 and must be
  // converted first.
  Text& operator+=(std::string_view bytes) { return append(bytes); }
  template <std::same_as<std::string> T>
  Text& operator+=(const T&) = delete;
  Text& operator=(const char* ascii) { return bytes_ = ascii, *this; }
  Text& operator=(std::string_view bytes) { return bytes_ = bytes, *this; }
  template <std::same_as<std::string> T>
  Text& operator=(const T&) = delete;
  Text& operator+=(char c) { return bytes_ += c, *this; }
  Text& insert(size_type at, size_type count, char c) { return bytes_.insert(at, count, c), *this; }
  Text& erase(size_type at = 0, size_type count = npos) { return bytes_.erase(at, count), *this; }

  Text substr(size_type at = 0, size_type count = npos) const { return Text(bytes_.substr(at, count)); }
  size_type find(std::string_view what, size_type at = 0) const noexcept { return bytes_.find(what, at); }
  size_type find(char c, size_type at = 0) const noexcept { return bytes_.find(c, at); }
  size_type rfind(std::string_view what, size_type at = npos) const noexcept {
    return bytes_.rfind(what, at);
  }
  size_type find_first_of(std::string_view set, size_type at = 0) const noexcept {
    return bytes_.find_first_of(set, at);
  }
  size_type find_first_not_of(std::string_view set, size_type at = 0) const noexcept {
    return bytes_.find_first_not_of(set, at);
  }
  size_type find_last_not_of(std::string_view set, size_type at = npos) const noexcept {
    return bytes_.find_last_not_of(set, at);
  }
  size_type find_first_not_of(char c, size_type at = 0) const noexcept {
    return bytes_.find_first_not_of(c, at);
  }
  size_type find_last_not_of(char c, size_type at = npos) const noexcept {
    return bytes_.find_last_not_of(c, at);
  }
  bool starts_with(std::string_view s) const noexcept { return bytes_.starts_with(s); }
  bool ends_with(std::string_view s) const noexcept { return bytes_.ends_with(s); }
  int compare(std::string_view other) const noexcept { return bytes_.compare(other); }
  int compare(size_type at, size_type count, std::string_view other) const {
    return bytes_.compare(at, count, other);
  }

  friend bool operator==(const Text&, const Text&) = default;
  friend std::strong_ordering operator<=>(const Text& a, const Text& b) noexcept {
    return a.bytes_.compare(b.bytes_) <=> 0;
  }
  friend Text operator+(Text a, const Text& b) { return a += b, a; }
  friend Text operator+(Text a, char c) { return a += c, a; }
  friend Text operator+(char c, const Text& b) { return Text(1, c) += b; }

 private:
  std::string bytes_;
};

// Prints the bytes as they are (test failure messages).
std::ostream& operator<<(std::ostream& out, const Text& text);

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
// The two crossings between system text and UTF-8. Each refuses the type it
// returns, so a text cannot be converted twice.
Text Utf8ToGbk(std::string_view utf8);
template <std::same_as<Text> T>
Text Utf8ToGbk(const T&) = delete;
std::string GbkToUtf8(std::string_view text);
template <std::same_as<std::string> T>
std::string GbkToUtf8(const T&) = delete;

// Code pages as the original names them; 936 is served by GB18030.
inline constexpr int kCodePageSystem = 936;
inline constexpr int kCodePageUtf8 = 65001;
Bytes TextToWide(std::string_view text, int code_page = kCodePageUtf8);
Text WideToText(const Bytes& utf16le, int code_page = kCodePageSystem);

// Turns a UTF-8 literal in the source into system text once, at first use.
// The returned reference stays valid for the life of the program.
const Text& Gbk(const char8_t* utf8_literal);

}  // namespace korvath

template <>
struct std::hash<korvath::Text> {
  std::size_t operator()(const korvath::Text& text) const noexcept {
    return std::hash<std::string_view>()(text);
  }
};
