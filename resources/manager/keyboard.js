// ---- keyboard ----
const typing = (el) => el && (el.tagName === 'TEXTAREA' || el.tagName === 'SELECT' ||
  (el.tagName === 'INPUT' && !['button', 'checkbox', 'radio'].includes(el.type)));
document.addEventListener('keydown', (ev) => {
  const ctrl = ev.ctrlKey || ev.metaKey;
  const key = ev.key;
  // Enter and Space press the button that has the focus, and only it; the
  // engine's own activation is held back so a button is never pressed twice.
  const focused = document.activeElement;
  if ((key === 'Enter' || key === ' ') && !ctrl && !ev.altKey && !ev.shiftKey && focused && focused.tagName === 'BUTTON') {
    ev.preventDefault();
    if (!focused.disabled && !focused.hidden) focused.click();
    return;
  }
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
  // Only a press of one of its buttons answers the question (above).
  if (!$('confirm').hidden) {
    if (key === 'Enter' || key === ' ') ev.preventDefault();
    return;
  }
  if (!$('new-dlg').hidden) return;
  if (ctrl && (key === 'f' || key === 'F')) {
    ev.preventDefault();
    closeView();
    searchEl.focus();
    searchEl.select();
    return;
  }
  if (typing(document.activeElement) || (document.body.dataset.view && document.body.dataset.view !== 'list')) return;
  if (ctrl && (key === 'a' || key === 'A')) { ev.preventDefault(); setSelection(view.map((t) => t.gid)); return; }
  if (ctrl || ev.altKey) return;
  if (key === ' ') {
    ev.preventDefault();
    const tasks = selectedTasks();
    const calls = tasks.filter((t) => ACTIONS.pause.includes(t.status)).map((t) => ['aria2.pause', t.gid])
      .concat(tasks.filter((t) => t.status === 'paused').map((t) => ['aria2.unpause', t.gid]));
    if (tasks.length) batch('暂停或继续', calls);
  } else if (key === 'Delete') {
    ev.preventDefault();
    removeTasks(selectedTasks());
  } else if (key === 'Enter') {
    ev.preventDefault();
    openDetails(selected.has(anchor) ? anchor : [...selected][0]);
  }
});
