#include "webview/script-messages.h"

#include <webkit2/webkit2.h>

#include <memory>

#include "webview/page-address.h"

namespace korvath {
namespace {

struct Binding {
  GWeakRef view;             // the view whose page may call
  std::string page_address;  // PageAddress form
  ScriptMessageHandler handler;
};

// A page that navigated away, or one that reached this content manager some
// other way, is not the page the handler was made for.
bool FromItsPage(Binding& binding, WebKitUserContentManager* manager) {
  auto* view = static_cast<WebKitWebView*>(g_weak_ref_get(&binding.view));
  if (!view) return false;
  const char* uri = webkit_web_view_get_uri(view);
  const bool ours = webkit_web_view_get_user_content_manager(view) == manager && uri &&
                    PageAddress(uri) == binding.page_address;
  g_object_unref(view);
  return ours;
}

gboolean OnMessage(WebKitUserContentManager* manager, JSCValue* value, WebKitScriptMessageReply* reply,
                   gpointer data) {
  auto& binding = *static_cast<Binding*>(data);
  JSCContext* context = jsc_value_get_context(value);
  std::string answer = "null";
  if (FromItsPage(binding, manager)) {
    char* json = jsc_value_to_json(value, 0);
    answer = binding.handler(json ? json : "null");
    g_free(json);
  }
  JSCValue* result = jsc_value_new_from_json(context, answer.c_str());
  if (!result) result = jsc_value_new_null(context);
  webkit_script_message_reply_return_value(reply, result);
  g_object_unref(result);
  return TRUE;
}

void DeleteBinding(gpointer data, GClosure*) {
  auto* binding = static_cast<Binding*>(data);
  g_weak_ref_clear(&binding->view);
  delete binding;
}

}  // namespace

void AddScriptMessageHandler(GtkWidget* view, const std::string& name, const std::string& page_address,
                             ScriptMessageHandler handler) {
  if (!view || !WEBKIT_IS_WEB_VIEW(view)) return;
  WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(WEBKIT_WEB_VIEW(view));
  if (!webkit_user_content_manager_register_script_message_handler_with_reply(manager, name.c_str(), nullptr))
    return;
  auto* binding =
      new Binding{.view = {}, .page_address = PageAddress(page_address), .handler = std::move(handler)};
  g_weak_ref_init(&binding->view, view);
  const std::string signal = "script-message-with-reply-received::" + name;
  g_signal_connect_data(manager, signal.c_str(), G_CALLBACK(OnMessage), binding, DeleteBinding,
                        GConnectFlags(0));
}

}  // namespace korvath
