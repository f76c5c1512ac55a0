#include "shell/settings-messages.h"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "app/settings-table.h"
#include "app/settings-writer.h"
#include "shell/page-reply.h"
#include "util/download-folder-name.h"

namespace korvath {
namespace {

using nlohmann::json;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

std::string Label(const std::string& name) {
  for (const SettingRow& row : SettingRows())
    if (name == row.name || name == row.key) return U8(row.label);
  return name;
}

// The file's value as the page shows it.
json Shown(const SettingRow& row, const Settings& s) {
  if (row.kind == SettingKind::kBool) return (s.*row.flag).value_or(row.flag_default);
  return (s.*row.text).value_or("");
}

const char* KindName(SettingKind kind) {
  switch (kind) {
    case SettingKind::kSecret:
      return "secret";
    case SettingKind::kBool:
      return "bool";
    case SettingKind::kText:
    case SettingKind::kAria2:
      break;
  }
  return "text";
}

// The form the page draws, one entry per row, the secret's included.
json FieldsForThePage() {
  json fields = json::array();
  for (const SettingRow& row : SettingRows()) {
    if (row.kind == SettingKind::kAria2) continue;
    fields.push_back({{"name", row.name},
                      {"label", U8(row.label)},
                      {"help", U8(row.help)},
                      {"kind", KindName(row.kind)},
                      {"when", row.when == SettingTakesEffect::kNow ? "now" : "start"}});
  }
  return fields;
}

std::string Failure(const std::string& error, const std::string& key = "") {
  json reply = {{"ok", false}, {"error", error}};
  if (!key.empty()) reply["key"] = key;
  return PageReplyText(reply);
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
  bool secret_set = false;
  json sent_per_task = json::array();
  for (const auto& [name, value] : TaskAria2Options({})) sent_per_task.push_back(name);
  for (const SettingRow& row : SettingRows()) {
    if (row.kind == SettingKind::kAria2) continue;
    // The secret stays with the window: the page learns only that there is one.
    if (row.kind == SettingKind::kSecret) {
      secret_set = secret_set || !(loaded.settings.*row.text).value_or("").empty();
      continue;
    }
    values[row.name] = Shown(row, loaded.settings);
    const char* set = row.variable ? env(row.variable) : nullptr;
    if (set && *set) overridden[row.name] = row.variable;
  }
  // As a name alone when the window knows no whole path for it.
  const std::string default_folder = view.default_folder.empty() ? kDownloadFolderName : view.default_folder;
  return PageReplyText(
      json{{"ok", true},
           {"path", view.path},
           {"fields", FieldsForThePage()},
           {"values", values},
           {"secretSet", secret_set},
           {"defaultFolder", default_folder},
           {"overridden", overridden},
           {"damaged", SettingsProblemMessage(view.path, loaded.problems)},
           {"aria2", {{"sentPerTask", sent_per_task}, {"kept", loaded.settings.aria2_options}}}});
}

// aria2 options the page's form or toolbar set: checked and kept in the
// file, so aria2 gets them again at its next start and before each download.
std::string KeepAria2Reply(const json& request, const SettingsView& view) {
  if (!request.contains("values") || !request["values"].is_object())
    return Failure(U8(u8"保存请求不完整，设置没有保存。请重新打开设置再试。"));
  std::vector<SettingChange> changes;
  std::vector<std::string> changed;
  for (const auto& [name, value] : request["values"].items()) {
    const SettingRow* row = FindSetting("aria2-options", name);
    if (!row)
      return Failure(U8(u8"“") + name + U8(u8"”不是 Korvath 能保存的 aria2 设置，设置没有保存。"), name);
    if (!value.is_string())
      return Failure(U8(u8"“") + U8(row->label) + U8(u8"”不是文字，设置没有保存。"), name);
    std::string text = value.get<std::string>();
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
    text.erase(0, text.find_first_not_of(" \t"));
    changes.push_back({row->group, row->key, text});
    changed.push_back(row->name);
  }
  if (changes.empty()) return PageReplyText(json{{"ok", true}, {"message", U8(u8"设置没有改动。")}});
  const SettingsSaveResult saved = SaveSettingsChanges(view.path, changes);
  if (!saved.ok) {
    std::string error = saved.error;
    if (!saved.bad_key.empty() && error.rfind(saved.bad_key + U8(u8"："), 0) == 0)
      error = U8(u8"“") + Label(saved.bad_key) + U8(u8"”") + error.substr(saved.bad_key.size());
    return Failure(error, saved.bad_key);
  }
  if (view.apply) view.apply(LoadSettingsFile(view.path).settings, changed);
  return PageReplyText(json{{"ok", true}, {"message", U8(u8"已保存到") + view.path + U8(u8"。")}});
}

std::string SaveReply(const json& request, const SettingsView& view) {
  if (!request.contains("values") || !request["values"].is_object())
    return Failure(U8(u8"保存请求不完整，设置没有保存。请重新打开设置再试。"));
  const json& values = request["values"];
  const LoadedSettings present = LoadSettingsFile(view.path);
  std::vector<SettingChange> changes;
  std::vector<std::string> changed;
  // A secret comes apart from the values, as `secret` or `clearSecret`, and
  // is listed after them.
  for (const SettingRow& row : SettingRows()) {
    if (row.kind == SettingKind::kSecret || row.kind == SettingKind::kAria2 || !values.contains(row.name))
      continue;
    const json& value = values[row.name];
    const json now = Shown(row, present.settings);
    if (row.kind == SettingKind::kBool) {
      if (!value.is_boolean())
        return Failure(U8(u8"“") + U8(row.label) + U8(u8"”只能是开或关，设置没有保存。"), row.name);
      if (value == now) continue;
      changes.push_back({row.group, row.key, value.get<bool>() ? "true" : "false"});
    } else {
      if (!value.is_string())
        return Failure(U8(u8"“") + U8(row.label) + U8(u8"”不是文字，设置没有保存。"), row.name);
      std::string text = value.get<std::string>();
      // Spaces around a pasted address or path are never meant.
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
      text.erase(0, text.find_first_not_of(" \t"));
      if (text == now.get<std::string>()) continue;
      changes.push_back({row.group, row.key, text});
    }
    changed.push_back(row.name);
  }
  for (const SettingRow& row : SettingRows()) {
    if (row.kind != SettingKind::kSecret) continue;
    if (request.contains("clearSecret") && request["clearSecret"] == true) {
      if ((present.settings.*row.text).has_value()) {
        changes.push_back({row.group, row.key, ""});
        changed.push_back(row.name);
      }
    } else if (request.contains("secret") && request["secret"].is_string() &&
               !request["secret"].get<std::string>().empty()) {
      changes.push_back({row.group, row.key, request["secret"].get<std::string>()});
      changed.push_back(row.name);
    }
  }
  if (changes.empty()) return PageReplyText(json{{"ok", true}, {"message", U8(u8"设置没有改动。")}});

  const SettingsSaveResult saved = SaveSettingsChanges(view.path, changes);
  if (!saved.ok) {
    std::string key = saved.bad_key, error = saved.error;
    for (const SettingRow& row : SettingRows())
      if (key == row.key) key = row.name;
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
  return PageReplyText(json{{"ok", true}, {"message", message}, {"now", now}, {"later", later}});
}

}  // namespace

std::string SettingsMessageReply(const std::string& request_json, const SettingsView& view) {
  const EnvLookup env =
      view.env ? view.env : [](const char* name) -> const char* { return std::getenv(name); };
  const json request = json::parse(request_json, nullptr, false);
  const std::string action = request.is_object() ? request.value("action", "") : "";
  if (action == "load") return LoadReply(view, env);
  if (action == "save") return SaveReply(request, view);
  if (action == "aria2") return KeepAria2Reply(request, view);
  return Failure(U8(u8"无法识别的设置请求，设置没有改动。"));
}

std::string SaveAppUrl(const std::string& path, const std::string& url) {
  if (url.empty()) return U8(u8"请填写分享站点的地址，例如 https://share.example/app/。");
  const SettingsSaveResult saved = SaveSettingsChanges(path, {{"app", "app-url", url}});
  return saved.ok ? "" : saved.error;
}

}  // namespace korvath
