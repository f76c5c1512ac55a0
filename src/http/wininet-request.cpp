#include "http/wininet-request.h"

#include <algorithm>

#include "http/cookies.h"
#include "http/curl-exchange.h"
#include "http/header-text.h"
#include "http/url.h"

namespace korvath {
namespace {

using http_internal::Exchange;
using http_internal::ExchangeOutcome;
using http_internal::Stage;

// A raw header block is only handed over when it fits the 5,000-byte buffer
// the routine reads it into, terminator included.
constexpr std::size_t kHeaderBuffer = 5000;

constexpr long kConnectTimeoutMs = 10'000;

WinInetResult Run(const WinInetParams& p, bool ex) {
  Text headers = p.extra_headers;
  if (ex && p.normalize_headers) headers = NormalizeHeaderNames(headers);

  const int method = p.method >= 0 && p.method <= 7 ? p.method : 0;
  const bool secure = ToLower(TextLeft(p.url, 8)) == "https://";
  const Text agent = WinInetUserAgent(headers);

  // The connection is named by host and port alone; a host that cannot name
  // a server means no connection handle, so nothing is produced.
  const Text host = UrlHost(p.url);
  // The port is a 16-bit field on the connection; 0 asks for the default.
  auto port = static_cast<std::uint16_t>(UrlPort(p.url));
  if (port == 0) port = secure ? 443 : 80;
  if (!http_internal::UsableHost(host)) return {};

  Exchange x;
  x.url = std::string(secure ? "https://" : "http://") + std::string(host) + ":" + std::to_string(port) +
          // The object name goes out in the caller's own bytes, not converted
          // (curl escapes the high ones on the wire).
          http_internal::EscapeUrlBytes(UrlPath(p.url), false);
  x.method = method;
  if (!p.proxy.empty()) {
    x.proxy = std::string(p.proxy.find("://") == Text::npos ? "http://" + p.proxy : p.proxy);
  }

  if (!ex || p.complete_headers) headers = CompleteWinInetHeaders(headers, p.url, method, ex);
  headers = AppendCookieLine(headers, p.send_cookies.value_or(Text()));

  Bytes body;
  if (method != 0) {
    body = p.post_bytes.empty() ? ToBytes(p.post_data) : p.post_bytes;
    x.send_body = method != 2;
    x.body = &body;
  }

  http_internal::HeaderLinesForWire(headers, x.header_lines);
  // Without a User-Agent line of its own the request announces the session's agent.
  bool has_agent_line = false;
  for (const std::string& line : x.header_lines) {
    if (ToLower(line.substr(0, 11)) == "user-agent:" || ToLower(line.substr(0, 11)) == "user-agent;") {
      has_agent_line = true;
    }
  }
  if (!has_agent_line && !agent.empty()) x.header_lines.push_back(std::string("User-Agent: " + agent));

  x.follow_redirects = !p.no_redirect;
  // Only the Ex variant waives the refusal of an https-to-http redirect.
  x.https_only_redirects = secure && !ex;
  x.verify_peer = !ex;
  if (!ex && secure) {
    x.pinned_certificate_sha256 = p.certificate_sha256;
    x.report_certificate = true;
  }
  // Own cookie handling stays on (within this call) unless cookies were supplied.
  x.cookie_engine = !p.send_cookies.has_value();
  // A limit of 0 or less would mean "no limit" to curl; it is read as the
  // shortest limit there is instead.
  const long total = std::max(1L, p.timeout_ms);
  x.connect_timeout_ms = std::min(kConnectTimeoutMs, total);
  x.total_timeout_ms = total;

  ExchangeOutcome out = http_internal::PerformExchange(x, kMaxResponseBytes);
  if (out.stage < Stage::kSend) return {};

  WinInetResult result;
  result.opened = true;
  result.peer_certificate_sha256 = Text(out.peer_certificate_sha256);
  result.certificate_refused = out.certificate_refused;
  result.sent_headers = headers;
  result.body = std::move(out.body);
  if (out.headers_complete && out.headers.size() < kHeaderBuffer) {
    result.returned_headers = Text(std::move(out.headers));
  }
  if (!ex) result.returned_headers = NormalizeSetCookie(result.returned_headers);
  result.returned_cookies = CollectSetCookies(
      result.returned_headers, ex ? CookieLineRule::kNameIsSetCookie : CookieLineRule::kContainsSetCookie);
  if (p.auto_merge_cookies && p.send_cookies) {
    result.returned_cookies = ex ? MergeCookiesEx(*p.send_cookies, result.returned_cookies)
                                 : MergeCookies(*p.send_cookies, result.returned_cookies);
  }
  return result;
}

}  // namespace

WinInetResult HttpRequestWinInet(const WinInetParams& params) { return Run(params, false); }

WinInetResult HttpRequestWinInetEx(const WinInetParams& params) { return Run(params, true); }

Text Utf8BytesToText(const Bytes& utf8) {
  if (utf8.empty()) return {};
  return Utf8ToGbk(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

}  // namespace korvath
