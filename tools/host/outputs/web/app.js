// fastrak-host's web view: /events feeds the views and the plot, /state the tables and the log.
'use strict';

const CM_PER_FOOT = 30.48;
const TRAIL_S = 2;
const PLOT_S = 10;
const COLOURS = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];

const errors = document.getElementById('errors');
window.addEventListener('error', (e) => { errors.hidden = false; errors.textContent += e.message + '\n'; });

// Per output: its records of the last PLOT_S seconds (host time, pose in cm and degrees).
const tracks = new Map();
let latestState = null;
let logAfter = 0;
let frames = 0;
let lastEvent = 0;

function keyOf(r) { return r.device + '/' + (r.kind === 'tracker' ? 'T' : 'C') + r.output; }
function labelOf(r) { return (r.kind === 'tracker' ? 'T' : 'C') + r.output; }

function track(r) {
  const key = keyOf(r);
  let t = tracks.get(key);
  if (!t) {
    t = { key, device: r.device, output: r.output, kind: r.kind, colour: COLOURS[tracks.size % COLOURS.length], points: [] };
    tracks.set(key, t);
    refreshChoices();
  }
  return t;
}

function addRecord(r) {
  const t = track(r);
  if (r.kind !== 'tracker') return;
  const p = r.pose;
  const point = { t: r.host_time, x: p[0] * CM_PER_FOOT, y: p[1] * CM_PER_FOOT, z: p[2] * CM_PER_FOOT, az: p[3], el: p[4] };
  // In time order: the backlog of /events may come after the record /state gave first.
  let at = t.points.length;
  while (at > 0 && t.points[at - 1].t > point.t) at--;
  if (at > 0 && t.points[at - 1].t === point.t) return;
  t.points.splice(at, 0, point);
  const oldest = t.points[t.points.length - 1].t - PLOT_S;
  let drop = 0;
  while (drop < t.points.length - 1 && t.points[drop].t < oldest) drop++;
  if (drop > 0) t.points.splice(0, drop);
  lastEvent = performance.now();
}

// --- data -------------------------------------------------------------------------------------

// The head's link: green "live" only while the stream is open and every device is running; an
// open stream from a host whose devices deliver nothing is not live data.
let streamOpened = false;
let streamOpen = false;
let hostReached = true;
function showLink() {
  const link = document.getElementById('link');
  const devices = latestState ? latestState.devices : [];
  const others = devices.filter((d) => d.state !== 'running');
  const delivering = devices.some((d) => d.state === 'running' || d.state === 'damaged line');
  if (!hostReached) { link.textContent = 'host not reachable'; link.className = 'bad'; }
  else if (!streamOpen) { link.textContent = streamOpened ? 'reconnecting' : 'connecting'; link.className = 'bad'; }
  else if (others.length > 0) {
    link.textContent = (delivering ? 'live; ' : 'no live data: ') + others.map((d) => d.name + ' ' + d.state).join(', ');
    link.className = 'quiet';
  } else { link.textContent = 'live'; link.className = 'good'; }
}

function connect() {
  const events = new EventSource('events?backlog=' + PLOT_S);
  events.onopen = () => { streamOpen = streamOpened = true; showLink(); };
  events.onmessage = (e) => addRecord(JSON.parse(e.data));
  events.onerror = () => { streamOpen = false; showLink(); };
}

async function poll() {
  try {
    const response = await fetch('state?log_after=' + logAfter, { cache: 'no-store' });
    if (!response.ok) throw new Error(response.status);
    hostReached = true;
    showState(await response.json());
  } catch (e) {
    hostReached = false;
  }
  showLink();
  setTimeout(poll, 250);
}

// --- tables -----------------------------------------------------------------------------------

function cell(row, text, cls) {
  const td = document.createElement('td');
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
  return td;
}

// Each cell carries its column's header: on a phone a row shows as a block of label and value lines.
function labelCells(table, rows) {
  const heads = [...table.querySelectorAll('thead th')].map((th) => th.textContent);
  for (const row of rows) [...row.children].forEach((td, i) => { td.dataset.label = heads[i] || ''; });
}

