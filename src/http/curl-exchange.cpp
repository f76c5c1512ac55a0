#include "http/curl-exchange.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <mutex>

#include "http/header-text.h"

namespace korvath::http_internal {
namespace {

struct Sink {
  ExchangeOutcome* out;
  std::size_t body_cap;
  bool capped = false;
};

struct CertificateCheck {
  const std::string* pinned;
  std::string seen;
  bool refused = false;
};

// Runs inside the TLS handshake, before a byte of the request is sent, so a
// secret in the body never reaches a server that is refused.
int VerifyCertificate(X509_STORE_CTX* store, void* arg) {
  auto* check = static_cast<CertificateCheck*>(arg);
  if (X509* leaf = X509_STORE_CTX_get0_cert(store)) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(leaf, EVP_sha256(), digest, &size) == 1) {
      static constexpr char kHex[] = "0123456789abcdef";
      check->seen.clear();
      for (unsigned int i = 0; i < size; ++i) {
        check->seen += kHex[digest[i] >> 4];
        check->seen += kHex[digest[i] & 15];
      }
    }
  }
  const bool accepted = check->pinned->empty() ? X509_verify_cert(store) == 1
                                               : !check->seen.empty() && check->seen == *check->pinned;
  if (!accepted) check->refused = true;
  return accepted ? 1 : 0;
}

CURLcode OnSslContext(CURL*, void* context, void* arg) {
  SSL_CTX_set_cert_verify_callback(static_cast<SSL_CTX*>(context), &VerifyCertificate, arg);
  return CURLE_OK;
}

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  Bytes& body = sink->out->body;
  const std::size_t room = sink->body_cap - std::min(sink->body_cap, body.size());
  const std::size_t take = std::min(room, n);
  body.insert(body.end(), data, data + take);
  if (take < n) {
    // Past the cap the rest is not worth the memory or the wait: stop reading
    // and hand back what we have, as a read that ended early.
    sink->capped = true;
    return 0;
  }
  return n;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const std::size_t n = size * count;
  std::string_view line(data, n);
  ExchangeOutcome& out = *sink->out;
  // Each status line starts a new response (redirect hops, 1xx interim
  // answers, a proxy's CONNECT reply): only the final block is reported.
  if (line.substr(0, 5) == "HTTP/") {
    out.headers.clear();
    out.headers_complete = false;
  } else if (out.headers_complete) {
    // Trailers of a chunked body come through here too; they are no part
    // of the block, and a Set-Cookie among them is not a cookie the
    // response set in its headers.
    return n;
  }
  if (out.headers.size() + n + 1 > kMaxHeaderBlock) return 0;
  if (line.empty() || line.back() != '\n') {
    out.headers.append(line);
    return n;
  }
  // The raw block always has CR LF line ends, as the platform hands it over:
  // a server's bare LF would otherwise run every line into one for the
  // readers that split the block at CR LF (status, cookies, location).
  const bool crlf = line.size() >= 2 && line[line.size() - 2] == '\r';
  line.remove_suffix(crlf ? 2 : 1);
  out.headers.append(line);
  out.headers.append("\r\n");
  if (line.empty()) out.headers_complete = true;
  return n;
}

bool HasHeader(const std::vector<std::string>& lines, std::string_view name) {
  for (const std::string& line : lines) {
    const auto end = line.find_first_of(":;");
    if (end != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < end && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(line[i])) ==
             std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (same) return true;
  }
  return false;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Handle {
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  ~Handle() {
    if (curl) curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
  }
};

template <typename T>
bool Set(CURL* curl, CURLoption option, T value) {
  return curl_easy_setopt(curl, option, value) == CURLE_OK;
}

Stage StageAfterFailure(CURLcode code, const ExchangeOutcome& out, bool capped, CURL* curl) {
  if (capped) return Stage::kRead;
  if (code == CURLE_SEND_ERROR) return Stage::kSend;
  long sent = 0;
  curl_easy_getinfo(curl, CURLINFO_REQUEST_SIZE, &sent);
  // A refused redirect or a redirect loop, and an answer that is no HTTP at
  // all, fail the response even though some header lines may have come.
  const bool answer_refused = code == CURLE_TOO_MANY_REDIRECTS || code == CURLE_UNSUPPORTED_PROTOCOL ||
                              code == CURLE_WEIRD_SERVER_REPLY;
  if (out.headers_complete && !answer_refused) return Stage::kRead;
  return sent > 0 ? Stage::kResponse : Stage::kSend;
}

}  // namespace

