// The views laid over the list, and the details view of one task.

// ---- views over the list ----
const VIEWS = ['details', 'settings', 'status'];
// Where the focus was before the first view opened; going from one view to
// another keeps it, so closing the last one goes back there.
let viewFrom = null;
function showView(id) {
  const was = document.body.dataset.view && document.body.dataset.view !== 'list' ? document.body.dataset.view : '';
  if (id && !was) viewFrom = focusPlace();
  for (const v of VIEWS) $(v).hidden = v !== id;
  document.body.dataset.view = id || 'list';
  cover();
  if (id) {
    if (id !== was) justAppeared($(id));
    if (!$(id).contains(document.activeElement)) $(id).querySelector('.close').focus();
  } else if (was) {
    justAppeared(scrollEl);
    const from = viewFrom;
    viewFrom = null;
    focusBack(from);
  }
}
function closeView() {
  showView('');
  detailGid = '';
}
for (const v of VIEWS) $(v).querySelector('.close').addEventListener('click', closeView);

// ---- details ----
let detailGid = '', detail = null;
function openDetails(gid) {
  if (!gid || !taskOf(gid)) return;
  detailGid = gid;
  detail = taskOf(gid);
  // Nothing of the last task stays: its lists are built again from scratch.
  for (const id of ['d-files', 'd-uris', 'd-servers', 'd-trackers', 'd-peers']) { $(id).textContent = ''; delete $(id).dataset.key; }
  fillDetails(detail, [], [], []);
  showView('details');
  loadTaskOptions(gid);
  refreshDetails().then(drawCharts);
}
async function refreshDetails() {
  const gid = detailGid;
  let res;
  try {
    const calls = [['aria2.tellStatus', gid], ['aria2.getUris', gid], ['aria2.getServers', gid]];
    if (detail && detail.bittorrent) calls.push(['aria2.getPeers', gid]);
    res = await multicallSettled(calls);
  } catch (e) { return; }
  if (gid !== detailGid) return;
  if (!res[0].ok) { setText($('d-status'), '任务已不在 aria2 中'); return; }
  detail = res[0].value;
  fillDetails(detail, res[1].ok ? res[1].value : [], res[2].ok ? res[2].value : [], res[3] && res[3].ok ? res[3].value : []);
}
// The share of pieces a peer has, from its bitfield in hex.
function peerShare(bitfield, pieces) {
  let bits = 0;
  for (const c of String(bitfield || '')) { let v = parseInt(c, 16) || 0; while (v) { bits += v & 1; v >>= 1; } }
  return pieces > 0 ? Math.min(1, bits / pieces) : 0;
}
function fillTorrent(t, peers) {
  $('d-bt').hidden = !t.bittorrent;
  if (!t.bittorrent) return;
  const trackers = [];
  for (const tier of Array.isArray(t.bittorrent.announceList) ? t.bittorrent.announceList : [])
    for (const url of Array.isArray(tier) ? tier : [tier]) if (url) trackers.push([String(url), '']);
  list($('d-trackers'), trackers);
  list($('d-peers'), (Array.isArray(peers) ? peers : []).map((p) => [
    String(p.ip) + ':' + String(p.port),
    '↓ ' + fmtBytes(+p.downloadSpeed || 0) + '/s ↑ ' + fmtBytes(+p.uploadSpeed || 0) + '/s，已有 ' +
      (peerShare(p.bitfield, +t.numPieces || 0) * 100).toFixed(1) + '%' + (p.seeder === 'true' ? '（做种者）' : '')]));
}
function list(el, items) {
  // Rebuilt only when what it shows changed; every item is plain text.
  const key = JSON.stringify(items);
  if (el.dataset.key === key) return;
  el.dataset.key = key;
  el.textContent = '';
  for (const [main, note] of items) {
    const li = document.createElement('li');
    li.textContent = main;
    if (note) { const s = document.createElement('small'); s.textContent = note; li.appendChild(s); }
    el.appendChild(li);
  }
  if (!items.length) { const li = document.createElement('li'); li.textContent = '无'; el.appendChild(li); }
}
function fillDetails(t, uris, servers, peers) {
  fillTorrent(t, peers);
  const status = String(t.status);
  const total = +t.totalLength || 0, done = +t.completedLength || 0, down = +t.downloadSpeed || 0;
  setText($('d-name'), nameOf(t));
  const mismatch = mismatchOf(t);
  setText($('d-status'), mismatch ? '与分享页不符' : STATES[status] || status);
  setText($('d-size'), total ? fmtBytes(total) : '大小未知');
  setText($('d-progress'), fmtBytes(done) + (total ? '（' + (Math.min(1, done / total) * 100).toFixed(1) + '%）' : ''));
  setText($('d-down'), fmtBytes(down) + '/s');
  setText($('d-up'), fmtBytes(+t.uploadSpeed || 0) + '/s');
  setText($('d-eta'), status === 'active' && t.seeder !== 'true' ? (down > 0 && total > done ? fmtDuration((total - done) / down) : '未知') : '—');
  setText($('d-conn'), String(+t.connections || 0));
  setText($('d-gid'), String(t.gid));
  setText($('d-dir'), String(t.dir || ''));
  const files = Array.isArray(t.files) ? t.files : [];
  setText($('d-path'), files.map((f) => String((f && f.path) || '')).filter(Boolean).join('\n') || '（文件名还不知道）');
  const e = errorText(t);
  setText($('d-error'), status === 'error' || e.code
    ? (e.code ? '错误代码 ' + e.code + '：' + (e.explained || '未知错误').replace(/。$/, '') : '下载失败') +
      (e.message ? '。aria2 的说明：' + e.message : '')
    : mismatch || '无');
  list($('d-files'), files.map((f) => {
    const len = +f.length || 0, got = +f.completedLength || 0;
    return [String(f.path || '（文件名还不知道）'), fmtBytes(got) + ' / ' + (len ? fmtBytes(len) : '大小未知') +
      (f.selected === 'false' ? '，未选择下载' : '')];
  }));
  pickList(t, files);
  list($('d-uris'), uriItems(t, uris));
  const srv = [];
  for (const s of Array.isArray(servers) ? servers : []) for (const x of (s && s.servers) || [])
    srv.push([String(x.currentUri || x.uri), '↓ ' + fmtBytes(+x.downloadSpeed || 0) + '/s']);
  list($('d-servers'), srv);
  drawPieces($('d-pieces'), String(t.bitfield || ''), +t.numPieces || 0, status === 'complete');
  const stopped = STOPPED.includes(status);
  const queued = status === 'waiting' || status === 'paused';
  const show = { pause: ACTIONS.pause.includes(status), resume: status === 'paused', top: queued, up: queued,
                 down: queued, bottom: queued, remove: !stopped, forget: stopped, 'delete-files': true };
  for (const b of $('details').querySelectorAll('button[data-d]')) b.hidden = !show[b.dataset.d];
  $('d-copy').disabled = !allUris(t).length;
}
// A torrent of several files that is not finished: which of them to fetch.
// Built again only when the task or its files' choice changed, so a box
// the user is ticking is not reset by the next refresh.
function pickList(t, files) {
  const box = $('d-select');
  const show = !!t.bittorrent && files.length > 1 && !STOPPED.includes(String(t.status));
  box.hidden = !show;
  if (!show) { delete box.dataset.key; return; }
  const key = String(t.gid) + JSON.stringify(files.map((f) => [f.index, f.path, f.selected]));
  if (box.dataset.key === key) return;
  box.dataset.key = key;
  const root = $('d-select-list');
  root.textContent = '';
  for (const f of files) {
    const label = document.createElement('label');
    const tick = document.createElement('input');
    tick.type = 'checkbox';
    tick.value = String(f.index);
    tick.checked = f.selected !== 'false';
    label.append(tick, ' ' + String(f.path || '（文件名还不知道）') + '（' + fmtBytes(+f.length || 0) + '）');
    root.appendChild(label);
  }
}
$('d-select-save').addEventListener('click', async () => {
  const gid = detailGid;
  const picked = [...$('d-select-list').querySelectorAll('input:checked')].map((x) => x.value);
  if (!picked.length) { say('请至少勾选一个文件'); return; }
  try {
    await call('aria2.changeOption', gid, { 'select-file': picked.join(',') });
    say('已选择下载 ' + picked.length + ' 个文件');
  } catch (e) { failed('选择文件', e); }
  if (gid === detailGid) refreshDetails();
});
// Each link once, 使用中 when any connection uses it. aria2 answers
// getUris only for tasks it still runs; a finished task's links come from
// its files, as 复制链接 takes them.
// A link as a reader wants it: percent-escapes decoded, unless the result
// would hold a control or a direction mark that could disguise it.
function readableUri(uri) {
  let text;
  try { text = decodeURI(uri); } catch (e) { return uri; }
  return /[\u0000-\u001f\u007f-\u009f\u200b-\u200f\u202a-\u202e\u2060-\u2069\ufeff]/.test(text) ? uri : text;
}
function uriItems(t, uris) {
  const state = new Map();
  for (const u of Array.isArray(uris) ? uris : []) {
    if (!u || !u.uri) continue;
    const uri = String(u.uri);
    if (state.get(uri) !== '使用中') state.set(uri, u.status === 'used' ? '使用中' : '备用');
  }
  if (!state.size) for (const uri of allUris(t)) state.set(uri, STOPPED.includes(String(t.status)) ? '' : '备用');
  return [...state].map(([uri, note]) => [readableUri(uri), note]);
}
// One cell per piece, or per group of pieces when there are more pieces
// than pixels; a group is as dark as the share of it that is done.
function drawPieces(canvas, hex, count, complete) {
  const { ctx, w, h } = fitCanvas(canvas);
  ctx.fillStyle = css('--line2');
  ctx.fillRect(0, 0, w, h);
  const n = count || hex.length * 4;
  if (!n) { if (complete) { ctx.fillStyle = css('--ok'); ctx.fillRect(0, 0, w, h); } return; }
  const have = (i) => { const d = parseInt(hex[i >> 2], 16); return d >= 0 ? (d >> (3 - (i & 3))) & 1 : 0; };
  ctx.fillStyle = css('--accent');
  const cells = Math.min(n, w);
  for (let c = 0; c < cells; c++) {
    const from = Math.floor((c * n) / cells), to = Math.max(from + 1, Math.floor(((c + 1) * n) / cells));
    let got = 0;
    for (let i = from; i < to; i++) got += have(i);
    if (!got) continue;
    ctx.globalAlpha = got / (to - from);
    ctx.fillRect(Math.floor((c * w) / cells), 0, Math.ceil(w / cells), h);
  }
  ctx.globalAlpha = 1;
}
$('details').addEventListener('click', async (ev) => {
  const b = ev.target.closest('button[data-d]');
  if (!b || !detailGid) return;
  const kind = b.dataset.d;
  if (kind === 'delete-files') return deleteWithFiles(detail);
  if (kind === 'remove') {
    if (!(await confirmAsk('删除任务“' + nameOf(detail) + '”？下载会停止，已下载的文件保留。', '删除'))) return;
  }
  await act(kind, detailGid, null);
  if (kind === 'forget') closeView();
});
$('d-copy').addEventListener('click', () => {
  const uris = detail ? allUris(detail) : [];
  if (uris.length) copyText(uris.join('\n'), '已复制链接');
});
// The task's options as its fields showed them when read: only a field the
// user changed is sent, since aria2 starts a running download again when
// its split or connections are set, even to the same value.
const TASK_FIELDS = [['d-opt-limit', 'max-download-limit'], ['d-opt-split', 'split'], ['d-opt-conn', 'max-connection-per-server'],
  ['d-opt-out', 'out'], ['d-opt-dir', 'dir'], ['d-opt-referer', 'referer'], ['d-opt-ua', 'user-agent'], ['d-opt-headers', 'header']];