function fixed(v, digits) { return v === null || v === undefined ? '-' : Number(v).toFixed(digits); }

function showState(s) {
  latestState = s;
  const devices = document.getElementById('devices');
  devices.replaceChildren(...s.devices.map((d) => {
    const span = document.createElement('span');
    span.className = 'state-' + d.state.replace(' ', '-');
    const delay = d.delay_ms === null || d.delay_ms === undefined ? ''
      : '; measured ' + d.delay_ms.toFixed(1) + ' ms before arrival, ' + d.jitter_ms.toFixed(1) + ' ms jitter removed';
    span.textContent = d.name + ' ' + d.state + ' (' + d.records + ' records' + delay + (d.hint ? '; ' + d.hint : '') + ') ';
    span.dataset.device = d.name;
    span.dataset.state = d.state;
    return span;
  }));
  document.getElementById('totals').textContent = s.records + ' records';
  document.getElementById('window').textContent = '(last ' + s.window_s + ' s)';

  const latest = document.querySelector('#latest tbody');
  const stats = document.querySelector('#stats tbody');
  const latestRows = [];
  const statRows = [];
  for (const o of s.outputs) {
    const t = track(o);
    if (o.kind === 'tracker' && t.points.length === 0) addRecord(o);
    const row = document.createElement('tr');
    row.dataset.output = keyOf(o);
    row.dataset.hostTime = o.host_time.toFixed(6);
    if (o.age_ms > 2000) row.className = 'stale';
    const name = cell(row, '');
    const swatch = document.createElement('span');
    swatch.className = 'swatch';
    swatch.style.background = t.colour;
    name.append(swatch, labelOf(o));
    cell(row, o.device, 'device');
    cell(row, o.station === null ? '-' : String(o.station)).dataset.field = 'station';
    const values = o.kind === 'tracker'
      ? [o.pose[0] * CM_PER_FOOT, o.pose[1] * CM_PER_FOOT, o.pose[2] * CM_PER_FOOT].map((v) => v.toFixed(2))
          .concat(o.pose.slice(3).map((v) => v.toFixed(2)))
      : ['', '', '', '', '', ''];
    const fields = ['x', 'y', 'z', 'az', 'el', 'roll'];
    values.forEach((v, i) => { cell(row, v).dataset.field = fields[i]; });
    const pressed = o.kind === 'controller' && o.buttons.some((b) => b === 1);
    const stylus = o.kind === 'controller' ? (pressed ? 'pressed' : 'released') : '';
    const stylusCell = cell(row, stylus, pressed ? 'pressed' : '');
    stylusCell.dataset.field = 'stylus';
    if (o.kind === 'controller') stylusCell.dataset.buttons = o.buttons.join('');
    cell(row, String(o.rate_hz)).dataset.field = 'rate';
    cell(row, o.age_ms.toFixed(0)).dataset.field = 'age';
    latestRows.push(row);

    const st = o.stats || {};
    const srow = document.createElement('tr');
    srow.dataset.output = keyOf(o);
    cell(srow, labelOf(o));
    cell(srow, fixed(st.rate_hz, 1)).dataset.field = 'rate';
    cell(srow, fixed(st.longest_gap_ms, 0)).dataset.field = 'gap';
    cell(srow, o.kind !== 'tracker' ? '-' : st.still ? fixed(st.still_s, 1) + ' s' : 'moving').dataset.field = 'still';
    cell(srow, fixed(st.position_noise_mm, 3)).dataset.field = 'position-noise';
    cell(srow, fixed(st.angle_noise_deg, 3)).dataset.field = 'angle-noise';
    statRows.push(srow);
  }
  labelCells(latest.parentElement, latestRows);
  labelCells(stats.parentElement, statRows);
  latest.replaceChildren(...latestRows);
  stats.replaceChildren(...statRows);

  if (s.log.length > 0) {
    const log = document.getElementById('log');
    const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
    log.textContent += s.log.map((l) => l.text).join('\n') + '\n';
    logAfter = s.log[s.log.length - 1].n;
    const lines = log.textContent.split('\n');
    if (lines.length > 500) log.textContent = lines.slice(lines.length - 500).join('\n');
    if (atEnd) log.scrollTop = log.scrollHeight;
  }
}

