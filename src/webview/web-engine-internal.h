// What the view needs from the engine; WebKit types stay inside src/webview.
#pragma once

#include <gtk/gtk.h>

#include "webview/web-engine.h"

namespace korvath::webview_internal {

// A new engine view sharing the engine's context, settings and web process.
// The widget is floating, as gtk widgets are when created.
GtkWidget* CreateEngineView(WebEngine& engine);
// The view is being destroyed; later views must not relate to it.
void ForgetEngineView(WebEngine& engine, GtkWidget* widget);

}  // namespace korvath::webview_internal
