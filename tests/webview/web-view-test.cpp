// The web view against a loopback site, on a real display.
#include "webview/web-view.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "util/text.h"
#include "webview/script-messages.h"
#include "webview/web-engine.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Handles window events until `done` holds or `ms` pass; returns `done()`.
template <typename Done>
bool PumpUntil(Done done, int ms = 10000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done() && Clock::now() < deadline) {
    if (!g_main_context_iteration(nullptr, FALSE)) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

void Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}

// A small site: a page with a script, an image and an iframe that loads an
// image of its own, pages to move between, text in Chinese, and files that
// must never be saved by the view.
class Site {
 public:
  Site() {
    const std::string png = Png();
    server_.set_logger([this](const httplib::Request& req, const httplib::Response&) {
      std::lock_guard lock(mutex_);
      ++hits_[req.path];
    });
    server_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response&) {
      std::lock_guard lock(mutex_);
      if (!announced_.count(req.path)) arrived_unannounced_.insert(req.path);
      return httplib::Server::HandlerResponse::Unhandled;
    });
    server_.Get("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          "<html><head><script src='/app.js'></script></head><body>"
          "<p>main</p><img src='/pic.png'><iframe src='/frame.html'></iframe></body></html>",
          "text/html");
    });
    server_.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("window.appLoaded = 1;", "application/javascript");
    });
    server_.Get("/pic.png", [png](const httplib::Request&, httplib::Response& res) {
      res.set_content(png, "image/png");
    });
    server_.Get("/frame.html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html><body><img src='/frame-pic.png'></body></html>", "text/html");
    });
    server_.Get("/frame-pic.png", [png](const httplib::Request&, httplib::Response& res) {
      res.set_content(png, "image/png");
    });
    server_.Get(R"(/page(\d+))", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("<html><body>page " + req.matches[1].str() + "</body></html>", "text/html");
    });
    server_.Get("/chinese", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          "<html><head><meta charset='utf-8'></head><body><p>文件名：测试 文件.txt</p>"
          "<p>文件大小：1.5 MB</p><p>한국어 😀</p></body></html>",
          "text/html; charset=utf-8");
    });
    server_.Get("/attachment", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Disposition", "attachment; filename=\"kept-out.txt\"");
      res.set_content("plain text that a browser could show", "text/plain");
    });
    server_.Get("/binary", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(4096, '\x01'), "application/octet-stream");
    });
    // Short keep-alive, so stopping the server does not wait for idle
    // connections of the engine.
    server_.set_keep_alive_timeout(1);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
  }
  ~Site() {
    server_.stop();
    thread_.join();
  }

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  int Hits(const std::string& path) {
    std::lock_guard lock(mutex_);
    return hits_[path];
  }
  // The view reported a request for `url`; a request for its path arriving
  // later counts as announced.
  void Announce(const std::string& url) {
    const std::string prefix = Url("");
    if (url.rfind(prefix, 0) != 0) return;
    std::string path = url.substr(prefix.size());
    path = path.substr(0, path.find('?'));
    std::lock_guard lock(mutex_);
    announced_.insert(path);
  }
  bool ArrivedBeforeAnnounced(const std::string& path) {
    std::lock_guard lock(mutex_);
    return arrived_unannounced_.count(path) > 0;
  }

 private:
  static std::string Png() {
    // 1x1 red pixel.
    static const unsigned char bytes[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
        0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00,
        0x00, 0x90, 0x77, 0x53, 0xde, 0x00, 0x00, 0x00, 0x0c, 0x49, 0x44, 0x41, 0x54, 0x08,
        0xd7, 0x63, 0xf8, 0xcf, 0xc0, 0x00, 0x00, 0x03, 0x01, 0x01, 0x00, 0x18, 0xdd, 0x8d,
        0xb0, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
  }

  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, int> hits_;
  std::set<std::string> announced_;
  std::set<std::string> arrived_unannounced_;
};

struct Begin {
  Text url;
  std::int64_t job;
};
struct Finish {
  Text url;
  int result;
  Text reason;
};

class WebViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Anything the engine might save lands here, where the tests look for it.
    downloads_ = new fs::path(fs::temp_directory_path() / ("korvath-webview-" + std::to_string(getpid())));
    fs::create_directories(*downloads_);
    setenv("HOME", downloads_->c_str(), 1);
    setenv("XDG_DOWNLOAD_DIR", downloads_->c_str(), 1);
    WebEngine::PrepareEnvironment();
    gtk_init(nullptr, nullptr);
    engine_ = new WebEngine();
  }
  static void TearDownTestSuite() {
    delete engine_;
    fs::remove_all(*downloads_);
    delete downloads_;
  }

  void SetUp() override {
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), 480, 360);
    view_ = std::make_unique<WebView>(*engine_, WebViewOptions{.reserved_scheme = "korvath-folder"});
    gtk_container_add(GTK_CONTAINER(window_), view_->widget());
    gtk_widget_show_all(window_);
    view_->on_load_url_begin = [this](const Text& url, std::int64_t job) {
      begins_.push_back({url, job});
      site_.Announce(std::string(url));
    };
    view_->on_load_url_end = [this](const Text& url, std::int64_t job, std::int64_t) {
      ends_.push_back({url, job});
    };
    view_->on_loading_finish = [this](const Text& url, int result, const Text& reason) {
      finishes_.push_back({url, result, reason});
    };
  }
  void TearDown() override {
    view_.reset();
    if (window_) gtk_widget_destroy(window_);
    Pump(50);
  }

  // Loads and waits for the page's LoadingFinish.
  [[nodiscard]] bool LoadAndWait(const std::string& url) {
    const size_t before = finishes_.size();
    view_->LoadUrl(Text(url));
    return PumpUntil([&] { return finishes_.size() > before; });
  }
  [[nodiscard]] bool LoadHtmlAndWait(const std::string& html) {
    const size_t before = finishes_.size();
    view_->LoadHtml(html);
    return PumpUntil([&] { return finishes_.size() > before; });
  }
  bool Began(const std::string& url) const {
    return std::any_of(begins_.begin(), begins_.end(), [&](const Begin& b) { return b.url == Text(url); });
  }

  static WebEngine* engine_;
  static fs::path* downloads_;
  Site site_;
  GtkWidget* window_ = nullptr;
  std::unique_ptr<WebView> view_;
  std::vector<Begin> begins_;
  std::vector<Begin> ends_;
  std::vector<Finish> finishes_;
};

WebEngine* WebViewTest::engine_ = nullptr;
fs::path* WebViewTest::downloads_ = nullptr;

TEST_F(WebViewTest, ReportsEveryRequestOfThePageIncludingItsFrames) {
  ASSERT_TRUE(LoadAndWait(site_.Url("/")));
  // Subresources of the frame may still be finishing after the main load.
  ASSERT_TRUE(PumpUntil([&] { return ends_.size() >= 5; }, 5000));

  EXPECT_EQ(finishes_.back().url, Text(site_.Url("/")));
  EXPECT_EQ(finishes_.back().result, kLoadingSucceeded);
  EXPECT_EQ(finishes_.back().reason, "");
  for (const char* path : {"/", "/app.js", "/pic.png", "/frame.html", "/frame-pic.png"}) {
    EXPECT_TRUE(Began(site_.Url(path))) << path;
    EXPECT_GE(site_.Hits(path), 1) << path;
  }
  // Documents (the page and its frame) are reported before their request
  // leaves; for scripts and images the engine only tells us in passing.
  EXPECT_FALSE(site_.ArrivedBeforeAnnounced("/"));
  EXPECT_FALSE(site_.ArrivedBeforeAnnounced("/frame.html"));
  // Reported once each.
  for (const char* path : {"/", "/frame.html"}) {
    EXPECT_EQ(std::count_if(begins_.begin(), begins_.end(),
                            [&](const Begin& b) { return b.url == Text(site_.Url(path)); }),
              1)
        << path;
  }
  // Every request that began also ended, under the same job and URL, after
  // it began; jobs are unique.
  for (size_t i = 0; i < begins_.size(); ++i) {
    for (size_t j = i + 1; j < begins_.size(); ++j) EXPECT_NE(begins_[i].job, begins_[j].job);
  }
  for (const Begin& end : ends_) {
    auto begin =
        std::find_if(begins_.begin(), begins_.end(), [&](const Begin& b) { return b.job == end.job; });
    ASSERT_NE(begin, begins_.end()) << end.url;
    EXPECT_EQ(begin->url, end.url);
  }
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/")));
}

