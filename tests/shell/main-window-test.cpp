// The main window as the user meets it: template geometry, the app page and
// its two buttons, the one-instance rule.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <nlohmann/json.hpp>

#include "harness/korvath-harness.h"
#include "shell/main-window.h"
#include "shell/running-korvath.h"
#include "support/recording-server.h"
#include "webview/web-engine.h"

namespace korvath::testing {
namespace {

const char* kAppPage =
    "<!DOCTYPE html><html><head><meta charset='utf-8'><title>app</title></head>"
    "<body><h1>share app</h1><iframe src='/frame.html'></iframe></body></html>";

std::unique_ptr<RecordingServer> AppServer() {
  auto server = std::make_unique<RecordingServer>();
  server->SetResponder([](const RecordedRequest& r) {
    if (r.Target().rfind("/app/", 0) == 0)
      return Reply::Ok(kAppPage, {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    if (r.Target() == "/frame.html")
      return Reply::Ok("<p>frame</p>", {"Content-Type: text/html", "Cache-Control: no-store"});
    return Reply::Ok("", {}, "404 Not Found");
  });
  return server;
}

// An address on a port nobody listens on: one is bound, then freed.
std::string UnreachableAddress(const std::string& path) {
  int port;
  {
    RecordingServer probe;
    port = probe.Port();
  }
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

std::size_t AppRequests(const RecordingServer& server) {
  std::size_t n = 0;
  for (auto& r : server.Requests())
    if (r.Method() == "GET" && r.Target() == "/app/") ++n;
  return n;
}

TEST(MainWindow, OpensCentredAtTemplateSizeWithTheAppPageAndButtonsWork) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto server = AppServer();
  KorvathProcess korvath({{"KORVATH_APP_URL", server->Url("/app/")}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main) << korvath.Output();
  XRect g = x.Geometry(*main);
  EXPECT_EQ(g.width, 590);
  EXPECT_EQ(g.height, 709);
  EXPECT_EQ(g.left, (x.ScreenWidth() - 590) / 2);
  EXPECT_EQ(g.top, (x.ScreenHeight() - 709) / 2);

  ASSERT_TRUE(WaitUntil([&] { return AppRequests(*server) >= 1; }, 15000));
  // The page's own frame is requested too: the page really loaded.
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (auto& r : server->Requests())
          if (r.Target() == "/frame.html") return true;
        return false;
      },
      15000));
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}));
  Screenshot(*main, "main-window");

  // Home asks for the app address again although it is on screen already.
  std::size_t before = AppRequests(*server);
  ClickAt(*main, 264 + 32, 16 + 12);
  EXPECT_TRUE(WaitUntil([&] { return AppRequests(*server) > before; }, 10000)) << "Home";

  // Refresh reloads the page shown.
  before = AppRequests(*server);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ClickAt(*main, 344 + 32, 16 + 12);
  EXPECT_TRUE(WaitUntil([&] { return AppRequests(*server) > before; }, 10000)) << "Refresh";
}

// A web view asks for its page's whole height; a page far taller than the
// window must scroll inside it, not stretch the window past the screen.
TEST(MainWindow, KeepsTemplateSizeUnderAPageTallerThanTheScreen) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  RecordingServer app;
  app.SetDefault(
      Reply::Ok("<!DOCTYPE html><html><body><div style='height:4000px'>tall</div>"
                "<button style='width:100%'>end</button></body></html>",
                {"Content-Type: text/html", "Cache-Control: no-store"}));
  KorvathProcess korvath({{"KORVATH_APP_URL", app.Url("/app/")}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main);
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}));
  ASSERT_TRUE(WaitUntil([&] { return !app.Requests().empty(); }, 10000));
  // The page is served; the window may only change while it is laid out.
  EXPECT_FALSE(WaitUntil(
      [&] {
        XRect g = x.Geometry(*main);
        return g.width != 590 || g.height != 709;
      },
      3000))
      << x.Geometry(*main).width << "x" << x.Geometry(*main).height;
}

