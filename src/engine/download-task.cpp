#include "engine/download-task.h"

#include "engine/aria2-request.h"
#include "engine/remote-aria2.h"
#include "engine/rpc-client.h"
#include "util/json-object.h"
#include "util/shown-text.h"

namespace korvath {
std::string SafeFileName(std::string_view name_utf8) {
  std::string safe;
  safe.reserve(name_utf8.size());
  for (const char c : name_utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) continue;
    // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8. Checked
    // against what is kept, so dropping a byte between the two cannot join
    // them into one.
    if (byte >= 0x80 && byte <= 0x9f && !safe.empty() && static_cast<unsigned char>(safe.back()) == 0xc2) {
      safe.pop_back();
      continue;
    }
    // aria2 joins "out" to "dir" as a path: a separator in the name would
    // reach other directories.
    safe += (byte == '/' || byte == '\\') ? '_' : static_cast<char>(byte);
  }
  if (safe == "." || safe == "..") safe.clear();
  if (safe.size() <= kMaxSavedNameBytes) return safe;
  // Longer than a file name can be: aria2 could not create the file and the
  // task would fail. The end of the name goes, the extension stays, and the
  // cut never splits a character.
  return FitSavedName(safe);
}

std::string DownloadTaskBody(const EngineState& state, const DownloadTask& task) {
  // The name is made safe after the conversion: in system text a "\" byte can
  // be the second half of a Chinese character, in UTF-8 never.
  Aria2Options options = TaskOptions(state, GbkToUtf8(task.dir), SafeFileName(GbkToUtf8(task.name)));
  SetAtNameOptions(options, task.at_name);
  return Aria2Request(aria2_method::kAddUri, state.rpc_secret)
      .AddTexts({task.link})
      .AddOptions(options)
      .Body();
}

void SetAtNameOptions(Aria2Options& options, DownloadTask::AtName at_name) {
  // The global options continue whatever file has the name, for the share
  // page's expired links: a file without a control file counts as
  // downloaded up to its length, and one of the whole length as done.
  if (at_name == DownloadTask::AtName::kContinue) return;
  options.SetSwitch(aria2_option::kContinue, false)
      .SetSwitch(aria2_option::kAllowOverwrite, false)
      .SetSwitch(aria2_option::kAutoFileRenaming, at_name == DownloadTask::AtName::kRename);
}

Aria2Options TaskOptions(const EngineState& state, std::string_view dir_utf8, std::string_view out_utf8) {
  Aria2Options options;
  // No folder: the file goes where that aria2 puts files by its own settings
  // (a remote one whose folder the user left to it).
  if (!dir_utf8.empty()) options.Set(aria2_option::kDir, dir_utf8);
  return options.Set(aria2_option::kHeader, state.cookie_header)
      .Set(aria2_option::kMaxTries, kTaskTries)
      .Set(aria2_option::kOut, out_utf8);
}

bool CreateDownloadTask(Desktop& desktop, const EngineState& state, const DownloadTask& task) {
  JsonObject reply_json;
  desktop.PumpMessages();
  RpcAnswer answer = CallRpc(desktop, state, DownloadTaskBody(state, task));
  const std::string& reply = answer.reply;
  if (state.Remote() && answer.failure != RpcFailure::kNone) {
    MessageBox(desktop, RemoteFailureMessage(state, answer), kMbIconError);
    desktop.Log().Record("task_failed", {{"name", task.name}});
    return false;
  }
  if (reply.empty()) {
    MessageBox(desktop, Gbk(u8"aria2的RPC服务不工作，请检查您电脑的防火墙设置。"));
    desktop.Log().Record("task_failed", {{"name", task.name}});
    return false;
  }
  reply_json.ParseUtf8(reply);
  Text gid = reply_json.GetProperty("result");
  if (!gid.empty()) {
    desktop.Log().Record("task_created", {{"name", task.name}, {"gid", gid}});
    return true;
  }
  MessageBox(desktop, Gbk(u8"无法创建下载任务，原始数据：") + OneLineText(QuotedAria2Reply(reply)));
  desktop.Log().Record("task_failed", {{"name", task.name}});
  return false;
}

}  // namespace korvath
