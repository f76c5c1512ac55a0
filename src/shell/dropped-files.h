// Files the user drops on the download manager. WebKit tells a page the
// names of files dragged in from a file manager, not their bytes, so the
// window, which sees the drop itself, reads the torrent and metalink files
// among them and hands them to the page, which puts them in the new-task
// dialog's file field as if they had been chosen there.
#pragma once

#include <string>
#include <vector>

typedef struct _GtkWidget GtkWidget;

namespace korvath {

// The name the page posts to: window.webkit.messageHandlers.korvathDroppedFiles.
inline constexpr const char* kDroppedFilesMessage = "korvathDroppedFiles";

// What a dropped file may hold at most: torrents and metalinks are small,
// anything larger is not one.
inline constexpr std::size_t kDroppedFileLimit = 8 * 1024 * 1024;

// The local paths of the file: URIs in a drop's text/uri-list.
std::vector<std::string> LocalPathsOf(const std::vector<std::string>& uris);

// The page's answer for the dropped `paths`: {"ok": true, "files":
// [{"name", "data" (base64)}], "errors": [text]} with the files named
// .torrent, .metalink or .meta4 (the dialog's field takes only those); a
// file that cannot be read, is not a plain file or is too large gets a
// sentence in errors instead. Other files are left out without a word.
std::string DroppedFilesReply(const std::vector<std::string>& paths);

// Watches drops on `view` (a web view widget) and answers the page at
// `page_address` with the files of the drop it just made, once: a page that
// asks without a drop, or again, gets none.
void OfferDroppedFiles(GtkWidget* view, const std::string& page_address);

}  // namespace korvath
