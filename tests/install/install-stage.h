// What the install fixtures made (the installed prefix, the Debian package)
// and running the desktop tools that inspect them.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "harness/korvath-harness.h"

namespace korvath::testing {

inline const std::string kAppId = KORVATH_APP_ID;

inline fs::path StageDir() { return fs::path(BuildDir()) / "tests" / "install"; }
inline fs::path Prefix() { return StageDir() / "prefix"; }
inline fs::path DesktopFile() { return Prefix() / "share/applications" / (kAppId + ".desktop"); }
inline fs::path MetainfoFile() { return Prefix() / "share/metainfo" / (kAppId + ".metainfo.xml"); }
inline fs::path IconFile(const std::string& size, const std::string& ext) {
  return Prefix() / "share/icons/hicolor" / size / "apps" / (kAppId + "." + ext);
}

struct CommandResult {
  int status = -1;     // the exit code; -1 when it could not run or was killed
  std::string output;  // standard output and error together
};

inline CommandResult RunTool(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

inline std::string Quoted(const fs::path& path) {
  std::string quoted = "'";
  for (char c : path.string()) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The value of `key` in the [Desktop Entry] group; nullopt when missing.
inline std::optional<std::string> DesktopValue(const std::string& entry, const std::string& key) {
  std::istringstream lines(entry);
  std::string line;
  bool in_group = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] == '[') in_group = line == "[Desktop Entry]";
    if (in_group && line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return std::nullopt;
}

// The one .deb the package fixture made.
inline std::optional<fs::path> DebianPackage() {
  std::optional<fs::path> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(StageDir() / "package", ec)) {
    if (entry.path().extension() != ".deb") continue;
    if (found) return std::nullopt;
    found = entry.path();
  }
  return found;
}

}  // namespace korvath::testing