TEST_F(WebViewTest, ReloadRequestsAgainAndGoBackReturns) {
  ASSERT_TRUE(LoadAndWait(site_.Url("/page1")));
  ASSERT_TRUE(LoadAndWait(site_.Url("/page2")));
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/page2")));

  const size_t finished = finishes_.size();
  view_->Reload();
  ASSERT_TRUE(PumpUntil([&] { return finishes_.size() > finished; }));
  EXPECT_EQ(site_.Hits("/page2"), 2);

  const size_t before_back = finishes_.size();
  view_->GoBack();
  ASSERT_TRUE(PumpUntil([&] { return finishes_.size() > before_back; }));
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/page1")));
  EXPECT_EQ(view_->GetPageText(), "page 1");
}

TEST_F(WebViewTest, PageTextComesBackAsSystemText) {
  ASSERT_TRUE(LoadAndWait(site_.Url("/chinese")));
  const Text text = view_->GetPageText();
  EXPECT_NE(text.find(Gbk(u8"文件名：测试 文件.txt")), Text::npos) << text;
  EXPECT_NE(text.find(Gbk(u8"文件大小：1.5 MB")), Text::npos) << text;
  // Characters GBK lacks survive through GB18030.
  EXPECT_NE(text.find(Gbk(u8"한국어 😀")), Text::npos) << text;
  EXPECT_EQ(GbkToUtf8(text).find('?'), std::string::npos);

  // LoadHtml takes UTF-8 bytes as they are.
  ASSERT_TRUE(LoadHtmlAndWait("<html><head><meta charset='utf-8'></head><body>下载管理</body></html>"));
  EXPECT_EQ(view_->GetPageText(), Gbk(u8"下载管理"));
}

TEST_F(WebViewTest, PageTextCanBeReadWhileARequestIsReported) {
  // A download click is handled inside its own request event, reading the
  // file name from the page that is still shown.
  ASSERT_TRUE(LoadAndWait(site_.Url("/chinese")));
  Text text_seen;
  bool asked = false;
  view_->on_load_url_begin = [&](const Text& url, std::int64_t) {
    site_.Announce(std::string(url));
    if (url.find("/attachment") == Text::npos || asked) return;
    asked = true;
    text_seen = view_->GetPageText();
  };
  const size_t before = finishes_.size();
  view_->EvaluateScript("location.href = '/attachment?bkt=1';");
  ASSERT_TRUE(PumpUntil([&] { return asked && finishes_.size() > before; }));
  EXPECT_NE(text_seen.find(Gbk(u8"文件名：测试 文件.txt")), Text::npos) << text_seen;
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/chinese")));
  EXPECT_FALSE(site_.ArrivedBeforeAnnounced("/attachment"));
}

TEST_F(WebViewTest, ScriptsThatFailOrNeverAnswerGiveNothing) {
  ASSERT_TRUE(LoadHtmlAndWait("<html><body>x</body></html>"));
  EXPECT_EQ(view_->EvaluateScript("return 6 * 7").value, "42");
  EXPECT_FALSE(view_->EvaluateScript("throw new Error('no')").ok);
  EXPECT_EQ(view_->EvaluateScript("return undefined").value, "");

  const auto start = Clock::now();
  const auto never = view_->EvaluateScript("return new Promise(() => {})", 300);
  const auto waited = Clock::now() - start;
  EXPECT_FALSE(never.ok);
  EXPECT_GE(waited, std::chrono::milliseconds(290));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  // The view still answers after a call it gave up on.
  EXPECT_EQ(view_->GetPageText(), "x");
}

TEST_F(WebViewTest, FailedLoadsReportTheFailure) {
  // A port nobody listens on: bind one, then close it.
  int closed_port = 0;
  {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    closed_port = ntohs(address.sin_port);
    close(fd);
  }
  const std::string url = "http://127.0.0.1:" + std::to_string(closed_port) + "/";
  ASSERT_TRUE(LoadAndWait(url));
  EXPECT_EQ(finishes_.back().url, Text(url));
  EXPECT_EQ(finishes_.back().result, kLoadingFailed);
  EXPECT_FALSE(finishes_.back().reason.empty());
  EXPECT_EQ(finishes_.size(), 1u);  // one report per load, not one per signal
}

