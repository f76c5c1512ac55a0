// The intake's rules, driven without a display: a fake page and shell, a
// recording desktop, and a loopback stand-in for aria2's JSON-RPC port that
// writes every call it receives into the same ordered record.
#include "intake/intake.h"
#include "intake/free-space.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "support/loopback-ports.h"
#include "support/recording-desktop.h"
#include "support/recording-server.h"

#include <sys/mount.h>
#include <unistd.h>

namespace korvath {
namespace {

using testing::RecordingDesktop;
using testing::RecordingServer;
using testing::Reply;

// Every visible effect, in the order it happened.
struct CallRecord {
  std::mutex mutex;
  std::vector<std::string> calls;
  void Add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
  std::vector<std::string> Get() {
    std::lock_guard lock(mutex);
    return calls;
  }
};

class FakePage : public IntakePage {
 public:
  explicit FakePage(CallRecord& record) : record_(record) {}
  void GoBack() override { record_.Add("go_back"); }
  Text GetPageText() override {
    record_.Add("page_text");
    return text;
  }
  Text text;

 private:
  CallRecord& record_;
};

class FakeShell : public IntakeShell {
 public:
  explicit FakeShell(CallRecord& record) : record_(record) {}
  void ShowDownloadManager() override { record_.Add("manager"); }
  void HideLoadingOverlay() override { record_.Add("overlay_hidden"); }

 private:
  CallRecord& record_;
};

class OrderedDesktop : public RecordingDesktop {
 public:
  explicit OrderedDesktop(CallRecord& record) : record_(record) {}
  int ShowMessageBox(const MessageBoxRequest& request) override {
    record_.Add("box");
    return RecordingDesktop::ShowMessageBox(request);
  }

 private:
  CallRecord& record_;
};

std::string MethodOf(const std::string& body) {
  for (const char* method : {"aria2.changeGlobalOption", "aria2.addUri", "aria2.pauseAll", "aria2.tellActive",
                             "aria2.tellWaiting", "aria2.tellStopped"}) {
    if (body.find(method) != std::string::npos) return method;
  }
  return "?";
}

Reply JsonReply(const std::string& json) { return Reply::Ok(json, {"Content-Type: application/json-rpc"}); }

const char* kLink = "http://127.0.0.1:9/d/3?bkt=korvath-demo&fid=3";

class InterceptDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    aria2.SetResponder([this](const testing::RecordedRequest& request) {
      const std::string method = MethodOf(request.body);
      record.Add("rpc:" + method);
      if (method == "aria2.addUri") {
        return add_uri_fails ? JsonReply(R"({"id":1,"jsonrpc":"2.0","error":{"code":1,"message":"bad"}})")
                             : JsonReply(R"({"id":1,"jsonrpc":"2.0","result":"2089b05ecca3d829"})");
      }
      if (method.starts_with("aria2.tell")) return JsonReply(R"({"id":1,"jsonrpc":"2.0","result":[]})");
      return JsonReply(R"({"id":1,"jsonrpc":"2.0","result":"OK"})");
    });
    engine.cookie_header = "Cookie: Zorbit";
    engine.rpc_port = std::to_string(aria2.Port());
    page.text = Gbk(u8"全部文件\n文件名：report.pdf\n文件大小：1.0 MB\n下载");
  }

  IntakeContext Context() { return {.desktop = desktop, .engine = engine, .page = page, .shell = shell}; }

  std::vector<std::string> AddUriBodies() {
    std::vector<std::string> bodies;
    for (const auto& request : aria2.Requests()) {
      if (MethodOf(request.body) == "aria2.addUri") bodies.push_back(request.body);
    }
    return bodies;
  }

  CallRecord record;
  OrderedDesktop desktop{record};
  FakePage page{record};
  FakeShell shell{record};
  RecordingServer aria2;
  EngineState engine;
  bool add_uri_fails = false;
};

TEST_F(InterceptDownloadTest, StorageAddressOnlyGoesBackEvenWithTheMarker) {
  InterceptDownload(Context(), "http://d.pcs.baidu.com/file/abc?bkt=p2&fid=1");
  InterceptDownload(Context(), "http://d.pcs.baidu.com/");
  EXPECT_EQ(record.Get(), (std::vector<std::string>{"go_back", "go_back"}));
  EXPECT_EQ(aria2.Count(), 0u);
  EXPECT_TRUE(desktop.boxes.empty());
}

