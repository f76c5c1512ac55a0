// A loopback HTTP server for tests that records every request byte for byte
// and answers with scripted raw replies.
//
//   RecordingServer server;                       // 127.0.0.1, port picked by the system
//   server.Push(Reply::Ok("hello"));              // next answer; later ones repeat the default
//   ... HttpRequestWinInet({.url = server.Url("/x")}) ...
//   RecordedRequest r = server.Request(0);
//   EXPECT_EQ(r.request_line, "GET /x HTTP/1.1");
//   EXPECT_EQ(r.HeaderLines(), (std::vector<std::string>{"Host: 127.0.0.1:...", ...}));
//
// Raw sockets rather than a parsing server library, so header order, letter
// case and duplicates survive exactly as sent. Connections are kept open for
// further requests until the client closes them. Bodies are read by
// Content-Length (chunked request bodies are de-chunked and kept raw in
// `raw`). Anything that does not start like an HTTP request (a TLS hello, for
// one) is recorded as it arrives and the connection is closed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvath::testing {

struct RecordedRequest {
  std::string raw;                        // every byte received for this request
  std::string request_line;               // "POST /jsonrpc HTTP/1.1"
  std::vector<std::string> header_lines;  // in order, without CR LF
  std::string body;
  int connection = 0;  // 1-based accept count

  std::string Method() const;
  std::string Target() const;
  // Values of every header line whose name matches `name` without case.
  std::vector<std::string> Values(std::string_view name) const;
  // Header names in the order sent ("Host", "Accept", ...).
  std::vector<std::string> Names() const;
};

struct Reply {
  std::string raw;   // bytes written back as they stand
  int delay_ms = 0;  // wait before answering (or before closing)
  bool close_without_answer = false;
  bool close_after = false;  // close the connection after answering

  // "HTTP/1.1 <status>\r\n" + each extra line + Content-Length + body.
  static Reply Ok(std::string body, std::vector<std::string> header_lines = {},
                  std::string status = "200 OK");
  static Reply Close(int delay_ms = 0);
};

class RecordingServer {
 public:
  // Without a responder the server answers with pushed replies in turn and
  // then with the default reply (200 OK, body "ok").
  RecordingServer();
  ~RecordingServer();
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  int Port() const { return port_; }
  // "http://127.0.0.1:<port>" + path
  std::string Url(std::string_view path = "/") const;

  void Push(Reply reply);
  void SetDefault(Reply reply);
  // Computes each answer from the request; wins over pushed replies.
  void SetResponder(std::function<Reply(const RecordedRequest&)> responder);

  std::size_t Count() const;
  // The index-th request (0-based), waiting up to `wait` for it to arrive;
  // an empty record when it does not.
  RecordedRequest Request(std::size_t index,
                          std::chrono::milliseconds wait = std::chrono::milliseconds(2000)) const;
  std::vector<RecordedRequest> Requests() const;

 private:
  void AcceptLoop();
  void Serve(int fd, int connection);
  Reply NextReply(const RecordedRequest& request);

  int listen_fd_ = -1;
  int port_ = 0;
  bool stopping_ = false;
  mutable std::mutex mutex_;
  mutable std::condition_variable arrived_;
  std::vector<RecordedRequest> requests_;
  std::deque<Reply> pushed_;
  Reply default_reply_;
  std::function<Reply(const RecordedRequest&)> responder_;
  std::vector<int> open_fds_;
  // Connection threads run detached (a benchmark may open thousands); the
  // destructor waits until none is left.
  int active_workers_ = 0;
  std::condition_variable idle_;
  std::thread acceptor_;
};

}  // namespace korvath::testing
