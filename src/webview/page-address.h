// A page's address in the one form the views and their handlers compare:
// the engine normalises what it shows (lower-case scheme and host, no
// default port), and a fragment moves within a page without leaving it.
#pragma once

#include <string>
#include <string_view>

namespace korvath {

// `url` (UTF-8) normalised and without its fragment; `url` without its
// fragment when it cannot be parsed.
std::string PageAddress(std::string_view url);

}  // namespace korvath
