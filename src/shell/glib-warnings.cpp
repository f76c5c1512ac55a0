#include "shell/glib-warnings.h"

#include <glib.h>

#include <string>

#include "platform/problem-log.h"

namespace korvath {
namespace {

GLogWriterOutput Forward(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer data) {
  const char* kind = (level & G_LOG_LEVEL_ERROR)      ? "error"
                     : (level & G_LOG_LEVEL_CRITICAL) ? "critical"
                     : (level & G_LOG_LEVEL_WARNING)  ? "warning"
                                                      : nullptr;
  if (kind) {
    std::string domain = "GLib";
    std::string message;
    for (gsize i = 0; i < count; ++i) {
      if (fields[i].length >= 0) continue;  // only text fields are ours to read
      const std::string_view key = fields[i].key;
      if (key == "GLIB_DOMAIN") domain = static_cast<const char*>(fields[i].value);
      if (key == "MESSAGE") message = static_cast<const char*>(fields[i].value);
    }
    static_cast<ProblemLog*>(data)->Write(kind, domain + ": " + message);
  }
  return g_log_writer_default(level, fields, count, nullptr);
}

}  // namespace

void ForwardGlibWarnings(std::shared_ptr<ProblemLog> problems) {
  // Kept for the rest of the process: GLib may log while it ends, after
  // everything of ours is gone.
  auto* kept = new std::shared_ptr<ProblemLog>(std::move(problems));
  g_log_set_writer_func(Forward, kept->get(), nullptr);
}

}  // namespace korvath
