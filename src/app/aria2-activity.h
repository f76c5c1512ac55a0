// What aria2 is doing, told as it happens instead of asked over and over:
// aria2's own notifications over its WebSocket (a download started, paused,
// stopped, completed, failed) and its counts (aria2.getGlobalStat), asked
// every few seconds over the same connection. An answer that does not come
// in time is a sign that aria2 hangs. Other questions go over the same
// connection (over HTTP while there is none) and are answered by callback.
// Everything runs in the main loop; no call waits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/engine-state.h"
#include "platform/event-log.h"

namespace korvath {

// aria2.getGlobalStat's counts of tasks.
struct Aria2Counts {
  std::int64_t active = 0;
  std::int64_t waiting = 0;  // paused ones included
  std::int64_t stopped = 0;
  std::int64_t stopped_total = 0;  // grows by one whenever a task stops
  bool operator==(const Aria2Counts&) const = default;
};

struct Aria2ActivityHandlers {
  // A notification: its method ("aria2.onDownloadComplete", …) and gid.
  std::function<void(std::string_view method, std::string_view gid)> notified;
  // Every answer to the counts question.
  std::function<void(const Aria2Counts&)> counted;
  // The counts question went unanswered for a whole interval, or aria2
  // could not be reached at all; `misses` in a row so far.
  std::function<void(int misses)> unanswered;
};

struct Aria2ActivityTiming {
  int ask_every_ms = 2000;
  int reconnect_after_ms = 1000;
  // A question of Ask left unanswered this long is given up.
  int answer_within_ms = 10000;
};

// aria2's whole reply to a question (UTF-8 JSON), or nothing when none came
// in time or the connection it went over was lost.
using Aria2Answer = std::function<void(std::optional<std::string> reply)>;

class Aria2Activity {
 public:
  Aria2Activity(EventLog& log, Aria2ActivityHandlers handlers, Aria2ActivityTiming timing = {});
  ~Aria2Activity();
  Aria2Activity(const Aria2Activity&) = delete;
  Aria2Activity& operator=(const Aria2Activity&) = delete;

  // Follows the aria2 of `engine` from now on (again, after a restart: the
  // old connection is dropped). An https address is reached over wss, with
  // the engine's pinned certificate when it has one.
  void Follow(const EngineState& engine);
  // Whether aria2's notifications arrive: while they do not, whoever relies
  // on them must ask aria2 itself as before.
  bool streaming() const;

  // Sends `body`, a JSON-RPC request whose id is replaced by one of its own,
  // over the WebSocket, or while there is none as an HTTP request to the
  // same aria2 with the same trust. `done` is called once, later, from the
  // main loop, with the reply or with nothing after answer_within_ms; never
  // after Follow replaced the connection or the activity ended.
  void Ask(const std::string& body, Aria2Answer done);

 private:
  class Connection;
  EventLog& log_;
  Aria2ActivityHandlers handlers_;
  Aria2ActivityTiming timing_;
  std::unique_ptr<Connection> connection_;
};

// The WebSocket address of the aria2 at `engine`: ws://127.0.0.1:<port>/jsonrpc
// for ours, the remote address with ws or wss for http or https.
std::string Aria2SocketUrl(const EngineState& engine);

}  // namespace korvath
