// Nobody but Korvath drives the aria2 it starts: without the secret, with a
// wrong one, from another web origin or through the GET form of JSON-RPC, no
// task is added and no option changes; aria2 listens on loopback only; and
// the secret appears in no log and no file Korvath writes.
#include <gtest/gtest.h>

#include <set>

#include <curl/curl.h>

#include "engine/aria2-bootstrap.h"
#include "engine/aria2-home.h"
#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/rpc-client.h"
#include "engine/session-record.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

struct RawReply {
  long status = 0;
  std::string body;
};

// One request to aria2 exactly as a stranger would send it.
RawReply Send(const std::string& url, const std::string& body, const std::vector<std::string>& headers) {
  CURL* curl = curl_easy_init();
  RawReply reply;
  curl_slist* list = nullptr;
  for (const std::string& header : headers) list = curl_slist_append(list, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (!body.empty()) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 3000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t size, size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
      });
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return reply;
}

std::string Base64(const std::string& bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18 & 63];
    out += kAlphabet[v >> 12 & 63];
    out += i + 1 < bytes.size() ? kAlphabet[v >> 6 & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

class RpcAccess : public testing::Aria2Test {
 protected:
  void SetUp() override {
    testing::Aria2Test::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(StartAria2(*desktop, state,
                           {.cookie = "Zorbit",
                            .program_dir = program_dir.string(),
                            .output_log = (log_dir / "aria2.out").string()}))
        << desktop->BoxTexts();
    ASSERT_TRUE(SetGlobalOptions(*desktop, state)) << desktop->BoxTexts();
  }

  // Tasks aria2 holds in any state, asked with the secret.
  // Distinct tasks: one may move from the active list to the stopped one
  // between the two questions (a refused download fails within a second).
  size_t TaskCount() {
    std::set<std::string> gids;
    for (auto [method, params] :
         {std::pair{"aria2.tellActive", nlohmann::json::array({nlohmann::json::array({"gid"})})},
          std::pair{"aria2.tellWaiting", nlohmann::json{0, 100, {"gid"}}},
          std::pair{"aria2.tellStopped", nlohmann::json{0, 100, {"gid"}}}}) {
      const nlohmann::json reply = testing::Aria2Call(state, method, params);
      for (const nlohmann::json& task : reply.value("result", nlohmann::json::array()))
        gids.insert(task.value("gid", ""));
    }
    return gids.size();
  }
  std::string GlobalOption(const std::string& name) {
    return testing::Aria2Call(state, "aria2.getGlobalOption")["result"].value(name, "");
  }
};

const std::string kEndpoint = "http://127.0.0.1:6800/jsonrpc";

TEST_F(RpcAccess, StrangersCannotAddATaskOrChangeAnOption) {
  ASSERT_EQ(GlobalOption("max-concurrent-downloads"), "3");
  // aria2 answers every refused call only after a pause (about 2 s, against
  // guessing), so each origin is tried with one kind of wrong token.
  const std::vector<std::pair<std::vector<std::string>, std::string>> strangers = {
      {{}, ""},
      {{"Origin: http://evil.example"}, "token:wrong"},
      {{"Origin: null"}, "token:"},
      {{"Origin: http://127.0.0.1:6800"}, "token:" + state.rpc_secret.substr(0, 31)}};
  int refused = 0;
  for (const auto& [headers, token] : strangers) {
    nlohmann::json first = nlohmann::json::array();
    if (!token.empty()) first.push_back(token);
    nlohmann::json add = first;
    add.push_back({"http://127.0.0.1:1/evil.bin"});
    nlohmann::json change = first;
    change.push_back({{"max-concurrent-downloads", "9"}});
    for (const auto& [method, params] :
         {std::pair{"aria2.addUri", add}, std::pair{"aria2.changeGlobalOption", change}}) {
      nlohmann::json request{{"jsonrpc", "2.0"}, {"id", "x"}, {"method", method}, {"params", params}};
      RawReply reply = Send(kEndpoint, request.dump(), headers);
      auto parsed = nlohmann::json::parse(reply.body, nullptr, false);
      EXPECT_TRUE(!parsed.is_discarded() && parsed.contains("error"))
          << method << " " << token << " " << reply.body;
      ++refused;
    }
  }
  // A multicall checks each call on its own.
  nlohmann::json calls = nlohmann::json::array();
  calls.push_back({{"methodName", "aria2.addUri"}, {"params", {{"http://127.0.0.1:1/multi.bin"}}}});
  nlohmann::json multicall{
      {"jsonrpc", "2.0"}, {"id", "m"}, {"method", "system.multicall"}, {"params", {calls}}};
  RawReply by_multicall = Send(kEndpoint, multicall.dump(), {"Origin: http://evil.example"});
  EXPECT_NE(by_multicall.body.find("Unauthorized"), std::string::npos) << by_multicall.body;
  // The GET form a page can send with nothing but an image tag.
  const std::string params = Base64(R"([["http://127.0.0.1:1/img.bin"]])");
  RawReply by_get =
      Send(kEndpoint + "?method=aria2.addUri&id=g&params=" + params, "", {"Origin: http://evil.example"});
  EXPECT_NE(by_get.body.find("error"), std::string::npos) << by_get.body;

  EXPECT_EQ(refused, 8);
  EXPECT_EQ(TaskCount(), 0u);
  EXPECT_EQ(GlobalOption("max-concurrent-downloads"), "3");
  // Korvath itself still gets in.
  EXPECT_TRUE(CreateDownloadTask(
      *desktop, state, {.name = "ours.bin", .link = "http://127.0.0.1:1/ours.bin", .dir = "ZorbitDravenet"}));
  EXPECT_EQ(TaskCount(), 1u);
}

TEST_F(RpcAccess, Aria2ListensOnLoopbackOnly) {
  const auto listeners = ListenersOnPort(6800);
  ASSERT_FALSE(listeners.empty());
  for (const PortListener& listener : listeners) {
    EXPECT_TRUE(listener.address == "127.0.0.1" || listener.address == "::1") << listener.address;
    EXPECT_EQ(listener.pid, state.aria2_pid);
  }
}

TEST_F(RpcAccess, TheSecretIsInNoLogAndNoFileKorvathWrites) {
  ASSERT_EQ(state.rpc_secret.size(), 32u);
  ASSERT_TRUE(CreateDownloadTask(
      *desktop, state, {.name = "kept.bin", .link = "http://127.0.0.1:1/kept.bin", .dir = "ZorbitDravenet"}));
  PauseAll(*desktop, state);
  const fs::path record = log_dir / "state" / "session.json";
  ASSERT_TRUE(SaveSessionRecord(*desktop, state, record.string(), work_dir.string()).saved);

  EXPECT_EQ(desktop->RawLog().find(state.rpc_secret), std::string::npos);
  EXPECT_EQ(desktop->RawLog().find("rpc-secret"), std::string::npos);
  for (const fs::path& file : {program_dir / "aria2.conf", record}) {
    ASSERT_TRUE(fs::exists(file)) << file;
    EXPECT_EQ(testing::ReadFile(file).find(state.rpc_secret), std::string::npos) << file;
  }
  for (const auto& box : desktop->boxes) {
    EXPECT_EQ(box.text.find(state.rpc_secret), std::string::npos);
    EXPECT_EQ(box.caption.value_or("").find(state.rpc_secret), std::string::npos);
  }
}

}  // namespace
}  // namespace korvath
