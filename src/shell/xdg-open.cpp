#include "shell/xdg-open.h"

#include <glib.h>

namespace korvath {

bool LaunchXdgOpen(const std::string& folder) {
  // An argument list, never a shell line. GLib reaps the child itself.
  std::string folder_text = folder;
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), folder_text.data(), nullptr};
  GError* error = nullptr;
  const gboolean ok = g_spawn_async(
      nullptr, argv, nullptr,
      static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
      nullptr, nullptr, nullptr, &error);
  g_clear_error(&error);
  return ok;
}

}  // namespace korvath
