#include "engine/file-size-text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvath {
namespace {

// A page may state any number: one too large for a byte count is taken as
// the largest there is rather than overflowing the conversion.
std::int64_t SaturatedBytes(double bytes) {
  constexpr double kLimit = 9.2e18;  // just below INT64_MAX, exactly representable
  if (!(bytes < kLimit)) return static_cast<std::int64_t>(kLimit);  // also NaN
  return bytes < 0 ? 0 : static_cast<std::int64_t>(bytes);
}

bool Near(double size, double number, double step) { return std::fabs(size - number) <= step / 2; }

}  // namespace

std::optional<StatedSize> ParseSizeText(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && text[at] == ' ') ++at;
  const size_t begin = at;
  double number = 0, scale = 1;
  bool digits = false, fraction = false;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c >= '0' && c <= '9') {
      digits = true;
      if (fraction) scale /= 10;
      number = number * 10 + (c - '0');
    } else if (c == '.' && !fraction) {
      fraction = true;
    } else {
      break;
    }
  }
  if (!digits) return std::nullopt;
  const size_t number_end = at;
  while (at < text.size() && text[at] == ' ') ++at;
  const char unit = at < text.size() ? static_cast<char>(text[at] | 0x20) : 'b';
  const int power = unit == 'b' ? 0 : unit == 'k' ? 1 : unit == 'm' ? 2 : unit == 'g' ? 3 : unit == 't' ? 4 : -1;
  if (power < 0) return std::nullopt;
  const double factor = std::pow(1024.0, power);
  StatedSize size{.bytes = SaturatedBytes(number * scale * factor),
                  .step = std::max<std::int64_t>(1, SaturatedBytes(std::round(scale * factor))),
                  .power = power,
                  .shown = Text(text.substr(begin, number_end - begin))};
  if (at < text.size()) size.shown += " " + Text(1, static_cast<char>(text[at] & ~0x20)) + (unit == 'b' ? "" : "B");
  else size.shown += " B";
  return size;
}

std::optional<StatedSize> StatedFileSize(std::string_view page_text) {
  const Text marker = Gbk(u8"文件大小：");
  const size_t at = page_text.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  // Pages word sizes in their own ways ("约 2 MB", "≈1.5GB"): a few bytes
  // of words before the number, on the same line, are passed over.
  std::string_view rest = page_text.substr(at + marker.size());
  constexpr std::size_t kMaxWordsBefore = 16;
  std::size_t skip = 0;
  while (skip < rest.size() && skip < kMaxWordsBefore && !(rest[skip] >= '0' && rest[skip] <= '9') &&
         rest[skip] != '\n' && rest[skip] != '\r') {
    ++skip;
  }
  return ParseSizeText(rest.substr(skip));
}

bool StatedSizeAgrees(const StatedSize& stated, std::int64_t bytes) {
  const double size = static_cast<double>(bytes);
  if (Near(size, static_cast<double>(stated.bytes), static_cast<double>(stated.step))) return true;
  // The same digits read with 1000-based units.
  const double decimal = std::pow(1000.0 / 1024.0, stated.power);
  return Near(size, static_cast<double>(stated.bytes) * decimal, static_cast<double>(stated.step) * decimal);
}

Text ByteSizeText(std::int64_t bytes) {
  const char* units[] = {"B", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

}  // namespace korvath
