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
function setLink(state) {
  if (state === 'ok') {
    if (link !== 'ok') {
      noticeEl.hidden = true;
      scrollEl.classList.remove('stale');
      linkEl.textContent = '已连接';
      linkEl.className = 'ok';
      loadLimit();
      settingsReconnected();
    }
  } else {
    const text = state === 'auth'
      ? 'aria2 拒绝了访问密钥（Unauthorized）。请关闭并重新打开下载管理窗口；本页仍在每秒重试。'
      : '无法连接到 aria2（' + conn.label + '）：没有应答。本页每秒重试，aria2 恢复后会自动刷新。';
    if (noticeEl.textContent !== text) noticeEl.textContent = text;
    noticeEl.hidden = false;
    emptyEl.hidden = true;
    speedEl.textContent = '↓ —';
    upEl.textContent = '↑ —';
    scrollEl.classList.add('stale');
    linkEl.textContent = state === 'auth' ? '密钥错误' : '未连接';
    linkEl.className = 'bad';
  }
  link = state;
  document.body.dataset.link = state;
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
