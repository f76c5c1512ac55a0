// GLib's own warnings reach the problem log, masked like everything there.
#include "shell/glib-warnings.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "harness/korvath-harness.h"
#include "platform/problem-log.h"

namespace korvath::testing {
namespace {

TEST(GlibWarnings, WarningsAndCriticalsAreWrittenOtherMessagesAreNot) {
  const std::string dir = MakeTempDir("glib-warnings");
  auto problems = std::make_shared<ProblemLog>(dir, "korvath.log");
  problems->TreatAsSecret("c0ffee-secret");
  ForwardGlibWarnings(problems);
  g_log("Gtk", G_LOG_LEVEL_WARNING, "cannot draw: token:c0ffee-secret");
  g_log("WebKit", G_LOG_LEVEL_CRITICAL, "assertion 'view' failed");
  g_log("Gtk", G_LOG_LEVEL_MESSAGE, "an ordinary message");
  std::ifstream in(dir + "/korvath.log");
  std::stringstream text;
  text << in.rdbuf();
  const std::string log = text.str();
  EXPECT_NE(log.find(" warning Gtk: cannot draw: token:[hidden]\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" critical WebKit: assertion 'view' failed\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("ordinary"), std::string::npos) << log;
  EXPECT_EQ(log.find("c0ffee"), std::string::npos) << log;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath::testing
