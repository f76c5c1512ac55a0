// The simple synchronous HTTP routine: one exchange per call, the raw body back.
// Used for the aria2 RPC calls (HttpRequestWinInet) and the notice request
// (HttpRequestWinInetEx). Never shows a message, never throws.
//
//   Bytes reply = HttpRequestWinInet({.url = u, .method = 1, .post_data = json}).body;
//
// Time limits: 10 s to connect, 30 s for the whole exchange (a caller may ask
// for less or more with timeout_ms). A response body is kept up to
// kMaxResponseBytes; the rest is dropped. A response header block longer than
// 1 MiB ends the exchange with an empty body (100,000 header lines cost no
// more than that).
#pragma once

#include <cstddef>
#include <optional>

#include "util/text.h"

namespace korvath {

inline constexpr std::size_t kMaxResponseBytes = 64u << 20;

struct WinInetParams {
  Text url;                          // "http://..." or "https://..."
  int method = 0;                    // 0 GET, 1 POST, ... 7 CONNECT; others GET
  Text post_data;                    // body when post_bytes is empty
  std::optional<Text> send_cookies;  // supplied (even empty): own cookie handling off, merge on
  Text extra_headers;                // lines joined by CR LF, no trailing CR LF
  bool no_redirect = false;
  Bytes post_bytes;  // body; wins over post_data when non-empty
  Text proxy;        // host:port; empty = direct
  bool auto_merge_cookies = true;
  // HttpRequestWinInetEx only; HttpRequestWinInet ignores them.
  bool complete_headers = true;   // add the default header lines
  bool normalize_headers = true;  // "user-agent:" -> "User-Agent:" first
  // Limit for the whole exchange in ms, connecting included (connecting
  // itself never takes longer than 10 s); 0 or less counts as 1 ms.
  long timeout_ms = 30'000;
  // HttpRequestWinInet over https: "" trusts the system's certificate store;
  // 64 lowercase hex digits trust only the certificate with that SHA-256
  // fingerprint.
  Text certificate_sha256;
};

struct WinInetResult {
  // False when no connection could even be set up (a host that names no
  // server, a URL curl refuses): body is empty and the outputs below were not
  // produced, so a caller keeps whatever it held before. A refused, silent or
  // timed-out exchange is opened: empty or short body, empty headers, and the
  // cookie step still runs.
  bool opened = false;
  Bytes body;             // exactly as received, error statuses included
  Text returned_cookies;  // name=value; ... set by the response (merged when asked)
  Text returned_headers;  // raw block, status line first; empty past 5,000 bytes
  Text sent_headers;      // the completed request header text
  // https only (HttpRequestWinInet): the SHA-256 fingerprint (lowercase hex)
  // of the server's certificate, and whether it was refused.
  Text peer_certificate_sha256;
  bool certificate_refused = false;
};

WinInetResult HttpRequestWinInet(const WinInetParams& params);
// Header names normalised, defaults searched without case, any server
// certificate accepted, Set-Cookie recognised only as an exact line name.
WinInetResult HttpRequestWinInetEx(const WinInetParams& params);

// UTF-8 bytes to system text; characters the code page lacks become its
// default character. Empty bytes give empty text.
Text Utf8BytesToText(const Bytes& utf8);

}  // namespace korvath
