// How aria2 requests are written: the envelope per method, parameters in the
// order given, and values that stay values whatever bytes they hold.
#include "engine/aria2-request.h"

#include <gtest/gtest.h>

namespace korvath {
namespace {

TEST(Aria2Request, ListsAndOptionQuestionsKeepTheirEnvelopeAndParameterOrder) {
  Aria2Request waiting(aria2_method::kTellWaiting, "s");
  waiting.AddNumber(0).AddNumber(1000).AddTexts(std::vector<Text>{"gid", "status"});
  EXPECT_EQ(
      waiting.Body(),
      R"({"jsonrpc":"2.0","method":"aria2.tellWaiting","id":1,"params":["token:s",0,1000,["gid","status"]]})");
  EXPECT_EQ(Aria2Request(aria2_method::kGetOption, "s").AddText("2089b05ecca3d829").Body(),
            R"({"jsonrpc":"2.0","method":"aria2.getOption","id":1,"params":["token:s","2089b05ecca3d829"]})");
  EXPECT_EQ(Aria2Request(aria2_method::kAddUri, "").AddTexts(std::vector<Text>{}).Body(),
            R"({"id":1,"jsonrpc":"2.0","method":"aria2.addUri","params":["token:",[]]})");
}

TEST(Aria2Request, SystemTextBytesPassAsTheyAreAndControlsAreEscaped) {
  // "报告" in system text is not UTF-8; aria2 has always been given such
  // links in these bytes.
  const Text link = Gbk(u8"报告") + "\"\x01\\\n";
  EXPECT_EQ(Text(Aria2Request(aria2_method::kAddUri, "s").AddTexts({link}).Body()),
            R"({"id":1,"jsonrpc":"2.0","method":"aria2.addUri","params":["token:s",[")" + Gbk(u8"报告") +
                R"(\"\u0001\\\n"]]})");
}

TEST(Aria2Options, ValuesAreStringsAndAnOptionSetTwiceKeepsItsPlaceWithTheLastValue) {
  Aria2Options options;
  options.Set(aria2_option::kSplit, std::int64_t{8})
      .SetSwitch(aria2_option::kPause, true)
      .Set(aria2_option::kOut, "a")
      .Set(aria2_option::kSplit, "16");
  EXPECT_EQ(Aria2Request(aria2_method::kChangeGlobalOption, "s").AddOptions(options).Body(),
            R"({"jsonrpc":"2.0","method":"aria2.changeGlobalOption","id":1,)"
            R"("params":["token:s",{"split":"16","pause":"true","out":"a"}]})");
}

}  // namespace
}  // namespace korvath