// A new name or folder for a task that has bytes on disk would start a second
// file and leave the first behind, so these are only for one not yet begun.
const PLACE_FIELDS = ['d-opt-out', 'd-opt-dir'];
let taskShown = null;
async function loadTaskOptions(gid) {
  taskShown = null;
  for (const [id] of TASK_FIELDS) $(id).value = '';
  try {
    const o = await call('aria2.getOption', gid);
    if (gid !== detailGid) return;
    const limit = +o['max-download-limit'] || 0;
    $('d-opt-limit').value = limit ? String(Math.round(limit / 1024)) : '';
    $('d-opt-split').value = o.split || '';
    $('d-opt-conn').value = o['max-connection-per-server'] || '';
    $('d-opt-out').value = o.out || '';
    $('d-opt-dir').value = o.dir || '';
    $('d-opt-referer').value = o.referer || '';
    $('d-opt-ua').value = o['user-agent'] || '';
    $('d-opt-headers').value = Array.isArray(o.header) ? o.header.join('\n') : String(o.header || '');
    const begun = !detail || (+detail.completedLength || 0) > 0 || !!detail.bittorrent;
    for (const id of PLACE_FIELDS) $(id).disabled = begun;
    $('d-opt-note').textContent = begun ? '已开始下载的任务不能改文件名和文件夹（否则已下载的部分会留在原处）。' : '';
    taskShown = { gid };
    for (const [id] of TASK_FIELDS) taskShown[id] = $(id).value;
  } catch (e) { /* a stopped task has no options left to read */ }
}
$('d-opt-save').addEventListener('click', async () => {
  const gid = detailGid;
  if (!taskShown || taskShown.gid !== gid) { say('没有保存：这个任务的设置还没有读出（已结束的任务没有可改的设置）'); return; }
  const changed = TASK_FIELDS.filter(([id]) => $(id).value.trim() !== taskShown[id]).map(([id]) => id);
  if (!changed.length) { say('任务设置没有改动'); return; }
  const limitText = $('d-opt-limit').value.trim();
  const kb = limitText === '' ? 0 : Number(limitText);
  const split = Number($('d-opt-split').value), per = Number($('d-opt-conn').value);
  const problems = [];
  if (changed.includes('d-opt-limit') && (!Number.isFinite(kb) || kb < 0)) problems.push('限速请输入 0 或正数（KB/s）');
  if (changed.includes('d-opt-split') && (!Number.isInteger(split) || split < 1 || split > 16)) problems.push('分段数请输入 1 到 16 的整数');
  if (changed.includes('d-opt-conn') && (!Number.isInteger(per) || per < 1 || per > 16)) problems.push('每服务器连接数请输入 1 到 16 的整数');
  const out = $('d-opt-out').value.trim();
  if (changed.includes('d-opt-out') && (!out || /[\\/]/.test(out) || out === '.' || out === '..'))
    problems.push('文件名不能为空，也不能含有 / 或 \\');
  if (changed.includes('d-opt-dir') && !$('d-opt-dir').value.trim()) problems.push('保存到的文件夹不能为空');
  if (changed.some((id) => PLACE_FIELDS.includes(id)) && $('d-opt-out').disabled)
    problems.push('已开始下载的任务不能改文件名和文件夹');
  if (problems.length) { say(problems.join('；')); return; }
  const headers = $('d-opt-headers').value.split('\n').map((h) => h.trim()).filter(Boolean);
  const values = { 'd-opt-limit': String(Math.round(kb * 1024)), 'd-opt-split': String(split), 'd-opt-conn': String(per),
                   'd-opt-out': out, 'd-opt-dir': $('d-opt-dir').value.trim(), 'd-opt-referer': $('d-opt-referer').value.trim(),
                   'd-opt-ua': $('d-opt-ua').value.trim(), 'd-opt-headers': headers };
  const options = {};
  for (const [id, name] of TASK_FIELDS) if (changed.includes(id)) options[name] = values[id];
  try {
    await call('aria2.changeOption', gid, options);
    if (gid === detailGid) for (const id of changed) taskShown[id] = $(id).value.trim();
    say('任务设置已保存');
  } catch (e) { failed('保存任务设置', e); }
});

