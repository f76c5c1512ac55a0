// Telling the share site's download links from every other address.
#include "intake/share-link.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace korvath {

namespace {

bool HasWebScheme(std::string_view link) {
  const size_t colon = link.find(':');
  if (colon == std::string_view::npos) return false;
  std::string scheme(link.substr(0, colon));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return scheme == "http" || scheme == "https";
}

}  // namespace

ShareLinkKind ClassifyShareLink(std::string_view link) {
  if (!HasWebScheme(link)) return ShareLinkKind::kRefusedScheme;
  const size_t fragment = link.find('#');
  const size_t query = link.substr(0, fragment).find('?');
  if (query == std::string_view::npos) return ShareLinkKind::kNoMarker;
  const std::string_view query_text = link.substr(0, fragment).substr(query + 1);
  return query_text.find("bkt=") != std::string_view::npos ? ShareLinkKind::kShareLink
                                                           : ShareLinkKind::kNoMarker;
}

}  // namespace korvath
