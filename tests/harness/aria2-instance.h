// A real aria2c of the test's or benchmark's own: RPC on 127.0.0.1:6800 with
// a random secret, downloads into a temporary directory, and a small
// JSON-RPC client.
#pragma once

#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace korvath::testing {

// A random hex secret of 32 characters.
std::string RandomSecret();

// A self-signed certificate for 127.0.0.2 made by openssl in a temporary
// folder (removed again), and its SHA-256 fingerprint in openssl's own
// "AB:CD:..." form; an empty fingerprint when openssl made none.
struct SelfSignedCertificate {
  SelfSignedCertificate();
  ~SelfSignedCertificate();
  SelfSignedCertificate(const SelfSignedCertificate&) = delete;
  SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;
  // The aria2 arguments that serve RPC over TLS with it.
  std::vector<std::string> Aria2Args() const;

  std::string dir;
  std::string certificate;
  std::string key;
  std::string fingerprint;
};

class Aria2Instance {
 public:
  static constexpr int kPort = 6800;

  // Nothing runs until Start().
  Aria2Instance(std::string secret, std::string dir, std::vector<std::string> extra_args = {});

  // Before Start(): answer on `host`:`port` instead of 127.0.0.1:6800, as an
  // aria2 on another machine would (it then listens on every address).
  // "--rpc-secure=true" among the extra arguments makes calls use https
  // without checking the test's own certificate.
  void ListenAt(std::string host, int port);
  ~Aria2Instance();
  Aria2Instance(const Aria2Instance&) = delete;
  Aria2Instance& operator=(const Aria2Instance&) = delete;

  // Starts aria2c and waits until it answers with our secret. The port may
  // still be held by an aria2 another test run left behind; this waits (up
  // to timeout_ms) for it to be free rather than talking to a stranger.
  bool Start(int timeout_ms = 90000);
  // SIGTERM, then SIGKILL if it has not ended within 5 s; waits for the exit.
  void Stop();
  bool running() const { return pid_ > 0; }

  // One JSON-RPC call with our secret prepended (except system.* methods). The reply's "result", or
  // the reply's "error" object in *error (null on success).
  nlohmann::json Call(const std::string& method, nlohmann::json params = nlohmann::json::array(),
                      nlohmann::json* error = nullptr);

  const std::string& secret() const { return secret_; }
  const std::string& dir() const { return dir_; }
  pid_t pid() const { return pid_; }
  // "http://host:port/jsonrpc", or https with --rpc-secure.
  std::string RpcUrl() const;

 private:
  std::string secret_;
  std::string dir_;
  std::vector<std::string> extra_args_;
  std::string host_ = "127.0.0.1";
  int port_ = kPort;
  bool secure_ = false;
  pid_t pid_ = -1;
};

}  // namespace korvath::testing
