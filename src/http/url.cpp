#include "http/url.h"

namespace korvath {

Text UrlHost(std::string_view url, bool keep_port) {
  Text u = ToLower(url);
  if (u.empty() || u.back() != '/') u += '/';
  Text host;
  if (TextLeft(u, 8) == "https://") {
    host = TextBetween(u, "https://", "/");
  } else {
    if (FindText(u, "http://") < 1) u = "http://" + u;
    host = TextBetween(u, "http://", "/");
  }
  if (!keep_port) {
    const std::int64_t colon = FindText(host, ":");
    if (colon > 0) host = TextLeft(host, colon - 1);
  }
  return host;
}

int UrlPort(std::string_view url) {
  const Text host = UrlHost(url, true);
  const std::int64_t colon = FindTextLast(host, ":");
  if (colon > 0) {
    return static_cast<int>(ToInt(TextRight(host, TextLength(host) - colon)));
  }
  return ToLower(TextLeft(url, 5)) == "https" ? 443 : 80;
}

Text UrlPath(std::string_view url) {
  const Text host = UrlHost(url);
  // The host is looked for past the scheme UrlHost took it after: a short
  // host such as "h" or "tp" also occurs inside "http://" itself, and would
  // make the object name start at the "//".
  const Text lowered = ToLower(url);
  std::int64_t after_scheme = 1;
  if (TextLeft(lowered, 8) == "https://") {
    after_scheme = 9;
  } else if (const std::int64_t scheme = FindText(lowered, "http://"); scheme > 0) {
    after_scheme = scheme + 7;
  }
  // An empty host is found nowhere useful; searching from the start then
  // still lands on the first "/" as the original text routines would.
  std::int64_t from = host.empty() ? 1 : FindText(url, host, after_scheme, true);
  if (from < 1) from = 1;
  const std::int64_t slash = FindText(url, "/", from);
  if (slash > 0) return Text(url.substr(static_cast<std::size_t>(slash - 1)));
  return "/";
}

}  // namespace korvath
