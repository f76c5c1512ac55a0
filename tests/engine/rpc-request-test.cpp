// Request bodies, addresses and the RPC client's answers and messages,
// checked against a loopback recording server.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "engine/download-task.h"
#include "engine/engine-fixture.h"
#include "engine/processes.h"
#include "engine/remote-aria2.h"
#include "engine/rpc-client.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

using testing::LoggingDesktop;
using testing::RecordingDesktop;
using testing::RecordingServer;
using testing::Reply;

EngineState StateWithSecret(int port = 6800) {
  return EngineState{.cookie_header = "Cookie: Zorbit",
                     .rpc_port = std::to_string(port),
                     .rpc_secret = "0123456789abcdef0123456789abcdef"};
}

// The values aria2 would see: the body must parse as JSON on its own.
nlohmann::json ParseBody(const std::string& body) {
  auto parsed = nlohmann::json::parse(body, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << body;
  return parsed;
}

TEST(RequestBodies, PlainValuesGiveTheTemplatesByteForByte) {
  EngineState state = StateWithSecret();
  state.rpc_secret.clear();
  EXPECT_EQ(
      GlobalOptionsBody(state, {}),
      R"({"jsonrpc":"2.0","method":"aria2.changeGlobalOption","id":1,"params":["token:",{"continue":"true",)"
      R"("auto-file-renaming":"false","follow-torrent":"false","split":"8","max-concurrent-downloads":"3",)"
      R"("max-connection-per-server":"8","user-agent":"LogStatistic","timeout":"1","connect-timeout":"1",)"
      R"("min-split-size":"1M"}]})");
  EXPECT_EQ(
      DownloadTaskBody(state,
                       {.name = Gbk(u8"报告.pdf"), .link = "http://h/f?bkt=1", .dir = "ZorbitDravenet"}),
      std::string(
          R"({"id":1,"jsonrpc":"2.0","method":"aria2.addUri","params":["token:",["http://h/f?bkt=1"],)") +
          R"({"dir":"ZorbitDravenet","header":"Cookie: Zorbit","max-tries":"5","out":")" +
          reinterpret_cast<const char*>(u8"报告.pdf") + R"("}]})");
}

TEST(RequestBodies, SecretGoesIntoEveryTokenParameter) {
  EngineState state = StateWithSecret();
  for (const std::string& body :
       {GlobalOptionsBody(state, {}), DownloadTaskBody(state, {.link = "http://h/"})}) {
    EXPECT_EQ(ParseBody(body)["params"][0], "token:0123456789abcdef0123456789abcdef");
  }
}

TEST(RequestBodies, QuotesBackslashesAndControlsInValuesStayInsideTheirStrings) {
  EngineState state = StateWithSecret();
  state.cookie_header = "Cookie: a=\"1\"\\";
  // A crafted name that, inserted raw, would close "out" and set "dir".
  Text name = "x\",\"dir\":\"/tmp/evil\",\"y\":\"\t";
  Text link = "http://h/a\"b\\c\n";
  auto body = ParseBody(DownloadTaskBody(state, {.name = name, .link = link, .dir = "ZorbitDravenet"}));
  EXPECT_EQ(body["params"][1][0], link);
  EXPECT_EQ(body["params"][2]["dir"], "ZorbitDravenet");
  EXPECT_EQ(body["params"][2]["header"], "Cookie: a=\"1\"\\");
  EXPECT_EQ(body["params"][2]["out"], "x\",\"dir\":\"_tmp_evil\",\"y\":\"");
  EXPECT_EQ(body["params"][2].size(), 4u);

  auto options = ParseBody(GlobalOptionsBody(state, {.user_agent = "UA \"quoted\" \\ end"}));
  EXPECT_EQ(options["params"][1]["user-agent"], "UA \"quoted\" \\ end");
}

