#include "shell/dropped-files.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <regex>

#include "engine/session-metadata.h"
#include "util/file-io.h"
#include "webview/script-messages.h"

namespace korvath {
namespace {

const char* U8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

// More than anyone drops at once; the rest is not read.
constexpr std::size_t kMostFiles = 64;
// A drop's files are handed over only to the page's own drop handler, which
// asks at once: a question long after the drop is not about it.
constexpr gint64 kDropFreshUs = 10 * G_USEC_PER_SEC;

bool TakenName(const std::string& name) {
  static const std::regex kTaken(R"(.*\.(torrent|metalink|meta4)$)", std::regex::icase);
  return std::regex_match(name, kTaken);
}

struct DropWatch {
  const void* context = nullptr;     // the drag they came with, never followed
  std::vector<std::string> offered;  // the paths of the drag now over the view
  std::vector<std::string> dropped;  // those of the last drop, until taken
  gint64 dropped_at = 0;
};

}  // namespace

std::vector<std::string> LocalPathsOf(const std::vector<std::string>& uris) {
  std::vector<std::string> paths;
  for (const std::string& uri : uris) {
    gchar* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
    if (!path) continue;
    paths.emplace_back(path);
    g_free(path);
  }
  return paths;
}

std::string DroppedFilesReply(const std::vector<std::string>& paths) {
  using nlohmann::json;
  json files = json::array(), errors = json::array();
  std::size_t read = 0;
  for (const std::string& path : paths) {
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.empty() || !TakenName(name)) continue;
    if (++read > kMostFiles) {
      errors.push_back(U8(u8"一次拖进来的文件太多，只取了前 ") + std::to_string(kMostFiles) +
                       U8(u8" 个；其余的请再拖一次或在对话框中选择。"));
      break;
    }
    const PlainFileRead got = ReadPlainFile(path, kDroppedFileLimit + 1);
    std::string why;
    if (got.not_plain)
      why = U8(u8"它不是普通文件");
    else if (!got.bytes)
      why = got.error == ENOENT ? U8(u8"文件已不存在")
                                : std::string(U8(u8"读取出错：")) + std::strerror(got.error);
    else if (got.bytes->size() > kDroppedFileLimit)
      why = U8(u8"文件超过 8 MB，不像是种子或 Metalink 文件");
    else if (got.bytes->empty())
      why = U8(u8"这是空文件");
    if (!why.empty()) {
      errors.push_back(U8(u8"无法使用“") + name + U8(u8"”：") + why + U8(u8"。请确认选对了文件。"));
      continue;
    }
    files.push_back({{"name", name}, {"data", Base64(*got.bytes)}});
  }
  return json{{"ok", true}, {"files", files}, {"errors", errors}}.dump(-1, ' ', false,
                                                                       json::error_handler_t::replace);
}

void OfferDroppedFiles(GtkWidget* view, const std::string& page_address) {
  auto* watch = new DropWatch;
  g_object_set_data_full(G_OBJECT(view), "korvath-drop-watch", watch,
                         [](gpointer p) { delete static_cast<DropWatch*>(p); });
  // The engine asks for the drag's data while it passes over the view; these
  // run before the engine's own handlers and leave the drop to them. (GTK
  // says drag-leave before drag-drop, so the offer is kept past a leave; the
  // next drag's data replaces it.)
  g_signal_connect(view, "drag-data-received",
                   G_CALLBACK(+[](GtkWidget*, GdkDragContext* context, gint, gint, GtkSelectionData* data,
                                  guint, guint, gpointer p) {
                     auto* w = static_cast<DropWatch*>(p);
                     // The engine asks for several forms of one drag; only
                     // the list of addresses says which files it carries.
                     if (context != w->context) {
                       w->context = context;
                       w->offered.clear();
                     }
                     gchar** uris = data ? gtk_selection_data_get_uris(data) : nullptr;
                     if (!uris) return;
                     std::vector<std::string> list;
                     for (gchar** u = uris; *u; ++u) list.emplace_back(*u);
                     g_strfreev(uris);
                     w->offered = LocalPathsOf(list);
                   }),
                   watch);
  g_signal_connect(view, "drag-drop",
                   G_CALLBACK(+[](GtkWidget*, GdkDragContext*, gint, gint, guint, gpointer p) -> gboolean {
                     auto* w = static_cast<DropWatch*>(p);
                     w->dropped = w->offered;
                     w->dropped_at = g_get_monotonic_time();
                     return FALSE;
                   }),
                   watch);
  AddScriptMessageHandler(view, kDroppedFilesMessage, page_address, [watch](const std::string&) {
    std::vector<std::string> paths;
    if (watch->dropped_at && g_get_monotonic_time() - watch->dropped_at < kDropFreshUs)
      paths.swap(watch->dropped);
    watch->dropped.clear();
    watch->dropped_at = 0;
    return DroppedFilesReply(paths);
  });
}

}  // namespace korvath
