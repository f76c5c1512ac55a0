#include "app/settings-writer.h"

#include <glib.h>

#include <filesystem>
#include <memory>

#include "app/settings-file.h"
#include "util/file-io.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

std::string U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

SettingsSaveResult Refused(std::string error, std::string key = "") {
  return {.ok = false, .error = std::move(error), .bad_key = std::move(key)};
}

bool HasControlCharacter(const std::string& value) {
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

std::string DamagedMessage(const std::string& path, const std::vector<SettingsProblem>& problems) {
  std::string message =
      U8(u8"设置文件") + path + U8(u8"中有无法使用的内容，为了不丢失您写的内容，设置没有保存：");
  for (const SettingsProblem& problem : problems)
    message += "\n" + U8(u8"第") + std::to_string(problem.line) + U8(u8"行：") + problem.what;
  message += "\n" + U8(u8"请先用文本编辑器改正或删除这一行，再保存。");
  return message;
}

struct KeyFileDeleter {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};

}  // namespace

SettingsSaveResult SaveSettingsChanges(const std::string& path, const std::vector<SettingChange>& changes) {
  for (const SettingChange& change : changes) {
    if (HasControlCharacter(change.value))
      return Refused(change.key + U8(u8"：不能包含换行或其他控制字符。设置没有保存。"), change.key);
    if (change.value.empty()) continue;
    if (auto problem = SettingValueProblem(change.group, change.key, change.value))
      return Refused(*problem + U8(u8"。设置没有保存，请改正后再保存。"), change.key);
  }

  std::error_code ec;
  fs::path target(path);
  // A settings file kept elsewhere and linked here stays where it is.
  if (fs::is_symlink(fs::symlink_status(target, ec))) target = fs::weakly_canonical(target, ec);
  std::string text;
  if (fs::exists(target, ec)) {
    const PlainFileRead read = ReadPlainFile(target.string());
    if (read.not_plain)
      return Refused(
          U8(u8"设置文件") + path +
          U8(u8"不是普通的文本文件（可能是文件夹、管道或设备），设置没有保存。请删除它后再保存。"));
    if (!read.bytes)
      return Refused(U8(u8"无法读取设置文件") + path + U8(u8"，设置没有保存。请检查这个文件的权限。"));
    text = *read.bytes;
    LoadedSettings present = ParseSettingsText(text);
    if (!present.problems.empty()) return Refused(DamagedMessage(path, present.problems));
  }

  std::unique_ptr<GKeyFile, KeyFileDeleter> file(g_key_file_new());
  GError* error = nullptr;
  if (!text.empty() && !g_key_file_load_from_data(
                           file.get(), text.data(), text.size(),
                           GKeyFileFlags(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS), &error)) {
    const std::string why = error ? error->message : "";
    if (error) g_error_free(error);
    return Refused(U8(u8"设置文件") + path + U8(u8"无法读取（") + why +
                   U8(u8"），设置没有保存。请用文本编辑器检查这个文件。"));
  }
  for (const SettingChange& change : changes) {
    if (change.value.empty())
      g_key_file_remove_key(file.get(), change.group.c_str(), change.key.c_str(), nullptr);
    else
      g_key_file_set_string(file.get(), change.group.c_str(), change.key.c_str(), change.value.c_str());
  }
  gsize size = 0;
  gchar* data = g_key_file_to_data(file.get(), &size, nullptr);
  const std::string out(data ? data : "", data ? size : 0);
  g_free(data);
  // What is written must read back cleanly, or the next start would report
  // the program's own line as the user's mistake.
  if (!ParseSettingsText(out).problems.empty())
    return Refused(U8(u8"新的设置无法写成有效的设置文件，设置没有保存。请检查刚才填写的内容。"));
  if (!WriteFileAtomically(target.string(), out, 0600))
    return Refused(U8(u8"无法写入设置文件") + path +
                   U8(u8"，设置没有保存。请检查它所在文件夹的权限和磁盘空间。"));
  return {.ok = true, .error = "", .bad_key = ""};
}

}  // namespace korvath
