#include "shell/settings-messages.h"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "shell/settings-writer.h"

namespace korvath {
namespace {

using nlohmann::json;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

struct Field {
  const char* name;  // as the page has it
  const char* group;
  const char* key;
  const char8_t* label;
  const char* variable;  // the KORVATH_* variable that wins over it, if any
};

// The secret is apart: it never goes to the page.
const Field kFields[] = {
    {"folder", "downloads", "folder", u8"下载文件夹", nullptr},
    {"rpc-url", "aria2", "rpc-url", u8"远程 aria2 地址", nullptr},
    {"certificate-sha256", "aria2", "certificate-sha256", u8"证书指纹", nullptr},
    {"remote-folder", "aria2", "remote-folder", u8"远程下载文件夹", nullptr},
    {"app-url", "app", "app-url", u8"分享站点地址", "KORVATH_APP_URL"},
    {"notice-url", "app", "notice-url", u8"公告地址", "KORVATH_NOTICE_URL"},
    {"notifications", "notifications", "enabled", u8"下载通知", nullptr},
};
constexpr const char8_t* kSecretLabel = u8"远程 aria2 密钥";

std::string Label(const std::string& name) {
  for (const Field& f : kFields)
    if (name == f.name || name == f.key) return U8(f.label);
  return name == "rpc-secret" ? U8(kSecretLabel) : name;
}

// The file's value as the page shows it.
json Shown(const Settings& s, const std::string& name) {
  if (name == "folder") return s.download_folder.value_or("");
  if (name == "rpc-url") return s.rpc_url.value_or("");
  if (name == "certificate-sha256") return s.certificate_sha256.value_or("");
  if (name == "remote-folder") return s.remote_folder.value_or("");
  if (name == "app-url") return s.app_url.value_or("");
  if (name == "notice-url") return s.notice_url.value_or("");
  return s.notifications.value_or(true);
}

std::string Failure(const std::string& error, const std::string& key = "") {
  json reply = {{"ok", false}, {"error", error}};
  if (!key.empty()) reply["key"] = key;
  return reply.dump();
}

std::string Joined(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& name : names) out += (out.empty() ? "" : U8(u8"、")) + Label(name);
  return out;
}

std::string LoadReply(const SettingsView& view, const EnvLookup& env) {
  const LoadedSettings loaded = LoadSettingsFile(view.path);
  json values = json::object();
  json overridden = json::object();
  for (const Field& f : kFields) {
    values[f.name] = Shown(loaded.settings, f.name);
    const char* set = f.variable ? env(f.variable) : nullptr;
    if (set && *set) overridden[f.name] = f.variable;
  }
  return json{{"ok", true},
              {"path", view.path},
              {"values", values},
              {"secretSet", loaded.settings.rpc_secret.has_value() && !loaded.settings.rpc_secret->empty()},
              {"defaultFolder", view.default_folder},
              {"overridden", overridden},
              {"damaged", SettingsProblemMessage(view.path, loaded.problems)}}
      .dump();
}

std::string SaveReply(const json& request, const SettingsView& view) {
  if (!request.contains("values") || !request["values"].is_object())
    return Failure(U8(u8"保存请求不完整，设置没有保存。请重新打开设置再试。"));
  const json& values = request["values"];
  const LoadedSettings present = LoadSettingsFile(view.path);
  std::vector<SettingChange> changes;
  std::vector<std::string> changed;
  for (const Field& f : kFields) {
    if (!values.contains(f.name)) continue;
    const json& value = values[f.name];
    const json now = Shown(present.settings, f.name);
    if (std::string(f.name) == "notifications") {
      if (!value.is_boolean()) return Failure(U8(u8"“下载通知”只能是开或关，设置没有保存。"), f.name);
      if (value == now) continue;
      changes.push_back({f.group, f.key, value.get<bool>() ? "true" : "false"});
    } else {
      if (!value.is_string()) return Failure(U8(u8"“") + U8(f.label) + U8(u8"”不是文字，设置没有保存。"), f.name);
      std::string text = value.get<std::string>();
      // Spaces around a pasted address or path are never meant.
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
      text.erase(0, text.find_first_not_of(" \t"));
      if (text == now.get<std::string>()) continue;
      changes.push_back({f.group, f.key, text});
    }
    changed.push_back(f.name);
  }
  const bool has_secret = present.settings.rpc_secret.has_value();
  if (request.contains("clearSecret") && request["clearSecret"] == true) {
    if (has_secret) {
      changes.push_back({"aria2", "rpc-secret", ""});
      changed.push_back("rpc-secret");
    }
  } else if (request.contains("secret") && request["secret"].is_string() &&
             !request["secret"].get<std::string>().empty()) {
    changes.push_back({"aria2", "rpc-secret", request["secret"].get<std::string>()});
    changed.push_back("rpc-secret");
  }
  if (changes.empty()) return json{{"ok", true}, {"message", U8(u8"设置没有改动。")}}.dump();

  const SettingsSaveResult saved = SaveSettingsChanges(view.path, changes);
  if (!saved.ok) {
    std::string key = saved.bad_key, error = saved.error;
    for (const Field& f : kFields)
      if (key == f.key) key = f.name;
    // The page names its fields by their labels, not by the file's keys.
    if (!saved.bad_key.empty() && error.rfind(saved.bad_key + U8(u8"："), 0) == 0)
      error = U8(u8"“") + Label(key) + U8(u8"”") + error.substr(saved.bad_key.size());
    return Failure(error, key);
  }
  std::vector<std::string> now =
      view.apply ? view.apply(LoadSettingsFile(view.path).settings, changed) : std::vector<std::string>{};
  std::vector<std::string> later;
  for (const auto& name : changed)
    if (std::find(now.begin(), now.end(), name) == now.end()) later.push_back(name);
  std::string message = U8(u8"设置已保存到") + view.path + U8(u8"。");
  if (!now.empty()) message += U8(u8"立即生效：") + Joined(now) + U8(u8"。");
  if (!later.empty()) message += U8(u8"下次启动 Korvath 后生效：") + Joined(later) + U8(u8"。");
  return json{{"ok", true}, {"message", message}, {"now", now}, {"later", later}}.dump();
}

}  // namespace

std::string SettingsMessageReply(const std::string& request_json, const SettingsView& view) {
  const EnvLookup env = view.env ? view.env : [](const char* name) -> const char* { return std::getenv(name); };
  const json request = json::parse(request_json, nullptr, false);
  const std::string action = request.is_object() ? request.value("action", "") : "";
  if (action == "load") return LoadReply(view, env);
  if (action == "save") return SaveReply(request, view);
  return Failure(U8(u8"无法识别的设置请求，设置没有改动。"));
}

std::string SaveAppUrl(const std::string& path, const std::string& url) {
  if (url.empty()) return U8(u8"请填写分享站点的地址，例如 https://share.example/app/。");
  const SettingsSaveResult saved = SaveSettingsChanges(path, {{"app", "app-url", url}});
  return saved.ok ? "" : saved.error;
}

}  // namespace korvath
