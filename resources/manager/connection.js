// Talking to aria2: JSON-RPC calls, the state of the link, and the notices
// that tell the user about either.

// ---- aria2 JSON-RPC ----
class RpcError extends Error {
  constructor(kind, message) { super(message); this.kind = kind; }
}
let rpcId = 0;
async function post(method, params) {
  const ctl = new AbortController();
  const timer = setTimeout(() => ctl.abort(), RPC_TIMEOUT_MS);
  let res, body;
  try {
    res = await fetch(conn.rpcUrl, {
      method: 'POST', cache: 'no-store', signal: ctl.signal,
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify({ jsonrpc: '2.0', id: 'korvath-' + (++rpcId), method, params }),
    });
    body = await res.json().catch(() => null);
  } catch (e) {
    throw new RpcError('down', 'no answer');
  } finally {
    clearTimeout(timer);
  }
  if (body && body.error) throw fault(body.error);
  if (!res.ok || !body || !('result' in body)) throw new RpcError('rpc', 'HTTP ' + res.status);
  return body.result;
}
// aria2's own refusal, in its words; reason() puts them under the page's.
function fault(e) {
  const message = String((e && e.message) || 'error');
  const error = new RpcError(message === 'Unauthorized' ? 'auth' : 'rpc', message);
  error.aria2 = true;
  return error;
}
const call = (method, ...params) => post(method, token.concat(params));
// Several calls in one request; each result comes back or throws.
async function multicall(calls) {
  const results = await post('system.multicall', [calls.map(([methodName, ...params]) =>
    ({ methodName, params: token.concat(params) }))]);
  return results.map((x) => {
    if (Array.isArray(x)) return x[0];
    throw fault(x);
  });
}
// Like multicall, but a failing call gives its error instead of throwing.
async function multicallSettled(calls) {
  const results = await post('system.multicall', [calls.map(([methodName, ...params]) =>
    ({ methodName, params: token.concat(params) }))]);
  return results.map((x) => (Array.isArray(x) ? { ok: true, value: x[0] } : { ok: false, error: fault(x) }));
}

// ---- connection state and notices ----
let link = 'connecting';
// What Korvath knows of aria2 beyond this page's own link: that it is
// bringing its aria2 back, has given up on it, or cannot reach a remote one.
const engineHandler = () => window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathEngine;
const ENGINE_NOTICES = {
  restarting: ['正在重启', () => '下载引擎 aria2 意外退出或停止了响应，Korvath 正在重新启动它；未完成的下载会继续，本页会自动重连。'],
  given_up: ['已停止', () => '下载引擎 aria2 多次意外退出，Korvath 已不再自动重新启动它，暂时无法下载。请关闭并重新启动 Korvath。'],
  unreachable: ['远程无应答', () => '远程 aria2（' + conn.label + '）没有应答：它所在的电脑可能已休眠或断网。本页每秒重试，恢复后会自动刷新。'],
};
async function engineState() {
  const handler = engineHandler();
  if (!handler) return '';
  try { return String(((await handler.postMessage({})) || {}).state || ''); } catch (e) { return ''; }
}
// The last answer while the link is down, so that each retry shows it at once.
let engineNotice = null;
async function explainLostLink() {
  const notice = ENGINE_NOTICES[await engineState()] || null;
  if (link !== 'down') return;
  engineNotice = notice;
  showLostLink();
}
function showLostLink() {
  const text = engineNotice ? engineNotice[1]()
    : '无法连接到 aria2（' + conn.label + '）：没有应答。本页每秒重试，aria2 恢复后会自动刷新。';
  if (noticeEl.textContent !== text) noticeEl.textContent = text;
  linkEl.textContent = engineNotice ? engineNotice[0] : '未连接';
}
async function tellIfRestarted() {
  if (await engineState() === 'restarted') say('下载引擎 aria2 已重新启动，未完成的下载会继续。');
}
function setLink(state) {
  if (state === 'ok') {
    engineNotice = null;
    if (link !== 'ok') {
      if (link === 'down') tellIfRestarted();
      noticeEl.hidden = true;
      scrollEl.classList.remove('stale');
      linkEl.textContent = '已连接';
      linkEl.className = 'ok';
      loadLimit();
      settingsReconnected();
    }
  } else {
    if (state === 'auth') {
      const text = 'aria2 拒绝了访问密钥（Unauthorized）。请关闭并重新打开下载管理窗口；本页仍在每秒重试。';
      if (noticeEl.textContent !== text) noticeEl.textContent = text;
      linkEl.textContent = '密钥错误';
    } else {
      showLostLink();
    }
    noticeEl.hidden = false;
    emptyEl.hidden = true;
    speedEl.textContent = '↓ —';
    upEl.textContent = '↑ —';
    scrollEl.classList.add('stale');
    linkEl.className = 'bad';
  }
  link = state;
  document.body.dataset.link = state;
  if (state === 'down') explainLostLink();
}
let msgTimer = 0;
function say(text) {
  msgEl.textContent = text;
  msgEl.hidden = false;
  clearTimeout(msgTimer);
  msgTimer = setTimeout(() => { msgEl.hidden = true; }, 6000);
}
function reason(e) {
  if (e && e.kind === 'down') return 'aria2 没有应答';
  if (e && e.kind === 'auth') return 'aria2 拒绝了访问密钥';
  if (e && e.aria2) return 'aria2 拒绝了这个请求（aria2 的说明：' + e.message + '）';
  return String((e && e.message) || e);
}
function failed(what, e) {
  if (e && (e.kind === 'down' || e.kind === 'auth')) { setLink(e.kind); refreshSoon(0); }
  say(what + '失败：' + reason(e));
}
