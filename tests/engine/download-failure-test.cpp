// The words a failed download is explained with.
#include "engine/download-failure.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

std::string Explain(const char* code, const char* message) {
  return GbkToUtf8(ExplainDownloadFailure(code, message));
}

TEST(ExplainDownloadFailure, ARefusedOrExpiredLinkSaysThatClickingTheFileAgainContinues) {
  const std::string expired = reinterpret_cast<const char*>(
      u8"下载链接已过期或被服务器拒绝。请在分享页上再点击一次这个文件，下载会接着已下载的部分继续。");
  for (auto [code, message] :
       {std::pair{"22", "The response status is not successful. status=403"},
        std::pair{"22", "The response status is not successful. status=410"},
        std::pair{"24", "Authorization failed."}, std::pair{"22", "Invalid range header."}}) {
    SCOPED_TRACE(message);
    EXPECT_EQ(Explain(code, message), expired + reinterpret_cast<const char*>(u8"（错误码 ") + code + "）");
  }
  // A server in trouble is no expired link.
  EXPECT_EQ(Explain("22", "The response status is not successful. status=502").find(expired),
            std::string::npos);
  EXPECT_NE(Explain("22", "The response status is not successful. status=502")
                .find(reinterpret_cast<const char*>(u8"服务器暂时出错")),
            std::string::npos);
}

TEST(ExplainDownloadFailure, EveryOtherErrorSaysWhatToDoAndUnknownOnesKeepAria2sWords) {
  for (const char* code : {"2", "3", "5", "6", "8", "9", "13", "16", "19", "23", "29", "32", "1", "99"}) {
    SCOPED_TRACE(code);
    const std::string text = Explain(code, "raw words");
    EXPECT_NE(text.find(reinterpret_cast<const char*>(u8"请")), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(reinterpret_cast<const char*>(u8"错误码 ")) + code), std::string::npos)
        << text;
  }
  EXPECT_NE(Explain("99", "raw words").find("raw words"), std::string::npos);
  // A server aria2 could not reach at all comes as the catch-all code 1.
  EXPECT_EQ(Explain("1", "Failed to establish connection, cause: Connection refused").substr(0, 60),
            Explain("6", "").substr(0, 60));
  EXPECT_EQ(Explain("3", "raw words").find("raw words"), std::string::npos);
  EXPECT_EQ(Explain("", "").find(reinterpret_cast<const char*>(u8"错误码")), std::string::npos);
}

}  // namespace
}  // namespace korvath
