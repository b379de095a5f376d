'use strict';
// The monitor's page: every line's latest round from /api/lines, then live
// over /api/events; trends from /api/history drawn with Chart.js. A site of
// one line looks as it always did; with several, each line has its own
// section, and alarms, events and charts name their line.
const $ = (id) => document.getElementById(id);
const MAX_EVENTS = 50;
let token = sessionStorage.getItem('token') || '';
let rangeS = 3600;
// The lines by bus data id, in the site's order: { id, port, round, state, text, section }.
const lines = new Map();
let table = {};  // /api/fields: labels, units and state words by device type number
const charts = [];

function headers() { return token ? { Authorization: 'Bearer ' + token } : {}; }

async function api(path) {
  const r = await fetch(path, { headers: headers(), cache: 'no-store' });
  if (r.status === 401) {
    token = window.prompt('Access token for this monitor') || '';
    sessionStorage.setItem('token', token);
    if (token) return api(path);
  }
  const body = await r.json();
  if (!r.ok) throw new Error(body.error || r.statusText);
  return body;
}

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined) e.textContent = text;
  if (cls) e.className = cls;
  return e;
}

// The field table entry of a signal ("ia", "channel_0_a") or a decoded
// field path ("v", "channels.0.a", "m_value.1"); undefined when it has none.
function fieldOf(typeNumber, name) {
  const t = table[typeNumber];
  if (!t) return undefined;
  const parts = name.split('.');
  const ch = /^channel_\d+_(.+)$/.exec(name);
  const inItem = t.item && (ch || parts[0] === t.list);
  const last = ch ? ch[1] : parts[inItem ? 2 : 0];
  return (inItem ? t.item : t.head).fields.find((f) => f.name === last);
}

function unitOf(typeNumber, name) { const f = fieldOf(typeNumber, name); return f ? f.unit : ''; }

// A signal's label for people, from the field table; channels count from 1
// as the devices' own alarm texts count them ("channel_0_a" is "channel 1 A").
// The signal name itself is the row's tooltip.
function signalLabel(typeNumber, name) {
  const f = fieldOf(typeNumber, name);
  if (!f || !f.label) return name;
  const ch = /^channel_(\d+)_/.exec(name);
  return ch ? `channel ${Number(ch[1]) + 1} ${f.label}` : f.label;
}

const several = () => lines.size > 1;

// The device of that data id in any line's latest round, and its line.
function deviceOf(dataId) {
  for (const l of lines.values()) {
    const d = l.round && l.round.devices.find((x) => x.data_id === dataId);
    if (d) return { d, line: l.id };
  }
  return { d: undefined, line: undefined };
}

function typeOf(dataId) { const { d } = deviceOf(dataId); return d ? d.type_number : 0; }

// "line 1000 · " on a site of several lines, else "".
function linePrefix(id) { return several() && id !== undefined ? `line ${id} · ` : ''; }

// The word of an alarm-state value as the table has it.
function stateWord(field, v) { return v === 0 ? 'normal' : (field.states[v] || `state ${v}`); }

function fmt(v) {
  if (typeof v !== 'number') return String(v);
  return Math.abs(v) >= 100 ? v.toFixed(1) : v.toFixed(2);
}

