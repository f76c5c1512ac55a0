#include "webview/pinned-certificate.h"

#include <gio/gio.h>
#include <webkit2/webkit2.h>

namespace korvath {
namespace {

std::string Sha256Of(GTlsCertificate* certificate) {
  GByteArray* der = nullptr;
  g_object_get(certificate, "certificate", &der, nullptr);
  if (!der) return "";
  gchar* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, der->data, der->len);
  g_byte_array_unref(der);
  std::string out = hex ? hex : "";
  g_free(hex);
  return out;
}

struct Handshake {
  std::string pinned;
  std::string seen;
  GTlsCertificate* accepted = nullptr;
};

// Called only for a certificate the system does not trust: the pin decides.
gboolean OnAcceptCertificate(GTlsConnection*, GTlsCertificate* peer, GTlsCertificateFlags, gpointer data) {
  auto& handshake = *static_cast<Handshake*>(data);
  handshake.seen = Sha256Of(peer);
  if (handshake.seen.empty() || handshake.seen != handshake.pinned) return FALSE;
  handshake.accepted = G_TLS_CERTIFICATE(g_object_ref(peer));
  return TRUE;
}

std::string Message(GError* error) {
  std::string text = error ? error->message : "";
  if (error) g_error_free(error);
  return text;
}

}  // namespace

PinnedTrust TrustPinnedCertificate(void* web_context, const std::string& url, const std::string& sha256_hex,
                                   int timeout_s) {
  PinnedTrust result;
  GError* error = nullptr;
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_NONE, &error);
  if (!uri) {
    result.error = Message(error);
    return result;
  }
  const std::string scheme = g_uri_get_scheme(uri) ? g_uri_get_scheme(uri) : "";
  const std::string host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
  const int port = g_uri_get_port(uri) > 0 ? g_uri_get_port(uri) : 443;
  g_uri_unref(uri);
  if ((scheme != "https" && scheme != "wss") || host.empty() || sha256_hex.empty()) {
    result.error = "not an https or wss address with a pin";
    return result;
  }

  GSocketClient* client = g_socket_client_new();
  g_socket_client_set_timeout(client, static_cast<guint>(timeout_s));
  GSocketConnection* connection =
      g_socket_client_connect_to_host(client, host.c_str(), static_cast<guint16>(port), nullptr, &error);
  g_object_unref(client);
  if (!connection) {
    result.error = Message(error);
    return result;
  }
  GSocketConnectable* identity = g_network_address_new(host.c_str(), static_cast<guint16>(port));
  GIOStream* tls = g_tls_client_connection_new(G_IO_STREAM(connection), identity, &error);
  g_object_unref(identity);
  Handshake handshake{.pinned = sha256_hex, .seen = "", .accepted = nullptr};
  if (tls) {
    g_signal_connect(tls, "accept-certificate", G_CALLBACK(OnAcceptCertificate), &handshake);
    if (g_tls_connection_handshake(G_TLS_CONNECTION(tls), nullptr, &error)) {
      // A certificate the system trusts never reaches the handler; the pin
      // still names the one to accept.
      if (!handshake.accepted) {
        GTlsCertificate* peer = g_tls_connection_get_peer_certificate(G_TLS_CONNECTION(tls));
        if (peer) {
          handshake.seen = Sha256Of(peer);
          if (handshake.seen == sha256_hex) handshake.accepted = G_TLS_CERTIFICATE(g_object_ref(peer));
        }
      }
    } else if (handshake.seen.empty()) {
      result.error = Message(error);
    } else {
      g_clear_error(&error);
    }
    g_io_stream_close(tls, nullptr, nullptr);
    g_object_unref(tls);
  } else {
    result.error = Message(error);
  }
  g_object_unref(connection);

  result.seen = handshake.seen;
  if (handshake.accepted) {
    webkit_web_context_allow_tls_certificate_for_host(static_cast<WebKitWebContext*>(web_context),
                                                      handshake.accepted, host.c_str());
    g_object_unref(handshake.accepted);
    result.trusted = true;
  }
  return result;
}

}  // namespace korvath
