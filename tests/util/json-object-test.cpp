#include "util/json-object.h"

#include <gtest/gtest.h>

#include <string>

namespace korvath {
namespace {

JsonObject Parsed(std::string_view json) {
  JsonObject object;
  EXPECT_TRUE(object.Parse(json)) << json;
  return object;
}

TEST(JsonObjectTest, ReadsTheResultOfAria2Replies) {
  JsonObject reply = Parsed(R"({"id":"qwer","jsonrpc":"2.0","result":"2089b05ecca3d829"})");
  EXPECT_EQ(reply.GetProperty("result"), "2089b05ecca3d829");

  JsonObject error = Parsed(R"({"id":"qwer","jsonrpc":"2.0","error":{"code":1,"message":"Unauthorized"}})");
  EXPECT_EQ(error.GetProperty("result"), "");
  EXPECT_EQ(error.GetProperty("error.message"), "Unauthorized");
  EXPECT_EQ(error.GetNumber("error.code"), 1);

  // aria2 writes UTF-8: read as it is, a Chinese name comes out as system
  // text once, the same as from the reply converted first.
  const std::string utf8 = reinterpret_cast<const char*>(u8R"({"error":{"message":"文件已存在：报告.bin"}})");
  JsonObject direct;
  ASSERT_TRUE(direct.ParseUtf8(utf8));
  EXPECT_EQ(direct.GetProperty("error.message"), Gbk(u8"文件已存在：报告.bin"));
  EXPECT_EQ(direct.ToJson(), Parsed(Utf8ToGbk(utf8)).ToJson());
  EXPECT_FALSE(direct.ParseUtf8("{\"a\":"));
  EXPECT_EQ(direct.GetType(), kJsonNull);
}

TEST(JsonObjectTest, FailedParseLeavesNullRootWithEmptyReads) {
  for (const char* text : {"", "null", "{\"a\":", "{'a':1}", "[1] 2", "undefined"}) {
    JsonObject object;
    object.SetProperty("result", "old");
    EXPECT_FALSE(object.Parse(text)) << text;
    EXPECT_EQ(object.GetProperty("result"), "") << text;
    EXPECT_EQ(object.ToJson(), "null") << text;
    EXPECT_EQ(object.GetType(), kJsonNull) << text;
    object.SetProperty("x", "y");  // a member of null cannot be set
    EXPECT_EQ(object.ToJson(), "null") << text;
  }
  EXPECT_FALSE(JsonObject().Parse(std::string(100000, '[') + std::string(100000, ']')));
}

TEST(JsonObjectTest, GetPropertyWritesNumbersWithThirteenDigits) {
  JsonObject object =
      Parsed(R"({"big":12345678901234,"half":3.5,"whole":2089,"neg":-0.25,"t":true,"n":null})");
  EXPECT_EQ(object.GetProperty("big"), "1.234567890123e+013");
  EXPECT_EQ(object.GetProperty("half"), "3.5");
  EXPECT_EQ(object.GetProperty("whole"), "2089");
  EXPECT_EQ(object.GetProperty("neg"), "-0.25");
  EXPECT_EQ(object.GetProperty("t"), "true");
  EXPECT_EQ(object.GetProperty("n"), "");
  EXPECT_EQ(object.GetProperty("n", true), "null");
  EXPECT_EQ(object.GetProperty("missing", true), "");
  EXPECT_EQ(object.GetPropertyJson("big"), "12345678901234");
}

TEST(JsonObjectTest, PathsReachNamesIndexesAndQuotedKeys) {
  JsonObject object = Parsed(R"({"files":[{"path":"/d/a.zip","uris":[{"uri":"http://h/a"}]}],"x-y":"dash",)" +
                             Gbk(u8R"("名称":"值"})"));
  EXPECT_EQ(object.GetProperty("files[0].uris[0].uri"), "http://h/a");
  EXPECT_EQ(object.GetProperty("files[0]['path']"), "/d/a.zip");
  EXPECT_EQ(object.GetProperty("['x-y']"), "dash");
  EXPECT_EQ(object.GetProperty("[\"x-y\"]"), "dash");
  EXPECT_EQ(object.GetProperty(Gbk(u8"名称")), Gbk(u8"值"));
  EXPECT_EQ(object.GetProperty("files[1].path"), "");  // a member of nothing
  EXPECT_EQ(object.GetProperty("files[0"), "");
  EXPECT_EQ(object.GetProperty(""), "");
  EXPECT_EQ(object.GetProperty("1files"), "");

  JsonObject array = Parsed(R"([10,"b"])");
  EXPECT_EQ(array.GetProperty("[1]"), "b");
  EXPECT_EQ(array.GetProperty("[0]"), "10");
  // Only some operations apply a "[" path directly; the others join it with ".".
  EXPECT_EQ(array.GetPropertyJson("[1]"), "");
  EXPECT_FALSE(array.HasProperty("[0]"));
  EXPECT_EQ(Parsed("[[1,2]]").Count("[0]"), 2);
  EXPECT_EQ(array.GetObject("[1]").ToJson(), "\"b\"");
}

TEST(JsonObjectTest, TypeCountAndKeys) {
  JsonObject object = Parsed(R"({"a":[1],"s":"x","n":1.5,"b":false,"z":null,"o":{}})");
  EXPECT_EQ(object.GetType(), kJsonObject);
  EXPECT_EQ(object.GetType("a"), kJsonArray);
  EXPECT_EQ(object.GetType("s"), kJsonString);
  EXPECT_EQ(object.GetType("n"), kJsonNumber);
  EXPECT_EQ(object.GetType("b"), kJsonBoolean);
  EXPECT_EQ(object.GetType("z"), kJsonNull);
  EXPECT_EQ(object.GetType("missing.deeper"), kJsonNull);
  EXPECT_EQ(Parsed("[1,2]").GetType(), kJsonArray);

  EXPECT_EQ(Parsed(R"({"a":1,"b":2})").Count(), 2);
  EXPECT_EQ(Parsed("[]").Count(), 0);
  EXPECT_EQ(object.Count("a"), 1);
  EXPECT_EQ(object.Count("s"), 0);
  EXPECT_EQ(object.Count("missing"), 0);

  EXPECT_EQ(Parsed(R"({"a":1,"b":2})").GetKeys(), (TextArray{"a", "b"}));
  // Names are returned whole, also one holding a comma or the support script's names.
  EXPECT_EQ(Parsed(R"({"x,y":1,"toJSONString":2})").GetKeys(), (TextArray{"x,y", "toJSONString"}));
  EXPECT_EQ(object.GetKeys("a"), (TextArray{"0"}));
  EXPECT_TRUE(object.GetKeys("o").empty());
  EXPECT_TRUE(object.GetKeys("s").empty());
}

TEST(JsonObjectTest, StringsAreStoredVerbatim) {
  JsonObject object;
  object.SetProperty("x", "ok");
  EXPECT_EQ(object.ToJson(), R"({"x":"ok"})");

  // Quotes, line breaks and backslashes must survive, not break the store.
  for (const Text& value : {Text("it's"), Text("a\nb\r\n"), Text("C:\\new\\t.txt"), Text("\"q\""),
                            Gbk(u8"下载/文件名：报告.pdf"), Text("")}) {
    object.SetProperty("v", value);
    EXPECT_EQ(object.GetProperty("v"), value);
    object.Push(value, "list");
    object.SetRoot(value);
    EXPECT_EQ(object.GetProperty("", true), "");
    JsonObject round = Parsed(R"({"v":)" + object.ToJson() + "}");
    EXPECT_EQ(round.GetProperty("v"), value);
    object.Reset();
  }
  object.SetProperty("v", "a\n\x01\"\\");
  EXPECT_EQ(object.ToJson(), R"({"v":"a\n\u0001\"\\"})");
}

TEST(JsonObjectTest, ExpressionValuesTakeJsonText) {
  JsonObject object;
  object.SetProperty("o", "", true);
  object.SetProperty("a", "[1,{\"k\":\"v\"}]", true);
  object.SetPropertyExpr("n", "42");
  object.SetPropertyExpr("bad", "{oops");
  object.SetPropertyExpr("empty", "");
  object.SetProperty("bad2", "[1,", true);
  EXPECT_EQ(object.ToJson(), R"({"o":{},"a":[1,{"k":"v"}],"n":42})");
  EXPECT_EQ(object.GetProperty("a[1].k"), "v");

  object.SetProperty("missing.child", "x");  // the parent does not exist
  object.SetProperty("n.child", "x");        // a number has no members to set
  object.SetProperty("a[3]", "x");           // past the end: the gap reads null
  object.SetProperty("a['4']", "y");
  EXPECT_EQ(object.ToJson(), R"({"o":{},"a":[1,{"k":"v"},null,"x","y"],"n":42})");
}

TEST(JsonObjectTest, NumbersAreWrittenAsScriptNumbers) {
  EXPECT_EQ(Parsed("[1.0,1e21,1e20,1e-7,0.000001,2.50,-0,18446744073709551615]").ToJson(),
            "[1,1e+21,100000000000000000000,1e-7,0.000001,2.5,0,18446744073709551615]");
  JsonObject object;
  object.SetNumber("n", 1234567890.123456789);
  EXPECT_EQ(object.ToJson(), R"({"n":1234567890.123})");
  object.SetNumber("big", 12345678901234567.0);
  EXPECT_EQ(object.GetNumber("big"), 12345678901230000.0);
  object.SetProperty("s", " 0x1F ");
  EXPECT_EQ(object.GetNumber("s"), 31);
  object.SetProperty("s", "1e999");
  EXPECT_EQ(object.GetProperty("s"), "1e999");  // a string stays a string
  object.SetProperty("s", "12abc");
  EXPECT_EQ(object.GetNumber("s"), 0);
  object.SetProperty("s", "nan");
  EXPECT_EQ(object.GetNumber("s"), 0);
  // One sign at most.
  object.SetProperty("s", "+-5");
  EXPECT_EQ(object.GetNumber("s"), 0);
  object.SetProperty("s", "--5");
  EXPECT_EQ(object.GetNumber("s"), 0);
  object.SetProperty("s", "-5");
  EXPECT_EQ(object.GetNumber("s"), -5);
}

TEST(JsonObjectTest, PushReplacesNonArrayTargets) {
  JsonObject object = Parsed(R"({"list":"s"})");
  object.Push("1", "list", true);
  EXPECT_EQ(object.ToJson(), R"({"list":[1]})");
  object.Push("two", "list");
  object.Push("{bad", "list", true);
  object.Push("x", "fresh");
  object.Push("x", "missing.deeper");
  EXPECT_EQ(object.ToJson(), R"({"list":[1,"two"],"fresh":["x"]})");
  object.Push("r");
  EXPECT_EQ(object.ToJson(), R"(["r"])");
}

TEST(JsonObjectTest, MembersOfArrays) {
  JsonObject object = Parsed(R"([{"a":1},"b",3.25])");
  EXPECT_EQ(object.GetMember(1), "b");
  EXPECT_EQ(object.GetMember(2), "3.25");
  EXPECT_EQ(object.GetMember(0, "", true), R"({"a":1})");
  EXPECT_EQ(object.GetMember(9), "");
  EXPECT_EQ(object.GetMember(-1), "");

  JsonObject first = object.GetMemberObject(0);
  first.SetProperty("a", "changed");
  EXPECT_EQ(object.GetMember(0, "", true), R"({"a":1})");  // a copy, not a view
  EXPECT_EQ(object.GetMemberObject(7).ToJson(), "null");

  object.SetMember(1, "B");
  object.SetMember(3, "[]", true);
  object.SetMember(1'000'000'000, "far");  // would allocate a billion holes
  object.RemoveMember(0);
  object.RemoveMember(10);
  EXPECT_EQ(object.ToJson(), R"(["B",3.25,[]])");

  JsonObject nested = Parsed(R"({"l":[[5,6]]})");
  EXPECT_EQ(nested.GetMember(1, "l[0]"), "6");
  EXPECT_EQ(nested.GetMemberObject(0, "l").ToJson(), "[5,6]");
}

TEST(JsonObjectTest, RemoveClearAndHas) {
  JsonObject object = Parsed(R"({"a":{"b":1,"c":2},"l":[1,2]})");
  EXPECT_TRUE(object.HasProperty("a.b"));
  object.RemoveProperty("a.b");
  object.RemoveProperty("l[0]");  // deleting an element leaves a null hole
  object.RemoveProperty("nothing.here");
  EXPECT_FALSE(object.HasProperty("a.b"));
  EXPECT_EQ(object.ToJson(), R"({"a":{"c":2},"l":[null,2]})");
  EXPECT_FALSE(object.HasProperty("l[0]"));

  object.Clear(3);
  EXPECT_EQ(object.GetType(), kJsonObject);
  object.Clear(kJsonArray);
  EXPECT_EQ(object.ToJson(), "[]");
  object.Clear(kJsonNull);
  EXPECT_EQ(object.ToJson(), "{}");
  EXPECT_TRUE(object.SetRoot("7", true));
  EXPECT_FALSE(object.SetRoot("", true));
  EXPECT_EQ(object.ToJson(), "7");
}

TEST(JsonObjectTest, CopiesShareTheDocumentUntilParse) {
  JsonObject object;
  JsonObject shared = object;
  object.SetProperty("k", "v");
  EXPECT_EQ(shared.GetProperty("k"), "v");
  JsonObject detached = object.GetObject("k");
  EXPECT_EQ(detached.ToJson(), "\"v\"");
  EXPECT_TRUE(object.Parse(R"({"fresh":1})"));
  EXPECT_EQ(shared.ToJson(), R"({"k":"v"})");
  EXPECT_EQ(object.GetObject("missing").ToJson(), "null");
}

}  // namespace
}  // namespace korvath
