// The tasks as aria2 last reported them: the refresh that asks, the rows
// and file lists it fills in, and the socket whose notifications hurry it.

// ---- refreshing ----
// Finished tasks never change, so their list is fetched again only when
// aria2's counters say it changed (or a notification or action says so).
let stoppedKey = '';
let stoppedDirty = true;
let timer = 0, inflight = false, again = false, running = true, needFull = false;

function refreshSoon(delay) {
  if (!running) return;
  clearTimeout(timer);
  timer = setTimeout(refresh, delay);
}
async function refresh() {
  if (inflight) { again = true; return; }
  inflight = true;
  needFull = false;
  clearTimeout(timer);
  try {
    const withStopped = stoppedDirty;
    stoppedDirty = false;
    // In queue order without a search, only the rows on screen show more
    // than a state: the running and waiting lists come with gid and status
    // only, and the tasks on screen are asked for in full in the same
    // request. Finished tasks do not change, so they come in full.
    const lean = sortKey === 'queue' && !query;
    const listKeys = lean ? LEAN_KEYS : ROW_KEYS;
    const calls = [['aria2.getGlobalStat'], ['aria2.tellActive', listKeys], ['aria2.tellWaiting', 0, 100000, listKeys]];
    if (withStopped) calls.push(['aria2.tellStopped', 0, 100000, ROW_KEYS]);
    const shown = lean ? [...rows.keys()].filter((gid) => { const t = taskOf(gid); return t && !STOPPED.includes(t.status); }) : [];
    for (const gid of shown) calls.push(['aria2.tellStatus', gid, ROW_KEYS]);
    asked = new Set(shown);
    let res;
    try {
      res = await multicallSettled(calls);
      const failure = res.slice(0, calls.length - shown.length).find((x) => !x.ok);
      if (failure) throw failure.error;
      res = res.map((x) => (x.ok ? x.value : null));
      if (lean) fillIn([res[1], res[2]], res.slice(calls.length - shown.length));
      if (withStopped) res[3] = await withKept(res[3]);
      showRestoredSizes([res[1], res[2]]);
      await attachFiles([res[1], res[2], withStopped ? res[3] : null], withStopped ? [] : lastStopped);
    } catch (e) { if (withStopped) stoppedDirty = true; throw e; }
    const [stat, active, waiting, stopped] = res;
    const key = stat.numStopped + '/' + stat.numStoppedTotal;
    if (withStopped) { lastStopped = stopped; stoppedKey = key; }
    else if (key !== stoppedKey) { stoppedDirty = true; again = true; }
    setLink('ok');
    render({ stat, active, waiting, stopped: lastStopped });
    sample(+stat.downloadSpeed || 0, +stat.uploadSpeed || 0, performance.now());
    if (detailGid && !$('details').hidden) await refreshDetails();
    drawCharts();
  } catch (e) {
    setLink(e.kind === 'auth' ? 'auth' : 'down');
    stoppedDirty = true;
  }
  inflight = false;
  if (again) { again = false; refreshSoon(0); }
  else refreshSoon(needFull ? 50 : refreshMs);
}

// The full rows asked for apart, put into the lean lists.
function fillIn(lists, full) {
  const byId = new Map();
  for (const t of full) if (t && typeof t.gid === 'string') byId.set(t.gid, t);
  if (!byId.size) return;
  for (const list of lists) {
    if (!Array.isArray(list)) continue;
    for (let i = 0; i < list.length; i++) {
      const t = list[i], f = t && byId.get(t.gid);
      if (f) list[i] = Object.assign(f, { status: t.status });
    }
  }
}
// gid -> { status, files, bittorrent, named, at } as last asked for.
const fileInfo = new Map();
const NAME_RETRY_MS = 5000;
// `kept`: tasks not asked for this time whose files stay known.
async function attachFiles(lists, kept) {
  const need = [];
  const now = performance.now();
  let total = kept.length;
  for (const list of lists) {
    if (!Array.isArray(list)) continue;
    total += list.length;
    for (const t of list) {
      if (!t || typeof t.gid !== 'string') continue;
      const f = fileInfo.get(t.gid);
      // A running task's path may still change (aria2 names the file once
      // the server answers), so an unnamed one is asked again every few
      // seconds; any change of state may change it too.
      if (!f || f.status !== t.status || (t.status === 'active' && !f.named && now - f.at > NAME_RETRY_MS)) need.push(t);
      else { t.files = f.files; if (f.bittorrent) t.bittorrent = f.bittorrent; }
    }
  }
  if (need.length) {
    const res = await multicallSettled(need.map((t) => ['aria2.tellStatus', t.gid, FILE_KEYS]));
    need.forEach((t, i) => {
      if (!res[i].ok) return;
      const v = res[i].value || {};
      const files = Array.isArray(v.files) ? v.files : [];
      fileInfo.set(t.gid, { status: t.status, files, bittorrent: v.bittorrent, at: now,
                            named: !!(files[0] && files[0].path) || !!v.bittorrent });
      t.files = files;
      if (v.bittorrent) t.bittorrent = v.bittorrent;
    });
  }
  if (fileInfo.size > 2 * total + 1000) {
    const live = new Set();
    for (const list of lists.concat([kept])) if (Array.isArray(list)) for (const t of list) if (t) live.add(t.gid);
    for (const gid of fileInfo.keys()) if (!live.has(gid)) fileInfo.delete(gid);
  }
}

