// Files dropped on the download manager, as the window reads them for the
// page: only the kinds the new-task dialog's field takes, only plain files,
// and a reason for each it cannot hand over.
#include "shell/dropped-files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "engine/session-metadata.h"
#include "harness/korvath-harness.h"

namespace korvath::testing {
namespace {

using nlohmann::json;

TEST(DroppedFiles, OnlyPlainTorrentAndMetalinkFilesAreReadEachRefusalSaysWhy) {
  const std::string dir = MakeTempDir("dropped");
  const std::string torrent =
      "d4:infod4:name1:a6:lengthi1e12:piece lengthi16384e6:pieces20:aaaaaaaaaaaaaaaaaaaaee";
  std::ofstream(dir + "/one.torrent", std::ios::binary) << torrent;
  std::ofstream(dir + "/two files.META4", std::ios::binary) << "<metalink/>";
  std::ofstream(dir + "/notes.txt") << "not a task";
  std::ofstream(dir + "/empty.metalink");
  // A FIFO under a torrent's name: opening it to read would wait for ever.
  ASSERT_EQ(mkfifo((dir + "/trap.torrent").c_str(), 0600), 0);
  { std::ofstream big(dir + "/big.torrent"); }
  ASSERT_EQ(truncate((dir + "/big.torrent").c_str(), kDroppedFileLimit + 1), 0);

  // A file manager's URIs: percent-encoded, mixed with what is not a file.
  const auto paths = LocalPathsOf({"file://" + dir + "/one.torrent", "file://" + dir + "/two%20files.META4",
                                   "file://" + dir + "/notes.txt", "file://" + dir + "/empty.metalink",
                                   "file://" + dir + "/trap.torrent", "file://" + dir + "/big.torrent",
                                   "file://" + dir + "/gone.torrent", "https://example.invalid/x.torrent"});
  ASSERT_EQ(paths.size(), 7u);
  EXPECT_EQ(paths[1], dir + "/two files.META4");

  const json reply = json::parse(DroppedFilesReply(paths));
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(reply["files"], json::array({{{"name", "one.torrent"}, {"data", Base64(torrent)}},
                                         {{"name", "two files.META4"}, {"data", Base64("<metalink/>")}}}));
  // notes.txt is not what the field takes: left out without a word.
  ASSERT_EQ(reply["errors"].size(), 4u) << reply.dump();
  const std::string errors = reply["errors"].dump();
  for (const char* name : {"empty.metalink", "trap.torrent", "big.torrent", "gone.torrent"})
    EXPECT_NE(errors.find(name), std::string::npos) << name;
  EXPECT_EQ(errors.find("notes.txt"), std::string::npos);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvath::testing
