// The download-manager page in WebKitGTK, talking to a real aria2 that
// downloads from a loopback server. Each test starts its own aria2.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "manager-page/manager-page-fixture.h"
#include "shell/download-manager-window.h"
#include "support/loopback-ports.h"
#include "webview/pinned-certificate.h"

namespace korvath::testing {
namespace {

TEST_F(ManagerPageTest, ListMatchesAria2WithEachTasksFields) {
  const std::string done = Add("/fast/done.bin");
  const std::string failed = Add("/missing/gone.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  ASSERT_TRUE(WaitStatus(failed, "error"));
  const std::string a = Add("/slow/a.bin");
  const std::string b = Add("/slow/b.bin");
  const std::string queued = Add("/slow/c.bin");
  const std::string held = Add("/slow/d.bin", {{"pause", "true"}});
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(WaitStatus(b, "active"));
  ASSERT_EQ(StatusOf(queued), "waiting");
  ASSERT_EQ(StatusOf(held), "paused");

  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(WaitPageMatchesAria2());
  // Progress and speed arrive with the next refreshes.
  ASSERT_TRUE(
      page_->WaitFor("[...document.querySelectorAll('.s-active .sp')].every((e) => "
                     "e.textContent !== '↓ 0 B/s')",
                     8000));

  json row = Row(done);
  EXPECT_EQ(row["name"], "done.bin");
  EXPECT_EQ(row["title"], "done.bin");
  EXPECT_EQ(row["state"], "已完成");
  EXPECT_EQ(row["size"], "100.0 KB / 100.0 KB");
  EXPECT_EQ(row["pct"], "100.0%");
  EXPECT_EQ(row["speed"], "");
  EXPECT_EQ(row["buttons"], json({"forget"}));
  EXPECT_EQ(row["href"], "korvath-folder:" + EncodeUriComponent(dir_ + "/done.bin"));

  json fail_status =
      aria2_->Call("aria2.tellStatus", json::array({failed, json::array({"errorMessage", "errorCode"})}));
  row = Row(failed);
  EXPECT_EQ(row["state"], "出错");
  ASSERT_TRUE(fail_status.is_object());
  EXPECT_FALSE(fail_status["errorMessage"].get<std::string>().empty());
  // The page's own words, aria2's where the pointer rests.
  EXPECT_EQ(row["error"], "找不到文件（服务器上没有这个资源）（错误代码 3）");
  EXPECT_EQ(row["note"], "找不到文件（服务器上没有这个资源）（错误代码 3）\naria2 的说明：" +
                             fail_status["errorMessage"].get<std::string>());
  EXPECT_EQ(row["buttons"], json({"retry", "forget"}));

  row = Row(a);
  EXPECT_EQ(row["name"], "a.bin");
  EXPECT_EQ(row["state"], "下载中");
  EXPECT_EQ(row["conn"], "连接 1");
  EXPECT_EQ(row["size"].get<std::string>().find(" / 64.00 MB"), row["size"].get<std::string>().size() - 11)
      << row["size"];
  EXPECT_EQ(row["eta"].get<std::string>().rfind("剩余 ", 0), 0u) << row["eta"];
  EXPECT_NE(row["eta"], "剩余 未知");
  EXPECT_EQ(row["buttons"], json({"pause", "remove"}));

  EXPECT_EQ(Row(queued)["state"], "等待中");
  EXPECT_EQ(Row(held)["state"], "已暂停");
  EXPECT_EQ(Row(held)["buttons"], json({"top", "up", "down", "resume", "remove"}));

  json counts =
      json::parse(page_->Eval("Object.fromEntries([...document.querySelectorAll('#tabs button')].map((b) => "
                              "[b.dataset.filter, +b.querySelector('b').textContent]))"));
  EXPECT_EQ(counts, json({{"all", 6},
                          {"active", 2},
                          {"waiting", 1},
                          {"paused", 1},
                          {"complete", 1},
                          {"error", 1},
                          {"removed", 0}}));
  EXPECT_NE(page_->Eval("document.getElementById('total-speed').textContent"), "\"↓ 0 B/s\"");

  // A filter tab shows only its state.
  ASSERT_EQ(page_->Eval("(() => { document.querySelector('#tabs [data-filter=active]').click(); return "
                        "[...document.querySelectorAll('#list .row')].filter((r) => r.offsetHeight > 0)"
                        ".map((r) => r.dataset.gid); })()"),
            json({a, b}).dump());
  page_->Eval("document.querySelector('#tabs [data-filter=all]').click()");
  Screenshot("manager-page-list.png");

  // Open folder is a link the window handles: its navigation carries the path.
  page_->Eval("document.querySelector('.row[data-gid=" + JsString(done) + "] a.open').click()");
  page_->Pump(300);
  ASSERT_EQ(page_->navigations().size(), 1u);
  EXPECT_EQ(page_->navigations()[0], "korvath-folder:" + EncodeUriComponent(dir_ + "/done.bin"));
}

TEST_F(ManagerPageTest, ButtonsChangeAria2State) {
  const std::string failed = Add("/missing/gone.bin", {{"out", "kept-name.bin"}, {"max-tries", "1"}});
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(failed, "error"));
  ASSERT_TRUE(WaitStatus(done, "complete"));
  const std::string a = Add("/slow/a.bin");
  const std::string b = Add("/slow/b.bin");
  ASSERT_TRUE(WaitStatus(a, "active"));
  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(WaitPageMatchesAria2());

  Click(a, "pause");
  ASSERT_TRUE(WaitStatus(a, "paused"));
  ASSERT_TRUE(page_->WaitFor(
      "document.querySelector('.row[data-gid=" + JsString(a) + "]').dataset.status === 'paused'", 5000));
  Click(a, "resume");
  ASSERT_TRUE(WaitStatus(a, "active"));

  // Removing a running task asks once, inline: the first click only arms.
  Click(b, "remove");
  page_->Pump(300);
  EXPECT_EQ(StatusOf(b), "active");
  EXPECT_EQ(page_->Eval("document.querySelector('.row[data-gid=" + JsString(b) +
                        "] [data-act=remove]').textContent"),
            "\"确认删除\"");
  Click(b, "remove");
  ASSERT_TRUE(WaitStatus(b, "removed"));

  // A finished task leaves aria2's list and the page.
  Click(done, "forget");
  ASSERT_TRUE(WaitStatus(done, "gone"));
  ASSERT_TRUE(WaitPageMatchesAria2());
  EXPECT_TRUE(Row(done).is_null());

  // Retry adds the same link with the same options and drops the old entry.
  Click(failed, "retry");
  ASSERT_TRUE(WaitStatus(failed, "gone"));
  std::string again;
  for (auto& t : Aria2Order()) {
    json s = aria2_->Call("aria2.tellStatus", json::array({t["gid"], json::array({"gid", "files"})}));
    if (t["gid"] != failed && s["files"][0]["uris"][0]["uri"] == server_.Url("/missing/gone.bin"))
      again = t["gid"];
  }
  ASSERT_FALSE(again.empty()) << "no task for the retried link";
  EXPECT_EQ(aria2_->Call("aria2.getOption", json::array({again}))["out"], "kept-name.bin");
  ASSERT_TRUE(WaitPageMatchesAria2());

  // Totals: pause all, resume all, and the global limit.
  ClickId("pause-all");
  ASSERT_TRUE(WaitStatus(a, "paused"));
  EXPECT_EQ(aria2_->Call("aria2.tellActive", json::array({json::array({"gid"})})).size(), 0u);
  ClickId("resume-all");
  ASSERT_TRUE(WaitStatus(a, "active"));

  page_->Eval(
      "document.getElementById('limit').value = '512'; document.getElementById('limit-apply').click()");
  page_->Pump(500);
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-overall-download-limit"], "524288");
  page_->Eval(
      "document.getElementById('limit').value = '-3'; document.getElementById('limit-apply').click()");
  page_->Pump(500);
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-overall-download-limit"], "524288");
  EXPECT_EQ(page_->Eval("document.getElementById('msg').hidden"), "false");
  page_->Eval("document.getElementById('limit').value = ''; document.getElementById('limit-apply').click()");
  page_->Pump(500);
  EXPECT_EQ(aria2_->Call("aria2.getGlobalOption")["max-overall-download-limit"], "0");
  EXPECT_TRUE(page_->dialogs().empty());
}

TEST_F(ManagerPageTest, HostileAndLongNamesRenderAsPlainText) {
  const std::string hostile = "<img src=x onerror=alert(1)>";
  const std::string long_name = std::string(180, 'L') + "-" + "很长的名字" + ".bin";
  const std::string evil = Add("/slow/" + EncodeUriComponent(hostile), {{"out", hostile}});
  const std::string wide = Add("/slow/wide.bin", {{"out", long_name}});
  ASSERT_TRUE(WaitStatus(evil, "active"));
  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(WaitPageMatchesAria2());
  page_->Pump(1500);  // an injected onerror would have fired by now

  EXPECT_EQ(Row(evil)["name"], hostile);
  EXPECT_EQ(Row(evil)["title"], hostile);
  EXPECT_EQ(page_->Eval("document.querySelectorAll('#list img').length"), "0");
  EXPECT_TRUE(page_->dialogs().empty()) << page_->dialogs()[0];

  EXPECT_EQ(Row(wide)["name"], long_name);
  EXPECT_EQ(Row(wide)["title"], long_name);
  EXPECT_EQ(page_->Eval("(() => { const n = document.querySelector('.row[data-gid=" + JsString(wide) +
                        "] .nm'); return n.scrollWidth > n.clientWidth && "
                        "n.getBoundingClientRect().right <= innerWidth; })()"),
            "true")
      << "long name not elided within the window";
  // The row's buttons stay on screen beside the long name.
  EXPECT_EQ(page_->Eval("document.querySelector('.row[data-gid=" + JsString(wide) +
                        "] [data-act=pause]').getBoundingClientRect().right <= innerWidth"),
            "true");
  Screenshot("manager-page-names.png");
}

TEST_F(ManagerPageTest, NotificationsUpdateTheListWithoutPolling) {
  const std::string a = Add("/slow/a.bin");
  const std::string done = Add("/fast/done.bin");
  ASSERT_TRUE(WaitStatus(done, "complete"));
  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(WaitPageMatchesAria2());
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.socket === 'open'", 5000));
  page_->Eval("KorvathManager.setRefreshInterval(600000); true");
  page_->Pump(300);  // a refresh already under way ends before the changes below

  // Changes made by another client: only aria2's notifications can tell.
  aria2_->Call("aria2.pause", json::array({a}));
  ASSERT_TRUE(WaitStatus(a, "paused"));
  EXPECT_TRUE(page_->WaitFor(
      "document.querySelector('.row[data-gid=" + JsString(a) + "]').dataset.status === 'paused'", 3000));
  aria2_->Call("aria2.unpause", json::array({a}));
  ASSERT_TRUE(WaitStatus(a, "active"));
  EXPECT_TRUE(page_->WaitFor(
      "document.querySelector('.row[data-gid=" + JsString(a) + "]').dataset.status === 'active'", 3000));
  aria2_->Call("aria2.remove", json::array({a}));
  ASSERT_TRUE(WaitStatus(a, "removed"));
  EXPECT_TRUE(page_->WaitFor(
      "document.querySelector('.row[data-gid=" + JsString(a) + "]').dataset.status === 'removed'", 3000));
  EXPECT_TRUE(WaitPageMatchesAria2(1000));
}

TEST_F(ManagerPageTest, ThousandTasksAllReachableByScrolling) {
  json calls = json::array();
  for (int i = 0; i < 1000; ++i) {
    json uris = json::array({server_.Url("/slow/t" + std::to_string(i) + ".bin")});
    calls.push_back({{"methodName", "aria2.addUri"},
                     {"params", json::array({"token:" + aria2_->secret(), uris, {{"pause", "true"}}})}});
  }
  json added = aria2_->Call("system.multicall", json::array({calls}));
  ASSERT_TRUE(added.is_array() && added.size() == 1000u) << added.dump().substr(0, 300);
  const json waiting = aria2_->Call("aria2.tellWaiting", json::array({0, 2000, json::array({"gid"})}));
  ASSERT_EQ(waiting.size(), 1000u);

  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(
      page_->WaitFor("document.querySelector('#tabs [data-filter=all] b').textContent === '1000'", 10000));
  ASSERT_TRUE(WaitPageMatchesAria2Prefix());
  // Only the rows near the viewport exist; the list is as tall as all of them.
  const int in_dom = std::stoi(page_->Eval("document.querySelectorAll('#list .row').length"));
  EXPECT_LT(in_dom, 60);
  EXPECT_EQ(page_->Eval("document.getElementById('list').offsetHeight"), "62000");

  const std::string last = waiting[999]["gid"];
  page_->Eval(
      "(() => { const s = document.getElementById('scroll'); s.scrollTop = s.scrollHeight; return 0; })()");
  ASSERT_TRUE(
      page_->WaitFor("(() => { const r = [...document.querySelectorAll('#list .row')].pop(); "
                     "return r && r.dataset.gid === " +
                         JsString(last) +
                         " && "
                         "r.getBoundingClientRect().bottom <= innerHeight + 1; })()",
                     5000));
  EXPECT_EQ(Row(last)["name"], "t999.bin");
  EXPECT_EQ(Row(last)["state"], "已暂停");
  Screenshot("manager-page-1000.png");
  RecordProperty("render_ms_1000", page_->Eval("KorvathManager.lastRenderMs"));
}

TEST_F(ManagerPageTest, WrongSecretShowsNotice) {
  Add("/slow/a.bin");
  ASSERT_TRUE(OpenPage("not-" + aria2_->secret()));
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.link === 'auth'", 8000));
  EXPECT_EQ(page_->Eval("document.getElementById('notice').hidden"), "false");
  const std::string notice = page_->Eval("document.getElementById('notice').textContent");
  EXPECT_NE(notice.find("Unauthorized"), std::string::npos) << notice;
  EXPECT_NE(notice.find("密钥"), std::string::npos) << notice;
  EXPECT_EQ(page_->Eval("document.querySelectorAll('#list .row').length"), "0");
  Screenshot("manager-page-unauthorized.png");
}

// The page alone can only say "no answer"; Korvath knows whether it is
// bringing its aria2 back, and the user is told what happens next.
TEST_F(ManagerPageTest, ALostAria2IsExplainedByWhatKorvathKnowsOfIt) {
  std::string state = "restarting";
  page_->AddMessageHandler(kEngineStatusMessage, [&](const std::string&) {
    return nlohmann::json{{"state", state}}.dump();
  });
  Add("/slow/a.bin");
  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(WaitPageMatchesAria2());
  aria2_->Stop();
  ASSERT_TRUE(page_->WaitFor("document.getElementById('notice').textContent.includes('正在重新启动')", 8000))
      << page_->Eval("document.getElementById('notice').textContent");
  EXPECT_EQ(page_->Eval("document.getElementById('link').textContent"), "\"正在重启\"");
  state = "restarted";
  ASSERT_TRUE(aria2_->Start());
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.link === 'ok'", 8000));
  EXPECT_TRUE(page_->WaitFor("document.getElementById('msg').textContent.includes('已重新启动')", 3000));
}

TEST_F(ManagerPageTest, RecoversWhenAria2ComesBack) {
  const std::string first = Add("/slow/a.bin");
  ASSERT_TRUE(OpenPage(aria2_->secret()));
  ASSERT_TRUE(WaitPageMatchesAria2());
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.socket === 'open'", 5000));

  aria2_->Stop();
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.link === 'down'", 8000));
  EXPECT_EQ(page_->Eval("document.getElementById('notice').hidden"), "false");
  EXPECT_NE(page_->Eval("document.getElementById('notice').textContent").find("无法连接到 aria2"),
            std::string::npos);
  // A click while aria2 is away says so instead of failing silently.
  Click(first, "pause");
  ASSERT_TRUE(page_->WaitFor("!document.getElementById('msg').hidden", 6000));
  EXPECT_NE(page_->Eval("document.getElementById('msg').textContent").find("暂停失败"), std::string::npos);
  Screenshot("manager-page-down.png");

  ASSERT_TRUE(aria2_->Start());
  const std::string second = Add("/slow/b.bin");
  ASSERT_TRUE(page_->WaitFor("document.body.dataset.link === 'ok'", 8000));
  EXPECT_EQ(page_->Eval("document.getElementById('notice').hidden"), "true");
  ASSERT_TRUE(WaitPageMatchesAria2());
  EXPECT_TRUE(Row(first).is_null());
  EXPECT_FALSE(Row(second).is_null());
  // Notifications come back too, not only the polling.
  EXPECT_TRUE(page_->WaitFor("document.body.dataset.socket === 'open'", 8000));
}

}  // namespace
}  // namespace korvath::testing

