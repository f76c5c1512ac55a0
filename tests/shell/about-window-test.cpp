// The about window: its template geometry, that it keeps the main window
// from taking input while it is open, its title, the names a screen reader
// speaks for its pictures, and Escape closing it.
#include "shell/about-window.h"

#include <gtest/gtest.h>

#include <functional>

#include "shell/running-korvath.h"

namespace korvath::testing {
namespace {

class AboutWindow : public RunningKorvath {};

TEST_F(AboutWindow, OpensModalOverTheMainWindowAtTemplateSize) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());

  ClickAt(main, 504 + 32, 16 + 12);
  auto about = x.WaitFor(korvath->pid(), reinterpret_cast<const char*>(u8"关于 Korvath"));
  ASSERT_TRUE(about) << "no window titled 关于 Korvath";
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

  // Opened again, Escape closes it (the text inside has the focus).
  ClickAt(main, 504 + 32, 16 + 12);
  about = x.WaitFor(korvath->pid(), reinterpret_cast<const char*>(u8"关于 Korvath"));
  ASSERT_TRUE(about);
  PressKeys(*about, "Escape");
  auto closings = [&] {
    return korvath->EventsNamed("window", {{"name", "about"}, {"action", "closed"}}).size();
  };
  EXPECT_TRUE(WaitUntil([&] { return closings() == 2; }, 5000)) << "Escape did not close the about window";
}

GtkWidget* FindNamed(GtkWidget* widget, const char* name) {
  if (g_strcmp0(gtk_widget_get_name(widget), name) == 0) return widget;
  if (!GTK_IS_CONTAINER(widget)) return nullptr;
  GtkWidget* found = nullptr;
  GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
  for (GList* c = children; c && !found; c = c->next) found = FindNamed(GTK_WIDGET(c->data), name);
  g_list_free(children);
  return found;
}

TEST(AboutWindowContents, PicturesAreNamedAndTheProgramShowsItsVersionAndLicence) {
  if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
  GtkWindow* about = BuildAboutWindow(nullptr);
  GtkWidget* root = GTK_WIDGET(about);
  for (auto [control, spoken] :
       {std::pair{u8"图片框1", u8"微信支付收款码"}, std::pair{u8"图片框2", u8"支付宝收款码"}}) {
    GtkWidget* picture = FindNamed(root, reinterpret_cast<const char*>(control));
    ASSERT_TRUE(picture);
    EXPECT_STREQ(atk_object_get_name(gtk_widget_get_accessible(picture)),
                 reinterpret_cast<const char*>(spoken));
  }
  GtkWidget* identity = FindNamed(root, "about-identity");
  ASSERT_TRUE(identity);
  const std::string line = gtk_label_get_text(GTK_LABEL(identity));
  EXPECT_NE(line.find("Korvath " KORVATH_VERSION), std::string::npos) << line;
  EXPECT_NE(line.find(reinterpret_cast<const char*>(u8"GNU GPL 第 3 版或更高版本")), std::string::npos)
      << line;
  const std::string markup = gtk_label_get_label(GTK_LABEL(identity));
  EXPECT_NE(markup.find("href=\"https://"), std::string::npos) << markup;
  gtk_widget_destroy(root);
}

}  // namespace
}  // namespace korvath::testing