TEST_F(WebViewTest, NeverSavesAFileItself) {
  std::vector<WebKitDownload*> downloads;
  int completed = 0;
  auto* context = static_cast<WebKitWebContext*>(engine_->context());
  struct Watch {
    int* completed;
  } watch{&completed};
  const gulong started = g_signal_connect(
      context, "download-started",
      G_CALLBACK(+[](WebKitWebContext*, WebKitDownload* download, gpointer data) {
        auto* w = static_cast<Watch*>(data);
        g_signal_connect(
            download, "finished", G_CALLBACK(+[](WebKitDownload* d, gpointer p) {
              // "finished" also follows a failure; only a saved file counts.
              if (webkit_download_get_destination(d) && webkit_download_get_received_data_length(d) > 0)
                ++*static_cast<Watch*>(p)->completed;
            }),
            w);
      }),
      &watch);

  ASSERT_TRUE(LoadAndWait(site_.Url("/page1")));
  const int cancelled_before = engine_->cancelled_downloads();
  for (const char* path : {"/attachment", "/binary"}) {
    ASSERT_TRUE(LoadAndWait(site_.Url(path)));
    EXPECT_TRUE(Began(site_.Url(path))) << path;
    EXPECT_EQ(site_.Hits(path), 1) << path;
    EXPECT_NE(finishes_.back().result, kLoadingSucceeded) << path;
    EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/page1"))) << path;  // the page stays
  }

  // A link with the download attribute goes straight to the engine's
  // download machinery: it is cancelled there.
  const std::string link = site_.Url("/binary?link");
  view_->EvaluateScript("const a = document.createElement('a'); a.href = '" + link +
                        "'; a.download = 'x.bin'; document.body.appendChild(a); a.click();");
  PumpUntil([&] { return engine_->cancelled_downloads() > cancelled_before; }, 5000);
  Pump(500);
  // The page's request is reported once, like any other.
  EXPECT_EQ(
      std::count_if(begins_.begin(), begins_.end(), [&](const Begin& b) { return b.url == Text(link); }), 1);

  g_signal_handler_disconnect(context, started);
  EXPECT_EQ(completed, 0);
  EXPECT_GT(engine_->cancelled_downloads(), cancelled_before);
  std::vector<std::string> found;
  for (const auto& entry : fs::recursive_directory_iterator(*downloads_)) {
    if (entry.is_regular_file() && entry.path().string().find("/.") == std::string::npos)
      found.push_back(entry.path().string());
  }
  EXPECT_TRUE(found.empty()) << found.front();
}

TEST_F(WebViewTest, ReservedLinksGoToTheirHandlerAndTheOthersStayHere) {
  ASSERT_TRUE(LoadAndWait(site_.Url("/page1")));
  std::vector<Text> reserved;
  view_->on_reserved_link = [&](const Text& uri) { reserved.push_back(uri); };
  view_->EvaluateScript(
      "const a = document.createElement('a'); a.href = 'korvath-folder:/tmp/some dir';"
      "document.body.appendChild(a); a.click();");
  ASSERT_TRUE(PumpUntil([&] { return !reserved.empty(); }, 5000));
  EXPECT_EQ(reserved.front(), "korvath-folder:/tmp/some%20dir");
  Pump(200);
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/page1")));

  // A link aimed at a new window opens in this view.
  const size_t before = finishes_.size();
  view_->EvaluateScript("const b = document.createElement('a'); b.href = '" + site_.Url("/page3") +
                        "'; b.target = '_blank'; document.body.appendChild(b); b.click();");
  ASSERT_TRUE(PumpUntil([&] { return finishes_.size() > before; }));
  EXPECT_TRUE(Began(site_.Url("/page3")));
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/page3")));
}