// Whether aria2 stopped the task within a few seconds.
async function stopForDeletion(gid) {
  try { await call('aria2.forceRemove', gid); } catch (e) { /* stopped meanwhile, or gone: asked below */ }
  for (let waited = 0; waited < 5000; waited += 100) {
    try {
      const status = await call('aria2.tellStatus', gid, ['status']);
      if (STOPPED.includes(String(status && status.status))) return true;
    } catch (e) { return false; }
    await new Promise((done) => setTimeout(done, 100));
  }
  return false;
}

// The page cannot touch files: the window deletes them, after checking
// with aria2 that they belong to this task and lie inside its folder.
async function deleteWithFiles(t) {
  const handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathDeleteFiles;
  if (!handler) { say('删除文件失败：这个窗口不能删除文件，请在文件管理器中删除'); return; }
  const paths = (Array.isArray(t.files) ? t.files : []).map((f) => String((f && f.path) || '')).filter(Boolean);
  if (!paths.length) { say('这个任务还没有文件，可以直接移除记录'); return; }
  const running = !STOPPED.includes(String(t.status));
  const ok = await confirmAsk('删除任务“' + nameOf(t) + '”和它的文件？\n' + paths.join('\n') +
    '\n（连同控制文件 .aria2）' + (running ? '下载会先停止。' : '') + '文件删除后不能恢复。', '删除任务和文件');
  if (!ok) return;
  // aria2 still writes into the files of a task it runs: it lets go of them
  // first, and only a task it reports stopped has its files deleted.
  if (running && !(await stopForDeletion(String(t.gid)))) {
    say('删除文件失败：aria2 没有停下这个任务，文件未删除。请稍后再试');
    return;
  }
  let reply;
  try { reply = await handler.postMessage({ gid: String(t.gid), paths }); } catch (e) { reply = null; }
  if (!reply || reply.ok !== true) {
    say('删除文件失败：' + (reply && reply.error ? String(reply.error) : '窗口没有应答，文件未删除'));
    return;
  }
  try { await call('aria2.removeDownloadResult', String(t.gid)); } catch (e) { /* the record may be gone already */ }
  say('已删除任务和 ' + (Array.isArray(reply.deleted) ? reply.deleted.length : 0) + ' 个文件');
  stoppedDirty = true;
  closeView();
  refreshSoon(0);
}
