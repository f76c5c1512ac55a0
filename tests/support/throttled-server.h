// A loopback file server for resume tests (header-only; the test binary
// links cpp-httplib). /big is served at a fixed total rate shared by all
// connections, so a test can stop a download part-way; /small at once, and
// /other, of the same size and other bytes, too; /missing is a 404. Servers
// made with different salts serve /big of one size and different bytes. It
// counts every byte of /big it sends and remembers the Range and Cookie
// headers of each request; /unsized is /big without a length. /big?link=old
// stands for a link
// that expires: once ExpireOldLinkAt(n) bytes of /big have been sent, its
// connections are cut and it answers 403.
#pragma once

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvath::testing {

// `salt` tells two servers' files of one size apart.
inline std::string Payload(size_t size, size_t salt = 0) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7919 + i / 4093 + salt * 31) % 253);
  return data;
}

class ThrottledServer {
 public:
  ThrottledServer(size_t big_size, size_t bytes_per_second, size_t salt = 0)
      : big_(Payload(big_size, salt)),
        small_(Payload(4096)),
        other_(small_.rbegin(), small_.rend()),
        rate_(bytes_per_second) {
    server_.set_keep_alive_timeout(1);
    server_.Get("/big", [this](const httplib::Request& request, httplib::Response& response) {
      Remember(request);
      const bool old = request.get_param_value("link") == "old";
      if (old && served_ >= expire_at_) {
        response.status = 403;
        return;
      }
      response.set_content_provider(big_.size(), "application/octet-stream",
                                    [this, old](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (stopping_ || (old && served_ >= expire_at_)) return false;
                                      size_t n = std::min<size_t>(length, kChunk);
                                      Throttle(n);
                                      if (stopping_) return false;
                                      served_ += n;
                                      return sink.write(big_.data() + offset, n);
                                    });
    });
    // /big's bytes at the same rate but with no length: only the closed
    // connection ends the body, so a broken one would look just the same.
    server_.Get("/unsized", [this](const httplib::Request& request, httplib::Response& response) {
      Remember(request);
      response.set_content_provider("application/octet-stream",
                                    [this](size_t offset, httplib::DataSink& sink) {
                                      const size_t n = std::min(kChunk, big_.size() - offset);
                                      if (stopping_ || n == 0) {
                                        sink.done();
                                        return true;
                                      }
                                      Throttle(n);
                                      return sink.write(big_.data() + offset, n);
                                    });
    });
    server_.Get("/small", [this](const httplib::Request& request, httplib::Response& response) {
      Remember(request);
      response.set_content(small_, "application/octet-stream");
    });
    server_.Get("/other", [this](const httplib::Request& request, httplib::Response& response) {
      Remember(request);
      response.set_content(other_, "application/octet-stream");
    });
    server_.Get("/missing",
                [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~ThrottledServer() {
    stopping_ = true;
    server_.stop();
    thread_.join();
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  const std::string& Big() const { return big_; }
  const std::string& Small() const { return small_; }
  const std::string& Other() const { return other_; }
  size_t Served() const { return served_; }
  void ExpireOldLinkAt(size_t bytes) { expire_at_ = bytes; }
  std::vector<std::string> Ranges() {
    std::lock_guard lock(mutex_);
    return ranges_;
  }
  std::vector<std::string> Cookies() {
    std::lock_guard lock(mutex_);
    return cookies_;
  }

 private:
  static constexpr size_t kChunk = 16 * 1024;
  void Remember(const httplib::Request& request) {
    std::lock_guard lock(mutex_);
    ranges_.push_back(request.get_header_value("Range"));
    cookies_.push_back(request.get_header_value("Cookie"));
  }
  // Every chunk books its own slot of time, whichever connection sends it.
  void Throttle(size_t bytes) {
    std::chrono::steady_clock::time_point slot;
    {
      std::lock_guard lock(mutex_);
      auto now = std::chrono::steady_clock::now();
      next_ = std::max(next_, now) + std::chrono::microseconds(bytes * 1'000'000 / rate_);
      slot = next_;
    }
    std::this_thread::sleep_until(slot);
  }

  std::string big_, small_, other_;
  size_t rate_;
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<size_t> served_{0};
  std::atomic<size_t> expire_at_{SIZE_MAX};
  std::mutex mutex_;
  std::chrono::steady_clock::time_point next_{};
  std::vector<std::string> ranges_, cookies_;
};

}  // namespace korvath::testing
