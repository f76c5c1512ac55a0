#include "engine/clean-file-name.h"

#include "util/shown-text.h"

namespace korvath {
namespace {

// Spaces as a name may hold them: ASCII, no-break and ideographic.
bool OnlySpaces(std::string_view utf8) {
  while (!utf8.empty()) {
    if (utf8[0] == ' ' || utf8[0] == '\t') {
      utf8.remove_prefix(1);
    } else if (utf8.starts_with("\xC2\xA0")) {
      utf8.remove_prefix(2);
    } else if (utf8.starts_with("\xE3\x80\x80")) {
      utf8.remove_prefix(3);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

Text CleanFileName(const Text& name) {
  if (name.empty()) return name;
  const std::string kept = WithoutHiddenFormatChars(GbkToUtf8(name));
  const std::size_t dot = kept.rfind('.');
  if (!OnlySpaces(std::string_view(kept).substr(0, dot))) return Utf8ToGbk(kept);
  return Gbk(u8"未命名") + Utf8ToGbk(dot == std::string::npos ? std::string() : kept.substr(dot));
}

}  // namespace korvath
