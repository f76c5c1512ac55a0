#include "engine/arrival-check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  for (const char* start :
       {"<!doctype html", "<html", "<head", "<body", "<title", "<script", "<!--", "<meta"}) {
    if (opening.starts_with(start)) return true;
  }
  return false;
}

// Error bodies are a few hundred bytes; a file of this size or more that
// happens to begin like one is taken for the file it is said to be.
constexpr std::int64_t kMaxErrorBodyBytes = 64 * 1024;

bool LooksLikeJsonError(const std::string& opening) {
  // {"error_code":31045,...}, {"errno":-6}, {"error":{...}}, {"errmsg":...},
  // {"code":403,"message":"..."}, {"status":"error",...}, [{"error":...}]
  std::string_view body = opening;
  if (body.starts_with("[")) body.remove_prefix(std::min(body.size(), body.find_first_not_of(" \t\r\n", 1)));
  if (!body.starts_with("{")) return false;
  const auto has = [&](std::string_view key) { return body.find(key) != std::string_view::npos; };
  if (has("\"err")) return true;
  return (has("\"code\"") || has("\"status\"")) && (has("\"message\"") || has("\"msg\""));
}

// The name of the first element after the prolog ("<?xml ...?>", comments,
// a doctype), lower case.
std::string XmlRootName(std::string_view xml) {
  for (;;) {
    const std::size_t at = xml.find_first_not_of(" \t\r\n");
    if (at == std::string_view::npos) return {};
    xml.remove_prefix(at);
    if (!xml.starts_with("<")) return {};
    if (xml.starts_with("<?") || xml.starts_with("<!")) {
      const std::size_t end = xml.find('>');
      if (end == std::string_view::npos) return {};
      xml.remove_prefix(end + 1);
      continue;
    }
    const std::size_t end = xml.find_first_of(" \t\r\n/>", 1);
    return std::string(xml.substr(1, end == std::string_view::npos ? std::string_view::npos : end - 1));
  }
}

// <?xml ...?><Error><Code>AccessDenied</Code>... as object stores send,
// <ErrorResponse>, <error>: a document whose root element names an error.
bool LooksLikeXmlError(const std::string& opening) {
  if (!opening.starts_with("<")) return false;
  return XmlRootName(opening).find("error") != std::string::npos;
}

// Pages and replies that a server sends in place of a file; a download
// whose own name says it is one of them is what it claims to be.
bool NamedAsWebFile(std::string_view name) {
  const std::string lower = Lower(name);
  for (const char* ending : {".htm", ".html", ".xhtml", ".shtml", ".json", ".xml"}) {
    if (lower.ends_with(ending)) return true;
  }
  return false;
}

}  // namespace

ArrivalVerdict CompareArrival(const std::optional<StatedSize>& stated, std::int64_t size,
                              std::string_view head, std::string_view name, bool length_unknown) {
  ArrivalVerdict verdict{.size = size};
  const std::string opening = Opening(head.substr(0, kHeadBytes));
  const Text got = ByteSizeText(size);
  const Text page_said = stated ? Gbk(u8"，分享页写的是 ") + stated->shown : Text();
  const bool error_body =
      size < kMaxErrorBodyBytes && (LooksLikeJsonError(opening) || LooksLikeXmlError(opening));
  Text detail;
  if (!NamedAsWebFile(name) && LooksLikeWebPage(opening)) {
    verdict.kind = "web_page";
    detail = Gbk(u8"收到的是一个网页而不是文件（") + got + page_said + Gbk(u8"）");
  } else if (!NamedAsWebFile(name) && error_body) {
    verdict.kind = "error_reply";
    detail = Gbk(u8"收到的是服务器的出错回复而不是文件（") + got + page_said + Gbk(u8"）");
  } else if (stated && !StatedSizeAgrees(*stated, size)) {
    verdict.kind = "size";
    detail = Gbk(u8"分享页写的大小是 ") + stated->shown + Gbk(u8"，收到的文件是 ") + got;
  } else if (stated && length_unknown && !StatedSizeExact(*stated, size)) {
    // The server never said how long the file is, so a connection that
    // broke off looks like its end; the page's rounded figure cannot tell
    // a cut file from a whole one.
    verdict.kind = "unconfirmed";
    verdict.text = Gbk(u8"服务器没有告知文件的长度，无法确认文件是否完整：收到 ") + got +
                   Gbk(u8"，分享页写的是约 ") + stated->shown +
                   Gbk(u8"。请打开文件查看；如果不完整，请在分享页再点击一次这个文件重新下载。");
    return verdict;
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

ArrivalVerdict MovedFileVerdict(const std::string& path, PlaceChange what) {
  const std::filesystem::path file(path);
  const Text text =
      what == PlaceChange::kFolder
          ? Gbk(u8"下载文件夹在下载时被换掉了：") + Utf8ToGbk(file.parent_path().string()) +
                Gbk(u8" 已不是开始下载时的那个文件夹（可能被换成了指向别处的链接）。那里的同名文件不是这次下"
                    u8"载的，"
                    u8"没有检查也没有改动它。请把原来的文件夹放回原处，或在分享页重新下载这个文件。")
          : Gbk(u8"下载的文件在下载时被换掉了：") + Utf8ToGbk(path) +
                Gbk(u8" 已不是 aria2 写入的那个文件，没有检查也没有改动它。请在分享页重新下载这个文件。");
  return {.kind = "moved", .text = text, .size = -1};
}

ArrivalVerdict CheckArrivedFile(const std::optional<StatedSize>& stated, const std::string& path,
                                bool length_unknown, const DownloadPlace& place) {
  const std::filesystem::path file_path(path);
  // The folder is opened once and the file looked up in it, so the folder
  // compared is the folder read.
  const UniqueFd folder = OpenFolder(file_path.parent_path().string());
  if (folder.get() < 0) return MissingFileVerdict(path);
  if (place.folder && IdentityOf(folder.get()) != place.folder)
    return MovedFileVerdict(path, PlaceChange::kFolder);
  const PlainFileOpening file = OpenPlainFileAt(folder.get(), file_path.filename().string());
  struct stat info {};
  if (file.fd.get() < 0 || ::fstat(file.fd.get(), &info) != 0) {
    // A link put at the name is not the file aria2 wrote there.
    if ((place.folder || place.file) && file.not_plain) return MovedFileVerdict(path, PlaceChange::kFile);
    return MissingFileVerdict(path);
  }
  if (place.file && IdentityOf(file.fd.get()) != place.file)
    return MovedFileVerdict(path, PlaceChange::kFile);
  std::string head(kHeadBytes, '\0');
  ssize_t got = -1;
  do got = ::pread(file.fd.get(), head.data(), head.size(), 0);
  while (got < 0 && errno == EINTR);
  if (got < 0) return MissingFileVerdict(path);
  head.resize(static_cast<std::size_t>(got));
  return CompareArrival(stated, static_cast<std::int64_t>(info.st_size), head, file_path.filename().string(),
                        length_unknown);
}

}  // namespace korvath
