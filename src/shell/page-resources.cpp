#include "shell/page-resources.h"

#include <gio/gio.h>

extern "C" GResource* korvath_get_resource(void);

namespace korvath {

std::string ResourceText(const char* path) {
  // Referencing the resource bundle keeps its registration in the link.
  (void)korvath_get_resource();
  GBytes* bytes = g_resources_lookup_data(path, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!bytes) return {};
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  std::string text(data, size);
  g_bytes_unref(bytes);
  return text;
}

std::string FillPage(std::string_view page, const std::map<std::string, std::string>& values) {
  std::string out;
  out.reserve(page.size());
  size_t at = 0;
  while (true) {
    const size_t open = page.find("{{", at);
    const size_t close = open == std::string_view::npos ? open : page.find("}}", open + 2);
    if (close == std::string_view::npos) break;
    const auto value = values.find(std::string(page.substr(open + 2, close - open - 2)));
    if (value == values.end()) {
      out.append(page.substr(at, open + 2 - at));
      at = open + 2;
      continue;
    }
    out.append(page.substr(at, open - at));
    out += value->second;
    at = close + 2;
  }
  out.append(page.substr(at));
  return out;
}

}  // namespace korvath
