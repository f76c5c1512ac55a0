// Whether a finished download is the file the share page described: a link
// that has gone bad often answers with an error page and status 200, which
// aria2 saves under the file's name and reports as complete.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/download-place.h"
#include "engine/file-size-text.h"
#include "util/text.h"

namespace korvath {

struct ArrivalVerdict {
  // "match", or what differs: "size" (another size than the page's),
  // "web_page" (an HTML page), "error_reply" (a JSON or XML error body),
  // "missing" (no readable file where aria2 says it wrote it), "moved" (the
  // path leads to another folder or file than the one aria2 wrote); or
  // "unconfirmed": the size agrees only within the page's rounding and the
  // server sent no length, so a cut file cannot be told from a whole one.
  Text kind = "match";
  // For the notice and the manager (system text); "" for a match.
  Text text;
  std::int64_t size = 0;  // the bytes that arrived
  bool matches() const { return kind == "match"; }
  bool missing() const { return kind == "missing"; }
  bool moved() const { return kind == "moved"; }
  bool unconfirmed() const { return kind == "unconfirmed"; }
};

// `size` bytes arrived, beginning with `head`, for a file named `name`
// (UTF-8) that the page said was `stated` (nullopt: the page gave no size).
// A file whose first bytes (after a BOM and blanks) are an HTML page is
// called that whatever its size, and so is one under 64 KiB that is a JSON
// error object or an XML document whose root element names an error
// (<Error>, <ErrorResponse>), unless the file's own name says it is a web
// page, JSON or XML. Otherwise the size must agree with the page's
// (StatedSizeAgrees); with `length_unknown` (the server sent no length),
// agreeing only within the page's rounding is "unconfirmed".
ArrivalVerdict CompareArrival(const std::optional<StatedSize>& stated, std::int64_t size,
                              std::string_view head, std::string_view name, bool length_unknown = false);

// CompareArrival for the file at `path` (UTF-8, links not followed); a
// "missing" verdict when no regular file can be read there (the user moved
// or deleted it, or its folder, while it downloaded). With the `place` the
// download began in, a folder or file there now that is not that one is
// "moved", and nothing in it is read.
ArrivalVerdict CheckArrivedFile(const std::optional<StatedSize>& stated, const std::string& path,
                                bool length_unknown = false, const DownloadPlace& place = {});

// The "missing" verdict for `path` (UTF-8).
ArrivalVerdict MissingFileVerdict(const std::string& path);

// The "moved" verdict for `path` (UTF-8): `what` says whether its folder or
// the file itself is another one now.
ArrivalVerdict MovedFileVerdict(const std::string& path, PlaceChange what);

}  // namespace korvath
