#include "engine/session-restore-report.h"

#include <cstddef>
#include <string>
#include <vector>

namespace korvath {
namespace {

// A box stays readable with hundreds of entries: the first few, then how many.
constexpr std::size_t kListedAtMost = 10;

Text Listed(const std::vector<Text>& lines) {
  Text text;
  for (std::size_t i = 0; i < lines.size() && i < kListedAtMost; ++i) text += lines[i] + "\n";
  if (lines.size() > kListedAtMost) {
    text += Gbk(u8"……共 ") + ToText(static_cast<std::int64_t>(lines.size())) + Gbk(u8" 个\n");
  }
  return text;
}

Text KeptText(const std::string& kept) {
  return kept.empty() ? Gbk(u8"原来的记录无法另存。")
                      : Gbk(u8"原来的记录已另存为：") + Utf8ToGbk(kept) + Gbk(u8"。");
}

void TellDamage(Desktop& desktop, const SessionRestoreResult& result) {
  if (result.bad_record) {
    MessageBox(desktop,
               Gbk(u8"下载记录已损坏，上次未完成的下载无法自动恢复；已下载的部分文件仍在下载文件夹里，"
                   u8"可以在分享页上再点击一次文件接着下载。") +
                   KeptText(result.kept_aside),
               kMbIconError);
  } else if (result.bad_entries > 0) {
    MessageBox(
        desktop,
        Gbk(u8"下载记录里有 ") + ToText(result.bad_entries) +
            Gbk(u8" 条已损坏，这些下载无法自动恢复，其余的下载已恢复；已下载的部分文件仍在下载文件夹里。") +
            KeptText(result.kept_aside),
        kMbIconError);
  }
}

void TellSetAside(Desktop& desktop, const SessionRestoreResult& result) {
  if (result.set_aside.empty()) return;
  std::vector<Text> lines;
  for (const SetAsideFile& file : result.set_aside) {
    lines.push_back(Utf8ToGbk(file.path) +
                    (file.kept_as.empty()
                         ? Gbk(u8"\n    （只有损坏的进度文件，已删除）")
                         : Gbk(u8"\n    原来的部分文件已改名为：") + Utf8ToGbk(file.kept_as)));
  }
  MessageBox(desktop,
             Gbk(u8"以下下载的进度文件丢失、损坏或与已下载的部分不符，继续下载会得到残缺的文件，"
                 u8"所以将从头重新下载：\n") +
                 Listed(lines),
             kMbIconInformation);
}

}  // namespace

RefusedChoice TellRestoreOutcome(Desktop& desktop, const SessionRestoreResult& result) {
  TellDamage(desktop, result);
  TellSetAside(desktop, result);
  if (result.refused.empty()) return RefusedChoice::kKeep;
  std::vector<Text> lines;
  for (const SessionTask& task : result.refused) {
    const Text name = task.out.empty() ? (task.uris.empty() ? Text() : task.uris.front()) : task.out;
    lines.push_back(name + Gbk(u8"（") + task.dir + Gbk(u8"）：") + task.refused);
  }
  const int answer = MessageBox(desktop,
                                Gbk(u8"以下下载未能恢复：\n") + Listed(lines) +
                                    Gbk(u8"\n要从下载记录中删除这些下载吗？\n"
                                        u8"选“否”：保留在记录里，下次启动时再试。\n"
                                        u8"选“是”：从记录中删除；已下载的部分文件不会被删除。"),
                                kMbYesNo | kMbDefButton2 | kMbIconQuestion);
  const RefusedChoice choice = answer == kYes ? RefusedChoice::kForget : RefusedChoice::kKeep;
  desktop.Log().Record("session_refused_choice",
                       {{"choice", std::string(choice == RefusedChoice::kForget ? "forget" : "keep")},
                        {"count", static_cast<std::int64_t>(result.refused.size())}});
  return choice;
}

}  // namespace korvath
