// Showing a folder in the desktop's file manager, or a web address in its
// browser, through xdg-open.
#pragma once

#include <string>

namespace korvath {

// Starts `xdg-open folder` (a folder or a web address) from PATH without
// waiting for it and without a shell (the name may come from a web page);
// its output is dropped.
// True when it could be started.
bool LaunchXdgOpen(const std::string& folder);

}  // namespace korvath