TEST(RequestBodies, InsertedValuesAreNeverSubstitutedAgain) {
  EngineState state = StateWithSecret();
  // Each of these words is a placeholder of the template, in some letter case.
  Text link =
      "http://h/BDUSS/bduss/qzvtre/QZVTRE/" + Gbk(u8"任务") + "/" + Gbk(u8"目录") + "?x=" + Gbk(u8"文件名");
  Text name = Gbk(u8"任务") + "bduss" + Gbk(u8"目录");
  // The link is sent in the bytes it came in (system text), so the body is
  // not UTF-8 throughout and is checked as bytes.
  std::string body = DownloadTaskBody(state, {.name = name, .link = link, .dir = "ZorbitDravenet"});
  EXPECT_EQ(
      body,
      R"({"id":1,"jsonrpc":"2.0","method":"aria2.addUri","params":["token:0123456789abcdef0123456789abcdef",[")" +
          std::string(link) +
          R"("],{"dir":"ZorbitDravenet","header":"Cookie: Zorbit","max-tries":"5","out":")" +
          GbkToUtf8(name) + R"("}]})");

  Text user_agent = Gbk(u8"超时分段") + "qzvtre";
  std::string options = GlobalOptionsBody(state, {.user_agent = user_agent});
  EXPECT_NE(options.find(R"("user-agent":")" + user_agent + R"(",)"), std::string::npos);
  EXPECT_NE(options.find(R"("timeout":"1","connect-timeout":"1")"), std::string::npos);
}

TEST(SafeFileName, KeepsTheNameInsideTheDirectory) {
  EXPECT_EQ(SafeFileName("../../x"), ".._.._x");
  EXPECT_EQ(SafeFileName("/etc/passwd"), "_etc_passwd");
  EXPECT_EQ(SafeFileName("a\\b"), "a_b");
  EXPECT_EQ(SafeFileName("."), "");
  EXPECT_EQ(SafeFileName(".."), "");
  EXPECT_EQ(SafeFileName("..."), "...");
  EXPECT_EQ(SafeFileName("a\nb\x01\x7f"
                         "c\xc2\x85"
                         "d"),
            "abcd");
  EXPECT_EQ(SafeFileName(".\n."), "");  // the controls go first, then the check
  EXPECT_EQ(SafeFileName(reinterpret_cast<const char*>(u8"é报告 (1).zip")),
            reinterpret_cast<const char*>(u8"é报告 (1).zip"));
}

TEST(SafeFileName, ABackslashByteInsideAChineseCharacterSurvives) {
  // "乗" ends in byte 5C in system text; the name is judged in UTF-8.
  auto body = ParseBody(DownloadTaskBody(StateWithSecret(), {.name = Gbk(u8"乗.txt"), .link = "http://h/"}));
  EXPECT_EQ(body["params"][2]["out"], reinterpret_cast<const char*>(u8"乗.txt"));
}

TEST(Addresses, EachRequestGetsAThirteenDigitStampEndingIn000) {
  EngineState state = StateWithSecret();
  EXPECT_TRUE(std::regex_match(std::string(RpcEndpoint(state)),
                               std::regex(R"(http://127\.0\.0\.1:6800/jsonrpc\?tm=\d{13})")));
  Text stamp = UnixTimestampText();
  ASSERT_EQ(stamp.size(), 13u);
  EXPECT_TRUE(stamp.ends_with("000"));
  // Local wall clock counted from 08:00, as the original does.
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  long long expected = static_cast<long long>(timegm(&local)) - 8 * 3600;
  EXPECT_NEAR(std::stoll(std::string(stamp.substr(0, 10))), expected, 2);
}

class RpcClient : public ::testing::Test {
 protected:
  void SetUp() override {
    log_dir = testing::MakeTempDir("korvath-rpc");
    desktop = std::make_unique<LoggingDesktop>(log_dir / "events.jsonl");
    state = StateWithSecret(server.Port());
  }
  void TearDown() override { std::filesystem::remove_all(log_dir); }

