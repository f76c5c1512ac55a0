// What users do with their downloads in the manager page beyond the list:
// details, new tasks, search and batch actions, the queue, clean-up with the
// window's file deletion, settings, status, keyboard, colour scheme and the
// page's content policy. Real aria2, real engine; clicks and keys as events
// in the page.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/engine-session.h"
#include "manager-page/manager-features-fixture.h"
#include "shell/dropped-files.h"
#include "shell/record-reply.h"
#include "support/recording-desktop.h"

namespace korvath::testing {
namespace {

namespace fs = std::filesystem;

TEST_F(ManagerFeaturesTest, DetailsShowTheTaskAndChangeItsOptions) {
  const std::string failed = Add("/missing/gone.bin");
  ASSERT_TRUE(WaitStatus(failed, "error"));
  const std::string a = Add("/slow/a.bin");
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(Open());

  // A double-click on the row opens its details.
  Js("T.dbl(" + JsString(a) + ")");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('details').hidden", 3000));
  ASSERT_TRUE(
      page_->WaitFor("document.querySelectorAll('#d-servers li').length > 0 && "
                     "document.querySelector('#d-servers li').textContent !== '无'",
                     8000));
  EXPECT_EQ(Js("T.text('d-name')"), "\"a.bin\"");
  EXPECT_EQ(Js("T.text('d-gid')"), JsString(a));
  EXPECT_EQ(Js("T.text('d-status')"), "\"下载中\"");
  EXPECT_EQ(Js("T.text('d-dir')"), JsString(dir_));
  EXPECT_EQ(Js("T.text('d-path')"), JsString(dir_ + "/a.bin"));
  EXPECT_EQ(Js("T.text('d-conn')"), "\"1\"");
  EXPECT_EQ(Js("T.text('d-size')"), "\"64.00 MB\"");
  const std::string url = server_.Url("/slow/a.bin");
  EXPECT_EQ(Js("document.querySelector('#d-uris li').firstChild.data"), JsString(url));
  EXPECT_EQ(Js("document.querySelector('#d-servers li').firstChild.data"), JsString(url));
  EXPECT_EQ(Js("document.querySelector('#d-files li').firstChild.data"), JsString(dir_ + "/a.bin"));
  // The piece map shows the finished pieces; the task's own chart rises
  // above its floor once it has downloaded something.
  EXPECT_TRUE(page_->WaitFor("T.blue('d-pieces').n > 0", 10000));
  EXPECT_TRUE(page_->WaitFor("T.blue('d-chart').top < 45", 5000));

  // "复制链接" puts the link on the desktop's clipboard.
  Js("document.getElementById('d-copy').click()");
  page_->Pump(200);
  EXPECT_EQ(page_->ClipboardText(), url);

  // The task's own options are read, and changed through aria2.
  ASSERT_TRUE(page_->WaitFor("document.getElementById('d-opt-split').value === '1'", 3000));
  Js("document.getElementById('d-opt-limit').value = '200'; document.getElementById('d-opt-split').value = "
     "'4';"
     "document.getElementById('d-opt-conn').value = '3'; document.getElementById('d-opt-save').click()");
  page_->Pump(500);
  json options = aria2_->Call("aria2.getOption", json::array({a}));
  EXPECT_EQ(options["max-download-limit"], "204800");
  EXPECT_EQ(options["split"], "4");
  EXPECT_EQ(options["max-connection-per-server"], "3");
  // Out of range: nothing is sent.
  Js("document.getElementById('d-opt-split').value = '99'; document.getElementById('d-opt-save').click()");
  page_->Pump(400);
  EXPECT_EQ(aria2_->Call("aria2.getOption", json::array({a}))["split"], "4");
  EXPECT_NE(Message().find("分段数"), std::string::npos) << Message();
  Screenshot("manager-page-details.png");

  // Escape closes the view; Enter on the selection opens another.
  Js("T.key('Escape')");
  EXPECT_EQ(Js("document.getElementById('details').hidden"), "true");
  Js("T.click(" + JsString(failed) + "); T.key('Enter')");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(failed), 3000));
  const std::string error = Js("T.text('d-error')");
  EXPECT_NE(error.find("错误代码 3：找不到文件"), std::string::npos) << error;
  EXPECT_EQ(Js("document.querySelector('[data-d=\"delete-files\"]').hidden"), "false");
  EXPECT_TRUE(page_->dialogs().empty());
}

TEST_F(ManagerFeaturesTest, TheNewTaskDialogsOptionsCanBeChangedOnATaskButNotTheNameOfOneBegun) {
  json error;
  json queued = aria2_->Call(
      "aria2.addUri", json::array({json::array({server_.Url("/slow/q.bin")}), {{"pause", "true"}}}), &error);
  ASSERT_TRUE(queued.is_string()) << error.dump();
  const std::string running = Add("/slow/r.bin");
  ASSERT_TRUE(WaitStatus(running, "active"));
  ASSERT_TRUE(Open());
  auto open = [&](const std::string& gid) {
    Js("T.key('Escape'); T.dbl(" + JsString(gid) + ")");
    ASSERT_TRUE(page_->WaitFor(
        "T.text('d-gid') === " + JsString(gid) + " && document.getElementById('d-opt-split').value !== ''",
        5000));
  };
  // Not begun: a new name and request headers.
  ASSERT_NO_FATAL_FAILURE(open(queued));
  Js("document.getElementById('d-opt-out').value = 'renamed.bin'; "
     "document.getElementById('d-opt-referer').value = 'http://r/';"
     "document.getElementById('d-opt-headers').value = 'X-A: 1\\nX-B: 2'; "
     "document.getElementById('d-opt-save').click()");
  page_->Pump(500);
  json options = aria2_->Call("aria2.getOption", json::array({queued}));
  EXPECT_EQ(options["out"], "renamed.bin");
  EXPECT_EQ(options["referer"], "http://r/");
  // Begun: the name and folder stay, since the bytes on disk would stay behind.
  auto bytes = [&] {
    return std::stoll(aria2_->Call("aria2.tellStatus", json::array({running, {"completedLength"}}))
                          .value("completedLength", "0"));
  };
  for (int waited = 0; waited < 5000 && bytes() == 0; waited += 100) page_->Pump(100);
  ASSERT_GT(bytes(), 0);
  ASSERT_NO_FATAL_FAILURE(open(running));
  EXPECT_EQ(Js("document.getElementById('d-opt-out').disabled"), "true");
  Js("document.getElementById('d-opt-ua').value = 'Agent/1'; document.getElementById('d-opt-save').click()");
  page_->Pump(500);
  EXPECT_EQ(aria2_->Call("aria2.getOption", json::array({running}))["user-agent"], "Agent/1");
  EXPECT_EQ(aria2_->Call("aria2.tellStatus", json::array({running, {"files"}}))["files"][0]["path"],
            dir_ + "/r.bin");
}

TEST_F(ManagerFeaturesTest, DetailsListEachLinkOnceAndNothingOfTheTaskBefore) {
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  // The same link twice: aria2 lists it in use and waiting.
  json error;
  json gid = aria2_->Call(
      "aria2.addUri", json::array({json::array({server_.Url("/slow/a.bin"), server_.Url("/slow/a.bin")})}),
      &error);
  ASSERT_TRUE(gid.is_string()) << error.dump();
  const std::string a = gid;
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(Open());
  const char* kItems =
      "[...document.querySelectorAll('#d-uris li, #d-servers li')].map((li) => li.parentNode.id + ' ' + "
      "li.textContent)";
  Js("T.dbl(" + JsString(a) + ")");
  ASSERT_TRUE(
      page_->WaitFor("document.querySelector('#d-servers li') && T.text('d-servers') !== '无'", 8000));
  EXPECT_EQ(JsJson(kItems)[0], "d-uris " + server_.Url("/slow/a.bin") + "使用中");
  EXPECT_EQ(JsJson(kItems).size(), 2u) << JsJson(kItems);
  // A finished task lists the link it came from, and no server of the last.
  Js("T.key('Escape'); T.dbl(" + JsString(done) + ")");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(done), 3000));
  page_->Pump(1500);
  EXPECT_EQ(JsJson(kItems), json({"d-uris " + server_.Url("/fast/done.bin"), "d-servers 无"}));
  EXPECT_EQ(Js("document.getElementById('d-bt').hidden"), "true") << "no tracker or peer for a plain link";
}

