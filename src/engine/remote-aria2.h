// An aria2 on another machine (a NAS, a home server): Korvath only talks to
// it. It is never started, paused or ended from here, so its downloads go on
// while the desktop sleeps or Korvath is closed.
#pragma once

#include <string_view>

#include "engine/engine-state.h"
#include "engine/rpc-client.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

struct RemoteAria2Params {
  std::string rpc_url;  // http://, https://, ws:// or wss://; UTF-8
  std::string rpc_secret;
  std::string certificate_sha256;  // lowercase hex, or "" for the system's store
  Text cookie;                     // as StartAria2 takes it
};

// The address requests are posted to: ws:// and wss:// name the same aria2
// server as http:// and https:// (aria2 serves both on one port).
std::string HttpRpcUrl(std::string_view rpc_url);

// Fills `state` for the remote aria2 (no pid, no port) and asks it for its
// version. False when it cannot be used; the reason has been shown as
// RemoteFailureMessage says. Records "remote_aria2" {url, ok, version}.
bool ConnectRemoteAria2(Desktop& desktop, EngineState& state, const RemoteAria2Params& params);

// What went wrong talking to the remote aria2, in plain words, with what the
// user can do: not reachable, wrong secret, or certificate refused (with the
// fingerprint seen, in the "AB:CD:..." form openssl prints).
Text RemoteFailureMessage(const EngineState& state, const RpcAnswer& answer);

// 64 hex digits as "AB:CD:...".
Text FingerprintForPeople(std::string_view hex);

}  // namespace korvath
