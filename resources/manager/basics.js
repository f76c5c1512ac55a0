// What every other part reads: where aria2 is, which task fields are asked
// for, the task states and their actions, and the page's main elements.

// ---- where aria2 is: the one place that knows ----
// An aria2 on another machine comes as its whole address ("rpc"); its
// folders are not on this machine, so none is offered to open.
function connectionSettings() {
  const hash = new URLSearchParams(location.hash.replace(/^#/, ''));
  const remote = hash.get('rpc') || '';
  if (/^(https?|wss?):\/\/[^\/?#]+/.test(remote)) {
    const rpcUrl = remote.replace(/^ws/, 'http');
    return {
      remote: true,
      secret: hash.get('secret') || '',
      rpcUrl,
      wsUrl: rpcUrl.replace(/^http/, 'ws'),
      label: rpcUrl.replace(/^https?:\/\//, '').replace(/[\/?#].*$/, ''),
    };
  }
  const portText = hash.get('port') || '';
  const port = /^\d{1,5}$/.test(portText) && +portText > 0 && +portText < 65536 ? +portText : 6800;
  return {
    port,
    secret: hash.get('secret') || '',
    rpcUrl: 'http://127.0.0.1:' + port + '/jsonrpc',
    wsUrl: 'ws://127.0.0.1:' + port + '/jsonrpc',
    label: '127.0.0.1:' + port,
  };
}
const conn = connectionSettings();
const token = conn.secret ? ['token:' + conn.secret] : [];

// Only what a row shows: aria2 sends every field of every task otherwise,
// which with 1,000 tasks is most of the reply. A task's files (its name,
// path and links) are the bulk of what is left and rarely change, so they
// are asked for apart, only for tasks whose status changed or whose name
// is not known yet. The open details view asks for its one task in full.
const ROW_KEYS = ['gid', 'status', 'totalLength', 'completedLength', 'downloadSpeed', 'uploadSpeed', 'connections',
                  'errorCode', 'errorMessage', 'dir', 'seeder'];
const FILE_KEYS = ['files', 'bittorrent'];
const LEAN_KEYS = ['gid', 'status'];
// The running or waiting rows the last refresh asked for in full.
let asked = new Set();
const KEYS = ROW_KEYS.concat(FILE_KEYS);
const STATES = { active: '下载中', waiting: '等待中', paused: '已暂停', complete: '已完成',
                 error: '出错', removed: '已删除' };
const STOPPED = ['complete', 'error', 'removed'];
// Which buttons a row offers in each state.
const ACTIONS = {
  // A paused task keeps its place in aria2's queue and can be moved in it.
  top: ['waiting', 'paused'], up: ['waiting', 'paused'], down: ['waiting', 'paused'],
  pause: ['active', 'waiting'],
  resume: ['paused'],
  remove: ['active', 'waiting', 'paused'],
  retry: ['error', 'removed'],
  forget: STOPPED,
};
// aria2's exit codes, as a user would want them explained.
const ERROR_TEXTS = {
  1: '未知错误', 2: '连接超时', 3: '找不到文件（服务器上没有这个资源）', 4: '多次找不到文件，已放弃',
  5: '速度低于最低速度限制，已放弃', 6: '网络出错', 7: 'aria2 关闭时任务还没有完成',
  8: '服务器不支持断点续传，无法继续下载', 9: '磁盘空间不足', 10: '分片大小与控制文件（.aria2）记录的不一致',
  11: '同一个文件正在被另一个任务下载', 12: '同一个种子已经在下载', 13: '文件已存在',
  14: '文件改名失败', 15: '无法打开已有的文件', 16: '无法创建文件或清空已有文件', 17: '读写文件出错',
  18: '无法创建文件夹', 19: '域名解析失败', 20: '无法解析 Metalink 文件', 21: 'FTP 命令失败',
  22: '服务器的 HTTP 响应头有误或不符合预期', 23: '重定向次数过多', 24: 'HTTP 认证失败（用户名或密码不对）',
  25: '无法解析种子文件', 26: '种子文件已损坏或缺少必要信息', 27: '磁力链接格式不对',
  28: '选项有误或无法识别', 29: '服务器暂时过载或正在维护', 30: '无法解析 JSON-RPC 请求',
  31: '保留代码（aria2 未使用）', 32: '校验和验证失败，文件可能已损坏',
};
let refreshMs = 1000;
const RPC_TIMEOUT_MS = 4000;
const HISTORY_S = 300;

const $ = (id) => document.getElementById(id);
const listEl = $('list'), scrollEl = $('scroll'), emptyEl = $('empty');
const noticeEl = $('notice'), msgEl = $('msg'), linkEl = $('link'), speedEl = $('total-speed');
const upEl = $('total-up'), limitEl = $('limit'), searchEl = $('search'), sortEl = $('sort');
const tabCounts = {};
for (const b of $('tabs').children) tabCounts[b.dataset.filter] = b.lastChild.firstChild;
// A tab's count sits close to its label on screen; read aloud they would run
// together ("全部12"), so the tab's spoken name keeps them apart.
function setTabCount(filter, n) {
  const text = tabCounts[filter], b = $('tabs').querySelector('[data-filter=' + filter + ']');
  if (!text || text.data === String(n)) return;
  text.data = String(n);
  b.setAttribute('aria-label', b.firstChild.data + '，' + n + ' 个');
}
const rowTpl = $('row-tpl').content.firstChild;
const setText = (el, text) => { if (el.textContent !== text) el.textContent = text; };
