#include "app/aria2-activity.h"

#include <libsoup/soup.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/aria2-request.h"
#include "engine/remote-aria2.h"
#include "engine/rpc-client.h"

namespace korvath {
namespace {

using json = nlohmann::json;

// The counts question's id; notifications carry none.
constexpr const char* kCountsId = "korvath-counts";
// The ids of Ask's questions begin so.
constexpr std::string_view kAskIdPrefix = "korvath-ask-";
constexpr unsigned kHandshakeSeconds = 5;
// libsoup's default of 128 KiB closes the connection on the first page of a
// long task list.
constexpr guint64 kLargestReply = guint64{256} << 20;

std::int64_t CountOf(const json& result, const char* key) {
  const auto it = result.find(key);
  if (it == result.end() || !it->is_string()) return 0;
  try {
    return std::stoll(it->get<std::string>());
  } catch (...) {
    return 0;
  }
}

std::string CertificateSha256(GTlsCertificate* certificate) {
  GByteArray* der = nullptr;
  g_object_get(certificate, "certificate", &der, nullptr);
  if (!der) return {};
  gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, der->data, der->len);
  std::string out = hex ? hex : "";
  g_free(hex);
  g_byte_array_unref(der);
  return out;
}

}  // namespace

std::string Aria2SocketUrl(const EngineState& engine) {
  if (!engine.Remote()) return "ws://127.0.0.1:" + engine.rpc_port + "/jsonrpc";
  std::string url = HttpRpcUrl(engine.rpc_url);
  if (url.starts_with("https://")) return "wss://" + url.substr(8);
  if (url.starts_with("http://")) return "ws://" + url.substr(7);
  return url;
}

// One connection to one aria2. Replaced whole when aria2 is: a late reply
// or notification of the old one then never reaches the handlers.
class Aria2Activity::Connection {
 public:
  Connection(EventLog& log, const Aria2ActivityHandlers& handlers, Aria2ActivityTiming timing,
             EngineState engine)
      : log_(log), handlers_(handlers), timing_(timing), engine_(std::move(engine)) {
    // Its own id tells its answer from any other message.
    json question = json::parse(Aria2Request(aria2_method::kGetGlobalStat, engine_.rpc_secret).Body());
    question["id"] = kCountsId;
    counts_question_ = question.dump();
    // Without a limit, a handshake with a stopped aria2 would wait for ever.
    session_ = soup_session_new_with_options("timeout", kHandshakeSeconds, nullptr);
    cancellable_ = g_cancellable_new();
    Connect();
    ticker_ = g_timeout_add(static_cast<unsigned>(timing_.ask_every_ms), &Connection::OnTick, this);
  }

  ~Connection() {
    // Questions still open are dropped unanswered: their askers are told
    // of the new connection by the one who replaced this.
    pending_.clear();
    if (ticker_) g_source_remove(ticker_);
    if (retry_) g_source_remove(retry_);
    g_cancellable_cancel(cancellable_);
    DropSocket();
    g_object_unref(cancellable_);
    g_object_unref(session_);
  }

  bool streaming() const { return socket_ != nullptr; }

  void Ask(const std::string& body, Aria2Answer done) {
    json request = json::parse(body, nullptr, false);
    const std::string id = std::string(kAskIdPrefix) + std::to_string(++asked_);
    // A question that cannot be sent is given up at the next tick like an
    // unanswered one: the asker always hears back later, never inside Ask.
    Pending& pending = pending_[id];
    pending.done = std::move(done);
    pending.asked_ms = MonotonicMs();
    pending.deadline_ms = pending.asked_ms + timing_.answer_within_ms;
    if (!request.is_object()) {
      pending.deadline_ms = 0;
      return;
    }
    pending.method = request.value("method", "");
    // A multicall is named by what it asks.
    if (const auto params = request.find("params"); pending.method == "system.multicall" &&
                                                    params != request.end() && params->is_array() &&
                                                    !params->empty() && (*params)[0].is_array()) {
      const json& calls = (*params)[0];
      pending.calls = static_cast<std::int64_t>(calls.size());
      if (!calls.empty() && calls[0].is_object())
        pending.method = calls[0].value("methodName", pending.method);
    }
    request["id"] = id;
    const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
    if (socket_) {
      pending.over_socket = true;
      soup_websocket_connection_send_text(socket_, text.c_str());
      return;
    }
    Post(id, text);
  }

 private:
  struct Pending {
    Aria2Answer done;
    std::int64_t asked_ms = 0;
    std::int64_t deadline_ms = 0;
    bool over_socket = false;
    std::string method;
    std::int64_t calls = 1;
  };

  void Told(const Pending& pending, bool answered) {
    log_.Record("aria2_question", {{"method", pending.method},
                                   {"calls", pending.calls},
                                   {"ok", answered},
                                   {"socket", pending.over_socket},
                                   {"ms", MonotonicMs() - pending.asked_ms}});
  }
  struct HttpQuestion {
    Connection* self;
    std::string id;
  };