namespace korvath::testing {
namespace {

// Replies that aria2 would not send but a broken or hostile peer might: the
// list must still show one row per task and never throw.
TEST(ManagerPageRender, OddTaskDataStillGivesOneRowPerTask) {
  PageDriver page;
  ASSERT_TRUE(page.Load(ManagerPageHtml(), ManagerPageUri(1, "")));
  page.Eval("KorvathManager.stop(); true");
  const std::string reply = page.Eval(R"JS(
    (() => {
      const ms = KorvathManager.render({
        active: [
          { gid: 'a', status: 'active', totalLength: 'x', completedLength: null, files: 'not-a-list' },
          { gid: 'a', status: 'waiting' },
          null,
          { status: 'active' },
          { gid: 'b', status: '__proto__', files: [{ path: '/d/<b onclick=x>y.bin', uris: [] }] },
        ],
        waiting: 'nothing',
        stopped: [
          { gid: 'c', status: 'complete', files: [{ path: '', uris: [{ uri: 'http://h/p/%E4%B8%AD%E6%96%87.bin?x=1' }] }] },
          { gid: 'd', status: 'error', errorMessage: '<i>bad</i>', files: [{ path: '', uris: [{ uri: 'http://h/%E0%A4%A.bin' }] }] },
        ],
      });
      return { ms: typeof ms, rows: [...document.querySelectorAll('#list .row')].map((r) =>
        [r.dataset.gid, r.querySelector('.nm').textContent, r.querySelector('.sz').textContent,
         r.querySelector('.er').textContent + r.querySelector('.er').title]),
        all: document.querySelector('#tabs [data-filter=all] b').textContent,
        markup: document.querySelectorAll('#list b, #list i:not(.pb i)').length };
    })()
  )JS");
  const nlohmann::json r = nlohmann::json::parse(reply, nullptr, false);
  ASSERT_TRUE(r.is_object()) << reply;
  EXPECT_EQ(r["ms"], "number");
  EXPECT_EQ(r["all"], "4");
  EXPECT_EQ(r["markup"], 0);
  EXPECT_EQ(r["rows"], nlohmann::json::parse(R"([
    ["a", "a", "0 B / 大小未知", ""],
    ["b", "<b onclick=x>y.bin", "0 B / 大小未知", ""],
    ["d", "%E0%A4%A.bin", "0 B / 大小未知", "下载失败下载失败\naria2 的说明：<i>bad</i>"],
    ["c", "中文.bin", "0 B / 大小未知", ""]
  ])"));
  EXPECT_TRUE(page.dialogs().empty());
}

}  // namespace
}  // namespace korvath::testing

