// The pages embedded with GResource, read as text.
#pragma once

#include <string>

namespace korvath {

// The bytes of the embedded file at `path` (such as
// "/org/korvath/download-manager.html"), or "" when there is none.
std::string ResourceText(const char* path);

}  // namespace korvath
