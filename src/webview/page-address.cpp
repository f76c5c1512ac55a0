// Page addresses compared as the web engine shows them.
#include "webview/page-address.h"

#include <glib.h>

#include <algorithm>
#include <cctype>

namespace korvath {

std::string PageAddress(std::string_view url) {
  std::string text(url.substr(0, url.find('#')));
  GUri* uri =
      g_uri_parse(text.c_str(), GUriFlags(G_URI_FLAGS_ENCODED | G_URI_FLAGS_SCHEME_NORMALIZE), nullptr);
  if (!uri) return text;
  std::string host = g_uri_get_host(uri) ? g_uri_get_host(uri) : "";
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  char* joined = g_uri_join(G_URI_FLAGS_ENCODED, g_uri_get_scheme(uri), g_uri_get_userinfo(uri),
                            host.empty() ? nullptr : host.c_str(), g_uri_get_port(uri), g_uri_get_path(uri),
                            g_uri_get_query(uri), nullptr);
  g_uri_unref(uri);
  std::string out = joined ? joined : text;
  g_free(joined);
  return out;
}

}  // namespace korvath
