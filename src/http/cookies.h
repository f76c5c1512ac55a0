// Folding the cookies a response set into the cookies that were sent.
// A cookie string is name=value entries joined by "; ". The result lists the
// new cookies first, in the order the response set them, then the old ones the
// response did not set; entries ending in "=deleted" are dropped and exact
// duplicates removed.
#pragma once

#include <string_view>

#include "util/text.h"

namespace korvath {

// Blanks are removed everywhere in both inputs and entries are split at ";".
// Names compare case-sensitively.
Text MergeCookies(std::string_view old_cookies, std::string_view new_cookies);

// Inputs are only trimmed at both ends and entries are split at "; ", so
// "a=1;b=2" stays one entry named "a".
Text MergeCookiesEx(std::string_view old_cookies, std::string_view new_cookies);

}  // namespace korvath
