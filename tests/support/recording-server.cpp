#include "support/recording-server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace korvath::testing {
namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

std::string RecordedRequest::Method() const { return request_line.substr(0, request_line.find(' ')); }

std::string RecordedRequest::Target() const {
  const auto a = request_line.find(' ');
  if (a == std::string::npos) return {};
  const auto b = request_line.find(' ', a + 1);
  return request_line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

std::vector<std::string> RecordedRequest::Values(std::string_view name) const {
  std::vector<std::string> values;
  const std::string wanted = Lower(name);
  for (const std::string& line : header_lines) {
    const auto colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == wanted) {
      values.push_back(Trim(std::string_view(line).substr(colon + 1)));
    }
  }
  return values;
}

std::vector<std::string> RecordedRequest::Names() const {
  std::vector<std::string> names;
  for (const std::string& line : header_lines) names.push_back(line.substr(0, line.find(':')));
  return names;
}

Reply Reply::Ok(std::string body, std::vector<std::string> header_lines, std::string status) {
  std::string raw = "HTTP/1.1 " + status + "\r\n";
  for (const std::string& line : header_lines) raw += line + "\r\n";
  raw += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  raw += body;
  return Reply{std::move(raw)};
}

Reply Reply::Close(int delay_ms) {
  Reply reply;
  reply.delay_ms = delay_ms;
  reply.close_without_answer = true;
  return reply;
}

RecordingServer::RecordingServer() : default_reply_(Reply::Ok("ok")) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 64) != 0) {
    ::close(listen_fd_);
    listen_fd_ = -1;
    return;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

RecordingServer::~RecordingServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  if (acceptor_.joinable()) acceptor_.join();
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return active_workers_ == 0; });
  lock.unlock();
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string RecordingServer::Url(std::string_view path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void RecordingServer::Push(Reply reply) {
  std::lock_guard lock(mutex_);
  pushed_.push_back(std::move(reply));
}

void RecordingServer::SetDefault(Reply reply) {
  std::lock_guard lock(mutex_);
  default_reply_ = std::move(reply);
}

void RecordingServer::SetResponder(std::function<Reply(const RecordedRequest&)> responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}

std::size_t RecordingServer::Count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

RecordedRequest RecordingServer::Request(std::size_t index, std::chrono::milliseconds wait) const {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, wait, [&] { return requests_.size() > index; });
  return index < requests_.size() ? requests_[index] : RecordedRequest{};
}

std::vector<RecordedRequest> RecordingServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

Reply RecordingServer::NextReply(const RecordedRequest& request) {
  std::function<Reply(const RecordedRequest&)> responder;
  {
    std::lock_guard lock(mutex_);
    if (!responder_) {
      if (pushed_.empty()) return default_reply_;
      Reply reply = std::move(pushed_.front());
      pushed_.pop_front();
      return reply;
    }
    responder = responder_;
  }
  return responder(request);
}

void RecordingServer::AcceptLoop() {
  int accepted = 0;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    pollfd pfd{listen_fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 50) <= 0) continue;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(fd);
      return;
    }
    open_fds_.push_back(fd);
    const int connection = ++accepted;
    ++active_workers_;
    std::thread([this, fd, connection] {
      Serve(fd, connection);
      std::lock_guard done(mutex_);
      if (--active_workers_ == 0) idle_.notify_all();
    }).detach();
  }
}

void RecordingServer::Serve(int fd, int connection) {
  auto stopping = [this] {
    std::lock_guard lock(mutex_);
    return stopping_;
  };
  // Reads more bytes into `buffer`; false on close, error or shutdown.
  std::string buffer;
  auto fill = [&](int wait_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!stopping()) {
      pollfd pfd{fd, POLLIN, 0};
      const int ready = ::poll(&pfd, 1, 20);
      if (ready > 0) {
        char chunk[16384];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(n));
        return true;
      }
      if (ready < 0 || std::chrono::steady_clock::now() > deadline) return false;
    }
    return false;
  };
  auto record = [&](RecordedRequest request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
    arrived_.notify_all();
  };

  bool open = true;
  while (open) {
    while (buffer.empty() || (std::isupper(static_cast<unsigned char>(buffer[0])) &&
                              buffer.find("\r\n\r\n") == std::string::npos)) {
      if (!fill(30000)) {
        open = false;
        break;
      }
    }
    if (buffer.empty()) break;
    RecordedRequest request;
    request.connection = connection;
    if (!std::isupper(static_cast<unsigned char>(buffer[0]))) {
      // Not HTTP (a TLS hello, say): keep what arrives and hang up.
      while (fill(300)) {
      }
      request.raw = buffer;
      record(std::move(request));
      break;
    }
    if (!open && buffer.find("\r\n\r\n") == std::string::npos) {
      request.raw = buffer;
      record(std::move(request));
      break;
    }
    const std::size_t head_end = buffer.find("\r\n\r\n") + 4;
    const std::string head = buffer.substr(0, head_end);
    std::size_t line_start = 0;
    bool first = true;
    while (line_start < head_end - 2) {
      const std::size_t line_end = head.find("\r\n", line_start);
      std::string line = head.substr(line_start, line_end - line_start);
      line_start = line_end + 2;
      if (first) {
        request.request_line = std::move(line);
        first = false;
      } else {
        request.header_lines.push_back(std::move(line));
      }
    }
    std::size_t consumed = head_end;
    const std::vector<std::string> lengths = request.Values("Content-Length");
    const std::vector<std::string> encodings = request.Values("Transfer-Encoding");
    if (!encodings.empty() && Lower(encodings.front()) == "chunked") {
      for (;;) {
        std::size_t eol;
        while ((eol = buffer.find("\r\n", consumed)) == std::string::npos) {
          if (!fill(30000)) break;
        }
        if (eol == std::string::npos) break;
        const std::size_t size = std::strtoul(buffer.c_str() + consumed, nullptr, 16);
        while (buffer.size() < eol + 2 + size + 2 && fill(30000)) {
        }
        if (buffer.size() < eol + 2 + size + 2) break;
        request.body.append(buffer, eol + 2, size);
        consumed = eol + 2 + size + 2;
        if (size == 0) break;
      }
    } else if (!lengths.empty()) {
      const std::size_t length = std::strtoul(lengths.front().c_str(), nullptr, 10);
      while (buffer.size() < head_end + length && fill(30000)) {
      }
      request.body = buffer.substr(head_end, length);
      consumed = std::min(buffer.size(), head_end + length);
    }
    request.raw = buffer.substr(0, consumed);
    buffer.erase(0, consumed);
    const bool client_closes =
        !request.Values("Connection").empty() && Lower(request.Values("Connection").front()) == "close";
    RecordedRequest copy = request;
    record(std::move(request));

    Reply reply = NextReply(copy);
    for (int waited = 0; waited < reply.delay_ms && !stopping(); waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reply.close_without_answer) break;
    std::size_t sent = 0;
    while (sent < reply.raw.size()) {
      const ssize_t n = ::send(fd, reply.raw.data() + sent, reply.raw.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (reply.close_after || client_closes || copy.Method() == "CONNECT") break;
  }
  std::lock_guard lock(mutex_);
  open_fds_.erase(std::remove(open_fds_.begin(), open_fds_.end(), fd), open_fds_.end());
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace korvath::testing
