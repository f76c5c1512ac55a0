// Whether a finished download is the file the share page described: a link
// that has gone bad often answers with an error page and status 200, which
// aria2 saves under the file's name and reports as complete.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/file-size-text.h"
#include "util/text.h"

namespace korvath {

struct ArrivalVerdict {
  // "match", or what differs: "size" (another size than the page's),
  // "web_page" (an HTML page), "error_reply" (a JSON error object).
  Text kind = "match";
  // For the notice and the manager (system text); "" for a match.
  Text text;
  std::int64_t size = 0;  // the bytes that arrived
  bool matches() const { return kind == "match"; }
};

// `size` bytes arrived, beginning with `head`, for a file the page said was
// `stated`. The size matches when it is less than one step of the page's
// last digit away from the page's number, read with 1024-based units or with
// 1000-based ones (pages use both). A file whose size does not match is
// called a web page or an error reply when its first bytes (after a BOM and
// blanks) say so; a small file the page called small is never one.
ArrivalVerdict CompareArrival(const StatedSize& stated, std::int64_t size, std::string_view head);

// CompareArrival for the file at `path` (UTF-8); nullopt when it cannot be
// read (the user moved or deleted it).
std::optional<ArrivalVerdict> CheckArrivedFile(const StatedSize& stated, const std::string& path);

}  // namespace korvath