TEST_F(InterceptDownloadTest, StorageBaseIsComparedOverItsOwnLengthAndExactly) {
  IntakeContext context = Context();
  context.storage_base = "http://127.0.0.1:9/store/";
  InterceptDownload(context, "http://127.0.0.1:9/store/x?bkt=1");  // goes back
  InterceptDownload(context, "http://127.0.0.1:9/store");          // shorter than the base: no marker either
  InterceptDownload(context, "HTTP://127.0.0.1:9/store/x");        // other case: not the base
  InterceptDownload(context, "http://d.pcs.baidu.com/y");          // the default no longer applies
  EXPECT_EQ(record.Get(), (std::vector<std::string>{"go_back"}));
}

TEST_F(InterceptDownloadTest, EmptyStorageBaseSendsNothingBack) {
  IntakeContext context = Context();
  context.storage_base = "";
  InterceptDownload(context, "http://127.0.0.1:9/app/logo.png");
  EXPECT_TRUE(record.Get().empty());
}

TEST_F(InterceptDownloadTest, LinksWithoutTheExactMarkerAreIgnored) {
  for (const char* link : {"http://127.0.0.1:9/app/main.js", "http://127.0.0.1:9/d/3?BKT=x",
                           "http://127.0.0.1:9/d/3?Bkt=x", "http://127.0.0.1:9/d/3?bkt", ""}) {
    InterceptDownload(Context(), link);
  }
  EXPECT_TRUE(record.Get().empty());
  EXPECT_EQ(aria2.Count(), 0u);
}

TEST_F(InterceptDownloadTest, AMarkedLinkMakesATaskInTheFixedOrder) {
  InterceptDownload(Context(), kLink);
  EXPECT_EQ(record.Get(),
            (std::vector<std::string>{"page_text", "rpc:aria2.changeGlobalOption", "rpc:aria2.tellActive",
                                      "rpc:aria2.tellWaiting", "rpc:aria2.tellStopped", "rpc:aria2.addUri",
                                      "manager", "overlay_hidden"}));
  EXPECT_TRUE(desktop.boxes.empty());
}

TEST_F(InterceptDownloadTest, TaskCarriesLinkNameDirectoryAndTheFixedOptions) {
  InterceptDownload(Context(), kLink);
  ASSERT_EQ(AddUriBodies().size(), 1u);
  const std::string options = aria2.Request(0).body;
  for (const char* expected :
       {R"("split":"8")", R"("max-connection-per-server":"8")", R"("max-concurrent-downloads":"3")",
        R"("timeout":"1")", R"("user-agent":"LogStatistic")"}) {
    EXPECT_NE(options.find(expected), std::string::npos) << expected << " in " << options;
  }
  const std::string task = AddUriBodies()[0];
  EXPECT_NE(task.find(std::string("[\"") + kLink + "\"]"), std::string::npos) << task;
  EXPECT_NE(task.find(R"("out":"report.pdf")"), std::string::npos) << task;
  EXPECT_NE(task.find(R"("dir":"ZorbitDravenet")"), std::string::npos) << task;
}

TEST_F(InterceptDownloadTest, TaskGoesToTheContextsFolderInUtf8) {
  IntakeContext context = Context();
  context.download_dir = Gbk(u8"/home/u/下载/ZorbitDravenet");
  InterceptDownload(context, kLink);
  auto bodies = AddUriBodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_NE(bodies[0].find(reinterpret_cast<const char*>(u8R"("dir":"/home/u/下载/ZorbitDravenet")")),
            std::string::npos)
      << bodies[0];
}

TEST_F(InterceptDownloadTest, MissingNameMarkersStillMakeATaskWithAnEmptyName) {
  page.text = Gbk(u8"文件名：report.pdf 没有大小");
  InterceptDownload(Context(), kLink);
  page.text = Gbk(u8"没有名字 文件大小：1 MB");
  InterceptDownload(Context(), kLink);
  auto bodies = AddUriBodies();
  ASSERT_EQ(bodies.size(), 2u);
  for (const auto& body : bodies) EXPECT_NE(body.find(R"("out":"")"), std::string::npos) << body;
}

TEST_F(InterceptDownloadTest, NameOverSeveralLinesArrivesJoinedInUtf8) {
  page.text = Gbk(u8"文件名：年度报告\n第二行 🎉\n한국어.zip\n文件大小：3 MB");
  InterceptDownload(Context(), kLink);
  auto bodies = AddUriBodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_NE(bodies[0].find(reinterpret_cast<const char*>(u8R"("out":"年度报告第二行 🎉한국어.zip")")),
            std::string::npos)
      << bodies[0];
}

