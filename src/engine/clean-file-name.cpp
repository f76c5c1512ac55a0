#include "engine/clean-file-name.h"

#include "util/shown-text.h"

namespace korvath {
namespace {

// Code point of the UTF-8 sequence at `at` (valid input from GbkToUtf8), and
// its length.
char32_t CodePointAt(std::string_view s, std::size_t at, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(s[at]);
  length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (at + length > s.size()) length = s.size() - at;
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (static_cast<unsigned char>(s[at + i]) & 0x3F);
  return c;
}

bool OnlySpaces(std::string_view utf8) {
  for (std::size_t at = 0, length = 0; at < utf8.size(); at += length) {
    const char32_t c = CodePointAt(utf8, at, length);
    if (c != ' ' && c != '\t' && c != 0xA0 && c != 0x3000) return false;
  }
  return true;
}

}  // namespace

Text CleanFileName(const Text& name) {
  if (name.empty()) return name;
  const std::string utf8 = GbkToUtf8(name);
  std::string kept;
  kept.reserve(utf8.size());
  for (std::size_t at = 0, length = 0; at < utf8.size(); at += length) {
    if (!IsHiddenFormatChar(CodePointAt(utf8, at, length))) kept.append(utf8, at, length);
  }
  const std::size_t dot = kept.rfind('.');
  const std::string_view stem = std::string_view(kept).substr(0, dot);
  if (!OnlySpaces(stem)) return Utf8ToGbk(kept);
  const std::string extension = dot == std::string::npos ? std::string() : kept.substr(dot);
  return Gbk(u8"未命名") + Utf8ToGbk(extension);
}

}  // namespace korvath
