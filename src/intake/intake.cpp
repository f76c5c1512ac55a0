#include "intake/intake.h"

#include "engine/download-task.h"
#include "engine/rpc-client.h"
#include "engine/same-file-download.h"

namespace korvath {

Text FileNameFromPageText(std::string_view page_text) {
  const Text raw = TextBetween(page_text, Gbk(u8"文件名："), Gbk(u8"文件大小："));
  // Percent-encoding turns each line feed into "%0A" and nothing else into
  // that sequence (a literal "%" becomes "%25"), so dropping "%0A" and
  // decoding again removes exactly the line feeds.
  const Text encoded = UrlEncode(raw, /*keep_safe=*/true, /*utf8=*/true);
  return UrlDecode(ReplaceSubtext(encoded, "%0A", "", {.case_sensitive = true}), /*utf8=*/true);
}

void InterceptDownload(const IntakeContext& context, std::string_view link) {
  const Text& base = context.storage_base;
  if (!base.empty() && TextLeft(link, TextLength(base)) == base) {
    context.desktop.Log().Record("intake_request", {{"url", Text(link)}, {"kind", Text("storage")}});
    context.page.GoBack();
    return;
  }
  if (FindText(link, "bkt=") <= 0) {
    context.desktop.Log().Record("intake_request", {{"url", Text(link)}, {"kind", Text("ignored")}});
    return;
  }
  context.desktop.Log().Record("intake_request", {{"url", Text(link)}, {"kind", Text("download")}});

  const DownloadTask task{
      .name = FileNameFromPageText(context.page.GetPageText()),
      .link = Text(link),
      .dir = context.download_dir,
  };
  // aria2 may have been restarted or reconfigured by hand since start-up, so
  // the options go out again before every task; a failure has been shown.
  SetGlobalOptions(context.desktop, context.engine);
  // A link handed out again for a file aria2 holds unfinished (the old one
  // expired) continues that download rather than starting a twin of it.
  const SameFileOutcome same = ContinueSameFile(context.desktop, context.engine, task);
  if (same.continued || CreateDownloadTask(context.desktop, context.engine, task)) {
    context.shell.ShowDownloadManager();
  } else {
    MessageBox(context.desktop, Gbk(u8"创建任务失败！请重试……"), kMbIconError);
  }
  context.shell.HideLoadingOverlay();
}

}  // namespace korvath
