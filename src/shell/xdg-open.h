// Showing a folder in the desktop's file manager through xdg-open.
#pragma once

#include <string>

namespace korvath {

// Starts `xdg-open folder` from PATH without waiting for it and without a
// shell (the folder name may come from a web page); its output is dropped.
// True when it could be started.
bool LaunchXdgOpen(const std::string& folder);

}  // namespace korvath
