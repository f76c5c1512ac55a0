// The manager page does what the user chose and nothing else: questions
// answered only by the button pressed, forms and batches that send only what
// the user changed or sees. Real aria2, real engine; keys and clicks as
// events in the page.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "manager-page/manager-features-fixture.h"

namespace korvath::testing {
namespace {

namespace fs = std::filesystem;

class ManagerIntentTest : public ManagerCleanUpTest {
 protected:
  bool Asking() { return page_->WaitFor("!document.getElementById('confirm').hidden", 3000); }
  std::string Focused() { return Js("document.activeElement.id"); }
};

TEST_F(ManagerIntentTest, OnlyThePressedButtonAnswersADeletion) {
  InstallDeleteHandler();
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  const std::string a = Add("/slow/a.bin", {{"pause", "true"}});
  const std::string b = Add("/slow/b.bin", {{"pause", "true"}});
  ASSERT_TRUE(Open());

  // Enter or Space on the 取消 the question starts on, or that the user
  // went back to, keeps the task.
  Js("T.click(" + JsString(b) + ")");
  for (const char* answer : {"T.key('Enter')", "T.key(' ')",
                             "document.getElementById('confirm-ok').focus();"
                             "document.getElementById('confirm-cancel').focus(); T.key('Enter')"}) {
    Js("T.key('Delete')");
    ASSERT_TRUE(Asking()) << answer;
    EXPECT_EQ(Focused(), "\"confirm-cancel\"") << answer;
    Js(answer);
    EXPECT_EQ(Js("document.getElementById('confirm').hidden"), "true") << answer;
    page_->Pump(300);
    EXPECT_EQ(StatusOf(b), "paused") << answer;
  }
  // The mouse on 取消 keeps it too; Enter on 确定 deletes.
  Js("T.key('Delete')");
  ASSERT_TRUE(Asking());
  ClickId("confirm-cancel");
  page_->Pump(300);
  EXPECT_EQ(StatusOf(b), "paused");
  Js("T.key('Delete')");
  ASSERT_TRUE(Asking());
  Js("document.getElementById('confirm-ok').focus(); T.key('Enter')");
  EXPECT_TRUE(WaitRemoved(b));
  EXPECT_EQ(StatusOf(a), "paused");

  // 删除任务和文件, asked for from the keyboard: Enter keeps the file until
  // 确定 has the focus.
  Js("T.dbl(" + JsString(done) + ")");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(done), 3000));
  Js("document.querySelector('[data-d=\"delete-files\"]').focus(); T.key('Enter')");
  ASSERT_TRUE(Asking());
  EXPECT_EQ(Focused(), "\"confirm-cancel\"");
  Js("T.key('Enter')");
  page_->Pump(300);
  EXPECT_TRUE(fs::exists(dir_ + "/done.bin"));
  EXPECT_EQ(StatusOf(done), "complete");
  // The keyboard is back on the button that asked.
  EXPECT_EQ(Js("document.activeElement.dataset.d"), "\"delete-files\"");
  Js("T.key(' ')");
  ASSERT_TRUE(Asking());
  Js("document.getElementById('confirm-ok').focus(); T.key(' ')");
  ASSERT_TRUE(WaitStatus(done, "gone"));
  EXPECT_FALSE(fs::exists(dir_ + "/done.bin"));
}

TEST_F(ManagerIntentTest, SettingsSendOnlyWhatTheUserChangedAgainstTheAria2NowConnected) {
  ASSERT_TRUE(Open());
  const json before = aria2_->Call("aria2.getGlobalOption");
  aria2_->Stop();
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.link === 'down'", 8000));
  // Opened while aria2 is away: nothing to fill the form from.
  ClickId("open-settings");
  page_->Pump(500);
  ASSERT_TRUE(aria2_->Start());
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.link === 'ok'", 8000));
  // Filled once aria2 answers again.
  ASSERT_TRUE(page_->WaitFor("document.getElementById('opt-split').value === '1'", 5000));
  // A field emptied, and one changed and changed back, are no changes.
  Js("T.type('opt-max-concurrent-downloads', '5'); T.type('opt-timeout', '');"
     "T.type('opt-max-tries', '7'); T.type('opt-max-tries', '1'); "
     "document.getElementById('aria2-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.includes('已保存')", 3000))
      << Message();
  EXPECT_EQ(Message(), "\"已保存 1 项 aria2 设置\"");
  json after = aria2_->Call("aria2.getGlobalOption");
  EXPECT_EQ(after["max-concurrent-downloads"], "5");
  after["max-concurrent-downloads"] = before["max-concurrent-downloads"];
  EXPECT_EQ(after, before);

  // Changed behind the form's back (another client): a field the user did
  // not touch is not written back with the old value.
  Js("T.type('opt-split', '4')");
  aria2_->Call("aria2.changeGlobalOption", json::array({{{"max-tries", "3"}}}));
  Js("document.getElementById('msg').textContent = ''");
  ClickId("aria2-save");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.includes('已保存 1 项')", 3000))
      << Message();
  after = aria2_->Call("aria2.getGlobalOption");
  EXPECT_EQ(after["split"], "4");
  EXPECT_EQ(after["max-tries"], "3");
}

