// ---- keyboard ----
const typing = (el) => el && (el.tagName === 'TEXTAREA' || el.tagName === 'SELECT' ||
  (el.tagName === 'INPUT' && !['button', 'checkbox', 'radio'].includes(el.type)));
document.addEventListener('keydown', (ev) => {
  const ctrl = ev.ctrlKey || ev.metaKey;
  const key = ev.key;
  // Enter and Space press the button that has the focus, and only it; the
  // engine's own activation is held back so a button is never pressed twice.
  const focused = document.activeElement;
  // A key held down presses once: its repeats would answer the question
  // or confirm the 确认删除 that its first press brought up.
  if ((key === 'Enter' || key === ' ') && !ctrl && !ev.altKey && !ev.shiftKey && focused && focused.tagName === 'BUTTON') {
    ev.preventDefault();
    if (!ev.repeat && !focused.disabled && !focused.hidden) focused.click();
    return;
  }
  if (!$('row-menu').hidden) { menuKey(ev); return; }
  if (key === 'Escape') {
    if (!$('confirm').hidden) confirmEnd(false);
    else if (!$('new-dlg').hidden) closeNew();
    else if (document.body.dataset.view && document.body.dataset.view !== 'list') closeView();
    else if (document.activeElement === searchEl && searchEl.value) { searchEl.value = ''; query = ''; reView(true); }
    else if (selected.size) setSelection([]);
    else return;
    ev.preventDefault();
    return;
  }
  // An open dialog keeps Tab among its own controls.
  const dialog = !$('confirm').hidden ? $('confirm') : !$('new-dlg').hidden ? $('new-dlg') : null;
  if (dialog && key === 'Tab' && !ctrl && !ev.altKey) {
    const stops = [...dialog.querySelectorAll('button, input, textarea, select')].filter((el) => !el.disabled && !el.hidden);
    const i = stops.indexOf(focused);
    const next = i < 0 ? (ev.shiftKey ? stops.length - 1 : 0)
      : ev.shiftKey && i === 0 ? stops.length - 1 : !ev.shiftKey && i === stops.length - 1 ? 0 : -1;
    if (next >= 0 && stops.length) { ev.preventDefault(); stops[next].focus(); }
    return;
  }
  // Only a press of one of its buttons answers the question (above).
  if (!$('confirm').hidden) {
    if (key === 'Enter' || key === ' ') ev.preventDefault();
    return;
  }
  if (!$('new-dlg').hidden) {
    if (ctrl && key === 'Enter') { ev.preventDefault(); addNew(); }
    return;
  }
  if (ctrl && (key === 'f' || key === 'F')) {
    ev.preventDefault();
    closeView();
    searchEl.focus();
    searchEl.select();
    return;
  }
  if (typing(document.activeElement) || (document.body.dataset.view && document.body.dataset.view !== 'list')) return;
  if (ctrl && (key === 'a' || key === 'A')) { ev.preventDefault(); setSelection(view.map((t) => t.gid)); return; }
  // The row's actions as a menu, from the list or from nowhere in particular.
  if ((key === 'ContextMenu' || (key === 'F10' && ev.shiftKey && !ctrl && !ev.altKey)) &&
      (focused === document.body || (focused && focused.classList.contains('row')))) {
    ev.preventDefault();
    openMenuAtRow();
    return;
  }
  // Within the tabs the arrows, Home and End go from tab to tab and show
  // its tasks, as tabs do elsewhere on the desktop.
  const tabKeys = { ArrowLeft: -1, ArrowRight: 1, Home: 'home', End: 'end' };
  if (key in tabKeys && !ev.altKey && !ev.shiftKey && focused && focused.getAttribute('role') === 'tab') {
    ev.preventDefault();
    const tabs = [...$('tabs').children], i = tabs.indexOf(focused), m = tabKeys[key];
    const to = tabs[m === 'home' ? 0 : m === 'end' ? tabs.length - 1 : (i + m + tabs.length) % tabs.length];
    to.focus();
    to.click();
    return;
  }
  // Arrows, Home and End walk the list from a row or from nowhere in
  // particular; Shift extends the selection, Ctrl moves only the focus.
  const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: 'page', PageUp: '-page', Home: 'home', End: 'end' };
  if (key in moves && !ev.altKey && (focused === document.body || (focused && focused.classList.contains('row')))) {
    ev.preventDefault();
    const page = Math.max(1, Math.floor((scrollEl.clientHeight || 600) / ROW_H) - 1);
    const i = cursorIndex(), m = moves[key];
    focusRow(m === 'home' ? 0 : m === 'end' ? view.length - 1 : i < 0 ? 0 :
      i + (m === 'page' ? page : m === '-page' ? -page : m), ev);
    return;
  }
  if (ctrl || ev.altKey) return;
  // A link (打开文件夹) keeps its own Enter.
  if (focused && focused.tagName === 'A') return;
  // On a row reached with Tab, the keys act on that row, not on a
  // selection elsewhere.
  const row = focused && focused.classList && focused.classList.contains('row') ? focused.dataset.gid : '';
  if (row && !selected.has(row) && [' ', 'Delete', 'Enter'].includes(key)) setSelection([row]);
  if (key === ' ') {
    ev.preventDefault();
    const tasks = selectedTasks();
    const pause = tasks.filter((t) => ACTIONS.pause.includes(t.status)), resume = tasks.filter((t) => t.status === 'paused');
    const done = [pause.length ? '暂停 ' + pause.length + ' 个' : '', resume.length ? '继续 ' + resume.length + ' 个' : '']
      .filter(Boolean).join('、');
    if (tasks.length) batch('暂停或继续', pause.map((t) => ['aria2.pause', t.gid]).concat(resume.map((t) => ['aria2.unpause', t.gid])),
      '已' + done + '任务');
  } else if (key === 'Delete') {
    ev.preventDefault();
    removeTasks(selectedTasks());
  } else if (key === 'Enter') {
    ev.preventDefault();
    openDetails(row || (selected.has(anchor) ? anchor : [...selected][0]));
  }
});
