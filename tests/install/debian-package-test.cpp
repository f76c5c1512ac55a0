// The Debian package CPack makes: the installed files under /usr, and the
// dependencies a Debian 12 system needs to run it.
#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "install/install-stage.h"

namespace korvath::testing {
namespace {

// "a, b (>= 1), c\n" as its items.
std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::string item;
  for (char c : text + ",") {
    if (c == ',' || c == '\n') {
      if (!item.empty()) items.push_back(item);
      item.clear();
    } else if (c != ' ' || !item.empty()) {
      item += c;
    }
  }
  return items;
}

TEST(DebianPackage, ContentsAreTheInstalledFilesUnderUsr) {
  const auto package = DebianPackage();
  ASSERT_TRUE(package) << "no single .deb in " << StageDir() / "package";
  const CommandResult contents = RunTool("dpkg-deb --contents " + Quoted(*package));
  ASSERT_EQ(contents.status, 0) << contents.output;
  for (const std::string& path :
       std::vector<std::string>{"./usr/bin/korvath", "./usr/share/applications/" + kAppId + ".desktop",
                                "./usr/share/metainfo/" + kAppId + ".metainfo.xml",
                                "./usr/share/icons/hicolor/scalable/apps/" + kAppId + ".svg",
                                "./usr/share/icons/hicolor/128x128/apps/" + kAppId + ".png",
                                "./usr/share/icons/hicolor/256x256/apps/" + kAppId + ".png",
                                "./usr/share/man/man1/korvath.1.gz", "./usr/share/doc/korvath/copyright"}) {
    EXPECT_NE(contents.output.find(" " + path + "\n"), std::string::npos) << path << "\n" << contents.output;
  }
  EXPECT_EQ(contents.output.find("aria2c.exe"), std::string::npos);
}

TEST(DebianPackage, DependsOnAria2AndTheLibrariesTheProgramLinks) {
  const auto package = DebianPackage();
  ASSERT_TRUE(package);
  const CommandResult info = RunTool("dpkg-deb --info " + Quoted(*package));
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find(" Package: korvath\n"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find(" Version: " KORVATH_VERSION "\n"), std::string::npos) << info.output;
  const std::string depends = RunTool("dpkg-deb --field " + Quoted(*package) + " Depends").output;
  std::set<std::string> names;  // "libc6 (>= 2.34)" gives "libc6"
  for (const std::string& item : SplitList(depends)) names.insert(item.substr(0, item.find(' ')));
  // Found from the program's libraries by dpkg-shlibdeps, aria2 added.
  for (const std::string needed :
       {"aria2", "libwebkit2gtk-4.1-0", "libgtk-3-0", "libcurl4", "libpcre2-8-0"}) {
    EXPECT_TRUE(names.count(needed)) << needed << " missing from: " << depends;
  }
  EXPECT_EQ(depends.find("-dev"), std::string::npos) << depends;
}

}  // namespace
}  // namespace korvath::testing
