// Only the share site's own kind of address can become a download.
#include "intake/share-link.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

TEST(ShareLink, OnlyHttpAndHttpsWithTheMarkerInTheQueryAreShareLinks) {
  for (const char* link : {"http://127.0.0.1:9/d/3?bkt=p2&fid=3", "https://x.example/f?fid=1&bkt=p2",
                           "HTTPS://x.example/f?bkt=1#top", "Http://x.example/f?a=b&bkt="}) {
    EXPECT_EQ(ClassifyShareLink(link), ShareLinkKind::kShareLink) << link;
  }
}

TEST(ShareLink, TheMarkerOutsideTheQueryOrInAnotherCaseIsNoShareLink) {
  for (const char* link :
       {"https://x.example/bkt=1/f", "https://x.example/f#?bkt=1", "https://x.example/f?a=1#bkt=1",
        "https://x.example/f?BKT=1", "https://x.example/f", "http://bkt=x.example/"}) {
    EXPECT_EQ(ClassifyShareLink(link), ShareLinkKind::kNoMarker) << link;
  }
}

TEST(ShareLink, EveryOtherSchemeIsRefusedWhateverItCarries) {
  for (const char* link : {"magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567&bkt=1",
                           "ftp://x.example/f?bkt=1", "data:text/html,?bkt=1", "file:///etc/passwd?bkt=1",
                           "blob:https://x.example/1?bkt=1", "javascript:'?bkt='", "bkt=at-the-very-start",
                           "httpx://x.example/?bkt=1", " http://x.example/?bkt=1", ""}) {
    EXPECT_EQ(ClassifyShareLink(link), ShareLinkKind::kRefusedScheme) << link;
  }
}

}  // namespace
}  // namespace korvath
