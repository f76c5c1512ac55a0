// Where the main window and the manager go: the rule on screens of every
// size, then the real program on a laptop's screen and on one at a scale of 2.
#include "shell/window-placement.h"

#include <gtest/gtest.h>

#include "harness/korvath-harness.h"
#include "support/private-screen.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

constexpr Rect kMain{0, 0, 590, 709};
constexpr Rect kManager{0, 0, 846, 509};

Rect At(Rect r, int left, int top) {
  r.left = left;
  r.top = top;
  return r;
}

TEST(WindowPlacement, BesideWhereBothFitElseAtTheEdgesAndNeverPastOne) {
  // Wide enough: the usual place, a band of 200 pixels to the right.
  const Rect wide{0, 0, 1920, 1080};
  EXPECT_EQ(MainLeftForManager(At(kMain, 665, 185), kManager, wide), 284);
  EXPECT_EQ(DockedManager(At(kMain, 284, 185), kManager, wide), At(kManager, 874, 185));
  // A laptop (1366) and a 2,560-pixel screen at a scale of 2 (1280): the main
  // window at the left edge, the manager at the right one, over a strip of it
  // below its buttons.
  for (const Rect& small : {Rect{0, 0, 1366, 740}, Rect{0, 0, 1280, 720}}) {
    SCOPED_TRACE(small.width);
    EXPECT_EQ(MainLeftForManager(At(kMain, 388, 15), kManager, small), 0);
    EXPECT_EQ(DockedManager(At(kMain, 0, 15), kManager, small), At(kManager, small.width - 846, 65));
  }
  // A second monitor to the right, with a panel on top.
  const Rect second{1920, 32, 1920, 1048};
  EXPECT_EQ(MainLeftForManager(At(kMain, 2500, 100), kManager, second), 1920 + 284);
  // The user drags the main window to the bottom-right corner.
  EXPECT_EQ(DockedManager(At(kMain, 1700, 900), kManager, wide), At(kManager, 1920 - 846, 1080 - 509));
}

TEST(WindowPlacement, AWindowLargerThanTheWorkAreaKeepsItsTitleBarOnIt) {
  const Rect work{0, 28, 800, 600};
  EXPECT_EQ(KeptInside(At(kMain, -300, -50), work), At(kMain, 0, 28));
  EXPECT_EQ(KeptInside(At(kMain, 500, 400), work), At(kMain, 210, 28));
}

struct Screen {
  int width, height, scale;
};

class SmallScreens : public ::testing::TestWithParam<Screen> {};

TEST_P(SmallScreens, BothWindowsStayOnTheScreenAndTheManagerDocksEachTimeItOpens) {
  const auto [width, height, scale] = GetParam();
  PrivateScreen screen(width, height);
  ASSERT_TRUE(screen.ok()) << "Xvfb did not start";
  XDisplay x;
  ASSERT_TRUE(x.ok());
  RecordingServer app, notice;
  app.SetDefault(Reply::Ok("<html><body>app</body></html>", {"Content-Type: text/html"}));
  notice.SetDefault(Reply::Ok("", {"Content-Type: text/plain; charset=utf-8"}));
  KorvathProcess korvath({{"KORVATH_APP_URL", app.Url("/app/")},
                          {"KORVATH_NOTICE_URL", notice.Url("/getpassword")},
                          {"GDK_SCALE", std::to_string(scale)}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main) << korvath.Output();
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}})) << korvath.Output();
  auto on_screen = [&](Window w) {
    XRect g = x.Geometry(w);
    return g.left >= 0 && g.top >= 0 && g.left + g.width <= width && g.top + g.height <= height;
  };
  EXPECT_TRUE(on_screen(*main));

  const std::string title = reinterpret_cast<const char*>(u8"下载管理");
  for (int opening = 1; opening <= 2; ++opening) {
    SCOPED_TRACE(opening);
    ClickAt(*main, (424 + 32) * scale, (16 + 12) * scale);
    auto manager = x.WaitFor(korvath.pid(), title);
    ASSERT_TRUE(manager);
    // Main at the left edge, the manager at the right edge, below the main
    // window's buttons.
    EXPECT_TRUE(WaitUntil(
        [&] {
          XRect m = x.Geometry(*main), d = x.Geometry(*manager);
          return m.left == 0 && d.left + d.width == width && d.top == m.top + 50 * scale;
        },
        5000));
    XRect m = x.Geometry(*main), d = x.Geometry(*manager);
    std::printf("%dx%d at scale %d: main %d,%d %dx%d; manager %d,%d %dx%d\n", width, height, scale, m.left,
                m.top, m.width, m.height, d.left, d.top, d.width, d.height);
    EXPECT_TRUE(on_screen(*main));
    EXPECT_TRUE(on_screen(*manager));
    ClickAt(*main, (424 + 32) * scale, (16 + 12) * scale);
    ASSERT_TRUE(WaitUntil([&] { return !x.Find(korvath.pid(), title); }, 5000));
  }
}

INSTANTIATE_TEST_SUITE_P(LaptopAndScaleTwo, SmallScreens,
                         ::testing::Values(Screen{1366, 768, 1}, Screen{2560, 1440, 2}),
                         [](const auto& info) { return "w" + std::to_string(info.param.width); });

}  // namespace
}  // namespace korvath::testing
