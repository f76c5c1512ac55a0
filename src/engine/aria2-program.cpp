// Finding the aria2 program Korvath supplies: the one KORVATH_ARIA2C names, or
// aria2c on PATH.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "engine/aria2-bootstrap.h"

namespace korvath {
namespace {

bool IsExecutableFile(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(path, ignored) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<std::string> FindAria2Program() {
  const char* configured = std::getenv("KORVATH_ARIA2C");
  if (configured && *configured) {
    // The operator named it: no fallback to PATH, so a typo is reported
    // instead of silently running some other aria2.
    if (IsExecutableFile(configured)) return std::string(configured);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = (path && *path) ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    auto colon = dirs.find(':');
    std::string_view dir = dirs.substr(0, colon);
    // An empty PATH entry means the current directory.
    std::string candidate = std::string(dir.empty() ? std::string_view(".") : dir) + "/aria2c";
    if (IsExecutableFile(candidate)) return candidate;
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return std::nullopt;
}

}  // namespace korvath
