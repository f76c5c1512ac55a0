// The logs a user can send, as the running program keeps them: its own
// warnings and aria2's log, side by side in the state folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "shell/running-korvath.h"

namespace korvath::testing {
namespace {

class KorvathLogs : public RunningKorvath {};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST_F(KorvathLogs, AProblemAtStartIsWrittenBesideAria2sLog) {
  const std::string state = MakeTempDir("logs-state");
  const std::string folder = state + "/korvath";
  fs::create_directories(folder);
  // A record of unfinished downloads that is not JSON: set aside with a warning.
  std::ofstream(folder + "/session.json") << "{ not a record";
  ASSERT_NO_FATAL_FAILURE(StartKorvath({{"XDG_STATE_HOME", state}}));

  const std::string log = folder + "/korvath.log";
  EXPECT_TRUE(WaitUntil(
      [&] { return ReadAll(log).find(" warning session_record_bad ") != std::string::npos; }, 10000))
      << ReadAll(log);
  // aria2 writes its own log there, made a plain file of the user's alone
  // before aria2 was started.
  struct stat info {};
  ASSERT_EQ(::lstat((folder + "/aria2.log").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  fs::remove_all(state);
}

}  // namespace
}  // namespace korvath::testing