// A torrent in base64, as aria2.addTorrent takes it: one file named `name`,
// or a folder `name` of several (name, content) files. Its tracker is a
// closed port, so no peer ever comes.
std::string TorrentBase64(const std::string& name,
                          const std::vector<std::pair<std::string, std::string>>& files) {
  auto str = [](const std::string& x) { return std::to_string(x.size()) + ":" + x; };
  const size_t piece = 16384;
  std::string all, list;
  for (const auto& [path, content] : files) {
    all += content;
    list += "d6:lengthi" + std::to_string(content.size()) + "e4:pathl" + str(path) + "ee";
  }
  std::string hashes;
  for (size_t at = 0; at < all.size(); at += piece) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const std::string part = all.substr(at, piece);
    EVP_Digest(part.data(), part.size(), md, &n, EVP_sha1(), nullptr);
    hashes.append(reinterpret_cast<char*>(md), n);
  }
  const std::string body =
      files.size() == 1 ? "6:lengthi" + std::to_string(all.size()) + "e" : "5:filesl" + list + "e";
  const std::string torrent = "d8:announce" + str("http://127.0.0.1:1/announce") + "4:infod" + body +
                              "4:name" + str(name) + "12:piece lengthi" + std::to_string(piece) +
                              "e6:pieces" + str(hashes) + "ee";
  std::string out(4 * ((torrent.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(torrent.data()),
                                static_cast<int>(torrent.size()));
  out.resize(n);
  return out;
}

TEST_F(ManagerFeaturesTest, ASeedingTaskShowsWhatItSendsNotATimeLeft) {
  const std::string content(100 * 1024, 's');
  std::ofstream(dir_ + "/seed.bin", std::ios::binary) << content;
  json error;
  json gid = aria2_->Call("aria2.addTorrent",
                          json::array({TorrentBase64("seed.bin", {{"seed.bin", content}}),
                                       json::array(),
                                       {{"dir", dir_}, {"check-integrity", "true"}, {"seed-time", "30"}}}),
                          &error);
  ASSERT_TRUE(gid.is_string()) << error.dump();
  const std::string seed = gid;
  for (int i = 0; i < 200; ++i) {
    json t = aria2_->Call("aria2.tellStatus", json::array({seed, json::array({"seeder", "status"})}));
    if (t.value("seeder", "") == "true") break;
    usleep(50000);
  }
  ASSERT_EQ(aria2_->Call("aria2.tellStatus", json::array({seed, json::array({"seeder"})}))["seeder"], "true");
  ASSERT_TRUE(Open());
  ASSERT_TRUE(page_->WaitFor("T.row(" + JsString(seed) + ") && T.row(" + JsString(seed) +
                                 ").querySelector('.st').textContent === '做种中'",
                             4000));
  json row = Row(seed);
  EXPECT_EQ(row["speed"], "↑ 0 B/s");
  EXPECT_EQ(row["eta"], "");
  Js("T.dbl(" + JsString(seed) + ")");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(seed), 3000));
  EXPECT_EQ(Js("T.text('d-eta')"), "\"—\"");
}

TEST_F(ManagerFeaturesTest, ATorrentsFilesCanBeChosenInItsDetails) {
  json error;
  json gid = aria2_->Call("aria2.addTorrent",
                          json::array({TorrentBase64("pack", {{"a.bin", std::string(40000, 'a')},
                                                              {"b.bin", std::string(30000, 'b')}}),
                                       json::array(),
                                       {{"dir", dir_}, {"pause", "true"}}}),
                          &error);
  ASSERT_TRUE(gid.is_string()) << error.dump();
  const std::string pack = gid;
  ASSERT_TRUE(Open());
  Js("T.dbl(" + JsString(pack) + ")");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('d-select').hidden", 3000));
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#d-select-list input')].map((x) => x.checked)"),
            json({true, true}));
  // Its tracker and its peers (none: the tracker is a closed port).
  EXPECT_EQ(JsJson("[document.getElementById('d-bt').hidden, T.text('d-trackers'), T.text('d-peers')]"),
            json({false, "http://127.0.0.1:1/announce", "无"}));
  // Nothing ticked is refused; one ticked is what aria2 then fetches.
  Js("document.querySelectorAll('#d-select-list input').forEach((x) => { x.checked = false; });"
     "document.getElementById('d-select-save').click()");
  EXPECT_NE(Message().find("至少勾选一个"), std::string::npos) << Message();
  Js("document.querySelector('#d-select-list input').checked = true; "
     "document.getElementById('d-select-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent === '已选择下载 1 个文件'", 3000))
      << Message();
  json files = aria2_->Call("aria2.getFiles", json::array({pack}));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0]["selected"], "true");
  EXPECT_EQ(files[1]["selected"], "false");
  ASSERT_TRUE(page_->WaitFor(
      "document.querySelector('#d-files li:last-child small').textContent.includes('未选择下载')", 3000));
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#d-select-list input')].map((x) => x.checked)"),
            json({true, false}));
}

TEST_F(ManagerFeaturesTest, ATorrentsFilesCanBeChosenBeforeAdding) {
  ASSERT_TRUE(Open());
  ClickId("new-task");
  const std::string torrent =
      TorrentBase64("pack", {{"a.bin", std::string(40000, 'a')}, {"b.bin", std::string(30000, 'b')}});
  Js("(() => { const dt = new DataTransfer();"
     "dt.items.add(new File([Uint8Array.from(atob(" +
     JsString(torrent) +
     "), (c) => c.charCodeAt(0))], 'pack.torrent'));"
     "const input = document.getElementById('new-files'); input.files = dt.files;"
     "input.dispatchEvent(new Event('change', { bubbles: true })); return true; })()");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('new-pick').hidden", 3000));
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#new-pick label')].map((l) => l.textContent)"),
            json({" pack/a.bin", " pack/b.bin"}));
  Js("document.querySelector('#new-pick input').checked = false; document.getElementById('new-add').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('new-dlg').hidden", 5000)) << Js("T.text('new-error')");
  json active = aria2_->Call("aria2.tellActive", json::array({json::array({"gid", "files"})}));
  ASSERT_EQ(active.size(), 1u) << active.dump();
  EXPECT_EQ(active[0]["files"][0]["selected"], "false");
  EXPECT_EQ(active[0]["files"][1]["selected"], "true");
}

// A refresh between the two clicks moves the list: the second click of the
// pair lands on the row above.
TEST_F(ManagerFeaturesTest, ADoubleClickOpensTheRowItBeganOn) {
  const std::string a = Add("/slow/a.bin", {{"pause", "true"}});
  const std::string b = Add("/slow/b.bin", {{"pause", "true"}});
  ASSERT_TRUE(Open());
  Js("(() => { const nm = (gid) => T.row(gid).querySelector('.nm');"
     "nm(" +
     JsString(b) +
     ").dispatchEvent(new MouseEvent('click', { bubbles: true, detail: 1 }));"
     "nm(" +
     JsString(a) +
     ").dispatchEvent(new MouseEvent('click', { bubbles: true, detail: 2 }));"
     "nm(" +
     JsString(a) +
     ").dispatchEvent(new MouseEvent('dblclick', { bubbles: true, detail: 2 })); return true; })()");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('details').hidden", 3000));
  EXPECT_EQ(Js("T.text('d-gid')"), JsString(b));
}

