// What the buttons of one task do, and the in-page confirmation they ask for.

// ---- confirmation, inside the page so no modal dialog blocks the window ----
let confirmDone = null, confirmFrom = null;
// Every question asked here is about removing something, so 取消 has the
// focus: a stray Enter keeps what the user has.
function confirmAsk(text, okText) {
  if (confirmDone) confirmDone(false);
  else confirmFrom = focusPlace();
  $('confirm-text').textContent = text;
  $('confirm-ok').textContent = okText || '确定';
  $('confirm').hidden = false;
  justAppeared($('confirm'));
  cover();
  $('confirm-cancel').focus();
  return new Promise((resolve) => { confirmDone = resolve; });
}
function confirmEnd(ok) {
  $('confirm').hidden = true;
  const done = confirmDone, from = confirmFrom;
  confirmDone = null;
  confirmFrom = null;
  cover();
  // Back where the keyboard was, so the next key goes on from there.
  focusBack(from);
  if (done) done(ok);
}
$('confirm-ok').addEventListener('click', () => confirmEnd(true));
$('confirm-cancel').addEventListener('click', () => confirmEnd(false));

// ---- actions on one task ----
function disarm(b) {
  if (b && b.classList.contains('armed')) { b.classList.remove('armed'); b.textContent = '删除'; }
}
const QUEUE_MOVES = { top: [0, 'POS_SET'], up: [-1, 'POS_CUR'], down: [1, 'POS_CUR'], bottom: [0, 'POS_END'] };
const ACT_NAMES = { pause: '暂停', resume: '继续', remove: '删除', forget: '移除记录', retry: '重试',
                    top: '置顶', up: '上移', down: '下移', bottom: '置底' };
async function act(kind, gid, button) {
  try {
    if (kind === 'pause') await call('aria2.pause', gid);
    else if (kind === 'resume') await call('aria2.unpause', gid);
    else if (kind === 'remove') {
      // Deleting a running task loses its place; ask once, inline.
      // The row counts as moved: a click of the same double click, or a
      // second one too soon after, does not answer.
      if (button && !button.classList.contains('armed')) {
        button.classList.add('armed');
        button.textContent = '确认删除';
        const row = button.closest('.row');
        if (row) justAppeared(row);
        setTimeout(() => disarm(button), 4000);
        return;
      }
      disarm(button);
      await call('aria2.remove', gid);
      stoppedDirty = true;
    } else if (kind === 'forget') {
      const [res] = await forgetResults([gid]);
      if (!res.ok) throw res.error || new RpcError('rpc', '记录已不在');
      stoppedDirty = true;
    } else if (kind === 'retry') {
      await retry(gid);
      stoppedDirty = true;
    } else if (QUEUE_MOVES[kind]) {
      await call('aria2.changePosition', gid, ...QUEUE_MOVES[kind]);
    }
  } catch (e) {
    failed(ACT_NAMES[kind], e);
  }
  refreshSoon(0);
}
// A failed task is added again with the links and options it had, then its
// old entry goes, so the list shows the task once.
async function retry(gid) {
  const [options, status] = await multicall([['aria2.getOption', gid], ['aria2.tellStatus', gid, KEYS]]);
  const uris = retryUris(status);
  if (!uris.length) throw new RpcError('rpc', '没有可用的下载链接');
  rankAdded([await call('aria2.addUri', uris, options)]);
  try { await call('aria2.removeDownloadResult', gid); } catch (e) { /* already gone */ }
}
