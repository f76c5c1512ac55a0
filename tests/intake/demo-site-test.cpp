// The demo share site as a downloader and the intake see it: pages that carry
// the name markers and a "bkt=" link, and file bytes served by range.
#include "demo-site.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace korvath::demo {
namespace {

struct Fetched {
  long status = 0;
  std::string body;
  std::string headers;
  bool ok = false;
};

Fetched Get(const std::string& url, const std::string& range = "") {
  Fetched out;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  if (!range.empty()) curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  auto append = +[](char* data, size_t size, size_t n, void* target) {
    static_cast<std::string*>(target)->append(data, size * n);
    return size * n;
  };
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &out.headers);
  out.ok = curl_easy_perform(curl) == CURLE_OK;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  curl_easy_cleanup(curl);
  return out;
}

std::string Expected(const DemoFile& file, std::uint64_t offset, std::uint64_t length) {
  std::string bytes;
  EXPECT_TRUE(ReadContent(file, offset, length, bytes));
  return bytes;
}

std::size_t IndexOf(const std::vector<DemoFile>& files, const std::string& needle) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (files[i].shown_name.find(needle) != std::string::npos) return i;
  }
  ADD_FAILURE() << "no demo file named like " << needle;
  return 0;
}

class DemoSiteTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GT(site.Start(), 0); }
  DemoSite site;
};

TEST_F(DemoSiteTest, FilePageShowsNameAndSizeMarkersAndALinkBackToTheSite) {
  const auto& files = site.files();
  const std::size_t split = IndexOf(files, "\n");
  Fetched page = Get(site.FilePageUrl(split));
  ASSERT_EQ(page.status, 200);
  // The name keeps its line feed on the page; the size follows in a block of its own.
  EXPECT_NE(page.body.find("文件名：" + files[split].shown_name + "</div>"), std::string::npos);
  EXPECT_NE(page.body.find("文件大小：" + SizeText(files[split].size)), std::string::npos);
  const std::string href = "href=\"/d/" + std::to_string(split) + "?bkt=";
  EXPECT_NE(page.body.find(href), std::string::npos);
  EXPECT_EQ(site.DownloadUrl(split).rfind(site.BaseUrl() + "/d/", 0), 0u);
  EXPECT_NE(site.DownloadUrl(split).find("bkt="), std::string::npos);

  // Markup characters of a name are escaped, so the text shows them as they are.
  Fetched quoted = Get(site.FilePageUrl(IndexOf(files, "\"hello\"")));
  EXPECT_NE(quoted.body.find("文件名：say &quot;hello&quot; to aria2.txt"), std::string::npos);

  EXPECT_EQ(Get(site.FilePageUrl(files.size())).status, 404);
}

TEST_F(DemoSiteTest, ListPageLinksEveryFileAndTheNoticeHasAnAnnouncement) {
  Fetched list = Get(site.AppUrl());
  ASSERT_EQ(list.status, 200);
  for (std::size_t i = 0; i < site.files().size(); ++i) {
    EXPECT_NE(list.body.find("href=\"/app/s/" + std::to_string(i) + "\""), std::string::npos) << i;
  }
  Fetched notice = Get(site.NoticeUrl());
  EXPECT_EQ(notice.status, 200);
  const auto open = notice.body.find("[gg]");
  ASSERT_NE(open, std::string::npos);
  EXPECT_GT(notice.body.find("[/gg]", open), open + 4);
}

