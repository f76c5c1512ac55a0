// A window of another program that a test drags a link from: shown at the
// given place, it offers `url` as a text/uri-list to whatever it is dropped
// on, says "ready" once on screen and ends when the drag is over (or after
// 30 s).
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

namespace {

char* offered = nullptr;

void OfferLink(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
  gchar* uris[] = {offered, nullptr};
  gtk_selection_data_set_uris(data, uris);
}

gboolean Quit(gpointer) {
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s URL LEFT TOP\n", argv[0]);
    return 2;
  }
  gtk_init(nullptr, nullptr);
  offered = argv[1];
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "drag source");
  gtk_window_set_default_size(GTK_WINDOW(window), 100, 100);
  gtk_window_move(GTK_WINDOW(window), std::atoi(argv[2]), std::atoi(argv[3]));
  GtkWidget* source = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(window), source);
  GtkTargetEntry uri_list{const_cast<gchar*>("text/uri-list"), 0, 0};
  gtk_drag_source_set(source, GDK_BUTTON1_MASK, &uri_list, 1,
                      GdkDragAction(GDK_ACTION_COPY | GDK_ACTION_LINK));
  g_signal_connect(source, "drag-data-get", G_CALLBACK(OfferLink), nullptr);
  g_signal_connect(
      source, "drag-end",
      G_CALLBACK(+[](GtkWidget*, GdkDragContext*, gpointer) { g_timeout_add(500, Quit, nullptr); }), nullptr);
  g_signal_connect(window, "map-event", G_CALLBACK(+[](GtkWidget*, GdkEvent*, gpointer) -> gboolean {
                     std::puts("ready");
                     std::fflush(stdout);
                     return FALSE;
                   }),
                   nullptr);
  g_timeout_add_seconds(30, Quit, nullptr);
  gtk_widget_show_all(window);
  gtk_main();
  return 0;
}