TEST_F(ManagerIntentTest, ATasksLimitIsSavedWithoutStartingItAgain) {
  const std::string a = Add("/slow/a.bin");
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(Open());
  Js("T.dbl(" + JsString(a) + ")");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('d-opt-split').value === '1'", 5000));
  page_->Pump(500);
  const int asked = server_.Requests("/slow/a.bin");
  ASSERT_GE(asked, 1);
  // Only the limit was changed: aria2 would start the download again for
  // split or connections, even set to what they were.
  Js("T.type('d-opt-limit', '100'); document.getElementById('d-opt-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent === '任务设置已保存'", 3000))
      << Message();
  EXPECT_EQ(aria2_->Call("aria2.getOption", json::array({a}))["max-download-limit"], "102400");
  page_->Pump(1500);
  EXPECT_EQ(server_.Requests("/slow/a.bin"), asked);
  EXPECT_EQ(StatusOf(a), "active");
  // Nothing changed: nothing is sent.
  Js("document.getElementById('msg').textContent = ''; document.getElementById('d-opt-save').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent === '任务设置没有改动'", 3000))
      << Message();
}

TEST_F(ManagerIntentTest, BatchesActOnlyOnTheSelectedTasksInView) {
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  std::vector<std::string> paused;
  for (const char* name : {"one.bin", "two.bin", "three.bin"})
    paused.push_back(Add(std::string("/slow/") + name, {{"pause", "true"}}));
  ASSERT_TRUE(Open());

  // Everything selected, then the finished tab: Delete asks about the one
  // task shown and removes only it.
  Js("T.key('a', { ctrlKey: true })");
  EXPECT_EQ(Js("T.text('batch-count')"), "\"已选 4 项\"");
  Js("document.querySelector('#tabs [data-filter=complete]').click()");
  EXPECT_EQ(Js("T.text('batch-count')"), "\"已选 1 项\"");
  Js("T.key('Delete')");
  ASSERT_TRUE(Asking());
  const std::string question = Js("T.text('confirm-text')");
  EXPECT_NE(question.find("删除所选的 1 个任务"), std::string::npos) << question;
  ClickId("confirm-ok");
  ASSERT_TRUE(WaitStatus(done, "gone"));
  page_->Pump(300);
  for (auto& g : paused) EXPECT_EQ(StatusOf(g), "paused") << g;
  // A tab with nothing in it has nothing selected.
  Js("document.querySelector('#tabs [data-filter=error]').click()");
  EXPECT_EQ(Js("document.getElementById('batch').hidden"), "true");

  // A search narrows the selection the same way.
  Js("document.querySelector('#tabs [data-filter=all]').click(); T.key('a', { ctrlKey: true }); "
     "T.type('search', 'two')");
  EXPECT_EQ(Js("T.text('batch-count')"), "\"已选 1 项\"");
  Js("document.querySelector('[data-batch=resume]').click()");
  EXPECT_TRUE(WaitStatus(paused[1], "active"));
  page_->Pump(300);
  EXPECT_EQ(StatusOf(paused[0]), "paused");
  EXPECT_EQ(StatusOf(paused[2]), "paused");
  EXPECT_NE(Message().find("已继续 1 个任务"), std::string::npos) << Message();
}

