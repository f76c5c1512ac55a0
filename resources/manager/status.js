// ---- status ----
// 保存会话 writes aria2's task list to the file aria2 was started with;
// without one there is nothing it could do, so it is not offered. Korvath
// keeps its own record either way, and says here what a restart does with it.
async function loadStatus() {
  try {
    const [version, session, options] = await multicall([['aria2.getVersion'], ['aria2.getSessionInfo'], ['aria2.getGlobalOption']]);
    setText($('s-version'), String(version.version || ''));
    setText($('s-features'), (Array.isArray(version.enabledFeatures) ? version.enabledFeatures : []).map(String).join('、') || '无');
    setText($('s-session'), String(session.sessionId || ''));
    const file = String(options['save-session'] || '');
    $('save-session').hidden = !file;
    $('save-session').title = file ? '把 aria2 现在的全部未完成任务写入它的会话文件 ' + file + '，aria2 下次用这个文件启动时会接着下载' : '';
    // The window answers for the aria2 it started; for another one it says
    // nothing is kept.
    const kept = await askRecord({});
    const restart = recordHandler() && !kept ? '这个 aria2 不是 Korvath 启动的，Korvath 不记录也不恢复它的任务。'
      : 'Korvath 自己记下全部下载：关闭时正在下载或排队等待的任务，下次启动时按原来的顺序自动接着下载；'
        + '暂停的任务仍然暂停；种子和磁力链接的任务按原样恢复；已完成的任务仍列在列表里，直到您移除记录'
        + (kept ? '（最多保留 ' + Number(kept.keep || 0) + ' 个，可在设置里修改）。' : '。');
    $('s-session-file').dataset.file = file;
    setText($('s-session-file'), file ? file + '。' + restart
      : '无：aria2 启动时没有指定会话文件，所以这里不能保存会话。' + restart);
  } catch (e) { failed('读取 aria2 状态', e); }
  drawCharts();
}
const openStatus = () => { showView('status'); loadStatus(); };
$('open-status').addEventListener('click', openStatus);
$('speed-chart').addEventListener('click', openStatus);
$('save-session').addEventListener('click', async () => {
  try {
    await call('aria2.saveSession');
    say('会话已保存到 ' + $('s-session-file').dataset.file);
  } catch (e) { failed('保存会话', e); }
});
// Korvath's and aria2's logs, opened the way a task's folder is.
{
  const logs = new URLSearchParams(location.hash.replace(/^#/, '')).get('logs') || '';
  if (logs) $('open-logs').href = 'korvath-folder:' + encodeURIComponent(logs);
  $('s-logs').hidden = !logs;
}
