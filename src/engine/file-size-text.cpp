#include "engine/file-size-text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace korvath {

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
  StatedSize size{.bytes = static_cast<std::int64_t>(number * scale * factor),
                  .step = std::max<std::int64_t>(1, std::llround(scale * factor)),
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
  return ParseSizeText(page_text.substr(at + marker.size()));
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
