// Only what the user aimed at: what an open view or question covers is out
// of reach of the pointer and of Tab, the focus goes into what opened and
// back where it was when it closes, and a click that arrives just after the
// control under the pointer appeared or moved is not taken as aimed at it.

// The desktop's double-click time, which the window passes as "dblclick":
// the second click of a double click lands within it. Without it, 500 ms,
// longer than GTK's default of 400; a value beyond reason is held to
// 100..2000 ms, so the guard neither vanishes nor swallows a deliberate click.
function doubleClickMs() {
  const text = new URLSearchParams(location.hash.replace(/^#/, '')).get('dblclick') || '';
  return /^\d{1,6}$/.test(text) && +text > 0 ? Math.min(2000, Math.max(100, +text)) : 500;
}
const DOUBLE_CLICK_MS = doubleClickMs();

// ---- what is covered ----
// A view lies over the list: the list and the bars that act on it sleep.
// A question or a menu lies over everything: all but it sleeps.
const LIST_PARTS = ['bar2', 'tabs', 'batch-band', 'scroll'];
const OVERLAYS = ['confirm', 'row-menu', 'new-dlg'];
function cover() {
  const overlay = OVERLAYS.find((id) => !$(id).hidden) || '';
  const view = !!document.body.dataset.view && document.body.dataset.view !== 'list';
  for (const el of document.body.children) {
    if (el.tagName === 'SCRIPT' || el.tagName === 'TEMPLATE') continue;
    sleep(el, !!overlay && el.id !== overlay);
  }
  for (const id of LIST_PARTS) sleep($(id), view);
}
// WebKitGTK knows inert: an inert part takes no click, no focus and no Tab.
function sleep(el, asleep) {
  if (el.inert !== asleep) el.inert = asleep;
}

// ---- where the focus was ----
// A row is remembered by its task: rows are reused for other tasks as the
// list scrolls or refreshes, so the element may show another task by then.
function focusPlace() {
  const el = document.activeElement;
  const row = el && el.closest && el.closest('.row');
  return row ? { gid: row.dataset.gid } : { el };
}
function focusBack(place) {
  if (!place) return;
  if (place.gid) {
    const i = view.findIndex((t) => t.gid === place.gid);
    if (i >= 0) { focusRow(i, { ctrlKey: true }); return; }
  }
  const el = place.el;
  if (el && el !== document.body && el.isConnected && !el.closest('[inert]') && !el.hidden && typeof el.focus === 'function') el.focus();
}

// ---- clicks that came too soon ----
// When each surface appeared or moved: a view, a question, the menu, the
// list shown again, a row that moved or changed its buttons.
const appeared = new WeakMap();
const justAppeared = (el) => appeared.set(el, performance.now());
// Only a pointer's click is held back (a key's click has detail 0: the key
// was pressed on the control the user could see), and only on a control;
// a click on plain text does nothing anyway.
document.addEventListener('click', (ev) => {
  if (ev.detail === 0 || !ev.target.closest || !ev.target.closest('button, a, input, select, label')) return;
  const now = performance.now();
  for (let el = ev.target; el && el !== document; el = el.parentNode) {
    const at = appeared.get(el);
    if (at !== undefined && now - at < DOUBLE_CLICK_MS) {
      ev.preventDefault();
      ev.stopImmediatePropagation();
      return;
    }
  }
}, true);
