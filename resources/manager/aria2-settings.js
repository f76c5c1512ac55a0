// ---- settings: aria2's global options ----
// [name, label, explanation, kind, check]; kinds: int (min, max), size
// (bytes with K/M), bool, enum (values), text, ratio.
const OPTION_GROUPS = [
  ['基本', [
    ['dir', '下载文件夹', '新任务默认保存到这里', 'text'],
    ['max-concurrent-downloads', '同时下载任务数', '超过的任务排队等待', 'int', 1, 100],
    ['max-overall-download-limit', '全局下载限速', '所有任务合计，0 为不限，可写 500K、2M', 'size'],
    ['max-overall-upload-limit', '全局上传限速', '所有任务合计，0 为不限', 'size'],
    ['continue', '断点续传', '重新开始时接着已下载的部分继续', 'bool'],
    ['max-download-result', '保留的结束记录数', '已结束任务最多保留多少条记录', 'int', 0, 100000],
  ]],
  ['HTTP/FTP', [
    ['split', '分段数', '一个文件同时分几段下载', 'int', 1, 16],
    ['max-connection-per-server', '每服务器连接数', '对同一服务器最多同时几个连接', 'int', 1, 16],
    ['min-split-size', '最小分段大小', '文件小于两倍此值时不再分段，1M 到 1024M', 'size', 1 << 20, 1 << 30],
    ['timeout', '超时（秒）', '连接建立后等待数据的时间', 'int', 1, 600],
    ['connect-timeout', '连接超时（秒）', '建立连接最多等待的时间', 'int', 1, 600],
    ['max-tries', '最多尝试次数', '0 为不限次数', 'int', 0, 1000],
    ['retry-wait', '重试间隔（秒）', '两次尝试之间等待的时间', 'int', 0, 600],
    ['user-agent', 'User-Agent', '向服务器报告的客户端名称', 'text'],
    ['all-proxy', '代理服务器', '例如 http://127.0.0.1:8080，留空为不用代理', 'proxy'],
    ['check-certificate', '检查证书', '关闭后不再验证 HTTPS 证书（不安全）', 'bool'],
  ]],
  ['BitTorrent', [
    ['bt-max-peers', '每个种子最多连接数', '0 为不限', 'int', 0, 1000],
    ['seed-ratio', '做种分享率', '上传量达到下载量的几倍后停止做种，0 为一直做种', 'ratio'],
    ['seed-time', '做种时间（分钟）', '完成后做种多久，0 为不做种', 'int', 0, 100000],
    ['bt-tracker', '额外的 Tracker', '多个地址用英文逗号分隔', 'text'],
  ]],
  ['高级', [
    ['file-allocation', '文件预分配', 'none 最快；prealloc 和 falloc 减少碎片', 'enum', ['none', 'prealloc', 'trunc', 'falloc']],
    ['lowest-speed-limit', '最低速度', '低于此速度时放弃连接，0 为不限', 'size'],
    ['allow-overwrite', '允许覆盖', '同名文件存在时从头重新下载并覆盖', 'bool'],
    ['auto-file-renaming', '自动改名', '同名文件存在时在文件名后加数字', 'bool'],
    ['log-level', '日志级别', 'aria2 日志的详细程度', 'enum', ['debug', 'info', 'notice', 'warn', 'error']],
  ]],
];
// aria2 takes whole numbers of bytes, K or M: "1.5M" is refused.
const SIZE = /^(\d+)([KkMm]?)$/;
// aria2's form: [http://][USER:PASSWORD@]HOST[:PORT]
const PROXY = /^(https?:\/\/)?([^\s\/@:]+(:[^\s\/@]*)?@)?([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\])(:\d{1,5})?\/?$/;
function checkOption(option, value) {
  const [, label, , kind, a, b] = option;
  if (kind === 'int') return /^\d+$/.test(value) && +value >= a && +value <= b ? '' : '“' + label + '”请输入 ' + a + ' 到 ' + b + ' 的整数';
  if (kind === 'size') {
    const m = SIZE.exec(value);
    if (!m) return '“' + label + '”请输入整数，可带单位 K 或 M（例如 500K、2M），不能有小数';
    const bytes = +m[1] * ({ k: 1024, m: 1024 * 1024 }[m[2].toLowerCase()] || 1);
    if (a !== undefined && (bytes < a || bytes > b)) return '“' + label + '”请输入 ' + a / 1048576 + 'M 到 ' + b / 1048576 + 'M 之间的大小（例如 20M）';
    return '';
  }
  if (kind === 'proxy') return value === '' || PROXY.test(value) ? '' : '“' + label + '”应写成 http://主机:端口（可带 用户名:密码@），例如 http://127.0.0.1:8080';
  if (kind === 'ratio') return /^\d+(\.\d+)?$/.test(value) ? '' : '“' + label + '”请输入 0 或正数（例如 1.0）';
  if (kind === 'text') return /[\r\n]/.test(value) ? '“' + label + '”不能包含换行' : '';
  return '';
}
// A select of `values`, or of on and off (true/false) without them.
function choiceOf(values) {
  const input = document.createElement('select');
  for (const v of values || ['true', 'false']) {
    const o = document.createElement('option');
    o.value = v;
    o.textContent = values ? v : (v === 'true' ? '开' : '关');
    input.appendChild(o);
  }
  return input;
}
// One line of a settings list: label, field, explanation and its remark.
function settingRow(id, label, input, help, remark) {
  const row = document.createElement('div');
  row.className = 'setting';
  const l = document.createElement('label');
  l.textContent = label;
  l.htmlFor = id;
  input.id = id;
  const note = document.createElement('span');
  note.className = 'help';
  note.textContent = help;
  if (remark) {
    const reset = document.createElement('span');
    reset.className = 'reset';
    reset.textContent = remark;
    note.appendChild(reset);
  }
  row.append(l, input, note);
  return row;
}
function buildSettings() {
  const root = $('aria2-options');
  root.textContent = '';
  for (const [group, options] of OPTION_GROUPS) {
    const h = document.createElement('h3');
    h.textContent = group;
    root.appendChild(h);
    const box = document.createElement('div');
    box.className = 'box';
    for (const option of options) {
      const [name, label, help, kind, values] = option;
      const input = kind === 'bool' || kind === 'enum' ? choiceOf(kind === 'bool' ? null : values) : document.createElement('input');
      if (input.tagName === 'INPUT') input.type = 'text';
      input.dataset.option = name;
      box.appendChild(settingRow('opt-' + name, label, input, help, ''));
    }
    root.appendChild(box);
  }
}
const allOptions = () => OPTION_GROUPS.flatMap((g) => g[1]);
// The options Korvath sends before every download, as the window says
// (its load reply); the value saved here is the one it sends.
let sentPerTask = [];
function markSentPerTask(names) {
  sentPerTask = names;
  for (const [name] of allOptions()) {
    const help = $('opt-' + name).parentNode.querySelector('.help');
    let remark = help.querySelector('.reset');
    if (!names.includes(name)) { if (remark) remark.remove(); continue; }
    if (!remark) {
      remark = document.createElement('span');
      remark.className = 'reset';
      help.appendChild(remark);
    }
    remark.textContent = '（Korvath 每次下载前都会发送此项，发送的是这里保存的值）';
  }
}
// The fields the user changed since the form was filled. Only these are
// ever sent: a field filled while aria2 was away (blank, or a list's first
// choice) is not a wish of the user's.
const edited = new Set();
for (const type of ['input', 'change']) {
  $('aria2-options').addEventListener(type, (ev) => { if (ev.target.dataset.option) edited.add(ev.target.dataset.option); });
}
// Blank means "none" for these, so a field the user emptied is sent.
const CLEARABLE = ['all-proxy', 'bt-tracker'];
// keepEdits: what the user typed stays; every other field shows aria2's value.
async function loadSettings(keepEdits) {
  let options;
  try {
    options = await call('aria2.getGlobalOption');
  } catch (e) { failed('读取 aria2 设置', e); return null; }
  if (!keepEdits) edited.clear();
  for (const [name] of allOptions()) {
    const input = $('opt-' + name);
    if (edited.has(name)) continue;
    input.value = options[name] !== undefined ? String(options[name]) : '';
    input.classList.remove('bad');
  }
  return options;
}
// Back in touch with aria2 (perhaps another one): the form shows what it has now.
function settingsReconnected() {
  if (!$('settings').hidden) loadSettings(true);
}
async function saveSettings() {
  const problems = [];
  const wanted = allOptions().filter((option) => edited.has(option[0]));
  for (const option of wanted) $('opt-' + option[0]).classList.remove('bad');
  if (!wanted.length) { say('设置没有改动'); return; }
  // Compared with what aria2 has at this moment, not with what the form
  // was filled from: the connection may have been lost and made again.
  const current = await loadSettings(true);
  if (!current) return;
  const changed = {};
  for (const option of wanted) {
    const input = $('opt-' + option[0]);
    const value = input.value.trim();
    // One Korvath sends before a download is kept even when aria2 holds the
    // same value now: otherwise the next download would send the program's.
    if (value === String(current[option[0]] ?? '') && !sentPerTask.includes(option[0])) continue;
    if (value === '' && !CLEARABLE.includes(option[0])) continue;
    const problem = checkOption(option, value);
    if (problem) { problems.push(problem); input.classList.add('bad'); continue; }
    changed[option[0]] = value;
  }
  if (problems.length) { say('没有保存：' + problems.join('；')); return; }
  const n = Object.keys(changed).length;
  if (!n) { edited.clear(); say('设置没有改动'); return; }
  // Kept by the window first, so aria2 gets them again after a restart and
  // Korvath sends them before each download; a refusal changes nothing.
  const kept = await keepAria2Options(changed);
  if (kept && kept.ok !== true) {
    const key = typeof kept.key === 'string' ? kept.key : '';
    if (key && $('opt-' + key)) $('opt-' + key).classList.add('bad');
    say('没有保存：' + (kept.error ? String(kept.error) : '窗口没有应答，设置没有保存'));
    return;
  }
  try {
    await call('aria2.changeGlobalOption', changed);
    say('已保存 ' + n + ' 项 aria2 设置');
    await loadSettings(false);
    loadLimit();
  } catch (e) { failed('保存 aria2 设置', e); }
}
$('open-settings').addEventListener('click', () => { showView('settings'); loadKorvathSettings(); loadSettings(false); });
$('aria2-save').addEventListener('click', saveSettings);
$('aria2-reload').addEventListener('click', () => loadSettings(false));
