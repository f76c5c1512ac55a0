// The features tests' fixture: the page's own helpers for clicks with
// modifiers, key presses and canvas pixels, counts of aria2's tasks, and the
// window's file-deletion handler answered from this test's aria2.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manager-page/manager-page-fixture.h"
#include "shell/task-files-deletion.h"
#include "support/recording-desktop.h"

namespace korvath::testing {

// Small helpers the tests use inside the page: a click with modifiers on a
// row, a key press as the keyboard sends it, a double-click.
inline const char* kInput = R"JS(
  window.T = {
    row: (gid) => document.querySelector('.row[data-gid="' + gid + '"]'),
    click(gid, mods) {
      T.row(gid).querySelector('.nm').dispatchEvent(new MouseEvent('click', Object.assign({ bubbles: true }, mods || {})));
      return true;
    },
    dbl(gid) { T.row(gid).querySelector('.nm').dispatchEvent(new MouseEvent('dblclick', { bubbles: true })); return true; },
    key(key, mods) {
      const target = document.activeElement || document.body;
      target.dispatchEvent(new KeyboardEvent('keydown', Object.assign({ key, bubbles: true, cancelable: true }, mods || {})));
      return true;
    },
    type(id, text) {
      const el = document.getElementById(id);
      el.value = text;
      el.dispatchEvent(new Event('input', { bubbles: true }));
      el.dispatchEvent(new Event('change', { bubbles: true }));
      return true;
    },
    shown: () => [...document.querySelectorAll('#list .row')].map((r) => r.dataset.gid),
    selected: () => [...document.querySelectorAll('#list .row.sel')].map((r) => r.dataset.gid),
    text: (id) => document.getElementById(id).textContent,
    // Pixels of a canvas drawn in the accent (download) blue: how many, and
    // the highest row one is on (the canvas height when there is none).
    blue(id) {
      const c = document.getElementById(id), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0, top = c.height;
      for (let i = 0; i < d.length; i += 4)
        if (d[i + 3] > 100 && d[i + 2] > d[i] + 60 && d[i + 2] > d[i + 1] + 40) { n++; top = Math.min(top, Math.floor(i / 4 / c.width)); }
      return { n, top };
    },
  };
  true
)JS";

class ManagerFeaturesTest : public ManagerPageTest {
 protected:
  // many: more tasks than the window shows at once.
  bool Open(bool many = false) {
    if (!OpenPage(aria2_->secret())) return false;
    page_->Eval(kInput);
    return many ? WaitPageMatchesAria2Prefix() : WaitPageMatchesAria2();
  }
  std::string Js(const std::string& expression) { return page_->Eval(expression); }
  json JsJson(const std::string& expression) { return json::parse(Js(expression), nullptr, false); }
  size_t TaskCount() {
    size_t n = 0;
    for (const char* m : {"aria2.tellActive", "aria2.tellWaiting", "aria2.tellStopped"}) {
      json r = std::string(m) == "aria2.tellActive"
                   ? aria2_->Call(m, json::array({json::array({"gid"})}))
                   : aria2_->Call(m, json::array({0, 1000, json::array({"gid"})}));
      n += r.size();
    }
    return n;
  }
  json WaitingOrder() {
    json out = json::array();
    for (auto& t : aria2_->Call("aria2.tellWaiting", json::array({0, 1000, json::array({"gid"})})))
      out.push_back(t["gid"]);
    return out;
  }
  // aria2 keeps a record of a removed download only when it had started;
  // a paused one leaves no record.
  bool WaitRemoved(const std::string& gid) {
    for (int i = 0; i < 100; ++i) {
      const std::string status = StatusOf(gid);
      if (status == "removed" || status == "gone") return true;
      page_->Pump(50);
    }
    return false;
  }
  std::string Message() { return Js("document.getElementById('msg').textContent"); }
};

// The window's handler in the page's view, asking this test's aria2.
class ManagerCleanUpTest : public ManagerFeaturesTest {
 protected:
  void InstallDeleteHandler() {
    page_->AddMessageHandler(kDeleteFilesMessage, [lookup = Lookup()](const std::string& message) {
      return DeleteTaskFilesReply(message, lookup);
    });
  }
  TaskFilesLookup Lookup() {
    state_ =
        EngineState{.cookie_header = "", .rpc_port = "6800", .rpc_secret = aria2_->secret(), .aria2_pid = 0};
    return Aria2TaskFiles(desktop_, state_);
  }
  // A request as a hostile page would post it; the reply as JSON.
  json Forge(const std::string& gid, const std::vector<std::string>& paths) {
    Js("window.forged = null; window.webkit.messageHandlers.korvathDeleteFiles.postMessage({ gid: " +
       JsString(gid) + ", paths: " + json(paths).dump() + " }).then((r) => { window.forged = r; }); true");
    if (!page_->WaitFor("window.forged !== null", 5000)) return nullptr;
    return JsJson("window.forged");
  }
  RecordingDesktop desktop_;
  EngineState state_;
};

}  // namespace korvath::testing
