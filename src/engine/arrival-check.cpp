#include "engine/arrival-check.h"

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace korvath {
namespace {

// What is looked at of the file's beginning.
constexpr std::size_t kHeadBytes = 512;

bool Near(std::int64_t size, double number, double step) { return std::fabs(static_cast<double>(size) - number) < step; }

bool SizeMatches(const StatedSize& stated, std::int64_t size) {
  if (Near(size, static_cast<double>(stated.bytes), static_cast<double>(stated.step))) return true;
  // The same digits read with 1000-based units.
  const double decimal = std::pow(1000.0 / 1024.0, stated.power);
  return Near(size, stated.bytes * decimal, stated.step * decimal);
}

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

}  // namespace

ArrivalVerdict CompareArrival(const StatedSize& stated, std::int64_t size, std::string_view head) {
  ArrivalVerdict verdict{.size = size};
  if (SizeMatches(stated, size)) return verdict;
  const std::string opening = Opening(head.substr(0, kHeadBytes));
  const Text got = ByteSizeText(size);
  Text detail;
  if (LooksLikeWebPage(opening)) {
    verdict.kind = "web_page";
    detail = Gbk(u8"收到的是一个网页而不是文件（") + got + Gbk(u8"，分享页写的是 ") + stated.shown + Gbk(u8"）");
  } else if (LooksLikeErrorReply(opening)) {
    verdict.kind = "error_reply";
    detail = Gbk(u8"收到的是服务器的出错回复而不是文件（") + got + Gbk(u8"，分享页写的是 ") + stated.shown +
             Gbk(u8"）");
  } else {
    verdict.kind = "size";
    detail = Gbk(u8"分享页写的大小是 ") + stated.shown + Gbk(u8"，收到的文件是 ") + got;
  }
  verdict.text = Gbk(u8"下载的文件与分享页不符：") + detail + Gbk(u8"，文件已保留，请打开查看。");
  return verdict;
}

std::optional<ArrivalVerdict> CheckArrivedFile(const StatedSize& stated, const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::streamoff size = in.tellg();
  if (size < 0) return std::nullopt;
  in.seekg(0);
  std::string head(kHeadBytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return CompareArrival(stated, static_cast<std::int64_t>(size), head);
}

}  // namespace korvath
