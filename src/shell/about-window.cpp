// AboutWindow: two donation pictures and a line of thanks, modal over the
// main window, with the program's name, version, licence and addresses below.
#include "shell/about-window.h"

#include <string>

#include "shell/window-log.h"
#include "shell/xdg-open.h"

#ifndef KORVATH_VERSION
#define KORVATH_VERSION "0.0.0"
#endif
#ifndef KORVATH_HOMEPAGE
#define KORVATH_HOMEPAGE "https://korvath.org/"
#endif
#ifndef KORVATH_BUG_TRACKER
#define KORVATH_BUG_TRACKER "https://korvath.org/issues/"
#endif

namespace korvath {
namespace {

constexpr int kWidth = 630;
constexpr int kHeight = 550;

const char* U8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

// `spoken` is what a screen reader says for a picture that has no text.
GtkWidget* Picture(const char* resource, const char* name, const char* spoken) {
  // Each picture fills its box; their shapes are close to the box's own.
  GdkPixbuf* pixbuf = gdk_pixbuf_new_from_resource_at_scale(resource, 312, 424, FALSE, nullptr);
  GtkWidget* image = pixbuf ? gtk_image_new_from_pixbuf(pixbuf) : gtk_image_new();
  if (pixbuf) g_object_unref(pixbuf);
  gtk_widget_set_name(image, name);
  atk_object_set_name(gtk_widget_get_accessible(image), spoken);
  return image;
}

// The strip under the line of thanks, which the template leaves empty.
GtkWidget* IdentityLine() {
  std::string markup = std::string("Korvath ") + KORVATH_VERSION +
                       U8(u8"　·　自由软件，GNU GPL 第 3 版或更高版本") + U8(u8"　·　<a href=\"") +
                       KORVATH_HOMEPAGE + U8(u8"\">主页</a>　·　<a href=\"") + KORVATH_BUG_TRACKER +
                       U8(u8"\">报告问题</a>");
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_markup(GTK_LABEL(label), markup.c_str());
  gtk_widget_set_name(label, "about-identity");
  gtk_label_set_xalign(GTK_LABEL(label), 0.5);
  // The desktop's browser, as the other links Korvath opens.
  g_signal_connect(label, "activate-link", G_CALLBACK(+[](GtkLabel*, const gchar* uri, gpointer) -> gboolean {
                     LaunchXdgOpen(uri);
                     return TRUE;
                   }),
                   nullptr);
  return label;
}

}  // namespace

GtkWindow* BuildAboutWindow(GtkWindow* parent) {
  GtkWindow* about = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  gtk_window_set_title(about, U8(u8"关于 Korvath"));
  gtk_window_set_resizable(about, FALSE);
  if (parent) {
    gtk_window_set_modal(about, TRUE);
    gtk_window_set_transient_for(about, parent);
    gtk_window_set_destroy_with_parent(about, TRUE);
  }
  gtk_window_set_default_size(about, kWidth, kHeight);

  GtkWidget* overlay = gtk_overlay_new();
  GtkWidget* base = gtk_drawing_area_new();
  gtk_widget_set_size_request(base, kWidth, kHeight);
  gtk_container_add(GTK_CONTAINER(overlay), base);
  gtk_container_add(GTK_CONTAINER(about), overlay);

  GtkWidget* text = gtk_text_view_new();
  gtk_widget_set_name(text, U8(u8"编辑框1"));
  gtk_text_view_set_editable(GTK_TEXT_VIEW(text), FALSE);
  gtk_text_view_set_wrap_mode(GTK_TEXT_VIEW(text), GTK_WRAP_CHAR);
  const Text& content = Gbk(u8"\r\nKorvath\r\n捐助用于服务器的开销等等，感谢你的支持。");
  const std::string utf8 = GbkToUtf8(content);
  gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(text)), utf8.c_str(), -1);

  // Controls created first lie on top: reverse order of creation.
  auto* ov = GTK_OVERLAY(overlay);
  PlaceControl(ov, IdentityLine(), {0, 524, 624, 22});
  PlaceControl(ov, text, {0, 424, 624, 96});
  PlaceControl(ov, Picture("/org/korvath/about-wechat.png", U8(u8"图片框1"), U8(u8"微信支付收款码")),
               {0, 0, 312, 424});
  PlaceControl(ov, Picture("/org/korvath/about-alipay.jpg", U8(u8"图片框2"), U8(u8"支付宝收款码")),
               {312, 0, 312, 424});

  // Handled before the focused control sees the key, so Escape closes the
  // window from the text as well.
  g_signal_connect(about, "key-press-event",
                   G_CALLBACK(+[](GtkWidget* w, GdkEventKey* key, gpointer) -> gboolean {
                     if (key->keyval != GDK_KEY_Escape) return FALSE;
                     gtk_window_close(GTK_WINDOW(w));
                     return TRUE;
                   }),
                   nullptr);

  OfferCloseAndMinimiseOnly(about);
  return about;
}

void ShowAboutWindow(MainWindow& main, EventLog& log) {
  GtkWindow* about = BuildAboutWindow(main.window());

  ScreenSize screen = PrimaryScreenSize();
  gtk_window_set_position(about, GTK_WIN_POS_NONE);
  MoveWindowTo(about, Truncate((screen.width - kWidth) / 2.0), Truncate((screen.height - kHeight) / 2.0));

  // The click handler resumes only once the window is gone, as a modal
  // window's caller does.
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_signal_connect_swapped(about, "destroy", G_CALLBACK(g_main_loop_quit), loop);
  gtk_widget_show_all(GTK_WIDGET(about));
  LogWindow(log, "about", "opened", OuterRect(about));
  g_main_loop_run(loop);
  g_main_loop_unref(loop);
  LogWindow(log, "about", "closed", {});
}

}  // namespace korvath
