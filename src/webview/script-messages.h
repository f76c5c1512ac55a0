// Messages a page posts to the program: window.webkit.messageHandlers.<name>
// .postMessage(value) returns a promise that settles with the handler's reply.
#pragma once

#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace korvath {

// Receives the posted value as JSON text (UTF-8) and returns the reply as
// JSON text; a reply that is not valid JSON reaches the page as null.
using ScriptMessageHandler = std::function<std::string(const std::string& message_json)>;

// `view` is the engine's widget (WebView::widget() or any web view widget).
// The handler lives as long as the widget. It answers only the page it was
// made for: a message reaches it only through this view's own content
// manager, and only while the view shows `page_address` (compared as
// PageAddress, without the fragment); anything else gets null and the
// handler never runs.
void AddScriptMessageHandler(GtkWidget* view, const std::string& name, const std::string& page_address,
                             ScriptMessageHandler handler);

}  // namespace korvath
