// The process-wide values the aria2 engine needs, created by the shell at
// program start and passed explicitly to every engine call. Only StartAria2
// writes them; everything else reads.
#pragma once

#include "util/text.h"

namespace korvath {

struct EngineState {
  // "Cookie: " + the cookie text given to StartAria2; every task carries it.
  Text cookie_header;
  // aria2's RPC port, "6800" once StartAria2 ran.
  Text rpc_port;
  // Random secret (32 hex digits) made at every start and handed to aria2 as
  // --rpc-secret; every request sends it as "token:<secret>". Without it any
  // web page could drive aria2 through 127.0.0.1.
  Text rpc_secret;
  // Process id of the running aria2, 0 when none is known.
  int aria2_pid = 0;
};

}  // namespace korvath
