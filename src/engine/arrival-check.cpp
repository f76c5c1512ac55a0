#include "engine/arrival-check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "util/file-io.h"

namespace korvath {
namespace {

// What is looked at of the file's beginning.
constexpr std::size_t kHeadBytes = 512;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

// The head without a UTF-8 byte order mark and leading blanks, lower case.
std::string Opening(std::string_view head) {
  if (head.starts_with("\xEF\xBB\xBF")) head.remove_prefix(3);
  while (!head.empty() && (head[0] == ' ' || head[0] == '\t' || head[0] == '\r' || head[0] == '\n')) {
    head.remove_prefix(1);
  }
  return Lower(head);
}

bool LooksLikeWebPage(const std::string& opening) {
  for (const char* start : {"<!doctype html", "<html", "<head", "<body", "<title", "<script", "<!--", "<meta"}) {
    if (opening.starts_with(start)) return true;
  }
  return false;
}

bool LooksLikeErrorReply(const std::string& opening) {
  // {"error_code":31045,...}, {"errno":-6}, {"error":{...}}
  return opening.starts_with("{") && opening.find("\"err") != std::string::npos;
}

// Pages and replies that a server sends in place of a file; a download
// whose own name says it is one of them is what it claims to be.
bool NamedAsWebFile(std::string_view name) {
  const std::string lower = Lower(name);
  for (const char* ending : {".htm", ".html", ".xhtml", ".shtml", ".json"}) {
    if (lower.ends_with(ending)) return true;
  }
  return false;
}

}  // namespace

ArrivalVerdict CompareArrival(const std::optional<StatedSize>& stated, std::int64_t size, std::string_view head,
                              std::string_view name) {
  ArrivalVerdict verdict{.size = size};
  const std::string opening = Opening(head.substr(0, kHeadBytes));
  const Text got = ByteSizeText(size);
  const Text page_said = stated ? Gbk(u8"，分享页写的是 ") + stated->shown : Text();
  Text detail;
  if (!NamedAsWebFile(name) && LooksLikeWebPage(opening)) {
    verdict.kind = "web_page";
    detail = Gbk(u8"收到的是一个网页而不是文件（") + got + page_said + Gbk(u8"）");
  } else if (!NamedAsWebFile(name) && LooksLikeErrorReply(opening)) {
    verdict.kind = "error_reply";
    detail = Gbk(u8"收到的是服务器的出错回复而不是文件（") + got + page_said + Gbk(u8"）");
  } else if (stated && !StatedSizeAgrees(*stated, size)) {
    verdict.kind = "size";
    detail = Gbk(u8"分享页写的大小是 ") + stated->shown + Gbk(u8"，收到的文件是 ") + got;
  } else {
    return verdict;
  }
  verdict.text = Gbk(u8"下载的文件与分享页不符：") + detail + Gbk(u8"，文件已保留，请打开查看。");
  return verdict;
}

ArrivalVerdict MissingFileVerdict(const std::string& path) {
  return {.kind = "missing",
          .text = Gbk(u8"下载的文件不见了：") + Utf8ToGbk(path) +
                  Gbk(u8"。它或它所在的文件夹可能在下载时被移动或删除了，请在分享页重新下载这个文件。"),
          .size = -1};
}

ArrivalVerdict CheckArrivedFile(const std::optional<StatedSize>& stated, const std::string& path) {
  const PlainFileOpening file = OpenPlainFileForReading(path, /*follow_links=*/false);
  struct stat info{};
  if (file.fd.get() < 0 || ::fstat(file.fd.get(), &info) != 0) return MissingFileVerdict(path);
  std::string head(kHeadBytes, '\0');
  ssize_t got = -1;
  do got = ::pread(file.fd.get(), head.data(), head.size(), 0);
  while (got < 0 && errno == EINTR);
  if (got < 0) return MissingFileVerdict(path);
  head.resize(static_cast<std::size_t>(got));
  return CompareArrival(stated, static_cast<std::int64_t>(info.st_size), head,
                        std::filesystem::path(path).filename().string());
}

}  // namespace korvath
