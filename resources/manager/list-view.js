// ---- rendering: one row per gid, reused; only changed text is written ----
const rows = new Map();
let filter = 'all';
let stamp = 0;
let rowsMade = 0;

function makeRow() {
  const el = rowTpl.cloneNode(true);
  const l1 = el.firstChild, l3 = el.lastChild;
  const acts = l1.lastChild;
  const text = (span) => span.firstChild;
  const r = {
    el, gid: '', status: '', seen: 0, v: {},
    st: text(l1.firstChild), nmEl: l1.children[1], nm: text(l1.children[1]),
    buttons: {}, open: acts.lastChild,
    bar: el.children[1].firstChild,
    sz: text(l3.children[0]), pc: text(l3.children[1]), sp: text(l3.children[2]),
    eta: text(l3.children[3]), cn: text(l3.children[4]), er: text(l3.children[5]),
  };
  for (const b of acts.querySelectorAll('button')) r.buttons[b.dataset.act] = b;
  // A row's spoken name is its task's name and state; the line of figures
  // under the bar is its description. The id stays with the element, which
  // shows another task when it is reused.
  l3.id = 'row-info-' + ++rowsMade;
  el.setAttribute('aria-describedby', l3.id);
  // The template's spaces give each span one text node to update in place;
  // an empty text node counts as :empty, which hides the span.
  for (const k of ['st', 'nm', 'sz', 'pc', 'sp', 'eta', 'cn', 'er']) r[k].data = '';
  return r;
}
function put(r, key, value) {
  if (r.v[key] !== value) { r.v[key] = value; r[key].data = value; }
}
function updateRow(r, t) {
  const status = String(t.status);
  if (r.status !== status) {
    // Its buttons change in place: the pointer on one now meets another.
    if (r.status) justAppeared(r.el);
    r.status = status;
    r.el.dataset.status = status;
    r.el.draggable = status === 'waiting' || status === 'paused';
    for (const act in ACTIONS) disarm(r.buttons[act]);
  }
  const mismatch = mismatchOf(t);
  const cls = 'row s-' + status + (mismatch ? ' s-mismatch' : '') + (selected.has(r.gid) ? ' sel' : '');
  if (r.v.cls !== cls) { r.v.cls = cls; r.el.className = cls; }
  put(r, 'st', mismatch ? '与分享页不符' : status === 'active' && t.seeder === 'true' ? '做种中' : STATES[status] || status);
  const retryable = retryUris(t).length > 0;
  for (const act in ACTIONS) {
    const hidden = !ACTIONS[act].includes(status) || (act === 'retry' && !retryable);
    if (r.buttons[act].hidden !== hidden) r.buttons[act].hidden = hidden;
  }
  const name = nameOf(t);
  if (r.v.name !== name) {
    r.v.name = name;
    r.nm.data = name;
    r.nmEl.title = name;
  }
  const folder = conn.remote ? '' : folderOf(t);
  if (r.v.folder !== folder) {
    r.v.folder = folder;
    if (folder) r.open.href = 'korvath-folder:' + encodeURIComponent(folder);
    else r.open.removeAttribute('href');
    r.open.hidden = !folder;
  }
  const total = +t.totalLength || 0, done = +t.completedLength || 0, speed = +t.downloadSpeed || 0;
  put(r, 'sz', fmtBytes(done) + ' / ' + (total ? fmtBytes(total) : '大小未知'));
  const frac = total ? Math.min(1, done / total) : (status === 'complete' ? 1 : 0);
  const pct = (frac * 100).toFixed(1);
  put(r, 'pc', total || status === 'complete' ? pct + '%' : '');
  if (r.v.bar !== pct) { r.v.bar = pct; r.bar.style.transform = 'scaleX(' + frac + ')'; }
  // Without a known size the bar has no value to tell: it is indeterminate.
  const known = total > 0 || status === 'complete';
  const barText = known ? pct + '%，' + r.v.sz : '大小未知，已下载 ' + fmtBytes(done);
  if (r.v.barText !== barText) {
    r.v.barText = barText;
    const pb = r.bar.parentNode;
    if (known) pb.setAttribute('aria-valuenow', pct); else pb.removeAttribute('aria-valuenow');
    pb.setAttribute('aria-valuetext', barText);
  }
  const active = status === 'active', up = +t.uploadSpeed || 0;
  // A seeding task has nothing left to fetch: what it sends is its speed.
  const seeding = active && t.seeder === 'true';
  put(r, 'sp', seeding ? '↑ ' + fmtBytes(up) + '/s'
    : active ? '↓ ' + fmtBytes(speed) + '/s' + (up > 0 ? ' ↑ ' + fmtBytes(up) + '/s' : '') : '');
  put(r, 'eta', active && !seeding ? '剩余 ' + (speed > 0 && total > done ? fmtDuration((total - done) / speed) : '未知') : '');
  put(r, 'cn', active ? '连接 ' + (+t.connections || 0) : '');
  let err = '', note = '';
  if (status === 'error') {
    // The page's own words on the row; aria2's English where the pointer rests.
    const e = errorText(t);
    err = (e.explained || '下载失败') + (e.code ? '（错误代码 ' + e.code + '）' : '');
    note = err + (e.message ? '\naria2 的说明：' + e.message : '');
  } else if (mismatch) {
    err = note = mismatch;
  }
  put(r, 'er', err);
  const label = name + '，' + r.v.st;
  if (r.v.label !== label) { r.v.label = label; r.el.setAttribute('aria-label', label); }
  if (r.v.erTitle !== note) { r.v.erTitle = note; r.er.parentNode.title = note; }
}

