// ---- settings: Korvath's own, kept by the window in its settings file ----
// [name, label, explanation, kind, when]; kinds: text, password, bool;
// when: 'now' (takes effect at once) or 'start' (at the next start).
const KORVATH_OPTIONS = [
  ['folder', '下载文件夹', '新的下载保存到这里', 'text', 'now'],
  ['rpc-url', '远程 aria2 地址', '留空则使用 Korvath 自己启动的本机 aria2；例如 https://nas.local:6800/jsonrpc', 'text', 'start'],
  ['rpc-secret', '远程 aria2 密钥', '远程 aria2 的 RPC 密钥（--rpc-secret）', 'password', 'start'],
  ['certificate-sha256', '证书指纹', '远程 aria2 用自签名证书时，填入它的 SHA-256 指纹（64 位十六进制，可带冒号）', 'text', 'start'],
  ['remote-folder', '远程下载文件夹', '远程机器上保存文件的路径；留空则由远程 aria2 决定', 'text', 'now'],
  ['app-url', '分享站点地址', '主窗口打开的地址，点“首页”即使用新地址', 'text', 'now'],
  ['notice-url', '公告地址', '启动时读取公告的地址；留空为默认', 'text', 'start'],
  ['notifications', '下载通知', '下载完成或失败时在桌面上提示', 'bool', 'now'],
];
const settingsHandler = () => window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathSettings;
let korvathLoaded = null;
function buildKorvathSettings() {
  if (!settingsHandler()) return;
  const root = $('korvath-settings');
  const h = document.createElement('h3');
  h.textContent = 'Korvath 设置';
  const damaged = document.createElement('div');
  damaged.id = 'korvath-damaged';
  damaged.setAttribute('role', 'alert');
  damaged.hidden = true;
  const box = document.createElement('div');
  box.className = 'box';
  box.id = 'korvath-options';
  for (const [name, label, help, kind, when] of KORVATH_OPTIONS) {
    const input = kind === 'bool' ? choiceOf(null) : document.createElement('input');
    if (kind !== 'bool') {
      input.type = kind;
      input.autocomplete = kind === 'password' ? 'new-password' : 'off';
      input.spellcheck = false;
    }
    input.dataset.korvath = name;
    const row = settingRow('k-' + name, label, input, help,
      when === 'now' ? '（保存后立即生效）' : '（下次启动 Korvath 后生效）');
    if (kind === 'password') {
      const clear = document.createElement('label');
      const check = document.createElement('input');
      check.type = 'checkbox';
      check.id = 'korvath-secret-clear';
      clear.append(check, ' 清除已保存的密钥');
      row.querySelector('.help').append(document.createElement('br'), clear);
    }
    box.appendChild(row);
  }
  const where = document.createElement('div');
  where.className = 'help';
  where.id = 'korvath-path';
  const buttons = document.createElement('div');
  buttons.className = 'row2';
  const save = document.createElement('button');
  save.type = 'button';
  save.id = 'korvath-save';
  save.className = 'primary';
  save.textContent = '保存 Korvath 设置';
  const reload = document.createElement('button');
  reload.type = 'button';
  reload.id = 'korvath-reload';
  reload.textContent = '重新读取';
  buttons.append(save, reload);
  root.append(h, damaged, box, where, buttons);
  save.addEventListener('click', saveKorvathSettings);
  reload.addEventListener('click', loadKorvathSettings);
  // Enter in a field saves, as in a form.
  box.addEventListener('keydown', (ev) => {
    if (ev.key === 'Enter' && ev.target.tagName === 'INPUT' && ev.target.type !== 'checkbox') {
      ev.preventDefault();
      saveKorvathSettings();
    }
  });
}
async function askWindow(message) {
  try { return await settingsHandler().postMessage(message); } catch (e) { return null; }
}
async function loadKorvathSettings() {
  if (!settingsHandler()) return;
  const reply = await askWindow({ action: 'load' });
  if (!reply || reply.ok !== true || !reply.values) {
    say('读取 Korvath 设置失败：' + (reply && reply.error ? String(reply.error) : '窗口没有应答，请关闭设置后再打开'));
    return;
  }
  korvathLoaded = reply;
  for (const [name, , , kind] of KORVATH_OPTIONS) {
    const input = $('k-' + name);
    input.classList.remove('bad');
    if (kind === 'password') {
      input.value = '';
      input.placeholder = reply.secretSet ? '已保存（不显示）；留空则不改' : '未设置';
    } else if (kind === 'bool') {
      input.value = reply.values[name] === false ? 'false' : 'true';
    } else {
      input.value = String(reply.values[name] ?? '');
      input.title = reply.overridden && reply.overridden[name] ? '环境变量 ' + reply.overridden[name] + ' 已设置，它优先于这里的值' : '';
    }
  }
  $('k-folder').placeholder = '留空则保存到 ' + String(reply.defaultFolder || 'ZorbitDravenet');
  $('korvath-secret-clear').checked = false;
  setText($('korvath-path'), '设置保存在 ' + String(reply.path || '') + '。带有环境变量（KORVATH_…）的项以环境变量为准。');
  const damaged = $('korvath-damaged');
  damaged.hidden = !reply.damaged;
  damaged.textContent = reply.damaged ? String(reply.damaged) : '';
}
async function saveKorvathSettings() {
  if (!korvathLoaded) { say('Korvath 设置还没有读取，请点“重新读取”'); return; }
  const values = {};
  for (const [name, , , kind] of KORVATH_OPTIONS) {
    const input = $('k-' + name);
    input.classList.remove('bad');
    if (kind === 'bool') values[name] = input.value === 'true';
    else if (kind !== 'password') values[name] = input.value.trim();
  }
  const message = { action: 'save', values };
  const secret = $('k-rpc-secret').value;
  if ($('korvath-secret-clear').checked) message.clearSecret = true;
  else if (secret) message.secret = secret;
  const reply = await askWindow(message);
  if (!reply || reply.ok !== true) {
    const key = reply && typeof reply.key === 'string' ? reply.key : '';
    if (key && $('k-' + key)) $('k-' + key).classList.add('bad');
    say('没有保存：' + (reply && reply.error ? String(reply.error) : '窗口没有应答，设置没有保存'));
    return;
  }
  say(String(reply.message || '设置已保存'));
  await loadKorvathSettings();
}
