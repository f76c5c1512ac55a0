// The download-manager window: opening and closing from the main window's
// button, its place beside the main window, and the page it shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "harness/korvath-harness.h"
#include "shell/download-manager-window.h"
#include "shell/running-korvath.h"
#include "support/recording-server.h"

namespace korvath::testing {
namespace {

const std::string kManagerTitle = reinterpret_cast<const char*>(u8"下载管理");

class ManagerWindow : public RunningKorvath {
 protected:
  void ClickManagerButton() { ClickAt(main, 424 + 32, 16 + 12); }
  size_t Count(const std::string& action) const {
    return korvath->EventsNamed("window", {{"name", "download_manager"}, {"action", action}}).size();
  }
};

TEST_F(ManagerWindow, ButtonOpensClosesAndOpensAFreshWindowBesideTheMainOne) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  ClickManagerButton();
  auto manager = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(manager);
  XRect m = x.Geometry(*manager);
  EXPECT_EQ(m.width, 846);
  EXPECT_EQ(m.height, 509);
  // The main window makes room: screen − 846 − 590 − 200, and the manager
  // docks at its right edge (284 and 874 on a 1920-pixel screen).
  const int main_left = x.ScreenWidth() - 846 - 590 - 200;
  EXPECT_TRUE(WaitUntil(
      [&] { return x.Geometry(main).left == main_left && x.Geometry(*manager).left == main_left + 590; },
      5000))
      << "main at " << x.Geometry(main).left << ", manager at " << x.Geometry(*manager).left;
  EXPECT_EQ(x.Geometry(*manager).top, x.Geometry(main).top);
  if (x.ScreenWidth() == 1920) {
    EXPECT_EQ(x.Geometry(main).left, 284);
    EXPECT_EQ(x.Geometry(*manager).left, 874);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Screenshot(*manager, "download-manager");

  ClickManagerButton();
  EXPECT_TRUE(WaitUntil([&] { return !x.Find(korvath->pid(), kManagerTitle); }, 5000));
  EXPECT_EQ(Count("closed"), 1u);
  // Closing the manager leaves aria2 and its downloads alone.
  EXPECT_TRUE(ProcessAlive(korvath->Aria2Pid()));
  EXPECT_TRUE(korvath->EventsNamed("rpc", {{"method", "aria2.pauseAll"}}).empty());

  ClickManagerButton();
  auto again = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(again);
  EXPECT_NE(*again, *manager) << "the old window came back instead of a new one";
  EXPECT_EQ(Count("opened"), 2u);
}

TEST_F(ManagerWindow, FollowsTheMainWindowWhenItMoves) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  // Moving the main window while the manager is closed changes nothing else.
  MoveWindow(main, 100, 120);
  ASSERT_TRUE(WaitUntil([&] { return x.Geometry(main).left == 100; }, 5000));
  EXPECT_TRUE(korvath->EventsNamed("window", {{"name", "download_manager"}}).empty());

  ClickManagerButton();
  auto manager = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(manager);
  MoveWindow(main, 40, 60);
  EXPECT_TRUE(WaitUntil(
      [&] {
        XRect m = x.Geometry(*manager);
        return m.left == 40 + 590 && m.top == 60;
      },
      5000))
      << "manager at " << x.Geometry(*manager).left << "," << x.Geometry(*manager).top;
}

TEST_F(ManagerWindow, WhenTheMainWindowIsAlreadyInPlaceTheManagerStillDocksBesideIt) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  const int main_left = x.ScreenWidth() - 846 - 590 - 200;
  MoveWindow(main, main_left, 100);
  ASSERT_TRUE(WaitUntil([&] { return x.Geometry(main).left == main_left; }, 5000));
  ClickManagerButton();
  auto manager = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(manager);
  // It used to stay where it was made, centred, over the main window.
  EXPECT_TRUE(WaitUntil(
      [&] { return x.Geometry(*manager).left == main_left + 590 && x.Geometry(*manager).top == 100; }, 5000))
      << "manager at " << x.Geometry(*manager).left << "," << x.Geometry(*manager).top;
  EXPECT_TRUE(korvath->EventsNamed("window", {{"name", "main"}, {"action", "moved"}}).empty());
}