// Only the rows in and near the viewport exist in the document; the list
// keeps its full height so the scroll bar is right. A refresh of 1,000
// tasks then touches a few dozen rows, and scrolling reuses rows from a
// pool instead of building new ones.
const ROW_H = 62;      // px, the .row height in the style sheet
const OVERSCAN = 8;    // rows kept beyond each edge of the viewport
let lastStopped = [];
let order = [];        // every task, in queue order
let view = [];         // the tasks the current tab, search and sort show
// Every gid seen, with the refresh that last listed it. A table that
// persists keeps a refresh to one lookup per task instead of building a new
// one each time.
const known = new Map();
let renderStamp = 0;
const taskOf = (gid) => { const e = known.get(gid); return e && e.stamp === renderStamp ? e.t : undefined; };
let lastWaiting = [];  // aria2's waiting queue (waiting and paused), in order
let placed = [];       // the last render's order: gid and entry in `known`
// The gids of the waiting queue, worked out when a move needs them.
const waitingGids = () => lastWaiting.filter((t) => t && typeof t.gid === 'string').map((t) => t.gid);
const pool = [];
let lastRenderMs = 0, lastViewMs = 0;
let listHeight = -1, listTop = -1;
let query = '';
let sortKey = 'queue', sortDesc = false;
// ---- the order tasks were added in ----
// aria2 keeps no time of adding. A task the page adds takes its place as
// aria2 accepts it; any other takes its place when the page first meets it,
// and those met together (all of them, when the window opens) in the order
// a first-in-first-out queue took them: Korvath's kept ones from an earlier
// run, the finished oldest first, the running, the waiting. Korvath keeps
// the places for as long as it runs, so a window opened again goes on from
// them instead of guessing anew.
const addedRank = new Map();
let rankNext = 0;
function rankAdded(gids, tell = true) {
  const fresh = [];
  for (const gid of gids) {
    if (typeof gid !== 'string' || !gid || addedRank.has(gid)) continue;
    addedRank.set(gid, rankNext++);
    fresh.push(gid);
  }
  if (fresh.length && tell) askRecord({ added: fresh });
}

// Names as a reader orders them: file2 before file10, Chinese by pinyin.
// The collator is slow next to a number, so each name's place among all
// names is worked out once, again only when a name the table lacks appears.
const collator = new Intl.Collator('zh-CN', { numeric: true });
const nameRanks = new Map();
function rankNames(names) {
  if (names.every((n) => nameRanks.has(n))) return;
  const all = [...new Set(names)].sort(collator.compare);
  nameRanks.clear();
  all.forEach((n, i) => nameRanks.set(n, i));
}
const SORTS = {
  name: (t) => nameOf(t),
  size: (t) => +t.totalLength || 0,
  progress: (t) => { const n = +t.totalLength || 0; return n ? (+t.completedLength || 0) / n : (t.status === 'complete' ? 1 : 0); },
  eta: (t) => {
    const left = (+t.totalLength || 0) - (+t.completedLength || 0), s = +t.downloadSpeed || 0;
    return t.status === 'active' && s > 0 && left > 0 ? left / s : Infinity;
  },
  speed: (t) => +t.downloadSpeed || 0,
  added: (t) => addedRank.get(t.gid),
};
function computeView() {
  let v = filter === 'all' ? order : order.filter((t) => t.status === filter);
  if (query) v = v.filter((t) => lowerNameOf(t).includes(query));
  if (sortKey !== 'queue') {
    const key = SORTS[sortKey], dir = sortDesc ? -1 : 1;
    const keyed = v.map((t, i) => ({ t, k: key(t), i }));
    if (sortKey === 'name') {
      rankNames(keyed.map((x) => x.k));
      for (const x of keyed) x.k = nameRanks.get(x.k);
    }
    keyed.sort((a, b) => (a.k < b.k ? -dir : a.k > b.k ? dir : a.i - b.i));
    v = keyed.map((x) => x.t);
  } else if (sortDesc) {
    v = v.slice().reverse();
  }
  view = v;
  // A batch acts on the selection, so it holds only tasks the user can see:
  // another tab or a search lets go of the rest.
  if (selected.size) {
    const shown = new Set(v.map((t) => t.gid));
    for (const gid of selected) if (!shown.has(gid)) selected.delete(gid);
  }
}

