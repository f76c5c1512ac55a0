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
  // "web_page" (an HTML page), "error_reply" (a JSON error object),
  // "missing" (no readable file where aria2 says it wrote it).
  Text kind = "match";
  // For the notice and the manager (system text); "" for a match.
  Text text;
  std::int64_t size = 0;  // the bytes that arrived
  bool matches() const { return kind == "match"; }
  bool missing() const { return kind == "missing"; }
};

// `size` bytes arrived, beginning with `head`, for a file named `name`
// (UTF-8) that the page said was `stated` (nullopt: the page gave no size).
// A file whose first bytes (after a BOM and blanks) are an HTML page or a
// JSON error object is called that whatever its size, unless its own name
// says it is a web page or JSON. Otherwise the size must agree with the
// page's (StatedSizeAgrees).
ArrivalVerdict CompareArrival(const std::optional<StatedSize>& stated, std::int64_t size, std::string_view head,
                              std::string_view name);

// CompareArrival for the file at `path` (UTF-8, links not followed); a
// "missing" verdict when no regular file can be read there (the user moved
// or deleted it, or its folder, while it downloaded).
ArrivalVerdict CheckArrivedFile(const std::optional<StatedSize>& stated, const std::string& path);

// The "missing" verdict for `path` (UTF-8).
ArrivalVerdict MissingFileVerdict(const std::string& path);

}  // namespace korvath
