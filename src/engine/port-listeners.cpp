// Who listens on a TCP port, read from the kernel's socket tables and each
// process's open descriptors.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "engine/aria2-home.h"

namespace korvath {
namespace {

constexpr unsigned long kTcpListen = 0x0A;

// "0100007F:1A90" (IPv4, host byte order of a little-endian kernel written as
// hex) or 32 hex digits for IPv6, four 32-bit words each in that order.
std::string AddressText(const std::string& hex) {
  auto byte_at = [&](std::size_t i) {
    return static_cast<unsigned>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
  };
  if (hex.size() == 8) {
    return std::to_string(byte_at(6)) + "." + std::to_string(byte_at(4)) + "." + std::to_string(byte_at(2)) +
           "." + std::to_string(byte_at(0));
  }
  if (hex.size() != 32) return hex;
  unsigned char bytes[16];
  for (int word = 0; word < 4; ++word) {
    for (int b = 0; b < 4; ++b)
      bytes[word * 4 + b] = static_cast<unsigned char>(byte_at(word * 8 + (3 - b) * 2));
  }
  // IPv4-mapped addresses read best as IPv4.
  bool mapped = true;
  for (int i = 0; i < 10; ++i) mapped = mapped && bytes[i] == 0;
  mapped = mapped && bytes[10] == 0xff && bytes[11] == 0xff;
  if (mapped) {
    return "::ffff:" + std::to_string(bytes[12]) + "." + std::to_string(bytes[13]) + "." +
           std::to_string(bytes[14]) + "." + std::to_string(bytes[15]);
  }
  bool any = true, loopback = true;
  for (int i = 0; i < 16; ++i) {
    any = any && bytes[i] == 0;
    loopback = loopback && bytes[i] == (i == 15 ? 1 : 0);
  }
  if (any) return "::";
  if (loopback) return "::1";
  std::string text;
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; i += 2) {
    if (i) text += ':';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
    text += kHex[bytes[i + 1] >> 4];
    text += kHex[bytes[i + 1] & 15];
  }
  return text;
}

void ReadTable(const char* path, int port, std::vector<PortListener>& found) {
  std::ifstream table(path);
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
    unsigned long inode = 0;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
          inode)) {
      continue;
    }
    auto colon = local.rfind(':');
    if (colon == std::string::npos) continue;
    if (std::strtoul(state.c_str(), nullptr, 16) != kTcpListen) continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) != static_cast<unsigned long>(port)) continue;
    found.push_back({.address = AddressText(local.substr(0, colon)), .inode = inode});
  }
}

void FindHolders(std::vector<PortListener>& listeners) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return;
  while (dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    std::string fd_dir = "/proc/" + std::string(entry->d_name) + "/fd";
    DIR* fds = ::opendir(fd_dir.c_str());
    if (!fds) continue;  // another user's process, or gone
    while (dirent* fd = ::readdir(fds)) {
      char target[64];
      ssize_t n = ::readlinkat(::dirfd(fds), fd->d_name, target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      unsigned long inode = 0;
      if (std::sscanf(target, "socket:[%lu]", &inode) != 1) continue;
      for (PortListener& listener : listeners) {
        if (listener.inode != inode || listener.pid != 0) continue;
        listener.pid = static_cast<int>(pid);
        std::ifstream comm("/proc/" + std::string(entry->d_name) + "/comm");
        std::getline(comm, listener.name);
      }
    }
    ::closedir(fds);
  }
  ::closedir(proc);
}

}  // namespace

std::vector<PortListener> ListenersOnPort(int port) {
  std::vector<PortListener> listeners;
  ReadTable("/proc/net/tcp", port, listeners);
  ReadTable("/proc/net/tcp6", port, listeners);
  if (!listeners.empty()) FindHolders(listeners);
  return listeners;
}

bool AcceptsConnections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

Text PortHeldMessage(int port, const std::vector<PortListener>& listeners) {
  Text holder;
  for (const PortListener& listener : listeners) {
    if (listener.pid == 0) continue;
    holder = Utf8ToGbk(listener.name.empty() ? "?" : listener.name) + Gbk(u8"（进程号") +
             ToText(listener.pid) + Gbk(u8"）");
    break;
  }
  if (holder.empty()) holder = Gbk(u8"另一个程序（无法查明是哪个）");
  return Gbk(u8"端口") + ToText(port) + Gbk(u8"已被其他程序占用：") + holder +
         Gbk(u8"。aria2无法在此端口上启动，本程序也不会向该程序发送任何请求。请关闭该程序后再启动本程序。");
}

}  // namespace korvath