function render(snap) {
  const t0 = performance.now();
  renderStamp++;
  const counts = { all: 0, active: 0, waiting: 0, paused: 0, complete: 0, error: 0, removed: 0 };
  const lists = [snap.active, snap.waiting, snap.stopped].map((l) => (Array.isArray(l) ? l : []));
  lastWaiting = lists[1];
  // Newest finished first: that is the task the user is looking for.
  const at = (l, i) => (l === 2 ? lists[2][lists[2].length - 1 - i] : lists[l][i]);
  // Most refreshes list the same tasks in the same order as the last one:
  // then each task's entry is found by its place, without a lookup.
  let same = true, n = 0;
  for (let l = 0; l < 3 && same; l++) {
    for (let i = 0; i < lists[l].length; i++, n++) {
      const t = at(l, i);
      if (!t || n >= placed.length || placed[n].gid !== t.gid) { same = false; break; }
    }
  }
  if (same && n === placed.length) {
    order = new Array(n);
    for (let l = 0, k = 0; l < 3; l++) {
      for (let i = 0; i < lists[l].length; i++, k++) {
        const t = at(l, i), e = placed[k].e;
        e.stamp = renderStamp;
        e.t = t;
        order[k] = t;
        if (Object.hasOwn(STATES, t.status)) counts[t.status]++;
      }
    }
  } else {
    order = [];
    placed = [];
    // Tasks met for the first time, by list: kept, finished, running, waiting.
    const met = [[], [], [], []];
    for (let l = 0; l < 3; l++) {
      for (let i = 0; i < lists[l].length; i++) {
        const t = at(l, i);
        // A task listed twice would share one row and shift every row after it.
        if (!t || typeof t.gid !== 'string') continue;
        let e = known.get(t.gid);
        if (!e) known.set(t.gid, (e = { stamp: 0, t: null }));
        else if (e.stamp === renderStamp) continue;
        if (!addedRank.has(t.gid)) met[l === 2 ? (t.kept ? 0 : 1) : l + 2].push(t.gid);
        e.stamp = renderStamp;
        e.t = t;
        order.push(t);
        placed.push({ gid: t.gid, e });
        if (Object.hasOwn(STATES, t.status)) counts[t.status]++;
      }
    }
    // The finished came newest first: the oldest was added first.
    rankAdded(met[0].reverse().concat(met[1].reverse(), met[2], met[3]));
  }
  counts.all = order.length;
  if (known.size > 2 * order.length + 1000) for (const [gid, e] of known) if (e.stamp !== renderStamp) known.delete(gid);
  if (addedRank.size > 2 * order.length + 1000) for (const gid of addedRank.keys()) if (!taskOf(gid)) addedRank.delete(gid);
  computeView();
  paint();
  updateBatch();

  for (const k in counts) setTabCount(k, counts[k]);
  const sum = (key) => order.reduce((s, t) => s + (+t[key] || 0), 0);
  const down = snap.stat ? +snap.stat.downloadSpeed || 0 : sum('downloadSpeed');
  const up = snap.stat ? +snap.stat.uploadSpeed || 0 : sum('uploadSpeed');
  setSpeed(speedEl, '↓ ', '总下载速度 ', fmtBytes(down) + '/s');
  setSpeed(upEl, '↑ ', '总上传速度 ', fmtBytes(up) + '/s');
  lastRenderMs = performance.now() - t0;
  return lastRenderMs;
}

// The arrow is for the eye; a screen reader says what it stands for.
function setSpeed(el, arrow, spoken, text) {
  if (el.textContent === arrow + text) return;
  el.textContent = arrow + text;
  el.setAttribute('aria-label', spoken + text);
}