  void Trust(SoupMessage* message) {
    if (engine_.certificate_sha256.empty()) return;
    // The same trust as every call to this aria2: its pinned certificate
    // and no other, whoever signed it.
    g_signal_connect(
        message, "accept-certificate",
        G_CALLBACK(+[](SoupMessage*, GTlsCertificate* peer, GTlsCertificateFlags, gpointer self) {
          return static_cast<gboolean>(CertificateSha256(peer) ==
                                       static_cast<Connection*>(self)->engine_.certificate_sha256);
        }),
        this);
  }

  // Without a WebSocket, aria2's HTTP interface answers the same questions;
  // the session's time limit ends a request aria2 leaves hanging.
  void Post(const std::string& id, const std::string& text) {
    const std::string url(std::string_view(RpcEndpoint(engine_)));
    SoupMessage* message = soup_message_new(SOUP_METHOD_POST, url.c_str());
    if (!message) return;  // given up at its deadline
    Trust(message);
    GBytes* bytes = g_bytes_new(text.data(), text.size());
    soup_message_set_request_body_from_bytes(message, "application/json", bytes);
    g_bytes_unref(bytes);
    soup_session_send_and_read_async(session_, message, G_PRIORITY_DEFAULT, cancellable_,
                                     &Connection::OnPosted, new HttpQuestion{this, id});
    g_object_unref(message);
  }