// ---- Korvath's record ----
// aria2 cannot hold a finished task added back after a restart: Korvath's
// record keeps them, and the page lists them after aria2's own. It also says
// what a task added back holds on disk, which aria2 tells only once it runs.
const recordHandler = () => window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathRecord;
let record = { finished: [], sizes: {} };
let rankedFromRecord = false;
const keptGids = new Set();
async function askRecord(message) {
  const handler = recordHandler();
  if (!handler) return null;
  try { return await handler.postMessage(message); } catch (e) { return null; }
}
async function withKept(stopped) {
  const list = Array.isArray(stopped) ? stopped : [];
  const reply = await askRecord(rankedFromRecord ? {} : { order: true });
  if (reply && Array.isArray(reply.finished)) record = { finished: reply.finished, sizes: reply.sizes || {} };
  // The places an earlier window gave, once: before this one gives any.
  if (!rankedFromRecord && reply && Array.isArray(reply.added)) { rankedFromRecord = true; rankAdded(reply.added, false); }
  const inAria2 = new Set(list.map((t) => t && t.gid));
  keptGids.clear();
  const kept = [];
  for (const k of record.finished) {
    if (!k || typeof k.gid !== 'string' || !k.gid || inAria2.has(k.gid)) continue;
    const length = String(Number(k.length) || 0);
    const files = [{ index: '1', path: String(k.path || ''), length, completedLength: length, selected: 'true', uris: [] }];
    fileInfo.set(k.gid, { status: 'complete', files, at: performance.now(), named: true });
    keptGids.add(k.gid);
    kept.push({ gid: k.gid, status: 'complete', totalLength: length, completedLength: length, uploadLength: '0',
                downloadSpeed: '0', uploadSpeed: '0', connections: '0', dir: String(k.dir || ''), files, kept: true });
  }
  // Oldest first, as aria2 lists its own.
  return kept.concat(list);
}
function showRestoredSizes(lists) {
  for (const list of lists) {
    if (!Array.isArray(list)) continue;
    for (const t of list) {
      const size = t && record.sizes[t.gid];
      if (!size || Number(t.totalLength) > 0) continue;
      t.totalLength = String(size.total);
      t.completedLength = String(size.completed);
    }
  }
}
const isKept = (gid) => keptGids.has(gid);
// Removes the records of ended tasks: aria2's own and Korvath's kept ones.
// Each answer says whether that record was there to remove.
async function forgetResults(gids) {
  const own = gids.filter((gid) => !isKept(gid));
  const res = own.length ? await multicallSettled(own.map((gid) => ['aria2.removeDownloadResult', gid])) : [];
  // aria2's own finished ones are in the record too.
  const reply = await askRecord({ forget: gids });
  const byGid = new Map(own.map((gid, i) => [gid, res[i]]));
  return gids.map((gid) => (isKept(gid) ? { ok: !!(reply && reply.ok) } : byGid.get(gid)));
}

let socket = null;
function openSocket() {
  if (!running || socket) return;
  let s;
  try { s = new WebSocket(conn.wsUrl); } catch (e) { setTimeout(openSocket, 2000); return; }
  socket = s;
  s.onmessage = (ev) => {
    let m;
    try { m = JSON.parse(ev.data); } catch (e) { return; }
    if (!m || typeof m.method !== 'string' || !m.method.startsWith('aria2.onDownload')) return;
    if (m.method !== 'aria2.onDownloadStart' && m.method !== 'aria2.onDownloadPause') stoppedDirty = true;
    refreshSoon(50);
  };
  s.onopen = () => { document.body.dataset.socket = 'open'; refreshSoon(0); };
  s.onclose = () => {
    document.body.dataset.socket = 'closed';
    socket = null;
    setTimeout(openSocket, 2000);
  };
}
