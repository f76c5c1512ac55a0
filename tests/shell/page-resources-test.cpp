// The embedded pages: the manager page as the build joined it, with the hash
// its policy needs.
#include "shell/page-resources.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <regex>

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

}  // namespace
}  // namespace korvath
