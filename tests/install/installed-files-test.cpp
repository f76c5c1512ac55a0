// The files `cmake --install` puts into a prefix: exactly the program, its
// desktop files and its copyright statement, valid for the desktop's own
// tools, under one application id.
#include <gtest/gtest.h>

#include <set>

#include "install/install-stage.h"

namespace korvath::testing {
namespace {

TEST(InstalledFiles, ThePrefixHoldsTheProgramAndItsDesktopFilesOnly) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(Prefix())) {
    if (!entry.is_directory()) files.insert(fs::relative(entry.path(), Prefix()).string());
  }
  const std::set<std::string> expected = {
      "bin/korvath",
      "share/applications/" + kAppId + ".desktop",
      "share/metainfo/" + kAppId + ".metainfo.xml",
      "share/icons/hicolor/scalable/apps/" + kAppId + ".svg",
      "share/icons/hicolor/128x128/apps/" + kAppId + ".png",
      "share/icons/hicolor/256x256/apps/" + kAppId + ".png",
      "share/man/man1/korvath.1.gz",
      "share/doc/korvath/copyright",
  };
  EXPECT_EQ(files, expected);
  const auto program = fs::status(Prefix() / "bin/korvath").permissions();
  EXPECT_NE(program & fs::perms::others_exec, fs::perms::none);
}

TEST(InstalledFiles, DesktopEntryAndMetadataPassTheirValidators) {
  const CommandResult entry = RunTool("desktop-file-validate " + Quoted(DesktopFile()));
  EXPECT_EQ(entry.status, 0) << entry.output;
  EXPECT_EQ(entry.output, "");  // hints too would be printed
  const CommandResult metainfo = RunTool("appstreamcli validate --no-net " + Quoted(MetainfoFile()));
  EXPECT_EQ(metainfo.status, 0) << metainfo.output;
}

TEST(InstalledFiles, EntryIconAndMetadataNameTheProgramByOneId) {
  const std::string entry = ReadText(DesktopFile());
  EXPECT_EQ(DesktopValue(entry, "Icon"), kAppId);
  // The menu starts the installed program by name, saving into the user's
  // download folder.
  EXPECT_EQ(DesktopValue(entry, "Exec"), "korvath --user-downloads");
  const std::string metainfo = ReadText(MetainfoFile());
  EXPECT_NE(metainfo.find("<id>" + kAppId + "</id>"), std::string::npos);
  EXPECT_NE(metainfo.find("<launchable type=\"desktop-id\">" + kAppId + ".desktop</launchable>"),
            std::string::npos);
  EXPECT_NE(metainfo.find("<release version=\"" KORVATH_VERSION "\""), std::string::npos);
}

TEST(InstalledFiles, LicenceIsNamedInTheMetadataAndTheCopyrightFile) {
  const std::string metainfo = ReadText(MetainfoFile());
  EXPECT_NE(metainfo.find("<project_license>GPL-3.0-or-later</project_license>"), std::string::npos);
  EXPECT_NE(metainfo.find("<url type=\"bugtracker\">https://"), std::string::npos);
  // Debian's machine-readable form, pointing at the full text every Debian
  // system has.
  const std::string copyright = ReadText(Prefix() / "share/doc/korvath/copyright");
  EXPECT_TRUE(
      copyright.starts_with("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"));
  EXPECT_NE(copyright.find("License: GPL-3+\n"), std::string::npos);
  EXPECT_NE(copyright.find("any later version"), std::string::npos);
  EXPECT_NE(copyright.find("/usr/share/common-licenses/GPL-3"), std::string::npos);
}

TEST(InstalledFiles, TheIconsAreTheDrawingRenderedAt128And256Pixels) {
  for (const std::string size : {"128", "256"}) {
    const fs::path png = IconFile(size + "x" + size, "png");
    EXPECT_EQ(RunTool("identify -format '%w %h' " + Quoted(png)).output, size + " " + size);
    // Rendered here from the installed drawing, it must match pixel for pixel
    // (a little for rounding): the PNG is not stale and the SVG renders.
    const fs::path fresh = fs::temp_directory_path() / ("korvath-icon-" + std::to_string(getpid()) + ".png");
    ASSERT_EQ(RunTool("rsvg-convert -w " + size + " -h " + size + " -o " + Quoted(fresh) + " " +
                      Quoted(IconFile("scalable", "svg")))
                  .status,
              0);
    const CommandResult differing =
        RunTool("compare -metric AE -fuzz 2% " + Quoted(png) + " " + Quoted(fresh) + " null:");
    fs::remove(fresh);
    EXPECT_EQ(differing.output, "0") << size;
    // Transparent corners around an opaque drawing, not an empty picture.
    const std::string alpha =
        RunTool("convert " + Quoted(png) + " -alpha extract -format '%[fx:mean]' info:").output;
    ASSERT_FALSE(alpha.empty());
    EXPECT_GT(std::stod(alpha), 0.5) << size;
    EXPECT_LT(std::stod(alpha), 0.99) << size;
  }
}

TEST(InstalledFiles, TheManualPageIsTheProgramsHelp) {
  const CommandResult page = RunTool("gzip -dc " + Quoted(Prefix() / "share/man/man1/korvath.1.gz"));
  ASSERT_EQ(page.status, 0) << page.output;
  EXPECT_NE(page.output.find(".TH KORVATH \"1\""), std::string::npos) << page.output;
  EXPECT_NE(page.output.find("KORVATH_APP_URL"), std::string::npos);
  EXPECT_NE(page.output.find("\\-\\-user\\-downloads"), std::string::npos);
}

}  // namespace
}  // namespace korvath::testing
