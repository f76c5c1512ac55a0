// The offline demo share site: a small stand-in for the share-browsing app.
//   /app/            the list of shared files
//   /app/s/<n>       one file: "文件名：" name, "文件大小：" size, a download button
//   /d/<n>?bkt=...   the file itself, with HTTP range support, or the file's
//                    error page with status 200; each view of a file page
//                    hands out a link of its own ("&link=<view>")
//   /getpassword     the notice reply, "[gg]...[/gg]"
// It runs its own threads; tests embed it, tools/start-korvath runs the program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "demo-files.h"

namespace korvath::demo {

struct DemoSiteOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: the system picks one
  std::vector<DemoFile> files = BuiltInFiles();
  std::string notice_reply = DefaultNoticeReply();
  // File bytes per second over all connections together; 0: as fast as the
  // loopback goes. A throttled download is still running when a test acts.
  std::uint64_t bytes_per_second = 0;

  static std::string DefaultNoticeReply();
};

// One request for a file's bytes, as the site saw it.
struct DownloadRequest {
  std::size_t index = 0;
  std::string link;        // the link's "link" parameter: the page view that handed it out
  std::string range;       // the Range header, "" when absent
  std::string cookie;      // the Cookie header
  std::string user_agent;  // the User-Agent header
};

class DemoSite {
 public:
  explicit DemoSite(DemoSiteOptions options = {});
  ~DemoSite();  // stops the server
  DemoSite(const DemoSite&) = delete;
  DemoSite& operator=(const DemoSite&) = delete;

  // Binds and starts serving; returns the port, or -1 when binding failed.
  int Start();
  void Stop();

  int port() const;
  std::string BaseUrl() const;  // "http://127.0.0.1:<port>"
  std::string AppUrl() const;   // BaseUrl() + "/app/"
  std::string NoticeUrl() const;
  std::string FilePageUrl(std::size_t index) const;
  // A link to the file as page view `view` hands it out.
  std::string DownloadUrl(std::size_t index, std::uint64_t view = 0) const;
  const std::vector<DemoFile>& files() const;

  std::vector<DownloadRequest> DownloadRequests() const;
  // File bytes sent through one link ("link" parameter) so far.
  std::uint64_t LinkBytesServed(std::size_t index, const std::string& link) const;
  // Paths of the pages served so far ("/app/", "/app/s/3"), in order.
  std::vector<std::string> PagesServed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvath::demo
