// Cookie merging on arbitrary old/new texts (split at the first zero byte):
// no crash, no entry ending in "=deleted", no entry twice, and merging the
// result once more never makes it longer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "http/cookies.h"

using namespace korvath;

namespace {

void CheckEntries(const Text& merged) {
  std::set<std::string_view> seen;
  std::string_view rest = merged;
  while (!rest.empty()) {
    const auto sep = rest.find("; ");
    const std::string_view entry = rest.substr(0, sep);
    if (entry.size() >= 8 && entry.substr(entry.size() - 8) == "=deleted") std::abort();
    if (!seen.insert(entry).second) std::abort();
    if (sep == std::string_view::npos) break;
    rest.remove_prefix(sep + 2);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto zero = input.find('\0');
  const std::string old_cookies = input.substr(0, zero);
  const std::string new_cookies = zero == std::string::npos ? std::string() : input.substr(zero + 1);

  const Text merged = MergeCookies(old_cookies, new_cookies);
  CheckEntries(merged);
  // Merging again adds nothing: every entry of a second merge was already
  // in the first (it may drop one whose name the response set twice).
  const Text again = MergeCookies(merged, "");
  if (again.size() > merged.size()) std::abort();

  const Text merged_ex = MergeCookiesEx(old_cookies, new_cookies);
  CheckEntries(merged_ex);
  return 0;
}
