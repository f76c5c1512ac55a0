#include "manager-page/file-server.h"

#include <chrono>
#include <string>

#include <httplib.h>

namespace korvath::testing {

FileServer::FileServer() : server_(std::make_unique<httplib::Server>()) {
  // Every slow download holds a worker for its whole life.
  server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
  // No keep-alive: a stopping server must not wait for idle connections.
  server_->set_keep_alive_max_count(1);
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++requests_[req.path];
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server_->Get(R"(/slow/.*)", [this](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(kSlowSize, "application/octet-stream",
                             [this](size_t offset, size_t length, httplib::DataSink& sink) {
                               if (stopping_) return false;
                               // 16 KiB per 100 ms: about 160 KiB/s, a visible speed and progress.
                               std::this_thread::sleep_for(std::chrono::milliseconds(100));
                               const std::string chunk(std::min<size_t>(length, 16 * 1024), 'k');
                               (void)offset;
                               return !stopping_ && sink.write(chunk.data(), chunk.size());
                             });
  });
  server_->Get(R"(/fast/.*)", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(kFastSize, 'f'), "application/octet-stream");
  });
  server_->Get(R"(/missing/.*)", [](const httplib::Request&, httplib::Response& res) {
    res.status = 404;
    res.set_content("not here", "text/plain");
  });

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) {
    port_ = 0;
    return;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

FileServer::~FileServer() {
  stopping_ = true;
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string FileServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int FileServer::Requests(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = requests_.find(path);
  return it == requests_.end() ? 0 : it->second;
}

}  // namespace korvath::testing
