// Whole-file helpers and the base directories: what reaches the disk, and
// the single rule every per-user directory follows.
#include "util/file-io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "support/fifo-trap.h"
#include "util/xdg-dirs.h"

namespace korvath {
namespace {

namespace fs = std::filesystem;

class FileIo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "korvath-file-io-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(FileIo, AtomicWriteCreatesTheFolderAndReadingGivesTheBytesBack) {
  const std::string path = (dir / "new" / "record.json").string();
  const std::string contents("a\0b\xff\n", 5);
  ASSERT_TRUE(WriteFileAtomically(path, contents));
  EXPECT_EQ(ReadWholeFile(path), contents);
  EXPECT_EQ(fs::status(dir / "new").permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "new"), fs::directory_iterator()), 1);
  EXPECT_EQ(ReadWholeFile((dir / "missing").string()), std::nullopt);
}

// A file that may hold a secret is the user's alone, whatever the umask or
// the mode of the file it replaces.
TEST_F(FileIo, AtomicWriteLeavesTheFileReadableByItsOwnerOnly) {
  const std::string path = (dir / "settings.ini").string();
  { std::ofstream(path) << "old"; }
  fs::permissions(
      path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  const mode_t old_mask = ::umask(0277);
  const bool written = WriteFileAtomically(path, "new");
  ::umask(old_mask);
  ASSERT_TRUE(written);
  EXPECT_EQ(ReadWholeFile(path), "new");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(FileIo, WriteAllReportsTheBytesTakenAndTheErrorThatStoppedIt) {
  const std::string path = (dir / "all").string();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  WriteAllResult done = WriteAll(fd, std::string(1 << 20, 'x'));
  EXPECT_EQ(done.written, 1u << 20);
  EXPECT_EQ(done.error, 0);
  ::close(fd);
  // A descriptor open for reading only takes nothing.
  fd = ::open(path.c_str(), O_RDONLY);
  WriteAllResult refused = WriteAll(fd, "y");
  EXPECT_EQ(refused.written, 0u);
  EXPECT_EQ(refused.error, EBADF);
  ::close(fd);
}

// A FIFO, socket, device or folder under a file's name is refused at once:
// opened the ordinary way, a FIFO would hold the caller until a writer came.
TEST_F(FileIo, OnlyRegularFilesAreReadAndNothingElseIsWaitedOn) {
  const std::string fifo = (dir / "session.json").string();
  ASSERT_TRUE(testing::MakeFifo(fifo));
  const auto read = testing::WithinTime(fifo, [&] { return ReadPlainFile(fifo); });
  ASSERT_TRUE(read.has_value()) << "reading a FIFO waited for a writer";
  EXPECT_TRUE(read->not_plain);
  EXPECT_EQ(read->bytes, std::nullopt);
  const auto whole = testing::WithinTime(fifo, [&] { return ReadWholeFile(fifo); });
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(*whole, std::nullopt);

  // A link is followed to what it names, and that is checked too.
  const std::string link = (dir / "link").string();
  fs::create_symlink(fifo, link);
  const auto through_link =
      testing::WithinTime(fifo, [&] { return OpenPlainFileForReading(link).not_plain; });
  EXPECT_EQ(through_link, true);

  const std::string socket_path = (dir / "socket").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{.sun_family = AF_UNIX};
  socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_TRUE(ReadPlainFile(socket_path).not_plain);
  ::close(listener);
  EXPECT_TRUE(ReadPlainFile("/dev/zero").not_plain);  // would never end
  EXPECT_TRUE(ReadPlainFile(dir.string()).not_plain);

  const PlainFileRead missing = ReadPlainFile((dir / "missing").string());
  EXPECT_FALSE(missing.not_plain);
  EXPECT_EQ(missing.error, ENOENT);

  // A plain file is read up to the limit, through a link only when links
  // are followed.
  const std::string path = (dir / "control").string();
  { std::ofstream(path) << "0123456789"; }
  EXPECT_EQ(ReadPlainFile(path, 4).bytes, "0123");
  EXPECT_EQ(ReadPlainFile(path).bytes, "0123456789");

  PlainFileOpening opened = OpenPlainFileForReading(path);
  ASSERT_GE(opened.fd.get(), 0);
  // Whoever takes the descriptor gets an ordinary, blocking one.
  EXPECT_EQ(::fcntl(opened.fd.get(), F_GETFL) & O_NONBLOCK, 0);

  const std::string plain_link = (dir / "plain-link").string();
  fs::create_symlink(path, plain_link);
  EXPECT_GE(OpenPlainFileForReading(plain_link).fd.get(), 0);
  const PlainFileOpening refused = OpenPlainFileForReading(plain_link, /*follow_links=*/false);
  EXPECT_LT(refused.fd.get(), 0);
  EXPECT_TRUE(refused.not_plain);
}

TEST(XdgDirs, OnlyAbsolutePathsCountForTheVariableAndForHome) {
  const char* old_home = std::getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  ::setenv("HOME", "/home/u", 1);
  ::setenv("XDG_DATA_HOME", "/x/data", 1);
  EXPECT_EQ(XdgDataHome(), "/x/data");
  ::setenv("XDG_DATA_HOME", "relative", 1);
  EXPECT_EQ(XdgDataHome(), "/home/u/.local/share");
  ::unsetenv("XDG_STATE_HOME");
  EXPECT_EQ(XdgStateHome(), "/home/u/.local/state");
  ::setenv("HOME", "relative-home", 1);
  EXPECT_EQ(XdgStateHome(), "");
  ::unsetenv("XDG_DATA_HOME");
  ::setenv("HOME", saved_home.c_str(), 1);
}

}  // namespace
}  // namespace korvath
