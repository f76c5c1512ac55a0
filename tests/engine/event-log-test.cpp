// The event log as its readers take it: one whole JSON object per line.
#include "platform/event-log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "engine/engine-fixture.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

// A write the file system takes only in part (a disk filling up; here a
// file-size limit) must not leave half a line for the next event to join.
TEST(EventLog, ALineTheFileCannotTakeWholeLeavesNoPartBehind) {
  const fs::path dir = testing::MakeTempDir("korvath-eventlog");
  const fs::path path = dir / "events.jsonl";
  {
    EventLog log(path.string());
    log.Record("first", {{"name", std::string("a")}});
    const auto before = fs::file_size(path);

    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old);
    rlimit limit{}, saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    limit = saved;
    limit.rlim_cur = before + 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    log.Record("cut", {{"name", std::string(200, 'x')}});
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &old, nullptr);

    log.Record("last", {{"name", std::string("b")}});
  }
  std::istringstream lines(testing::ReadFile(path));
  std::vector<std::string> events;
  for (std::string line; std::getline(lines, line);) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(event.is_discarded()) << line;
    events.push_back(event["event"]);
  }
  EXPECT_EQ(events, (std::vector<std::string>{"first", "last"}));
  fs::remove_all(dir);
}

// The log names every link the user downloads: only the user may read it,
// and a link planted where it goes cannot redirect it.
TEST(EventLog, IsTheUsersAloneAndNeverWrittenThroughALink) {
  const fs::path dir = testing::MakeTempDir("korvath-eventlog");
  const fs::path path = dir / "events.jsonl";
  const fs::path older = dir / "older.jsonl";
  testing::WriteFile(older, "");
  fs::permissions(
      older, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  const fs::path target = dir / "target";
  testing::WriteFile(target, "");
  fs::create_symlink(target, dir / "planted.jsonl");
  {
    EventLog fresh(path.string());
    EventLog old(older.string());
    EventLog planted((dir / "planted.jsonl").string());
    EXPECT_TRUE(fresh.enabled());
    EXPECT_TRUE(old.enabled());
    EXPECT_FALSE(planted.enabled());
    planted.Record("leak", {{"url", std::string("http://x/?bkt=1")}});
  }
  const auto owner_only = fs::perms::owner_read | fs::perms::owner_write;
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, owner_only);
  EXPECT_EQ(fs::status(older).permissions() & fs::perms::all, owner_only);
  EXPECT_EQ(testing::ReadFile(target), "");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath
