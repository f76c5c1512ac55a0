// The actions of the selected rows as a menu: Shift+F10 or the menu key on
// the list, or a right click on a row. It offers what the batch bar and the
// row's buttons do, so the keyboard reaches every one of them from the one
// Tab stop the list is.

let menuFrom = null;
function menuItems() {
  const tasks = selectedTasks();
  const has = (states) => tasks.some((t) => states.includes(t.status));
  const queued = waitingGids().some((g) => selected.has(g));
  const one = tasks.length === 1 ? tasks[0] : null;
  const folderLink = one && rows.get(one.gid) && !rows.get(one.gid).open.hidden ? rows.get(one.gid).open : null;
  return [
    [one, '详情', () => openDetails(one.gid)],
    [folderLink, '打开文件夹', () => folderLink.click()],
    [null, '-'],
    [has(ACTIONS.pause), '暂停', () => batchAct('pause')],
    [has(['paused']), '继续', () => batchAct('resume')],
    [tasks.some((t) => ACTIONS.retry.includes(t.status) && retryUris(t).length), '重试', () => batchAct('retry')],
    [tasks.some((t) => allUris(t).length), '复制链接', () => batchAct('copy')],
    [null, '-'],
    [queued, '置顶', () => batchAct('top')],
    [queued, '上移', () => batchAct('up')],
    [queued, '下移', () => batchAct('down')],
    [queued, '置底', () => batchAct('bottom')],
    [null, '-'],
    // Asks first, naming the tasks.
    [tasks.length, '删除…', () => batchAct('remove')],
  ];
}
// x, y: where to open (the pointer, or the row the keyboard is on).
function openRowMenu(x, y) {
  if (!selected.size) return;
  const list = $('row-menu-list');
  list.textContent = '';
  let gap = false;
  for (const [shown, label, run] of menuItems()) {
    if (label === '-') { gap = list.childNodes.length > 0; continue; }
    if (!shown) continue;
    if (gap) { list.appendChild(document.createElement('hr')); gap = false; }
    const b = document.createElement('button');
    b.type = 'button';
    b.setAttribute('role', 'menuitem');
    b.tabIndex = -1;
    b.textContent = label;
    // The focus goes back to the row first: a view or question the item
    // opens returns it there.
    b.addEventListener('click', () => { closeRowMenu(); run(); });
    list.appendChild(b);
  }
  menuFrom = focusPlace();
  $('row-menu').hidden = false;
  justAppeared($('row-menu'));
  cover();
  // Inside the window, below and right of the point when there is room.
  const w = list.offsetWidth, h = list.offsetHeight;
  list.style.left = Math.max(0, Math.min(x, innerWidth - w)) + 'px';
  list.style.top = Math.max(0, y + h > innerHeight ? y - h : y) + 'px';
  list.firstChild.focus();
}
function closeRowMenu() {
  if ($('row-menu').hidden) return;
  $('row-menu').hidden = true;
  cover();
  const from = menuFrom;
  menuFrom = null;
  focusBack(from);
}
function menuKey(ev) {
  const items = [...$('row-menu-list').querySelectorAll('button')];
  const i = items.indexOf(document.activeElement);
  const to = { ArrowDown: i + 1, ArrowUp: i - 1, Home: 0, End: items.length - 1 }[ev.key];
  if (to !== undefined) {
    ev.preventDefault();
    items[(to + items.length) % items.length].focus();
  } else if (ev.key === 'Tab' || ev.key === 'Escape' || ev.key === 'ContextMenu' || (ev.key === 'F10' && ev.shiftKey)) {
    ev.preventDefault();
    closeRowMenu();
  }
}
// A click beside the menu closes it.
$('row-menu').addEventListener('click', (ev) => { if (ev.target === $('row-menu')) closeRowMenu(); });
$('row-menu').addEventListener('contextmenu', (ev) => { ev.preventDefault(); if (ev.target === $('row-menu')) closeRowMenu(); });
// A right click on a row: the row joins the selection as a plain click
// would choose it, then its menu opens at the pointer.
listEl.addEventListener('contextmenu', (ev) => {
  const row = ev.target.closest('.row');
  if (!row) return;
  ev.preventDefault();
  if (!selected.has(row.dataset.gid)) { cursorGid = row.dataset.gid; setSelection([row.dataset.gid]); }
  if (ev.clientX || ev.clientY) openRowMenu(ev.clientX, ev.clientY);
  else openMenuAtRow();
});
// From the keyboard: at the row with the focus, or the first selected one.
function openMenuAtRow() {
  const focused = document.activeElement;
  let row = focused && focused.classList && focused.classList.contains('row') ? focused : null;
  if (row && !selected.has(row.dataset.gid)) setSelection([row.dataset.gid]);
  if (!row) { const r = rows.get(cursorGid) || rows.get(anchor); row = r && r.el.isConnected ? r.el : null; }
  const box = row ? row.getBoundingClientRect() : scrollEl.getBoundingClientRect();
  openRowMenu(box.left + 40, row ? box.bottom - 8 : box.top);
}
