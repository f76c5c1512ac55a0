// The log a user attaches to a report: what it takes from the event stream,
// what it never holds, and how it stays small.
#include "platform/problem-log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "engine/engine-fixture.h"
#include "platform/event-log.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ProblemLog, TakesWarningsAndErrorsOnlyAsOneLineEach) {
  const fs::path dir = fs::path(testing::MakeTempDir("korvath-problems")) / "state/korvath";
  EventLog log;  // no event log file: the problems are written all the same
  log.KeepProblemsIn(std::make_unique<ProblemLog>(dir.string(), "korvath.log"));
  log.Record("window", {{"name", std::string("main")}});
  log.Record("rpc", {{"method", std::string("aria2.tellActive")}, {"ok", true}});
  log.Record("rpc", {{"method", std::string("aria2.addUri")}, {"ok", false}});
  log.Record("task_failed", {{"name", Gbk(u8"文件.zip")}, {"detail", std::string("two\nlines")}});
  log.Record("message_box", {{"flags", std::int64_t{64}}, {"text", Gbk(u8"下载完成")}});
  log.Record("message_box", {{"flags", std::int64_t{16}}, {"text", Gbk(u8"aria2启动失败")}});
  log.Record("aria2_ended", {{"pid", std::int64_t{9}}, {"shutting_down", true}});

  const std::string text = Read(dir / "korvath.log");
  std::istringstream lines(text);
  std::vector<std::string> kept;
  for (std::string line; std::getline(lines, line);) kept.push_back(line);
  ASSERT_EQ(kept.size(), 3u) << text;
  EXPECT_NE(kept[0].find(" warning rpc {\"method\":\"aria2.addUri\",\"ok\":false}"), std::string::npos)
      << kept[0];
  EXPECT_NE(kept[1].find(reinterpret_cast<const char*>(u8" warning task_failed {\"name\":\"文件.zip\"")),
            std::string::npos)
      << kept[1];
  EXPECT_NE(kept[2].find(reinterpret_cast<const char*>(u8" error message_box")), std::string::npos)
      << kept[2];
  // The user's alone: it names files and links.
  struct stat info {};
  ASSERT_EQ(::stat((dir / "korvath.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(ProblemLog, NeverHoldsTheSecretOrCookies) {
  const fs::path dir = testing::MakeTempDir("korvath-problems");
  EventLog log;
  log.KeepProblemsIn(std::make_unique<ProblemLog>(dir.string(), "korvath.log"));
  const std::string secret = "5ec7e7a1b2c3d4e5f6a7b8c9d0e1f2a3";
  log.TreatAsSecret(secret);
  log.Record("message_box",
             {{"flags", std::int64_t{16}}, {"text", Text("rpc-secret=" + secret + " refused")}});
  log.Record("task_failed",
             {{"request", std::string("{\"params\":[\"token:") + secret + "\",[\"http://h/f\"]]}"},
              {"header", Text("Cookie: BDUSS=b4d55; STOKEN=st0ken")},
              {"options", std::string("header=cookie=PANWEB=pw1\nsplit=4")}});
  const std::string text = Read(dir / "korvath.log");
  EXPECT_EQ(text.find(secret), std::string::npos) << text;
  EXPECT_EQ(text.find("5ec7e7a1"), std::string::npos) << text;
  for (const char* cookie : {"b4d55", "st0ken", "pw1"})
    EXPECT_EQ(text.find(cookie), std::string::npos) << text;
  // What is around them stays, so the line still says what happened.
  EXPECT_NE(text.find("refused"), std::string::npos);
  EXPECT_NE(text.find("http://h/f"), std::string::npos);
  EXPECT_NE(text.find("split=4"), std::string::npos);
}

TEST(ProblemLog, StartsAfreshPastItsSizeKeepingThreeOlderFiles) {
  const fs::path dir = testing::MakeTempDir("korvath-problems");
  ProblemLog log(dir.string(), "korvath.log", {.max_bytes = 400, .kept = 3});
  for (int i = 0; i < 60; ++i)
    log.Write("warning", "line " + std::to_string(1000 + i) + std::string(40, '.'));
  for (const char* name : {"korvath.log", "korvath.log.1", "korvath.log.2", "korvath.log.3"}) {
    ASSERT_TRUE(fs::is_regular_file(dir / name)) << name;
    EXPECT_LE(fs::file_size(dir / name), 400u) << name;
  }
  EXPECT_FALSE(fs::exists(dir / "korvath.log.4"));
  // Newest in the current file, older ones further up, nothing cut in two.
  const std::string current = Read(dir / "korvath.log");
  EXPECT_NE(current.find("line 1059"), std::string::npos);
  EXPECT_TRUE(current.ends_with("\n"));
  EXPECT_LT(Read(dir / "korvath.log.3").substr(20, 30), Read(dir / "korvath.log.1").substr(20, 30));
}

TEST(ProblemLog, AFifoInItsPlaceIsNeverOpened) {
  const fs::path dir = testing::MakeTempDir("korvath-problems");
  ASSERT_EQ(::mkfifo((dir / "korvath.log").c_str(), 0600), 0);
  ProblemLog log(dir.string(), "korvath.log");
  log.Write("warning", "would wait for a reader forever");  // returns: the test ends
  EXPECT_TRUE(fs::is_fifo(dir / "korvath.log"));
  EXPECT_FALSE(fs::exists(dir / "korvath.log.1"));
}

}  // namespace
}  // namespace korvath
