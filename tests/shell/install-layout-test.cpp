// Where an installed or a build-tree korvath writes aria2's files, and which
// folder the downloads of a run go to.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "app/download-folder.h"
#include "harness/korvath-harness.h"
#include "shell/install-kind.h"

namespace korvath::testing {
namespace {

TEST(Aria2FilesDirectory, TheBuildTreesProgramKeepsThemBesideItself) {
  const fs::path program_dir = MakeTempDir("build-tree");
  const fs::path user_dir = program_dir / "user data";
  // The marker the build writes beside the program it links.
  ASSERT_TRUE(fs::exists(fs::path(KorvathProcess::Program()).parent_path() / KORVATH_BUILD_TREE_MARKER));
  fs::copy_file(fs::path(KorvathProcess::Program()).parent_path() / KORVATH_BUILD_TREE_MARKER,
                program_dir / KORVATH_BUILD_TREE_MARKER);
  EXPECT_TRUE(RunsFromBuildTree(program_dir.string()));
  EXPECT_EQ(Aria2FilesDirectory(program_dir.string(), user_dir.string()), program_dir.string());
  EXPECT_FALSE(fs::exists(user_dir));
  fs::remove_all(program_dir);
}

TEST(Aria2FilesDirectory, AnInstalledProgramUsesTheUserDataFolderMadePrivate) {
  const fs::path program_dir = MakeTempDir("installed");
  const fs::path user_dir = program_dir / "data" / "korvath";
  EXPECT_FALSE(RunsFromBuildTree(program_dir.string()));
  EXPECT_EQ(Aria2FilesDirectory(program_dir.string(), user_dir.string()), user_dir.string());
  ASSERT_TRUE(fs::is_directory(user_dir));
  struct stat made {};
  ASSERT_EQ(::stat(user_dir.c_str(), &made), 0);
  EXPECT_EQ(made.st_mode & 0777, 0700u);
  // Without HOME and XDG_DATA_HOME there is nowhere else to go.
  EXPECT_EQ(Aria2FilesDirectory(program_dir.string(), ""), program_dir.string());
  fs::remove_all(program_dir);
}

TEST(DownloadFolder, StaysZorbitDravenetInTheWorkingDirectoryUnlessAskedOtherwise) {
  EXPECT_EQ(DownloadFolder({.xdg_download_dir = "/home/u/Downloads", .home = "/home/u"}), "ZorbitDravenet");
  EXPECT_EQ(DownloadFolder({}), "ZorbitDravenet");
}

TEST(DownloadFolder, FromTheMenuGoesIntoTheXdgDownloadFolderElseHomeDownloads) {
  EXPECT_EQ(DownloadFolder(
                {.user_downloads = true, .xdg_download_dir = "/home/u/Téléchargements/", .home = "/home/u"}),
            "/home/u/Téléchargements/ZorbitDravenet");
  EXPECT_EQ(DownloadFolder({.user_downloads = true, .home = "/home/u/"}), "/home/u/Downloads/ZorbitDravenet");
  // GLib only gives absolute paths; anything else is no folder at all.
  EXPECT_EQ(DownloadFolder({.user_downloads = true, .xdg_download_dir = "Downloads", .home = "/home/u"}),
            "/home/u/Downloads/ZorbitDravenet");
  EXPECT_EQ(DownloadFolder({.user_downloads = true, .xdg_download_dir = "/", .home = "/home/u"}),
            "/ZorbitDravenet");
  // Without a home of its own the program falls back to the working directory.
  EXPECT_EQ(DownloadFolder({.user_downloads = true, .home = ""}), "ZorbitDravenet");
  EXPECT_EQ(DownloadFolder({.user_downloads = true, .home = "relative"}), "ZorbitDravenet");
}

}  // namespace
}  // namespace korvath::testing
