// Splitting an http:// or https:// URL into host, port and object name the way
// the WinINet-style request routines expect. Pure text work on system text:
// no resolver, no percent-decoding. User names, passwords and IPv6 literals in
// the authority are not supported (a user name is taken for the host).
#pragma once

#include <string_view>

#include "util/text.h"

namespace korvath {

// Host in lower case; with ":port" appended when keep_port and the URL has one.
// A URL without "http://" anywhere is read as if it had it.
Text UrlHost(std::string_view url, bool keep_port = false);

// The port after the last ":" of the host part (a non-numeric port gives 0),
// otherwise 443 for a URL starting "https" (any case), else 80.
int UrlPort(std::string_view url);

// Path, query and fragment from the first "/" after the host, letter case kept;
// "/" when there is none.
Text UrlPath(std::string_view url);

}  // namespace korvath
