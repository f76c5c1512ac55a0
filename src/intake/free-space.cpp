#include "intake/free-space.h"

#include <sys/statvfs.h>

#include <cstdio>
#include <filesystem>

namespace korvath {

std::optional<std::int64_t> PageFileSize(std::string_view page_text) {
  const Text marker = Gbk(u8"文件大小：");
  size_t at = page_text.find(marker);
  if (at == std::string_view::npos) return std::nullopt;
  at += marker.size();
  while (at < page_text.size() && page_text[at] == ' ') ++at;
  double number = 0, scale = 1;
  bool digits = false, fraction = false;
  for (; at < page_text.size(); ++at) {
    char c = page_text[at];
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
  number *= scale;
  while (at < page_text.size() && page_text[at] == ' ') ++at;
  const char unit = at < page_text.size() ? static_cast<char>(page_text[at] | 0x20) : 'b';
  const double factor = unit == 'k' ? 1024.0 : unit == 'm' ? 1048576.0 : unit == 'g' ? 1073741824.0
                      : unit == 't' ? 1099511627776.0 : unit == 'b' ? 1.0 : 0.0;
  if (factor == 0.0) return std::nullopt;
  return static_cast<std::int64_t>(number * factor);
}

std::optional<std::int64_t> FreeBytes(const std::string& folder) {
  // The folder itself may not exist yet: aria2 makes it with the first task.
  std::filesystem::path probe(folder);
  std::error_code ec;
  while (!probe.empty() && !std::filesystem::exists(probe, ec) && probe.has_parent_path() &&
         probe.parent_path() != probe) {
    probe = probe.parent_path();
  }
  struct statvfs info{};
  if (probe.empty() || ::statvfs(probe.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
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
