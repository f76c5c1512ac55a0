// File sizes as people write them: the size a share page states ("50 MB",
// "1.2GB") with the precision it was given in, and sizes for messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/event-log.h"
#include "util/text.h"

namespace korvath {

// A size as a page wrote it. `bytes` reads the units as 1024-based. `step`
// is one unit of the last digit shown, in bytes ("50 MB": 1 MiB, "1.25 GB":
// 0.01 GiB): a page that rounds, or cuts, its sizes is off by less than that.
struct StatedSize {
  std::int64_t bytes = 0;
  std::int64_t step = 1;
  int power = 0;  // the unit as a power of 1024: B 0, KB 1, MB 2, GB 3, TB 4, PB 5
  Text shown;     // number and unit as written, e.g. "50 MB"
};

// A size text read: the size, or why there is none ("no_number", "negative",
// "exponent", "comma", "unit", "too_large").
struct SizeReading {
  std::optional<StatedSize> size;
  const char* problem = "";
};

// "50 MB", "1.5GB", "1,234 KB", "900 kb", "2 MiB", "123 B", "7" (bytes),
// "3 兆", "512 字节": a number (thousands may be grouped with commas), optional
// blanks, an optional unit B/K/M/G/T/P (case ignored, the letters after the
// first taken as its spelling) or a Chinese one. A negative figure, one in
// exponent form ("1e400 GB") or one beyond any byte count states nothing.
SizeReading ReadSizeText(std::string_view text);
std::optional<StatedSize> ParseSizeText(std::string_view text);

// The size the page states after "文件大小：" (a few words such as "约"
// before the number are passed over), or nullopt. With `log`, a size text
// that is there but cannot be read is recorded as "stated_size_unread"
// {text, reason}: the download then goes unchecked against its size.
std::optional<StatedSize> StatedFileSize(std::string_view page_text, EventLog* log = nullptr);

// Whether `bytes` is what the page's figure can stand for: within half a
// step of its last digit ("1 MB": 0.5 to 1.5 MB; "3.0 MB": 2.95 to 3.05 MB),
// the units read as 1024-based or as 1000-based (pages use both).
bool StatedSizeAgrees(const StatedSize& stated, std::int64_t bytes);

// Whether `bytes` is the page's figure exactly, in 1024- or 1000-based
// units: no rounding was needed to write it.
bool StatedSizeExact(const StatedSize& stated, std::int64_t bytes);

// "50.0 MB" style, for messages; bytes below 1 KiB as "312 B".
Text ByteSizeText(std::int64_t bytes);

}  // namespace korvath