TEST(MainWindow, ShowsItsOwnPageNamingTheAddressWhenTheAppCannotBeReached) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  const std::string url = UnreachableAddress("/app/");
  KorvathProcess korvath({{"KORVATH_APP_URL", url}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main);
  ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}));
  // The stand-in page is drawn by the web process; give it a moment, then
  // check it by its pixels being there at all (not a blank white view).
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Screenshot(*main, "main-window-unreachable");
  const double darkest = GrayStatistic(*main, 16, 80, 560, 40, "minima");
  ASSERT_GE(darkest, 0);
  EXPECT_LT(darkest, 0.5) << "no dark text where the stand-in page's heading is";
}

TEST(MainWindow, SecondStartRaisesTheRunningWindowAndEnds) {
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
    GTEST_SKIP() << "one instance is kept through the session bus";
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto server = AppServer();
  KorvathProcess first({{"KORVATH_APP_URL", server->Url("/app/")}});
  ASSERT_TRUE(x.WaitFor(first.pid(), "Korvath - Fenlow"));
  ASSERT_TRUE(first.WaitForEvent("startup_step", {{"step", "ready"}}));
  KorvathProcess second({{"KORVATH_APP_URL", server->Url("/app/")}});
  EXPECT_EQ(second.WaitExit(15000), 0);
  EXPECT_TRUE(first.WaitForEvent("window", {{"name", "main"}, {"action", "raised"}}, 5000));
  EXPECT_TRUE(second.EventsNamed("aria2_started").empty()) << "a second aria2 was started";
  EXPECT_FALSE(x.Find(second.pid(), "Korvath - Fenlow"));
}

TEST(Options, HelpAndVersionNameEveryVariableAndExitCleanly) {
  std::string help = RunCommand(KorvathProcess::Program() + " --help");
  for (const char* name : {"KORVATH_APP_URL", "KORVATH_NOTICE_URL", "KORVATH_STORAGE_BASE", "KORVATH_ARIA2C",
                           "KORVATH_ARIANG", "KORVATH_EVENT_LOG", "KORVATH_DIALOGS"})
    EXPECT_NE(help.find(name), std::string::npos) << name;
  EXPECT_NE(RunCommand(KorvathProcess::Program() + " --version").find("korvath "), std::string::npos);
  EXPECT_NE(std::system((KorvathProcess::Program() + " --bogus >/dev/null 2>&1").c_str()), 0);
}

}  // namespace
}  // namespace korvath::testing