std::string EscapeUrlBytes(std::string_view text, bool escape_high) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c <= 0x20 || c == 0x7F || (escape_high && c > 0x7F)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool UsableHost(std::string_view host) {
  if (host.empty() || host.size() > 253) return false;
  return std::all_of(host.begin(), host.end(), [](char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    return std::isalnum(c) || c == '.' || c == '-' || c == '_';
  });
}

bool HeaderLinesForWire(std::string_view header_text, std::vector<std::string>& lines) {
  bool all_good = true;
  std::size_t pos = 0;
  while (pos <= header_text.size()) {
    std::size_t end = header_text.find("\r\n", pos);
    if (end == std::string_view::npos) end = header_text.size();
    std::string_view line = header_text.substr(pos, end - pos);
    pos = end + 2;
    if (line.empty()) continue;
    const auto colon = line.find(':');
    bool good =
        colon != std::string_view::npos && colon > 0 && line.find_first_of("\r\n") == std::string_view::npos;
    for (std::size_t i = 0; good && i < colon; ++i) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      good = c > 0x20 && c != 0x7F;
    }
    if (!good) {
      all_good = false;
      continue;
    }
    std::string_view value = line.substr(colon + 1);
    const bool blank_value = value.find_first_not_of(" \t") == std::string_view::npos;
    if (blank_value) {
      // "Name;" is curl's way to send "Name:" with nothing after it.
      lines.push_back(std::string(line.substr(0, colon)) + ";");
    } else {
      lines.emplace_back(line);
    }
  }
  return all_good;
}