TEST_F(DemoSiteTest, RangesAreServedWithTheRightBytesAndHeaders) {
  const auto& files = site.files();
  for (std::size_t index : {IndexOf(files, "notes"), IndexOf(files, "16MB")}) {
    const DemoFile& file = files[index];
    const std::string url = site.DownloadUrl(index);
    const std::string total = "/" + std::to_string(file.size);

    Fetched whole = Get(url);
    ASSERT_EQ(whole.status, 200);
    ASSERT_EQ(whole.body.size(), file.size);
    EXPECT_EQ(whole.body, Expected(file, 0, file.size));
    EXPECT_NE(whole.headers.find("Accept-Ranges: bytes"), std::string::npos);

    Fetched middle = Get(url, "100-4195");
    EXPECT_EQ(middle.status, 206);
    EXPECT_EQ(middle.body, whole.body.substr(100, 4096));
    EXPECT_NE(middle.headers.find("Content-Range: bytes 100-4195" + total), std::string::npos)
        << middle.headers;

    Fetched tail = Get(url, "-100");
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, whole.body.substr(file.size - 100));

    Fetched open = Get(url, std::to_string(file.size - 10) + "-");
    EXPECT_EQ(open.status, 206);
    EXPECT_EQ(open.body, whole.body.substr(file.size - 10));

    // A range reaching past the end is cut at the end.
    Fetched past = Get(url, std::to_string(file.size - 5) + "-" + std::to_string(file.size + 1000));
    EXPECT_EQ(past.status, 206);
    EXPECT_EQ(past.body, whole.body.substr(file.size - 5));

    Fetched beyond = Get(url, std::to_string(file.size) + "-");
    EXPECT_EQ(beyond.status, 416);
    EXPECT_NE(beyond.headers.find("Content-Range: bytes */" + std::to_string(file.size)), std::string::npos);
    EXPECT_TRUE(beyond.body.empty());

    // Several ranges at once: the whole file instead, never mislabelled parts.
    Fetched several = Get(url, "0-9,20-29");
    EXPECT_EQ(several.status, 200);
    EXPECT_EQ(several.body, whole.body);
  }
}

TEST_F(DemoSiteTest, EightConcurrentConnectionsReassembleTheLargeFile) {
  const std::size_t index = IndexOf(site.files(), "16MB");
  const DemoFile& file = site.files()[index];
  const std::uint64_t part = file.size / 8 + 1;
  std::vector<std::future<Fetched>> parts;
  for (std::uint64_t start = 0; start < file.size; start += part) {
    std::uint64_t end = std::min(start + part, file.size) - 1;
    parts.push_back(std::async(std::launch::async, Get, site.DownloadUrl(index),
                               std::to_string(start) + "-" + std::to_string(end)));
  }
  std::string joined;
  for (auto& f : parts) {
    Fetched got = f.get();
    EXPECT_EQ(got.status, 206);
    joined += got.body;
  }
  EXPECT_EQ(joined.size(), file.size);
  EXPECT_TRUE(joined == Expected(file, 0, file.size));
  EXPECT_EQ(site.DownloadRequests().size(), parts.size());
}

TEST_F(DemoSiteTest, EmptyFileAndMissingMarkerOrFile) {
  const std::size_t empty = IndexOf(site.files(), "empty");
  Fetched got = Get(site.DownloadUrl(empty));
  EXPECT_TRUE(got.ok);
  EXPECT_EQ(got.status, 200);
  EXPECT_TRUE(got.body.empty());
  EXPECT_EQ(Get(site.BaseUrl() + "/d/0").status, 404);  // a file is only served for a "bkt=" request
  EXPECT_EQ(Get(site.BaseUrl() + "/d/999?bkt=x").status, 404);
}

// Each view of a file page hands out a link of its own; a link of a file
// with a byte limit serves that many bytes, cut mid-connection, and then
// answers 403, while the next view's link serves the rest.
TEST(DemoSiteLinks, AHandedOutLinkExpiresAfterItsBytesAndTheNextViewsLinkServesTheRest) {
  DemoFile file{.shown_name = "expiring.bin", .size = 100 * 1024, .seed = 5, .link_bytes = 60 * 1024};
  DemoSite site({.files = {file}});
  ASSERT_GT(site.Start(), 0);
  const std::string first = Get(site.FilePageUrl(0)).body;
  const std::string second = Get(site.FilePageUrl(0)).body;
  EXPECT_NE(first.find("&link=1\">"), std::string::npos) << first;
  EXPECT_NE(second.find("&link=2\">"), std::string::npos) << second;

  Fetched cut = Get(site.DownloadUrl(0, 1));
  EXPECT_FALSE(cut.ok) << "the connection was not cut";
  EXPECT_EQ(cut.body, Expected(file, 0, file.link_bytes));
  EXPECT_EQ(Get(site.DownloadUrl(0, 1), "61440-").status, 403);
  Fetched rest = Get(site.DownloadUrl(0, 2), "61440-");
  EXPECT_EQ(rest.status, 206);
  EXPECT_TRUE(rest.ok);
  EXPECT_EQ(rest.body, Expected(file, 61440, file.size - 61440));
  // Files without a limit keep their links.
  DemoSite plain;
  ASSERT_GT(plain.Start(), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(plain.DownloadUrl(0, 1)).status, 200);

  const std::vector<DownloadRequest> seen = site.DownloadRequests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].link, "1");
  EXPECT_EQ(seen[2].link, "2");
}

