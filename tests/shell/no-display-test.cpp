// Started where there is no X display, the program says so in a sentence a
// user can act on, in Chinese and English, and fails.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "harness/korvath-harness.h"

namespace korvath::testing {
namespace {

struct Ended {
  int code = -1;
  std::string stderr_text;
};

Ended RunWithout(const std::string& environment) {
  const std::string program = BuildDir() + "/src/shell/korvath";
  // Output goes only to stderr; stdout is dropped so that it cannot pass for it.
  const std::string command =
      "env -u DISPLAY -u WAYLAND_DISPLAY " + environment + " timeout 20 '" + program + "' 2>&1 >/dev/null";
  Ended ended;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return ended;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) ended.stderr_text.append(buffer, n);
  const int status = pclose(pipe);
  if (status != -1 && WIFEXITED(status)) ended.code = WEXITSTATUS(status);
  return ended;
}

TEST(NoDisplay, SaysWhatIsMissingInBothLanguagesAndFails) {
  const Ended plain = RunWithout("");
  EXPECT_EQ(plain.code, 1) << plain.stderr_text;
  EXPECT_NE(plain.stderr_text.find(reinterpret_cast<const char*>(u8"无法打开图形界面（没有设置 DISPLAY）")),
            std::string::npos)
      << plain.stderr_text;
  EXPECT_NE(plain.stderr_text.find("cannot open a display (DISPLAY is not set)"), std::string::npos);
  EXPECT_NE(plain.stderr_text.find("XWayland"), std::string::npos);
  // Not GTK's own line only.
  EXPECT_EQ(plain.stderr_text.find("Gtk-WARNING"), std::string::npos) << plain.stderr_text;

  // A Wayland session without XWayland is told to enable it.
  const Ended wayland = RunWithout("WAYLAND_DISPLAY=wayland-korvath-test");
  EXPECT_EQ(wayland.code, 1);
  EXPECT_NE(
      wayland.stderr_text.find(reinterpret_cast<const char*>(u8"这是 Wayland 会话，请安装并启用 XWayland")),
      std::string::npos)
      << wayland.stderr_text;
}

}  // namespace
}  // namespace korvath::testing
