#include "demo-site.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>

namespace korvath::demo {

namespace {

// Korvath's window lays its button strip over the top 50 pixels of the page,
// so the page keeps that band free.
constexpr const char* kStyle = R"(
body { margin: 0; padding: 56px 20px 84px; font: 15px/1.5 "Noto Sans CJK SC", sans-serif;
       background: #f4f6fa; color: #1d2430; }
h1 { font-size: 20px; margin: 0 0 12px; }
ul { list-style: none; padding: 0; margin: 0; }
li { background: #fff; border: 1px solid #d8dee8; border-radius: 6px; margin: 0 0 8px; }
li a { display: flex; justify-content: space-between; gap: 12px; padding: 10px 12px;
       color: #1d2430; text-decoration: none; }
li a:hover { background: #eaf1ff; }
.size { color: #6b7688; white-space: nowrap; }
.card { background: #fff; border: 1px solid #d8dee8; border-radius: 6px; padding: 16px; }
.field { white-space: pre-wrap; word-break: break-all; margin: 0 0 6px; }
.bar { position: fixed; left: 0; right: 0; bottom: 0; height: 64px; background: #fff;
       border-top: 1px solid #d8dee8; display: flex; align-items: center; justify-content: center; }
.download { display: block; width: 240px; line-height: 40px; text-align: center; background: #2b6de5;
            color: #fff; border-radius: 4px; text-decoration: none; font-size: 16px; }
.back { display: inline-block; margin-bottom: 12px; color: #2b6de5; }
.hint { color: #6b7688; font-size: 13px; margin-top: 16px; }
)";

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// RFC 5987 value for Content-Disposition's filename*.
std::string PercentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// httplib keeps a range as (first, last) with -1 for an absent side:
// "500-" is (500, -1), "-500" (the last 500 bytes) is (-1, 500). A range that
// runs past the end is cut at the end; false when nothing of it exists.
bool ResolveRange(const httplib::Range& range, std::uint64_t size, std::uint64_t& offset,
                  std::uint64_t& length) {
  const auto [first, last] = range;
  if (first < 0) {
    if (last <= 0 || size == 0) return false;
    length = std::min<std::uint64_t>(static_cast<std::uint64_t>(last), size);
    offset = size - length;
    return true;
  }
  if (static_cast<std::uint64_t>(first) >= size || (last >= 0 && last < first)) return false;
  offset = static_cast<std::uint64_t>(first);
  std::uint64_t end = last < 0 ? size : std::min<std::uint64_t>(static_cast<std::uint64_t>(last) + 1, size);
  length = end - offset;
  return true;
}

std::string Page(const std::string& title, const std::string& body) {
  return "<!doctype html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
         "</title><style>" + kStyle + "</style></head><body>" + body + "</body></html>\n";
}

}  // namespace

std::string DemoSiteOptions::DefaultNoticeReply() {
  return "status=ok\n[gg]欢迎使用 Korvath 演示分享站点：这里的文件都在本机生成，不需要联网。/n"
         "打开一个文件，点“下载”，Korvath 就把它交给 aria2。[/gg]\n";
}

struct DemoSite::Impl {
  DemoSiteOptions options;
  httplib::Server server;
  std::thread thread;
  int port = -1;
  mutable std::mutex mutex;
  std::vector<DownloadRequest> downloads;
  std::vector<std::string> pages;
  std::uint64_t file_page_views = 0;
  // Bytes each handed-out link has served, by file and link.
  std::map<std::pair<std::size_t, std::string>, std::uint64_t> link_served;
  std::chrono::steady_clock::time_point next_slot{};

  void PageServed(const std::string& path) {
    std::lock_guard lock(mutex);
    pages.push_back(path);
  }

  explicit Impl(DemoSiteOptions o) : options(std::move(o)) {}

  const DemoFile* FileAt(const std::string& number, std::size_t& index) const {
    if (number.empty() || number.size() > 6) return nullptr;
    index = std::stoul(number);
    if (index >= options.files.size()) return nullptr;
    return &options.files[index];
  }

  std::string ListPage() const {
    std::string items;
    for (std::size_t i = 0; i < options.files.size(); ++i) {
      const DemoFile& f = options.files[i];
      std::string name = f.shown_name;
      for (char& c : name) {
        if (c == '\n') c = ' ';
      }
      items += "<li><a href=\"/app/s/" + std::to_string(i) + "\"><span>" + HtmlEscape(name) +
               "</span><span class=\"size\">" + SizeText(f.size) + "</span></a></li>";
    }
    return Page("Korvath 演示分享", "<h1>分享的文件</h1><ul>" + items +
                                        "</ul><p class=\"hint\">这是 Korvath 自带的离线演示站点。</p>");
  }

  std::string FilePage(std::size_t index, std::uint64_t view) const {
    const DemoFile& f = options.files[index];
    // The name and size sit in blocks of their own, so the page's text reads
    // "文件名：<name>" LF "文件大小：<size>"; pre-wrap keeps the name's own
    // spaces and line break as they are.
    std::string body =
        "<a class=\"back\" href=\"/app/\">← 全部文件</a><div class=\"card\">"
        "<div class=\"field\" id=\"name\">文件名：" +
        HtmlEscape(f.shown_name) +
        "</div>"
        "<div class=\"field\" id=\"size\">文件大小：" +
        HtmlEscape(f.shown_size.empty() ? SizeText(f.size) : f.shown_size) +
        "</div></div><div class=\"bar\"><a class=\"download\" id=\"download\" href=\"" +
        DownloadPath(index, view) + "\">下载</a></div>";
    return Page(SavedName(f) + " - Korvath 演示分享", body);
  }

  static std::string DownloadPath(std::size_t index, std::uint64_t view) {
    return "/d/" + std::to_string(index) + "?bkt=korvath-demo&fid=" + std::to_string(index) +
           "&link=" + std::to_string(view);
  }

  // How many of `wanted` bytes the link may still send, booked at once so
  // that its connections together never pass the file's limit.
  std::size_t BookLinkBytes(const DemoFile& file, const std::pair<std::size_t, std::string>& link,
                            std::size_t wanted) {
    std::lock_guard lock(mutex);
    std::uint64_t& served = link_served[link];
    const std::size_t n =
        file.link_bytes == 0
            ? wanted
            : static_cast<std::size_t>(std::min<std::uint64_t>(wanted, file.link_bytes - served));
    served += n;
    return n;
  }

  bool LinkExpired(const DemoFile& file, const std::pair<std::size_t, std::string>& link) const {
    if (file.link_bytes == 0) return false;
    std::lock_guard lock(mutex);
    auto it = link_served.find(link);
    return it != link_served.end() && it->second >= file.link_bytes;
  }

  // Every chunk books its own slot of time, whichever connection sends it.
  void Throttle(std::size_t bytes) {
    if (options.bytes_per_second == 0) return;
    std::chrono::steady_clock::time_point slot;
    {
      std::lock_guard lock(mutex);
      next_slot = std::max(next_slot, std::chrono::steady_clock::now()) +
                  std::chrono::microseconds(bytes * 1'000'000 / options.bytes_per_second);
      slot = next_slot;
    }
    std::this_thread::sleep_until(slot);
  }

  void Routes() {
    server.Get("/", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/app/"); });
    server.Get("/app", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/app/"); });
    server.Get("/app/", [this](const httplib::Request& req, httplib::Response& res) {
      PageServed(req.path);
      res.set_content(ListPage(), "text/html; charset=utf-8");
    });
    server.Get(R"(/app/s/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      std::size_t index = 0;
      if (!FileAt(req.matches[1], index)) {
        res.status = 404;
        res.set_content(Page("没有这个文件", "<h1>没有这个文件</h1><a href=\"/app/\">返回</a>"),
                        "text/html; charset=utf-8");
        return;
      }
      std::uint64_t view = 0;
      {
        std::lock_guard lock(mutex);
        pages.push_back(req.path);
        view = ++file_page_views;
      }
      res.set_content(FilePage(index, view), "text/html; charset=utf-8");
    });
    server.Get(R"(/d/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      std::size_t index = 0;
      const DemoFile* file = FileAt(req.matches[1], index);
      if (!file || !req.has_param("bkt")) {
        res.status = 404;
        res.set_content("no such file\n", "text/plain");
        return;
      }
      const std::pair<std::size_t, std::string> link{index, req.get_param_value("link")};
      {
        std::lock_guard lock(mutex);
        downloads.push_back({index, link.second, req.get_header_value("Range"),
                             req.get_header_value("Cookie"), req.get_header_value("User-Agent")});
      }
      if (LinkExpired(*file, link)) {
        // Refused whatever range was asked for.
        const_cast<httplib::Request&>(req).ranges.clear();
        res.status = 403;
        res.set_content("link expired\n", "text/plain");
        return;
      }
      if (!file->error_page.empty()) {
        // The whole page whatever range was asked for, as such servers do.
        const_cast<httplib::Request&>(req).ranges.clear();
        res.set_content(file->error_page, "text/html; charset=utf-8");
        return;
      }
      res.set_header("Accept-Ranges", "bytes");
      res.set_header("Content-Disposition",
                     "attachment; filename*=UTF-8''" + PercentEncode(SavedName(*file)));
      // The library's own range handling neither clamps a range that runs
      // past the end nor labels multipart answers correctly, so the site
      // takes the ranges over and leaves the library none to apply (the
      // request object is the server's own, only handed out as const).
      httplib::Ranges ranges = req.ranges;
      const_cast<httplib::Request&>(req).ranges.clear();
      std::uint64_t offset = 0;
      std::uint64_t length = file->size;
      if (ranges.size() == 1) {
        if (!ResolveRange(ranges[0], file->size, offset, length)) {
          res.status = 416;
          res.set_header("Content-Range", "bytes */" + std::to_string(file->size));
          return;
        }
        res.status = 206;
        res.set_header("Content-Range", "bytes " + std::to_string(offset) + "-" +
                                            std::to_string(offset + length - 1) + "/" +
                                            std::to_string(file->size));
      } else {
        // Several ranges at once: the whole file, which is always allowed.
        res.status = 200;
      }
      if (length == 0) {
        // A provider of length 0 would leave the response without a length.
        res.set_content("", "application/octet-stream");
        return;
      }
      DemoFile copy = *file;
      // Small chunks keep a throttled rate even and cut an expiring link
      // close to its limit.
      const std::size_t chunk =
          options.bytes_per_second != 0 || file->link_bytes != 0 ? 16 * 1024 : 256 * 1024;
      res.set_content_provider(
          static_cast<std::size_t>(length), "application/octet-stream",
          [this, copy, link, offset, chunk](std::size_t at, std::size_t n, httplib::DataSink& sink) {
            // A link that has expired meanwhile cuts its connections.
            n = BookLinkBytes(copy, link, std::min(n, chunk));
            if (n == 0) return false;
            Throttle(n);
            std::string bytes;
            if (!ReadContent(copy, offset + at, n, bytes)) return false;
            return sink.write(bytes.data(), bytes.size());
          });
    });
    server.Get("/getpassword", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(options.notice_reply, "text/plain; charset=utf-8");
    });
  }
};

DemoSite::DemoSite(DemoSiteOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  // aria2 opens up to 8 connections per file and the browser keeps its own
  // alive; the default pool of 8 threads would make them queue.
  impl_->server.new_task_queue = [] { return new httplib::ThreadPool(32); };
  impl_->server.set_keep_alive_timeout(2);
  impl_->Routes();
}

DemoSite::~DemoSite() { Stop(); }

int DemoSite::Start() {
  if (impl_->thread.joinable()) return impl_->port;
  int port =
      impl_->options.port == 0
          ? impl_->server.bind_to_any_port(impl_->options.host)
          : (impl_->server.bind_to_port(impl_->options.host, impl_->options.port) ? impl_->options.port : -1);
  if (port <= 0) return -1;
  impl_->port = port;
  impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
  // Stop() can only interrupt a server that is already listening.
  for (int i = 0; i < 5000 && !impl_->server.is_running(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return port;
}

void DemoSite::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->server.stop();
  impl_->thread.join();
}

int DemoSite::port() const { return impl_->port; }
std::string DemoSite::BaseUrl() const {
  return "http://" + impl_->options.host + ":" + std::to_string(impl_->port);
}
std::string DemoSite::AppUrl() const { return BaseUrl() + "/app/"; }
std::string DemoSite::NoticeUrl() const { return BaseUrl() + "/getpassword"; }
std::string DemoSite::FilePageUrl(std::size_t index) const {
  return BaseUrl() + "/app/s/" + std::to_string(index);
}
std::string DemoSite::DownloadUrl(std::size_t index, std::uint64_t view) const {
  return BaseUrl() + Impl::DownloadPath(index, view);
}
const std::vector<DemoFile>& DemoSite::files() const { return impl_->options.files; }

std::vector<std::string> DemoSite::PagesServed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->pages;
}

std::uint64_t DemoSite::LinkBytesServed(std::size_t index, const std::string& link) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->link_served.find({index, link});
  return it == impl_->link_served.end() ? 0 : it->second;
}

std::vector<DownloadRequest> DemoSite::DownloadRequests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->downloads;
}

}  // namespace korvath::demo