TEST_F(InterceptDownloadTest, FailedTaskShowsBothMessagesThenHidesTheOverlay) {
  add_uri_fails = true;
  InterceptDownload(Context(), kLink);
  EXPECT_EQ(record.Get(),
            (std::vector<std::string>{"page_text", "rpc:aria2.changeGlobalOption", "rpc:aria2.tellActive",
                                      "rpc:aria2.tellWaiting", "rpc:aria2.tellStopped", "rpc:aria2.addUri",
                                      "box", "box", "overlay_hidden"}));
  ASSERT_EQ(desktop.boxes.size(), 2u);
  EXPECT_EQ(desktop.boxes[0].text.rfind(Gbk(u8"无法创建下载任务，原始数据："), 0), 0u);
  EXPECT_EQ(desktop.boxes[1].text, Gbk(u8"创建任务失败！请重试……"));
  EXPECT_EQ(desktop.boxes[1].flags, 16);
  EXPECT_EQ(RecordingDesktop::CaptionOf(desktop.boxes[1]), Gbk(u8"信息："));
}

TEST_F(InterceptDownloadTest, SilentAria2GivesTheRpcMessagesAndNoManager) {
  engine.rpc_port = std::to_string(testing::UnusedPort());
  InterceptDownload(Context(), kLink);
  std::vector<Text> texts;
  for (const auto& box : desktop.boxes) texts.push_back(box.text);
  EXPECT_EQ(texts, (std::vector<Text>{Gbk(u8"初始化aria2的rpc服务失败，请检查您电脑的防火墙设置。"),
                                      Gbk(u8"aria2的RPC服务不工作，请检查您电脑的防火墙设置。"),
                                      Gbk(u8"创建任务失败！请重试……")}));
  auto calls = record.Get();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "overlay_hidden");
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "manager"), 0);
}

TEST_F(InterceptDownloadTest, SameLinkTwiceGivesTwoTasks) {
  InterceptDownload(Context(), kLink);
  InterceptDownload(Context(), kLink);
  EXPECT_EQ(AddUriBodies().size(), 2u);
  auto calls = record.Get();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "manager"), 2);
}

TEST_F(InterceptDownloadTest, NestedRequestDuringTheWaitKeepsEachCallsOwnName) {
  // The outer call has read its name; while it waits for aria2 the page
  // changes and a second request arrives and runs to its end inside it.
  page.text = Gbk(u8"文件名：outer.bin\n文件大小：1 MB");
  bool nested_started = false;
  desktop.on_pump = [&] {
    if (nested_started) return;
    nested_started = true;
    page.text = Gbk(u8"文件名：inner.bin\n文件大小：2 MB");
    InterceptDownload(Context(), "http://127.0.0.1:9/d/4?bkt=inner");
  };
  InterceptDownload(Context(), "http://127.0.0.1:9/d/3?bkt=outer");
  ASSERT_TRUE(nested_started);
  auto bodies = AddUriBodies();
  ASSERT_EQ(bodies.size(), 2u);
  int outer = -1, inner = -1;
  for (int i = 0; i < 2; ++i) {
    if (bodies[i].find(R"("out":"outer.bin")") != std::string::npos &&
        bodies[i].find("bkt=outer") != std::string::npos) {
      outer = i;
    }
    if (bodies[i].find(R"("out":"inner.bin")") != std::string::npos &&
        bodies[i].find("bkt=inner") != std::string::npos) {
      inner = i;
    }
  }
  EXPECT_GE(outer, 0) << bodies[0] << "\n" << bodies[1];
  EXPECT_GE(inner, 0) << bodies[0] << "\n" << bodies[1];
  auto calls = record.Get();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "manager"), 2);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "overlay_hidden"), 2);
  EXPECT_EQ(calls.back(), "overlay_hidden");
}