TEST_F(ManagerFeaturesTest, NewTaskDialogAddsLinksAndFilesAndRefusesBadInput) {
  ASSERT_TRUE(Open());
  ClickId("new-task");
  ASSERT_EQ(Js("document.getElementById('new-dlg').hidden"), "false");
  Screenshot("manager-page-new-task.png");

  // A scheme aria2 should not fetch, a name with "/": a message, nothing sent.
  Js("T.type('new-uris', " + JsString(server_.Url("/fast/x.bin") + "\nfile:///etc/passwd") +
     "); document.getElementById('new-add').click()");
  ASSERT_TRUE(page_->WaitFor("T.text('new-error') !== ''", 3000));
  EXPECT_NE(Js("T.text('new-error')").find("第 2 个链接"), std::string::npos) << Js("T.text('new-error')");
  Js("T.type('new-uris', " + JsString(server_.Url("/fast/x.bin")) +
     "); T.type('new-out', '../x.bin'); document.getElementById('new-add').click()");
  ASSERT_TRUE(page_->WaitFor("T.text('new-error').includes('/')", 3000));
  Js("T.type('new-out', ''); document.getElementById('new-files').value = ''");
  {
    // A file that is neither a torrent nor a metalink.
    Js("(() => { const dt = new DataTransfer(); dt.items.add(new File(['x'], 'notes.txt'));"
       "document.getElementById('new-files').files = dt.files; document.getElementById('new-add').click(); "
       "})()");
    ASSERT_TRUE(page_->WaitFor("T.text('new-error').includes('notes.txt')", 3000));
  }
  page_->Pump(300);
  EXPECT_EQ(TaskCount(), 0u);

  // Two links with a folder, Referer, User-Agent and a header, plus a metalink.
  const std::string sub = dir_ + "/sub";
  const std::string metalink =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><metalink xmlns=\"urn:ietf:params:xml:ns:metalink\">"
      "<file name=\"from-metalink.bin\"><url>" +
      server_.Url("/fast/m.bin") + "</url></file></metalink>";
  Js("(() => { T.type('new-uris', " +
     JsString(server_.Url("/slow/one.bin") + "\n\n" + server_.Url("/slow/two.bin")) +
     "); T.type('new-dir', " + JsString(sub) +
     "); T.type('new-referer', 'http://example.test/page');"
     "T.type('new-ua', 'TestAgent/1'); T.type('new-headers', 'X-Test: yes');"
     "const dt = new DataTransfer(); dt.items.add(new File([" +
     JsString(metalink) +
     "], 'list.meta4'));"
     "document.getElementById('new-files').files = dt.files; document.getElementById('new-add').click(); "
     "})()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('new-dlg').hidden", 5000)) << Js("T.text('new-error')");
  ASSERT_TRUE(page_->WaitFor(
      "(() => { const s = new Set([...document.querySelectorAll('#list .nm')].map((n) => n.textContent));"
      "return s.has('one.bin') && s.has('two.bin') && s.has('from-metalink.bin'); })()",
      8000));
  json stopped =
      aria2_->Call("aria2.tellStopped", json::array({0, 10, json::array({"gid", "dir", "files"})}));
  json active = aria2_->Call("aria2.tellActive", json::array({json::array({"gid", "dir", "files"})}));
  json waiting =
      aria2_->Call("aria2.tellWaiting", json::array({0, 10, json::array({"gid", "dir", "files"})}));
  int from_links = 0;
  for (const json& list : {stopped, active, waiting})
    for (auto& t : list) {
      const std::string path = t["files"][0]["path"];
      if (path.find("one.bin") == std::string::npos && path.find("two.bin") == std::string::npos) continue;
      ++from_links;
      EXPECT_EQ(t["dir"], sub);
      json o = aria2_->Call("aria2.getOption", json::array({t["gid"]}));
      EXPECT_EQ(o["referer"], "http://example.test/page");
      EXPECT_EQ(o["user-agent"], "TestAgent/1");
      EXPECT_NE(o["header"].dump().find("X-Test: yes"), std::string::npos) << o["header"];
    }
  EXPECT_EQ(from_links, 2);
  EXPECT_EQ(TaskCount(), 3u);
}

// With the program's own global options (continue, no renaming), a typed
// link whose file name is taken: a file of the same length was reported
// downloaded without a byte fetched, a shorter one was written over.
TEST_F(ManagerFeaturesTest, ALinkAddedByHandNeverWritesOverAFileOfTheSameName) {
  json error;
  aria2_->Call("aria2.changeGlobalOption",
               json::array({{{"continue", "true"}, {"auto-file-renaming", "false"}}}), &error);
  ASSERT_TRUE(error.is_null()) << error.dump();
  const std::string same_length(FileServer::kFastSize, 'u'), shorter = "the user's own notes";
  std::ofstream(dir_ + "/same.bin", std::ios::binary) << same_length;
  std::ofstream(dir_ + "/short.bin", std::ios::binary) << shorter;
  ASSERT_TRUE(Open());
  ClickId("new-task");
  Js("T.type('new-uris', " + JsString(server_.Url("/fast/same.bin") + "\n" + server_.Url("/fast/short.bin")) +
     "); document.getElementById('new-add').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('new-dlg').hidden", 5000)) << Js("T.text('new-error')");
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string fetched(FileServer::kFastSize, 'f');
  for (int waited = 0;
       waited < 10000 && !(read(dir_ + "/same.1.bin") == fetched && read(dir_ + "/short.1.bin") == fetched);
       waited += 100)
    page_->Pump(100);
  EXPECT_TRUE(read(dir_ + "/same.1.bin") == fetched)
      << aria2_->Call("aria2.tellStopped", json::array({0, 10})).dump();
  EXPECT_TRUE(read(dir_ + "/short.1.bin") == fetched);
  EXPECT_TRUE(read(dir_ + "/same.bin") == same_length);
  EXPECT_EQ(read(dir_ + "/short.bin"), shorter);
}

TEST_F(ManagerFeaturesTest, DroppedLinksAndFilesOpenTheNewTaskDialogFilledIn) {
  ASSERT_TRUE(Open());
  auto drop = [&](const std::string& type, const std::string& text, bool file) {
    Js("(() => { const dt = new DataTransfer(); dt.setData(" + JsString(type) + ", " + JsString(text) + ");" +
       (file ? "dt.items.add(new File(['d8:announce0:e'], 'one.torrent'));" : "") +
       "document.getElementById('list').dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: "
       "true, dataTransfer: dt }));"
       "return true; })()");
  };
  // Nothing to download: a message, no dialog.
  drop("text/plain", "just some words", false);
  EXPECT_EQ(Js("document.getElementById('new-dlg').hidden"), "true");
  EXPECT_NE(Message().find("没有可以下载的链接"), std::string::npos) << Message();
  const std::string one = server_.Url("/fast/d1.bin"), two = server_.Url("/fast/d2.bin");
  drop("text/uri-list", one + "\r\n" + two + "\r\n", true);
  ASSERT_EQ(Js("document.getElementById('new-dlg').hidden"), "false");
  EXPECT_EQ(Js("document.getElementById('new-uris').value"), JsString(one + "\n" + two));
  EXPECT_EQ(Js("document.getElementById('new-files').files[0].name"), "\"one.torrent\"");
  // A second drop adds to what is there.
  drop("text/plain", "magnet:?xt=urn:btih:0123456789abcdef0123456789abcdef01234567", false);
  EXPECT_EQ(Js("document.getElementById('new-uris').value.split('\\n').length"), "3");
}

// Files dragged in from a file manager reach the page as names in markup,
// without their bytes (so WebKitGTK delivers them): the window reads them
// and the page puts them in the dialog's field, where they count as chosen
// there, down to the boxes for a torrent's files.
TEST_F(ManagerFeaturesTest, FilesDroppedFromAFileManagerAreTakenAsTheFieldTakesThem) {
  const std::string dir = dir_ + "/dropped";
  fs::create_directories(dir);
  const std::string torrent =
      "d4:infod5:filesld6:lengthi1e4:pathl5:a.bineed6:lengthi1e4:pathl5:b.bineee4:name3:set"
      "12:piece lengthi16384e6:pieces20:xxxxxxxxxxxxxxxxxxxxee";
  std::ofstream(dir + "/set.torrent", std::ios::binary) << torrent;
  std::ofstream(dir + "/readme.txt") << "words";
  int asked = 0;
  page_->AddMessageHandler(kDroppedFilesMessage, [&](const std::string&) {
    ++asked;
    return DroppedFilesReply({dir + "/set.torrent", dir + "/readme.txt"});
  });
  ASSERT_TRUE(Open());
  // The engine settles on entering whether the drag may drop here at all.
  EXPECT_EQ(Js("(() => { const dt = new DataTransfer(); dt.setData('text/uri-list', 'file://" + dir +
               "/set.torrent'); return document.getElementById('list').dispatchEvent("
               "new DragEvent('dragenter', { bubbles: true, cancelable: true, dataTransfer: dt })); })()"),
            "false");
  Js("(() => { const dt = new DataTransfer();"
     "dt.setData('text/html', '<a>file://" +
     dir +
     "/set.torrent</a>');"
     "document.getElementById('list').dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true, "
     "dataTransfer: dt })); return true; })()");
  ASSERT_TRUE(page_->WaitFor(
      "!document.getElementById('new-dlg').hidden && !document.getElementById('new-pick').hidden", 5000));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(JsJson("[...document.getElementById('new-files').files].map((f) => f.name)"),
            json({"set.torrent"}));
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#new-pick label')].map((l) => l.textContent.trim())"),
            json({"set/a.bin", "set/b.bin"}));
  Js("window.bytes = null; document.getElementById('new-files').files[0].text()"
     ".then((t) => { window.bytes = t; }); true");
  ASSERT_TRUE(page_->WaitFor("window.bytes !== null", 3000));
  EXPECT_EQ(Js("window.bytes"), JsString(torrent));
  EXPECT_EQ(Js("document.getElementById('new-error').textContent"), "\"\"");
  fs::remove_all(dir);
}