namespace korvath::testing {
namespace {

TEST(ManagerPageRender, APausedTaskMovesInTheQueueAndItsLinksReadAsWritten) {
  PageDriver page;
  ASSERT_TRUE(page.Load(ManagerPageHtml(), ManagerPageUri(1, "")));
  page.Eval("KorvathManager.stop(); true");
  const std::string reply = page.Eval(R"JS(
    (() => {
      const paused = (gid, uri) => ({ gid, status: 'paused', totalLength: '0', completedLength: '0',
        files: [{ path: '/d/' + gid + '.bin', uris: [{ uri, status: 'waiting' }] }] });
      KorvathManager.render({ active: [], waiting: [
        paused('plain', 'http://h/%E6%8A%A5%E5%91%8A.pdf'),
        paused('hidden', 'http://h/invoice%E2%80%AEfdp.exe'),
      ], stopped: [] });
      const out = { top: !document.querySelector('.row[data-gid=plain] [data-act=top]').hidden };
      for (const gid of ['plain', 'hidden']) {
        document.querySelector('.row[data-gid=' + gid + '] .nm').dispatchEvent(new MouseEvent('dblclick', { bubbles: true }));
        out[gid] = document.querySelector('#d-uris li').firstChild.data;
      }
      return out;
    })()
  )JS");
  const nlohmann::json out = nlohmann::json::parse(reply, nullptr, false);
  ASSERT_TRUE(out.is_object()) << reply;
  EXPECT_EQ(out["top"], true);
  EXPECT_EQ(out["plain"], "http://h/报告.pdf");
  EXPECT_EQ(out["hidden"], "http://h/invoice%E2%80%AEfdp.exe") << "a direction mark stays escaped";
}

TEST(ManagerPageRender, AnExpiredOrRefusedLinkSaysThatClickingTheFileAgainContinues) {
  PageDriver page;
  ASSERT_TRUE(page.Load(ManagerPageHtml(), ManagerPageUri(1, "")));
  page.Eval("KorvathManager.stop(); true");
  const std::string reply = page.Eval(R"JS(
    (() => {
      const failed = (gid, code, message) => ({ gid, status: 'error', errorCode: code, errorMessage: message,
        files: [{ path: '/d/' + gid + '.bin', uris: [] }] });
      KorvathManager.render({ active: [], waiting: [], stopped: [
        failed('forbidden', '22', 'The response status is not successful. status=403'),
        failed('gone', '22', 'The response status is not successful. status=410'),
        failed('refused', '24', 'Authorization failed.'),
        failed('busy', '22', 'The response status is not successful. status=503'),
        failed('offline', '1', 'Failed to establish connection, cause: Connection refused'),
      ] });
      const out = {};
      for (const r of document.querySelectorAll('#list .row')) out[r.dataset.gid] = r.querySelector('.er').textContent;
      document.querySelector('.row[data-gid=forbidden] .nm').dispatchEvent(new MouseEvent('dblclick', { bubbles: true }));
      out.details = document.getElementById('d-error').textContent;
      return out;
    })()
  )JS");
  const nlohmann::json rows = nlohmann::json::parse(reply, nullptr, false);
  ASSERT_TRUE(rows.is_object()) << reply;
  const std::string expired =
      "下载链接已过期或被服务器拒绝。请在分享页上再点击一次这个文件，下载会接着已下载的部分继续。";
  EXPECT_EQ(rows["forbidden"], expired + "（错误代码 22）");
  EXPECT_EQ(rows["gone"], expired + "（错误代码 22）");
  EXPECT_EQ(rows["refused"], expired + "（错误代码 24）");
  EXPECT_EQ(rows["busy"], "服务器出错（HTTP 503），请稍后重试（错误代码 22）");
  EXPECT_EQ(rows["offline"],
            "无法连接服务器：网络已断开或服务器已关闭。网络恢复后请点“重试”，或在分享页上再点击一次这个文件（"
            "错误代码 1）");
  // One full stop between the page's words and aria2's.
  EXPECT_EQ(rows["details"], "错误代码 22：" + expired.substr(0, expired.size() - std::string("。").size()) +
                                 "。aria2 的说明：The response status is not successful. status=403");
}

// An aria2 on "another machine" (127.0.0.2, its own port): the page named by
// its whole address lists its tasks over its socket, and offers no folder to
// open, since the folder is not on this machine.
TEST(ManagerPageRemote, ListsTheRemoteTasksWithoutOpenFolder) {
  char tmpl[] = "/tmp/korvath-manager-remote-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  FileServer server;
  ASSERT_GT(server.port(), 0);
  Aria2Instance remote(RandomSecret() + "&+#", dir);
  remote.ListenAt("127.0.0.2", UnusedPort());
  ASSERT_TRUE(remote.Start(20000));
  json gid = remote.Call("aria2.addUri", json::array({json::array({server.Url("/fast/done.bin")})}));
  ASSERT_TRUE(gid.is_string());

  // The document and address exactly as the program's window makes them.
  const ManagerDocument document =
      LoadManagerDocument({.rpc_secret = remote.secret(), .rpc_url = remote.RpcUrl()});
  PageDriver page;
  ASSERT_TRUE(page.Load(document.html, document.base_uri)) << document.base_uri;
  ASSERT_TRUE(page.WaitFor("document.body.dataset.socket === 'open'", 8000))
      << document.base_uri << " " << page.Eval("document.body.innerText.slice(0, 300)");
  ASSERT_TRUE(
      page.WaitFor("(() => { const r = document.querySelector('#list .row'); "
                   "return !!r && r.dataset.status === 'complete'; })()",
                   10000))
      << page.Eval("document.body.innerText");
  EXPECT_EQ(page.Eval("document.querySelector('#list .row').dataset.gid"), json(gid).dump());
  EXPECT_EQ(page.Eval("document.querySelector('#list .row a.open').hidden"), "true");
  EXPECT_EQ(page.Eval("document.querySelector('#list .row a.open').getAttribute('href')"), "null");
  remote.Stop();
  std::filesystem::remove_all(dir);
}

// The status view links to the log folder the window names, through the
// folder link the window already opens safely; without one it offers none.
TEST(ManagerPageStatus, OffersTheLogFolderTheWindowNames) {
  const std::string port = std::to_string(UnusedPort());
  PageDriver page;
  ManagerDocument document =
      LoadManagerDocument({.rpc_port = port, .rpc_secret = "s", .log_folder = "/tmp/k logs/korvath"});
  ASSERT_TRUE(page.Load(document.html, document.base_uri));
  EXPECT_EQ(page.Eval("document.getElementById('s-logs').hidden"), "false");
  EXPECT_EQ(page.Eval("document.getElementById('open-logs').getAttribute('href')"),
            "\"korvath-folder:%2Ftmp%2Fk%20logs%2Fkorvath\"");
  document = LoadManagerDocument({.rpc_port = port, .rpc_secret = "s"});
  PageDriver without;
  ASSERT_TRUE(without.Load(document.html, document.base_uri));
  EXPECT_EQ(without.Eval("document.getElementById('s-logs').hidden"), "true");
}

}  // namespace
}  // namespace korvath::testing

