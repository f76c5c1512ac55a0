// A forward proxy for tests, built on the recording server: absolute-form
// requests are passed on to their loopback origin and the origin's answer is
// returned; CONNECT is refused with 403.
#pragma once

#include <string>

#include "support/recording-server.h"

namespace korvath::testing {

// Installs the forwarding responder on `proxy`.
void MakeForwardProxy(RecordingServer& proxy);

}  // namespace korvath::testing
