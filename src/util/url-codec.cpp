// Percent-encoding and decoding of text, optionally through UTF-8.
#include "util/text.h"

namespace korvath {
namespace {

bool IsKeptSafe(unsigned char c) {
  return (c >= 0x2D && c <= 0x39 && c != '/') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The value of a digit position: a position past the end counts as 0, a
// character that is not a hexadecimal digit as -2 (see UrlDecode).
int DigitValue(std::string_view text, std::size_t i) {
  if (i >= text.size()) return 0;
  char c = text[i];
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -2;
}

}  // namespace

Text UrlEncode(std::string_view text, bool keep_safe, bool utf8) {
  if (text.empty()) return "";
  const std::string bytes = utf8 ? GbkToUtf8(text) : std::string(text);
  static constexpr char kHex[] = "0123456789ABCDEF";
  Text out;
  out.reserve(bytes.size() * 3);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (keep_safe && IsKeptSafe(c)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

Text UrlDecode(std::string_view text, bool utf8) {
  std::string out;  // the decoded bytes, UTF-8 when `utf8`
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    const int value = DigitValue(text, i + 1) * 16 + DigitValue(text, i + 2);
    i += 2;
    // Stored into a byte: the low eight bits. Malformed escapes keep the
    // arithmetic of the decoder callers have always seen.
    const auto byte = static_cast<unsigned char>(value & 0xFF);
    if (byte != 0) out.push_back(static_cast<char>(byte));
  }
  return utf8 ? Utf8ToGbk(out) : Text(std::move(out));
}

}  // namespace korvath
