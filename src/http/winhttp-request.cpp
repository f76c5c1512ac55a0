#include "http/winhttp-request.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>

#include "http/charset-decode.h"
#include "http/cookies.h"
#include "http/curl-exchange.h"
#include "http/header-text.h"
#include "http/wininet-request.h"

namespace korvath {
namespace {

using http_internal::Exchange;
using http_internal::ExchangeOutcome;
using http_internal::Stage;

// Where each numbered failure is raised. The routine keeps the numbering of
// its original WinHTTP steps; each number is assigned at the libcurl stage
// that does the same job:
//
//   700  no HTTP support         libcurl built without the http protocol
//   701  URL not understood      curl_url_set(CURLUPART_URL) refuses the URL,
//                                the scheme is not http/https, or no host
//   702  session                 curl_easy_init fails, or CURLOPT_PROXY refused
//   703  connection target       CURLOPT_URL (host and port) refused
//   704  request                 method/body options refused
//   705  time-outs               CURLOPT_CONNECTTIMEOUT_MS / LOW_SPEED_* refused
//   707  credentials             CURLOPT_USERNAME/PASSWORD or PROXYUSERNAME/
//                                PROXYPASSWORD refused (server or proxy)
//   708  cookie option           CURLOPT_COOKIEFILE refused
//   709  redirect option         CURLOPT_FOLLOWLOCATION / MAXREDIRS refused
//   710  request headers         a header line that cannot be sent (no ":",
//                                empty or blank-holding name, bare CR or LF),
//                                or the header list cannot be built
//   711  send                    curl_easy_perform ends before the request
//                                went out: resolve, connect, TLS handshake,
//                                proxy, send error, connect time-out
//   712  no response             the request went out but no complete header
//                                block came back: server closed, time-out
//                                while waiting, garbage reply, redirect loop
//                                or refused redirect
//   713  read                    the header block arrived but the body was
//                                cut short (error, stall, size cap); the body
//                                read so far is kept and the status line
//                                replaces this message
const Text& Message(int number) {
  switch (number) {
    case 700:
      return Gbk(u8"700 当前系统不支持WinHttp服务!");
    case 701:
      return Gbk(u8"701 解析URL地址失败!");
    case 702:
      return Gbk(u8"702 创建WinHttp会话失败!");
    case 703:
      return Gbk(u8"703 创建WinHttp连接失败!");
    case 704:
      return Gbk(u8"704 创建WinHttp请求失败!");
    case 705:
      return Gbk(u8"705 设置超时时间失败!");
    case 707:
      return Gbk(u8"707 设置代理凭证失败!");
    case 708:
      return Gbk(u8"708 禁止自动设置Cookies失败!");
    case 709:
      return Gbk(u8"709 重定向设置失败!");
    case 710:
      return Gbk(u8"710 设置协议头失败!");
    case 711:
      return Gbk(u8"711 发送请求失败!");
    case 712:
      return Gbk(u8"712 服务器未响应!");
    default:
      return Gbk(u8"713 读取数据失败!");
  }
}

int NumberFor(Stage stage) {
  switch (stage) {
    case Stage::kInit:
    case Stage::kProxy:
      return 702;
    case Stage::kConnectTarget:
      return 703;
    case Stage::kRequest:
      return 704;
    case Stage::kTimeouts:
      return 705;
    case Stage::kCredentials:
      return 707;
    case Stage::kCookies:
      return 708;
    case Stage::kRedirects:
      return 709;
    case Stage::kHeaders:
      return 710;
    case Stage::kSend:
      return 711;
    case Stage::kResponse:
      return 712;
    default:
      return 713;
  }
}

bool HttpSupported() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  if (!info || !info->protocols) return false;
  for (const char* const* p = info->protocols; *p; ++p) {
    if (std::strcmp(*p, "http") == 0) return true;
  }
  return false;
}

struct Target {
  std::string url;  // scheme://host:port/object, ready for curl
  bool secure = false;
};

std::string UrlPart(CURLU* u, CURLUPart part, unsigned flags = 0) {
  char* value = nullptr;
  std::string out;
  if (curl_url_get(u, part, &value, flags) == CURLUE_OK && value) out = value;
  curl_free(value);
  return out;
}

// Splits the URL the way the platform's URL cracker does: an empty path is
// requested as "/" and then its query is not sent; user name and password
// are not used.
std::optional<Target> CrackUrl(std::string_view url) {
  // The text is system text; on the wire a URL carries UTF-8, escaped.
  const std::string escaped = http_internal::EscapeUrlBytes(GbkToUtf8(url), true);
  CURLU* u = curl_url();
  if (!u) return std::nullopt;
  std::optional<Target> target;
  if (curl_url_set(u, CURLUPART_URL, escaped.c_str(), CURLU_PATH_AS_IS) == CURLUE_OK) {
    const std::string scheme = UrlPart(u, CURLUPART_SCHEME);
    const std::string host = UrlPart(u, CURLUPART_HOST);
    const std::string port = UrlPart(u, CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if ((scheme == "http" || scheme == "https") && !host.empty() && !port.empty()) {
      const auto authority = escaped.find("://") + 3;
      const auto end = escaped.find_first_of("/?#", authority);
      const bool empty_path = end == std::string::npos || escaped[end] != '/';
      std::string object = "/";
      if (!empty_path) {
        object = UrlPart(u, CURLUPART_PATH);
        const std::string query = UrlPart(u, CURLUPART_QUERY);
        if (escaped.find('?', end) != std::string::npos && escaped.find('?', end) < escaped.find('#', end)) {
          object += "?" + query;
        }
      }
      target = Target{scheme + "://" + host + ":" + port + object, scheme == "https"};
    }
  }
  curl_url_cleanup(u);
  return target;
}

}  // namespace

WinHttpResult HttpRequestWinHttp(const WinHttpParams& p) {
  WinHttpResult result;
  auto fail = [&result](int number) {
    result.status = Message(number);
    result.text.clear();
    return result;
  };
  auto pump = [&p] {
    if (p.pump_messages) p.pump_messages();
  };

  if (!HttpSupported()) return fail(700);
  const std::optional<Target> target = CrackUrl(p.url);
  if (!target) return fail(701);

  Exchange x;
  x.url = target->url;
  x.method = p.method >= 0 && p.method <= 7 ? p.method : 0;
  if (!p.proxy.empty()) {
    x.proxy = p.proxy.find("://") == Text::npos ? "http://" + p.proxy : p.proxy;
  }

  const long long t = p.timeout_seconds > 0 ? std::min<long long>(p.timeout_seconds, 86'400) * 1000 : 30'000;
  x.connect_timeout_ms = static_cast<long>(t);
  x.stall_seconds = static_cast<long>(std::max<long long>(1, t / 1000));

  if (!p.user_name.empty() && !p.password.empty()) {
    x.user_name = p.user_name;
    x.password = p.password;
  }
  if (!p.proxy_user.empty() && !p.proxy_password.empty()) {
    x.proxy_user = p.proxy_user;
    x.proxy_password = p.proxy_password;
  }
  // Supplied cookies leave the transport's own cookie handling on; otherwise
  // it neither stores nor sends anything of its own.
  x.cookie_engine = p.send_cookies.has_value();
  x.follow_redirects = !p.no_redirect;
  x.https_only_redirects = target->secure;

  const Text block = WinHttpHeaderBlock(p.extra_headers, p.method, p.send_cookies.value_or(Text()));
  if (!http_internal::HeaderLinesForWire(block, x.header_lines)) return fail(710);

  const Bytes body = ToBytes(p.post_data);
  x.body = &body;
  x.send_body = !body.empty() || x.method == 1 || x.method == 3;

  ExchangeOutcome out = http_internal::PerformExchange(x, kMaxResponseBytes);
  if (out.stage < Stage::kRead) return fail(NumberFor(out.stage));
  if (out.stage == Stage::kRead) result.status = Message(713);

  if (out.headers.empty() || !out.headers_complete) return result;

  Text headers = NormalizeSetCookie(out.headers);
  result.status = StatusTextOf(headers);
  result.returned_cookies = CollectSetCookies(headers, CookieLineRule::kContainsSetCookie);
  for (std::size_t at = headers.find("\r\n"); at != Text::npos; at = headers.find("\r\n", at + 2)) pump();
  if (std::optional<Text> location = LastLocation(headers)) result.location = std::move(location);
  if (p.auto_merge_cookies && p.send_cookies) {
    result.returned_cookies = MergeCookies(*p.send_cookies, *result.returned_cookies);
  }
  result.returned_headers = std::move(headers);

  result.text = ToText(out.body);
  const Text charset = DeclaredCharset(result.text);
  if (!charset.empty() && charset != "gbk" && charset != "gb2312") {
    if (std::optional<Text> decoded = DecodeCharset(out.body, charset)) result.text = std::move(*decoded);
  }
  result.response_bytes = std::move(out.body);
  pump();
  for (int i = 0; i < 3; ++i) pump();
  return result;
}

}  // namespace korvath
