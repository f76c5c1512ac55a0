// A loopback server that misbehaves on purpose, for tests that prove a client
// stays bounded in memory and time and says what went wrong.
//
//   HostileServer server(Hostile::kDrip);          // 127.0.0.1, port picked by the system
//   ... FetchNotice(desktop, server.Url("/getpassword")) ...
//   EXPECT_GE(server.Connections(), 1);
//
// Each connection has its request head read (and a body of Content-Length
// bytes), then gets the reply `kind` names. Writes stop as soon as the client
// closes, so a client that gives up early costs the server nothing. The
// destructor ends every connection and joins its threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/wininet-request.h"

namespace korvath::testing {

// The bound on a hostile exchange's extra peak memory: the body cap and a few
// converted copies of it. Sanitizer builds hold freed blocks back for a while,
// so the bound leaves room for that; what it rules out is memory that grows
// with what the server sends.
inline constexpr std::int64_t kPeakBoundKiB = 6 * static_cast<std::int64_t>(kMaxResponseBytes / 1024);

enum class Hostile {
  kHugeBody,     // 200, Content-Length 1 GiB, zeros streamed as fast as taken
  kDrip,         // a valid reply with an announcement, one byte a second
  kManyHeaders,  // 100,000 header lines before a small body
  kInvalidUtf8,  // body: markers around bytes that are not UTF-8
  kOnlyMarkers,  // body made of nothing but announcement markers
  kGarbage,      // no HTTP at all: random bytes, then close
  kGarbageBody,  // 200 with a body of random bytes
  kHalfReply,    // headers promising 4,000 bytes, 1,000 sent, then close
  kLargeReply,   // 200 with a 50 MB body ("x" repeated)
  kSilent,       // accepts, reads, never answers (until the test ends)
};

class HostileServer {
 public:
  // Listens on 127.0.0.1:`port`, 0 picking a free one. Failing to listen
  // leaves Listening() false.
  explicit HostileServer(Hostile kind, int port = 0);
  ~HostileServer();
  HostileServer(const HostileServer&) = delete;
  HostileServer& operator=(const HostileServer&) = delete;

  bool Listening() const { return listener_ >= 0; }
  int Port() const { return port_; }
  std::string Url(const std::string& path) const;
  int Connections() const { return connections_.load(); }
  // Body bytes written so far, over every connection.
  std::uint64_t BytesSent() const { return bytes_sent_.load(); }

 private:
  void AcceptLoop();
  void Serve(int fd);
  // Writes all of `data` unless the client goes away or the server stops.
  bool SendAll(int fd, const char* data, std::size_t size);
  // Waits `ms` unless the server stops first; false when stopping.
  bool Pause(int ms);

  Hostile kind_;
  int listener_ = -1;
  int port_ = 0;
  int wake_[2] = {-1, -1};  // written on stop, so every wait ends at once
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<std::uint64_t> bytes_sent_{0};
  std::mutex mutex_;
  std::vector<int> open_fds_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

// Resident set of this process now and at its peak (VmRSS, VmHWM), in KiB.
std::int64_t ResidentKiB();
std::int64_t PeakResidentKiB();
// Lowers the peak to the present resident set, so PeakResidentKiB() after a
// call tells what that call needed.
void ResetPeakResident();

}  // namespace korvath::testing
