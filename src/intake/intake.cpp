#include "intake/intake.h"

#include "engine/clean-file-name.h"
#include "engine/download-task.h"
#include "engine/rpc-client.h"
#include "engine/same-file-download.h"
#include "engine/session-record.h"
#include "intake/free-space.h"
#include "intake/share-link.h"

#include <algorithm>
#include <filesystem>

namespace korvath {

Text FileNameFromPageText(std::string_view page_text) {
  const Text raw = TextBetween(page_text, Gbk(u8"文件名："), Gbk(u8"文件大小："));
  // Percent-encoding turns each line feed into "%0A" and nothing else into
  // that sequence (a literal "%" becomes "%25"), so dropping "%0A" and
  // decoding again removes exactly the line feeds.
  const Text encoded = UrlEncode(raw, /*keep_safe=*/true, /*utf8=*/true);
  return UrlDecode(ReplaceSubtext(encoded, "%0A", "", {.case_sensitive = true}), /*utf8=*/true);
}

namespace {

// The file `task` is saved as, absolute (UTF-8).
std::filesystem::path TaskFile(const DownloadTask& task) {
  std::error_code ec;
  std::filesystem::path folder(GbkToUtf8(task.dir));
  if (folder.is_relative()) folder = std::filesystem::current_path(ec) / folder;
  return folder / SafeFileName(GbkToUtf8(task.name));
}

// False, with the user told how much is needed and how much is free, when the
// download folder cannot hold the size the page states.
bool RoomForDownload(const IntakeContext& context, const DownloadTask& task, std::string_view page_text) {
  const std::optional<std::int64_t> size = PageFileSize(page_text);
  if (!size) return true;
  std::error_code ec;
  const std::filesystem::path file = TaskFile(task);
  const std::filesystem::path folder = file.parent_path();
  // A partial file being continued already holds its space (aria2 allocates
  // the whole file at once).
  std::int64_t needed = *size;
  const auto partial = std::filesystem::file_size(file, ec);
  if (!ec) needed -= std::min<std::int64_t>(needed, static_cast<std::int64_t>(partial));
  const std::optional<std::int64_t> free = FreeBytes(folder.string());
  if (!free || *free >= needed) return true;
  MessageBox(context.desktop,
             Gbk(u8"下载文件夹所在的磁盘空间不够：这个文件需要 ") + ByteSizeText(*size) + Gbk(u8"，只剩 ") +
                 ByteSizeText(*free) + Gbk(u8"。请清理磁盘后再点击一次这个文件。"),
             kMbIconError);
  context.desktop.Log().Record(
      "task_refused",
      {{"name", task.name}, {"reason", std::string("disk_space")}, {"needed", *size}, {"free", *free}});
  return false;
}

// The downloads Korvath recorded as unfinished; none when there is no
// record or it cannot be read (a partial file is then not continued).
std::vector<SessionTask> RecordedTasks(const std::string& path) {
  if (path.empty()) return {};
  const std::optional<std::string> text = ReadWholeFile(path);
  std::optional<ParsedSessionRecord> record;
  if (text) record = ParseSessionRecord(*text);
  return record ? std::move(record->tasks) : std::vector<SessionTask>{};
}

}  // namespace

void InterceptDownload(const IntakeContext& context, std::string_view link) {
  const Text& base = context.storage_base;
  if (!base.empty() && TextLeft(link, TextLength(base)) == base) {
    context.desktop.Log().Record("intake_request", {{"url", Text(link)}, {"kind", Text("storage")}});
    context.page.GoBack();
    return;
  }
  const ShareLinkKind link_kind = ClassifyShareLink(link);
  if (link_kind != ShareLinkKind::kShareLink) {
    const bool refused = link_kind == ShareLinkKind::kRefusedScheme;
    context.desktop.Log().Record("intake_request",
                                 {{"url", Text(link)}, {"kind", Text(refused ? "refused" : "ignored")}});
    return;
  }
  context.desktop.Log().Record("intake_request", {{"url", Text(link)}, {"kind", Text("download")}});
  // Read before any wait: the page may move on to another file meanwhile.
  const Text page_text = context.page.GetPageText();
  // A click while aria2 comes back after it ended is held, not failed.
  context.shell.WaitForEngine();

  const DownloadTask clicked{
      .name = CleanFileName(FileNameFromPageText(page_text)),
      .link = Text(link),
      .dir = context.download_dir,
  };
  if (!RoomForDownload(context, clicked, page_text)) {
    context.shell.HideLoadingOverlay();
    return;
  }
  const std::optional<StatedSize> stated = StatedFileSize(page_text, &context.desktop.Log());
  const bool local = !context.engine.Remote();
  const bool checked = context.stated_sizes && !clicked.name.empty() && local;
  std::optional<std::string> remembered;  // the file whose page size is kept
  bool handed_over = false;
  // aria2 may have been restarted or reconfigured by hand since start-up, so
  // the options go out again before every task; a failure has been shown.
  for (;;) {
    const bool options_sent = SetGlobalOptions(context.desktop, context.engine, context.global_options);
    // A remote aria2 that did not take the options (and said why) would not
    // take the task either: the user gets the choice at once.
    const bool skip = context.engine.Remote() && !options_sent;
    if (!skip) {
      // Decided before any task exists: a new link for a file aria2 holds
      // unfinished continues it, and another file never takes a name that
      // a file or a download already owns.
      const std::vector<SessionTask> recorded =
          local ? RecordedTasks(context.session_record) : std::vector<SessionTask>{};
      const SameFileOutcome same = ContinueSameFile(context.desktop, context.engine, clicked,
                                                    {.stated = stated,
                                                     .known_sizes = context.stated_sizes,
                                                     .base_dir = {},
                                                     .local_files = local,
                                                     .recorded = &recorded});
      DownloadTask task = clicked;
      task.name = same.name;
      task.at_name = same.at_name;
      if (same.way == "downloading") {
        MessageBox(context.desktop, Gbk(u8"这个文件正在下载。"), kMbIconInformation);
        context.shell.ShowDownloadManager();
        break;
      }
      if (same.way == "no_free_name") {
        MessageBox(context.desktop,
                   Gbk(u8"下载文件夹里同名的文件太多，找不到空闲的名字保存这个文件。请整理下载文件夹后再点击"
                       u8"一次这个文件。"),
                   kMbIconError);
        break;
      }
      if (same.way == "folder_changed") {
        MessageBox(
            context.desktop,
            Gbk(u8"下载文件夹已不是开始下载这个文件时的那个文件夹（可能被换成了指向别处的链接），"
                u8"为了不写坏那里的同名文件，没有继续下载。请把原来的文件夹放回原处后再点击一次这个文件。"),
            kMbIconError);
        break;
      }
      // Kept before the task exists: a small file may be complete before the
      // call that creates it returns, and its check must find the size.
      if (checked) {
        remembered = TaskFile(task).string();
        // A download that goes on keeps the place it began in.
        const bool continues = same.continued || same.way == "control_file" || same.way == "replaced_failed";
        context.stated_sizes->Remember(*remembered, stated, continues);
      }
      if (same.continued || CreateDownloadTask(context.desktop, context.engine, task)) {
        handed_over = true;
        if (!same.continued) context.shell.TaskHandedOver(task);
        context.shell.ShowDownloadManager();
        break;
      }
    }
    if (!context.engine.Remote()) {
      MessageBox(context.desktop, Gbk(u8"创建任务失败！请重试……"), kMbIconError);
      break;
    }
    // The machine may be waking up or the settings being fixed: the request
    // stays here until the user gives it up.
    context.desktop.Log().Record("intake_retry_offered", {{"name", clicked.name}});
    const int answer =
        MessageBox(context.desktop,
                   Gbk(u8"创建任务失败！问题解决后请点“重试”，这个下载会再交给远程aria2；点“取消”则放弃它。"),
                   kMbRetryCancel | kMbIconError);
    if (answer != kRetry) break;
  }
  if (remembered && !handed_over) context.stated_sizes->Forget(*remembered);
  context.shell.HideLoadingOverlay();
}

}  // namespace korvath