TEST_F(ManagerWindow, UserClosingTheManagerLeavesTheProgramRunning) {
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  ClickManagerButton();
  auto manager = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(manager);
  x.RequestClose(*manager);
  EXPECT_TRUE(WaitUntil([&] { return !x.Find(korvath->pid(), kManagerTitle); }, 5000));
  EXPECT_FALSE(korvath->WaitExit(1000).has_value());
  EXPECT_TRUE(x.Find(korvath->pid(), "Korvath - Fenlow"));
  // The button opens it again afterwards.
  ClickManagerButton();
  EXPECT_TRUE(x.WaitFor(korvath->pid(), kManagerTitle));
}

// Drags `url` from another program's window, shown at the screen's left
// edge, and drops it at (to_x, to_y) of the screen; returns once that window
// is gone (the drag over).
void DropLinkAt(const XDisplay& x, const std::string& url, int to_x, int to_y) {
  const int top = x.ScreenHeight() - 120;
  const std::string source =
      BuildDir() + "/tests/shell/korvath_drag_source '" + url + "' 0 " + std::to_string(top);
  FILE* helper = popen(source.c_str(), "r");
  ASSERT_NE(helper, nullptr);
  char line[16] = {};
  ASSERT_NE(fgets(line, sizeof line, helper), nullptr) << "the drag source never came up";
  auto at = [](int px, int py) { return std::to_string(px) + " " + std::to_string(py); };
  RunCommand("xdotool mousemove --sync " + at(50, top + 50) + " mousedown 1 sleep 0.2 mousemove " +
             at(70, top + 70) + " sleep 0.3 mousemove " + at(to_x, to_y) + " sleep 0.3 mousemove " +
             at(to_x + 10, to_y + 10) + " sleep 0.5 mouseup 1");
  pclose(helper);
}

// The manager view holds the settings handler: a link dropped on it must not
// open there. The same drop on the main window (an ordinary view, without
// that handler) is followed, which shows the drag really arrives.
TEST_F(ManagerWindow, ALinkDroppedOnTheManagerIsNotOpenedThereAndTheSettingsStayAsTheyWere) {
  RecordingServer stranger;
  stranger.SetResponder([](const RecordedRequest& r) {
    if (r.Target() == "/evil")
      return Reply::Ok(R"HTML(<!DOCTYPE html><html><body><script>
        (async () => {
          const h = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathSettings;
          let reply = 'absent';
          if (h) reply = JSON.stringify(await h.postMessage({ action: 'save', values: { 'app-url': 'http://127.0.0.1:9/evil/' } }));
          fetch('/reply?' + encodeURIComponent(reply));
        })();
      </script></body></html>)HTML",
                       {"Content-Type: text/html; charset=utf-8", "Cache-Control: no-store"});
    return Reply::Ok("", {}, "204 No Content");
  });
  auto served = [&](const std::string& prefix) {
    for (auto& r : stranger.Requests())
      if (r.Target().rfind(prefix, 0) == 0) return true;
    return false;
  };
  const std::string config = MakeTempDir("config");
  fs::create_directories(config + "/korvath");
  const std::string settings = config + "/korvath/settings.ini";
  const std::string mine = "# mine, byte for byte\n[downloads]\nnotifications=false\n";
  std::ofstream(settings) << mine;
  ASSERT_NO_FATAL_FAILURE(StartKorvath({{"XDG_CONFIG_HOME", config}}));
  ClickManagerButton();
  auto manager = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(manager);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const XRect m = x.Geometry(*manager);
  ASSERT_NO_FATAL_FAILURE(DropLinkAt(x, stranger.Url("/evil"), m.left + m.width / 2, m.top + m.height / 2));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  EXPECT_FALSE(served("/evil")) << "the manager view opened the dropped link";

  const XRect w = x.Geometry(main);
  ASSERT_NO_FATAL_FAILURE(DropLinkAt(x, stranger.Url("/evil"), w.left + 295, w.top + 400));
  ASSERT_TRUE(WaitUntil([&] { return served("/reply?"); }, 10000))
      << "the drop never reached the main window";
  EXPECT_TRUE(served("/reply?absent"));
  EXPECT_EQ(RunCommand("cat '" + settings + "'"), mine);
  fs::remove_all(config);
}

