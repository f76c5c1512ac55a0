#include "shell/window-geometry.h"

#include <gtk/gtk.h>

#include <algorithm>
#include <cmath>

namespace korvath {
namespace {

constexpr const char* kRectKey = "korvath-rect";
constexpr const char* kAskedKey = "korvath-asked-position";
constexpr const char* kGrowsKey = "korvath-grows";
constexpr const char* kBeforeKey = "korvath-before";

// Where a placed control goes now: its template rectangle, or for one that
// grows with its text, that rectangle widened to its minimum size and moved
// right past a neighbour that grew.
Rect Placed(GtkWidget* control, int depth = 0) {
  auto* rect = static_cast<Rect*>(g_object_get_data(G_OBJECT(control), kRectKey));
  if (!rect) return {};
  // Asking first also keeps GTK from warning about an allocation it was
  // never asked to measure.
  int min_w = 0, min_h = 0;
  gtk_widget_get_preferred_width(control, &min_w, nullptr);
  gtk_widget_get_preferred_height(control, &min_h, nullptr);
  Rect placed = *rect;
  if (!g_object_get_data(G_OBJECT(control), kGrowsKey)) return placed;
  placed.width = std::max(placed.width, min_w);
  placed.height = std::max(placed.height, min_h);
  auto* before = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(control), kBeforeKey));
  auto* before_rect = before ? static_cast<Rect*>(g_object_get_data(G_OBJECT(before), kRectKey)) : nullptr;
  if (before_rect && depth < 16) {
    const int gap = rect->left - (before_rect->left + before_rect->width);
    const Rect left = Placed(before, depth + 1);
    placed.left = std::max(placed.left, left.left + left.width + gap);
  }
  return placed;
}

gboolean PositionChild(GtkOverlay*, GtkWidget* child, GdkRectangle* allocation, gpointer) {
  if (!g_object_get_data(G_OBJECT(child), kRectKey)) return FALSE;
  const Rect placed = Placed(child);
  allocation->x = placed.left;
  allocation->y = placed.top;
  allocation->width = placed.width;
  allocation->height = placed.height;
  return TRUE;
}

}  // namespace

int Truncate(double value) { return static_cast<int>(std::trunc(value)); }

ScreenSize PrimaryScreenSize() {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return {};
  GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return {};
  GdkRectangle geometry;
  gdk_monitor_get_geometry(monitor, &geometry);
  return {geometry.width, geometry.height};
}

Rect WorkAreaAt(const Rect& window) {
  GdkDisplay* display = gdk_display_get_default();
  if (!display) return {};
  GdkMonitor* monitor = window.width > 0 || window.height > 0
                            ? gdk_display_get_monitor_at_point(display, window.left + window.width / 2,
                                                               window.top + window.height / 2)
                            : gdk_display_get_primary_monitor(display);
  if (!monitor) monitor = gdk_display_get_monitor(display, 0);
  if (!monitor) return {};
  GdkRectangle area;
  gdk_monitor_get_workarea(monitor, &area);
  return {area.x, area.y, area.width, area.height};
}

Rect OuterRect(GtkWindow* window) {
  Rect r;
  GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window));
  if (gdk && gtk_widget_get_mapped(GTK_WIDGET(window))) {
    GdkRectangle frame;
    gdk_window_get_frame_extents(gdk, &frame);
    return {frame.x, frame.y, frame.width, frame.height};
  }
  auto* asked = static_cast<GdkPoint*>(g_object_get_data(G_OBJECT(window), kAskedKey));
  if (asked) {
    r.left = asked->x;
    r.top = asked->y;
  } else {
    gtk_window_get_position(window, &r.left, &r.top);
  }
  gtk_window_get_size(window, &r.width, &r.height);
  return r;
}

void MoveWindowTo(GtkWindow* window, int left, int top) {
  Rect now = OuterRect(window);
  if (now.left == left && now.top == top) return;
  auto* asked = g_new(GdkPoint, 1);
  asked->x = left;
  asked->y = top;
  g_object_set_data_full(G_OBJECT(window), kAskedKey, asked, g_free);
  gtk_window_move(window, left, top);
}

void PlaceControl(GtkOverlay* overlay, GtkWidget* control, Rect rect) {
  g_object_set_data_full(G_OBJECT(control), kRectKey, new Rect(rect),
                         [](gpointer p) { delete static_cast<Rect*>(p); });
  gtk_widget_set_halign(control, GTK_ALIGN_FILL);
  gtk_widget_set_valign(control, GTK_ALIGN_FILL);
  if (!g_object_get_data(G_OBJECT(overlay), "korvath-positions")) {
    g_signal_connect(overlay, "get-child-position", G_CALLBACK(PositionChild), nullptr);
    g_object_set_data(G_OBJECT(overlay), "korvath-positions", GINT_TO_POINTER(1));
  }
  gtk_overlay_add_overlay(overlay, control);
}

void GrowWithText(GtkWidget* control, GtkWidget* before) {
  g_object_set_data(G_OBJECT(control), kGrowsKey, GINT_TO_POINTER(1));
  g_object_set_data(G_OBJECT(control), kBeforeKey, before);
  // Its text gets larger when the desktop's text scale changes at run time.
  g_signal_connect_object(gtk_settings_get_for_screen(gtk_widget_get_screen(control)), "notify::gtk-xft-dpi",
                          G_CALLBACK(gtk_widget_queue_resize), control, G_CONNECT_SWAPPED);
}

void OfferCloseAndMinimiseOnly(GtkWindow* window, bool resizable) {
  g_signal_connect(window, "realize", G_CALLBACK(+[](GtkWidget* w, gpointer resize) {
                     GdkWindow* gdk = gtk_widget_get_window(w);
                     gdk_window_set_functions(
                         gdk, GdkWMFunction(GDK_FUNC_MOVE | GDK_FUNC_MINIMIZE | GDK_FUNC_CLOSE |
                                            (resize ? GDK_FUNC_RESIZE : 0)));
                     gdk_window_set_decorations(
                         gdk, GdkWMDecoration(GDK_DECOR_BORDER | GDK_DECOR_TITLE | GDK_DECOR_MENU |
                                              GDK_DECOR_MINIMIZE | (resize ? GDK_DECOR_RESIZEH : 0)));
                   }),
                   GINT_TO_POINTER(resizable ? 1 : 0));
}

void MoveControl(GtkWidget* control, Rect rect) {
  auto* current = static_cast<Rect*>(g_object_get_data(G_OBJECT(control), kRectKey));
  if (!current || *current == rect) return;
  *current = rect;
  if (GtkWidget* parent = gtk_widget_get_parent(control)) gtk_widget_queue_resize(parent);
}

Rect ControlRect(GtkWidget* control) {
  auto* current = static_cast<Rect*>(g_object_get_data(G_OBJECT(control), kRectKey));
  return current ? *current : Rect{};
}

}  // namespace korvath
