// ---- new task ----
const SCHEMES = /^(https?|ftp):\/\/[^\s/?#]+/i;
function openNew() {
  $('new-error').textContent = '';
  for (const el of $('new-dlg').querySelectorAll('.bad')) el.classList.remove('bad');
  $('new-dlg').hidden = false;
  $('new-uris').focus();
}
function closeNew() {
  $('new-dlg').hidden = true;
  for (const id of ['new-uris', 'new-out', 'new-dir', 'new-referer', 'new-ua', 'new-headers', 'new-files']) $(id).value = '';
}
const newError = (text, id) => {
  $('new-error').textContent = text;
  if (id) $(id).classList.add('bad');
  return null;
};
// What the dialog asks for, checked; null (and a message) when anything is wrong.
async function readNewTask() {
  for (const el of $('new-dlg').querySelectorAll('.bad')) el.classList.remove('bad');
  const lines = $('new-uris').value.split(/\r?\n/).map((s) => s.trim()).filter(Boolean);
  for (let i = 0; i < lines.length; i++) {
    const l = lines[i];
    if (!SCHEMES.test(l) && !/^magnet:\?\S+$/i.test(l))
      return newError('第 ' + (i + 1) + ' 个链接无法下载：只支持 http、https、ftp 和 magnet 链接。\n' + l, 'new-uris');
  }
  const out = $('new-out').value, dir = $('new-dir').value.trim();
  if (/[\/\r\n]/.test(out)) return newError('文件名不能包含“/”或换行。', 'new-out');
  if (out.trim() && lines.length > 1) return newError('填了文件名时只能添加一个链接，否则这些文件会互相覆盖。', 'new-out');
  if (/[\r\n]/.test(dir)) return newError('文件夹不能包含换行。', 'new-dir');
  const referer = $('new-referer').value.trim(), ua = $('new-ua').value.trim();
  if (referer && !/^https?:\/\/\S+$/i.test(referer)) return newError('Referer 应是 http 或 https 开头的网址。', 'new-referer');
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
    files.push({ kind, data, name: f.name });
  }
  if (!lines.length && !files.length) return newError('请填写下载链接，或选择种子或 Metalink 文件。', 'new-uris');
  const options = {};
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
async function addNew() {
  const task = await readNewTask();
  if (!task) return;
  const calls = task.lines.map((l) => ['aria2.addUri', [l], task.options]);
  for (const f of task.files)
    calls.push(f.kind === 'torrent' ? ['aria2.addTorrent', f.data, [], task.options] : ['aria2.addMetalink', f.data, task.options]);
  let res;
  try { res = await multicallSettled(calls); }
  catch (e) { newError('添加失败：' + reason(e) + '。请稍后再试。'); return; }
  const bad = res.filter((x) => !x.ok);
  if (bad.length) {
    newError('有 ' + bad.length + ' 项没有添加：' + reason(bad[0].error) + (bad.length < res.length ? '（其余 ' + (res.length - bad.length) + ' 项已添加）' : ''));
    refreshSoon(0);
    return;
  }
  closeNew();
  say('已添加 ' + res.length + ' 个任务');
  refreshSoon(0);
}
$('new-task').addEventListener('click', openNew);
$('new-cancel').addEventListener('click', closeNew);
$('new-add').addEventListener('click', addNew);