namespace korvath::testing {
namespace {

// The window answers whether a finished file is what its share page said;
// the row of one that is not says so instead of "已完成", and a question
// that could not be answered yet is asked again.
TEST(ManagerPageRender, AFinishedFileUnlikeItsSharePageSaysSoInItsRow) {
  PageDriver page;
  std::map<std::string, int> asked;
  const std::string mismatch =
      "下载的文件与分享页不符：收到的是一个网页而不是文件（312 B，分享页写的是 50 "
      "MB），文件已保留，请打开查看。";
  page.AddMessageHandler("korvathArrivalCheck", [&](const std::string& message) {
    const std::string gid = nlohmann::json::parse(message).value("gid", "");
    if (++asked[gid] == 1 && gid == "late") return std::string(R"({"ok":false})");
    return nlohmann::json{{"ok", true}, {"mismatch", gid == "good" ? "" : mismatch}}.dump();
  });
  ASSERT_TRUE(page.Load(ManagerPageHtml(), ManagerPageUri(1, "")));
  page.Eval("KorvathManager.stop(); true");
  const std::string snapshot = R"JS(({ active: [], waiting: [], stopped: [
      { gid: 'bad', status: 'complete', totalLength: '312', completedLength: '312', files: [{ path: '/d/a.iso', uris: [] }] },
      { gid: 'good', status: 'complete', totalLength: '9', completedLength: '9', files: [{ path: '/d/b.txt', uris: [] }] },
      { gid: 'late', status: 'complete', totalLength: '9', completedLength: '9', files: [{ path: '/d/c.iso', uris: [] }] },
    ] }))JS";
  const std::string rows =
      R"JS(JSON.stringify(Object.fromEntries([...document.querySelectorAll('#list .row')].map((r) =>
      [r.dataset.gid, [r.querySelector('.st').textContent, r.querySelector('.er').textContent]]))))JS";
  page.Eval("KorvathManager.render(" + snapshot + "); true");
  ASSERT_TRUE(
      page.WaitFor("document.querySelector('[data-gid=bad] .st').textContent === '与分享页不符'", 5000))
      << page.Eval(rows);
  page.Eval("KorvathManager.render(" + snapshot + "); true");  // the next refresh
  ASSERT_TRUE(
      page.WaitFor("document.querySelector('[data-gid=late] .st').textContent === '与分享页不符'", 5000))
      << page.Eval(rows);
  const nlohmann::json shown =
      nlohmann::json::parse(nlohmann::json::parse(page.Eval(rows)).get<std::string>());
  EXPECT_EQ(shown["bad"], nlohmann::json({"与分享页不符", mismatch}));
  EXPECT_EQ(shown["good"], nlohmann::json({"已完成", ""}));
  EXPECT_EQ(shown["late"], nlohmann::json({"与分享页不符", mismatch}));
  EXPECT_EQ(asked, (std::map<std::string, int>{{"bad", 1}, {"good", 1}, {"late", 2}}));
}

