#include "shell/settings-table.h"

#include <glib.h>

namespace korvath {
namespace {

std::optional<std::string> Problem(const char8_t* text) {
  return std::string(reinterpret_cast<const char*>(text));
}

bool WebUrl(const std::string& url) {
  for (const std::string scheme : {"http://", "https://"}) {
    if (url.rfind(scheme, 0) == 0) return url.size() > scheme.size();
  }
  return false;
}

std::optional<std::string> AnyValue(std::string&) { return std::nullopt; }

const SettingRow kRows[] = {
    {.group = "downloads",
     .key = "folder",
     .name = "folder",
     .kind = SettingKind::kText,
     .check = [](std::string& v) -> std::optional<std::string> {
       if (v.empty()) return Problem(u8"下载文件夹不能为空");
       // Written as in a shell; aria2 would make a folder named "~".
       if (v == "~" || v.rfind("~/", 0) == 0) {
         const std::string home = g_get_home_dir() ? g_get_home_dir() : "";
         if (home.empty()) return Problem(u8"找不到主目录，无法展开“~”，请写出完整的路径");
         v = home + v.substr(1);
       }
       return std::nullopt;
     },
     .empty_is_default = false,
     .label = u8"下载文件夹",
     .help = u8"新的下载保存到这里",
     .variable = nullptr,
     .when = SettingTakesEffect::kNow,
     .text = &Settings::download_folder,
     .apply = [](const Settings& s, Options& o) { o.download_folder = *s.download_folder; }},
    {.group = "aria2",
     .key = "rpc-url",
     .name = "rpc-url",
     .kind = SettingKind::kText,
     .check = [](std::string& v) -> std::optional<std::string> {
       if (v.empty() || UsableRpcUrl(v)) return std::nullopt;
       return Problem(
           u8"RPC地址须以http://、https://、ws://或wss://开头，"
           u8"后接主机和端口，例如http://192.168.1.2:6800/jsonrpc");
     },
     .empty_is_default = false,
     .label = u8"远程 aria2 地址",
     .help = u8"留空则使用 Korvath 自己启动的本机 aria2；例如 https://nas.local:6800/jsonrpc",
     .variable = nullptr,
     .when = SettingTakesEffect::kNextStart,
     .text = &Settings::rpc_url,
     .apply = [](const Settings& s, Options& o) { o.rpc_url = *s.rpc_url; }},
    {.group = "aria2",
     .key = "rpc-secret",
     .name = "rpc-secret",
     .kind = SettingKind::kSecret,
     .check = AnyValue,
     .empty_is_default = false,
     .label = u8"远程 aria2 密钥",
     .help = u8"远程 aria2 的 RPC 密钥（--rpc-secret）",
     .variable = nullptr,
     .when = SettingTakesEffect::kNextStart,
     .text = &Settings::rpc_secret,
     .apply = [](const Settings& s, Options& o) { o.rpc_secret = *s.rpc_secret; }},
    {.group = "aria2",
     .key = "certificate-sha256",
     .name = "certificate-sha256",
     .kind = SettingKind::kText,
     .check = [](std::string& v) -> std::optional<std::string> {
       if (v.empty()) return std::nullopt;
       auto normal = NormalizeSha256Fingerprint(v);
       if (!normal) return Problem(u8"证书指纹须是64位十六进制数字（可用冒号分隔），即SHA-256指纹");
       v = *normal;
       return std::nullopt;
     },
     .empty_is_default = false,
     .label = u8"证书指纹",
     .help = u8"远程 aria2 用自签名证书时，填入它的 SHA-256 指纹（64 位十六进制，可带冒号）",
     .variable = nullptr,
     .when = SettingTakesEffect::kNextStart,
     .text = &Settings::certificate_sha256,
     .apply = [](const Settings& s, Options& o) { o.certificate_sha256 = *s.certificate_sha256; }},
    {.group = "aria2",
     .key = "remote-folder",
     .name = "remote-folder",
     .kind = SettingKind::kText,
     .check = AnyValue,
     .empty_is_default = false,
     .label = u8"远程下载文件夹",
     .help = u8"远程机器上保存文件的路径；留空则由远程 aria2 决定",
     .variable = nullptr,
     .when = SettingTakesEffect::kNow,
     .text = &Settings::remote_folder,
     .apply = [](const Settings& s, Options& o) { o.remote_folder = *s.remote_folder; }},
    {.group = "app",
     .key = "app-url",
     .name = "app-url",
     .kind = SettingKind::kText,
     .check =
         [](std::string& v) {
           return WebUrl(v) ? std::nullopt : Problem(u8"分享站点地址须以http://或https://开头");
         },
     .empty_is_default = true,
     .label = u8"分享站点地址",
     .help = u8"主窗口打开的地址，点“首页”即使用新地址",
     .variable = "KORVATH_APP_URL",
     .when = SettingTakesEffect::kNow,
     .text = &Settings::app_url,
     .apply = [](const Settings& s, Options& o) { o.app_url = *s.app_url; }},
    {.group = "app",
     .key = "notice-url",
     .name = "notice-url",
     .kind = SettingKind::kText,
     .check =
         [](std::string& v) {
           return WebUrl(v) ? std::nullopt : Problem(u8"公告地址须以http://或https://开头");
         },
     .empty_is_default = true,
     .label = u8"公告地址",
     .help = u8"启动时读取公告的地址；留空为默认",
     .variable = "KORVATH_NOTICE_URL",
     .when = SettingTakesEffect::kNextStart,
     .text = &Settings::notice_url,
     .apply = [](const Settings& s, Options& o) { o.notice_url = *s.notice_url; }},
    {.group = "notifications",
     .key = "enabled",
     .name = "notifications",
     .kind = SettingKind::kBool,
     .check =
         [](std::string& v) {
           return v == "true" || v == "false" ? std::nullopt : Problem(u8"只能是true或false");
         },
     .empty_is_default = false,
     .label = u8"下载通知",
     .help = u8"下载完成或失败时在桌面上提示",
     .variable = nullptr,
     .when = SettingTakesEffect::kNow,
     .flag = &Settings::notifications,
     .flag_default = true,
     .apply = [](const Settings& s, Options& o) { o.notifications = *s.notifications; }},
    {.group = "downloads",
     .key = "keep-finished",
     .name = "keep-finished",
     .kind = SettingKind::kText,
     .check = [](std::string& v) -> std::optional<std::string> {
       if (v.empty() || v.size() > 6 || v.find_first_not_of("0123456789") != std::string::npos)
         return Problem(u8"保留的已完成任务数须是0到999999之间的整数");
       v = std::to_string(std::stoi(v));
       return std::nullopt;
     },
     .empty_is_default = true,
     .label = u8"保留的已完成任务数",
     .help = u8"重新启动后下载列表里仍列出的已完成任务，最多这么多个（最早的先移除）；0为不保留",
     .variable = nullptr,
     .when = SettingTakesEffect::kNextStart,
     .text = &Settings::keep_finished,
     .apply = [](const Settings& s, Options& o) { o.keep_finished = std::stoi(*s.keep_finished); }},
};

}  // namespace

std::span<const SettingRow> SettingRows() { return kRows; }

const SettingRow* FindSetting(const std::string& group, const std::string& key) {
  for (const SettingRow& row : kRows)
    if (group == row.group && key == row.key) return &row;
  return nullptr;
}

const SettingRow* FindSettingField(const std::string& name) {
  for (const SettingRow& row : kRows)
    if (name == row.name) return &row;
  return nullptr;
}

bool HasSetting(const SettingRow& row, const Settings& settings) {
  return row.kind == SettingKind::kBool ? (settings.*row.flag).has_value() : (settings.*row.text).has_value();
}

std::optional<std::string> StoreSetting(const SettingRow& row, std::string value, Settings& settings) {
  if (value.empty() && row.empty_is_default) return std::nullopt;
  if (auto wrong = row.check(value)) return wrong;
  if (row.kind == SettingKind::kBool)
    settings.*row.flag = value == "true";
  else
    settings.*row.text = std::move(value);
  return std::nullopt;
}

}  // namespace korvath
