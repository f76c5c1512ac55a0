#include "http/url.h"

namespace korvath {
namespace {

// 1-based position in a lowered address where its host begins: past a
// leading "https://" or the first "http://", else at the start (an address
// given without a scheme).
std::int64_t HostStart(std::string_view lowered) {
  if (TextLeft(lowered, 8) == "https://") return 9;
  const std::int64_t scheme = FindText(lowered, "http://");
  return scheme > 0 ? scheme + 7 : 1;
}

}  // namespace

Text UrlHost(std::string_view url, bool keep_port) {
  Text u = ToLower(url);
  if (u.empty() || u.back() != '/') u += '/';
  const std::int64_t start = HostStart(u);
  // The "/" added above may be swallowed by a lead byte before it: no host then.
  const std::int64_t end = FindText(u, "/", start);
  Text host =
      end > 0 ? u.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(end - start)) : Text();
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
  // The host is looked for past the scheme: a short host such as "h" or
  // "tp" also occurs inside "http://" itself, and would make the object name
  // start at the "//".
  const std::int64_t after_scheme = HostStart(ToLower(url));
  // An empty host is found nowhere useful; searching from the start then
  // still lands on the first "/" as the original text routines would.
  std::int64_t from = host.empty() ? 1 : FindText(url, host, after_scheme, true);
  if (from < 1) from = 1;
  const std::int64_t slash = FindText(url, "/", from);
  if (slash > 0) return Text(url.substr(static_cast<std::size_t>(slash - 1)));
  return "/";
}

}  // namespace korvath