// What a screen reader is told: the list is a listbox of options that say
// their task, state and place in the whole list (rows are reused as it
// scrolls), each bar is a progress bar with its value, the tabs are tabs
// that say their count apart from their label, and every control has a name.
TEST_F(ManagerFeaturesTest, RowsTabsAndControlsTellAScreenReaderWhatTheyAre) {
  ASSERT_TRUE(Open());
  Js(R"JS(KorvathManager.stop(); KorvathManager.render({
    active: [{ gid: 'a1', status: 'active', totalLength: '400', completedLength: '100', downloadSpeed: '10',
               files: [{ path: '/d/alpha.bin' }] }],
    waiting: [{ gid: 'p1', status: 'paused', totalLength: '0', completedLength: '0', files: [{ path: '/d/beta.bin' }] }],
    stopped: Array.from({ length: 2048 }, (_, i) => ({ gid: 'c' + i, status: 'complete', totalLength: '1',
                                                     completedLength: '1', files: [{ path: '/d/c' + i + '.bin' }] })) });
    true)JS");
  const std::string looks = R"JS((() => {
    const el = (gid) => document.querySelector('.row[data-gid="' + gid + '"]');
    const bar = (r) => r.querySelector('[role=progressbar]');
    const say = (r) => r && [r.getAttribute('role'), r.getAttribute('aria-label'), r.getAttribute('aria-selected'),
      r.getAttribute('aria-posinset'), r.getAttribute('aria-setsize')];
    const rows = [...document.querySelectorAll('#list .row')];
    return {
      list: [document.getElementById('list').getAttribute('role'), document.getElementById('list').getAttribute('aria-multiselectable')],
      a: say(el('a1')), p: say(el('p1')), last: say(rows[rows.length - 1]),
      aInfo: el('a1') && document.getElementById(el('a1').getAttribute('aria-describedby')).textContent,
      aBar: el('a1') && ['aria-valuemin', 'aria-valuemax', 'aria-valuenow', 'aria-valuetext'].map((n) => bar(el('a1')).getAttribute(n)),
      pBar: el('p1') && [bar(el('p1')).hasAttribute('aria-valuenow'), bar(el('p1')).getAttribute('aria-valuetext')],
      selectedRows: rows.filter((r) => r.getAttribute('aria-selected') === 'true').map((r) => r.dataset.gid),
      tabs: [...document.querySelectorAll('#tabs [role=tab]')].map((t) => [t.getAttribute('aria-label'), t.getAttribute('aria-selected')]),
    };
  })())JS";
  json seen = JsJson(looks);
  EXPECT_EQ(seen["list"], json({"listbox", "true"}));
  EXPECT_EQ(seen["a"], json({"option", "alpha.bin，下载中", "false", "1", "2050"}));
  EXPECT_EQ(seen["p"], json({"option", "beta.bin，已暂停", "false", "2", "2050"}));
  EXPECT_NE(seen["aInfo"].get<std::string>().find("25.0%"), std::string::npos) << seen["aInfo"];
  EXPECT_EQ(seen["aBar"], json({"0", "100", "25.0", "25.0%，100 B / 400 B"}));
  // A task of unknown size has no value to tell: an indeterminate bar.
  EXPECT_EQ(seen["pBar"][0], false);
  EXPECT_EQ(seen["tabs"][0], json({"全部，2050 个", "true"}));
  EXPECT_EQ(seen["tabs"][4], json({"已完成，2048 个", "false"}));

  Js("T.click('a1')");
  EXPECT_EQ(JsJson(looks)["selectedRows"], json({"a1"}));
  // At the foot of the list the same elements show other tasks.
  Js("document.getElementById('scroll').scrollTop = 1e9; KorvathManager.paint(); true");
  seen = JsJson(looks);
  EXPECT_TRUE(seen["a"].is_null());
  EXPECT_EQ(seen["last"], json({"option", "c0.bin，已完成", "false", "2050", "2050"}));
  EXPECT_EQ(seen["selectedRows"], json::array());

  // The arrows go from tab to tab, as in any tab strip.
  Js("document.querySelector('#tabs [data-filter=paused]').focus(); T.key('ArrowRight')");
  EXPECT_EQ(Js("document.activeElement.dataset.filter"), "\"complete\"");
  seen = JsJson(looks);
  EXPECT_EQ(seen["tabs"][0][1], "false");
  EXPECT_EQ(seen["tabs"][4][1], "true");
  EXPECT_EQ(seen["last"][4], "2048");

  // Every control, in every view and dialog, shown or not, has a name.
  const std::string unnamed =
      R"JS([...document.querySelectorAll('button, input, select, textarea, a, canvas, [role], [tabindex]')]
    .filter((el) => !['status', 'alert', 'menu', 'toolbar', 'tablist', 'listbox', 'dialog', 'alertdialog'].includes(el.getAttribute('role')) || el.id === 'row-menu-list')
    .filter((el) => {
      const by = el.getAttribute('aria-labelledby');
      const name = el.getAttribute('aria-label') || (by && document.getElementById(by) && document.getElementById(by).textContent) ||
        (el.labels && el.labels.length && el.labels[0].textContent) || el.title || (el.tagName !== 'CANVAS' && el.textContent);
      return !String(name || '').trim();
    }).map((el) => el.outerHTML.slice(0, 80)))JS";
  EXPECT_EQ(JsJson(unnamed), json::array());
}

TEST_F(ManagerFeaturesTest, SearchSortAndMultiSelectActOnMany) {
  std::vector<std::string> gids;
  for (const char* name : {"beta.iso", "alpha.bin", "gamma.bin", "alphabet.zip"})
    gids.push_back(Add(std::string("/slow/") + name, {{"pause", "true"}}));
  ASSERT_TRUE(Open());

  Js("T.type('search', 'ALPHA')");
  EXPECT_EQ(JsJson("T.shown()"), json({gids[1], gids[3]}));
  Js("T.type('search', 'nothing-like-it')");
  EXPECT_EQ(JsJson("T.shown()"), json::array());
  EXPECT_NE(Js("T.text('empty')").find("nothing-like-it"), std::string::npos);
  Js("T.type('search', '')");
  Js("T.type('sort', 'name')");
  EXPECT_EQ(JsJson("T.shown()"), json({gids[1], gids[3], gids[0], gids[2]}));
  Js("document.getElementById('sort-dir').click()");
  EXPECT_EQ(JsJson("T.shown()"), json({gids[2], gids[0], gids[3], gids[1]}));
  Js("T.type('sort', 'added')");
  EXPECT_EQ(JsJson("T.shown()"), json({gids[3], gids[2], gids[1], gids[0]}));
  Js("document.getElementById('sort-dir').click(); T.type('sort', 'queue')");

  // Click, Ctrl+click, Shift+click.
  Js("T.click(" + JsString(gids[0]) + ")");
  EXPECT_EQ(JsJson("T.selected()"), json({gids[0]}));
  Js("T.click(" + JsString(gids[2]) + ", { ctrlKey: true })");
  EXPECT_EQ(JsJson("T.selected()"), json({gids[0], gids[2]}));
  Js("T.click(" + JsString(gids[3]) + ", { shiftKey: true })");
  EXPECT_EQ(JsJson("T.selected()"), json({gids[2], gids[3]}));
  ClickId("select-all");
  EXPECT_EQ(JsJson("T.selected()"), json(gids));
  EXPECT_EQ(Js("T.text('batch-count')"), "\"已选 4 项\"");
  Screenshot("manager-page-select.png");

  // Batch resume, pause, copy links, remove (after a confirmation).
  Js("document.querySelector('[data-batch=resume]').click()");
  for (auto& g : gids) {
    for (int i = 0; i < 100 && StatusOf(g) == "paused"; ++i) page_->Pump(50);
    EXPECT_NE(StatusOf(g), "paused") << g;
  }
  // The user sees them run before pausing them again.
  ASSERT_TRUE(page_->WaitFor(
      "[...document.querySelectorAll('#list .row')].every((r) => r.dataset.status !== 'paused')", 4000));
  Js("document.querySelector('[data-batch=pause]').click()");
  for (auto& g : gids) EXPECT_TRUE(WaitStatus(g, "paused")) << g;
  Js("document.querySelector('[data-batch=copy]').click()");
  page_->Pump(200);
  std::string expected;
  for (const char* name : {"beta.iso", "alpha.bin", "gamma.bin", "alphabet.zip"})
    expected += (expected.empty() ? "" : "\n") + server_.Url(std::string("/slow/") + name);
  EXPECT_EQ(page_->ClipboardText(), expected);
  Js("document.querySelector('[data-batch=remove]').click()");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  EXPECT_NE(Js("T.text('confirm-text')").find("alphabet.zip"), std::string::npos);
  page_->Pump(300);
  EXPECT_EQ(StatusOf(gids[0]), "paused");  // nothing before the answer
  ClickId("confirm-ok");
  for (auto& g : gids) EXPECT_TRUE(WaitRemoved(g)) << g;
}

