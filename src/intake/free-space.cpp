#include "intake/free-space.h"

#include <sys/statvfs.h>

#include <filesystem>

namespace korvath {

std::optional<std::int64_t> PageFileSize(std::string_view page_text) {
  const std::optional<StatedSize> size = StatedFileSize(page_text);
  if (!size) return std::nullopt;
  return size->bytes;
}

std::optional<std::int64_t> FreeBytes(const std::string& folder) {
  // The folder itself may not exist yet: aria2 makes it with the first task.
  std::filesystem::path probe(folder);
  std::error_code ec;
  while (!probe.empty() && !std::filesystem::exists(probe, ec) && probe.has_parent_path() &&
         probe.parent_path() != probe) {
    probe = probe.parent_path();
  }
  struct statvfs info {};
  if (probe.empty() || ::statvfs(probe.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

}  // namespace korvath
