#include "app/settings-file.h"

#include <glib.h>

#include <cstdlib>
#include <memory>

#include "app/settings-table.h"
#include "util/file-io.h"

namespace korvath {
namespace {

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

struct ErrorHolder {
  GError* error = nullptr;
  ~ErrorHolder() {
    if (error) g_error_free(error);
  }
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Trimmed(const std::string& line) {
  size_t start = 0;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  size_t end = line.size();
  while (end > start && (line[end - 1] == ' ' || line[end - 1] == '\t' || line[end - 1] == '\r')) --end;
  return line.substr(start, end - start);
}

bool KnownGroup(const std::string& group) {
  for (const SettingRow& row : SettingRows())
    if (group == row.group) return true;
  return false;
}

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

}  // namespace

std::optional<std::string> NormalizeSha256Fingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!g_ascii_isxdigit(c)) return std::nullopt;
    hex += g_ascii_tolower(c);
  }
  if (hex.size() != 64) return std::nullopt;
  return hex;
}

std::optional<std::string> SettingValueProblem(const std::string& group, const std::string& key,
                                               const std::string& value) {
  const SettingRow* row = FindSetting(group, key);
  if (!row) return Utf8(u8"未知的设置“") + key + Utf8(u8"”（组[") + group + "]）";
  if (!g_utf8_validate(value.data(), static_cast<gssize>(value.size()), nullptr))
    return key + Utf8(u8"的值不是UTF-8文本");
  Settings scratch;
  if (auto wrong = StoreSetting(*row, value, scratch)) return key + Utf8(u8"：") + *wrong;
  return std::nullopt;
}

bool UsableRpcUrl(const std::string& url) {
  for (const char* scheme : {"http://", "https://", "ws://", "wss://"}) {
    if (!StartsWith(url, scheme)) continue;
    const std::string rest = url.substr(std::string(scheme).size());
    const size_t host_end = rest.find_first_of("/?#");
    const std::string authority = rest.substr(0, host_end);
    if (authority.empty() || authority[0] == ':' || authority.find('@') != std::string::npos) return false;
    for (char c : url)
      if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    return true;
  }
  return false;
}

std::string SettingsFilePath() { return std::string(g_get_user_config_dir()) + "/korvath/settings.ini"; }

LoadedSettings ParseSettingsText(const std::string& text) {
  LoadedSettings loaded;
  loaded.found = true;
  std::string group;
  bool in_group = false;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    // A file saved by a Windows editor: its line ends are still line ends.
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string trimmed = Trimmed(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    auto problem = [&](std::string what) { loaded.problems.push_back({number, std::move(what)}); };

    if (trimmed[0] == '[') {
      KeyFilePtr file(g_key_file_new());
      ErrorHolder error;
      if (!g_key_file_load_from_data(file.get(), line.data(), line.size(), G_KEY_FILE_NONE, &error.error)) {
        problem(Utf8(u8"不是有效的组名（应写作[downloads]这样的一行）"));
        in_group = true;
        group = "";
        continue;
      }
      gchar* name = g_key_file_get_start_group(file.get());
      group = name ? name : "";
      g_free(name);
      in_group = true;
      if (!KnownGroup(group)) problem(Utf8(u8"未知的组[") + group + "]");
      continue;
    }
    if (!in_group) {
      problem(Utf8(u8"设置须写在[组名]一行之后"));
      continue;
    }
    const std::string alone = "[k]\n" + line + "\n";
    KeyFilePtr file(g_key_file_new());
    ErrorHolder error;
    if (!g_key_file_load_from_data(file.get(), alone.data(), alone.size(), G_KEY_FILE_NONE, &error.error)) {
      problem(Utf8(u8"不是“键=值”的格式"));
      continue;
    }
    gchar** keys = g_key_file_get_keys(file.get(), "k", nullptr, nullptr);
    const std::string key = keys && keys[0] ? keys[0] : "";
    g_strfreev(keys);
    // Keys of a group that was reported already are not reported again.
    if (!KnownGroup(group)) continue;
    const SettingRow* row = FindSetting(group, key);
    if (!row) {
      problem(Utf8(u8"未知的设置“") + key + Utf8(u8"”（组[") + group + "]）");
      continue;
    }
    ErrorHolder value_error;
    gchar* value = g_key_file_get_string(file.get(), "k", key.c_str(), &value_error.error);
    if (!value) {
      problem(key + Utf8(u8"的值含有无效的转义序列"));
      continue;
    }
    std::string text_value = value;
    g_free(value);
    if (!g_utf8_validate(text_value.data(), static_cast<gssize>(text_value.size()), nullptr)) {
      problem(key + Utf8(u8"的值不是UTF-8文本"));
      continue;
    }
    if (auto wrong = StoreSetting(*row, std::move(text_value), loaded.settings))
      problem(key + Utf8(u8"：") + *wrong);
  }
  return loaded;
}

LoadedSettings LoadSettingsFile(const std::string& path) {
  const PlainFileRead read = ReadPlainFile(path);
  if (read.not_plain) {
    // Start-up would otherwise go on with defaults the user never chose,
    // and without a word of why.
    LoadedSettings loaded;
    loaded.problems.push_back({0, Utf8(u8"它不是普通的文本文件（可能是文件夹、管道或设备），无法读取。"
                                       u8"请删除它，或换成普通的文本文件")});
    return loaded;
  }
  if (!read.bytes) return {};
  return ParseSettingsText(*read.bytes);
}

std::string SettingsProblemMessage(const std::string& path, const std::vector<SettingsProblem>& problems) {
  if (problems.empty()) return "";
  std::string message = Utf8(u8"设置文件") + path + Utf8(u8"中有无法使用的内容，这些设置已改用默认值：");
  for (const SettingsProblem& problem : problems) {
    message += "\n";
    if (problem.line > 0) message += Utf8(u8"第") + std::to_string(problem.line) + Utf8(u8"行：");
    message += problem.what;
  }
  message += "\n" + Utf8(u8"文件本身未作任何改动。请改正后重新启动本程序。");
  return message;
}

void ApplySettings(Options& options, const Settings& settings, const EnvLookup& env_in) {
  EnvLookup env = env_in ? env_in : [](const char* name) -> const char* { return std::getenv(name); };
  for (const SettingRow& row : SettingRows()) {
    if (!HasSetting(row, settings)) continue;
    const char* variable = row.variable ? env(row.variable) : nullptr;
    if (variable && *variable) continue;
    row.apply(settings, options);
  }
}

}  // namespace korvath
