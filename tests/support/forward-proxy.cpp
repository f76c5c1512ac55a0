#include "support/forward-proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvath::testing {
namespace {

std::string Exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char chunk[8192];
    for (;;) {
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, 5000) <= 0) break;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      reply.append(chunk, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return reply;
}

}  // namespace

void MakeForwardProxy(RecordingServer& proxy) {
  proxy.SetResponder([](const RecordedRequest& request) {
    const std::string target = request.Target();
    const std::string prefix = "http://127.0.0.1:";
    if (request.Method() == "CONNECT" || target.rfind(prefix, 0) != 0) {
      return Reply::Ok("no tunnels here", {}, "403 Forbidden");
    }
    const auto slash = target.find('/', prefix.size());
    const int port = std::stoi(target.substr(prefix.size(), slash - prefix.size()));
    std::string out =
        request.Method() + " " + (slash == std::string::npos ? "/" : target.substr(slash)) + " HTTP/1.1\r\n";
    for (const std::string& line : request.header_lines) {
      if (line.rfind("Proxy-", 0) == 0) continue;
      out += line + "\r\n";
    }
    out += "Connection: close\r\n\r\n" + request.body;
    Reply reply{Exchange(port, out)};
    reply.close_after = true;
    return reply;
  });
}

}  // namespace korvath::testing
