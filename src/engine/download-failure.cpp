#include "engine/download-failure.h"

#include "util/shown-text.h"

namespace korvath {
namespace {

// The HTTP status aria2 names in its message ("status=403"), or 0.
int StatusIn(std::string_view message) {
  constexpr std::string_view kKey = "status=";
  size_t at = message.find(kKey);
  if (at == std::string_view::npos) return 0;
  int status = 0;
  for (size_t i = at + kKey.size(); i < message.size() && message[i] >= '0' && message[i] <= '9'; ++i) {
    status = status * 10 + (message[i] - '0');
    if (status > 999) return 0;
  }
  return status;
}

}  // namespace

bool ServerUnreachable(std::string_view error_code, std::string_view error_message) {
  if (error_code == "2" || error_code == "6" || error_code == "19") return true;
  if (error_code != "1") return false;
  for (std::string_view cause : {"Connection refused", "Network is unreachable", "No route to host",
                                 "Failed to establish connection"}) {
    if (error_message.find(cause) != std::string_view::npos) return true;
  }
  return false;
}

Text ExplainDownloadFailure(std::string_view error_code, std::string_view error_message) {
  const int status = StatusIn(error_message);
  const Text code(error_code);
  const char8_t* text = nullptr;
  // The links the share page hands out expire after a while; a server that
  // refuses one is nearly always telling that. aria2 reports both as 22 or 24.
  if (status == 401 || status == 403 || status == 410 || ((code == "22" || code == "24") && status < 500)) {
    text = u8"下载链接已过期或被服务器拒绝。请在分享页上再点击一次这个文件，下载会接着已下载的部分继续。";
  } else if (code == "22" || code == "29") {
    text = u8"服务器暂时出错或正忙，没有给出文件。请稍后在下载管理器里重试。";
  } else if (code == "2") {
    text = u8"连接服务器超时。请检查网络后在下载管理器里重试。";
  } else if (code == "3") {
    text = u8"服务器上找不到这个文件。请回到分享页再点击一次这个文件。";
  } else if (code == "5") {
    text = u8"下载速度太慢，aria2停止了下载。请稍后在下载管理器里重试。";
  } else if (code == "6" || code == "19" || (code == "1" && ServerUnreachable(code, error_message))) {
    text = u8"网络出了问题，连不上服务器。请检查网络后在下载管理器里重试。";
  } else if (code == "8") {
    text = u8"服务器不支持断点续传，已下载的部分无法接着下。请删除这个任务和文件后重新下载。";
  } else if (code == "9") {
    text = u8"磁盘空间不足。请清理下载文件夹所在的磁盘后在下载管理器里重试。";
  } else if (code == "11" || code == "12") {
    text = u8"同一个文件已经在下载了。请等那个下载完成。";
  } else if (code == "13") {
    text = u8"下载文件夹里已经有同名的文件。请把它移走或改名后重试。";
  } else if (code == "14" || code == "15" || code == "16" || code == "17" || code == "18") {
    text = u8"无法写入下载文件夹。请检查文件夹是否存在、能否写入、磁盘是否已满。";
  } else if (code == "23") {
    text = u8"服务器转向的次数太多，没有给出文件。请回到分享页再点击一次这个文件。";
  } else if (code == "32") {
    text = u8"文件校验失败，下载的内容已损坏。请删除这个任务和文件后重新下载。";
  }
  if (text) return Gbk(text) + Gbk(u8"（错误码 ") + code + Gbk(u8"）");
  Text fallback = Gbk(u8"下载失败");
  if (!code.empty() && code != "0") fallback += Gbk(u8"（错误码 ") + code + Gbk(u8"）");
  // aria2's own words, maybe a remote one's of any length: one line, short
  // enough that what to do still fits the notice.
  if (!error_message.empty()) fallback += Gbk(u8"：") + OneLineText(error_message, kShownTextChars * 2 / 3);
  return fallback + Gbk(u8"。请稍后在下载管理器里重试。");
}

}  // namespace korvath
