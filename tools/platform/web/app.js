// polmon-platform's commissioning view. Every text shown comes from a station on the wire, so it
// only ever goes into the page as text (textContent), never as markup.
'use strict';
(() => {
  const MAX_FRAMES = 300; // rows in the frame log
  const KEEP = 512;       // points per line kept as they come; beyond 2 x KEEP neighbours are averaged
  const MAX_FACTORS = 64; // as the platform keeps
  const KIND_ORDER = ['rtd', 'min', 'hour', 'day'];
  const COLOURS = { rtd: '#1f6fb4', min: '#2a9d4b', hour: '#c0392b', day: '#7b4fb0' };
  const FIELDS = ['Rtd', 'Min', 'Avg', 'Max', 'Cou'];
  const MARKS = { upload: 0, resend: 1, history: 2 };
  const POINT_STYLES = ['circle', 'triangle', 'rectRot'];

  // ---- the page's words in English and Chinese; station text is never translated
  const WORDS = {
    en: {
      sub: 'commissioning view', csv: 'Values (CSV)', stations: 'Stations', previousMn: 'MN before 1002', peer: 'Peer',
      since: 'Connected since', version: 'Version', charset: 'Wire charset', encryption: 'Encryption', framesIn: 'Frames in',
      framesOut: 'Frames out', rejected: 'Rejected', resends: 'Resends', heartbeats: 'Heartbeats', latest: 'Latest values',
      latestHint: 'per factor and kind of data, the newest data time; a resend of older data does not replace it',
      factor: 'Factor', factorName: 'Name', unit: 'Unit', data: 'Data', Rtd: 'Rtd', Min: 'Min', Avg: 'Avg', Max: 'Max', Cou: 'Cou',
      flag: 'Flag', dataTime: 'Data time', source: 'Came as', notes: 'Notes', plots: 'Plots',
      plotsHint: 'by data time; \u25cf upload, \u25b2 resend (RF=1), \u25c6 history answer',
      noPlots: 'A plot appears per factor with the first real-time (2011), minute (2051), hour (2061) or day (2031) data.',
      completeness: 'Completeness', completenessHint: 'periods received and missing between the data times', period: 'Period',
      received: 'Received', missing: 'Missing', twice: 'Twice', span: 'From - to', gaps: 'Gaps (newest)',
      noCompleteness: 'Minute (2051), hour (2061) and day (2031) data show here as they come.', checks: 'Checks',
      frames: 'Frames', framesHint: 'newest first; click a frame for its decode and the whole text', time: 'Time', dir: 'Dir',
      meaning: 'Meaning', verdict: 'Verdict', content: 'Content', inspector: 'Inspector',
      inspectorHint: 'paste a frame or log lines; the same verdict as polmon-frame', inspect: 'Inspect', hex: 'hex dump',
      spooled: 'Values spooled to', rows: 'rows', builtWith: 'Built with Chart.js and cpp-httplib:', licences: 'licences',
      rtd: 'real-time', min: 'minute', hour: 'hour', day: 'day', upload: 'upload', resend: 'resend (RF=1)', history: 'history answer',
      connecting: 'connecting', live: 'live', reconnecting: 'reconnecting',
      closed: 'not connected: too many pages open, or the platform stopped; retrying', checksWaiting: 'checks: waiting',
      checksOk: 'checks: OK', checksBroken: 'checks: BROKEN', checksNoStation: 'checks: NO STATION', waitingPlatform: 'waiting for the platform', noFrame: '(no frame yet)',
      notConnected: 'not connected', closedAt: 'closed', on: 'on', off: 'off', none: 'none', accepted: 'accepted',
      rejectedAs: 'rejected', in: 'in', out: 'out', pagesOpen: 'page(s) open', droppedPages: 'slow page stream(s) dropped',
      csvLost: 'CSV rows lost (disk too slow)', factorsIgnored: 'values of factors beyond the 64 plotted', more: 'more',
      ofThem: 'of them', decoding: 'decoding...', noAnswer: 'no answer from the platform', inspecting: 'inspecting...',
      tooLong: 'too long: 64 KiB at most', answered: 'the platform answered', noHashes: 'no frame ("##") in the text',
      frameAt: 'frame {n} at offset {o}', andMore: 'and {n} more', field: 'Field', value: 'Value', cpItem: 'CP item',
      notAFlag: 'not a data flag of the frame\'s version',
    },
    zh: {
      sub: '调试视图', csv: '数据 (CSV)', stations: '站点', previousMn: '1002 前的 MN', peer: '对端', since: '连接时间',
      version: '协议版本', charset: '传输字符集', encryption: '加密', framesIn: '接收帧', framesOut: '发送帧', rejected: '拒收',
      resends: '补发', heartbeats: '心跳', latest: '最新数据', latestHint: '按因子和数据类型，取最新数据时间；较早数据的补发不替换它',
      factor: '因子', factorName: '名称', unit: '单位', data: '数据类型', Rtd: '实时值', Min: '最小值', Avg: '平均值', Max: '最大值',
      Cou: '累计值', flag: '标记', dataTime: '数据时间', source: '来源', notes: '提示', plots: '曲线',
      plotsHint: '按数据时间；\u25cf 上传，\u25b2 补发 (RF=1)，\u25c6 历史数据应答',
      noPlots: '收到第一条实时 (2011)、分钟 (2051)、小时 (2061) 或日 (2031) 数据后，每个因子显示一条曲线。',
      completeness: '数据完整性', completenessHint: '按数据时间统计已收和缺失的时段', period: '周期', received: '已收',
      missing: '缺失', twice: '重复', span: '起止', gaps: '缺口（最新）', noCompleteness: '分钟 (2051)、小时 (2061) 和日 (2031) 数据到达后显示于此。',
      checks: '检查', frames: '报文', framesHint: '最新在前；点击报文查看解析和全文', time: '时间', dir: '方向', meaning: '含义',
      verdict: '判定', content: '内容', inspector: '报文检查', inspectorHint: '粘贴报文或日志行；判定与 polmon-frame 相同',
      inspect: '检查', hex: '十六进制', spooled: '数据写入', rows: '行', builtWith: '使用 Chart.js 和 cpp-httplib：', licences: '许可证',
      rtd: '实时数据', min: '分钟数据', hour: '小时数据', day: '日数据', upload: '上传', resend: '补发 (RF=1)', history: '历史数据应答',
      connecting: '连接中', live: '实时', reconnecting: '重新连接中', closed: '未连接：打开的页面过多或平台已停止；稍后重试',
      checksWaiting: '检查：等待', checksOk: '检查：通过', checksBroken: '检查：未通过', checksNoStation: '检查：没有站点连接', waitingPlatform: '等待平台',
      noFrame: '（尚无报文）', notConnected: '未连接', closedAt: '已断开', on: '开', off: '关', none: '无', accepted: '接受',
      rejectedAs: '拒收', in: '收', out: '发', pagesOpen: '个页面打开', droppedPages: '个慢页面的数据流已断开',
      csvLost: '行 CSV 丢失（磁盘太慢）', factorsIgnored: '个超出 64 个曲线因子的数值', more: '更多', ofThem: '其中',
      decoding: '解析中…', noAnswer: '平台无应答', inspecting: '检查中…', tooLong: '太长：最多 64 KiB', answered: '平台应答',
      noHashes: '文本中没有报文 ("##")', frameAt: '第 {n} 帧，偏移 {o}', andMore: '另有 {n} 帧', field: '字段', value: '值',
      cpItem: 'CP 项', notAFlag: '不是该报文版本的数据标记',
    },
  };
  function chosenLanguage() {
    let stored = null;
    try { stored = localStorage.getItem('polmon-lang'); } catch (e) { /* storage off: the browser's language */ }
    if (stored === 'zh' || stored === 'en') return stored;
    const first = (navigator.languages && navigator.languages[0]) || navigator.language || '';
    return first.toLowerCase().startsWith('zh') ? 'zh' : 'en';
  }
  let lang = chosenLanguage();
  const t = (key, values) => {
    let text = (WORDS[lang] && WORDS[lang][key]) || WORDS.en[key] || key;
    for (const [k, v] of Object.entries(values || {})) text = text.replace(`{${k}}`, v);
    return text;
  };
  // A factor's name in the page's language, the other language on hover.
  const nameOf = (o) => (lang === 'zh' ? (o.zh || o.en) : (o.en || o.zh)) || '';
  const otherName = (o) => (lang === 'zh' ? o.en : o.zh) || '';

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

  function applyWords() {
    document.documentElement.lang = lang === 'zh' ? 'zh-CN' : 'en';
    for (const e of document.querySelectorAll('[data-t]')) e.textContent = t(e.dataset.t);
    for (const b of document.querySelectorAll('button[data-lang]')) b.setAttribute('aria-pressed', String(b.dataset.lang === lang));
  }
  let badges = { live: ['connecting', 'warn'], verdict: ['checksWaiting', ''] }; // kept to be said again in the other language
  function setState(id, key, kind) {
    badges[id] = [key, kind];
    setBadge($(id), t(key), kind);
  }

  // ---- stations and checks
  function showStations(s) {
    const body = $('stations').tBodies[0];
    body.replaceChildren();
    const link = s.link, c = s.counters;
    const since = link.since ? (link.up ? stamp(link.since) : `${t('closedAt')} ${stamp(link.since)}`) : t('notConnected');
    const rows = s.rows.length ? s.rows : [{ mn: t('noFrame'), version: '', charset: '', in: 0, out: 0, rejected: '' }];
    for (const r of rows) {
      const was = el('td', 'was', r.previous || '-');
      if (r.previous) was.appendChild(el('div', 'sub', `1002: ${clock(r.changed)}${r.changes > 1 ? ` (${r.changes}\u00d7)` : ''}`));
      body.appendChild(row([el('td', 'mn', r.mn), was, el('td', 'peer', link.peer || '-'), since, r.version || '-', r.charset || '-',
        c.encrypted ? t('on') : t('off'), r.in, r.out, r.rejected || t('none'), c.resends, c.heartbeats]));
    }
  }
  function showChecks(c) {
    if (!c) return;
    // the platform's own verdict line: a run no station came to is no pass
    const none = !c.broken && /^\s*verdict:\s+NO STATION/m.test(c.summary);
    if (none) setState('verdict', 'checksNoStation', 'warn');
    else setState('verdict', c.broken ? 'checksBroken' : 'checksOk', c.broken ? 'bad' : 'ok');
    $('summary').textContent = c.summary;
  }
  function showWeb(w) {
    if (!w) return;
    $('csvpath').textContent = w.csvPath;
    $('csvrows').textContent = w.csvRows;
    let text = `${w.clients} ${t('pagesOpen')}`;
    if (w.droppedClients) text += `, ${w.droppedClients} ${t('droppedPages')}`;
    if (w.csvDropped) text += `, ${w.csvDropped} ${t('csvLost')}`;
    if (w.factorsIgnored) text += `, ${w.factorsIgnored} ${t('factorsIgnored')}`;
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
      box.appendChild(table(fields, [t('field'), t('value')]));
      // each item with what the code tables say of it, and their notes
      const items = (r.items || []).map((i) => [i.key, i.value, [i.meaning, i.flag].filter(Boolean).join(': '), i.notes.join('; ')]);
      box.appendChild(table(items, [t('cpItem'), t('value'), t('meaning'), t('notes')]));
      box.appendChild(el('pre', null, d.data));
    }
    return box;
  }

  // ---- frame log
  const frameRows = $('frames').tBodies[0];
  function addFrame(f) {
    const content = el('td', 'content', f.text);
    content.title = f.text; // cut at 160 bytes by the platform: the decode has the whole frame
    const tr = row([clock(f.t), el('td', 'dir', f.dir === 'in' ? `\u2190 ${t('in')}` : `\u2192 ${t('out')}`), f.cn, el('td', 'meaning', lang === 'zh' ? (f.cnZh || f.cnName) : f.cnName),
      el('td', 'mn', f.mn), el('td', 'verdict', f.ok ? t('accepted') : `${t('rejectedAs')}: ${f.reason}`), content]);
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
    const cell = el('td', null, t('decoding'));
    cell.colSpan = 7;
    holder.appendChild(cell);
    tr.after(holder);
    try {
      const res = await fetch(`api/frame/${seq}`);
      if (!res.ok) { cell.textContent = (await res.text()).trim(); return; }
      cell.replaceChildren(decode(await res.json()));
    } catch (e) {
      cell.textContent = `${t('noAnswer')} (${e})`;
    }
  }

  // ---- latest values: a row per factor and kind of data, the newest data time's fields
  const latest = new Map(); // "code kind" -> {tr, cells, x}
  const factors = new Set();
  function latestRow(code, o, unit, kind) {
    const key = `${code} ${kind}`;
    let r = latest.get(key);
    if (r) return r;
    const name = el('td', 'name', nameOf(o));
    name.title = otherName(o);
    const cells = [el('td', 'code', code), name, el('td', 'unit', unit), el('td', 'kind', t(kind)),
      ...FIELDS.map((f) => el('td', f.toLowerCase())), el('td', 'flag'), el('td', 'time'), el('td', 'source'), el('td', 'notes')];
    const tr = row(cells);
    tr.dataset.order = `${code} ${KIND_ORDER.indexOf(kind)}`;
    r = { tr, cells, x: -Infinity };
    latest.set(key, r);
    factors.add(code);
    const body = $('latest').tBodies[0];
    const after = [...body.rows].find((x) => x.dataset.order > tr.dataset.order);
    body.insertBefore(tr, after || null);
    return r;
  }
  // r: {Rtd, Min, Avg, Max, Cou, flag, flagMeaning, notes, dataTime, x, source}; the flag's meaning shows on hover
  function showReading(code, o, unit, kind, r) {
    if (!latest.has(`${code} ${kind}`) && !factors.has(code) && factors.size >= MAX_FACTORS) return;
    const l = latestRow(code, o, unit, kind);
    if (r.x < l.x) return; // older data (a resend, a history answer): the newest stays
    l.x = r.x;
    const cells = l.cells;
    FIELDS.forEach((f, i) => { cells[4 + i].textContent = r[f] || ''; });
    cells[9].textContent = r.flag || '';
    cells[9].title = r.flagMeaning || (r.flag ? t('notAFlag') : '');
    cells[10].textContent = dataTime(r.dataTime);
    cells[11].textContent = t(r.source || 'upload');
    cells[11].className = `source ${r.source || 'upload'}`;
    cells[12].textContent = r.notes || '';
  }

  // ---- completeness of minute, hour and day data
  const span = (ms) => (ms % 86400000 === 0 ? `${ms / 86400000} d` : ms % 3600000 === 0 ? `${ms / 3600000} h`
    : ms % 60000 === 0 ? `${ms / 60000} min` : `${ms / 1000} s`);
  const when = (ms, period) => (period >= 86400000 ? stamp(ms).slice(0, 10) : period >= 60000 ? stamp(ms).slice(5, 16) : stamp(ms).slice(5));
  const completeness = new Map(); // cn -> the last figures
  const KIND_OF_CN = { 2051: 'min', 2061: 'hour', 2031: 'day' };
  function showCompleteness(c) {
    completeness.set(c.cn, c);
    $('nocompleteness').hidden = true;
    const body = $('completeness').tBodies[0];
    body.replaceChildren();
    for (const k of [...completeness.keys()].sort()) {
      const d = completeness.get(k);
      const parts = ['resend', 'history'].filter((x) => d[x]).map((x) => `${d[x]} ${t(x)}`);
      const received = el('td', 'received', d.received);
      if (parts.length) received.appendChild(el('div', 'sub', `${t('ofThem')} ${parts.join(', ')}`));
      const gaps = el('td', 'gaps');
      for (const [after, before, n] of d.gaps.slice(-5).reverse()) gaps.appendChild(el('div', null, `${when(after, d.period)} \u2192 ${when(before, d.period)}: ${n}`));
      if (d.gapCount > 5) gaps.appendChild(el('div', 'sub', t('andMore', { n: d.gapCount - 5 })));
      const tr = row([el('td', 'cn', d.cn), el('td', 'kind', t(KIND_OF_CN[d.cn] || '')), d.period ? span(d.period) : '-', received,
        el('td', d.missing ? 'missing bad' : 'missing', d.missing), el('td', 'twice', d.duplicates),
        d.first ? `${when(d.first, d.period)} \u2192 ${when(d.last, d.period)}` : '-', gaps]);
      tr.dataset.cn = d.cn;
      body.appendChild(tr);
    }
  }

  // ---- plots by data time; resends and history answers marked
  class Line {
    constructor(points) { this.points = points || []; this.sx = 0; this.sy = 0; this.n = 0; this.stride = 1; this.open = false; }
    add(x, y, m) {
      const last = this.points.length ? this.points[this.points.length - 1] : null;
      const inOrder = !last || x >= last.x;
      if (inOrder && !m) {
        this.sx += x; this.sy += y; this.n += 1;
        const p = { x: this.sx / this.n, y: this.sy / this.n };
        if (this.open) this.points[this.points.length - 1] = p; else { this.points.push(p); this.open = true; }
        if (this.n < this.stride) return;
      } else { // alone at its time, as the platform keeps it: a resend never runs the line back
        const p = { x, y, m };
        let i = this.points.length;
        while (i > 0 && this.points[i - 1].x > x) i -= 1;
        this.points.splice(i, 0, p);
      }
      this.sx = 0; this.sy = 0; this.n = 0; this.open = false;
      if (this.points.length < 2 * KEEP) return;
      const merged = [];
      for (let i = 0; i + 1 < this.points.length; i += 2) {
        const a = this.points[i], b = this.points[i + 1];
        merged.push({ x: (a.x + b.x) / 2, y: (a.y + b.y) / 2, m: a.m || b.m || 0 });
      }
      this.points.splice(0, this.points.length, ...merged); // the chart keeps this array
      this.stride *= 2;
    }
  }
  const plots = new Map(); // code -> {chart, lines: {kind: Line}}
  const dirty = new Set();
  const mark = (ctx) => (ctx.raw && ctx.raw.m) || 0;
  function plot(code, o, unit) {
    let p = plots.get(code);
    if (p) return p;
    $('noplots').hidden = true;
    const card = el('div', 'plot');
    const name = nameOf(o);
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
          tooltip: {
            callbacks: {
              title: (items) => (items.length ? stamp(items[0].parsed.x) : ''),
              afterLabel: (item) => (mark(item) ? t(['upload', 'resend', 'history'][mark(item)]) : ''),
            },
          },
        },
        elements: {
          point: { radius: (ctx) => (mark(ctx) ? 4 : 1.5), pointStyle: (ctx) => POINT_STYLES[mark(ctx)] || 'circle' },
          line: { borderWidth: 1.5 },
        },
      },
    });
    p = { chart, lines: {}, card };
    plots.set(code, p);
    return p;
  }
  function line(code, o, unit, kind, points) {
    const p = plot(code, o, unit);
    if (!p.lines[kind]) {
      const l = new Line(points);
      p.lines[kind] = l;
      p.chart.data.datasets.push({ label: t(kind), kind, data: l.points, borderColor: COLOURS[kind], backgroundColor: COLOURS[kind] });
      p.chart.data.datasets.sort((a, b) => KIND_ORDER.indexOf(a.kind) - KIND_ORDER.indexOf(b.kind));
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
    const readings = new Map(); // code -> this frame's fields
    for (const item of v.items) {
      if (FIELDS.includes(item.field)) {
        let r = readings.get(item.code);
        if (!r) {
          r = { item, dataTime: v.dataTime, x: v.x, source: v.source, notes: '' };
          readings.set(item.code, r);
        }
        r[item.field] = item.value;
        r.flag = item.flag;
        r.flagMeaning = item.flagMeaning;
        for (const n of item.notes ? item.notes.split('; ') : []) if (!r.notes.split('; ').includes(n)) r.notes += (r.notes ? '; ' : '') + n;
      }
      if (!item.main) continue;
      const y = Number(item.value);
      if (item.value.trim() !== '' && Number.isFinite(y) && (plots.has(item.code) || plots.size < MAX_FACTORS)) {
        line(item.code, item, item.unit, v.kind).add(v.x, y, MARKS[v.source] || 0);
      }
    }
    for (const [code, r] of readings) showReading(code, r.item, r.item.unit, v.kind, r);
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
    factors.clear();
    for (const l of s.latest) {
      for (const kind of Object.keys(l.kinds)) showReading(l.code, l, l.unit, kind, l.kinds[kind]);
    }
    completeness.clear();
    $('completeness').tBodies[0].replaceChildren();
    $('nocompleteness').hidden = false;
    for (const c of s.completeness) showCompleteness(c);
    for (const p of plots.values()) { p.chart.destroy(); p.card.remove(); }
    plots.clear();
    dirty.clear();
    $('noplots').hidden = false;
    for (const series of s.series) line(series.code, series, series.unit, series.kind, series.points.map(([x, y, m]) => ({ x, y, m: m || 0 })));
  }

  // ---- the event stream; the browser reconnects by itself, and each stream starts with a snapshot
  let es = null;
  function connect() {
    es = new EventSource('events');
    const on = (name, fn) => es.addEventListener(name, (e) => fn(JSON.parse(e.data)));
    on('snapshot', applySnapshot);
    on('frame', addFrame);
    on('values', addValues);
    on('stations', showStations);
    on('checks', showChecks);
    on('web', showWeb);
    on('completeness', showCompleteness);
    const mine = es;
    es.onopen = () => setState('live', 'live', 'ok');
    es.onerror = () => {
      if (mine !== es) return;
      if (es.readyState === EventSource.CLOSED) {
        setState('live', 'closed', 'bad');
        setTimeout(() => { if (mine === es) connect(); }, 5000);
      } else {
        setState('live', 'reconnecting', 'warn');
      }
    };
  }
  // The other language: the page's words at once, the rows from a new stream's snapshot.
  function setLanguage(l) {
    if (l === lang) return;
    lang = l;
    try { localStorage.setItem('polmon-lang', l); } catch (e) { /* not kept: the browser's language next time */ }
    applyWords();
    for (const [id, [key, kind]] of Object.entries(badges)) setBadge($(id), t(key), kind);
    if (es) es.close();
    connect();
  }
  for (const b of document.querySelectorAll('button[data-lang]')) b.addEventListener('click', () => setLanguage(b.dataset.lang));

  // ---- the inspector
  async function inspect() {
    const out = $('inspected');
    out.replaceChildren(el('p', 'hint', t('inspecting')));
    try {
      const res = await fetch($('hex').checked ? 'api/inspect?hex=1' : 'api/inspect',
        { method: 'POST', body: $('paste').value, headers: { 'Content-Type': 'text/plain' } });
      if (res.status === 413) { out.replaceChildren(el('p', 'reason', t('tooLong'))); return; }
      if (!res.ok) { out.replaceChildren(el('p', 'reason', `${t('answered')} ${res.status}`)); return; }
      const d = await res.json();
      out.replaceChildren();
      if (!d.count) out.appendChild(el('p', 'reason', t('noHashes')));
      d.spans.forEach((s, i) => {
        out.appendChild(el('h3', null, t('frameAt', { n: i + 1, o: s.report.offset })));
        const box = el('div', 'decode');
        box.appendChild(decode(s));
        out.appendChild(box);
      });
      if (d.count > d.spans.length) out.appendChild(el('p', 'hint', t('andMore', { n: d.count - d.spans.length })));
    } catch (e) {
      out.replaceChildren(el('p', 'reason', `${t('noAnswer')} (${e})`));
    }
  }
  $('inspect').addEventListener('click', inspect);

  applyWords();
  setState('live', 'connecting', 'warn');
  setState('verdict', 'checksWaiting', '');
  $('summary').textContent = t('waitingPlatform');
  requestAnimationFrame(redraw);
  connect();
})();
