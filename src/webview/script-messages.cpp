#include "webview/script-messages.h"

#include <webkit2/webkit2.h>

#include <memory>

namespace korvath {
namespace {

gboolean OnMessage(WebKitUserContentManager*, JSCValue* value, WebKitScriptMessageReply* reply, gpointer data) {
  const auto& handler = *static_cast<ScriptMessageHandler*>(data);
  char* json = jsc_value_to_json(value, 0);
  const std::string answer = handler(json ? json : "null");
  g_free(json);
  JSCContext* context = jsc_value_get_context(value);
  JSCValue* result = jsc_value_new_from_json(context, answer.c_str());
  if (!result) result = jsc_value_new_null(context);
  webkit_script_message_reply_return_value(reply, result);
  g_object_unref(result);
  return TRUE;
}

}  // namespace

void AddScriptMessageHandler(GtkWidget* view, const std::string& name, ScriptMessageHandler handler) {
  if (!view || !WEBKIT_IS_WEB_VIEW(view)) return;
  WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(WEBKIT_WEB_VIEW(view));
  if (!webkit_user_content_manager_register_script_message_handler_with_reply(manager, name.c_str(), nullptr))
    return;
  const std::string signal = "script-message-with-reply-received::" + name;
  g_signal_connect_data(manager, signal.c_str(), G_CALLBACK(OnMessage), new ScriptMessageHandler(std::move(handler)),
                        [](gpointer data, GClosure*) { delete static_cast<ScriptMessageHandler*>(data); },
                        GConnectFlags(0));
}

}  // namespace korvath