function localIso(ms) {
  const d = new Date(ms);
  const p = (n, w = 2) => String(n).padStart(w, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}`;
}

function roundMs(time) { return Date.parse(time.replace(' ', 'T')); }

function setState(id, state, text) {
  $(id).dataset.state = state;
  $(id).textContent = text;
}

function lineOf(id, port) {
  let l = lines.get(id);
  if (!l) {
    const section = el('section', undefined, 'line');
    section.dataset.line = id;
    section.setAttribute('aria-labelledby', `h-line-${id}`);
    section.append(el('h2'), el('div', undefined, 'devices'));
    section.firstChild.id = `h-line-${id}`;
    $('lines').append(section);
    l = { id, port, round: null, state: 'unknown', text: 'unknown', section };
    lines.set(id, l);
    for (const other of lines.values()) renderHeading(other);
  }
  return l;
}

// "Devices" alone on a one-line site (the header tells its state), else the
// line's bus data id, port, state and round.
function renderHeading(l) {
  const h = l.section.firstChild;
  if (!several()) { h.textContent = 'Devices'; return; }
  h.replaceChildren(`Line ${l.id} on ${l.port} `);
  const state = el('span', l.text, 'line-state');
  state.dataset.state = l.state;
  h.append(state);
  if (l.round) h.append(el('span', ` round ${l.round.round} at ${l.round.time.slice(11, 19)}`, 'line-round'));
}

function setLineState(l, state, text) {
  l.state = state;
  l.text = text;
  renderHeading(l);
  renderHeader();
}

// The header: a one-line site's port, state and round; with several lines
// how many answer and the newest round.
function renderHeader(newest) {
  const all = [...lines.values()];
  if (!several()) {
    const l = all[0];
    if (!l) return;
    $('port').textContent = l.port;
    setState('line', l.state, l.text);
    if (l.round) $('round').textContent = `${l.round.round} at ${l.round.time.slice(11, 19)}`;
    return;
  }
  $('port').textContent = `— ${all.length} lines`;
  const down = all.filter((l) => l.state === 'down');
  const up = all.filter((l) => l.state === 'up');
  if (down.length) setState('line', 'down', down.map((l) => `line ${l.id} ${l.text}`).join(', '));
  else if (up.length === all.length) setState('line', 'up', 'all answering');
  else setState('line', 'unknown', `${up.length} of ${all.length} answering`);
  if (newest) $('round').textContent = `line ${newest.bus.data_id}: ${newest.round} at ${newest.time.slice(11, 19)}`;
}

// Failed history writes, shown only once there are some.
function renderStore(round) {
  const failed = round.history ? round.history.failed_writes : 0;
  $('store-head').hidden = $('store').hidden = !failed;
  if (failed) $('store').textContent = `${failed} failed writes`;
}

function renderDevices(l) {
  const round = l.round;
  l.section.dataset.round = round.round;
  const box = l.section.querySelector('.devices');
  box.replaceChildren();
  for (const d of round.devices) {
    const card = el('article', undefined, 'device');
    const h = el('h3', `${d.type} ${d.data_id} `);
    h.append(el('span', d.age_s === null ? '(no data yet)' : `(data ${fmt(d.age_s)} s old)`, 'age'));
    card.append(h);
    const table = el('table');
    table.append(el('tbody'));
    // The rectifier device answers every signal with an exception text by
    // design: once it has a snapshot, the card shows what that holds.
    const fromSnapshot = d.type_number === 5107 && d.fields;
    for (const [name, value] of Object.entries(fromSnapshot ? {} : d.signals)) {
      const tr = el('tr');
      const th = el('th', signalLabel(d.type_number, name));
      th.title = name;
      tr.append(th);
      const td = el('td', undefined, 'num');
      td.dataset.dev = d.data_id;
      td.dataset.sig = name;
      const f = fieldOf(d.type_number, name);
      if (f && f.states && typeof value === 'number') {
        td.textContent = stateWord(f, value);
        if (value !== 0) td.classList.add('alarm');
      } else {
        td.textContent = typeof value === 'number' ? `${fmt(value)} ${f ? f.unit : ''}`.trim() : value;
      }
      tr.append(td);
      table.tBodies[0].append(tr);
    }
    // A snapshot value with its label and unit from the field table.
    const fieldRow = (label, path, value, extra, alarm) => {
      const f = fieldOf(d.type_number, path);
      const tr = el('tr');
      tr.append(el('th', label));
      const td = el('td', `${`${fmt(value)} ${f ? f.unit : ''}`.trim()}${extra}`, alarm ? 'num alarm' : 'num');
      td.dataset.dev = d.data_id;
      td.dataset.field = path;
      tr.append(td);
      table.tBodies[0].append(tr);
    };
    if (fromSnapshot) fieldRow(fieldOf(d.type_number, 'group_value').label, 'group_value', d.fields.group_value, '', false);
    const fault = fieldOf(d.type_number, 'modules.0.fault');
    for (const [i, m] of ((d.fields && d.fields.modules) || []).entries()) {
      fieldRow(`module ${i + 1}`, `modules.${i}.value`, m.value,
               m.fault && fault ? ` — ${stateWord(fault, m.fault)}` : '', m.fault);
    }
    const tr = el('tr');
    const bad = d.fields ? alertStates(d.type_number, d.fields) : [];
    tr.append(el('th', 'states'));
    tr.append(el('td', d.fields ? (bad.length ? bad.join(', ') : 'all normal') : '–', bad.length ? 'num states alarm' : 'num states'));
    table.tBodies[0].append(tr);
    card.append(table);
    box.append(card);
  }
}

// The decoded alarm-state bytes the device interprets that are not normal,
// e.g. "channel 1 A state: phase loss"; items and array elements count from
// 1, as the devices' own alarm texts do.
function alertStates(typeNumber, fields) {
  const t = table[typeNumber];
  const out = [];
  const scan = (record, obj, where) => {
    for (const f of record.fields) {
      if (!f.states || !Object.keys(f.states).length) continue;  // not an alarm state, or raw bytes
      const v = obj[f.name];
      if (Array.isArray(v)) v.forEach((x, i) => { if (x) out.push(`${where}${f.label} ${i + 1}: ${stateWord(f, x)}`); });
      else if (typeof v === 'number' && v) {
        const w = stateWord(f, v);
        out.push(w === f.label ? `${where}${w}` : `${where}${f.label}: ${w}`);  // "module 1 fault"
      }
    }
  };
  if (!t) return out;
  scan(t.head, fields, '');
  if (t.item) (fields[t.list] || []).forEach((item, i) => scan(t.item, item, `${t.list.replace(/s$/, '')} ${i + 1} `));
  return out;
}

// The active alarms of every line's latest round, a line column when there
// are several.
function renderAlarms() {
  const body = $('alarms').tBodies[0];
  body.replaceChildren();
  let n = 0;
  for (const l of lines.values()) {
    for (const a of l.round ? l.round.active_alarms : []) {
      const tr = el('tr', undefined, 'alarm-row');
      tr.dataset.line = l.id;
      if (several()) tr.append(el('td', String(l.id), 'line-col'));
      tr.append(el('td', String(a.data_id)), el('td', String(a.level)), el('td', `${a.name} (${a.id})`, 'alarm'),
                el('td', a.text));
      body.append(tr);
      ++n;
    }
  }
  $('alarms').tHead.querySelector('.line-col').hidden = !several();
  $('alarm-count').textContent = n;
  $('no-alarms').hidden = n > 0;
  $('alarms').hidden = n === 0;
}

function addEvent(e, top) {
  const line = e.line !== undefined ? e.line : deviceOf(e.data_id).line;
  const li = el('li', `${e.time.replace('T', ' ').slice(0, 19)} ${linePrefix(line)}${e.data_id} ${e.name} (${e.id}) ${e.text}`,
                e.event);
  const list = $('events');
  if (top) list.prepend(li); else list.append(li);
  while (list.children.length > MAX_EVENTS) list.lastChild.remove();
}

function render(round) {
  const l = lineOf(round.bus.data_id, round.port);
  l.round = round;
  if (round.bus.data_valid === 1) { l.state = 'up'; l.text = 'answering'; }
  renderHeading(l);
  renderHeader(round);
  renderStore(round);
  renderDevices(l);
  renderAlarms();
  fillPickers();
  for (const c of charts) addPoint(c, round);
}

// --- trends ---
function valueAt(fields, path) {
  return path.split('.').reduce((v, k) => (v === undefined || v === null ? undefined : v[k]), fields);
}

function numericPaths(obj, prefix, out) {
  for (const [k, v] of Object.entries(obj)) {
    const p = prefix ? `${prefix}.${k}` : k;
    if (typeof v === 'number' && !/(_num|^data_id|channel_num)$/.test(k)) out.push(p);
    else if (v && typeof v === 'object') numericPaths(v, p, out);
  }
  return out;
}

// The choice of fields of every line's devices, made again when a line's
// first decoded round comes in.
let pickedLines = '';
function fillPickers() {
  const withFields = [...lines.values()].filter((l) => l.round && l.round.devices.some((d) => d.fields));
  const key = withFields.map((l) => l.id).join(',');
  if (key === pickedLines) return;
  pickedLines = key;
  for (const c of charts) {
    c.picker.replaceChildren();
    for (const l of withFields) {
      for (const d of l.round.devices) {
        if (!d.fields) continue;
        for (const p of numericPaths(d.fields, '', [])) {
          const u = unitOf(d.type_number, p);
          const o = el('option', `${linePrefix(l.id)}${d.type} ${d.data_id}: ${p}${u ? ` (${u})` : ''}`);
          o.value = `${d.data_id}:${p}`;
          c.picker.append(o);
        }
      }
    }
    if (!c.dataId) {
      const dc = withFields.length && withFields[0].round.devices.find((d) => d.type_number === 5108 && d.fields);
      if (!dc) continue;
      c.dataId = dc.data_id;
    }
    c.picker.value = `${c.dataId}:${c.field}`;
    load(c);
  }
}

function makeChart(i, field, title, dash) {
  const chart = new Chart($(`chart-${i}`), {
    type: 'line',
    // The line (raw values or the mean), and for aggregates the band from
    // min to max of each minute or hour.
    data: { datasets: [{ label: title, data: [], borderColor: '#1f3f8f', borderDash: dash, borderWidth: 2,
                         pointRadius: 0, tension: 0 },
                       { label: 'min', data: [], borderWidth: 0, pointRadius: 0, fill: false },
                       { label: 'max', data: [], borderWidth: 0, pointRadius: 0, fill: '-1',
                         backgroundColor: 'rgba(31, 63, 143, 0.15)' }] },
    options: {
      animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
      scales: {
        x: { type: 'linear', ticks: { maxTicksLimit: 7, maxRotation: 0, callback: (v) => localIso(v).slice(rangeS > 3600 ? 5 : 11, 16).replace('T', ' ') } },
        y: { title: { display: true, text: '' } },
      },
      plugins: { legend: { labels: { boxHeight: 2, filter: (item) => item.datasetIndex === 0 } } },
    },
  });
  const c = { chart, field, dataId: 0, picker: $(`pick-${i}`) };
  c.picker.addEventListener('change', () => {
    const [id, f] = c.picker.value.split(/:(.*)/);
    c.dataId = Number(id);
    c.field = f;
    load(c);
  });
  charts.push(c);
}

async function load(c) {
  const ds = c.chart.data.datasets[0];
  const f = fieldOf(typeOf(c.dataId), c.field);
  ds.label = `${linePrefix(deviceOf(c.dataId).line)}${c.dataId} ${c.field}${f ? `: ${f.title}` : ''}${f && f.unit ? ` (${f.unit})` : ''}`;
  c.chart.options.scales.y.title.text = f ? f.unit : '';
  const from = localIso(Date.now() - rangeS * 1000);
  try {
    const h = await api(`api/history?data_id=${c.dataId}&field=${encodeURIComponent(c.field)}&from=${from}&limit=720`);
    // 1 h: the saved rounds; 24 h and 7 d: minute or hour aggregates [t, mean, min, max].
    ds.data = h.points.map(([t, v]) => ({ x: Date.parse(t), y: v }));
    const agg = h.step && h.step !== 'raw';
    c.chart.data.datasets[1].data = agg ? h.points.map((p) => ({ x: Date.parse(p[0]), y: p[2] })) : [];
    c.chart.data.datasets[2].data = agg ? h.points.map((p) => ({ x: Date.parse(p[0]), y: p[3] })) : [];
    if (agg) ds.label += ` — ${h.step} mean, min to max`;
  } catch (e) {
    ds.data = [];
    c.chart.data.datasets[1].data = c.chart.data.datasets[2].data = [];
    ds.label += ` — ${e.message}`;
  }
  setWindow(c, Date.now());
}

// The x axis always spans the chosen range up to now.
function setWindow(c, now) {
  c.chart.data.datasets[0].pointRadius = c.chart.data.datasets[0].data.length < 60 ? 2 : 0;  // a few points stay visible
  c.chart.options.scales.x.min = now - rangeS * 1000;
  c.chart.options.scales.x.max = now;
  c.chart.update('none');
}

function addPoint(c, round) {
  const d = round.devices.find((x) => x.data_id === c.dataId);
  const v = d && d.fields ? valueAt(d.fields, c.field) : undefined;
  if (typeof v !== 'number') return;
  const data = c.chart.data.datasets[0].data;
  const x = roundMs(round.time);
  if (data.length && data[data.length - 1].x >= x) return;
  data.push({ x, y: v });
  while (data.length && data[0].x < x - rangeS * 1000) data.shift();
  setWindow(c, Math.max(x, Date.now()));
}

for (const b of document.querySelectorAll('.ranges button')) {
  b.addEventListener('click', () => {
    rangeS = Number(b.dataset.range);
    for (const o of document.querySelectorAll('.ranges button')) o.setAttribute('aria-pressed', String(o === b));
    for (const c of charts) load(c);
  });
}

// --- live ---
function connect() {
  const src = new EventSource('api/events' + (token ? `?access_token=${encodeURIComponent(token)}` : ''));
  src.onopen = () => setState('conn', 'live', 'live');
  src.onerror = () => setState('conn', 'lost', src.readyState === EventSource.CLOSED ? 'disconnected' : 'reconnecting');
  src.addEventListener('round', (e) => render(JSON.parse(e.data)));
  src.addEventListener('alarm', (e) => {
    const a = JSON.parse(e.data);
    addEvent({ time: a.time, data_id: a.data_id, name: a.rule.name, id: a.rule.id, text: a.rule.text,
               line: a.bus_data_id, event: a.kind === 'alarm_begin' ? 'begin' : 'end' }, true);
  });
  src.addEventListener('line', (e) => {
    const ev = JSON.parse(e.data);
    const l = lineOf(ev.bus_data_id, ev.port);
    if (/_lost$/.test(ev.kind)) setLineState(l, 'down', ev.kind === 'port_lost' ? 'port lost' : 'not answering');
    else setLineState(l, 'up', 'answering');
  });
}

async function start() {
  makeChart(0, 'v', 'DC voltage', []);
  makeChart(1, 'i', 'load current', [6, 3]);
  try { table = await api('api/fields'); } catch (e) { $('round').textContent = e.message; }
  try {
    const all = await api('api/lines');
    for (const round of all) render(round);
    if (!all.length) $('round').textContent = 'no round completed yet';
  } catch (e) { $('round').textContent = e.message; }
  try {  // after the lines, so that each event names its line
    const ev = await api('api/alarms?limit=' + MAX_EVENTS);
    for (const e of ev.events.reverse()) addEvent(e, false);
  } catch (e) { /* no history database */ }
  connect();
}

start();
