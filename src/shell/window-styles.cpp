#include "shell/window-styles.h"

#include <gtk/gtk.h>

namespace korvath {

void InstallShellStyles() {
  static bool installed = false;
  if (installed) return;
  GdkScreen* screen = gdk_screen_get_default();
  if (!screen) return;
  installed = true;
  GtkCssProvider* css = gtk_css_provider_new();
  // Template buttons are 24 pixels high; the theme's minimum would spill out
  // of that rectangle. The loading label keeps its own opaque background so it
  // stays readable over any page; the cover only veils the page.
  gtk_css_provider_load_from_data(css,
                                  ".korvath-control { min-height: 0; min-width: 0; padding: 0 2px;"
                                  "  margin: 0; }\n"
                                  "#korvath-loading { font-family: \"Microsoft YaHei\", \"Noto Sans CJK SC\","
                                  "  \"Noto Sans CJK\", sans-serif; font-size: 29px; font-weight: 400;"
                                  "  color: #202020; background-color: rgba(255, 255, 255, 0.94);"
                                  "  border: 1px solid #c8c8c8; border-radius: 6px; }\n"
                                  "#korvath-cover { background-color: rgba(235, 235, 235, 0.55); }\n",
                                  -1, nullptr);
  gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);
}

}  // namespace korvath