// 按添加顺序 is the order the tasks came in, not the order the window met
// them: those there before it opened as a queue took them (finished,
// running, waiting), and a window opened again keeps the order the program
// was told, though the queue has changed since.
TEST_F(ManagerFeaturesTest, AddedOrderIsTheOrderTasksCameIn) {
  RecordingDesktop desktop;
  EngineSession session(desktop, {});
  AddedOrder order;
  auto open_with_record = [&] {
    page_->AddMessageHandler(
        kRecordMessage, [&session, &order](const std::string& m) { return RecordReply(m, session, order); });
    if (!Open()) return false;
    Js("T.type('sort', 'added')");
    return true;
  };
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  const std::string running = Add("/slow/running.bin");
  ASSERT_TRUE(WaitStatus(running, "active"));
  const std::string paused = Add("/slow/paused.bin", {{"pause", "true"}});
  ASSERT_TRUE(open_with_record());
  EXPECT_EQ(JsJson("T.shown()"), json({done, running, paused}));

  // Read afresh from aria2's lists, these two would now trade places.
  aria2_->Call("aria2.pause", json::array({running}));
  aria2_->Call("aria2.unpause", json::array({paused}));
  ASSERT_TRUE(WaitStatus(running, "paused"));
  ASSERT_TRUE(WaitStatus(paused, "active"));
  // Closed and opened again: a new view, as the program makes.
  page_ = std::make_unique<PageDriver>();
  ASSERT_TRUE(open_with_record());
  EXPECT_EQ(JsJson("T.shown()"), json({done, running, paused}));
}

TEST_F(ManagerFeaturesTest, NamesSortAsAReaderOrdersThem) {
  std::vector<std::string> gids;
  for (const char* name : {"上海.bin", "file10.bin", "北京.bin", "file2.bin", "安徽.bin", "File3.bin"})
    gids.push_back(Add(std::string("/slow/") + EncodeUriComponent(name), {{"pause", "true"}}));
  ASSERT_TRUE(Open());
  Js("T.type('sort', 'name')");
  // Chinese by pinyin (an, bei, shang) and first, as Chinese readers
  // expect; then numbers by value, letters without regard to case.
  const json expected = {gids[4], gids[2], gids[0], gids[3], gids[5], gids[1]};
  EXPECT_EQ(JsJson("T.shown()"), expected);
  Js("document.getElementById('sort-dir').click()");
  EXPECT_EQ(JsJson("T.shown()"), json(std::vector<json>(expected.rbegin(), expected.rend())));
}

TEST_F(ManagerFeaturesTest, QueueMovesByButtonsAndByDragging) {
  const std::string a = Add("/slow/a.bin");
  const std::string b = Add("/slow/b.bin");
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(WaitStatus(b, "active"));
  const std::string w1 = Add("/slow/w1.bin"), w2 = Add("/slow/w2.bin"), w3 = Add("/slow/w3.bin");
  ASSERT_EQ(WaitingOrder(), json({w1, w2, w3}));
  ASSERT_TRUE(Open());

  Click(w3, "top");
  for (int i = 0; i < 40 && WaitingOrder() != json({w3, w1, w2}); ++i) page_->Pump(50);
  EXPECT_EQ(WaitingOrder(), json({w3, w1, w2}));
  ASSERT_TRUE(WaitPageMatchesAria2());
  Click(w1, "down");
  for (int i = 0; i < 40 && WaitingOrder() != json({w3, w2, w1}); ++i) page_->Pump(50);
  EXPECT_EQ(WaitingOrder(), json({w3, w2, w1}));
  ASSERT_TRUE(WaitPageMatchesAria2());
  Click(w2, "up");
  for (int i = 0; i < 40 && WaitingOrder() != json({w2, w3, w1}); ++i) page_->Pump(50);
  EXPECT_EQ(WaitingOrder(), json({w2, w3, w1}));
  ASSERT_TRUE(WaitPageMatchesAria2());
  // To the bottom from the batch bar.
  Js("T.click(" + JsString(w2) + "); document.querySelector('[data-batch=bottom]').click()");
  for (int i = 0; i < 40 && WaitingOrder() != json({w3, w1, w2}); ++i) page_->Pump(50);
  EXPECT_EQ(WaitingOrder(), json({w3, w1, w2}));
  ASSERT_TRUE(WaitPageMatchesAria2());

  // Dragging w2 onto w3 puts it first.
  Js("(() => { const dt = new DataTransfer(); const from = T.row(" + JsString(w2) + "), to = T.row(" +
     JsString(w3) +
     ");"
     "from.dispatchEvent(new DragEvent('dragstart', { bubbles: true, dataTransfer: dt }));"
     "to.dispatchEvent(new DragEvent('dragover', { bubbles: true, cancelable: true, dataTransfer: dt }));"
     "to.dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true, dataTransfer: dt })); return "
     "true; })()");
  for (int i = 0; i < 40 && WaitingOrder() != json({w2, w3, w1}); ++i) page_->Pump(50);
  EXPECT_EQ(WaitingOrder(), json({w2, w3, w1}));
  // Running tasks cannot be dragged.
  EXPECT_EQ(Js("T.row(" + JsString(a) + ").draggable"), "false");
}

TEST_F(ManagerFeaturesTest, SelectedTasksMoveAsABlockAndADropLandsOnItsLine) {
  const std::string a = Add("/slow/a.bin");
  const std::string b = Add("/slow/b.bin");
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(WaitStatus(b, "active"));
  const std::string w1 = Add("/slow/w1.bin"), w2 = Add("/slow/w2.bin"), w3 = Add("/slow/w3.bin"),
                    w4 = Add("/slow/w4.bin");
  ASSERT_TRUE(Open());
  auto batch = [&](const std::vector<std::string>& gids, const char* kind) {
    Js("T.click(" + JsString(gids[0]) + ")");
    for (size_t i = 1; i < gids.size(); ++i) Js("T.click(" + JsString(gids[i]) + ", { ctrlKey: true })");
    Js("document.getElementById('msg').textContent = ''; document.querySelector('[data-batch=" +
       std::string(kind) + "]').click()");
    EXPECT_TRUE(page_->WaitFor("document.getElementById('msg').textContent !== ''", 3000)) << kind;
    page_->Pump(300);
    EXPECT_TRUE(WaitPageMatchesAria2());
  };
  // At the head or the tail already: nothing trades places.
  batch({w1, w2}, "up");
  EXPECT_EQ(WaitingOrder(), json({w1, w2, w3, w4}));
  batch({w3, w4}, "down");
  EXPECT_EQ(WaitingOrder(), json({w1, w2, w3, w4}));
  // A block moves past its unselected neighbour only.
  batch({w1, w3, w4}, "up");
  EXPECT_EQ(WaitingOrder(), json({w1, w3, w4, w2}));
  EXPECT_NE(Message().find("已上移 2 个任务"), std::string::npos) << Message();
  batch({w1, w3}, "down");
  EXPECT_EQ(WaitingOrder(), json({w4, w1, w3, w2}));

  // Dragged downward onto w3: it lands above w3, where the line was drawn.
  Js("(() => { const dt = new DataTransfer(); const from = T.row(" + JsString(w4) + "), to = T.row(" +
     JsString(w3) +
     ");"
     "from.dispatchEvent(new DragEvent('dragstart', { bubbles: true, dataTransfer: dt }));"
     "to.dispatchEvent(new DragEvent('dragover', { bubbles: true, cancelable: true, dataTransfer: dt }));"
     "to.dispatchEvent(new DragEvent('drop', { bubbles: true, cancelable: true, dataTransfer: dt })); return "
     "true; })()");
  for (int i = 0; i < 40 && WaitingOrder() != json({w1, w4, w3, w2}); ++i) page_->Pump(50);
  EXPECT_EQ(WaitingOrder(), json({w1, w4, w3, w2}));
}

// The drop line is drawn on the top edge of the row under the pointer. The
// engine's own picture of a dragged row is the row, and at a display scale
// of 2 it comes out twice as large and hides that line: the picture is a
// small label of the task's name, wholly below and right of the pointer.
TEST_F(ManagerFeaturesTest, TheDraggedPictureLeavesTheDropLineInSight) {
  const std::string a = Add("/slow/a.bin", {{"pause", "true"}});
  const std::string b = Add("/slow/b.bin", {{"pause", "true"}});
  ASSERT_TRUE(Open());
  json image = JsJson(
      "(() => { let got = null; const set = DataTransfer.prototype.setDragImage;"
      "DataTransfer.prototype.setDragImage = function (el, x, y) {"
      "  const r = el.getBoundingClientRect();"
      "  got = { x, y, height: r.height, width: r.width, text: el.textContent, shown: !el.hidden };"
      "};"
      "const dt = new DataTransfer();"
      "T.row(" +
      JsString(a) +
      ").dispatchEvent(new DragEvent('dragstart', { bubbles: true, dataTransfer: dt }));"
      "T.row(" +
      JsString(b) +
      ").dispatchEvent(new DragEvent('dragover', { bubbles: true, cancelable: true, dataTransfer: dt }));"
      "DataTransfer.prototype.setDragImage = set;"
      "return got; })()");
  ASSERT_TRUE(image.is_object()) << image.dump();
  EXPECT_EQ(image["text"], "a.bin");
  EXPECT_TRUE(image["shown"].get<bool>());
  // The point of the picture under the pointer is at or beyond its top left
  // corner: no part of it lies above the pointer, where the line is.
  EXPECT_LE(image["x"].get<double>(), 0);
  EXPECT_LE(image["y"].get<double>(), 0);
  EXPECT_GT(image["height"].get<double>(), 0);
  EXPECT_LT(image["height"].get<double>(), 31);  // under half a row, twice as large still under one
  EXPECT_EQ(Js("T.row(" + JsString(b) + ").classList.contains('drop')"), "true");
  // Once the engine has its picture, the label is gone from the page.
  EXPECT_TRUE(page_->WaitFor("document.getElementById('drag-ghost').hidden", 1000));
}

