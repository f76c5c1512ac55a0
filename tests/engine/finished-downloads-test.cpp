// Which downloads are news, against a stand-in that pages its stopped list
// the way aria2 does.
#include "engine/finished-downloads.h"

#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "engine/engine-fixture.h"
#include "support/recording-server.h"

namespace korvath {
namespace {

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

namespace fs = std::filesystem;
using nlohmann::json;

// aria2.tellStopped: the oldest first; a negative offset counts from the
// newest and lists backwards.
class StoppedList {
 public:
  void Add(const std::string& gid, const std::string& status, const std::string& error = "",
           const std::string& path = "") {
    std::lock_guard lock(mutex_);
    tasks_.push_back({{"gid", gid},
                      {"status", status},
                      {"dir", "/d"},
                      {"errorCode", error.empty() ? "0" : "1"},
                      {"errorMessage", error},
                      {"files", json::array({{{"path", path.empty() ? "/d/" + gid + ".bin" : path},
                                              {"uris", json::array()}}})}});
  }
  testing::Reply Answer(const testing::RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    const json params = json::parse(request.body)["params"];
    const long offset = params[1], count = params[2];
    const long size = static_cast<long>(tasks_.size());
    json page = json::array();
    if (offset >= 0) {
      for (long i = offset; i < size && i < offset + count; ++i) page.push_back(tasks_[i]);
    } else {
      for (long i = size + offset; i >= 0 && i > size + offset - count; --i) page.push_back(tasks_[i]);
    }
    return testing::Reply::Ok(json{{"id", 1}, {"jsonrpc", "2.0"}, {"result", page}}.dump());
  }

 private:
  std::mutex mutex_;
  std::vector<json> tasks_;
};

// aria2 keeps as many stopped results as its max-download-result, which a
// user's aria2.conf may set above one page.
TEST(FinishedDownloadWatch, NewsIsFoundBehindMoreThanOnePageOfOlderResults) {
  StoppedList stopped;
  for (int i = 0; i < 1200; ++i) stopped.Add("old" + std::to_string(i), "complete");
  testing::RecordingServer aria2;
  aria2.SetResponder([&](const testing::RecordedRequest& r) { return stopped.Answer(r); });
  EngineState state{.rpc_port = std::to_string(aria2.Port())};
  testing::RecordingDesktop desktop;
  FinishedDownloadWatch watch("/");

  EXPECT_TRUE(watch.Look(desktop, state).empty());
  EXPECT_TRUE(watch.primed());
  stopped.Add("new1", "complete");
  stopped.Add("new2", "error", "boom");
  auto news = watch.Look(desktop, state);
  ASSERT_EQ(news.size(), 2u);
  EXPECT_EQ(news[0].gid, "new1");
  EXPECT_TRUE(news[0].ok);
  EXPECT_EQ(news[0].name, "new1.bin");
  EXPECT_EQ(news[1].gid, "new2");
  EXPECT_FALSE(news[1].ok);
  // An error Korvath has no words for keeps aria2's own.
  EXPECT_NE(news[1].error.find("boom"), std::string::npos) << GbkToUtf8(news[1].error);
  EXPECT_TRUE(watch.Look(desktop, state).empty());
}

// An expired link may answer with an error page and status 200: aria2 calls
// that complete, the watch must not.
TEST(FinishedDownloadWatch, ACompleteFileUnlikeItsSharePageIsAMismatchAndOneThatIsGoneAFailure) {
  const fs::path dir = testing::MakeTempDir("korvath-arrived");
  testing::WriteFile(dir / "big.iso", "<!DOCTYPE html><html><body>expired</body></html>");
  testing::WriteFile(dir / "notes.txt", std::string(1000, 'n'));
  StatedSizes sizes("");
  sizes.Remember((dir / "big.iso").string(), *ParseSizeText("50 MB"));
  sizes.Remember((dir / "notes.txt").string(), *ParseSizeText("1000 B"));
  StoppedList stopped;
  testing::RecordingServer aria2;
  aria2.SetResponder([&](const testing::RecordedRequest& r) { return stopped.Answer(r); });
  EngineState state{.rpc_port = std::to_string(aria2.Port())};
  testing::RecordingDesktop desktop;
  FinishedDownloadWatch watch("/", &sizes);
  watch.Look(desktop, state);
  stopped.Add("bad", "complete", "", (dir / "big.iso").string());
  stopped.Add("good", "complete", "", (dir / "notes.txt").string());
  // Its folder deleted while it downloaded: aria2 still says complete.
  stopped.Add("gone", "complete", "", (dir / "gone" / "x.bin").string());
  auto news = watch.Look(desktop, state);
  ASSERT_EQ(news.size(), 3u);
  EXPECT_TRUE(news[0].ok);
  EXPECT_NE(GbkToUtf8(news[0].mismatch).find(reinterpret_cast<const char*>(u8"收到的是一个网页而不是文件")),
            std::string::npos)
      << GbkToUtf8(news[0].mismatch);
  EXPECT_EQ(news[1].mismatch, "");
  EXPECT_EQ(news[1].folder, Utf8ToGbk(dir.string()));
  EXPECT_FALSE(news[2].ok);
  EXPECT_EQ(GbkToUtf8(news[2].error).rfind(U8(u8"下载的文件不见了：") + (dir / "gone" / "x.bin").string(), 0),
            0u)
      << GbkToUtf8(news[2].error);
  // Kept for the user to look at.
  EXPECT_TRUE(fs::exists(dir / "big.iso"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath
