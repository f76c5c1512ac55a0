// Talking to aria2: the address every request goes to, sending a body and
// quoting the reply, and the two calls besides task creation. The bodies
// themselves are written by Aria2Request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine-state.h"
#include "platform/desktop.h"
#include "util/text.h"

namespace korvath {

// "http://127.0.0.1:" + rpc_port + "/jsonrpc?tm=" + UnixTimestampText(), or
// for a remote aria2 its address with the same "tm" query added.
Text RpcEndpoint(const EngineState& state);

// 13 digits: seconds since 1970-01-01 08:00:00 (local clock) followed by
// "000"; on a UTC+8 clock this is Unix time in milliseconds.
Text UnixTimestampText();

// The most of an aria2 reply a message box quotes. A box is read by a person;
// a reply of megabytes (up to the transport's body cap) would only freeze it.
inline constexpr std::size_t kMaxQuotedReply = 4096;

// `reply` (system text) as a message box quotes it: whole when it fits
// kMaxQuotedReply, otherwise cut on a character boundary and ended with "……".
Text QuotedReply(std::string_view reply);

// aria2's reply, which is UTF-8, as QuotedReply quotes it in system text.
Text QuotedAria2Reply(std::string_view reply_utf8);

// Why a call got no useful answer.
enum class RpcFailure {
  kNone,
  kUnreachable,         // no answer at all
  kUnauthorized,        // aria2 answered "Unauthorized": the secret is wrong
  kCertificateRefused,  // https: the server's certificate is not trusted
};

struct RpcAnswer {
  std::string reply;  // UTF-8, up to the first zero byte; empty when aria2 did not answer
  RpcFailure failure = RpcFailure::kNone;
  Text certificate_sha256;  // https: the fingerprint of the certificate seen
};

// The longest one call may take. Our own aria2 answers in milliseconds even
// with ten thousand tasks: one that has not answered in seconds is hung, and
// waiting longer only keeps the user waiting. A remote one gets more for the
// network between.
inline constexpr long kLocalCallLimitMs = 5000;
inline constexpr long kRemoteCallLimitMs = 10000;

// While one lives, every call on this thread ends by `deadline_ms`
// (MonotonicMs) at the latest: shut-down has seconds, not minutes, however
// many calls it makes. Scopes nest; the inner one must be the earlier.
class RpcDeadline {
 public:
  explicit RpcDeadline(std::int64_t deadline_ms);
  ~RpcDeadline();
  RpcDeadline(const RpcDeadline&) = delete;
  RpcDeadline& operator=(const RpcDeadline&) = delete;
  // Whether the deadline of the innermost scope on this thread has passed.
  static bool Passed();

 private:
  std::int64_t outer_;
};

// Posts `body` to a fresh RpcEndpoint through HttpRequestWinInet (with the
// state's certificate rule), within the call limit and any RpcDeadline, off
// the window's thread (Desktop::RunAside). Records "rpc" {method, ok, ms}.
RpcAnswer CallRpc(Desktop& desktop, const EngineState& state, std::string_view body);
// CallRpc's reply alone (UTF-8).
std::string SendRpc(Desktop& desktop, const EngineState& state, std::string_view body);

// The options Korvath gives aria2 at start-up and before every task; the
// defaults are its values, and the user's saved choices replace them.
struct GlobalOptions {
  int split = 8;
  int connections_per_server = 8;
  int concurrent_tasks = 3;
  int timeout_seconds = 1;
  Text user_agent = "LogStatistic";
  int connect_timeout_seconds = 1;
  Text min_split_size = "1M";
  bool continue_downloads = true;
  bool auto_file_renaming = false;
  bool follow_torrent = false;
};

// The aria2.changeGlobalOption body for `options` (with the secret).
std::string GlobalOptionsBody(const EngineState& state, const GlobalOptions& options);

// Sends aria2.changeGlobalOption; when aria2 does not answer, retries once
// after 500 ms through HttpRequestWinHttp (a remote aria2: through CallRpc,
// and a failure is shown as RemoteFailureMessage says). True when the reply contains "OK";
// otherwise a NoticeBox has been shown. Records "global_options_accepted" on
// success.
bool SetGlobalOptions(Desktop& desktop, const EngineState& state, const GlobalOptions& options = {});

// Sends the user's other aria2 options (name, value) in one
// aria2.changeGlobalOption; when aria2 refuses them together, each again on
// its own, so one bad value does not cost the others. Nothing is shown.
// Returns the names aria2 refused; all of them when it did not answer.
std::vector<std::string> SetKeptOptions(Desktop& desktop, const EngineState& state,
                                        const std::vector<std::pair<std::string, std::string>>& options);

// Sends aria2.pauseAll; nothing is shown. True when aria2 answered at all
// (whatever it said), which shut-down takes as a sign that it is alive.
bool PauseAll(Desktop& desktop, const EngineState& state);

}  // namespace korvath