namespace korvath::testing {
namespace {

// Grey-level spread of a rectangle of the window: 0 for one flat colour.
double Spread(Window w, int left, int top, int width, int height) {
  return GrayStatistic(w, left, top, width, height, "standard_deviation");
}

class LoadingOverlay : public RunningKorvath {};

TEST_F(LoadingOverlay, ShowsWhileThePageLoadsAndGoesWhenItEnds) {
  // The page is slow to come: the overlay stays up meanwhile.
  Reply slow = Reply::Ok("<html><body></body></html>", {"Content-Type: text/html"});
  slow.delay_ms = 4000;
  app.SetDefault(slow);
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Screenshot(main, "main-window-loading");
  // "载入中……" is drawn where 标签1 lies, and the buttons stay readable above the cover.
  EXPECT_GT(Spread(main, 136, 264, 336, 144), 0.05);
  EXPECT_GT(Spread(main, 264, 16, 64, 24), 0.05);
  // The blank page has come: the label is gone.
  EXPECT_TRUE(WaitUntil([&] { return Spread(main, 136, 264, 336, 144) == 0; }, 10000));
}

// The stand-in page for an app that cannot be reached takes another address:
// typed into its field, saved to the settings file, opened at once and used
// again at the next start without any variable.
TEST(StandInPage, AnotherAddressIsSavedAndOpenedAtOnceAndAtTheNextStart) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  auto app = AppServer();
  RecordingServer notice;
  const std::string config = MakeTempDir("config");
  const std::string settings = config + "/korvath/settings.ini";
  {
    // No address at all: the default one never resolves.
    KorvathProcess korvath({{"KORVATH_NOTICE_URL", notice.Url("/n")}, {"XDG_CONFIG_HOME", config}});
    auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
    ASSERT_TRUE(main);
    ASSERT_TRUE(korvath.WaitForEvent("startup_step", {{"step", "ready"}}, 30000));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // The field lies under the page's text; its pixels show when it is drawn.
    ASSERT_TRUE(WaitUntil([&] { return Spread(*main, 40, 252, 500, 18) > 0.05; }, 10000));
    ClickAt(*main, 290, 261);
    PressKeys(*main, "ctrl+a BackSpace");
    RunCommand("xdotool type --delay 15 '" + app->Url("/app/") + "'");
    PressKeys(*main, "Return");
    EXPECT_TRUE(WaitUntil([&] { return AppRequests(*app) >= 1; }, 10000)) << "the new address was not opened";
    const std::string text = RunCommand("cat '" + settings + "'");
    EXPECT_NE(text.find("app-url=" + app->Url("/app/") + "\n"), std::string::npos) << text;
    EXPECT_EQ(fs::status(settings).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
  }
  KorvathProcess again({{"KORVATH_NOTICE_URL", notice.Url("/n")}, {"XDG_CONFIG_HOME", config}});
  EXPECT_TRUE(WaitUntil([&] { return AppRequests(*app) >= 2; }, 20000)) << "the saved address was not used";
  fs::remove_all(config);
}

// A load that fails after the app page is up is the share site's own (or a
// page's): the stand-in page, which offers to save an address, stays away
// and the share page stays on show.
TEST(StandInPage, ASharePageGoingToAnUnreachableAddressDoesNotBringItUp) {
  XDisplay x;
  ASSERT_TRUE(x.ok());
  const std::string dead = UnreachableAddress("/elsewhere/");
  RecordingServer app;
  app.SetResponder([&](const RecordedRequest& r) {
    if (r.Target().rfind("/app/", 0) == 0)
      return Reply::Ok(
          "<!DOCTYPE html><html><body style='background:#fff'><script>"
          "setTimeout(() => { location.href = '" +
              dead + "'; }, 1000);</script></body></html>",
          {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    return Reply::Ok("", {}, "404 Not Found");
  });
  RecordingServer notice;
  KorvathProcess korvath({{"KORVATH_APP_URL", app.Url("/app/")}, {"KORVATH_NOTICE_URL", notice.Url("/n")}});
  auto main = x.WaitFor(korvath.pid(), "Korvath - Fenlow");
  ASSERT_TRUE(main);
  // The page's request for the address reaches the intake, so it was made.
  ASSERT_TRUE(korvath.WaitForEvent("intake_request", {{"url", dead}}, 20000)) << korvath.Output();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  Screenshot(*main, "main-window-page-went-nowhere");
  // Where the stand-in page's heading would be, the white share page stays.
  const double darkest = GrayStatistic(*main, 16, 80, 560, 40, "minima");
  ASSERT_GE(darkest, 0);
  EXPECT_GT(darkest, 0.9) << "the stand-in page came up for the page's own failed load";
}

// The main window's page is a remote one: it reaches no settings handler,
// and the stand-in page's own one does not answer it, so nothing is written.
TEST(StandInPage, ARemotePageCannotChangeTheSettings) {
  RecordingServer app;
  app.SetResponder([](const RecordedRequest& r) {
    if (r.Target().rfind("/app/", 0) == 0)
      return Reply::Ok(R"HTML(<!DOCTYPE html><html><body><script>
        (async () => {
          const h = window.webkit && window.webkit.messageHandlers;
          const out = { settings: !!(h && h.korvathSettings), deleteFiles: !!(h && h.korvathDeleteFiles) };
          for (const key of ['', 'guess']) {
            try { out[key || 'none'] = await h.korvathAppUrl.postMessage({ key, url: 'http://127.0.0.1:9/evil/' }); }
            catch (e) { out[key || 'none'] = 'threw ' + e; }
          }
          fetch('/reply?' + encodeURIComponent(JSON.stringify(out)));
        })();
      </script></body></html>)HTML",
                       {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    return Reply::Ok("", {}, "204 No Content");
  });
  RecordingServer notice;
  const std::string config = MakeTempDir("config");
  KorvathProcess korvath({{"KORVATH_APP_URL", app.Url("/app/")},
                          {"KORVATH_NOTICE_URL", notice.Url("/n")},
                          {"XDG_CONFIG_HOME", config}});
  std::string reply;
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (auto& r : app.Requests())
          if (r.Target().rfind("/reply?", 0) == 0) reply = r.Target().substr(7);
        return !reply.empty();
      },
      20000))
      << "the page never reported";
  std::string decoded;
  for (std::size_t i = 0; i < reply.size(); ++i) {
    if (reply[i] == '%' && i + 2 < reply.size()) {
      decoded += static_cast<char>(std::stoi(reply.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += reply[i];
    }
  }
  const nlohmann::json out = nlohmann::json::parse(decoded, nullptr, false);
  ASSERT_TRUE(out.is_object()) << reply;
  EXPECT_EQ(out["settings"], false);
  EXPECT_EQ(out["deleteFiles"], false);
  // The stand-in page's handler answers only while its page is shown: the
  // remote page's messages never reach it, whatever key they carry.
  for (const char* key : {"none", "guess"}) {
    EXPECT_TRUE(out.contains(key) && out[key].is_null()) << out.dump();
  }
  EXPECT_FALSE(fs::exists(config + "/korvath/settings.ini"));
  fs::remove_all(config);
}

// The row of buttons when the desktop makes text half as large again
// (gtk-xft-dpi, as a desktop's text-scale setting or GDK_DPI_SCALE=1.5
// sets it): each button holds its caption whole and none covers the next;
// at the normal scale they keep the template's 64 x 24 rectangles.
TEST(MainWindowButtons, GrowWithTheTextScaleAndKeepTheTemplateAtTheNormalOne) {
  if (!gtk_init_check(nullptr, nullptr)) GTEST_SKIP() << "no display";
  GtkSettings* settings = gtk_settings_get_default();
  gint dpi_before = 0;
  g_object_get(settings, "gtk-xft-dpi", &dpi_before, nullptr);
  WebEngine engine;
  MainWindow window(nullptr, engine, "about:blank", {});
  gtk_widget_show_all(GTK_WIDGET(window.window()));
  const char8_t* row[] = {u8"按钮_首页", u8"按钮_刷新", u8"按钮_下载管理", u8"按钮_关于"};
  auto settle = [] {
    for (int i = 0; i < 50; ++i) {
      while (gtk_events_pending()) gtk_main_iteration();
      g_usleep(10 * 1000);
    }
  };
  auto at_scale = [&](double scale) {
    g_object_set(settings, "gtk-xft-dpi", static_cast<gint>(96 * 1024 * scale), nullptr);
    settle();
    std::vector<GdkRectangle> out;
    // Each overlay child has a window of its own: places are the window's.
    for (auto* name : row) {
      GdkRectangle a;
      gtk_widget_get_allocation(window.control(name), &a);
      gtk_widget_translate_coordinates(window.control(name), GTK_WIDGET(window.window()), 0, 0, &a.x, &a.y);
      out.push_back(a);
    }
    return out;
  };

  auto normal = at_scale(1.0);
  for (size_t i = 0; i < normal.size(); ++i) {
    EXPECT_EQ(normal[i].width, 64) << i;
    EXPECT_EQ(normal[i].height, 24) << i;
    EXPECT_EQ(normal[i].y, normal[0].y) << i;
    EXPECT_EQ(normal[i].x - normal[0].x, static_cast<int>(80 * i)) << i;
  }

  auto large = at_scale(1.5);
  for (size_t i = 0; i < large.size(); ++i) {
    GtkWidget* label = gtk_bin_get_child(GTK_BIN(window.control(row[i])));
    int text_w = 0, text_h = 0;
    pango_layout_get_pixel_size(gtk_label_get_layout(GTK_LABEL(label)), &text_w, &text_h);
    GdkRectangle shown;
    gtk_widget_get_allocation(label, &shown);
    EXPECT_GE(shown.width, text_w) << reinterpret_cast<const char*>(row[i]);
    EXPECT_GE(shown.height, text_h) << reinterpret_cast<const char*>(row[i]);
    EXPECT_GE(large[i].x, normal[i].x) << i;
    if (i > 0) {
      EXPECT_LE(large[i - 1].x + large[i - 1].width, large[i].x) << i;
    }
  }
  // The caption that spilled out of its button in the first place.
  EXPECT_GT(large[2].width, 64);

  EXPECT_EQ(at_scale(1.0)[3].width, 64);
  g_object_set(settings, "gtk-xft-dpi", dpi_before, nullptr);
}

}  // namespace
}  // namespace korvath::testing
