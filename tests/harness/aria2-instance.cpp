#include "harness/aria2-instance.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include <httplib.h>

#include "harness/run-command.h"

namespace korvath::testing {

std::string RandomSecret() {
  std::random_device random;
  std::string secret;
  for (int i = 0; i < 16; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(random() & 0xff));
    secret += hex;
  }
  return secret;
}

SelfSignedCertificate::SelfSignedCertificate() {
  char tmpl[] = "/tmp/korvath-tls-XXXXXX";
  if (!mkdtemp(tmpl)) return;
  dir = tmpl;
  certificate = dir + "/cert.pem";
  key = dir + "/key.pem";
  RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.2 -keyout '" + key +
             "' -out '" + certificate + "' 2>/dev/null");
  const std::string out =
      RunCommand("openssl x509 -noout -fingerprint -sha256 -in '" + certificate + "' 2>/dev/null");
  const auto equals = out.find('=');
  if (equals != std::string::npos && out.size() >= equals + 96) fingerprint = out.substr(equals + 1, 95);
}

SelfSignedCertificate::~SelfSignedCertificate() {
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

std::vector<std::string> SelfSignedCertificate::Aria2Args() const {
  return {"--rpc-secure=true", "--rpc-certificate=" + certificate, "--rpc-private-key=" + key};
}

Aria2Instance::Aria2Instance(std::string secret, std::string dir, std::vector<std::string> extra_args)
    : secret_(std::move(secret)), dir_(std::move(dir)), extra_args_(std::move(extra_args)) {
  for (const auto& arg : extra_args_) secure_ = secure_ || arg == "--rpc-secure=true";
}

void Aria2Instance::ListenAt(std::string host, int port) {
  host_ = std::move(host);
  port_ = port;
}

std::string Aria2Instance::RpcUrl() const {
  return std::string(secure_ ? "https://" : "http://") + host_ + ":" + std::to_string(port_) + "/jsonrpc";
}

Aria2Instance::~Aria2Instance() { Stop(); }

namespace {

std::unique_ptr<httplib::Client> ClientFor(const std::string& host, int port, bool secure) {
  auto client = std::make_unique<httplib::Client>((secure ? "https://" : "http://") + host + ":" +
                                                  std::to_string(port));
  // The test's own self-signed certificate: the program under test is what
  // checks it, not this helper.
  client->enable_server_certificate_verification(false);
  return client;
}

bool PortAnswers(const std::string& host, int port, bool secure) {
  auto owned = ClientFor(host, port, secure);
  httplib::Client& client = *owned;
  client.set_connection_timeout(0, 300000);
  client.set_read_timeout(1, 0);
  return static_cast<bool>(client.Get("/"));
}

}  // namespace

bool Aria2Instance::Start(int timeout_ms) {
  if (pid_ > 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<std::string> args = {
      "aria2c",
      "--enable-rpc=true",
      "--rpc-listen-port=" + std::to_string(port_),
      "--rpc-secret=" + secret_,
      std::string("--rpc-listen-all=") + (host_ == "127.0.0.1" ? "false" : "true"),
      "--disable-ipv6=true",
      "--no-conf=true",
      "--quiet=true",
      "--dir=" + dir_,
      "--auto-save-interval=0",
      "--check-certificate=false",
  };
  args.insert(args.end(), extra_args_.begin(), extra_args_.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  while (std::chrono::steady_clock::now() < deadline) {
    if (PortAnswers(host_, port_, secure_)) {  // someone else's aria2 still holds the port
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      continue;
    }
    // A test killed by its time limit never reaches Stop(): its aria2 ends
    // with it instead of holding the port for every later test.
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      execvp("aria2c", argv.data());
      _exit(127);
    }
    pid_ = pid;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {  // lost the race for the port
        pid_ = -1;
        break;
      }
      nlohmann::json error;
      nlohmann::json version = Call("aria2.getVersion", nlohmann::json::array(), &error);
      if (version.is_object() && version.contains("version")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  Stop();
  return false;
}

void Aria2Instance::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  pid_ = -1;
}

nlohmann::json Aria2Instance::Call(const std::string& method, nlohmann::json params, nlohmann::json* error) {
  // system.* methods take no token (multicall carries one per call).
  nlohmann::json all = nlohmann::json::array();
  if (method.rfind("system.", 0) != 0) all.push_back("token:" + secret_);
  for (auto& p : params) all.push_back(p);
  const nlohmann::json request = {{"jsonrpc", "2.0"}, {"id", "test"}, {"method", method}, {"params", all}};
  auto owned = ClientFor(host_, port_, secure_);
  httplib::Client& client = *owned;
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(5, 0);
  auto reply = client.Post("/jsonrpc", request.dump(), "application/json");
  if (error) *error = nullptr;
  if (!reply) {
    if (error) *error = {{"message", "no answer"}};
    return nullptr;
  }
  nlohmann::json body = nlohmann::json::parse(reply->body, nullptr, false);
  if (body.is_discarded()) {
    if (error) *error = {{"message", "bad reply"}};
    return nullptr;
  }
  if (body.contains("error")) {
    if (error) *error = body["error"];
    return nullptr;
  }
  return body.value("result", nlohmann::json());
}

}  // namespace korvath::testing
