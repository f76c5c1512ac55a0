// AboutWindow: two donation pictures and a line of thanks, modal over the
// main window.
#include <gtk/gtk.h>

#include "shell/shell.h"

namespace korvath {
namespace {

constexpr int kWidth = 630;
constexpr int kHeight = 550;

GtkWidget* Picture(const char* resource, const char* name) {
  // Each picture fills its box; their shapes are close to the box's own.
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_resource_at_scale(resource, 312, 424, FALSE, nullptr);
  GtkWidget* image = pixbuf ? gtk_image_new_from_pixbuf(pixbuf) : gtk_image_new();
  if (pixbuf) g_object_unref(pixbuf);
  gtk_widget_set_name(image, name);
  return image;
}

}  // namespace

void ShowAboutWindow(Shell& shell) {
  if (!shell.main) return;
  GtkWindow* about = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  gtk_window_set_title(about, "");
  gtk_window_set_resizable(about, FALSE);
  gtk_window_set_modal(about, TRUE);
  gtk_window_set_transient_for(about, shell.main->window());
  gtk_window_set_destroy_with_parent(about, TRUE);
  gtk_window_set_default_size(about, kWidth, kHeight);

  GtkWidget* overlay = gtk_overlay_new();
  GtkWidget* base = gtk_drawing_area_new();
  gtk_widget_set_size_request(base, kWidth, kHeight);
  gtk_container_add(GTK_CONTAINER(overlay), base);
  gtk_container_add(GTK_CONTAINER(about), overlay);

  GtkWidget* text = gtk_text_view_new();
  gtk_widget_set_name(text, reinterpret_cast<const char*>(u8"编辑框1"));
  gtk_text_view_set_editable(GTK_TEXT_VIEW(text), FALSE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(text), GTK_WRAP_CHAR);
  const Text& content = Gbk(u8"\r\nKorvath\r\n捐助用于服务器的开销等等，感谢你的支持。");
  const std::string utf8 = GbkToUtf8(content);
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(text)), utf8.c_str(), -1);

  // Controls created first lie on top: reverse order of creation.
  auto* ov = GTK_OVERLAY(overlay);
  PlaceControl(ov, text, {0, 424, 624, 96});
  PlaceControl(ov, Picture("/org/korvath/about-wechat.png", reinterpret_cast<const char*>(u8"图片框1")),
               {0, 0, 312, 424});
  PlaceControl(ov, Picture("/org/korvath/about-alipay.jpg", reinterpret_cast<const char*>(u8"图片框2")),
               {312, 0, 312, 424});

  OfferCloseAndMinimiseOnly(about);

  ScreenSize screen = PrimaryScreenSize();
  gtk_window_set_position(about, GTK_WIN_POS_NONE);
  MoveWindowTo(about, Truncate((screen.width - kWidth) / 2.0), Truncate((screen.height - kHeight) / 2.0));

  // The click handler resumes only once the window is gone, as a modal
  // window's caller does.
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_signal_connect_swapped(about, "destroy", G_CALLBACK(g_main_loop_quit), loop);
  gtk_widget_show_all(GTK_WIDGET(about));
  shell.LogWindow("about", "opened", OuterRect(about));
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  shell.LogWindow("about", "closed", {});
}

}  // namespace korvath