  RecordingServer server;
  std::filesystem::path log_dir;
  std::unique_ptr<LoggingDesktop> desktop;
  EngineState state;
};

TEST_F(RpcClient, PostsTheBodyToAFreshAddressAndLogsTheCallWithoutTheSecret) {
  server.Push(Reply::Ok(R"({"id":1,"jsonrpc":"2.0","result":"OK"})"));
  EXPECT_TRUE(SetGlobalOptions(*desktop, state));
  auto request = server.Request(0);
  EXPECT_TRUE(std::regex_match(request.request_line, std::regex(R"(POST /jsonrpc\?tm=\d{10}000 HTTP/1\.1)")));
  EXPECT_EQ(request.body, GlobalOptionsBody(state, {}));
  EXPECT_TRUE(desktop->boxes.empty());

  auto calls = desktop->Events("rpc");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0]["method"], "aria2.changeGlobalOption");
  EXPECT_EQ(calls[0]["ok"], true);
  EXPECT_TRUE(calls[0]["ms"].is_number());
  EXPECT_EQ(desktop->Events("global_options_accepted").size(), 1u);
  EXPECT_EQ(desktop->RawLog().find(state.rpc_secret), std::string::npos);
}

TEST_F(RpcClient, OkMustAppearInCapitalsAnywhereInTheReply) {
  server.Push(Reply::Ok(R"({"error":{"message":"not OK at all"}})"));
  EXPECT_TRUE(SetGlobalOptions(*desktop, state));
  EXPECT_TRUE(desktop->boxes.empty());

  desktop->has_window = true;
  std::string lower = R"({"id":1,"result":"ok"})";
  server.Push(Reply::Ok(lower));
  EXPECT_FALSE(SetGlobalOptions(*desktop, state));
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text, Gbk(u8"aria2在修改配置时发生错误，详细信息：") + Utf8ToGbk(lower));
  EXPECT_EQ(desktop->boxes[0].caption, Gbk(u8"友情提醒"));
  EXPECT_EQ(desktop->boxes[0].flags, 0);
  EXPECT_TRUE(desktop->boxes[0].owned);
}

TEST_F(RpcClient, SilentAria2GetsOneRetryAfterHalfASecondThenTheFirewallNotice) {
  state.rpc_port = std::to_string(testing::UnusedPort());
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(SetGlobalOptions(*desktop, state));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
  EXPECT_EQ(desktop->delays, std::vector<int>{500});
  ASSERT_EQ(desktop->boxes.size(), 1u);
  EXPECT_EQ(desktop->boxes[0].text, Gbk(u8"初始化aria2的rpc服务失败，请检查您电脑的防火墙设置。"));
  EXPECT_EQ(desktop->boxes[0].caption, Gbk(u8"友情提醒"));
  auto calls = desktop->Events("rpc");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["ok"], false);
  EXPECT_EQ(calls[1]["ok"], false);
  EXPECT_TRUE(desktop->Events("global_options_accepted").empty());
}