TEST_F(ManagerCleanUpTest, PurgeSaysWhatItClearsAndClearsFinishedRecordsOnlyWhenConfirmed) {
  const std::string done = Add("/fast/done.bin");
  const std::string failed = Add("/missing/gone.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  ASSERT_TRUE(WaitStatus(failed, "error"));
  const std::string a = Add("/slow/a.bin");
  ASSERT_TRUE(Open());
  // From the keyboard: the question names what goes, and Enter on the 取消
  // it starts on keeps every record.
  Js("document.getElementById('purge').focus(); T.key('Enter')");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  const std::string question = Js("T.text('confirm-text')");
  EXPECT_NE(question.find("清除 2 个已结束任务的记录（已完成 1 个、出错 1 个）"), std::string::npos)
      << question;
  EXPECT_NE(question.find("不能再重试"), std::string::npos) << question;
  EXPECT_EQ(Js("document.activeElement.id"), "\"confirm-cancel\"");
  Js("T.key('Enter')");
  page_->Pump(500);
  EXPECT_EQ(StatusOf(done), "complete");
  EXPECT_EQ(StatusOf(failed), "error");
  // The mouse on 清除.
  ClickId("purge");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  ClickId("confirm-ok");
  ASSERT_TRUE(WaitStatus(done, "gone"));
  EXPECT_EQ(StatusOf(failed), "gone");
  EXPECT_EQ(StatusOf(a), "active");
  EXPECT_TRUE(fs::exists(dir_ + "/done.bin"));
  ASSERT_TRUE(WaitPageMatchesAria2());
  EXPECT_NE(Message().find("已清除 2 个"), std::string::npos) << Message();
}

TEST_F(ManagerCleanUpTest, DeleteWithFilesRemovesTheFileAndControlFileAfterConfirmation) {
  InstallDeleteHandler();
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  std::ofstream(dir_ + "/done.bin.aria2") << "control";
  std::ofstream(dir_ + "/neighbour.bin") << "not this task's";
  ASSERT_TRUE(Open());
  Js("T.dbl(" + JsString(done) + ")");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(done), 3000));
  Js("document.querySelector('[data-d=\"delete-files\"]').click()");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  EXPECT_NE(Js("T.text('confirm-text')").find(dir_ + "/done.bin"), std::string::npos);
  Screenshot("manager-page-delete-confirm.png");
  // Cancel keeps everything.
  ClickId("confirm-cancel");
  page_->Pump(300);
  EXPECT_TRUE(fs::exists(dir_ + "/done.bin"));
  Js("document.querySelector('[data-d=\"delete-files\"]').click()");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  ClickId("confirm-ok");
  ASSERT_TRUE(WaitStatus(done, "gone"));
  EXPECT_FALSE(fs::exists(dir_ + "/done.bin"));
  EXPECT_FALSE(fs::exists(dir_ + "/done.bin.aria2"));
  EXPECT_TRUE(fs::exists(dir_ + "/neighbour.bin"));
  // The page says so once aria2 has answered it, which may be after aria2
  // answered the test.
  EXPECT_TRUE(
      page_->WaitFor("document.getElementById('msg').textContent.includes('已删除任务和 2 个文件')", 3000))
      << Message();
}

TEST_F(ManagerCleanUpTest, ARunningTaskIsStoppedBeforeItsFilesAreDeleted) {
  InstallDeleteHandler();
  const std::string running = Add("/slow/run.bin");
  ASSERT_TRUE(WaitStatus(running, "active"));
  for (int waited = 0; waited < 5000 && !fs::exists(dir_ + "/run.bin"); waited += 100) page_->Pump(100);
  ASSERT_TRUE(fs::exists(dir_ + "/run.bin"));
  ASSERT_TRUE(Open());
  Js("T.dbl(" + JsString(running) + ")");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(running), 3000));
  Js("document.querySelector('[data-d=\"delete-files\"]').click()");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  EXPECT_NE(Js("T.text('confirm-text')").find("下载会先停止"), std::string::npos);
  page_->Pump(600);  // a click right as the question appears is not an answer
  ClickId("confirm-ok");
  ASSERT_TRUE(WaitStatus(running, "gone"));
  EXPECT_FALSE(fs::exists(dir_ + "/run.bin"));
  EXPECT_FALSE(fs::exists(dir_ + "/run.bin.aria2"));
}

