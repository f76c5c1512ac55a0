// Drives the download-manager page in a real WebKitGTK view: a window of the
// manager's size, script evaluation, waiting on page conditions, snapshots,
// and a record of what the page tried to do outside itself (dialogs, link
// navigations), so tests can see both the DOM and its side effects.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace korvath::testing {

// The page as embedded in the program (GResource), byte for byte.
std::string ManagerPageHtml();

// The base URI the window loads the page with.
std::string ManagerPageUri(int port, const std::string& secret);

// Where screenshots go: <build dir>/screenshots, created on demand.
std::string ScreenshotDir();

class PageDriver {
 public:
  // Initialises GTK on first use; width/height are the window's size.
  // prefer_dark: the desktop asks applications for their dark appearance.
  PageDriver(int width = 846, int height = 509, bool prefer_dark = false);
  ~PageDriver();
  PageDriver(const PageDriver&) = delete;
  PageDriver& operator=(const PageDriver&) = delete;

  // Loads html with base_uri and waits (bounded) until the load finished.
  bool Load(const std::string& html, const std::string& base_uri);

  // Evaluates an expression in the page's own world and returns its value as
  // JSON text (strings come back JSON-quoted); "" when evaluation failed.
  std::string Eval(const std::string& expression);
  // Evaluates a boolean expression until it is true or timeout_ms passed.
  bool WaitFor(const std::string& expression, int timeout_ms);
  // Runs the main loop for ms milliseconds.
  void Pump(int ms);
  // Input as the desktop delivers it to the view (keys through GTK, the
  // pointer through the X server): what it meets and how the focus moves
  // is the engine's doing. keyval and modifiers are GDK's; x, y are CSS pixels from
  // the page's top left. Two clicks at one point within the desktop's
  // double-click time are a double click.
  void PressKey(unsigned keyval, unsigned modifiers = 0);
  void ClickAt(int x, int y);
  // Writes a PNG of the visible page; false when the snapshot failed.
  bool Screenshot(const std::string& path);

  // Answers the page's window.webkit.messageHandlers.<name>.postMessage
  // (JSON in, JSON out), as the program's window does: only for the page
  // the next Load brings.
  void AddMessageHandler(const std::string& name, std::function<std::string(const std::string&)> handler);
  // The text on the desktop's clipboard ("" when none), waiting for it.
  std::string ClipboardText();

  // The driver's own WebKitWebContext*, as the program's WebEngine::context().
  void* WebContext() const;

  // alert/confirm/prompt messages the page raised (answered and dropped).
  const std::vector<std::string>& dialogs() const;
  // URIs of navigations the page started after loading (all refused).
  const std::vector<std::string>& navigations() const;
  // Resident memory of the web process in KiB, 0 when it cannot be found.
  long WebProcessRssKiB() const;
  // CPU time (user + system) the web processes of this program used so far, in ms.
  double WebProcessCpuMs() const;

  struct Impl;

 private:
  Impl* impl_;
};

}  // namespace korvath::testing
