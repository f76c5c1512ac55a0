// A self-signed certificate the user pinned by its SHA-256 fingerprint, made
// acceptable to the web engine too: pages talking to that server over https
// or wss would otherwise be refused by WebKit, which knows nothing of the pin.
#pragma once

#include <string>

namespace korvath {

struct PinnedTrust {
  bool trusted = false;  // the engine now accepts that server's certificate
  std::string seen;      // SHA-256 (lowercase hex) of the certificate presented; "" when none was
  std::string error;     // why no certificate was seen (UTF-8), "" otherwise
};

// Connects to the host and port of `url` (https:// or wss://), and only when
// the certificate it presents has the fingerprint `sha256_hex` (64 lowercase
// hex digits) tells the engine `web_context` (a WebKitWebContext*) to accept
// exactly that certificate for exactly that host. Waits at most timeout_s.
PinnedTrust TrustPinnedCertificate(void* web_context, const std::string& url, const std::string& sha256_hex,
                                   int timeout_s = 5);

}  // namespace korvath