TEST(ManagerDocument, AriaNgFileIsLoadedUnchangedAndPointedAtThisRunsAria2) {
  std::string dir = MakeTempDir("ariang");
  std::string file = dir + "/AriaNg.html";
  std::string bytes = "<!DOCTYPE html>\n<html>\xE4\xB8\x8B\x00tail</html>";
  bytes.push_back('\xFF');
  std::ofstream(file, std::ios::binary) << bytes;
  ManagerDocument doc =
      LoadManagerDocument({.ariang_file = file, .rpc_port = "6800", .rpc_secret = "s3cr3t?"});
  EXPECT_EQ(doc.html, bytes);
  // base64url("s3cr3t?") = "czNjcjN0Pw"
  EXPECT_EQ(doc.base_uri,
            "http://127.0.0.1:6800/ariang/#!/settings/rpc/set/http/127.0.0.1/6800/jsonrpc/czNjcjN0Pw");
  fs::remove_all(dir);
}

TEST(ManagerDocument, BuiltInPageGetsPortAndSecretInItsAddress) {
  ManagerDocument doc = LoadManagerDocument({.rpc_port = "6800", .rpc_secret = "00ff"});
  EXPECT_NE(doc.html.find("<html"), std::string::npos);
  EXPECT_EQ(doc.base_uri, "http://127.0.0.1:6800/korvath-manager#port=6800&secret=00ff");
  // The desktop's double-click time, for the page's click guard.
  EXPECT_TRUE(LoadManagerDocument({.rpc_port = "6800", .double_click_ms = 650})
                  .base_uri.ends_with("&secret=&dblclick=650"));
}

TEST(ManagerDocument, OurPageIsToldTheLogFolderAndAriaNgIsNot) {
  const std::string logs = reinterpret_cast<const char*>(u8"/home/me/.local/state/我的 korvath");
  const std::string encoded = "&logs=%2Fhome%2Fme%2F.local%2Fstate%2F%E6%88%91%E7%9A%84%20korvath";
  EXPECT_TRUE(LoadManagerDocument({.rpc_port = "6800", .rpc_secret = "00ff", .log_folder = logs})
                  .base_uri.ends_with("#port=6800&secret=00ff" + encoded));
  // A remote aria2's tasks are elsewhere, Korvath's own logs are still here.
  EXPECT_TRUE(
      LoadManagerDocument({.rpc_secret = "00ff", .rpc_url = "http://nas:6800/jsonrpc", .log_folder = logs})
          .base_uri.ends_with("&remote=1" + encoded));
  std::string dir = MakeTempDir("ariang-logs");
  std::ofstream(dir + "/AriaNg.html") << "<html></html>";
  EXPECT_EQ(
      LoadManagerDocument({.ariang_file = dir + "/AriaNg.html", .log_folder = logs}).base_uri.find("logs="),
      std::string::npos);
  fs::remove_all(dir);
}

TEST(ManagerDocument, Base64UrlCoversEveryTailLength) {
  EXPECT_EQ(Base64Url(""), "");
  EXPECT_EQ(Base64Url("f"), "Zg");
  EXPECT_EQ(Base64Url("fo"), "Zm8");
  EXPECT_EQ(Base64Url("foo"), "Zm9v");
  EXPECT_EQ(Base64Url("\xfb\xff"), "-_8");
}

