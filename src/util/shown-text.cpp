#include "util/shown-text.h"

namespace korvath {
namespace {

struct Decoded {
  char32_t c;         // for an invalid byte: the byte, with valid false
  std::size_t bytes;  // at least 1
  bool valid;
};

Decoded DecodeAt(std::string_view s, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1, true};
  const std::size_t length = lead >= 0xF0 && lead <= 0xF4  ? 4
                             : lead >= 0xE0 && lead < 0xF0 ? 3
                             : lead >= 0xC2 && lead < 0xE0 ? 2
                                                           : 0;
  if (length == 0 || at + length > s.size()) return {lead, 1, false};
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return {lead, 1, false};
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  // Overlong forms and surrogates are no characters either.
  const bool overlong = (length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF));
  if (overlong || (c >= 0xD800 && c <= 0xDFFF)) return {lead, 1, false};
  return {c, length, true};
}

// What stands for a byte that is no UTF-8: kept, it could join with the
// bytes around a removed character into one of the characters removed.
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool BreaksLine(char32_t c) {
  return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

}  // namespace

bool IsHiddenFormatChar(char32_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || (c >= 0x200B && c <= 0x200D) || c == 0x2060 || c == 0xFEFF;
}

std::string WithoutHiddenFormatChars(std::string_view utf8) {
  std::string kept;
  kept.reserve(utf8.size());
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded d = DecodeAt(utf8, at);
    if (!d.valid) {
      kept += kReplacement;
    } else if (!IsHiddenFormatChar(d.c)) {
      kept += utf8.substr(at, d.bytes);
    }
    at += d.bytes;
  }
  return kept;
}

std::string OneLineUtf8(std::string_view utf8, std::size_t max_chars) {
  std::string out;
  std::size_t chars = 0;
  bool space_pending = false;
  for (std::size_t at = 0; at < utf8.size();) {
    const Decoded d = DecodeAt(utf8, at);
    const std::string_view piece = d.valid ? utf8.substr(at, d.bytes) : kReplacement;
    at += d.bytes;
    if (d.valid && IsHiddenFormatChar(d.c)) continue;
    if (d.valid && BreaksLine(d.c)) {
      space_pending = !out.empty();
      continue;
    }
    const std::size_t needed = space_pending ? 2 : 1;
    if (chars + needed > max_chars) return out + reinterpret_cast<const char*>(u8"……");
    if (space_pending) out += ' ';
    space_pending = false;
    out += piece;
    chars += needed;
  }
  return out;
}

Text OneLineText(std::string_view system_text, std::size_t max_chars) {
  return Utf8ToGbk(OneLineUtf8(GbkToUtf8(system_text), max_chars));
}

}  // namespace korvath
