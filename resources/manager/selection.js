// ---- selection ----
const selected = new Set();
let anchor = '';
function setSelection(gids, keepAnchor) {
  selected.clear();
  for (const g of gids) selected.add(g);
  if (!keepAnchor) anchor = gids.length ? gids[gids.length - 1] : '';
  paint();
  updateBatch();
}
function selectRow(gid, ev) {
  if (ev.shiftKey && anchor) {
    const a = view.findIndex((t) => t.gid === anchor), b = view.findIndex((t) => t.gid === gid);
    if (a >= 0 && b >= 0) {
      const [from, to] = a < b ? [a, b] : [b, a];
      const range = view.slice(from, to + 1).map((t) => t.gid);
      setSelection(ev.ctrlKey ? [...new Set([...selected, ...range])] : range, true);
      return;
    }
  }
  if (ev.ctrlKey || ev.metaKey) {
    if (selected.has(gid)) selected.delete(gid); else selected.add(gid);
    anchor = gid;
    paint();
    updateBatch();
    return;
  }
  setSelection([gid]);
}
const selectedTasks = () => [...selected].map(taskOf).filter(Boolean);

// ---- the row with the keyboard's focus ----
// Only it is in the Tab order; the arrow keys move it, as in a file list.
let cursorGid = '';
function focusRow(i, ev) {
  if (!view.length) return;
  i = Math.max(0, Math.min(view.length - 1, i));
  const gid = view[i].gid;
  cursorGid = gid;
  // Rows exist only near the viewport: bring this one in before focusing it.
  const top = i * ROW_H, height = scrollEl.clientHeight || 600;
  if (top < scrollEl.scrollTop) scrollEl.scrollTop = top;
  else if (top + ROW_H > scrollEl.scrollTop + height) scrollEl.scrollTop = top + ROW_H - height;
  if (ev && ev.ctrlKey) paint();
  else selectRow(gid, { shiftKey: !!(ev && ev.shiftKey), ctrlKey: false });
  const r = rows.get(gid);
  if (r) r.el.focus({ preventScroll: true });
}
function cursorIndex() {
  const at = (gid) => (gid ? view.findIndex((t) => t.gid === gid) : -1);
  const i = at(cursorGid);
  return i >= 0 ? i : at(anchor);
}
// A row reached with Tab or the mouse is where the arrows go on from.
listEl.addEventListener('focusin', (ev) => { if (ev.target.classList.contains('row')) cursorGid = ev.target.dataset.gid; });
function updateBatch() {
  const n = selected.size;
  if ($('batch').hidden && n) justAppeared($('batch'));
  $('batch').hidden = n === 0;
  if (n) setText($('batch-count'), '已选 ' + n + ' 项');
}

