#include "shell/install-kind.h"

#include <sys/stat.h>

#include <filesystem>

namespace korvath {

bool RunsFromBuildTree(const std::string& program_dir) {
  std::error_code ec;
  return std::filesystem::is_regular_file(std::filesystem::path(program_dir) / KORVATH_BUILD_TREE_MARKER, ec);
}

std::string Aria2FilesDirectory(const std::string& program_dir, const std::string& user_data_dir) {
  if (RunsFromBuildTree(program_dir) || user_data_dir.empty()) return program_dir;
  // Private to the user like the rest of their data; a failure shows when
  // start-up writes aria2c.exe there, with the path in the message.
  std::error_code ec;
  if (std::filesystem::create_directories(user_data_dir, ec)) ::chmod(user_data_dir.c_str(), 0700);
  return user_data_dir;
}

}  // namespace korvath
