// Header text handling on arbitrary bytes: reading a raw response block
// (Set-Cookie normalisation and collection, Location, status) and preparing
// request lines (name normalisation, default completion, the wire filter).
// Besides memory safety: nothing handed to the wire holds a line break, and
// normalised names keep every line that had a colon.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "http/curl-exchange.h"
#include "http/header-text.h"

using namespace korvath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  const std::string raw(reinterpret_cast<const char*>(data), size);

  const Text normal = NormalizeSetCookie(raw);
  if (normal.size() != raw.size()) std::abort();  // same-length rewrite
  (void)CollectSetCookies(normal, CookieLineRule::kContainsSetCookie);
  (void)CollectSetCookies(raw, CookieLineRule::kNameIsSetCookie);
  if (std::optional<Text> location = LastLocation(raw)) {
    if (location->find("\r\n") != Text::npos) std::abort();
  }
  if (StatusTextOf(raw).find("\r\n") != Text::npos) std::abort();

  const Text names = NormalizeHeaderNames(raw);
  if (names.size() > raw.size()) std::abort();
  const Text agent = WinInetUserAgent(names);
  if (agent.find_first_of("\r\n") != Text::npos) std::abort();

  const int method = size > 0 ? data[0] % 10 : 0;
  for (const Text& text : {CompleteWinInetHeaders(names, "http://h/", method, size % 2 == 0),
                           WinHttpHeaderBlock(raw, method, raw.substr(0, size / 3))}) {
    std::vector<std::string> lines;
    http_internal::HeaderLinesForWire(text, lines);
    for (const std::string& line : lines) {
      if (line.empty() || line.find_first_of("\r\n") != std::string::npos) std::abort();
      if (line.find(':') == std::string::npos && line.back() != ';') std::abort();
    }
  }
  return 0;
}
