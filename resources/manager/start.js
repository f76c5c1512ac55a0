// Starts the page once every part is in: follows the desktop's palette,
// draws the settings forms, offers the hooks tests and benchmarks use, and
// starts refreshing.

// Follows the desktop: redraw the canvases in the other palette.
if (window.matchMedia) window.matchMedia('(prefers-color-scheme: dark)').addEventListener('change', drawCharts);

buildSettings();
buildKorvathSettings();
window.KorvathManager = {
  render,
  paint,
  // The view recomputed as a keystroke in search would, in ms.
  search(text) { searchEl.value = text; query = String(text).trim().toLowerCase(); return reView(true); },
  refresh: () => refreshSoon(0),
  // Tests stretch the polling to show that notifications alone keep the
  // list current.
  setRefreshInterval(ms) { refreshMs = Math.max(100, +ms || 1000); refreshSoon(refreshMs); },
  stop() { running = false; clearTimeout(timer); if (socket) { socket.onclose = null; socket.close(); socket = null; } },
  get link() { return link; },
  get lastRenderMs() { return lastRenderMs; },
  get lastViewMs() { return lastViewMs; },
  get keys() { return ROW_KEYS.slice(); },
};

document.body.dataset.link = link;
document.body.dataset.view = 'list';
refresh();
openSocket();
