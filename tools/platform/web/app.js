// polmon-platform's commissioning view. Every text shown comes from a station on the wire, so it
// only ever goes into the page as text (textContent), never as markup.
'use strict';
(() => {
  const MAX_FRAMES = 300; // rows in the frame log
  const KEEP = 512;       // points per line kept as they come; beyond 2 x KEEP neighbours are averaged
  const KINDS = { rtd: 'real-time', min: 'minute', hour: 'hour' };
  const COLOURS = { rtd: '#1f6fb4', min: '#2a9d4b', hour: '#c0392b' };

  const $ = (id) => document.getElementById(id);
  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined && text !== null) e.textContent = String(text);
    return e;
  }
  function row(cells) {
    const tr = el('tr');
    for (const c of cells) tr.appendChild(c instanceof Node ? c : el('td', null, c));
    return tr;
  }
  const pad = (n) => String(n).padStart(2, '0');
  const clock = (ms) => { const d = new Date(ms); return `${pad(d.getHours())}:${pad(d.getMinutes())}:${pad(d.getSeconds())}`; };
  const stamp = (ms) => { const d = new Date(ms); return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())} ${clock(ms)}`; };
  const dataTime = (t) => (/^\d{14}$/.test(t) ? `${t.slice(0, 4)}-${t.slice(4, 6)}-${t.slice(6, 8)} ${t.slice(8, 10)}:${t.slice(10, 12)}:${t.slice(12)}` : t);
  function setBadge(node, text, kind) {
    node.textContent = text;
    node.className = `badge ${kind || ''}`;
  }

  // ---- stations and checks
  function showStations(s) {
    const body = $('stations').tBodies[0];
    body.replaceChildren();
    const link = s.link, c = s.counters;
    const since = link.since ? (link.up ? stamp(link.since) : `closed ${stamp(link.since)}`) : 'not connected';
    const rows = s.rows.length ? s.rows : [{ mn: '(no frame yet)', version: '', charset: '', in: 0, out: 0, rejected: '' }];
    for (const r of rows) {
      body.appendChild(row([el('td', 'mn', r.mn), link.peer || '-', since, r.version || '-', r.charset || '-',
        c.encrypted ? 'on' : 'off', r.in, r.out, r.rejected || 'none', c.resends, c.heartbeats]));
    }
  }
  function showChecks(c) {
    if (!c) return;
    setBadge($('verdict'), c.broken ? 'checks: BROKEN' : 'checks: OK', c.broken ? 'bad' : 'ok');
    $('summary').textContent = c.summary;
  }
  function showWeb(w) {
    if (!w) return;
    $('csvpath').textContent = w.csvPath;
    $('csvrows').textContent = w.csvRows;
    let text = `${w.clients} page(s) open`;
    if (w.droppedClients) text += `, ${w.droppedClients} slow page stream(s) dropped`;
    if (w.csvDropped) text += `, ${w.csvDropped} CSV rows lost (disk too slow)`;
    if (w.factorsIgnored) text += `, ${w.factorsIgnored} values of factors beyond the 64 plotted`;
    $('webfigures').textContent = `${text}.`;
  }

  // ---- decode of a frame (log entries and the inspector alike)
  function table(pairs, head) {
    const t = el('table');
    if (head) t.appendChild(row(head.map((h) => el('th', null, h))));
    for (const cells of pairs) t.appendChild(row(cells));
    return t;
  }
  function decode(d) {
    const r = d.report, box = el('div', 'decode-body');
    box.appendChild(el('div', r.verdict === 'accept' ? 'accepted' : 'rejected',
      `${r.verdict === 'accept' ? 'ACCEPTED' : 'REJECTED'} (${r.bytes} bytes with CR LF)`));
    for (const why of r.reasons) box.appendChild(el('div', 'reason', `reason: ${why}`));
    for (const note of r.notes) box.appendChild(el('div', 'note', `note: ${note}`));
    if (r.length) {
      box.appendChild(table([
        ['length', `${r.length.field} (announced ${r.length.announced}, data ${r.length.actual} bytes, ${r.charset})`],
        ['crc', `${r.crc.field} (computed ${r.crc.computed})`],
      ]));
      const fields = Object.entries(r.fields).filter(([k]) => k !== 'CP');
      box.appendChild(table(fields, ['Field', 'Value']));
      // each item with what the code tables say of it, and their notes
      const items = (r.items || []).map((i) => [i.key, i.value, [i.meaning, i.flag].filter(Boolean).join(': '), i.notes.join('; ')]);
      box.appendChild(table(items, ['CP item', 'Value', 'Meaning', 'Notes']));
      box.appendChild(el('pre', null, d.data));
    }
    return box;
  }

  // ---- frame log
  const frameRows = $('frames').tBodies[0];
  function addFrame(f) {
    const tr = row([clock(f.t), el('td', 'dir', f.dir === 'in' ? '\u2190 in' : '\u2192 out'), f.cn, f.cnName, f.mn,
      el('td', 'verdict', f.ok ? 'accepted' : `rejected: ${f.reason}`), el('td', 'content', f.text)]);
    tr.className = `frame ${f.ok ? 'accepted' : 'rejected'}`;
    tr.dataset.seq = f.seq;
    tr.addEventListener('click', () => toggleDecode(tr, f.seq));
    frameRows.insertBefore(tr, frameRows.firstChild);
    while (frameRows.querySelectorAll('tr.frame').length > MAX_FRAMES) {
      const last = frameRows.lastElementChild;
      if (last.classList.contains('decode') && last.previousElementSibling) last.previousElementSibling.remove();
      last.remove();
    }
  }
  async function toggleDecode(tr, seq) {
    const next = tr.nextElementSibling;
    if (next && next.classList.contains('decode')) { next.remove(); return; }
    const holder = el('tr', 'decode');
    const cell = el('td', null, 'decoding...');
    cell.colSpan = 7;
    holder.appendChild(cell);
    tr.after(holder);
    try {
      const res = await fetch(`api/frame/${seq}`);
      if (!res.ok) { cell.textContent = (await res.text()).trim(); return; }
      cell.replaceChildren(decode(await res.json()));
    } catch (e) {
      cell.textContent = `no answer from the platform (${e})`;
    }
  }

  // ---- latest values and plots
  const latest = new Map(); // code -> {tr, cells}
  function latestRow(code, name, unit) {
    let r = latest.get(code);
    if (r) return r;
    const cells = [el('td', 'code', code), el('td', null, name), el('td', 'unit', unit), el('td', 'rtd'), el('td', 'min'), el('td', 'hour'),
      el('td', 'flag'), el('td'), el('td', 'notes')];
    const tr = row(cells);
    r = { tr, cells };
    latest.set(code, r);
    const body = $('latest').tBodies[0];
    const after = [...body.rows].find((x) => x.cells[0].textContent > code);
    body.insertBefore(tr, after || null);
    return r;
  }
  // r: {value, flag, flagMeaning, notes, dataTime}; the flag's meaning shows on hover
  function showReading(code, name, unit, kind, r) {
    const cells = latestRow(code, name, unit).cells;
    const index = { rtd: 3, min: 4, hour: 5 }[kind];
    cells[index].textContent = r.value;
    cells[6].textContent = r.flag;
    cells[6].title = r.flagMeaning || (r.flag ? 'not a data flag of the frame\'s version' : '');
    cells[7].textContent = dataTime(r.dataTime);
    cells[8].textContent = r.notes || '';
  }

  class Line {
    constructor(points) { this.points = points || []; this.sx = 0; this.sy = 0; this.n = 0; this.stride = 1; this.open = false; }
    add(x, y) {
      this.sx += x; this.sy += y; this.n += 1;
      const p = { x: this.sx / this.n, y: this.sy / this.n };
      if (this.open) this.points[this.points.length - 1] = p; else { this.points.push(p); this.open = true; }
      if (this.n < this.stride) return;
      this.sx = 0; this.sy = 0; this.n = 0; this.open = false;
      if (this.points.length < 2 * KEEP) return;
      const merged = [];
      for (let i = 0; i + 1 < this.points.length; i += 2) {
        const a = this.points[i], b = this.points[i + 1];
        merged.push({ x: (a.x + b.x) / 2, y: (a.y + b.y) / 2 });
      }
      this.points.splice(0, this.points.length, ...merged); // the chart keeps this array
      this.stride *= 2;
    }
  }
  const plots = new Map(); // code -> {chart, lines: {kind: Line}}
  const dirty = new Set();
  function plot(code, name, unit) {
    let p = plots.get(code);
    if (p) return p;
    $('noplots').hidden = true;
    const card = el('div', 'plot');
    card.appendChild(el('h3', null, (name ? `${code} ${name}` : code) + (unit ? ` (${unit})` : '')));
    const holder = el('div', 'canvas');
    const canvas = el('canvas');
    canvas.dataset.factor = code;
    holder.appendChild(canvas);
    card.appendChild(holder);
    const box = $('plots');
    const after = [...box.children].find((x) => x.dataset.factor > code);
    card.dataset.factor = code;
    box.insertBefore(card, after || null);
    const chart = new Chart(canvas, {
      type: 'line',
      data: { datasets: [] },
      options: {
        animation: false, parsing: false, normalized: true, responsive: true, maintainAspectRatio: false,
        interaction: { mode: 'nearest', intersect: false },
        scales: { x: { type: 'linear', ticks: { callback: (v) => clock(v), maxTicksLimit: 5 } } },
        plugins: {
          legend: { labels: { boxWidth: 10 } },
          tooltip: { callbacks: { title: (items) => (items.length ? stamp(items[0].parsed.x) : '') } },
        },
        elements: { point: { radius: 1.5 }, line: { borderWidth: 1.5 } },
      },
    });
    p = { chart, lines: {}, card };
    plots.set(code, p);
    return p;
  }
  function line(code, name, unit, kind, points) {
    const p = plot(code, name, unit);
    if (!p.lines[kind]) {
      const l = new Line(points);
      p.lines[kind] = l;
      p.chart.data.datasets.push({ label: KINDS[kind] || kind, data: l.points, borderColor: COLOURS[kind], backgroundColor: COLOURS[kind] });
    }
    dirty.add(p.chart);
    return p.lines[kind];
  }
  function redraw() {
    for (const chart of dirty) chart.update('none');
    dirty.clear();
    requestAnimationFrame(redraw);
  }
  function addValues(v) {
    if (!v.kind) return;
    for (const item of v.items) {
      if (!item.main) continue;
      showReading(item.code, item.name, item.unit, v.kind, { ...item, dataTime: v.dataTime });
      const y = Number(item.value);
      if (item.value.trim() !== '' && Number.isFinite(y) && (plots.has(item.code) || plots.size < 64)) {
        line(item.code, item.name, item.unit, v.kind).add(v.x, y);
      }
    }
  }

  // ---- the whole state, at the start of every stream
  function applySnapshot(s) {
    $('name').textContent = s.name;
    document.title = `${s.name}: polmon-platform`;
    showStations(s.stations);
    showChecks(s.checks);
    showWeb(s.web);
    frameRows.replaceChildren();
    for (const f of s.frames) addFrame(f);
    $('latest').tBodies[0].replaceChildren();
    latest.clear();
    for (const l of s.latest) {
      for (const kind of Object.keys(l.kinds)) {
        const k = l.kinds[kind];
        showReading(l.code, l.name, l.unit, kind, k);
      }
    }
    for (const p of plots.values()) { p.chart.destroy(); p.card.remove(); }
    plots.clear();
    dirty.clear();
    for (const series of s.series) line(series.code, series.name, series.unit, series.kind, series.points.map(([x, y]) => ({ x, y })));
  }

  // ---- the event stream; the browser reconnects by itself, and each stream starts with a snapshot
  function connect() {
    const es = new EventSource('events');
    const on = (name, fn) => es.addEventListener(name, (e) => fn(JSON.parse(e.data)));
    on('snapshot', applySnapshot);
    on('frame', addFrame);
    on('values', addValues);
    on('stations', showStations);
    on('checks', showChecks);
    on('web', showWeb);
    es.onopen = () => setBadge($('live'), 'live', 'ok');
    es.onerror = () => {
      if (es.readyState === EventSource.CLOSED) {
        setBadge($('live'), 'not connected: too many pages open, or the platform stopped; retrying', 'bad');
        setTimeout(connect, 5000);
      } else {
        setBadge($('live'), 'reconnecting', 'warn');
      }
    };
  }

  // ---- the inspector
  async function inspect() {
    const out = $('inspected');
    out.replaceChildren(el('p', 'hint', 'inspecting...'));
    try {
      const res = await fetch($('hex').checked ? 'api/inspect?hex=1' : 'api/inspect',
        { method: 'POST', body: $('paste').value, headers: { 'Content-Type': 'text/plain' } });
      if (res.status === 413) { out.replaceChildren(el('p', 'reason', 'too long: 64 KiB at most')); return; }
      if (!res.ok) { out.replaceChildren(el('p', 'reason', `the platform answered ${res.status}`)); return; }
      const d = await res.json();
      out.replaceChildren();
      if (!d.count) out.appendChild(el('p', 'reason', 'no frame ("##") in the text'));
      d.spans.forEach((s, i) => {
        out.appendChild(el('h3', null, `frame ${i + 1} at offset ${s.report.offset}`));
        const box = el('div', 'decode');
        box.appendChild(decode(s));
        out.appendChild(box);
      });
      if (d.count > d.spans.length) out.appendChild(el('p', 'hint', `and ${d.count - d.spans.length} more`));
    } catch (e) {
      out.replaceChildren(el('p', 'reason', `no answer from the platform (${e})`));
    }
  }
  $('inspect').addEventListener('click', inspect);

  requestAnimationFrame(redraw);
  connect();
})();
