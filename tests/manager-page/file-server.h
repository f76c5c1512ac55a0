// A loopback HTTP server (system-chosen port) that gives aria2 something to
// download: /slow/<name> trickles a large file so its task stays active,
// /fast/<name> sends a small file at once, /missing/<name> answers 404.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace korvath::testing {

class FileServer {
 public:
  static constexpr long kSlowSize = 64L << 20;  // takes minutes at the slow rate
  static constexpr long kFastSize = 100 * 1024;

  FileServer();  // listening when constructed; port() is 0 on failure
  ~FileServer();
  FileServer(const FileServer&) = delete;
  FileServer& operator=(const FileServer&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& path) const;
  // How many GET requests for path have come in so far: a download that is
  // started again asks again.
  int Requests(const std::string& path) const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::map<std::string, int> requests_;
  int port_ = 0;
};

}  // namespace korvath::testing