TEST_F(WebViewTest, AViewThatIsGoneDoesNothing) {
  ASSERT_TRUE(LoadAndWait(site_.Url("/page1")));
  // Closing the window takes the view's widget with it.
  gtk_widget_destroy(window_);
  window_ = nullptr;
  EXPECT_FALSE(view_->Exists());
  EXPECT_EQ(view_->widget(), nullptr);
  view_->LoadUrl(Text(site_.Url("/page2")));
  view_->LoadHtml("<p>x</p>");
  view_->Reload();
  view_->GoBack();
  EXPECT_EQ(view_->GetPageText(), "");
  EXPECT_EQ(view_->CurrentUrl(), "");
  EXPECT_FALSE(view_->EvaluateScript("return 1").ok);
  Pump(300);
  EXPECT_EQ(site_.Hits("/page2"), 0);
  EXPECT_EQ(site_.Hits("/page1"), 1);

  // A handler may destroy the view it is called from.
  auto other = std::make_unique<WebView>(*engine_);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), other->widget());
  gtk_widget_show_all(window);
  bool called = false;
  other->on_loading_finish = [&](const Text&, int, const Text&) {
    called = true;
    other.reset();
  };
  other->LoadUrl(Text(site_.Url("/page4")));
  ASSERT_TRUE(PumpUntil([&] { return called; }));
  EXPECT_EQ(other, nullptr);
  gtk_widget_destroy(window);
}

// Web processes started by this program.
int WebProcessCount() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    const size_t open = line.find('(');
    if (close == std::string::npos || open == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state = 0;
    int parent = 0;
    rest >> state >> parent;
    if (parent == getpid() && line.substr(open + 1, close - open - 1).starts_with("WebKitWebProces")) ++count;
  }
  return count;
}

TEST_F(WebViewTest, AllViewsShareOneWebProcessAcrossSites) {
  ASSERT_TRUE(LoadAndWait(site_.Url("/page1")));
  auto second = std::make_unique<WebView>(*engine_);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_container_add(GTK_CONTAINER(window), second->widget());
  gtk_widget_show_all(window);
  bool loaded = false;
  second->on_loading_finish = [&](const Text&, int, const Text&) { loaded = true; };
  second->LoadHtml("<p>manager</p>");
  ASSERT_TRUE(PumpUntil([&] { return loaded; }));
  // Another site in the first view: the engine must not move it to a
  // process of its own.
  std::string other_site = site_.Url("/page2");
  other_site.replace(other_site.find("127.0.0.1"), 9, "localhost");
  ASSERT_TRUE(LoadAndWait(other_site));
  EXPECT_EQ(finishes_.back().result, kLoadingSucceeded);
  Pump(500);
  EXPECT_EQ(WebProcessCount(), 1);
  EXPECT_EQ(second->GetPageText(), "manager");
  EXPECT_EQ(view_->GetPageText(), "page 2");
  gtk_widget_destroy(window);
}

TEST_F(WebViewTest, DrawsThePageOnTheDisplay) {
  ASSERT_TRUE(
      LoadHtmlAndWait("<html><body style='margin:0;background:#1e90ff'>"
                      "<h1 style='color:white;font-family:sans-serif'>Korvath 网页视图</h1></body></html>"));
  Pump(300);
  cairo_surface_t* surface = nullptr;
  webkit_web_view_get_snapshot(
      WEBKIT_WEB_VIEW(view_->widget()), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        *static_cast<cairo_surface_t**>(data) =
            webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
      },
      &surface);
  ASSERT_TRUE(PumpUntil([&] { return surface != nullptr; }));
  cairo_surface_t* image = cairo_surface_map_to_image(surface, nullptr);
  const int width = cairo_image_surface_get_width(image);
  const int height = cairo_image_surface_get_height(image);
  EXPECT_GT(width, 100);
  EXPECT_GT(height, 100);
  // Bottom-left corner is page background: dodger blue (ARGB32, native endian).
  const auto* row = reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(image) +
                                                      (height - 5) * cairo_image_surface_get_stride(image));
  EXPECT_EQ(row[5] & 0xffffff, 0x1e90ffu);
  cairo_surface_unmap_image(surface, image);

  const char* build = std::getenv("KORVATH_BUILD_DIR");
  const fs::path dir = fs::path(build ? build : ".") / "screenshots";
  fs::create_directories(dir);
  const fs::path file = dir / "webview.png";
  EXPECT_EQ(cairo_surface_write_to_png(surface, file.c_str()), CAIRO_STATUS_SUCCESS);
  cairo_surface_destroy(surface);
  EXPECT_GT(fs::file_size(file), 0u);
}