function refreshChoices() {
  const select = document.getElementById('chosen');
  const chosen = select.value;
  select.replaceChildren(...[...tracks.values()].filter((t) => t.kind === 'tracker').map((t) => {
    const option = document.createElement('option');
    option.value = t.key;
    option.textContent = t.key;
    return option;
  }));
  if (chosen) select.value = chosen;
}

// --- drawing ----------------------------------------------------------------------------------

// Each view: which coordinate runs right and which runs down on the screen.
const VIEWS = [
  { id: 'top', right: 'x', down: 'y' },
  { id: 'front', right: 'y', down: 'z' },
  { id: 'side', right: 'x', down: 'z' },
];

function niceStep(span) {
  const raw = span / 6;
  const power = Math.pow(10, Math.floor(Math.log10(raw)));
  for (const m of [1, 2, 5, 10]) if (m * power >= raw) return m * power;
  return 10 * power;
}

// A box around everything shown, the same for every view so their scales agree.
function extent() {
  const lo = { x: Infinity, y: Infinity, z: Infinity };
  const hi = { x: -Infinity, y: -Infinity, z: -Infinity };
  for (const t of tracks.values()) {
    for (const p of t.points) {
      for (const a of ['x', 'y', 'z']) { lo[a] = Math.min(lo[a], p[a]); hi[a] = Math.max(hi[a], p[a]); }
    }
  }
  let span = 20;
  for (const a of ['x', 'y', 'z']) {
    if (lo[a] > hi[a]) { lo[a] = -10; hi[a] = 10; }
    span = Math.max(span, (hi[a] - lo[a]) * 1.3);
  }
  const centre = {};
  for (const a of ['x', 'y', 'z']) centre[a] = (lo[a] + hi[a]) / 2;
  return { centre, span };
}

function drawView(view, box, now) {
  const canvas = document.getElementById(view.id);
  const g = canvas.getContext('2d');
  const w = canvas.width, h = canvas.height, margin = 34;
  const scale = Math.min(w - 2 * margin, h - 2 * margin) / box.span;
  const sx = (v) => w / 2 + (v - box.centre[view.right]) * scale;
  const sy = (v) => h / 2 + (v - box.centre[view.down]) * scale;
  g.clearRect(0, 0, w, h);

  // Grid and ticks, in cm.
  const step = niceStep(box.span);
  g.strokeStyle = '#eee';
  g.fillStyle = '#888';
  g.font = '10px sans-serif';
  g.lineWidth = 1;
  for (const axis of ['right', 'down']) {
    const c = box.centre[view[axis]];
    const half = (axis === 'right' ? w : h) / 2 / scale;
    for (let v = Math.ceil((c - half) / step) * step; v <= c + half; v += step) {
      g.beginPath();
      if (axis === 'right') { g.moveTo(sx(v), 0); g.lineTo(sx(v), h - 14); g.stroke(); g.fillText(String(Math.round(v)), sx(v) + 2, h - 16); }
      else { g.moveTo(24, sy(v)); g.lineTo(w, sy(v)); g.stroke(); g.fillText(String(Math.round(v)), 2, sy(v) + 3); }
    }
  }
  g.fillStyle = '#333';
  g.font = '11px sans-serif';
  g.fillText(view.right + ' (cm) \u2192', w - 62, h - 3);
  g.fillText(view.down + ' (cm) \u2193', 28, 12);

  for (const t of tracks.values()) {
    if (t.points.length === 0) continue;
    const last = t.points[t.points.length - 1];
    g.strokeStyle = t.colour;
    g.globalAlpha = 0.6;
    g.beginPath();
    let started = false;
    for (const p of t.points) {
      if (p.t < last.t - TRAIL_S) continue;
      if (!started) { g.moveTo(sx(p[view.right]), sy(p[view.down])); started = true; } else g.lineTo(sx(p[view.right]), sy(p[view.down]));
    }
    g.stroke();
    g.globalAlpha = 1;
    // The heading: the receiver's x axis from azimuth and elevation (z points down).
    const az = last.az * Math.PI / 180, el = last.el * Math.PI / 180;
    const d = { x: Math.cos(el) * Math.cos(az), y: Math.cos(el) * Math.sin(az), z: -Math.sin(el) };
    const px = sx(last[view.right]), py = sy(last[view.down]);
    g.lineWidth = 2;
    g.beginPath();
    g.moveTo(px, py);
    g.lineTo(px + d[view.right] * 22, py + d[view.down] * 22);
    g.stroke();
    g.lineWidth = 1;
    g.fillStyle = t.colour;
    g.beginPath();
    g.arc(px, py, 4, 0, 2 * Math.PI);
    g.fill();
    g.fillText((t.kind === 'tracker' ? 'T' : 'C') + t.output, px + 6, py - 6);
  }
}

function drawPlot() {
  const canvas = document.getElementById('plot');
  // Drawn at the width the page gives it, so a phone's narrow plot keeps its text's shape.
  const fit = Math.round(canvas.clientWidth);
  if (fit > 0 && canvas.width !== fit) canvas.width = fit;
  const g = canvas.getContext('2d');
  const w = canvas.width, h = canvas.height, left = 40, bottom = 18;
  g.clearRect(0, 0, w, h);
  const t = tracks.get(document.getElementById('chosen').value);
  g.font = '10px sans-serif';
  if (!t || t.points.length === 0) { g.fillStyle = '#888'; g.fillText('no records yet', w / 2 - 30, h / 2); return; }
  const end = t.points[t.points.length - 1].t;
  let lo = Infinity, hi = -Infinity;
  for (const p of t.points) for (const a of ['x', 'y', 'z']) { lo = Math.min(lo, p[a]); hi = Math.max(hi, p[a]); }
  if (hi - lo < 2) { lo -= 1; hi += 1; }
  const px = (time) => left + (w - left - 8) * (1 - (end - time) / PLOT_S);
  const py = (v) => 6 + (h - bottom - 12) * (hi - v) / (hi - lo);
  g.strokeStyle = '#eee';
  g.fillStyle = '#888';
  const step = niceStep(hi - lo);
  for (let v = Math.ceil(lo / step) * step; v <= hi; v += step) {
    g.beginPath(); g.moveTo(left, py(v)); g.lineTo(w, py(v)); g.stroke();
    g.fillText(String(Math.round(v * 10) / 10), 2, py(v) + 3);
  }
  for (let s = 0; s <= PLOT_S; s += 2) g.fillText('-' + s + ' s', px(end - s) - 10, h - 4);
  g.fillText('cm', 2, h - 4);
  const colours = { x: '#d62728', y: '#2ca02c', z: '#1f77b4' };
  for (const a of ['x', 'y', 'z']) {
    g.strokeStyle = colours[a];
    g.beginPath();
    t.points.forEach((p, i) => (i ? g.lineTo(px(p.t), py(p[a])) : g.moveTo(px(p.t), py(p[a]))));
    g.stroke();
    g.fillStyle = colours[a];
    g.fillText(a, w - 40 + ['x', 'y', 'z'].indexOf(a) * 12, 12);
  }
}

let fpsSince = performance.now();
function frame(now) {
  const box = extent();
  for (const view of VIEWS) drawView(view, box, now);
  drawPlot();
  frames++;
  if (now - fpsSince >= 1000) {
    const fps = document.getElementById('fps');
    fps.textContent = Math.round(frames * 1000 / (now - fpsSince)) + ' redraws/s';
    fps.dataset.fps = String(frames);
    frames = 0;
    fpsSince = now;
  }
  requestAnimationFrame(frame);
}

if (window.initialState) showState(window.initialState);
connect();
poll();
requestAnimationFrame(frame);
