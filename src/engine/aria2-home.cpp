// The per-user directory aria2's files move to.
#include "engine/aria2-home.h"

#include "util/xdg-dirs.h"

namespace korvath {

std::string UserDataDir() {
  const std::string base = XdgDataHome();
  return base.empty() ? std::string() : base + "/korvath";
}

}  // namespace korvath
