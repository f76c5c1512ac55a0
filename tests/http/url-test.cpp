#include "http/url.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

TEST(UrlSplit, SchemeHostPortAndPathInTheirOwnCase) {
  const char* url = "HTTP://Host.Test:8080/a/B?x=1";
  EXPECT_EQ(UrlHost(url), "host.test");
  EXPECT_EQ(UrlHost(url, true), "host.test:8080");
  EXPECT_EQ(UrlPort(url), 8080);
  EXPECT_EQ(UrlPath(url), "/a/B?x=1");
}

TEST(UrlSplit, DefaultsWithoutSchemeOrPort) {
  EXPECT_EQ(UrlHost("host.test/a"), "host.test");
  EXPECT_EQ(UrlPort("host.test/a"), 80);
  EXPECT_EQ(UrlPath("host.test/a"), "/a");
  EXPECT_EQ(UrlPort("https://host.test/x"), 443);
  EXPECT_EQ(UrlPort("HTTPS://host.test:8443/x"), 8443);
  EXPECT_EQ(UrlHost("https://host.test"), "host.test");
  EXPECT_EQ(UrlPath("https://host.test"), "/");
}

TEST(UrlSplit, OddAuthoritiesFollowTheTextRules) {
  EXPECT_EQ(UrlHost("http://h?x=1"), "h?x=1");
  EXPECT_EQ(UrlPath("http://h?x=1"), "/");
  EXPECT_EQ(UrlHost("http://user:pw@host.test/p"), "user");
  EXPECT_EQ(UrlPort("http://host.test:abc/"), 0);
  // The port is read after the last colon of the host part.
  EXPECT_EQ(UrlPort("http://user:pw@host.test:81/"), 81);
  // The object name starts at the first "/" from where the host is found,
  // so a host repeated in the scheme-less path still leads to its own path.
  EXPECT_EQ(UrlPath("http://a.test/a.test/x#f"), "/a.test/x#f");
  // Hosts that also occur inside the scheme are found after it.
  EXPECT_EQ(UrlPath("http://h/a"), "/a");
  EXPECT_EQ(UrlPath("HTTP://TP:81/x?y"), "/x?y");
  EXPECT_EQ(UrlPath("https://s/p"), "/p");
  EXPECT_EQ(UrlPath("https://t"), "/");
}

TEST(UrlSplit, DoubleByteTextIsNotLowered) {
  // A GBK character whose trail byte is an ASCII capital letter stays intact.
  const std::string url = "http://Host/\xB0\x41?Q";
  EXPECT_EQ(UrlHost(url), "host");
  EXPECT_EQ(UrlPath(url), "/\xB0\x41?Q");
}

}  // namespace
}  // namespace korvath