ExchangeOutcome PerformExchange(const Exchange& ex, std::size_t body_cap) {
  GlobalInit();
  ExchangeOutcome out;
  Handle h;
  CURL* c = h.curl;
  out.stage = Stage::kInit;
  if (!c) return out;

  Sink sink{&out, body_cap};
  if (!Set(c, CURLOPT_NOSIGNAL, 1L) || !Set(c, CURLOPT_WRITEFUNCTION, &OnBody) ||
      !Set(c, CURLOPT_WRITEDATA, &sink) || !Set(c, CURLOPT_HEADERFUNCTION, &OnHeader) ||
      !Set(c, CURLOPT_HEADERDATA, &sink) ||
      !Set(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)) ||
      !Set(c, CURLOPT_PROTOCOLS_STR, "http,https") || !Set(c, CURLOPT_PATH_AS_IS, 1L) ||
      !Set(c, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L)) {
    return out;
  }

  out.stage = Stage::kProxy;
  // An empty proxy string also keeps curl from picking one up from the
  // environment: "direct" must mean direct.
  if (!Set(c, CURLOPT_PROXY, ex.proxy.c_str())) return out;

  out.stage = Stage::kConnectTarget;
  if (!Set(c, CURLOPT_URL, ex.url.c_str())) return out;

  out.stage = Stage::kRequest;
  const char* name = HttpMethodName(ex.method);
  static const Bytes kNoBody;
  const Bytes& body = ex.body ? *ex.body : kNoBody;
  bool ok = true;
  if (ex.method == 2) {
    ok = Set(c, CURLOPT_NOBODY, 1L);
  } else if (ex.send_body) {
    ok = Set(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())) &&
         Set(c, CURLOPT_POSTFIELDS, body.empty() ? "" : reinterpret_cast<const char*>(body.data()));
    if (ok && ex.method != 1) ok = Set(c, CURLOPT_CUSTOMREQUEST, name);
  } else if (ex.method == 0) {
    ok = Set(c, CURLOPT_HTTPGET, 1L);
  } else {
    ok = Set(c, CURLOPT_CUSTOMREQUEST, name);
  }
  if (!ok) return out;

  out.stage = Stage::kTimeouts;
  if (!Set(c, CURLOPT_CONNECTTIMEOUT_MS, ex.connect_timeout_ms) ||
      !Set(c, CURLOPT_TIMEOUT_MS, ex.total_timeout_ms)) {
    return out;
  }
  if (ex.stall_seconds > 0 &&
      (!Set(c, CURLOPT_LOW_SPEED_LIMIT, 1L) || !Set(c, CURLOPT_LOW_SPEED_TIME, ex.stall_seconds))) {
    return out;
  }

  out.stage = Stage::kCredentials;
  if (!ex.user_name.empty()) {
    if (!Set(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC)) ||
        !Set(c, CURLOPT_USERNAME, ex.user_name.c_str()) || !Set(c, CURLOPT_PASSWORD, ex.password.c_str())) {
      return out;
    }
  }
  if (!ex.proxy_user.empty()) {
    if (!Set(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC)) ||
        !Set(c, CURLOPT_PROXYUSERNAME, ex.proxy_user.c_str()) ||
        !Set(c, CURLOPT_PROXYPASSWORD, ex.proxy_password.c_str())) {
      return out;
    }
  }

  out.stage = Stage::kCookies;
  if (ex.cookie_engine && !Set(c, CURLOPT_COOKIEFILE, "")) return out;

  out.stage = Stage::kRedirects;
  if (!Set(c, CURLOPT_FOLLOWLOCATION, ex.follow_redirects ? 1L : 0L) || !Set(c, CURLOPT_MAXREDIRS, 10L) ||
      !Set(c, CURLOPT_REDIR_PROTOCOLS_STR, ex.https_only_redirects ? "https" : "http,https")) {
    return out;
  }
  if (!ex.verify_peer && (!Set(c, CURLOPT_SSL_VERIFYPEER, 0L) || !Set(c, CURLOPT_SSL_VERIFYHOST, 0L))) {
    return out;
  }
  CertificateCheck check{&ex.pinned_certificate_sha256};
  const bool pinned = !ex.pinned_certificate_sha256.empty();
  if (ex.verify_peer && (pinned || ex.report_certificate)) {
    if (!Set(c, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext) || !Set(c, CURLOPT_SSL_CTX_DATA, &check)) return out;
    // The pin names the one certificate to accept; the name in it is the
    // self-signed server's own business.
    if (pinned && !Set(c, CURLOPT_SSL_VERIFYHOST, 0L)) return out;
  }

  out.stage = Stage::kHeaders;
  // curl adds lines of its own unless told not to; the request must carry
  // the routine's lines and nothing a caller would not expect.
  std::vector<std::string> lines = ex.header_lines;
  if (!HasHeader(lines, "Accept")) lines.push_back("Accept:");
  if (!HasHeader(lines, "Expect")) lines.push_back("Expect:");
  if (ex.send_body && !HasHeader(lines, "Content-Type")) lines.push_back("Content-Type:");
  if (!ex.proxy.empty() && !HasHeader(lines, "Proxy-Connection")) lines.push_back("Proxy-Connection:");
  for (const std::string& line : lines) {
    curl_slist* next = curl_slist_append(h.headers, line.c_str());
    if (!next) return out;
    h.headers = next;
  }
  if (!Set(c, CURLOPT_HTTPHEADER, h.headers)) return out;

  const CURLcode code = curl_easy_perform(c);
  out.curl_code = static_cast<int>(code);
  out.peer_certificate_sha256 = check.seen;
  out.certificate_refused = check.refused || code == CURLE_PEER_FAILED_VERIFICATION;
  out.stage = code == CURLE_OK ? Stage::kDone : StageAfterFailure(code, out, sink.capped, c);
  if (!out.headers_complete && out.stage != Stage::kDone && out.stage != Stage::kRead) {
    out.headers.clear();
  }
  return out;
}

}  // namespace korvath::http_internal
