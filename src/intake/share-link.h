// Which of the share page's resource requests may become a download at all.
// Every address the view loads reaches the intake, so an address a stranger's
// page writes (a picture, a frame, a magnet link) must not be able to pass
// for the share site's own download link.
#pragma once

#include <string_view>

namespace korvath {

enum class ShareLinkKind {
  kRefusedScheme,  // not http or https: never a download, whatever it carries
  kNoMarker,       // http(s) without "bkt=" in its query
  kShareLink,      // http(s) with "bkt=" (exact case) in its query
};

// The scheme is compared without case, as URLs define it; the query is what
// lies between the first "?" and the "#" after it.
ShareLinkKind ClassifyShareLink(std::string_view link);

}  // namespace korvath