// The same over https with a self-signed certificate: the engine refuses it
// until the pinned fingerprint names exactly that certificate, and then the
// page lists the remote task.
TEST(ManagerPageRemote, OverHttpsThePinnedCertificateLetsThePageListTheTask) {
  SelfSignedCertificate certificate;
  ASSERT_EQ(certificate.fingerprint.size(), 95u) << "openssl made no certificate";
  std::string pin;
  for (char c : certificate.fingerprint)
    if (c != ':') pin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  char tmpl[] = "/tmp/korvath-manager-remote-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  FileServer server;
  Aria2Instance remote(RandomSecret(), dir, certificate.Aria2Args());
  remote.ListenAt("127.0.0.2", UnusedPort());
  ASSERT_TRUE(remote.Start(20000));
  json gid = remote.Call("aria2.addUri", json::array({json::array({server.Url("/fast/done.bin")})}));
  ASSERT_TRUE(gid.is_string());
  ASSERT_EQ(remote.RpcUrl().rfind("https://", 0), 0u);

  const ManagerDocument document =
      LoadManagerDocument({.rpc_secret = remote.secret(), .rpc_url = remote.RpcUrl()});
  PageDriver page;
  ASSERT_TRUE(page.Load(document.html, document.base_uri));
  const std::string listed =
      "(() => { const r = document.querySelector('#list .row'); return !!r && r.dataset.status === "
      "'complete'; })()";
  EXPECT_FALSE(page.WaitFor(listed, 2500)) << "the engine took a certificate nobody trusts";
  // Another fingerprint trusts nothing, and says what it saw.
  const PinnedTrust wrong = TrustPinnedCertificate(page.WebContext(), remote.RpcUrl(), std::string(64, '0'));
  EXPECT_FALSE(wrong.trusted);
  EXPECT_EQ(wrong.seen, pin);
  EXPECT_FALSE(page.WaitFor(listed, 1500));
  const PinnedTrust trust = TrustPinnedCertificate(page.WebContext(), "wss" + remote.RpcUrl().substr(5), pin);
  EXPECT_TRUE(trust.trusted) << trust.error;
  ASSERT_TRUE(page.WaitFor(listed, 10000)) << page.Eval("document.body.innerText.slice(0, 300)");
  EXPECT_EQ(page.Eval("document.querySelector('#list .row').dataset.gid"), json(gid).dump());
  EXPECT_TRUE(page.WaitFor("document.body.dataset.socket === 'open'", 8000));
  remote.Stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvath::testing