  static void OnPosted(GObject* source, GAsyncResult* result, gpointer data) {
    auto* question = static_cast<HttpQuestion*>(data);
    GError* error = nullptr;
    GBytes* bytes = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &error);
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    if (error) g_error_free(error);
    std::optional<std::string> reply;
    if (bytes) {
      gsize size = 0;
      const char* data_bytes = static_cast<const char*>(g_bytes_get_data(bytes, &size));
      reply = std::string(data_bytes ? data_bytes : "", size);
      g_bytes_unref(bytes);
    }
    // Cancelled: the connection is gone, and `self` with it.
    if (!cancelled) question->self->Answer(question->id, std::move(reply));
    delete question;
  }

  void Answer(const std::string& id, std::optional<std::string> reply) {
    const auto it = pending_.find(id);
    if (it == pending_.end()) return;  // given up already
    Told(it->second, reply.has_value());
    Aria2Answer done = std::move(it->second.done);
    pending_.erase(it);
    if (done) done(std::move(reply));
  }

  // Gives up the questions that match `lost` (out of time, or sent over a
  // socket that closed). Taken out first: an asker may ask again at once.
  template <typename Lost>
  void GiveUp(Lost lost) {
    std::vector<Aria2Answer> given_up;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (lost(it->second)) {
        Told(it->second, false);
        given_up.push_back(std::move(it->second.done));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
    for (Aria2Answer& done : given_up)
      if (done) done(std::nullopt);
  }

  void Connect() {
    const std::string url = Aria2SocketUrl(engine_);
    SoupMessage* message = soup_message_new(SOUP_METHOD_GET, url.c_str());
    if (!message) {
      log_.Record("aria2_events", {{"state", std::string("bad_address")}});
      return;
    }
    Trust(message);
    soup_session_websocket_connect_async(session_, message, nullptr, nullptr, G_PRIORITY_DEFAULT,
                                         cancellable_, &Connection::OnConnected, this);
    g_object_unref(message);
  }

  static void OnConnected(GObject* source, GAsyncResult* result, gpointer data) {
    GError* error = nullptr;
    SoupWebsocketConnection* socket =
        soup_session_websocket_connect_finish(SOUP_SESSION(source), result, &error);
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
      // `data` may be gone: the connection was dropped while this was under way.
      g_error_free(error);
      return;
    }
    auto* self = static_cast<Connection*>(data);
    if (!socket) {
      self->Unreachable(error ? error->message : "");
      if (error) g_error_free(error);
      return;
    }
    self->socket_ = socket;
    soup_websocket_connection_set_max_incoming_payload_size(socket, kLargestReply);
    g_signal_connect(socket, "message", G_CALLBACK(&Connection::OnMessage), self);
    g_signal_connect(socket, "closed", G_CALLBACK(&Connection::OnClosed), self);
    self->log_.Record("aria2_events", {{"state", std::string("streaming")}});
    self->AskCounts();
  }

  void Unreachable(const char* why) {
    // Told once per outage, not at every try.
    if (!told_unreachable_)
      log_.Record("aria2_events", {{"state", std::string("unreachable")}, {"why", std::string(why)}});
    told_unreachable_ = true;
    if (!retry_) {
      retry_ = g_timeout_add(
          static_cast<unsigned>(timing_.reconnect_after_ms),
          +[](gpointer data) -> gboolean {
            auto* self = static_cast<Connection*>(data);
            self->retry_ = 0;
            self->Connect();
            return G_SOURCE_REMOVE;
          },
          this);
    }
  }

  static void OnClosed(SoupWebsocketConnection*, gpointer data) {
    auto* self = static_cast<Connection*>(data);
    self->DropSocket();
    self->log_.Record("aria2_events", {{"state", std::string("closed")}});
    self->told_unreachable_ = false;
    self->Unreachable("closed");
    // No reply comes over a closed socket.
    self->GiveUp([](const Pending& p) { return p.over_socket; });
  }

  void DropSocket() {
    if (!socket_) return;
    g_signal_handlers_disconnect_by_data(socket_, this);
    if (soup_websocket_connection_get_state(socket_) == SOUP_WEBSOCKET_STATE_OPEN)
      soup_websocket_connection_close(socket_, SOUP_WEBSOCKET_CLOSE_NORMAL, nullptr);
    g_object_unref(socket_);
    socket_ = nullptr;
    waiting_ = false;
  }

  static gboolean OnTick(gpointer data) {
    auto* self = static_cast<Connection*>(data);
    // A handshake that takes a whole interval, or no connection at all, is
    // as telling as a question left unanswered.
    if (!self->socket_ || self->waiting_) self->Missed();
    self->AskCounts();
    const std::int64_t now = MonotonicMs();
    self->GiveUp([now](const Pending& p) { return p.deadline_ms <= now; });
    return G_SOURCE_CONTINUE;
  }

  void Missed() {
    // Logged once per silence: an aria2 away for a day is not a line every two seconds.
    if (++misses_ == 1) log_.Record("aria2_unanswered");
    if (handlers_.unanswered) handlers_.unanswered(misses_);
  }

  void AskCounts() {
    if (!socket_) return;
    // The question goes out again each interval; the answer to any of them
    // shows that aria2 is alive.
    waiting_ = true;
    soup_websocket_connection_send_text(socket_, counts_question_.c_str());
  }

  static void OnMessage(SoupWebsocketConnection*, gint type, GBytes* message, gpointer data) {
    if (type != SOUP_WEBSOCKET_DATA_TEXT) return;
    auto* self = static_cast<Connection*>(data);
    gsize size = 0;
    const char* bytes = static_cast<const char*>(g_bytes_get_data(message, &size));
    const json reply = json::parse(bytes, bytes + size, nullptr, false);
    if (!reply.is_object()) return;
    if (const auto method = reply.find("method"); method != reply.end() && method->is_string()) {
      const auto params = reply.find("params");
      std::string gid;
      if (params != reply.end() && params->is_array() && !params->empty() && (*params)[0].is_object()) {
        const auto g = (*params)[0].find("gid");
        if (g != (*params)[0].end() && g->is_string()) gid = g->get<std::string>();
      }
      if (self->handlers_.notified) self->handlers_.notified(method->get<std::string>(), gid);
      return;
    }
    const auto id = reply.find("id");
    if (id == reply.end() || !id->is_string()) return;
    if (id->get_ref<const std::string&>().starts_with(kAskIdPrefix)) {
      self->Answer(id->get<std::string>(), std::string(bytes, size));
      return;
    }
    if (*id != kCountsId) return;
    self->waiting_ = false;
    if (self->misses_ > 0)
      self->log_.Record("aria2_answering", {{"after_misses", std::int64_t{self->misses_}}});
    self->misses_ = 0;
    const auto result = reply.find("result");
    if (result == reply.end() || !result->is_object()) return;
    const Aria2Counts counts{.active = CountOf(*result, "numActive"),
                             .waiting = CountOf(*result, "numWaiting"),
                             .stopped = CountOf(*result, "numStopped"),
                             .stopped_total = CountOf(*result, "numStoppedTotal")};
    if (self->handlers_.counted) self->handlers_.counted(counts);
  }

  EventLog& log_;
  const Aria2ActivityHandlers& handlers_;
  Aria2ActivityTiming timing_;
  EngineState engine_;
  std::string counts_question_;
  SoupSession* session_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  SoupWebsocketConnection* socket_ = nullptr;
  unsigned ticker_ = 0;
  unsigned retry_ = 0;
  bool waiting_ = false;
  bool told_unreachable_ = false;
  int misses_ = 0;
  std::uint64_t asked_ = 0;
  std::map<std::string, Pending> pending_;
};

Aria2Activity::Aria2Activity(EventLog& log, Aria2ActivityHandlers handlers, Aria2ActivityTiming timing)
    : log_(log), handlers_(std::move(handlers)), timing_(timing) {}

Aria2Activity::~Aria2Activity() = default;

void Aria2Activity::Follow(const EngineState& engine) {
  connection_.reset();
  connection_ = std::make_unique<Connection>(log_, handlers_, timing_, engine);
}

bool Aria2Activity::streaming() const { return connection_ && connection_->streaming(); }

void Aria2Activity::Ask(const std::string& body, Aria2Answer done) {
  // Before the first Follow there is no aria2 to ask: dropped like the
  // questions of a replaced connection.
  if (connection_) connection_->Ask(body, std::move(done));
}

}  // namespace korvath
