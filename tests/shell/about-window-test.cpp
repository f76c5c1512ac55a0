// The about window: its template geometry and that it keeps the main window
// from taking input while it is open.
#include <gtest/gtest.h>

#include "shell/running-korvath.h"

namespace korvath::testing {
namespace {

class AboutWindow : public RunningKorvath {};

TEST_F(AboutWindow, OpensModalOverTheMainWindowAtTemplateSize) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());

  ClickAt(main, 504 + 32, 16 + 12);
  auto about = x.WaitFor(korvath->pid(), "");
  ASSERT_TRUE(about) << "no untitled window";
  XRect g = x.Geometry(*about);
  EXPECT_EQ(g.width, 630);
  EXPECT_EQ(g.height, 550);
  EXPECT_EQ(g.left, (x.ScreenWidth() - 630) / 2);
  EXPECT_EQ(g.top, (x.ScreenHeight() - 550) / 2);
  EXPECT_EQ(x.TransientFor(*about), main);
  auto states = x.States(*about);
  EXPECT_NE(std::find(states.begin(), states.end(), "_NET_WM_STATE_MODAL"), states.end());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  Screenshot(*about, "about-window");
  // Both pictures are drawn: neither half of the picture band is one flat colour.
  for (int left : {0, 312}) {
    EXPECT_GT(GrayStatistic(*about, left, 0, 312, 424, "standard_deviation"), 0.05) << "picture at " << left;
  }

  // Modal: a click on Home does not reach the main window.
  auto app_requests = [&] {
    size_t n = 0;
    for (auto& r : app.Requests())
      if (r.Target() == "/app/") ++n;
    return n;
  };
  MoveWindow(*about, 900, 100);  // uncover the button strip
  ASSERT_TRUE(WaitUntil([&] { return x.Geometry(*about).left == 900; }, 5000));
  const size_t before = app_requests();
  ClickAt(main, 264 + 32, 16 + 12);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(app_requests(), before) << "Home worked while the about window was open";

  // Closed, the main window answers again.
  x.RequestClose(*about);
  ASSERT_TRUE(korvath->WaitForEvent("window", {{"name", "about"}, {"action", "closed"}}, 5000));
  ClickAt(main, 264 + 32, 16 + 12);
  EXPECT_TRUE(WaitUntil([&] { return app_requests() > before; }, 10000));
}

}  // namespace
}  // namespace korvath::testing