TEST_F(ManagerCleanUpTest, ForgedDeleteRequestsOutsideTheTaskFolderAreRefused) {
  InstallDeleteHandler();
  char outside_tmpl[] = "/tmp/korvath-outside-XXXXXX";
  ASSERT_NE(mkdtemp(outside_tmpl), nullptr);
  const std::string outside = outside_tmpl;
  std::ofstream(outside + "/victim.bin") << "keep me";
  std::ofstream(dir_ + "/neighbour.bin") << "keep me too";
  // A folder inside the task's folder that is really a link to elsewhere.
  fs::create_symlink(outside, dir_ + "/linked");
  const std::string done = Add("/fast/done.bin");
  const std::string through_link = Add("/fast/l.bin", {{"out", "linked/victim2.bin"}});
  const std::string running = Add("/slow/run.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  ASSERT_TRUE(WaitStatus(through_link, "complete"));
  ASSERT_TRUE(WaitStatus(running, "active"));
  ASSERT_TRUE(Open());

  auto refused = [&](const std::string& gid, const std::vector<std::string>& paths) {
    json reply = Forge(gid, paths);
    EXPECT_EQ(reply["ok"], false) << reply.dump();
    EXPECT_TRUE(reply["error"].is_string() && !reply["error"].get<std::string>().empty()) << reply.dump();
  };
  refused(done, {dir_ + "/../" + fs::path(outside).filename().string() + "/victim.bin"});  // ".."
  refused(done, {outside + "/victim.bin"});                                                // absolute
  refused(done, {"/etc/hostname"});
  refused(done, {dir_ + "/neighbour.bin"});               // inside, but not this task's
  refused(through_link, {dir_ + "/linked/victim2.bin"});  // this task's, but behind a link
  refused(running, {dir_ + "/run.bin"});                  // not stopped
  refused(done, {});
  refused("0000000000000000", {dir_ + "/done.bin"});
  EXPECT_TRUE(fs::exists(outside + "/victim.bin"));
  EXPECT_TRUE(fs::exists(outside + "/victim2.bin"));
  EXPECT_TRUE(fs::exists(dir_ + "/neighbour.bin"));
  EXPECT_TRUE(fs::exists(dir_ + "/done.bin"));
  // One bad path in a request stops the good one with it.
  refused(done, {dir_ + "/done.bin", dir_ + "/neighbour.bin"});
  EXPECT_TRUE(fs::exists(dir_ + "/done.bin"));
  // The task's own file, named as aria2 has it, goes.
  json ok = Forge(done, {dir_ + "/done.bin"});
  EXPECT_EQ(ok["ok"], true) << ok.dump();
  EXPECT_FALSE(fs::exists(dir_ + "/done.bin"));
  std::error_code ec;
  fs::remove_all(outside, ec);
}

// A second click while a file downloads makes a second task for its path:
// that task's files are the running download's, and so is a file another
// task lists under the control file's name.
TEST_F(ManagerCleanUpTest, FilesAnotherTaskStillListsAreNotDeleted) {
  const std::string twin = Add("/fast/same.bin");
  ASSERT_TRUE(WaitStatus(twin, "complete"));
  const std::string running = Add("/slow/same.bin", {{"allow-overwrite", "true"}});
  ASSERT_TRUE(WaitStatus(running, "active"));
  // Once bytes flow aria2 no longer reads a control file, and may not have
  // written its own yet.
  auto received = [&] {
    const json r = aria2_->Call("aria2.tellStatus", json::array({running, json::array({"completedLength"})}));
    return r.is_object() && r.value("completedLength", "0") != "0";
  };
  for (int i = 0; i < 100 && !received(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(received());
  if (!fs::exists(dir_ + "/same.bin.aria2")) std::ofstream(dir_ + "/same.bin.aria2") << "control";
  const TaskFilesLookup lookup = Lookup();
  auto remove = [&] {
    return json::parse(
        DeleteTaskFilesReply(json{{"gid", twin}, {"paths", {dir_ + "/same.bin"}}}.dump(), lookup));
  };
  auto refused_for = [&](const std::string& name, const std::string& state) {
    const json reply = remove();
    EXPECT_EQ(reply["ok"], false) << reply.dump();
    EXPECT_EQ(reply.value("error", ""), "“" + dir_ + "/" + name + "”还被另一个任务“" + name + "”（" + state +
                                            "）使用，没有删除任何文件。请先删除那个任务。");
    EXPECT_TRUE(fs::exists(dir_ + "/same.bin"));
    EXPECT_TRUE(fs::exists(dir_ + "/same.bin.aria2"));
  };
  refused_for("same.bin", "下载中");
  // Stopped, the task still lists the file until its record goes.
  aria2_->Call("aria2.remove", json::array({running}));
  ASSERT_TRUE(WaitStatus(running, "removed"));
  refused_for("same.bin", "已删除");
  aria2_->Call("aria2.removeDownloadResult", json::array({running}));
  const std::string named_like_control =
      Add("/fast/c", {{"out", "same.bin.aria2"}, {"allow-overwrite", "true"}});
  ASSERT_TRUE(WaitStatus(named_like_control, "complete"));
  refused_for("same.bin.aria2", "已完成");
  aria2_->Call("aria2.removeDownloadResult", json::array({named_like_control}));

  const json ok = remove();
  EXPECT_EQ(ok["ok"], true) << ok.dump();
  EXPECT_EQ(ok["deleted"], json({dir_ + "/same.bin", dir_ + "/same.bin.aria2"}));
  EXPECT_FALSE(fs::exists(dir_ + "/same.bin"));
}

// What the program's window asks aria2 before it deletes anything.
TEST_F(ManagerCleanUpTest, TheWindowLearnsATasksFilesFromAria2) {
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  RecordingDesktop desktop;
  EngineState state{.cookie_header = "", .rpc_port = "6800", .rpc_secret = aria2_->secret(), .aria2_pid = 0};
  std::optional<TaskFiles> task = Aria2TaskFiles(desktop, state)(done);
  ASSERT_TRUE(task.has_value());
  EXPECT_EQ(task->status, "complete");
  EXPECT_EQ(task->dir, dir_);
  EXPECT_EQ(task->paths, std::vector<std::string>{dir_ + "/done.bin"});
  EXPECT_FALSE(Aria2TaskFiles(desktop, state)("0000000000000000").has_value());
  // A wrong secret learns nothing, so nothing can be deleted.
  state.rpc_secret = "not-" + aria2_->secret();
  EXPECT_FALSE(Aria2TaskFiles(desktop, state)(done).has_value());
}

TEST_F(ManagerFeaturesTest, SettingsListGroupsValidateAndChangeGlobalOptions) {
  ASSERT_TRUE(Open());
  ClickId("open-settings");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('opt-split').value === '1'", 5000));
  // Korvath's own settings have their place first, empty when the window offers no handler for them.
  EXPECT_EQ(Js("(() => { const s = document.getElementById('korvath-settings'); return s.parentNode.id === "
               "'settings' && "
               "s.previousElementSibling.classList.contains('vhead') && s.childNodes.length === 0; })()"),
            "true");
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#aria2-options h3')].map((h) => h.textContent)"),
            json({"基本", "HTTP/FTP", "BitTorrent", "高级"}));
  // Only the window knows which options it sends before a download: the
  // page alone marks none rather than guess.
  EXPECT_EQ(JsJson("[...document.querySelectorAll('.setting')].filter((r) => r.querySelector('.reset'))"
                   ".map((r) => r.querySelector('[data-option]').dataset.option)"),
            json::array());
  EXPECT_EQ(Js("[...document.querySelectorAll('.setting')].every((r) => "
               "r.querySelector('.help').firstChild.data.length > 2)"),
            "true");
  Screenshot("manager-page-settings.png");

  // One bad value: nothing is saved, the field is marked.
  Js("T.type('opt-split', '0'); T.type('opt-max-concurrent-downloads', '5'); "
     "document.getElementById('aria2-save').click()");
  page_->Pump(400);
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-concurrent-downloads"], "2");
  EXPECT_EQ(Js("document.getElementById('opt-split').classList.contains('bad')"), "true");
  EXPECT_NE(Message().find("分段数"), std::string::npos) << Message();
  Js("T.type('opt-split', '3'); T.type('opt-max-overall-download-limit', '2M'); "
     "document.getElementById('aria2-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.includes('已保存 3 项')", 3000))
      << Message();
  json global = aria2_->Call("aria2.getGlobalOption");
  EXPECT_EQ(global["max-concurrent-downloads"], "5");
  EXPECT_EQ(global["split"], "3");
  EXPECT_EQ(global["max-overall-download-limit"], "2097152");
  Js("T.key('Escape')");
  EXPECT_EQ(Js("document.getElementById('settings').hidden"), "true");
}

TEST_F(ManagerFeaturesTest, SettingsRefuseValuesAria2WouldRefuseOrStoreWrongly) {
  ASSERT_TRUE(Open());
  ClickId("open-settings");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('opt-split').value === '1'", 5000));
  const json before = aria2_->Call("aria2.getGlobalOption");
  Js("T.type('opt-max-overall-download-limit', '1.5M'); T.type('opt-min-split-size', '100K');"
     "T.type('opt-all-proxy', 'not a proxy'); T.type('opt-split', '2'); "
     "document.getElementById('aria2-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.startsWith('没有保存')", 3000))
      << Message();
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#aria2-options .bad')].map((el) => el.dataset.option)"),
            json({"max-overall-download-limit", "min-split-size", "all-proxy"}));
  for (const char* said : {"不能有小数", "1M 到 1024M", "http://主机:端口"})
    EXPECT_NE(Message().find(said), std::string::npos) << said << " " << Message();
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption"), before);
  // Written as aria2 takes them, they are saved.
  Js("T.type('opt-max-overall-download-limit', '1536K'); T.type('opt-min-split-size', '2M');"
     "T.type('opt-all-proxy', 'http://user:pw@127.0.0.1:3128'); "
     "document.getElementById('aria2-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.startsWith('已保存 4 项')", 3000))
      << Message();
  json after = aria2_->Call("aria2.getGlobalOption");
  EXPECT_EQ(after["max-overall-download-limit"], "1572864");
  EXPECT_EQ(after["min-split-size"], "2097152");
  EXPECT_EQ(after["all-proxy"], "http://user:pw@127.0.0.1:3128/");  // aria2 writes it with a slash
  EXPECT_EQ(after["split"], "2");
}

class ManagerStatusTest : public ManagerFeaturesTest {
 protected:
  std::vector<std::string> Aria2Args() override {
    auto args = ManagerFeaturesTest::Aria2Args();
    args.push_back("--save-session=" + dir_ + "/session.txt");
    return args;
  }
};

