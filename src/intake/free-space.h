// Whether the download folder can hold a file of the size the share page
// states, checked before the task is made: aria2 would otherwise fail part-way
// with a full disk and leave a partial file behind.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/file-size-text.h"  // ByteSizeText, for the message
#include "util/text.h"

namespace korvath {

// The size the page states after "文件大小：" ("50 MB", "1.2GB", "900 KB",
// "123 B", units 1024-based, case ignored), in bytes; nullopt without a
// readable size.
std::optional<std::int64_t> PageFileSize(std::string_view page_text);

// Bytes free to the user in the file system that holds `folder` (UTF-8), or
// its nearest existing parent; nullopt when none can be asked.
std::optional<std::int64_t> FreeBytes(const std::string& folder);

}  // namespace korvath