// All connections together keep to the rate, so a test finds a download
// still running when it acts.
TEST(DemoSiteLinks, AThrottledSiteSpreadsTheBytesOfAllConnectionsOverTime) {
  DemoSite site({.bytes_per_second = 256 * 1024});
  ASSERT_GT(site.Start(), 0);
  const std::size_t index = IndexOf(site.files(), "16MB");
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::future<Fetched>> parts;
  for (std::string range : {"0-65535", "65536-131071"}) {
    parts.push_back(std::async(std::launch::async, Get, site.DownloadUrl(index), range));
  }
  for (auto& part : parts) EXPECT_EQ(part.get().body.size(), 65536u);
  // 128 KiB at 256 KiB/s: half a second at least, whatever the connections.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(480));
}

TEST(DemoFiles, FolderFilesAreListedSortedAndServedFromDisk) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("korvath-demo-files-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "a subfolder");
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>(i * 7 + i / 256));
  std::ofstream(dir / "zeta 한.bin", std::ios::binary) << bytes;
  std::ofstream(dir / "alpha.txt", std::ios::binary) << "alpha";

  DemoSiteOptions options;
  std::string error;
  ASSERT_TRUE(FilesInDirectory(dir.string(), options.files, error)) << error;
  ASSERT_EQ(options.files.size(), 2u);  // the subfolder is not offered
  EXPECT_EQ(options.files[0].shown_name, "alpha.txt");
  EXPECT_EQ(options.files[1].shown_name, "zeta 한.bin");
  EXPECT_EQ(options.files[1].size, bytes.size());

  DemoSite site(options);
  ASSERT_GT(site.Start(), 0);
  Fetched part = Get(site.DownloadUrl(1), "65530-69999");
  EXPECT_EQ(part.status, 206);
  EXPECT_TRUE(part.body == bytes.substr(65530, 4470));
  EXPECT_EQ(Get(site.DownloadUrl(1)).body.size(), bytes.size());

  // A file that shrank after listing is cut off, not padded.
  std::ofstream(dir / "zeta 한.bin", std::ios::binary | std::ios::trunc) << "short";
  EXPECT_NE(Get(site.DownloadUrl(1), "100-200").body.size(), 101u);
  site.Stop();

  fs::remove_all(dir);
  EXPECT_FALSE(FilesInDirectory(dir.string(), options.files, error));
  EXPECT_FALSE(error.empty());
}

TEST(DemoFiles, ContentIsDeterministicAndDiffersBetweenFiles) {
  auto a = BuiltInFiles();
  auto b = BuiltInFiles();
  ASSERT_GE(a.size(), 8u);
  EXPECT_EQ(Expected(a[1], 1000, 5000), Expected(b[1], 1000, 5000));
  EXPECT_NE(Expected(a[1], 0, 4096), Expected(a[2], 0, 4096));
  // A slice equals the same bytes cut from a longer read, at unaligned offsets.
  EXPECT_EQ(Expected(a[1], 13, 29), Expected(a[1], 0, 64).substr(13, 29));
  EXPECT_EQ(Expected(a[0], 70, 10), Expected(a[0], 0, 128).substr(70, 10));
  std::string beyond;
  EXPECT_FALSE(ReadContent(a[0], a[0].size - 1, 2, beyond));
  EXPECT_EQ(SavedName(a[IndexOf(a, "\n")]).find('\n'), std::string::npos);
}

}  // namespace
}  // namespace korvath::demo
