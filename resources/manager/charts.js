// ---- speed history: the page samples totals (and active tasks) itself ----
const totalHistory = [];           // [t_ms, down, up]
const taskHistory = new Map();     // gid -> [[t_ms, down, up]]
function sample(down, up, now) {
  const cut = now - HISTORY_S * 1000;
  totalHistory.push([now, down, up]);
  while (totalHistory.length && totalHistory[0][0] < cut) totalHistory.shift();
  for (const t of order) {
    if (t.downloadSpeed === undefined) continue;  // off screen: asked for its state only
    if (t.status !== 'active' && !taskHistory.has(t.gid)) continue;
    let h = taskHistory.get(t.gid);
    if (!h) taskHistory.set(t.gid, (h = []));
    h.push([now, +t.downloadSpeed || 0, +t.uploadSpeed || 0]);
    while (h.length && h[0][0] < cut) h.shift();
    if (t.status !== 'active' && h.every((x) => !x[1] && !x[2])) taskHistory.delete(t.gid);
  }
  for (const gid of taskHistory.keys()) if (!taskOf(gid)) taskHistory.delete(gid);
}
const css = (name) => getComputedStyle(document.documentElement).getPropertyValue(name).trim();
// A canvas gets as many pixels as the screen shows for it, so it stays
// sharp at any devicePixelRatio; the drawing itself is in CSS pixels.
function fitCanvas(canvas) {
  if (!canvas.dataset.w) { canvas.dataset.w = canvas.width; canvas.dataset.h = canvas.height; }
  const w = canvas.clientWidth || +canvas.dataset.w, h = canvas.clientHeight || +canvas.dataset.h;
  const dpr = window.devicePixelRatio || 1;
  const pw = Math.max(1, Math.round(w * dpr)), ph = Math.max(1, Math.round(h * dpr));
  if (canvas.width !== pw) canvas.width = pw;
  if (canvas.height !== ph) canvas.height = ph;
  const ctx = canvas.getContext('2d');
  ctx.setTransform(pw / w, 0, 0, ph / h, 0, 0);
  return { ctx, w, h };
}
function drawChart(canvas, history, now) {
  const { ctx, w, h } = fitCanvas(canvas);
  ctx.clearRect(0, 0, w, h);
  ctx.strokeStyle = css('--line');
  ctx.strokeRect(0.5, 0.5, w - 1, h - 1);
  let max = 1;
  for (const s of history) max = Math.max(max, s[1], s[2]);
  const x = (t) => w - ((now - t) / (HISTORY_S * 1000)) * w;
  const y = (v) => h - 2 - (v / max) * (h - 4);
  for (const [col, color] of [[2, css('--up')], [1, css('--accent')]]) {
    if (!history.length) break;
    ctx.beginPath();
    ctx.strokeStyle = color;
    ctx.lineWidth = 1.5;
    history.forEach((s, i) => (i ? ctx.lineTo(x(s[0]), y(s[col])) : ctx.moveTo(x(s[0]), y(s[col]))));
    ctx.stroke();
  }
  // The axes are text beside the canvas: as sharp as the rest of the page.
  const peak = canvas.parentNode.querySelector('.axis .peak');
  if (peak) setText(peak, '峰值 ' + fmtBytes(max) + '/s');
}
function drawCharts() {
  const now = performance.now();
  drawChart($('speed-chart'), totalHistory, now);
  if (!$('status').hidden) drawChart($('status-chart'), totalHistory, now);
  if (detailGid && !$('details').hidden) drawChart($('d-chart'), taskHistory.get(detailGid) || [], now);
}
