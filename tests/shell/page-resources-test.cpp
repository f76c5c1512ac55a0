// The embedded pages: the manager page as the build joined it, with the hash
// its policy needs, and the stand-in page filled in without letting the
// failed address reach the key.
#include "shell/page-resources.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <regex>

#include "shell/main-window.h"

namespace korvath {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

TEST(PageResources, ManagerPagePolicyNamesTheHashOfItsOneScript) {
  const std::string page = ResourceText("/org/korvath/download-manager.html");
  ASSERT_FALSE(page.empty());
  EXPECT_EQ(page.find("{{"), std::string::npos) << "a part or the hash was not filled in";
  ASSERT_EQ(Count(page, "<script"), 1u);
  const size_t open = page.find("<script>") + 8, close = page.find("</script>");
  ASSERT_LT(open, close);
  const std::string script = page.substr(open, close - open);
  EXPECT_NE(script.find("window.KorvathManager = {"), std::string::npos);

  GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
  g_checksum_update(sum, reinterpret_cast<const guchar*>(script.data()), script.size());
  guint8 digest[32];
  gsize size = sizeof digest;
  g_checksum_get_digest(sum, digest, &size);
  g_checksum_free(sum);
  gchar* base64 = g_base64_encode(digest, size);
  const std::string hash = base64;
  g_free(base64);

  std::smatch policy;
  ASSERT_TRUE(std::regex_search(page, policy, std::regex("script-src 'sha256-([A-Za-z0-9+/=]+)'")));
  EXPECT_EQ(policy[1].str(), hash);
}

TEST(PageResources, StandInPageFillsEachPlaceOnceAndEscapesTheAddress) {
  const std::string page = UnreachablePage("http://share.example/?a=1&b=<i>\"{{key}}", "0f1e2d");
  EXPECT_NE(page.find(reinterpret_cast<const char*>(u8"<title>无法连接分享站点</title>")), std::string::npos);
  const std::string shown = "http://share.example/?a=1&amp;b=&lt;i&gt;&quot;{{key}}";
  EXPECT_NE(page.find("<code>" + shown + "</code>"), std::string::npos) << page;
  EXPECT_NE(page.find("value=\"" + shown + "\""), std::string::npos) << page;
  // The policy, the script's nonce and the message it posts; not the "{{key}}"
  // the address brought along.
  EXPECT_NE(page.find("script-src 'nonce-0f1e2d'"), std::string::npos);
  EXPECT_NE(page.find("<script nonce=\"0f1e2d\">"), std::string::npos);
  EXPECT_NE(page.find("key: '0f1e2d'"), std::string::npos);
  EXPECT_EQ(Count(page, "0f1e2d"), 3u);
  EXPECT_EQ(Count(page, "{{"), 2u) << "only the address's own braces are left";
}

TEST(PageResources, TheFirstStartPageAsksForAnAddressWithoutBlamingTheNetwork) {
  const std::string page = FirstStartPage("0f1e2d");
  EXPECT_NE(page.find(reinterpret_cast<const char*>(u8"<h1>还没有设置分享站点</h1>")), std::string::npos);
  EXPECT_EQ(page.find(reinterpret_cast<const char*>(u8"网络")), std::string::npos);
  EXPECT_NE(page.find("value=\"\""), std::string::npos) << "the field starts empty";
  EXPECT_EQ(Count(page, "0f1e2d"), 3u);
  EXPECT_EQ(Count(page, "{{"), 0u);
}

TEST(PageResources, FillPageLeavesUnknownAndUnclosedNamesAlone) {
  EXPECT_EQ(FillPage("a{{x}}b{{y}}c{{x", {{"x", "{{y}}"}, {"y", "2"}}), "a{{y}}b2c{{x");
  EXPECT_EQ(FillPage("{{z}}{{x}}", {{"x", "1"}}), "{{z}}1");
}

}  // namespace
}  // namespace korvath
