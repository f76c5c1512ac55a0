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

    struct sigaction ignore {}, old {};
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

}  // namespace
}  // namespace korvath
