#include "support/hostile-server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <random>

namespace korvath::testing {
namespace {

constexpr std::uint64_t kHugeBodyBytes = 1ull << 30;
constexpr std::size_t kLargeReplyBytes = 50u * 1000 * 1000;

std::string Head(std::uint64_t content_length, const std::string& extra = {}) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + extra +
         "Content-Length: " + std::to_string(content_length) + "\r\nConnection: close\r\n\r\n";
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

// Reads the request head and a Content-Length body; gives up after 10 s so a
// client that sends nothing cannot keep the thread.
void ReadRequest(int fd, int wake) {
  std::string got;
  std::size_t need = std::string::npos;
  char buffer[8192];
  for (int idle = 0; idle < 100;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
    if (::poll(fds, 2, 100) <= 0) {
      ++idle;
      continue;
    }
    if (fds[1].revents) return;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    got.append(buffer, static_cast<std::size_t>(n));
    if (need == std::string::npos) {
      auto end = got.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      std::size_t length = 0;
      std::string head = got.substr(0, end);
      for (auto& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto at = head.find("\r\ncontent-length:");
      if (at != std::string::npos) length = std::strtoull(head.c_str() + at + 17, nullptr, 10);
      need = end + 4 + length;
    }
    if (got.size() >= need) return;
  }
}

std::int64_t StatusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field, 0) == 0) return std::strtoll(line.c_str() + std::strlen(field), nullptr, 10);
  }
  return -1;
}

}  // namespace

std::int64_t ResidentKiB() { return StatusKiB("VmRSS:"); }

void ResetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}
std::int64_t PeakResidentKiB() { return StatusKiB("VmHWM:"); }

HostileServer::HostileServer(Hostile kind, int port) : kind_(kind) {
  if (::pipe2(wake_, O_CLOEXEC) != 0) return;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd);
    return;
  }
  listener_ = fd;
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

HostileServer::~HostileServer() {
  stopping_ = true;
  if (wake_[1] >= 0) {
    char byte = 1;
    (void)::write(wake_[1], &byte, 1);
  }
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard lock(mutex_);
    // Unblocks a thread stuck in send() towards a client that stopped reading.
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& thread : threads_) thread.join();
  if (listener_ >= 0) ::close(listener_);
  for (int fd : wake_) {
    if (fd >= 0) ::close(fd);
  }
}

std::string HostileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HostileServer::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard lock(mutex_);
    open_fds_.push_back(fd);
    threads_.emplace_back([this, fd] { Serve(fd); });
  }
}

bool HostileServer::Pause(int ms) {
  pollfd wake{wake_[0], POLLIN, 0};
  return ::poll(&wake, 1, ms) == 0 && !stopping_;
}

bool HostileServer::SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    if (stopping_) return false;
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void HostileServer::Serve(int fd) {
  ReadRequest(fd, wake_[0]);
  auto send = [&](const std::string& text) { return SendAll(fd, text.data(), text.size()); };
  auto body = [&](const std::string& text) {
    bool sent = SendAll(fd, text.data(), text.size());
    if (sent) bytes_sent_ += text.size();
    return sent;
  };
  switch (kind_) {
    case Hostile::kHugeBody: {
      if (!send(Head(kHugeBodyBytes))) break;
      const std::string chunk(1 << 16, '\0');
      for (std::uint64_t sent = 0; sent < kHugeBodyBytes; sent += chunk.size()) {
        if (!body(chunk)) break;
      }
      break;
    }
    case Hostile::kDrip: {
      const std::string reply = Head(19) + "[gg]dripping[/gg]\r\n";
      for (char c : reply) {
        if (!SendAll(fd, &c, 1) || !Pause(1000)) break;
        ++bytes_sent_;
      }
      break;
    }
    case Hostile::kManyHeaders: {
      std::string extra;
      extra.reserve(100000 * 24);
      for (int i = 0; i < 100000; ++i) extra += "X-Filler-" + std::to_string(i) + ": padding\r\n";
      const std::string text = "[gg]after the headers[/gg]";
      if (send(Head(text.size(), extra))) body(text);
      break;
    }
    case Hostile::kInvalidUtf8: {
      const std::string text = "[gg]bad \xff\xfe bytes \xc3( and \xe4\xb8 cut/nnext line\xf0\x9f[/gg]";
      if (send(Head(text.size()))) body(text);
      break;
    }
    case Hostile::kOnlyMarkers: {
      std::string text;
      for (int i = 0; i < 10000; ++i) text += "[gg][/gg]";
      if (send(Head(text.size()))) body(text);
      break;
    }
    case Hostile::kGarbage:
      body(RandomBytes(4096, 8));
      break;
    case Hostile::kGarbageBody: {
      const std::string text = RandomBytes(4096, 9);
      if (send(Head(text.size()))) body(text);
      break;
    }
    case Hostile::kHalfReply: {
      const std::string text = R"({"id":1,"jsonrpc":"2.0","result":")" + std::string(1000, 'a');
      if (send(Head(4000))) body(text.substr(0, 1000));
      break;
    }
    case Hostile::kLargeReply: {
      if (!send(Head(kLargeReplyBytes))) break;
      const std::string chunk(1 << 16, 'x');
      for (std::size_t sent = 0; sent < kLargeReplyBytes;) {
        const std::size_t n = std::min(chunk.size(), kLargeReplyBytes - sent);
        if (!SendAll(fd, chunk.data(), n)) break;
        bytes_sent_ += n;
        sent += n;
      }
      break;
    }
    case Hostile::kSilent:
      while (Pause(1000)) {
      }
      break;
  }
  // Let the client read what is queued before the connection goes.
  ::shutdown(fd, SHUT_WR);
  std::lock_guard lock(mutex_);
  std::erase(open_fds_, fd);
  ::close(fd);
}

}  // namespace korvath::testing