// ---- a closed view and its handlers --------------------------------------

// Offers the link (gpointer: a char*) to what it is dropped on.
void OfferLink(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer url) {
  gchar* uris[] = {static_cast<gchar*>(url), nullptr};
  gtk_selection_data_set_uris(data, uris);
}

class ClosedViewTest : public WebViewTest {
 protected:
  // The fixture's view replaced by one with `options`, in the same window.
  void UseView(WebViewOptions options) {
    gtk_container_remove(GTK_CONTAINER(window_), view_->widget());
    view_ = std::make_unique<WebView>(*engine_, std::move(options));
    gtk_container_add(GTK_CONTAINER(window_), view_->widget());
    gtk_widget_show_all(window_);
    view_->on_loading_finish = [this](const Text& url, int result, const Text& reason) {
      finishes_.push_back({url, result, reason});
    };
    view_->on_refused_navigation = [this](const Text& url, bool user_clicked) {
      refused_.push_back(url);
      if (user_clicked) ++clicked_;
    };
  }
  bool Refused(const std::string& url) const {
    return std::find(refused_.begin(), refused_.end(), Text(url)) != refused_.end();
  }

  std::vector<Text> refused_;
  int clicked_ = 0;
};

TEST_F(ClosedViewTest, ShowsOnlyItsOwnPageAndHandsEveryOtherAddressBack) {
  UseView({.closed = true});
  // The program's own page, given as text under an address of its own. Its
  // script moves within the page, which is fine, and asks for other
  // addresses in every way a page can, which are all refused. (A script run
  // from here would count as the user's own gesture: the page does it.)
  const std::string page =
      "<html><body><p>own</p><script>"
      "location.hash = 'route';"
      "const f = document.createElement('iframe'); f.src = '" +
      site_.Url("/page2") +
      "'; document.body.appendChild(f);"
      "const a = document.createElement('a'); a.href = '" +
      site_.Url("/page4") +
      "'; document.body.appendChild(a); a.click();"
      "setTimeout(() => { location.href = '" +
      site_.Url("/page5") +
      "'; }, 100);"
      "</script></body></html>";
  const size_t before = finishes_.size();
  view_->LoadHtml(page, Text(site_.Url("/own#port=1")));
  ASSERT_TRUE(PumpUntil([&] { return finishes_.size() > before; }));
  EXPECT_EQ(finishes_.back().result, kLoadingSucceeded);
  ASSERT_TRUE(PumpUntil([&] { return refused_.size() >= 3; }, 5000)) << refused_.size();
  EXPECT_EQ(clicked_, 0) << "a script's click passed for the user's";
  // A link for a new window, clicked as the user would (a script run from
  // here counts as the user's gesture), is refused too, and said to be the
  // user's, for the window to hand to the browser.
  view_->EvaluateScript("const w = document.createElement('a'); w.href = '" + site_.Url("/page3") +
                        "'; w.target = '_blank'; document.body.appendChild(w); w.click();");
  ASSERT_TRUE(PumpUntil([&] { return refused_.size() >= 4; }, 5000)) << refused_.size();
  Pump(300);
  EXPECT_EQ(view_->EvaluateScript("return document.body.firstChild.innerText").value, "own");
  for (const char* path : {"/page2", "/page3", "/page4", "/page5"}) {
    EXPECT_TRUE(Refused(site_.Url(path))) << path;
    EXPECT_EQ(site_.Hits(path), 0) << path;
  }
  EXPECT_EQ(clicked_, 1);
  EXPECT_EQ(refused_.back(), Text(site_.Url("/page3")));
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/own#route")));
}

