// The list and the toolbars answering the user: clicks, double clicks and
// dragging rows, the toolbar buttons, tabs, search, sort and the global limit.

// The row a double-click began on: a refresh between the two clicks may
// move the list, so the second can land on another row.
let firstClickGid = '', firstClickAt = 0;
listEl.addEventListener('click', (ev) => {
  const row = ev.target.closest('.row');
  if (!row) return;
  if (ev.detail <= 1) { firstClickGid = row.dataset.gid; firstClickAt = performance.now(); }
  const button = ev.target.closest('button[data-act]');
  if (button) { act(button.dataset.act, row.dataset.gid, button); return; }
  if (ev.target.closest('a')) return;
  cursorGid = row.dataset.gid;
  selectRow(row.dataset.gid, ev);
});
listEl.addEventListener('dblclick', (ev) => {
  const row = ev.target.closest('.row');
  if (!row || ev.target.closest('button, a')) return;
  const began = performance.now() - firstClickAt < 1000 && taskOf(firstClickGid);
  openDetails(began ? firstClickGid : row.dataset.gid);
});
// Dragging a waiting task onto another puts it at that place in the queue.
let dragGid = '';
// How far below and right of the pointer the dragged label hangs, in px.
const DRAG_IMAGE_GAP = 12;
listEl.addEventListener('dragstart', (ev) => {
  const row = ev.target.closest && ev.target.closest('.row');
  if (!row || !row.draggable) return;
  dragGid = row.dataset.gid;
  if (!ev.dataTransfer) return;
  ev.dataTransfer.effectAllowed = 'move';
  ev.dataTransfer.setData('text/plain', dragGid);
  // The engine's own picture is the whole row, held where the pointer took
  // it: over the row below it covers the drop line on that row's top edge,
  // and at a display scale of 2 the picture comes out twice as large and
  // covers it wherever the row was taken. The line is always above the
  // pointer (on the top edge of the row under it), so a small label that
  // hangs below and right of the pointer cannot cover it.
  const ghost = $('drag-ghost'), t = taskOf(dragGid);
  ghost.textContent = t ? nameOf(t) : '';
  ghost.hidden = false;
  ev.dataTransfer.setDragImage(ghost, -DRAG_IMAGE_GAP, -DRAG_IMAGE_GAP);
  // The engine takes its picture as this handler returns.
  setTimeout(() => { ghost.hidden = true; }, 0);
});
const dropTarget = (ev) => {
  const row = ev.target.closest && ev.target.closest('.row');
  return row && dragGid && row.dataset.gid !== dragGid && waitingGids().includes(row.dataset.gid) ? row : null;
};
listEl.addEventListener('dragover', (ev) => {
  const row = dropTarget(ev);
  if (!row) return;
  ev.preventDefault();
  for (const r of listEl.querySelectorAll('.row.drop')) if (r !== row) r.classList.remove('drop');
  row.classList.add('drop');
});
listEl.addEventListener('dragleave', (ev) => { const row = ev.target.closest && ev.target.closest('.row'); if (row) row.classList.remove('drop'); });
listEl.addEventListener('drop', (ev) => {
  const row = dropTarget(ev);
  if (!row) return;
  ev.preventDefault();
  row.classList.remove('drop');
  const gid = dragGid;
  dragGid = '';
  // The line is drawn above the row dropped on, so the task goes before it:
  // moving down, the task's own place frees one above the line.
  const queue = waitingGids(), from = queue.indexOf(gid), at = queue.indexOf(row.dataset.gid);
  const to = from >= 0 && from < at ? at - 1 : at;
  call('aria2.changePosition', gid, to, 'POS_SET').catch((e) => failed('调整顺序', e)).then(() => refreshSoon(0));
});
listEl.addEventListener('dragend', () => { dragGid = ''; });