TEST(FolderLink, OpensTheFolderOfADownloadWithXdgOpenAndNothingElse) {
  std::string dir = MakeTempDir("folder");
  fs::create_directories(dir + "/bin");
  fs::create_directories(dir + "/ZorbitDravenet/sub dir");
  std::string record = dir + "/opened.txt";
  {
    std::ofstream script(dir + "/bin/xdg-open");
    script << "#!/bin/sh\nprintf '%s\\n' \"$#:$1\" >> '" << record << "'\n";
  }
  fs::permissions(dir + "/bin/xdg-open", fs::perms::owner_all);
  std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir + "/bin:" + old_path).c_str(), 1);
  auto old_cwd = fs::current_path();
  fs::current_path(dir);

  // A file inside: its folder. Relative paths count from the working directory.
  EXPECT_TRUE(OpenDownloadFolder("korvath-folder:ZorbitDravenet%2Fsub%20dir%2Fa%20file.bin"));
  // A folder: itself.
  EXPECT_TRUE(OpenDownloadFolder("korvath-folder:" + dir + "/ZorbitDravenet"));
  // Shell syntax in a name stays a name, and a missing folder opens nothing.
  EXPECT_FALSE(OpenDownloadFolder("korvath-folder:%24(touch%20" + dir + "%2Fpwned)%2Fx"));
  EXPECT_FALSE(OpenDownloadFolder("http://example.invalid/x"));

  fs::current_path(old_cwd);
  setenv("PATH", old_path.c_str(), 1);
  std::vector<std::string> lines;
  WaitUntil(
      [&] {
        std::ifstream in(record);
        lines.clear();
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines.size() >= 2;
      },
      5000);
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected = {"1:" + dir + "/ZorbitDravenet",
                                       "1:" + dir + "/ZorbitDravenet/sub dir"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  EXPECT_FALSE(fs::exists(dir + "/pwned"));
  fs::remove_all(dir);
}