TEST_F(ManagerIntentTest, EveryControlWorksFromTheKeyboard) {
  std::vector<std::string> gids;
  for (const char* name : {"k1.bin", "k2.bin", "k3.bin", "k4.bin", "k5.bin"})
    gids.push_back(Add(std::string("/slow/") + name, {{"pause", "true"}}));
  ASSERT_TRUE(Open());

  // The list is reached with Tab at its first row; arrows, Home and End
  // move the focus and the selection, Shift extends it.
  EXPECT_EQ(JsJson("[...document.querySelectorAll('#list .row')].map((r) => r.tabIndex)"),
            json({0, -1, -1, -1, -1}));
  Js("T.row(" + JsString(gids[0]) + ").focus(); T.key('ArrowDown')");
  EXPECT_EQ(Js("document.activeElement.dataset.gid"), JsString(gids[1]));
  EXPECT_EQ(JsJson("T.selected()"), json({gids[1]}));
  Js("T.key('ArrowDown', { shiftKey: true })");
  EXPECT_EQ(JsJson("T.selected()"), json({gids[1], gids[2]}));
  Js("T.key('End')");
  EXPECT_EQ(Js("document.activeElement.dataset.gid"), JsString(gids[4]));
  EXPECT_EQ(Js("T.row(" + JsString(gids[4]) + ").tabIndex"), "0");
  Js("T.key('Home')");
  EXPECT_EQ(Js("document.activeElement.dataset.gid"), JsString(gids[0]));
  Js("T.key('ArrowUp')");
  EXPECT_EQ(Js("document.activeElement.dataset.gid"), JsString(gids[0]));
  // Enter on a row opens it.
  Js("T.key('ArrowDown'); T.key('Enter')");
  ASSERT_TRUE(page_->WaitFor("T.text('d-gid') === " + JsString(gids[1]), 3000));
  Js("T.key('Escape')");
  // A row reached with Tab while another is selected: Delete asks about it.
  Js("T.row(" + JsString(gids[2]) + ").focus(); T.key('Delete')");
  ASSERT_TRUE(Asking());
  EXPECT_NE(Js("T.text('confirm-text')").find("删除所选的 1 个任务？\\n  k3.bin"), std::string::npos)
      << Js("T.text('confirm-text')");
  Js("T.key('Escape')");

  // Buttons answer Enter and Space: a row's own, the toolbar's.
  Js("T.row(" + JsString(gids[3]) + ").querySelector('[data-act=resume]').focus(); T.key(' ')");
  EXPECT_TRUE(WaitStatus(gids[3], "active"));
  Js("document.getElementById('open-status').focus(); T.key('Enter')");
  EXPECT_EQ(Js("document.body.dataset.view"), "\"status\"");
  Js("T.key('Escape'); document.getElementById('new-task').focus(); T.key(' ')");
  ASSERT_EQ(Js("document.getElementById('new-dlg').hidden"), "false");

  // Tab stays in an open dialog, both ways round.
  Js("document.getElementById('new-add').focus(); T.key('Tab')");
  EXPECT_EQ(Focused(), "\"new-uris\"");
  Js("T.key('Tab', { shiftKey: true })");
  EXPECT_EQ(Focused(), "\"new-add\"");
  Js("document.getElementById('new-cancel').click(); T.row(" + JsString(gids[0]) +
     ").focus(); T.key('Delete')");
  ASSERT_TRUE(Asking());
  Js("T.key('Tab', { shiftKey: true })");
  EXPECT_EQ(Focused(), "\"confirm-ok\"");
  Js("T.key('Tab')");
  EXPECT_EQ(Focused(), "\"confirm-cancel\"");
  Js("T.key('Enter')");
  page_->Pump(300);
  EXPECT_EQ(StatusOf(gids[0]), "paused");
}

