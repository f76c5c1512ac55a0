// The fixture the manager-page tests share: a real aria2 (secret, its own
// folder), a loopback file server, and the page in WebKitGTK, with helpers
// that read rows and click as a user would.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "harness/aria2-instance.h"
#include "harness/aria2-machine-lock.h"
#include "manager-page/file-server.h"
#include "manager-page/page-driver.h"

namespace korvath::testing {

using json = nlohmann::json;

// What JavaScript's encodeURIComponent makes of a string.
inline std::string EncodeUriComponent(const std::string& s) {
  static const std::string keep = "-_.!~*'()";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || keep.find(static_cast<char>(c)) != std::string::npos) {
      out += static_cast<char>(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

inline std::string JsString(const std::string& s) { return json(s).dump(); }

// Every row as the user sees it, in page order.
inline const char* kRowsScript = R"JS(
  [...document.querySelectorAll('#list .row')].map((r) => ({
    gid: r.dataset.gid, status: r.dataset.status,
    state: r.querySelector('.st').textContent,
    name: r.querySelector('.nm').textContent, title: r.querySelector('.nm').title,
    size: r.querySelector('.sz').textContent, pct: r.querySelector('.pc').textContent,
    speed: r.querySelector('.sp').textContent, eta: r.querySelector('.eta').textContent,
    conn: r.querySelector('.cn').textContent, error: r.querySelector('.er').textContent,
    note: r.querySelector('.er').title,
    href: r.querySelector('a.open').getAttribute('href'),
    buttons: [...r.querySelectorAll('button[data-act]')].filter((b) => !b.hidden).map((b) => b.dataset.act),
  }))
)JS";

class ManagerPageTest : public ::testing::Test {
 protected:
  // Two downloads at a time, one connection each: a third task waits, and
  // the slow server's worker count stays small.
  virtual std::vector<std::string> Aria2Args() {
    return {"--max-concurrent-downloads=2",
            "--split=1",
            "--max-connection-per-server=1",
            "--max-tries=1",
            "--retry-wait=0",
            "--connect-timeout=5"};
  }
  void SetUp() override {
    ASSERT_TRUE(machine_lock_.locked()) << "port 6800 stayed taken by another test run";
    char tmpl[] = "/tmp/korvath-manager-page-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ASSERT_GT(server_.port(), 0);
    html_ = ManagerPageHtml();
    ASSERT_NE(html_.find("<!DOCTYPE html>"), std::string::npos) << "page missing from the resources";
    aria2_ = std::make_unique<Aria2Instance>(RandomSecret(), dir_, Aria2Args());
    ASSERT_TRUE(aria2_->Start()) << "aria2c did not start on port 6800";
    page_ = std::make_unique<PageDriver>();
  }

  void TearDown() override {
    page_.reset();
    if (aria2_) aria2_->Stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }

  std::string Add(const std::string& path, json options = json::object()) {
    json error;
    json gid = aria2_->Call("aria2.addUri", json::array({json::array({server_.Url(path)}), options}), &error);
    EXPECT_TRUE(gid.is_string()) << error.dump();
    return gid.is_string() ? gid.get<std::string>() : "";
  }

  std::string StatusOf(const std::string& gid) {
    json status = aria2_->Call("aria2.tellStatus", json::array({gid, json::array({"status"})}));
    return status.is_object() ? status.value("status", "") : "gone";
  }

  bool WaitStatus(const std::string& gid, const std::string& status, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (StatusOf(gid) != status) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      page_->Pump(50);
    }
    return true;
  }

  bool OpenPage(const std::string& secret) {
    return page_->Load(html_, ManagerPageUri(Aria2Instance::kPort, secret));
  }

  // aria2's own lists in the order the page shows them: active, waiting,
  // then stopped newest first.
  json Aria2Order() {
    const json keys = json::array({"gid", "status"});
    json active = aria2_->Call("aria2.tellActive", json::array({keys}));
    json waiting = aria2_->Call("aria2.tellWaiting", json::array({0, 1000, keys}));
    json stopped = aria2_->Call("aria2.tellStopped", json::array({0, 1000, keys}));
    json order = json::array();
    for (auto& t : active) order.push_back(t);
    for (auto& t : waiting) order.push_back(t);
    for (auto it = stopped.rbegin(); it != stopped.rend(); ++it) order.push_back(*it);
    return order;
  }

  json PageOrder() {
    json rows = Rows();
    json order = json::array();
    for (auto& r : rows) order.push_back({{"gid", r["gid"]}, {"status", r["status"]}});
    return order;
  }

  // The page refreshes every second; give it a few to agree with aria2.
  bool WaitPageMatchesAria2(int timeout_ms = 6000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      json expected = Aria2Order();
      if (PageOrder() == expected) return true;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "page " << PageOrder().dump() << "\naria2 " << expected.dump();
        return false;
      }
      page_->Pump(100);
    }
  }

  // With many tasks only the rows near the viewport exist: they must be the
  // first of aria2's list, in order.
  bool WaitPageMatchesAria2Prefix(int timeout_ms = 6000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      json expected = Aria2Order();
      json shown = PageOrder();
      if (!shown.empty() && shown.size() <= expected.size() &&
          std::equal(shown.begin(), shown.end(), expected.begin()))
        return true;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "page " << shown.dump().substr(0, 500);
        return false;
      }
      page_->Pump(100);
    }
  }

  json Rows() { return json::parse(page_->Eval(kRowsScript), nullptr, false); }

  json Row(const std::string& gid) {
    for (auto& r : Rows())
      if (r["gid"] == gid) return r;
    return nullptr;
  }

  void Click(const std::string& gid, const std::string& act) {
    ASSERT_EQ(page_->Eval("(() => { const b = document.querySelector('.row[data-gid=" + JsString(gid) +
                          "] button[data-act=" + JsString(act) +
                          "]'); if (!b || b.hidden) return false; "
                          "b.click(); return true; })()"),
              "true")
        << act << " button of " << gid;
  }

  void ClickId(const std::string& id) {
    ASSERT_EQ(page_->Eval("(() => { const b = document.getElementById(" + JsString(id) +
                          "); if (!b) return false; b.click(); return true; })()"),
              "true");
  }

  void Screenshot(const std::string& name) {
    const std::string path = ScreenshotDir() + "/" + name;
    EXPECT_TRUE(page_->Screenshot(path)) << path;
  }

  // Other work trees' tests start their aria2 on the same port.
  Aria2MachineLock machine_lock_;
  std::string dir_;
  FileServer server_;
  std::string html_;
  std::unique_ptr<Aria2Instance> aria2_;
  std::unique_ptr<PageDriver> page_;
};

}  // namespace korvath::testing