function paint() {
  const top = scrollEl.scrollTop, height = scrollEl.clientHeight || 600;
  const first = Math.max(0, Math.floor(top / ROW_H) - OVERSCAN);
  const last = Math.min(view.length, Math.ceil((top + height) / ROW_H) + OVERSCAN);
  // A shorter list scrolled to its end pulls the scroll back (once its
  // rows are gone, below): then every row moves on the screen though none
  // changed its place in the list.
  const shorter = view.length < listHeight && top > 0;
  if (listHeight !== view.length) { listHeight = view.length; listEl.style.height = view.length * ROW_H + 'px'; }
  if (listTop !== first) { listTop = first; listEl.style.paddingTop = first * ROW_H + 'px'; }
  // "No tasks" only when aria2 said so, not while it cannot be asked.
  emptyEl.hidden = view.length > 0 || link !== 'ok';
  setText(emptyEl, order.length && query ? '没有名称包含“' + searchEl.value.trim() + '”的任务' : '暂无任务');

  stamp++;
  for (let i = first; i < last; i++) {
    const r = rows.get(view[i].gid);
    if (r) r.seen = stamp;
  }
  for (const [gid, r] of rows) {
    if (r.seen !== stamp) { r.el.remove(); rows.delete(gid); pool.push(r); }
  }
  // Walk the wanted order against the present children and move only rows
  // that are out of place: a refresh that changes no order moves nothing.
  let cursor = listEl.firstChild;
  let missing = false;
  // Moving a row in the document takes the focus from it: it is given back
  // below, so the keyboard stays on its task when the order changes.
  const focused = document.activeElement && document.activeElement.parentNode === listEl ? document.activeElement : null;
  // The Tab key reaches the list at the row with the focus, or at its top.
  let tabGid = first < last ? view[first].gid : '';
  for (let i = first; i < last; i++) if (view[i].gid === cursorGid) tabGid = cursorGid;
  for (let i = first; i < last; i++) {
    const t = view[i];
    let r = rows.get(t.gid);
    if (!r) {
      r = pool.pop() || makeRow();
      r.gid = t.gid;
      r.el.dataset.gid = t.gid;
      r.status = '';
      r.v = {};
      r.seen = stamp;
      appeared.delete(r.el);
      rows.set(t.gid, r);
    }
    // A row that changed its place (one above it went, or the order
    // changed) now lies under a pointer aimed at another task.
    if (r.v.at !== i) { if (r.v.at !== undefined) justAppeared(r.el); r.v.at = i; }
    updateRow(r, t);
    const tab = t.gid === tabGid ? 0 : -1;
    if (r.v.tab !== tab) { r.v.tab = tab; r.el.tabIndex = tab; }
    // Each row says whether it is chosen and where it stands in the whole
    // list: only the rows near the viewport exist, and "3 / 2050" is meant,
    // not "3 / 20".
    const sel = selected.has(t.gid) ? 'true' : 'false';
    if (r.v.sel !== sel) { r.v.sel = sel; r.el.setAttribute('aria-selected', sel); }
    if (r.v.pos !== i + 1) { r.v.pos = i + 1; r.el.setAttribute('aria-posinset', String(i + 1)); }
    if (r.v.size !== view.length) { r.v.size = view.length; r.el.setAttribute('aria-setsize', String(view.length)); }
    if (t.totalLength === undefined && !asked.has(t.gid)) missing = true;
    if (r.el === cursor) cursor = cursor.nextSibling;
    else listEl.insertBefore(r.el, cursor);
  }
  if (focused && focused.isConnected && document.activeElement !== focused) focused.focus({ preventScroll: true });
  if (shorter && scrollEl.scrollTop !== top) for (const r of rows.values()) justAppeared(r.el);
  // Rows scrolled (or filtered) into view with only their state: fetch them.
  if (missing && link === 'ok') { needFull = true; if (!inflight) refreshSoon(50); }
}
// The tab, search or sort changed: a new view of the same tasks.
function reView(toTop) {
  const t0 = performance.now();
  computeView();
  if (toTop) scrollEl.scrollTop = 0;
  paint();
  updateBatch();
  lastViewMs = performance.now() - t0;
  return lastViewMs;
}
let paintQueued = false;
function paintSoon() {
  if (paintQueued) return;
  paintQueued = true;
  requestAnimationFrame(() => { paintQueued = false; paint(); });
}
scrollEl.addEventListener('scroll', paintSoon, { passive: true });
window.addEventListener('resize', paintSoon);
