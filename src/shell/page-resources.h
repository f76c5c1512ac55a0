// The pages embedded with GResource, read as text and filled in.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace korvath {

// The bytes of the embedded file at `path` (such as
// "/org/korvath/download-manager.html"), or "" when there is none.
std::string ResourceText(const char* path);

// `page` with each {{name}} that `values` holds replaced by its value, in one
// pass: a value is never searched again, so an address holding "{{key}}"
// cannot pull the key into the page. Unknown names stay as they are.
std::string FillPage(std::string_view page, const std::map<std::string, std::string>& values);

}  // namespace korvath
