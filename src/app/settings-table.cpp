#include "app/settings-table.h"

#include <glib.h>

#include <iterator>
#include <regex>

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

// ---- checks of aria2's own options: what aria2 would refuse, said first ----

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

bool Digits(const std::string& v) {
  return !v.empty() && v.size() <= 12 && v.find_first_not_of("0123456789") == std::string::npos;
}

template <long long Lo, long long Hi>
std::optional<std::string> WholeNumber(std::string& v) {
  if (Digits(v) && std::stoll(v) >= Lo && std::stoll(v) <= Hi) return std::nullopt;
  return Utf8(u8"请输入 ") + std::to_string(Lo) + Utf8(u8" 到 ") + std::to_string(Hi) + Utf8(u8" 的整数");
}

// aria2 takes whole numbers of bytes, with K or M: "1.5M" is refused.
std::optional<long long> SizeBytes(const std::string& v) {
  std::string digits = v;
  long long unit = 1;
  if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) unit = 1024;
  if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) unit = 1024 * 1024;
  if (unit != 1) digits.pop_back();
  if (!Digits(digits)) return std::nullopt;
  return std::stoll(digits) * unit;
}

std::optional<std::string> Size(std::string& v) {
  if (SizeBytes(v)) return std::nullopt;
  return Problem(u8"请输入整数，可带单位 K 或 M（例如 500K、2M），不能有小数");
}

std::optional<std::string> SplitSize(std::string& v) {
  const std::optional<long long> bytes = SizeBytes(v);
  if (bytes && *bytes >= (1 << 20) && *bytes <= (1 << 30)) return std::nullopt;
  return Problem(u8"请输入 1M 到 1024M 之间的大小（例如 20M）");
}

std::optional<std::string> Switch(std::string& v) {
  return v == "true" || v == "false" ? std::nullopt : Problem(u8"只能是true或false");
}

std::optional<std::string> Ratio(std::string& v) {
  const size_t dot = v.find('.');
  const bool ok = Digits(v.substr(0, dot)) && (dot == std::string::npos || Digits(v.substr(dot + 1)));
  return ok ? std::nullopt : Problem(u8"请输入 0 或正数（例如 1.0）");
}

// aria2's form: [http://][USER:PASSWORD@]HOST[:PORT]
std::optional<std::string> Proxy(std::string& v) {
  static const std::regex kProxy(
      R"(^(https?://)?([^\s/@:]+(:[^\s/@]*)?@)?([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:\d{1,5})?/?$)");
  if (std::regex_match(v, kProxy)) return std::nullopt;
  return Problem(u8"应写成 http://主机:端口（可带 用户名:密码@），例如 http://127.0.0.1:8080");
}

std::optional<std::string> OneOf(const std::string& v, std::initializer_list<const char*> values) {
  std::string list;
  for (const char* value : values) {
    if (v == value) return std::nullopt;
    list += (list.empty() ? "" : Utf8(u8"、")) + value;
  }
  return Utf8(u8"只能是 ") + list + Utf8(u8" 之一");
}

std::optional<std::string> FileAllocation(std::string& v) {
  return OneOf(v, {"none", "prealloc", "trunc", "falloc"});
}
std::optional<std::string> LogLevel(std::string& v) {
  return OneOf(v, {"debug", "info", "notice", "warn", "error"});
}

// aria2's options the manager's form saves. The first ten are the body
// Korvath sends before every download, in its order, with the values the
// program always sent as their defaults.
struct Aria2Row {
  const char* key;
  const char8_t* label;
  std::optional<std::string> (*check)(std::string& value);
  const char* task_default = nullptr;
};