TEST_F(ManagerIntentTest, TheNewTaskDialogSendsWhatAria2WillTakeAndAddsEachItemOnce) {
  ASSERT_TRUE(Open());
  const std::string sub = dir_ + "/sub";
  auto add = [&] {
    Js("document.getElementById('new-error').textContent = ''; document.getElementById('new-add').click()");
  };
  auto error = [&] {
    return page_->WaitFor("T.text('new-error') !== ''", 3000) ? Js("T.text('new-error')") : "";
  };
  ClickId("new-task");
  // Two links on one line, one with its scheme in capitals.
  Js("T.type('new-uris', " +
     JsString("HTTP" + server_.Url("/fast/one.bin").substr(4) + " " + server_.Url("/fast/two.bin")) +
     "); T.type('new-dir', '~/Downloads')");
  add();
  EXPECT_NE(error().find("“~”"), std::string::npos);
  Js("T.type('new-dir', " + JsString(sub) + ")");
  for (const char* name : {".", ".."}) {
    Js("T.type('new-out', " + JsString(name) + ")");
    add();
    EXPECT_NE(error().find("“.”或“..”"), std::string::npos) << name;
  }
  page_->Pump(300);
  EXPECT_EQ(TaskCount(), 0u);
  // aria2's "*" Referer; Ctrl+Enter adds.
  Js("T.type('new-out', ''); T.type('new-referer', '*'); document.getElementById('new-uris').focus();"
     "T.key('Enter', { ctrlKey: true })");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('new-dlg').hidden", 5000)) << Js("T.text('new-error')");
  json done = json::array();
  for (int i = 0; i < 100 && done.size() < 2; ++i) {
    page_->Pump(50);
    done = aria2_->Call("aria2.tellStopped", json::array({0, 10, json::array({"gid", "dir", "status"})}));
  }
  ASSERT_EQ(done.size(), 2u) << done.dump();
  for (auto& t : done) {
    EXPECT_EQ(t["status"], "complete");
    EXPECT_EQ(t["dir"], sub);
    EXPECT_EQ(aria2_->Call("aria2.getOption", json::array({t["gid"]}))["referer"], "*");
  }
  EXPECT_TRUE(fs::exists(sub + "/one.bin"));
  EXPECT_TRUE(fs::exists(sub + "/two.bin"));

  // Escape keeps what was typed for the next opening.
  ClickId("new-task");
  EXPECT_EQ(Js("document.getElementById('new-uris').value"), "\"\"");
  Js("T.type('new-uris', " + JsString(server_.Url("/fast/three.bin")) + "); T.key('Escape')");
  EXPECT_EQ(Js("document.getElementById('new-dlg').hidden"), "true");
  ClickId("new-task");
  EXPECT_EQ(Js("document.getElementById('new-uris').value"), JsString(server_.Url("/fast/three.bin")));

  // One item refused: what was added leaves the dialog, and 添加 again
  // does not add it twice.
  Js("(() => { const dt = new DataTransfer(); dt.items.add(new File(['not a torrent'], 'bad.torrent'));"
     "document.getElementById('new-files').files = dt.files; return true; })()");
  add();
  EXPECT_NE(error().find("其余 1 项已添加"), std::string::npos);
  EXPECT_EQ(Js("document.getElementById('new-uris').value"), "\"\"");
  EXPECT_EQ(Js("document.getElementById('new-files').files.length"), "1");
  page_->Pump(300);
  EXPECT_EQ(TaskCount(), 3u);
  add();
  EXPECT_NE(error().find("有 1 项没有添加"), std::string::npos);
  page_->Pump(300);
  EXPECT_EQ(TaskCount(), 3u);
}

TEST_F(ManagerIntentTest, MessagesSayWhatHappenedInChineseWithAria2sWordsAsADetail) {
  const std::string a = Add("/slow/a.bin");
  ASSERT_TRUE(WaitStatus(a, "active"));
  const std::string b = Add("/slow/b.bin", {{"pause", "true"}});
  const std::string c = Add("/slow/c.bin", {{"pause", "true"}});
  ASSERT_TRUE(Open());
  // Space says what it did to which.
  Js("T.key('a', { ctrlKey: true }); T.key(' ')");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent !== ''", 3000));
  EXPECT_EQ(Message(), "\"已暂停 1 个、继续 2 个任务\"");
  EXPECT_TRUE(WaitStatus(a, "paused"));
  // A request aria2 refuses (the page has not yet seen the task paused
  // elsewhere): the page's words first, aria2's after them.
  ASSERT_TRUE(page_->WaitFor("T.row(" + JsString(c) + ").dataset.status === 'active'", 4000));
  Js("KorvathManager.stop(); document.getElementById('msg').textContent = ''");
  aria2_->Call("aria2.pause", json::array({c}));
  ASSERT_TRUE(WaitStatus(c, "paused"));
  Click(c, "pause");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent !== ''", 3000));
  EXPECT_EQ(Message().find("\"暂停失败：aria2 拒绝了这个请求（aria2 的说明：GID#"), 0u) << Message();
}

TEST_F(ManagerIntentTest, TheGlobalLimitSaysWhatAria2Got) {
  ASSERT_TRUE(Open());
  Js("T.type('limit', '0.5'); document.getElementById('limit-apply').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent !== ''", 3000));
  EXPECT_EQ(Message(), "\"全局限速已设为 0.5 KB/s\"");
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-overall-download-limit"], "512");
  // Read back as it is, not rounded, by the page opened again.
  page_ = std::make_unique<PageDriver>();
  ASSERT_TRUE(Open());
  EXPECT_TRUE(page_->WaitFor("document.getElementById('limit').value === '0.5'", 3000));
  // Too small to be a limit at all is refused rather than sent as "no limit".
  Js("document.getElementById('msg').textContent = ''; T.type('limit', '0.0001'); "
     "document.getElementById('limit-apply').click()");
  ASSERT_TRUE(page_->WaitFor("document.getElementById('msg').textContent !== ''", 3000));
  EXPECT_NE(Message().find("限速太小"), std::string::npos) << Message();
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-overall-download-limit"], "512");
}

}  // namespace
}  // namespace korvath::testing