// What the closed manager view refused: only a web link the user clicked
// reaches the browser; a page's own navigation or any other scheme does not.
TEST(RefusedLink, OnlyAWebLinkTheUserClickedGoesToTheBrowser) {
  std::string dir = MakeTempDir("browser");
  fs::create_directories(dir + "/bin");
  const std::string record = dir + "/opened.txt";
  std::ofstream(dir + "/bin/xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$#:$1\" >> '" << record << "'\n";
  fs::permissions(dir + "/bin/xdg-open", fs::perms::owner_all);
  const std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (dir + "/bin:" + old_path).c_str(), 1);
  EXPECT_TRUE(OpenClickedLinkInBrowser("https://github.com/korvath?tab=1", true));
  EXPECT_FALSE(OpenClickedLinkInBrowser("https://example.invalid/by-script", false));
  for (const char* other :
       {"file:///etc/passwd", "magnet:?xt=urn:btih:0", "javascript:alert(1)", "HTTPX://x/", "nothing"})
    EXPECT_FALSE(OpenClickedLinkInBrowser(other, true)) << other;
  setenv("PATH", old_path.c_str(), 1);
  std::string opened;
  WaitUntil([&] { return !(opened = RunCommand("cat '" + record + "' 2>/dev/null")).empty(); }, 5000);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(RunCommand("cat '" + record + "'"), "1:https://github.com/korvath?tab=1\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath::testing

namespace korvath::testing {
namespace {

TEST_F(ManagerWindow, ADownloadRequestOnThePageOpensTheManagerWithTheNewTask) {
  const std::string page = reinterpret_cast<const char*>(
      u8"<!DOCTYPE html><html><head><meta charset='utf-8'></head><body>"
      u8"<p>文件名：report.bin</p><p>文件大小：5 B</p>"
      u8"<script>onload = () => setTimeout(() => { new Image().src = '/dl/report.bin?bkt=7&sign=x'; }, 500);"
      u8"</script></body></html>");
  app.SetResponder([page](const RecordedRequest& r) {
    if (r.Target().rfind("/dl/", 0) == 0)
      return Reply::Ok("12345", {"Content-Type: application/octet-stream"});
    return Reply::Ok(page, {"Content-Type: text/html; charset=utf-8"});
  });
  ASSERT_NO_FATAL_FAILURE(StartKorvath());
  ASSERT_TRUE(korvath->WaitForEvent("task_created", Json::object(), 20000)) << korvath->Output();
  auto manager = x.WaitFor(korvath->pid(), kManagerTitle);
  ASSERT_TRUE(manager);
  const int main_left = x.ScreenWidth() - 846 - 590 - 200;
  EXPECT_TRUE(WaitUntil([&] { return x.Geometry(main).left == main_left; }, 5000));
  EXPECT_EQ(korvath->EventsNamed("task_created")[0]["name"], "report.bin");
  // aria2 fetched the file into the working directory's download folder.
  EXPECT_TRUE(
      WaitUntil([&] { return fs::exists(korvath->work_dir() + "/ZorbitDravenet/report.bin"); }, 10000));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  Screenshot(*manager, "download-manager-task");

  // A further task while the manager is open only brings it to the front:
  // Home reloads the page, whose request for the file comes again.
  ClickAt(main, 264 + 32, 16 + 12);
  EXPECT_TRUE(WaitUntil([&] { return korvath->EventsNamed("task_created").size() >= 2; }, 20000));
  EXPECT_TRUE(korvath->WaitForEvent("window", {{"name", "download_manager"}, {"action", "raised"}}, 5000));
  EXPECT_EQ(Count("opened"), 1u);
  EXPECT_EQ(x.Find(korvath->pid(), kManagerTitle), manager);
}

TEST_F(ManagerWindow, AnAriaNgFileIsShownUnchangedAndToldWhereThisRunsAria2Is) {
  RecordingServer beacon;
  std::string dir = MakeTempDir("ariang-e2e");
  std::string file = dir + "/AriaNg.html";
  std::ofstream(file) << "<!DOCTYPE html><html><body><script>new Image().src = '" << beacon.Url("/seen")
                      << "?href=' + encodeURIComponent(location.href);</script></body></html>";
  ASSERT_NO_FATAL_FAILURE(StartKorvath({{"KORVATH_ARIANG", file}}));
  ClickManagerButton();
  ASSERT_TRUE(x.WaitFor(korvath->pid(), kManagerTitle));
  RecordedRequest seen = beacon.Request(0, std::chrono::milliseconds(10000));
  ASSERT_FALSE(seen.Target().empty());
  // The page's own address carries AriaNg's RPC-settings route with this run's secret.
  const std::string target = seen.Target();
  EXPECT_NE(target.find("%23!%2Fsettings%2Frpc%2Fset%2Fhttp%2F127.0.0.1%2F6800%2Fjsonrpc%2F"),
            std::string::npos)
      << target;
  // The secret in the route is the one aria2 runs with: aria2 accepts it.
  const std::string marker = "jsonrpc%2F";
  auto at = target.find(marker);
  ASSERT_NE(at, std::string::npos);
  std::string encoded = target.substr(at + marker.size());
  while (encoded.size() % 4) encoded += '=';
  std::string secret = RunCommand("printf '%s' '" + encoded + "' | tr '_-' '/+' | base64 -d 2>/dev/null");
  ASSERT_FALSE(secret.empty());
  std::string reply = RunCommand(
      "curl -s --max-time 5 -d '{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"aria2.getVersion\","
      "\"params\":[\"token:" +
      secret + "\"]}' http://127.0.0.1:6800/jsonrpc");
  EXPECT_NE(reply.find("\"version\""), std::string::npos) << reply;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath::testing
