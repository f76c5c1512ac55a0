#include "util/xdg-dirs.h"

#include <cstdlib>

namespace korvath {
namespace {

std::string BaseDir(const char* variable, const char* below_home) {
  const char* value = std::getenv(variable);
  if (value && value[0] == '/') return value;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + below_home;
  return {};
}

}  // namespace

std::string XdgStateHome() { return BaseDir("XDG_STATE_HOME", "/.local/state"); }
std::string XdgDataHome() { return BaseDir("XDG_DATA_HOME", "/.local/share"); }

}  // namespace korvath