TEST_F(RpcClient, TaskWithoutAReplyOrWithoutAResultShowsItsMessage) {
  DownloadTask task{.name = Gbk(u8"文件.bin"), .link = "http://127.0.0.1:1/x", .dir = "ZorbitDravenet"};
  std::string error = R"({"id":1,"jsonrpc":"2.0","error":{"code":1,"message":"Unauthorized"}})";
  server.Push(Reply::Ok(error));
  server.Push(Reply::Ok(R"({"id":1,"jsonrpc":"2.0","result":""})"));
  server.Push(Reply::Ok("not json"));
  server.Push(Reply::Ok(R"({"id":1,"jsonrpc":"2.0","result":"2089b05ecca3d829"})"));
  EXPECT_FALSE(CreateDownloadTask(*desktop, state, task));
  EXPECT_FALSE(CreateDownloadTask(*desktop, state, task));
  EXPECT_FALSE(CreateDownloadTask(*desktop, state, task));
  EXPECT_TRUE(CreateDownloadTask(*desktop, state, task));
  ASSERT_EQ(desktop->boxes.size(), 3u);
  EXPECT_EQ(desktop->boxes[0].text, Gbk(u8"无法创建下载任务，原始数据：") + Utf8ToGbk(error));
  EXPECT_EQ(RecordingDesktop::CaptionOf(desktop->boxes[0]), Gbk(u8"信息："));
  EXPECT_FALSE(desktop->boxes[0].owned);
  EXPECT_EQ(desktop->boxes[2].text, Gbk(u8"无法创建下载任务，原始数据：") + "not json");
  EXPECT_EQ(server.Request(3).body, DownloadTaskBody(state, task));

  auto created = desktop->Events("task_created");
  ASSERT_EQ(created.size(), 1u);
  EXPECT_EQ(created[0]["gid"], "2089b05ecca3d829");
  EXPECT_EQ(created[0]["name"], reinterpret_cast<const char*>(u8"文件.bin"));
  EXPECT_EQ(desktop->Events("task_failed").size(), 3u);

  state.rpc_port = std::to_string(testing::UnusedPort());
  EXPECT_FALSE(CreateDownloadTask(*desktop, state, task));
  ASSERT_EQ(desktop->boxes.size(), 4u);
  EXPECT_EQ(desktop->boxes[3].text, Gbk(u8"aria2的RPC服务不工作，请检查您电脑的防火墙设置。"));
  EXPECT_TRUE(desktop->delays.empty());  // no retry for tasks
}

// aria2 writes its replies in UTF-8; a box quoting one shows the same
// characters, never the UTF-8 bytes read as system text.
TEST_F(RpcClient, ChineseInAReplyReachesTheBoxAsAria2WroteIt) {
  auto utf8 = [](const char8_t* s) { return std::string(reinterpret_cast<const char*>(s)); };
  const std::string error =
      utf8(u8R"({"id":1,"jsonrpc":"2.0","error":{"code":1,"message":"文件 /下载/报告（终稿）.pdf 已存在"}})");
  server.Push(Reply::Ok(error));
  EXPECT_FALSE(CreateDownloadTask(*desktop, state, {.name = Gbk(u8"报告（终稿）.pdf"), .link = "http://h/"}));
  const std::string not_ok = utf8(u8R"({"id":1,"result":"选项无效"})");
  server.Push(Reply::Ok(not_ok));
  EXPECT_FALSE(SetGlobalOptions(*desktop, state));
  const std::string stranger = utf8(u8R"({"result":{"名称":"别的服务"}})");
  server.Push(Reply::Ok(stranger));
  EngineState remote;
  EXPECT_FALSE(ConnectRemoteAria2(*desktop, remote, {.rpc_url = server.Url("/jsonrpc")}));

  ASSERT_EQ(desktop->boxes.size(), 3u);
  EXPECT_EQ(GbkToUtf8(desktop->boxes[0].text), utf8(u8"无法创建下载任务，原始数据：") + error);
  EXPECT_EQ(GbkToUtf8(desktop->boxes[1].text), utf8(u8"aria2在修改配置时发生错误，详细信息：") + not_ok);
  EXPECT_EQ(GbkToUtf8(desktop->boxes[2].text),
            utf8(u8"地址") + server.Url("/jsonrpc") + utf8(u8"的回答不像aria2，原始数据：") + stranger);
}

TEST_F(RpcClient, PauseAllSendsItsTemplateAndShowsNothing) {
  PauseAll(*desktop, state);
  EXPECT_EQ(
      server.Request(0).body,
      R"({"jsonrpc":"2.0","method":"aria2.pauseAll","id":1,"params":["token:0123456789abcdef0123456789abcdef"]})");
  state.rpc_port = std::to_string(testing::UnusedPort());
  PauseAll(*desktop, state);
  EXPECT_TRUE(desktop->boxes.empty());
}

}  // namespace
}  // namespace korvath
