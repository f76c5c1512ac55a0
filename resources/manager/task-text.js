// A task in words: sizes, times, names, error texts, and whether a finished
// file matches its share page.

// ---- formatting ----
const UNITS = ['B', 'KB', 'MB', 'GB', 'TB', 'PB'];
function fmtBytes(n) {
  if (!(n > 0)) return '0 B';
  let i = 0;
  while (n >= 1024 && i < UNITS.length - 1) { n /= 1024; i++; }
  return (i ? n.toFixed(n < 100 ? 2 : 1) : String(n)) + ' ' + UNITS[i];
}
function fmtDuration(s) {
  s = Math.ceil(s);
  if (s < 60) return s + '秒';
  const m = Math.floor(s / 60);
  if (m < 60) return m + '分' + (s % 60) + '秒';
  const h = Math.floor(m / 60);
  if (h < 24) return h + '小时' + (m % 60) + '分';
  const d = Math.floor(h / 24);
  return d > 99 ? '超过99天' : d + '天' + (h % 24) + '小时';
}
function nameFromUri(uri) {
  const path = uri.replace(/[?#].*$/, '');
  const seg = path.slice(path.lastIndexOf('/') + 1);
  try { return decodeURIComponent(seg) || uri; } catch (e) { return seg || uri; }
}
function taskName(t) {
  const bt = t.bittorrent;
  if (bt && bt.info && bt.info.name) return String(bt.info.name);
  const f = Array.isArray(t.files) ? t.files[0] : null;
  if (f) {
    if (f.path) {
      const p = String(f.path);
      return p.slice(p.lastIndexOf('/') + 1) || p;
    }
    if (f.uris && f.uris[0] && f.uris[0].uri) return nameFromUri(String(f.uris[0].uri));
  }
  return String(t.gid);
}
// Names are asked for on every refresh by search and sort; the file list
// they come from rarely changes, so each is worked out once per path.
const nameCache = new Map();
function nameOf(t) {
  const f = Array.isArray(t.files) ? t.files[0] : null;
  const key = (f && (f.path || (f.uris && f.uris[0] && f.uris[0].uri))) || '';
  const c = nameCache.get(t.gid);
  if (c && c.key === key && !t.bittorrent) return c.name;
  const name = taskName(t);
  nameCache.set(t.gid, { key, name, lower: name.toLowerCase() });
  return name;
}
const lowerNameOf = (t) => { nameOf(t); return nameCache.get(t.gid).lower; };
function folderOf(t) {
  const f = Array.isArray(t.files) ? t.files[0] : null;
  return String((f && f.path) || t.dir || '');
}
// The links a task can be fetched from again; empty when it is not a plain
// single-file download (a torrent or metalink cannot be re-added by URI).
function retryUris(t) {
  if (t.bittorrent || !Array.isArray(t.files) || t.files.length !== 1) return [];
  const seen = new Set();
  for (const u of t.files[0].uris || []) if (u && u.uri) seen.add(String(u.uri));
  return [...seen];
}
function allUris(t) {
  const seen = new Set();
  if (Array.isArray(t.files)) for (const f of t.files) for (const u of (f && f.uris) || []) if (u && u.uri) seen.add(String(u.uri));
  return [...seen];
}
// The share page's links expire; a server refusing one (401, 403, 410, or
// aria2's 22 and 24 without a server-side fault) is nearly always that, and
// the way on is the share page, not "retry".
const EXPIRED_TEXT = '下载链接已过期或被服务器拒绝。请在分享页上再点击一次这个文件，下载会接着已下载的部分继续。';
function linkExpired(code, message) {
  const status = +((/status=(\d{3})/.exec(message) || [])[1] || 0);
  return [401, 403, 410].includes(status) || ((code === '22' || code === '24') && status < 500);
}
// aria2 gives up on a server it cannot reach after its few spaced tries and
// says so only in English, under the catch-all code 1.
const UNREACHABLE_TEXT = '无法连接服务器：网络已断开或服务器已关闭。网络恢复后请点“重试”，或在分享页上再点击一次这个文件';
function serverUnreachable(message) {
  return /Connection refused|Network is unreachable|No route to host|Failed to establish connection|timed out/i.test(message);
}
function errorText(t) {
  const code = t.errorCode && t.errorCode !== '0' ? String(t.errorCode) : '';
  const message = t.errorMessage ? String(t.errorMessage) : '';
  const status = +((/status=(\d{3})/.exec(message) || [])[1] || 0);
  const explained = linkExpired(code, message) ? EXPIRED_TEXT
    : code === '22' && status >= 500 ? '服务器出错（HTTP ' + status + '），请稍后重试'
    : (code === '1' || code === '2' || code === '6') && serverUnreachable(message) ? UNREACHABLE_TEXT
    : code && ERROR_TEXTS[+code] ? ERROR_TEXTS[+code] : '';
  return { code, explained, message, expired: linkExpired(code, message) };
}

// A complete download may be an error page the server sent in place of
// the file (an expired link answered with status 200). Only the window can
// read the file, so it is asked once per task; the row waits as "已完成".
const arrivals = new Map();  // gid -> the mismatch text, '' for a match, null while asked
function mismatchOf(t) {
  const handler = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathArrivalCheck;
  if (!handler || t.status !== 'complete') return '';
  const gid = String(t.gid);
  if (arrivals.has(gid)) return arrivals.get(gid) || '';
  arrivals.set(gid, null);
  const again = () => arrivals.delete(gid);
  handler.postMessage({ gid }).then((reply) => {
    if (!reply || reply.ok !== true) { again(); return; }
    arrivals.set(gid, String(reply.mismatch || ''));
    if (reply.mismatch) paintSoon();
  }, again);
  return '';
}
