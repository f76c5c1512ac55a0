// File sizes as people write them: the size a share page states ("50 MB",
// "1.2GB") with the precision it was given in, and sizes for messages.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "util/text.h"

namespace korvath {

// A size as a page wrote it. `bytes` reads the units as 1024-based. `step`
// is one unit of the last digit shown, in bytes ("50 MB": 1 MiB, "1.25 GB":
// 0.01 GiB): a page that rounds, or cuts, its sizes is off by less than that.
struct StatedSize {
  std::int64_t bytes = 0;
  std::int64_t step = 1;
  int power = 0;  // the unit as a power of 1024: B 0, KB 1, MB 2, GB 3, TB 4
  Text shown;  // number and unit as written, e.g. "50 MB"
};

// "50 MB", "1.5GB", "900 kb", "123 B", "7" (bytes): a number, optional
// blanks, an optional unit B/K/M/G/T (case ignored, anything after its first
// letter ignored); nullopt for anything else. A figure beyond what a byte
// count can hold is taken as the largest one.
std::optional<StatedSize> ParseSizeText(std::string_view text);

// The size the page states after "文件大小：" (a few words such as "约"
// before the number are passed over), or nullopt.
std::optional<StatedSize> StatedFileSize(std::string_view page_text);

// Whether `bytes` is what the page's figure can stand for: within half a
// step of its last digit ("1 MB": 0.5 to 1.5 MB; "3.0 MB": 2.95 to 3.05 MB),
// the units read as 1024-based or as 1000-based (pages use both).
bool StatedSizeAgrees(const StatedSize& stated, std::int64_t bytes);

// "50.0 MB" style, for messages; bytes below 1 KiB as "312 B".
Text ByteSizeText(std::int64_t bytes);

}  // namespace korvath