$('batch').addEventListener('click', (ev) => {
  const b = ev.target.closest('button[data-batch]');
  if (b) batchAct(b.dataset.batch);
});
$('select-all').addEventListener('click', () => setSelection(view.map((t) => t.gid)));
$('pause-all').addEventListener('click', () => {
  call('aria2.pauseAll').catch((e) => failed('全部暂停', e)).then(() => refreshSoon(0));
});
$('resume-all').addEventListener('click', () => {
  call('aria2.unpauseAll').catch((e) => failed('全部继续', e)).then(() => refreshSoon(0));
});
// Clears the records the question named and no others: a task that ends
// while the user reads it keeps its record.
$('purge').addEventListener('click', async () => {
  const ended = order.filter((t) => STOPPED.includes(t.status));
  if (!ended.length) { say('没有已结束的任务记录可以清除'); return; }
  const count = (status) => ended.filter((t) => t.status === status).length;
  const parts = [['complete', '已完成'], ['error', '出错'], ['removed', '已删除']]
    .filter(([status]) => count(status)).map(([status, label]) => label + ' ' + count(status) + ' 个');
  const ok = await confirmAsk('清除 ' + ended.length + ' 个已结束任务的记录（' + parts.join('、') + '）？\n' +
    (count('error') ? '出错的任务清除后不能再重试。' : '') + '已下载的文件都会保留。', '清除');
  if (!ok) return;
  try {
    const res = await forgetResults(ended.map((t) => t.gid));
    const bad = res.filter((x) => !x.ok).length;
    say('已清除 ' + (res.length - bad) + ' 个已结束任务的记录（文件保留）' + (bad ? '，' + bad + ' 个已不在 aria2 中' : ''));
  } catch (e) { failed('清除已结束', e); }
  stoppedDirty = true;
  refreshSoon(0);
});
$('tabs').addEventListener('click', (ev) => {
  const b = ev.target.closest('button[data-filter]');
  if (!b) return;
  filter = b.dataset.filter;
  for (const x of $('tabs').children) {
    x.classList.toggle('on', x === b);
    x.setAttribute('aria-selected', x === b ? 'true' : 'false');
  }
  reView(true);
});
// Searching and sorting need every task's figures: the next refresh asks
// for them at once.
searchEl.addEventListener('input', () => { const had = !!query; query = searchEl.value.trim().toLowerCase(); reView(true); if (!had && query) refreshSoon(0); });
sortEl.addEventListener('change', () => { sortKey = sortEl.value; reView(true); refreshSoon(0); });
$('sort-dir').addEventListener('click', () => {
  sortDesc = !sortDesc;
  $('sort-dir').textContent = sortDesc ? '降序' : '升序';
  $('sort-dir').setAttribute('aria-label', '排列方向：' + (sortDesc ? '降序' : '升序'));
  reView(true);
});

// aria2 counts whole bytes: the field and the message show what it got,
// so 0.5 reads 0.5 and not a rounded 1.
const kbText = (bytes) => String(+(bytes / 1024).toFixed(3));
async function loadLimit() {
  try {
    const o = await call('aria2.getGlobalOption');
    const bytes = +o['max-overall-download-limit'] || 0;
    if (document.activeElement !== limitEl) limitEl.value = bytes ? kbText(bytes) : '';
  } catch (e) { /* shown again on the next reconnect */ }
}
async function applyLimit() {
  const text = limitEl.value.trim();
  const kb = text === '' ? 0 : Number(text);
  if (!Number.isFinite(kb) || kb < 0 || kb > 1e9) { say('限速请输入 0 或正数（KB/s），0 或留空表示不限速'); return; }
  const bytes = Math.round(kb * 1024);
  if (kb > 0 && bytes < 1) { say('限速太小：aria2 最少限到每秒 1 字节（0.001 KB/s）；0 或留空表示不限速'); return; }
  const kept = await keepAria2Options({ 'max-overall-download-limit': String(bytes) });
  if (kept && kept.ok !== true) { say('限速没有保存：' + (kept.error ? String(kept.error) : '窗口没有应答')); return; }
  try {
    await call('aria2.changeGlobalOption', { 'max-overall-download-limit': String(bytes) });
    say(bytes ? '全局限速已设为 ' + kbText(bytes) + ' KB/s' : '已取消全局限速');
    if (document.activeElement !== limitEl) limitEl.value = bytes ? kbText(bytes) : '';
  } catch (e) { failed('设置限速', e); }
}
$('limit-apply').addEventListener('click', applyLimit);
limitEl.addEventListener('keydown', (ev) => { if (ev.key === 'Enter') applyLimit(); });
