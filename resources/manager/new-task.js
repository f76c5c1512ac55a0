// ---- new task ----
const SCHEMES = /^(https?|ftp):\/\/[^\s/?#]+/i;
function openNew() {
  $('new-error').textContent = '';
  for (const el of $('new-dlg').querySelectorAll('.bad')) el.classList.remove('bad');
  if ($('new-dlg').hidden) newFrom = focusPlace();
  $('new-dlg').hidden = false;
  justAppeared($('new-dlg'));
  cover();
  $('new-uris').focus();
}
let newFrom = null;
// Closing keeps what was typed for the next opening; only adding the
// tasks empties the dialog.
function closeNew() {
  $('new-dlg').hidden = true;
  cover();
  const from = newFrom;
  newFrom = null;
  focusBack(from);
}
function clearNew() {
  for (const id of ['new-uris', 'new-out', 'new-dir', 'new-referer', 'new-ua', 'new-headers', 'new-files']) $(id).value = '';
  showPicks();
}
const newError = (text, id) => {
  $('new-error').textContent = text;
  if (id) $(id).classList.add('bad');
  return null;
};
// What the dialog asks for, checked; null (and a message) when anything is wrong.
async function readNewTask() {
  for (const el of $('new-dlg').querySelectorAll('.bad')) el.classList.remove('bad');
  // A link holds no blank, so links pasted side by side on one line are
  // several links; aria2 knows schemes only in small letters.
  const typed = $('new-uris').value.split(/\s+/).filter(Boolean);
  const lines = typed.map((l) => l.replace(/^[a-z][a-z0-9+.-]*:/i, (scheme) => scheme.toLowerCase()));
  for (let i = 0; i < lines.length; i++) {
    const l = lines[i];
    if (!SCHEMES.test(l) && !/^magnet:\?\S+$/.test(l))
      return newError('第 ' + (i + 1) + ' 个链接无法下载：只支持 http、https、ftp 和 magnet 链接。\n' + typed[i], 'new-uris');
  }
  const out = $('new-out').value, dir = $('new-dir').value.trim();
  if (/[\/\r\n]/.test(out)) return newError('文件名不能包含“/”或换行。', 'new-out');
  if (out.trim() === '.' || out.trim() === '..') return newError('文件名不能是“.”或“..”，请写一个文件名。', 'new-out');
  if (/^~/.test(dir)) return newError('文件夹请写完整路径，例如 /home/用户名/Downloads：aria2 不会把“~”换成主文件夹，会建一个名叫“~”的文件夹。', 'new-dir');
  if (out.trim() && lines.length > 1) return newError('填了文件名时只能添加一个链接，否则这些文件会互相覆盖。', 'new-out');
  if (/[\r\n]/.test(dir)) return newError('文件夹不能包含换行。', 'new-dir');
  const referer = $('new-referer').value.trim(), ua = $('new-ua').value.trim();
  // "*" asks aria2 to send each link as its own Referer.
  if (referer && referer !== '*' && !/^https?:\/\/\S+$/i.test(referer))
    return newError('Referer 应是 http 或 https 开头的网址，或“*”（用下载链接本身作 Referer）。', 'new-referer');
  const headers = $('new-headers').value.split(/\r?\n/).map((s) => s.trim()).filter(Boolean);
  for (const h of headers)
    if (!/^[A-Za-z0-9!#$%&'*+.^_`|~-]+:\s*\S/.test(h)) return newError('请求头应写成“名称: 值”，这一行不对：' + h, 'new-headers');
  const files = [];
  for (const f of $('new-files').files) {
    const kind = /\.torrent$/i.test(f.name) ? 'torrent' : /\.(metalink|meta4)$/i.test(f.name) ? 'metalink' : '';
    if (!kind) return newError('“' + f.name + '”不是种子或 Metalink 文件（.torrent、.metalink、.meta4）。', 'new-files');
    let data;
    try { data = await readBase64(f); } catch (e) { return newError('无法读取“' + f.name + '”：' + (e && e.message ? e.message : '文件不可读') + '。请确认文件存在且可读。', 'new-files'); }
    if (!data) return newError('“' + f.name + '”是空文件。', 'new-files');
    const ticks = [...$('new-pick').querySelectorAll('input[data-file="' + files.length + '"]')];
    const picked = ticks.filter((x) => x.checked).map((x) => x.value);
    if (ticks.length && !picked.length) return newError('“' + f.name + '”里请至少勾选一个要下载的文件。', 'new-files');
    files.push({ kind, data, name: f.name, file: f, select: picked.length < ticks.length ? picked.join(',') : '' });
  }
  if (!lines.length && !files.length) return newError('请填写下载链接，或选择种子或 Metalink 文件。', 'new-uris');
  // aria2 is told to continue a file it finds under the task's name, which
  // is right for the share page's own links; a link typed here is another
  // file, and would be written over a user's file of the same name (or a
  // file of the same length taken as already downloaded). It gets a free
  // name instead, unless the user chose 允许覆盖 in the settings.
  const options = { continue: 'false', 'auto-file-renaming': 'true' };
  if (out.trim()) options.out = out.trim();
  if (dir) options.dir = dir;
  if (referer) options.referer = referer;
  if (ua) options['user-agent'] = ua;
  if (headers.length) options.header = headers;
  return { lines, files, options };
}
function readBase64(file) {
  return new Promise((resolve, reject) => {
    const reader = new FileReader();
    reader.onload = () => { const s = String(reader.result); resolve(s.slice(s.indexOf(',') + 1)); };
    reader.onerror = () => reject(reader.error || new Error('文件不可读'));
    reader.readAsDataURL(file);
  });
}
let adding = false;
async function addNew() {
  if (adding) return;
  adding = true;
  $('new-add').disabled = true;
  try { await addNewOnce(); } finally { adding = false; $('new-add').disabled = false; }
}
async function addNewOnce() {
  const task = await readNewTask();
  if (!task) return;
  const calls = task.lines.map((l) => ['aria2.addUri', [l], task.options]);
  for (const f of task.files) {
    const options = f.select ? Object.assign({}, task.options, { 'select-file': f.select }) : task.options;
    calls.push(f.kind === 'torrent' ? ['aria2.addTorrent', f.data, [], options] : ['aria2.addMetalink', f.data, options]);
  }
  let res;
  try { res = await multicallSettled(calls); }
  catch (e) { newError('添加失败：' + reason(e) + '。请稍后再试。'); return; }
  // In the order asked for, whichever aria2 starts first; a metalink of
  // several files answers with each gid.
  rankAdded(res.flatMap((x) => (x.ok ? [].concat(x.value) : [])));
  const bad = res.filter((x) => !x.ok);
  if (bad.length) {
    // What was added leaves the dialog, so 添加 again adds only the rest.
    const n = task.lines.length;
    $('new-uris').value = task.lines.filter((l, i) => !res[i].ok).join('\n');
    const left = new DataTransfer();
    task.files.forEach((f, i) => { if (!res[n + i].ok) left.items.add(f.file); });
    $('new-files').files = left.files;
    showPicks();
    newError('有 ' + bad.length + ' 项没有添加：' + reason(bad[0].error) +
      (bad.length < res.length ? '（其余 ' + (res.length - bad.length) + ' 项已添加，已从对话框中去掉）' : ''));
    refreshSoon(0);
    return;
  }
  closeNew();
  clearNew();
  // A metalink of several files becomes several tasks: aria2 answers with each gid.
  const added = res.reduce((n, x) => n + (Array.isArray(x.value) ? x.value.length : 1), 0);
  say('已添加 ' + added + ' 个任务');
  refreshSoon(0);
}
// Links or torrent and metalink files dropped anywhere on the page open
// the dialog with them filled in; a row dragged within the queue is the
// list's own business.
const DROP_TYPES = ['Files', 'text/uri-list', 'text/plain'];
const TAKEN_FILES = /\.(torrent|metalink|meta4)$/i;
// The engine settles whether a drop is taken when the drag enters, not at
// each move: both must say yes, or a file dragged in from a file manager is
// opened as a page (and refused) instead of reaching the drop below.
const offerDrop = (ev) => {
  if (dragGid || !ev.dataTransfer || ![...ev.dataTransfer.types].some((t) => DROP_TYPES.includes(t))) return;
  ev.preventDefault();
  ev.dataTransfer.dropEffect = 'copy';
};
document.addEventListener('dragenter', offerDrop);
document.addEventListener('dragover', offerDrop);
// A file dragged in from a file manager reaches the page as its name at
// most, without its bytes: the window saw the drop and reads the torrent and
// metalink files among it for the page.
async function droppedByWindow() {
  const h = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathDroppedFiles;
  if (!h) return { files: [], errors: [] };
  let reply;
  try { reply = await h.postMessage({ action: 'take' }); } catch (e) { reply = null; }
  if (!reply || reply.ok !== true) return { files: [], errors: [reply && reply.error ? String(reply.error) : '窗口没有交出拖进来的文件'] };
  const files = [];
  for (const f of Array.isArray(reply.files) ? reply.files : []) {
    try {
      const bin = atob(String(f.data));
      files.push(new File([Uint8Array.from(bin, (c) => c.charCodeAt(0))], String(f.name)));
    } catch (e) { /* a reply the page cannot read adds nothing */ }
  }
  return { files, errors: Array.isArray(reply.errors) ? reply.errors.map(String) : [] };
}
document.addEventListener('drop', async (ev) => {
  if (dragGid || ev.defaultPrevented || !ev.dataTransfer) return;
  // Into another field of the dialog, text goes where it was dropped.
  if (typing(ev.target) && ev.target.id !== 'new-uris') return;
  ev.preventDefault();
  const dt = ev.dataTransfer;
  let files = [...(dt.files || [])].filter((f) => TAKEN_FILES.test(f.name));
  const links = (dt.getData('text/uri-list') || dt.getData('text/plain') || '').split(/\s+/)
    .filter((l) => SCHEMES.test(l) || /^magnet:\?\S+$/i.test(l));
  let errors = [];
  if (!dt.files || !dt.files.length) ({ files, errors } = await droppedByWindow());
  if (!files.length && !links.length) {
    say(errors.length ? errors.join('；') : '拖进来的内容里没有可以下载的链接，也没有种子或 Metalink 文件');
    return;
  }
  if ($('new-dlg').hidden) openNew();
  if (errors.length) $('new-error').textContent = errors.join('\n');
  if (links.length) {
    const typed = $('new-uris').value.trim();
    $('new-uris').value = (typed ? typed + '\n' : '') + links.join('\n');
  }
  if (files.length) {
    const all = new DataTransfer();
    for (const f of [...$('new-files').files, ...files]) all.items.add(f);
    $('new-files').files = all.files;
    showPicks();
  }
});
// ---- which files of a torrent or metalink to download ----
// The names inside a torrent (bencoded) or a metalink (XML), in the order
// aria2 numbers them for select-file; [] when the file cannot be read so.
function bdecode(bin) {
  let i = 0;
  const next = () => {
    const c = bin[i];
    if (c === 'i') { const e = bin.indexOf('e', i); if (e < 0) throw new Error('bad'); const v = +bin.slice(i + 1, e); i = e + 1; return v; }
    if (c === 'l' || c === 'd') {
      i++;
      const items = [];
      while (bin[i] !== 'e') { if (i >= bin.length) throw new Error('bad'); items.push(next()); }
      i++;
      if (c === 'l') return items;
      const map = new Map();
      for (let k = 0; k + 1 < items.length; k += 2) map.set(items[k], items[k + 1]);
      return map;
    }
    const colon = bin.indexOf(':', i), n = +bin.slice(i, colon);
    if (colon < 0 || !(n >= 0)) throw new Error('bad');
    i = colon + 1 + n;
    return bin.slice(colon + 1, i);
  };
  return next();
}
const utf8 = (bin) => new TextDecoder().decode(Uint8Array.from(bin, (c) => c.charCodeAt(0)));
function innerFiles(kind, base64) {
  try {
    const bin = atob(base64);
    if (kind === 'metalink') {
      const doc = new DOMParser().parseFromString(utf8(bin), 'application/xml');
      return [...doc.getElementsByTagName('file')].map((f) => String(f.getAttribute('name') || ''));
    }
    const info = bdecode(bin).get('info');
    const list = info && info.get('files');
    if (!Array.isArray(list)) return [];
    const top = utf8(String(info.get('name') || ''));
    return list.map((f) => top + '/' + (f.get('path') || []).map((p) => utf8(String(p))).join('/'));
  } catch (e) { return []; }
}
// A list of boxes for each chosen file that holds several; all ticked.
let pickRun = 0;
async function showPicks() {
  const run = ++pickRun, root = $('new-pick');
  const groups = [];
  let k = 0;
  for (const f of $('new-files').files) {
    const kind = /\.torrent$/i.test(f.name) ? 'torrent' : /\.(metalink|meta4)$/i.test(f.name) ? 'metalink' : '';
    let names = [];
    if (kind) { try { names = innerFiles(kind, await readBase64(f)); } catch (e) { names = []; } }
    groups.push({ k: k++, name: f.name, names });
  }
  if (run !== pickRun) return;
  root.textContent = '';
  for (const g of groups) {
    if (g.names.length < 2) continue;
    const head = document.createElement('div');
    head.textContent = '“' + g.name + '”中要下载的文件：';
    root.appendChild(head);
    g.names.forEach((name, i) => {
      const label = document.createElement('label');
      const tick = document.createElement('input');
      tick.type = 'checkbox';
      tick.checked = true;
      tick.value = String(i + 1);
      tick.dataset.file = String(g.k);
      label.append(tick, ' ' + name);
      root.appendChild(label);
    });
  }
  root.hidden = !root.childNodes.length;
}
$('new-files').addEventListener('change', showPicks);
$('new-task').addEventListener('click', openNew);
$('new-cancel').addEventListener('click', closeNew);
$('new-add').addEventListener('click', addNew);