// Runs one call per task in one request and says what happened.
// done: the message when every call succeeded, if not "已<what> N 个任务".
async function batch(what, calls, done) {
  if (!calls.length) { say('所选任务中没有可以' + what + '的'); return; }
  try {
    const res = await multicallSettled(calls);
    const bad = res.filter((x) => !x.ok);
    if (bad.length) say(what + '：' + (res.length - bad.length) + ' 个成功，' + bad.length + ' 个失败（' + reason(bad[0].error) + '）');
    else say(done || '已' + what + ' ' + res.length + ' 个任务');
  } catch (e) {
    failed(what, e);
  }
  stoppedDirty = true;
  refreshSoon(0);
}
async function batchAct(kind) {
  const tasks = selectedTasks();
  if (kind === 'clear') { setSelection([]); return; }
  if (kind === 'pause') return batch('暂停', tasks.filter((t) => ACTIONS.pause.includes(t.status)).map((t) => ['aria2.pause', t.gid]));
  if (kind === 'resume') return batch('继续', tasks.filter((t) => t.status === 'paused').map((t) => ['aria2.unpause', t.gid]));
  if (kind === 'remove') return removeTasks(tasks);
  if (kind === 'copy') {
    const uris = [...new Set(tasks.flatMap(allUris))];
    if (!uris.length) { say('所选任务没有可复制的链接'); return; }
    copyText(uris.join('\n'), '已复制 ' + uris.length + ' 个链接');
    return;
  }
  if (kind === 'retry') {
    const list = tasks.filter((t) => ACTIONS.retry.includes(t.status) && retryUris(t).length);
    if (!list.length) { say('所选任务中没有可以重试的'); return; }
    let bad = 0, last = null;
    for (const t of list) { try { await retry(t.gid); } catch (e) { bad++; last = e; } }
    say(bad ? '重试：' + (list.length - bad) + ' 个成功，' + bad + ' 个失败（' + reason(last) + '）' : '已重试 ' + list.length + ' 个任务');
    stoppedDirty = true;
    refreshSoon(0);
    return;
  }
  if (kind === 'up' || kind === 'down') return stepSelection(kind);
  if (QUEUE_MOVES[kind]) {
    // In queue order, so several tasks keep their order among themselves.
    let list = waitingGids().filter((g) => selected.has(g));
    if (kind === 'top') list = list.reverse();
    return batch(ACT_NAMES[kind], list.map((g) => ['aria2.changePosition', g, ...QUEUE_MOVES[kind]]));
  }
}
// One place up or down for each selected task that has an unselected task
// there to pass: selected tasks at the head (or tail) stay, and those next
// to them stay behind them, instead of trading places among themselves.
function stepSelection(kind) {
  const queue = waitingGids(), next = queue.slice();
  const swap = (i, j) => { const x = next[i]; next[i] = next[j]; next[j] = x; };
  let moved = 0;
  if (kind === 'up') {
    for (let i = 1; i < next.length; i++) if (selected.has(next[i]) && !selected.has(next[i - 1])) { swap(i, i - 1); moved++; }
  } else {
    for (let i = next.length - 2; i >= 0; i--) if (selected.has(next[i]) && !selected.has(next[i + 1])) { swap(i, i + 1); moved++; }
  }
  if (!moved) {
    say(queue.some((g) => selected.has(g)) ? '所选任务已在队列' + (kind === 'up' ? '最前' : '最后') : '所选任务中没有可以' + ACT_NAMES[kind] + '的');
    return;
  }
  // Placing each task of the changed stretch at its index, from the top
  // down, builds the new order whatever aria2 moved in between.
  let first = 0, last = next.length - 1;
  while (next[first] === queue[first]) first++;
  while (next[last] === queue[last]) last--;
  const calls = [];
  for (let i = first; i <= last; i++) calls.push(['aria2.changePosition', next[i], i, 'POS_SET']);
  return batch(ACT_NAMES[kind], calls, '已' + ACT_NAMES[kind] + ' ' + moved + ' 个任务');
}
async function removeTasks(tasks) {
  if (!tasks.length) return;
  const running = tasks.filter((t) => ACTIONS.remove.includes(t.status));
  const records = tasks.filter((t) => STOPPED.includes(t.status));
  const names = tasks.slice(0, 5).map((t) => '  ' + nameOf(t)).join('\n') + (tasks.length > 5 ? '\n  ……' : '');
  const ok = await confirmAsk('删除所选的 ' + tasks.length + ' 个任务？\n' + names +
    '\n未完成的任务会停止下载，已结束的任务只移除记录，文件都会保留。', '删除');
  if (!ok) return;
  const kept = records.filter((t) => isKept(t.gid));
  if (kept.length) await forgetResults(kept.map((t) => t.gid));
  const own = records.filter((t) => !isKept(t.gid));
  if (own.length) askRecord({ forget: own.map((t) => t.gid) });
  if (!running.length && !own.length) { say('已删除 ' + kept.length + ' 个任务的记录'); stoppedDirty = true; refreshSoon(0); return; }
  await batch('删除', running.map((t) => ['aria2.remove', t.gid])
    .concat(own.map((t) => ['aria2.removeDownloadResult', t.gid])));
}
function copyText(text, done) {
  // execCommand works without a clipboard permission as long as the user
  // just clicked or pressed a key, which is when this runs.
  const area = document.createElement('textarea');
  area.value = text;
  area.style.position = 'fixed';
  area.style.opacity = '0';
  document.body.appendChild(area);
  area.select();
  let ok = false;
  try { ok = document.execCommand('copy'); } catch (e) { ok = false; }
  area.remove();
  if (ok) { say(done); return; }
  if (navigator.clipboard) navigator.clipboard.writeText(text).then(() => say(done), () => say('复制失败：系统剪贴板不可用'));
  else say('复制失败：系统剪贴板不可用');
}
