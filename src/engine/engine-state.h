// The process-wide values the aria2 engine needs, created by the shell at
// program start and passed explicitly to every engine call. Only StartAria2
// writes them; everything else reads.
#pragma once

#include <string>

#include "util/text.h"

namespace korvath {

struct EngineState {
  // "Cookie: " + the cookie text given to StartAria2; every task carries it.
  Text cookie_header;
  // aria2's RPC port, "6800" once StartAria2 ran.
  std::string rpc_port;
  // Random secret (32 hex digits) made at every start and handed to aria2 as
  // --rpc-secret; every request sends it as "token:<secret>". Without it any
  // web page could drive aria2 through 127.0.0.1.
  std::string rpc_secret;
  // Process id of the running aria2, 0 when none is known.
  int aria2_pid = 0;
  // Empty: our own aria2 on 127.0.0.1:rpc_port. Otherwise the http(s)
  // address of an aria2 on another machine (see remote-aria2.h), which
  // Korvath neither starts nor pauses nor ends; rpc_secret is then its secret.
  // UTF-8, as the user wrote it in the settings.
  std::string rpc_url;
  // Only for an https rpc_url: "" trusts the system's certificate store, 64
  // lowercase hex digits trust only the certificate with that SHA-256.
  std::string certificate_sha256;

  bool Remote() const { return !rpc_url.empty(); }
};

}  // namespace korvath
