// Names from a hostile page as aria2 gets them. Found by fuzzing: a control
// byte between C2 and 80..9F used to be dropped and leave the two joined as a
// C1 control character in the name.
#include <gtest/gtest.h>

#include "engine/clean-file-name.h"
#include "engine/download-task.h"
#include "util/text.h"

namespace korvath {
namespace {

TEST(HostileNames, DroppingAControlByteCannotJoinAC1Control) {
  EXPECT_EQ(SafeFileName("a\xc2\x02\x85z"), "az");
  EXPECT_EQ(SafeFileName("\xc2\x01\x02\x9f"), "");
  EXPECT_EQ(SafeFileName("\xc2\x7f\x80z"), "z");
  // A lone C2 before ordinary text is not a control and stays.
  EXPECT_EQ(SafeFileName("\xc2"
                         "a\xc2\xa9"),
            "\xc2"
            "a\xc2\xa9");
}

TEST(HostileNames, SeparatorsAndDotNamesNeverLeaveTheDirectory) {
  EXPECT_EQ(SafeFileName("..\x01"), "");
  EXPECT_EQ(SafeFileName("\xc2\x85..\xc2\x9f"), "");
  EXPECT_EQ(SafeFileName("..\\..\\x"), ".._.._x");
}

TEST(HostileNames, ALongNameIsCutSoItsControlFileStillFitsKeepingItsExtension) {
  const Text han = "\xe4\xb8\xad";  // three bytes in UTF-8
  const std::string cut = SafeFileName(RepeatText(100000, han) + ".pdf");
  // 243 bytes leave room for aria2's ".aria2__temp"; 239 for the name: 79 whole characters, none split.
  EXPECT_EQ(cut, std::string(RepeatText(79, han) + ".pdf"));
  // 85 characters (255 bytes) once filled a file name and left no room for the control file.
  EXPECT_EQ(SafeFileName(RepeatText(85, han)), std::string(RepeatText(81, han)));

  const std::string ascii = SafeFileName(std::string(300, 'a') + ".tar.gz");
  EXPECT_EQ(ascii, std::string(240, 'a') + ".gz");

  // An "extension" too long to be one is not kept whole.
  const std::string long_tail = SafeFileName("x." + std::string(400, 'b'));
  EXPECT_EQ(long_tail, "x." + std::string(241, 'b'));
  // Exactly at the limit nothing changes.
  EXPECT_EQ(SafeFileName(std::string(243, 'c')), std::string(243, 'c'));
}

// A page's name saved as it reads: "invoice\u202Efdp.exe" would show as
// "invoiceexe.pdf", and a name of nothing visible as no name at all.
TEST(HostileNames, BidiAndInvisibleCharactersLeaveTheNameAndABlankOneIsUnnamed) {
  const auto clean = [](const char8_t* name) {
    return GbkToUtf8(CleanFileName(Utf8ToGbk(reinterpret_cast<const char*>(name))));
  };
  const auto u8 = [](const char8_t* text) { return std::string(reinterpret_cast<const char*>(text)); };
  EXPECT_EQ(clean(u8"invoice\u202Efdp.exe"), "invoicefdp.exe");
  EXPECT_EQ(clean(u8"\u202A\u202B\u202C\u202Da\u2066\u2067\u2068\u2069b\u200E\u200Fc\u061C.txt"), "abc.txt");
  EXPECT_EQ(clean(u8"\uFEFF报\u200B告\u200C\u200D\u2060.pdf"), u8(u8"报告.pdf"));
  EXPECT_EQ(clean(u8" "), u8(u8"未命名"));
  EXPECT_EQ(clean(u8"\u200B"), u8(u8"未命名"));
  EXPECT_EQ(clean(u8" \u3000\u202E .exe"), u8(u8"未命名.exe"));
  // What is visible stays as it is; a page that names nothing still names nothing.
  EXPECT_EQ(clean(u8" a b .zip"), " a b .zip");
  EXPECT_EQ(CleanFileName(""), "");
}

}  // namespace
}  // namespace korvath
