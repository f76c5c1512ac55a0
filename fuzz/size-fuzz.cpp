// Sizes as share pages state them, on arbitrary text: any figure, however
// long, parses without undefined behaviour (UBSan is on), the byte count is
// never negative, and a size always agrees with itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/file-size-text.h"
#include "util/text.h"

using namespace korvath;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const std::optional<StatedSize>& stated :
       {ParseSizeText(text), StatedFileSize(Gbk(u8"文件大小：") + Text(text))}) {
    if (!stated) continue;
    if (stated->bytes < 0 || stated->step < 1) std::abort();
    if (!StatedSizeAgrees(*stated, stated->bytes)) std::abort();
    ByteSizeText(stated->bytes);
  }
  return 0;
}
