#include "app/aria2-activity.h"

#include <libsoup/soup.h>

#include <nlohmann/json.hpp>
#include <string>

#include "engine/aria2-request.h"
#include "engine/remote-aria2.h"

namespace korvath {
namespace {

using json = nlohmann::json;

// The counts question's id; notifications carry none.
constexpr const char* kCountsId = "korvath-counts";
constexpr unsigned kHandshakeSeconds = 5;

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
    if (ticker_) g_source_remove(ticker_);
    if (retry_) g_source_remove(retry_);
    g_cancellable_cancel(cancellable_);
    DropSocket();
    g_object_unref(cancellable_);
    g_object_unref(session_);
  }

  bool streaming() const { return socket_ != nullptr; }

 private:
  void Connect() {
    const std::string url = Aria2SocketUrl(engine_);
    SoupMessage* message = soup_message_new(SOUP_METHOD_GET, url.c_str());
    if (!message) {
      log_.Record("aria2_events", {{"state", std::string("bad_address")}});
      return;
    }
    if (!engine_.certificate_sha256.empty()) {
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
    g_signal_connect(socket, "message", G_CALLBACK(&Connection::OnMessage), self);
    g_signal_connect(socket, "closed", G_CALLBACK(&Connection::OnClosed), self);
    self->log_.Record("aria2_events", {{"state", std::string("streaming")}});
    self->Ask();
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
    self->Ask();
    return G_SOURCE_CONTINUE;
  }

  void Missed() {
    // Logged once per silence: an aria2 away for a day is not a line every two seconds.
    if (++misses_ == 1) log_.Record("aria2_unanswered");
    if (handlers_.unanswered) handlers_.unanswered(misses_);
  }

  void Ask() {
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
    if (id == reply.end() || !id->is_string() || *id != kCountsId) return;
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
};

Aria2Activity::Aria2Activity(EventLog& log, Aria2ActivityHandlers handlers, Aria2ActivityTiming timing)
    : log_(log), handlers_(std::move(handlers)), timing_(timing) {}

Aria2Activity::~Aria2Activity() = default;

void Aria2Activity::Follow(const EngineState& engine) {
  connection_.reset();
  connection_ = std::make_unique<Connection>(log_, handlers_, timing_, engine);
}

bool Aria2Activity::streaming() const { return connection_ && connection_->streaming(); }

}  // namespace korvath
