// Names from a hostile page as aria2 gets them. Found by fuzzing: a control
// byte between C2 and 80..9F used to be dropped and leave the two joined as a
// C1 control character in the name.
#include <gtest/gtest.h>

#include "engine/download-task.h"

namespace korvath {
namespace {

TEST(HostileNames, DroppingAControlByteCannotJoinAC1Control) {
  EXPECT_EQ(SafeFileName("a\xc2\x02\x85z"), "az");
  EXPECT_EQ(SafeFileName("\xc2\x01\x02\x9f"), "");
  EXPECT_EQ(SafeFileName("\xc2\x7f\x80z"), "z");
  // A lone C2 before ordinary text is not a control and stays.
  EXPECT_EQ(SafeFileName("\xc2" "a\xc2\xa9"), "\xc2" "a\xc2\xa9");
}

TEST(HostileNames, SeparatorsAndDotNamesNeverLeaveTheDirectory) {
  EXPECT_EQ(SafeFileName("..\x01"), "");
  EXPECT_EQ(SafeFileName("\xc2\x85..\xc2\x9f"), "");
  EXPECT_EQ(SafeFileName("..\\..\\x"), ".._.._x");
}

}  // namespace
}  // namespace korvath
