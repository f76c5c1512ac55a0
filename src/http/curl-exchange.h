// One HTTP exchange over a fresh libcurl easy handle, shared by the request
// routines. Internal to src/http: the routines decide what goes on the wire,
// this file only drives curl and reports how far the exchange got.
#pragma once

#include <string>
#include <vector>

#include "util/text.h"

namespace korvath::http_internal {

struct Exchange {
  std::string url;         // as curl should fetch it, userinfo-free
  int method = 0;          // method number, already in 0..7
  bool send_body = false;  // body (possibly empty) travels with the request
  const Bytes* body = nullptr;
  std::vector<std::string> header_lines;  // in wire order, each "Name: value"
  std::string proxy;                      // curl proxy string; empty = direct
  bool follow_redirects = true;
  bool https_only_redirects = false;  // an https exchange may not be redirected to http
  bool verify_peer = true;
  // With verify_peer: "" lets the system's certificate store decide; 64
  // lowercase hex digits accept only the server certificate with that SHA-256
  // fingerprint, whoever signed it and whatever host it names (a self-signed
  // server the user pinned). Either way the fingerprint seen is reported.
  std::string pinned_certificate_sha256;
  bool report_certificate = false;  // fill peer_certificate_sha256 without pinning
  bool cookie_engine = false;       // carry cookies set during redirects within the call
  long connect_timeout_ms = 0;
  long total_timeout_ms = 0;        // 0 = none
  long stall_seconds = 0;           // abort when nothing arrives for this long; 0 = never
  std::string user_name, password;  // Basic, preemptive; empty = none
  std::string proxy_user, proxy_password;
};

// How far an exchange got. The set-up stages mirror the steps of a request
// routine so that each can report its own failure.
enum class Stage {
  kInit,           // no handle
  kProxy,          // proxy option refused
  kConnectTarget,  // URL option refused
  kRequest,        // method or body options refused
  kTimeouts,
  kCredentials,
  kCookies,
  kRedirects,
  kHeaders,   // header list could not be built
  kSend,      // nothing reached the server: resolve, connect, TLS, proxy, send
  kResponse,  // request sent, no complete response header block
  kRead,      // headers complete, body cut short (error, time-out, size cap)
  kDone,
};

struct ExchangeOutcome {
  Stage stage = Stage::kInit;
  Bytes body;
  std::string headers;            // raw block of the final response, status line first, CR LF line ends
  bool headers_complete = false;  // the blank line ending the block arrived
  int curl_code = 0;
  std::string peer_certificate_sha256;  // lowercase hex, when asked for and TLS got that far
  bool certificate_refused = false;     // the TLS handshake failed on the server's certificate
};

// Largest raw header block kept; a longer one aborts the exchange.
inline constexpr std::size_t kMaxHeaderBlock = 1u << 20;

ExchangeOutcome PerformExchange(const Exchange& exchange, std::size_t body_cap);

// Splits CR LF separated header text into the lines to send. Empty lines are
// skipped; a line with an empty value is kept (curl would otherwise read it as
// "remove this header"). Returns false when a line cannot be sent as a header
// (no ":", empty name, a name with blanks or controls, a bare CR or LF inside);
// such lines are left out.
bool HeaderLinesForWire(std::string_view header_text, std::vector<std::string>& lines);

// Percent-encodes the bytes curl will not take in a URL (controls, blank,
// DEL) and, when `escape_high`, bytes >= 0x80; everything else stays.
std::string EscapeUrlBytes(std::string_view text, bool escape_high);

// Whether a host taken from a URL can name a server at all.
bool UsableHost(std::string_view host);

}  // namespace korvath::http_internal
