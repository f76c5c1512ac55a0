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

}  // namespace
}  // namespace korvath::testing
