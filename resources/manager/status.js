// ---- status ----
async function loadStatus() {
  try {
    const [version, session] = await multicall([['aria2.getVersion'], ['aria2.getSessionInfo']]);
    setText($('s-version'), String(version.version || ''));
    setText($('s-features'), (Array.isArray(version.enabledFeatures) ? version.enabledFeatures : []).map(String).join('、') || '无');
    setText($('s-session'), String(session.sessionId || ''));
  } catch (e) { failed('读取 aria2 状态', e); }
  drawCharts();
}
const openStatus = () => { showView('status'); loadStatus(); };
$('open-status').addEventListener('click', openStatus);
$('speed-chart').addEventListener('click', openStatus);
$('save-session').addEventListener('click', async () => {
  try {
    await call('aria2.saveSession');
    say('会话已保存');
  } catch (e) {
    failed('保存会话', e.kind === 'rpc' ? new RpcError('rpc', e.message + '（aria2 启动时没有指定会话文件）') : e);
  }
});