TEST_F(ManagerStatusTest, StatusShowsVersionFeaturesSessionAndSavesIt) {
  Add("/slow/a.bin", {{"pause", "true"}});
  ASSERT_TRUE(Open());
  ClickId("open-status");
  json version = aria2_->Call("aria2.getVersion");
  json session = aria2_->Call("aria2.getSessionInfo");
  ASSERT_TRUE(page_->WaitFor("T.text('s-session') !== ''", 5000));
  EXPECT_EQ(Js("T.text('s-version')"), JsString(version["version"]));
  EXPECT_EQ(Js("T.text('s-session')"), JsString(session["sessionId"]));
  EXPECT_NE(Js("T.text('s-features')").find(version["enabledFeatures"][0].get<std::string>()),
            std::string::npos);
  ASSERT_FALSE(fs::exists(dir_ + "/session.txt"));
  // The button says what it does and where it writes.
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('save-session').hidden", 3000));
  EXPECT_NE(Js("document.getElementById('save-session').title").find(dir_ + "/session.txt"),
            std::string::npos);
  EXPECT_EQ(Js("T.text('s-session-file')").find(dir_ + "/session.txt"), 1u) << "first, after the quote";
  Js("[...document.querySelectorAll('#status button')].find((b) => b.textContent === '保存会话').click()");
  ASSERT_TRUE(page_->WaitFor(
      "document.getElementById('msg').textContent === " + JsString("会话已保存到 " + dir_ + "/session.txt"),
      3000))
      << Message();
  std::ifstream saved(dir_ + "/session.txt");
  std::string text((std::istreambuf_iterator<char>(saved)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find(server_.Url("/slow/a.bin")), std::string::npos) << text;
}

// As the program starts aria2: with no session file of aria2's own.
TEST_F(ManagerFeaturesTest, StatusOffersNoSessionSavingWithoutASessionFileAndSaysWhy) {
  ASSERT_TRUE(Open());
  ClickId("open-status");
  ASSERT_TRUE(page_->WaitFor("T.text('s-session-file') !== ''", 5000));
  EXPECT_EQ(Js("document.getElementById('save-session').hidden"), "true");
  const std::string why = Js("T.text('s-session-file')");
  EXPECT_NE(why.find("没有指定会话文件"), std::string::npos) << why;
  EXPECT_NE(why.find("Korvath 自己记下"), std::string::npos) << why;
}

TEST_F(ManagerFeaturesTest, SpeedChartsDrawTheLastMinutes) {
  Add("/slow/a.bin");
  ASSERT_TRUE(Open());
  // A few refreshes with traffic: the toolbar chart and the status chart.
  ASSERT_TRUE(page_->WaitFor("T.blue('speed-chart').top < 12", 6000));
  ClickId("open-status");
  ASSERT_TRUE(page_->WaitFor("T.blue('status-chart').top < 45", 4000));
  Screenshot("manager-page-status.png");
}

TEST_F(ManagerFeaturesTest, ChartsAreDrawnAtTheScreensPixelDensityWithTheirAxesNamed) {
  Add("/slow/a.bin");
  ASSERT_TRUE(Open());
  // A HiDPI screen, as the engine reports one.
  Js("Object.defineProperty(window, 'devicePixelRatio', { get: () => 2 }); true");
  ClickId("open-status");
  const char* kSharp =
      "['speed-chart', 'status-chart'].every((id) => { const c = document.getElementById(id);"
      "return c.clientWidth > 0 && c.width === 2 * c.clientWidth && c.height === 2 * c.clientHeight; })";
  ASSERT_TRUE(page_->WaitFor(kSharp, 4000)) << Js(
      "[document.getElementById('status-chart').width, document.getElementById('status-chart').clientWidth]");
  // Traffic is drawn across the whole height of the denser canvas.
  EXPECT_TRUE(page_->WaitFor("T.blue('status-chart').top < 90", 4000));
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#status .axis span')].map((s) => "
                   "s.textContent.replace(/[0-9.]+ [KMG]?B/, 'N'))"),
            json({"5 分钟前", "峰值 N/s", "现在"}));
}

TEST_F(ManagerFeaturesTest, KeyboardSearchesSelectsPausesOpensAndDeletes) {
  const std::string a = Add("/slow/a.bin", {{"pause", "true"}});
  const std::string b = Add("/slow/b.bin", {{"pause", "true"}});
  ASSERT_TRUE(Open());
  Js("T.key('f', { ctrlKey: true })");
  EXPECT_EQ(Js("document.activeElement.id"), "\"search\"");
  Js("document.activeElement.blur(); T.key('a', { ctrlKey: true })");
  EXPECT_EQ(JsJson("T.selected()"), json({a, b}));
  Js("T.key(' ')");
  EXPECT_TRUE(WaitStatus(a, "active"));
  EXPECT_TRUE(WaitStatus(b, "active"));
  ASSERT_TRUE(page_->WaitFor("T.row(" + JsString(a) + ").dataset.status === 'active'", 4000));
  Js("T.key(' ')");
  EXPECT_TRUE(WaitStatus(a, "paused"));
  EXPECT_TRUE(WaitStatus(b, "paused"));
  Js("T.click(" + JsString(b) + "); T.key('Enter')");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(b), 3000));
  Js("T.key('Escape')");
  EXPECT_EQ(Js("document.body.dataset.view"), "\"list\"");
  Js("T.key('Delete')");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  Js("T.key('Escape')");  // Escape answers no
  page_->Pump(300);
  EXPECT_EQ(StatusOf(b), "paused");
  Js("T.key('Delete')");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('confirm').hidden", 3000));
  Js("document.getElementById('confirm-ok').focus(); T.key('Enter')");
  EXPECT_TRUE(WaitRemoved(b)) << Message();
  EXPECT_EQ(StatusOf(a), "paused");
}

TEST_F(ManagerFeaturesTest, RefreshesAskOnlyForWhatTheViewShows) {
  json calls = json::array();
  for (int i = 0; i < 60; ++i)
    calls.push_back(
        {{"methodName", "aria2.addUri"},
         {"params", json::array({"token:" + aria2_->secret(),
                                 json::array({server_.Url("/slow/q" + std::to_string(i) + ".bin")}),
                                 {{"pause", "true"}}})}});
  aria2_->Call("system.multicall", json::array({calls}));
  ASSERT_TRUE(Open(true));
  // Every request the page sends from now on, as aria2 receives it.
  Js("window.sent = []; const real = window.fetch; window.fetch = (url, o) => { "
     "sent.push(JSON.parse(o.body)); "
     "return real(url, o); }; true");
  const char* kLastRefresh = R"JS(
    (() => {
      const r = sent.filter((b) => b.method === 'system.multicall').pop();
      if (!r) return null;
      const calls = r.params[0];
      return { lists: calls.filter((c) => c.methodName === 'aria2.tellWaiting').map((c) => c.params[3]),
               full: calls.filter((c) => c.methodName === 'aria2.tellStatus').map((c) => c.params[1]).sort(),
               rows: [...document.querySelectorAll('#list .row')].map((r) => r.dataset.gid).sort() };
    })()
  )JS";
  ASSERT_TRUE(page_->WaitFor("sent.some((b) => b.method === 'system.multicall')", 4000));
  json last = JsJson(kLastRefresh);
  ASSERT_TRUE(last.is_object()) << last;
  EXPECT_EQ(last["lists"], json::array({json::array({"gid", "status"})}));
  EXPECT_EQ(last["full"], last["rows"]);
  EXPECT_LT(last["rows"].size(), 60u);
  EXPECT_EQ(Row(last["rows"][0])["size"], "0 B / 大小未知");

  // Sorting by size needs every task's size.
  Js("sent.length = 0; T.type('sort', 'size')");
  ASSERT_TRUE(page_->WaitFor("sent.some((b) => b.method === 'system.multicall')", 4000));
  last = JsJson(kLastRefresh);
  EXPECT_NE(last["lists"][0].dump().find("totalLength"), std::string::npos) << last["lists"];
  EXPECT_EQ(last["full"], json::array());
}

TEST_F(ManagerFeaturesTest, ContentPolicyStopsForeignScriptsAndConnections) {
  ASSERT_TRUE(Open());
  // A script element the page did not ship does not run; a connection to
  // another address is refused before it leaves.
  Js("(() => { window.ran = false; const s = document.createElement('script'); s.textContent = 'window.ran = "
     "true';"
     "document.body.appendChild(s); window.fetched = 'pending';"
     "fetch(" +
     JsString(server_.Url("/fast/x.bin")) +
     ").then(() => { window.fetched = 'yes'; }, () => { window.fetched = 'refused'; });"
     "return true; })()");
  ASSERT_TRUE(page_->WaitFor("window.fetched !== 'pending'", 5000));
  EXPECT_EQ(Js("window.fetched"), "\"refused\"");
  EXPECT_EQ(Js("window.ran"), "false");
  // Its own aria2 is still reachable, by HTTP and by WebSocket.
  EXPECT_EQ(Js("document.body.dataset.link"), "\"ok\"");
  EXPECT_TRUE(page_->WaitFor("document.body.dataset.socket === 'open'", 5000));
}

TEST(ManagerPageTheme, FollowsTheDesktopColourScheme) {
  for (bool dark : {false, true}) {
    PageDriver page(846, 509, dark);
    ASSERT_TRUE(page.Load(ManagerPageHtml(), ManagerPageUri(1, "")));
    page.Eval("KorvathManager.stop(); true");
    const std::string bg = page.Eval("getComputedStyle(document.body).backgroundColor");
    EXPECT_EQ(bg, dark ? "\"rgb(23, 25, 28)\"" : "\"rgb(245, 246, 248)\"") << (dark ? "dark" : "light");
    if (dark) {
      page.Eval(
          "KorvathManager.render({ active: [{ gid: 'a', status: 'active', totalLength: '1048576', "
          "completedLength: '400000', downloadSpeed: '20480', connections: '2', files: [{ path: "
          "'/d/暗色.bin' }] }], "
          "stopped: [{ gid: 'b', status: 'error', errorCode: '3', files: [{ path: '/d/gone.bin' }] }] }); "
          "true");
      EXPECT_TRUE(page.Screenshot(ScreenshotDir() + "/manager-page-dark.png"));
    }
  }
}

}  // namespace
}  // namespace korvath::testing