TEST_F(InterceptDownloadTest, EveryRequestSeenIsLoggedWithWhatWasMadeOfIt) {
  namespace fs = std::filesystem;
  const fs::path path = fs::temp_directory_path() / ("korvath-intake-log-" + std::to_string(::getpid()));
  fs::remove(path);
  struct LoggingDesktop : OrderedDesktop {
    using OrderedDesktop::OrderedDesktop;
    EventLog& Log() override { return *log; }
    std::unique_ptr<EventLog> log;
  } logging{record};
  logging.log = std::make_unique<EventLog>(path.string());
  IntakeContext context{.desktop = logging, .engine = engine, .page = page, .shell = shell};
  InterceptDownload(context, "http://d.pcs.baidu.com/a");
  InterceptDownload(context, "http://127.0.0.1:9/app/a.css");
  InterceptDownload(context, "magnet:?xt=urn:btih:0&bkt=1");
  EXPECT_EQ(record.Get(), std::vector<std::string>{"go_back"})
      << "a refused address reached the page or aria2";
  InterceptDownload(context, kLink);
  logging.log.reset();
  std::ifstream in(path);
  std::vector<std::string> kinds;
  for (std::string line; std::getline(in, line);) {
    if (line.find(R"("event":"intake_request")") == std::string::npos) continue;
    for (const char* kind : {"storage", "refused", "ignored", "download"}) {
      if (line.find(std::string(R"("kind":")") + kind + "\"") != std::string::npos) kinds.push_back(kind);
    }
  }
  fs::remove(path);
  EXPECT_EQ(kinds, (std::vector<std::string>{"storage", "ignored", "refused", "download"}));
  EXPECT_TRUE(logging.boxes.empty());
}

// ---- the name as read from the page ---------------------------------------

TEST(FileNameFromPageText, TakesTheTextBetweenTheFirstMarkers) {
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件名：a.txt文件大小：1 KB 文件名：b.txt文件大小：2 KB")), "a.txt");
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件名：文件大小：")), "");
  EXPECT_EQ(FileNameFromPageText(""), "");
  // The size marker only counts after the name marker.
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件大小：1 KB 文件名：late.txt")), "");
}

TEST(FileNameFromPageText, RemovesLineFeedsAndKeepsEverythingElse) {
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件名：\nsplit\nname.iso\n文件大小：")), "splitname.iso");
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件名：dos\r\nline.txt\r\n文件大小：")), "dos\rline.txt\r");
  // Text that merely looks like an escaped line feed is part of the name.
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件名：100%0A and %0a.txt文件大小：")), "100%0A and %0a.txt");
  const Text hard = Gbk(u8"say \"hi\" back\\slash ../up\ttab 한국어 🎉 +&=?#.txt");
  EXPECT_EQ(FileNameFromPageText(Gbk(u8"文件名：") + hard + Gbk(u8"文件大小：")), hard);
}

}  // namespace
}  // namespace korvath

namespace korvath {
namespace {

TEST_F(InterceptDownloadTest, AFolderTooSmallForThePagesSizeSaysSoAndMakesNoTask) {
  char pattern[] = "/tmp/korvath-small-disk-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0) {
    ::rmdir(folder.c_str());
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  }
  page.text = Gbk(u8"文件名：big.iso\n文件大小：50 MB\n");
  IntakeContext context = Context();
  context.download_dir = Text(folder);
  InterceptDownload(context, kLink);
  ::umount(folder.c_str());
  ::rmdir(folder.c_str());

  EXPECT_TRUE(AddUriBodies().empty());
  EXPECT_EQ(aria2.Count(), 0u);
  ASSERT_EQ(desktop.boxes.size(), 1u);
  EXPECT_EQ(GbkToUtf8(desktop.boxes[0].text),
            reinterpret_cast<const char*>(u8"下载文件夹所在的磁盘空间不够：这个文件需要 50.0 MB，只剩 1.0 "
                                          u8"MB。请清理磁盘后再点击一次这个文件。"));
  EXPECT_EQ(desktop.boxes[0].flags, kMbIconError);
  EXPECT_EQ(record.Get().back(), "overlay_hidden");

  // Room enough: the task is made as before.
  desktop.boxes.clear();
  page.text = Gbk(u8"文件名：small.iso\n文件大小：4 KB\n");
  InterceptDownload(Context(), kLink);
  EXPECT_EQ(AddUriBodies().size(), 1u);
  EXPECT_TRUE(desktop.boxes.empty());
}

TEST(PageFileSize, ReadsTheNumberAndUnitAfterTheMarker) {
  EXPECT_EQ(PageFileSize(Gbk(u8"文件大小：50 MB")), 50LL << 20);
  EXPECT_EQ(PageFileSize(Gbk(u8"文件大小：1.5GB\n下载")), 3LL << 29);
  EXPECT_EQ(PageFileSize(Gbk(u8"文件大小：900kb")), 900LL << 10);
  EXPECT_EQ(PageFileSize(Gbk(u8"文件大小：123 B")), 123);
  EXPECT_EQ(PageFileSize(Gbk(u8"文件大小：未知")), std::nullopt);
  EXPECT_EQ(PageFileSize("no marker 5 MB"), std::nullopt);
}

}  // namespace
}  // namespace korvath
