// JSON parsing, writing and path operations: the first line is a path, the
// rest the document.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/json-object.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 16384) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\n');
  const std::string_view path = split == std::string_view::npos ? std::string_view() : input.substr(0, split);
  const std::string_view text = split == std::string_view::npos ? input : input.substr(split + 1);

  korvath::JsonObject object;
  if (object.Parse(text)) {
    // What the object writes it must read back to the same document.
    const korvath::Text written = object.ToJson();
    korvath::JsonObject again;
    if (again.Parse(written) && again.ToJson() != written) __builtin_trap();
  }
  object.GetProperty(path);
  object.GetProperty(path, true);
  object.GetPropertyJson(path);
  object.GetType(path);
  object.GetNumber(path);
  object.HasProperty(path);
  const bool same_join = path.empty() || path.front() != '[';
  if (same_join && object.Count(path) != static_cast<std::int64_t>(object.GetKeys(path).size()))
    __builtin_trap();
  object.GetMember(0, path);
  object.GetObject(path).ToJson();
  object.GetMemberObject(1, path).ToJson();
  object.SetProperty(path, text.substr(0, 64));
  object.SetProperty(path, text.substr(0, 64), true);
  object.Push("x", path);
  object.SetNumber(path, static_cast<double>(size) / 7);
  object.SetMember(static_cast<std::int64_t>(size % 5), "m");
  object.RemoveMember(0);
  object.RemoveProperty(path);
  object.ToJson();
  return 0;
}