const Aria2Row kAria2Rows[] = {
    {"continue", u8"断点续传", Switch, "true"},
    {"auto-file-renaming", u8"自动改名", Switch, "false"},
    {"follow-torrent", u8"自动打开种子", Switch, "false"},
    {"split", u8"分段数", WholeNumber<1, 16>, "8"},
    {"max-concurrent-downloads", u8"同时下载任务数", WholeNumber<1, 100>, "3"},
    {"max-connection-per-server", u8"每服务器连接数", WholeNumber<1, 16>, "8"},
    {"user-agent", u8"User-Agent", AnyValue, "LogStatistic"},
    {"timeout", u8"超时（秒）", WholeNumber<1, 600>, "1"},
    {"connect-timeout", u8"连接超时（秒）", WholeNumber<1, 600>, "1"},
    {"min-split-size", u8"最小分段大小", SplitSize, "1M"},
    {"dir", u8"下载文件夹", AnyValue},
    {"max-overall-download-limit", u8"全局下载限速", Size},
    {"max-overall-upload-limit", u8"全局上传限速", Size},
    {"max-download-result", u8"保留的结束记录数", WholeNumber<0, 100000>},
    {"max-tries", u8"最多尝试次数", WholeNumber<0, 1000>},
    {"retry-wait", u8"重试间隔（秒）", WholeNumber<0, 600>},
    {"all-proxy", u8"代理服务器", Proxy},
    {"check-certificate", u8"检查证书", Switch},
    {"bt-max-peers", u8"每个种子最多连接数", WholeNumber<0, 1000>},
    {"seed-ratio", u8"做种分享率", Ratio},
    {"seed-time", u8"做种时间（分钟）", WholeNumber<0, 100000>},
    {"bt-tracker", u8"额外的 Tracker", AnyValue},
    {"file-allocation", u8"文件预分配", FileAllocation},
    {"lowest-speed-limit", u8"最低速度", Size},
    {"allow-overwrite", u8"允许覆盖", Switch},
    {"log-level", u8"日志级别", LogLevel},
};

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
     .key = "port",
     .name = "aria2-port",
     .kind = SettingKind::kText,
     .check = WholeNumber<1024, 65535>,
     .empty_is_default = true,
     .label = u8"本机 aria2 端口",
     .help = u8"Korvath 自己启动的 aria2 在这个端口上接受命令；默认 6800，被别的程序占用时可改用其他端口",
     .variable = nullptr,
     .when = SettingTakesEffect::kNextStart,
     .text = &Settings::port,
     .apply = [](const Settings& s, Options& o) { o.aria2_port = std::stoi(*s.port); }},
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

// Korvath's rows, then aria2's.
const std::vector<SettingRow>& AllRows() {
  static const std::vector<SettingRow> rows = [] {
    std::vector<SettingRow> all(std::begin(kRows), std::end(kRows));
    for (const Aria2Row& row : kAria2Rows) {
      all.push_back({.group = "aria2-options",
                     .key = row.key,
                     .name = row.key,
                     .kind = SettingKind::kAria2,
                     .check = row.check,
                     // Blank: aria2's own default (no proxy, no tracker) stands.
                     .empty_is_default = true,
                     .label = row.label,
                     .help = u8"",
                     .variable = nullptr,
                     .when = SettingTakesEffect::kNow,
                     .apply = [](const Settings& s, Options& o) { o.aria2_options = s.aria2_options; },
                     .task_default = row.task_default});
    }
    return all;
  }();
  return rows;
}

}  // namespace

std::span<const SettingRow> SettingRows() { return AllRows(); }

const SettingRow* FindSetting(const std::string& group, const std::string& key) {
  for (const SettingRow& row : AllRows())
    if (group == row.group && key == row.key) return &row;
  return nullptr;
}

const SettingRow* FindSettingField(const std::string& name) {
  for (const SettingRow& row : AllRows())
    if (name == row.name) return &row;
  return nullptr;
}

std::vector<std::pair<std::string, std::string>> TaskAria2Options(
    const std::map<std::string, std::string>& kept) {
  std::vector<std::pair<std::string, std::string>> sent;
  for (const SettingRow& row : AllRows()) {
    if (row.kind != SettingKind::kAria2 || !row.task_default) continue;
    const auto found = kept.find(row.key);
    sent.emplace_back(row.key, found != kept.end() ? found->second : row.task_default);
  }
  return sent;
}

std::vector<std::pair<std::string, std::string>> OtherAria2Options(
    const std::map<std::string, std::string>& kept) {
  std::vector<std::pair<std::string, std::string>> sent;
  for (const SettingRow& row : AllRows()) {
    if (row.kind != SettingKind::kAria2 || row.task_default) continue;
    if (const auto found = kept.find(row.key); found != kept.end()) sent.emplace_back(row.key, found->second);
  }
  return sent;
}

bool HasSetting(const SettingRow& row, const Settings& settings) {
  if (row.kind == SettingKind::kAria2) return settings.aria2_options.count(row.key) > 0;
  return row.kind == SettingKind::kBool ? (settings.*row.flag).has_value() : (settings.*row.text).has_value();
}

std::optional<std::string> StoreSetting(const SettingRow& row, std::string value, Settings& settings) {
  if (value.empty() && row.empty_is_default) return std::nullopt;
  if (auto wrong = row.check(value)) return wrong;
  if (row.kind == SettingKind::kAria2)
    settings.aria2_options[row.key] = std::move(value);
  else if (row.kind == SettingKind::kBool)
    settings.*row.flag = value == "true";
  else
    settings.*row.text = std::move(value);
  return std::nullopt;
}

}  // namespace korvath
