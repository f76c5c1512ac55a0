// ---- settings: Korvath's own, kept by the window in its settings file ----
// The window's load reply brings the form as `fields`, one per setting:
// {name, label, help, kind, when}; kinds: text, secret (kept by the window,
// never shown), bool; when: 'now' (takes effect at once) or 'start' (at the
// next start). The form is drawn from the first reply that brings it.
const settingsHandler = () => window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.korvathSettings;
let korvathLoaded = null;
let korvathFields = null;
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
// The rows of the form, once, in the order the window gives them.
function drawKorvathFields(fields) {
  const box = $('korvath-options');
  for (const { name, label, help, kind, when } of fields) {
    const input = kind === 'bool' ? choiceOf(null) : document.createElement('input');
    if (kind !== 'bool') {
      input.type = kind === 'secret' ? 'password' : 'text';
      input.autocomplete = kind === 'secret' ? 'new-password' : 'off';
      input.spellcheck = false;
    }
    input.dataset.korvath = name;
    const row = settingRow('k-' + name, String(label), input, String(help),
      when === 'now' ? '（保存后立即生效）' : '（下次启动 Korvath 后生效）');
    if (kind === 'secret') {
      const clear = document.createElement('label');
      const check = document.createElement('input');
      check.type = 'checkbox';
      check.id = 'korvath-secret-clear';
      clear.append(check, ' 清除已保存的密钥');
      row.querySelector('.help').append(document.createElement('br'), clear);
    }
    box.appendChild(row);
  }
  korvathFields = fields;
}
async function askWindow(message) {
  try { return await settingsHandler().postMessage(message); } catch (e) { return null; }
}
// aria2 options the user sets, kept by the window in its settings file.
// null: no window to keep them (the page alone), so aria2 alone has them;
// otherwise the window's reply, {ok:false} when it did not answer.
async function keepAria2Options(values) {
  if (!settingsHandler()) return null;
  return (await askWindow({ action: 'aria2', values })) || { ok: false };
}
async function loadKorvathSettings() {
  if (!settingsHandler()) return;
  const reply = await askWindow({ action: 'load' });
  if (!reply || reply.ok !== true || !reply.values || !(korvathFields || Array.isArray(reply.fields))) {
    say('读取 Korvath 设置失败：' + (reply && reply.error ? String(reply.error) : '窗口没有应答，请关闭设置后再打开'));
    return;
  }
  if (!korvathFields) drawKorvathFields(reply.fields);
  korvathLoaded = reply;
  if (reply.aria2 && Array.isArray(reply.aria2.sentPerTask)) markSentPerTask(reply.aria2.sentPerTask.map(String));
  for (const { name, kind } of korvathFields) {
    const input = $('k-' + name);
    input.classList.remove('bad');
    if (kind === 'secret') {
      input.value = '';
      input.placeholder = reply.secretSet ? '已保存（不显示）；留空则不改' : '未设置';
    } else if (kind === 'bool') {
      input.value = reply.values[name] === false ? 'false' : 'true';
    } else {
      input.value = String(reply.values[name] ?? '');
      input.title = reply.overridden && reply.overridden[name] ? '环境变量 ' + reply.overridden[name] + ' 已设置，它优先于这里的值' : '';
    }
  }
  $('k-folder').placeholder = '留空则保存到 ' + String(reply.defaultFolder);
  $('korvath-secret-clear').checked = false;
  setText($('korvath-path'), '设置保存在 ' + String(reply.path || '') + '。带有环境变量（KORVATH_…）的项以环境变量为准。');
  const damaged = $('korvath-damaged');
  damaged.hidden = !reply.damaged;
  damaged.textContent = reply.damaged ? String(reply.damaged) : '';
}
async function saveKorvathSettings() {
  if (!korvathLoaded) { say('Korvath 设置还没有读取，请点“重新读取”'); return; }
  const values = {};
  const message = { action: 'save', values };
  for (const { name, kind } of korvathFields) {
    const input = $('k-' + name);
    input.classList.remove('bad');
    if (kind === 'bool') values[name] = input.value === 'true';
    else if (kind === 'text') values[name] = input.value.trim();
    else if ($('korvath-secret-clear').checked) message.clearSecret = true;
    else if (input.value) message.secret = input.value;
  }
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
