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

}  // namespace korvath
