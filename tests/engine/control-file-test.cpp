// aria2's control file read back: how long the file is, how far aria2 wrote,
// and whether the partial file beside it still holds that.
#include "engine/control-file.h"

#include <gtest/gtest.h>

#include "engine/engine-fixture.h"
#include "engine/partial-file-check.h"
#include "support/fifo-trap.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

// A version-1 control file (network byte order) of a 10,000-byte download in
// 4,096-byte pieces whose first two pieces are complete.
std::string ControlFile(std::string bitfield = "\xC0") {
  auto number = [](std::uint64_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xff);
    return out;
  };
  return number(1, 2) + number(0, 4) + number(0, 4) + number(4096, 4) + number(10000, 8) + number(0, 8) +
         number(bitfield.size(), 4) + bitfield + number(0, 4);
}

TEST(ControlFile, ReadsTheLengthAndHowFarAria2WroteAndTellsAPartialFileThatLostBytes) {
  const fs::path dir = testing::MakeTempDir("korvath-control");
  const std::string file = (dir / "a.bin").string();
  testing::WriteFile(file + ".aria2", ControlFile());
  const std::optional<ControlFileInfo> info = ReadControlFile(file + ".aria2");
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->total_length, 10000);
  EXPECT_EQ(info->complete_end, 8192);
  testing::WriteFile(file + ".aria2", ControlFile("\x20"));  // only the third, last piece
  EXPECT_EQ(ReadControlFile(file + ".aria2")->complete_end, 10000);

  EXPECT_EQ(PartialFileState(file), PartialState::kContinuable);  // nothing written yet
  testing::WriteFile(file, std::string(10000, 'x'));
  EXPECT_EQ(PartialFileState(file), PartialState::kContinuable);
  testing::WriteFile(file, std::string(8000, 'x'));  // cut short: zeros would stand for written bytes
  EXPECT_EQ(PartialFileState(file), PartialState::kDamaged);
  testing::WriteFile(file + ".aria2", ControlFile().substr(0, 20));
  EXPECT_EQ(PartialFileState(file), PartialState::kDamaged);
  fs::remove(file + ".aria2");
  EXPECT_EQ(PartialFileState(file), PartialState::kWithoutControl);
  fs::remove(file);
  EXPECT_EQ(PartialFileState(file), PartialState::kNone);
  fs::remove_all(dir);
}

// A FIFO under the control file's name is no control file, and must not hold
// the window's thread (a click on the share page, or the start-up) waiting
// for a writer that never comes.
TEST(ControlFile, AFifoInPlaceOfTheControlFileIsDamagedAndNeverWaitedOn) {
  const fs::path dir = testing::MakeTempDir("korvath-control");
  const std::string file = (dir / "a.bin").string();
  const std::string control = file + ".aria2";
  ASSERT_TRUE(testing::MakeFifo(control));
  EXPECT_EQ(testing::WithinTime(control, [&] { return ReadControlFile(control).has_value(); }), false);
  EXPECT_EQ(testing::WithinTime(control, [&] { return PartialFileState(file); }), PartialState::kDamaged);
  testing::WriteFile(file, std::string(10000, 'x'));
  EXPECT_EQ(testing::WithinTime(control, [&] { return PartialFileState(file); }), PartialState::kDamaged);

  // Set aside like any control file that cannot be read: the download then
  // starts from byte 0, and the bytes on disk are kept under another name.
  const auto check =
      testing::WithinTime(control, [&] { return ClearUncontinuablePartialFile(file, nullptr); });
  ASSERT_TRUE(check.has_value()) << "the partial file check waited on the FIFO";
  EXPECT_EQ(check->outcome, PartialFileCheck::kSetAside);
  EXPECT_EQ(check->kept_as, (dir / "a (2).bin").string());
  EXPECT_EQ(testing::ReadFile(check->kept_as), std::string(10000, 'x'));
  EXPECT_FALSE(fs::exists(fs::symlink_status(control)));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath
