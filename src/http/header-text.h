// The pure text steps of the request routines: completing request header text
// and reading a raw response header block. Kept apart from the transport so
// they can be tested and fuzzed without a network.
#pragma once

#include <optional>
#include <string_view>

#include "util/text.h"

namespace korvath {

// HTTP method number to name: 0 GET, 1 POST, 2 HEAD, 3 PUT, 4 OPTIONS,
// 5 DELETE, 6 TRACE, 7 CONNECT; anything else GET.
const char* HttpMethodName(int method);

// "user-agent: X" -> "User-Agent: X": each "-"-separated piece of a line's
// name gets its first byte upper-cased; lines without ":" are dropped.
Text NormalizeHeaderNames(std::string_view header_text);

// The agent the WinINet-style routines announce: taken from a User-Agent line
// of the header text, else "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)".
Text WinInetUserAgent(std::string_view header_text);

// Adds the missing default lines (Accept, Referer, Accept-Language and, for a
// POST, Content-Type) to WinINet-style header text. `ignore_case` selects the
// Ex variant's case-blind search.
Text CompleteWinInetHeaders(std::string_view header_text, std::string_view url, int method, bool ignore_case);

// Appends the Cookie line for `send_cookies` (unchanged when it already holds
// "Cookie:"); nothing when it is empty.
Text AppendCookieLine(std::string_view header_text, std::string_view send_cookies);

// The WinHTTP-style request header block: extra lines first, then each missing
// default line, every line ending in CR LF.
Text WinHttpHeaderBlock(std::string_view extra_headers, int method, std::string_view send_cookies);

// Which response lines count as cookie lines.
enum class CookieLineRule {
  kContainsSetCookie,  // "Set-Cookie" anywhere, after any-case normalisation
  kNameIsSetCookie,    // the text before the first ": " is exactly "Set-Cookie"
};

// Rewrites "Set-Cookie" written in any letter case as "Set-Cookie".
Text NormalizeSetCookie(std::string_view raw_headers);

// The name=value part of every cookie line of a raw header block, joined by
// "; " (no trailing separator). The block is read as given: callers apply
// NormalizeSetCookie first where their rule wants it.
Text CollectSetCookies(std::string_view raw_headers, CookieLineRule rule);

// Value of the last line starting "Location: " (any case); nullopt when none.
std::optional<Text> LastLocation(std::string_view raw_headers);

// "200 OK" from a block starting "HTTP/1.1 200 OK\r\n": the status line from
// its 10th byte to the first CR LF.
Text StatusTextOf(std::string_view raw_headers);

}  // namespace korvath
