// The full-featured synchronous HTTP routine: one exchange per call with
// credentials, proxy, time-out, cookies, redirect target and charset decoding.
// Failures are reported only as a numbered message in `status`
// ("700 ..." to "713 ..."); it never shows a message and never throws.
//
//   Text reply = HttpRequestWinHttp({.url = u, .method = 1, .post_data = json}).text;
//
// Memory a server can make it keep: the body up to kMaxResponseBytes (64 MiB,
// the rest dropped) and a response header block up to 1 MiB (a longer one
// ends the exchange as unanswered), so a hostile server costs a bounded few
// hundred MiB at most, whatever it sends.
#pragma once

#include <functional>
#include <optional>

#include "util/text.h"

namespace korvath {

struct WinHttpParams {
  Text url;                          // absolute http:// or https:// URL
  int method = 0;                    // 0 GET, 1 POST, ... 7 CONNECT; others GET
  Text post_data;                    // body bytes as they stand; empty = no body
  std::optional<Text> send_cookies;  // supplied: merged into returned_cookies
  Text extra_headers;                // lines joined by CR LF, no trailing CR LF
  bool no_redirect = false;
  Text user_name;  // Basic credentials, used when both are non-empty
  Text password;
  Text proxy;       // host:port; empty = direct
  Text proxy_user;  // proxy Basic credentials, used when both are non-empty
  Text proxy_password;
  int timeout_seconds = 0;  // every phase; 0 or negative = 30
  bool auto_merge_cookies = true;
  // Lets pending window events run while response headers are processed and
  // on the way out; empty = no pumping.
  std::function<void()> pump_messages;
};

// Outputs a call did not reach stay nullopt: "untouched" for a caller that
// copies only the engaged ones into its own variables.
struct WinHttpResult {
  Text text;                             // body as text, charset-decoded, cut at a zero byte
  std::optional<Bytes> response_bytes;   // body exactly as received
  std::optional<Text> returned_headers;  // raw block, status line first
  std::optional<Text> returned_cookies;
  std::optional<Text> location;  // last "Location: " value
  std::optional<Text> status;    // "200 OK", or a numbered failure message
};

WinHttpResult HttpRequestWinHttp(const WinHttpParams& params);

}  // namespace korvath