// What WebKit does with a link dropped on a view: it loads it. A closed
// view refuses; the same drag onto an ordinary view shows the drop is real.
TEST_F(ClosedViewTest, ALinkDroppedOnItIsRefused) {
  const std::string dropped = site_.Url("/page6");
  GtkWidget* source_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(source_window), 100, 100);
  gtk_window_move(GTK_WINDOW(source_window), 0, 0);
  GtkWidget* source = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(source_window), source);
  GtkTargetEntry uri_list{const_cast<gchar*>("text/uri-list"), 0, 0};
  gtk_drag_source_set(source, GDK_BUTTON1_MASK, &uri_list, 1,
                      GdkDragAction(GDK_ACTION_COPY | GDK_ACTION_LINK));
  g_signal_connect(source, "drag-data-get", G_CALLBACK(OfferLink), const_cast<char*>(dropped.c_str()));
  gtk_widget_show_all(source_window);
  gtk_window_move(GTK_WINDOW(window_), 200, 0);
  auto drag = [&] {
    Pump(300);
    gchar* argv[] = {
        const_cast<gchar*>("xdotool"),   const_cast<gchar*>("mousemove"), const_cast<gchar*>("--sync"),
        const_cast<gchar*>("50"),        const_cast<gchar*>("50"),        const_cast<gchar*>("mousedown"),
        const_cast<gchar*>("1"),         const_cast<gchar*>("sleep"),     const_cast<gchar*>("0.2"),
        const_cast<gchar*>("mousemove"), const_cast<gchar*>("70"),        const_cast<gchar*>("70"),
        const_cast<gchar*>("sleep"),     const_cast<gchar*>("0.3"),       const_cast<gchar*>("mousemove"),
        const_cast<gchar*>("380"),       const_cast<gchar*>("150"),       const_cast<gchar*>("sleep"),
        const_cast<gchar*>("0.3"),       const_cast<gchar*>("mousemove"), const_cast<gchar*>("400"),
        const_cast<gchar*>("170"),       const_cast<gchar*>("sleep"),     const_cast<gchar*>("0.3"),
        const_cast<gchar*>("mouseup"),   const_cast<gchar*>("1"),         nullptr};
    bool done = false;
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, argv, nullptr,
                              GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD), nullptr, nullptr,
                              &pid, nullptr));
    g_child_watch_add(
        pid, +[](GPid, gint, gpointer d) { *static_cast<bool*>(d) = true; }, &done);
    // The drag runs through this process's own window events.
    ASSERT_TRUE(PumpUntil([&] { return done; }, 10000));
  };

  // The ordinary view follows the drop.
  ASSERT_TRUE(LoadAndWait(site_.Url("/page1")));
  ASSERT_NO_FATAL_FAILURE(drag());
  ASSERT_TRUE(PumpUntil([&] { return site_.Hits("/page6") > 0; }, 5000)) << "the drag never reached the view";

  UseView({.closed = true});
  const size_t before = finishes_.size();
  view_->LoadHtml("<html><body><p>own</p></body></html>", Text(site_.Url("/own")));
  ASSERT_TRUE(PumpUntil([&] { return finishes_.size() > before; }));
  const int hits = site_.Hits("/page6");
  ASSERT_NO_FATAL_FAILURE(drag());
  EXPECT_TRUE(PumpUntil([&] { return Refused(dropped); }, 5000));
  Pump(300);
  EXPECT_EQ(site_.Hits("/page6"), hits);
  EXPECT_EQ(view_->CurrentUrl(), Text(site_.Url("/own")));
  gtk_widget_destroy(source_window);
}

// A handler made for one page: the same view showing any other page, even
// one on the same site, gets null and never reaches it.
TEST_F(ClosedViewTest, AHandlerAnswersOnlyThePageItWasMadeFor) {
  int calls = 0;
  AddScriptMessageHandler(view_->widget(), "probe", site_.Url("/page1"), [&](const std::string& message) {
    ++calls;
    return message;
  });
  const std::string ask =
      "return JSON.stringify(await window.webkit.messageHandlers.probe.postMessage({ n: 7 }))";
  ASSERT_TRUE(LoadAndWait(site_.Url("/page1#anything")));
  EXPECT_EQ(view_->EvaluateScript(ask).value, R"({"n":7})");
  for (const char* other : {"/page2", "/page1?x=1"}) {
    ASSERT_TRUE(LoadAndWait(site_.Url(other)));
    EXPECT_EQ(view_->EvaluateScript(ask).value, "null") << other;
  }
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace korvath
