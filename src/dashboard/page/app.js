// SPDX-License-Identifier: Apache-2.0
// The dashboard's page: asks the API of `uvq serve` and keeps the page up to date in place.
// Every text from the server goes into the page as text (textContent), never as markup.
'use strict';

(() => {
  const main = document.getElementById('main');
  const liveBox = document.getElementById('live');
  const liveText = document.getElementById('live-text');
  let pollMs = 1500;
  let overview = { actions: false, token_needed: false };
  let token = sessionStorage.getItem('uvq-token') || '';
  let view = null;
  let timer = null;
  let generation = 0;

  const OUTCOMES = ['ok', 'no_answer', 'unit_error', 'file_error', 'network_error', 'interrupted',
    'internal_error', 'bad_usage', 'running', 'abandoned'];
  const OPERATIONS = ['program', 'erase', 'reset', 'set-ip', 'capture', 'live-reboot', 'locate',
    'status', 'scan'];
  const STATES = ['ok', 'failed', 'running', 'pending'];

  // ---- small DOM helpers (text only) ----
  function el(tag, attrs, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (value === undefined || value === null) continue;
      if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    for (const child of children) {
      if (child === null || child === undefined) continue;
      node.append(typeof child === 'string' ? document.createTextNode(child) : child);
    }
    return node;
  }
  function setText(node, text) {
    const value = text === null || text === undefined ? '' : String(text);
    if (node.textContent !== value) node.textContent = value;
  }
  function setClass(node, name) {
    if (node.className !== name) node.className = name;
  }
  function link(href, text) {
    return el('a', { href, 'data-internal': '' }, text);
  }
  function enc(text) {
    return encodeURIComponent(text);
  }
  // A unit is its ID at its address: its page names both; an ID alone lists that ID's units.
  const DOTTED = /^[0-9]{1,3}(\.[0-9]{1,3}){3}$/;
  function unitHref(id, address) {
    if (!id) return null;
    return '/units/' + enc(id) + (address && DOTTED.test(address) ? '/' + address : '');
  }
  function unitKey(u) {
    return u.unit + '@' + u.address;
  }
  function rolloutHref(name) {
    return '/rollout?name=' + enc(name);
  }
  function when(iso) {
    return iso ? iso.replace('T', ' ').replace(/\.\d+Z$/, '') : '';
  }
  function agoSeconds(iso, nowIso) {
    if (!iso) return null;
    const now = nowIso ? Date.parse(nowIso) : Date.now();
    return Math.max(0, Math.round((now - Date.parse(iso)) / 1000));
  }
  function ago(seconds) {
    if (seconds === null) return '';
    if (seconds < 90) return seconds + ' s ago';
    if (seconds < 5400) return Math.round(seconds / 60) + ' min ago';
    if (seconds < 172800) return Math.round(seconds / 3600) + ' h ago';
    return Math.round(seconds / 86400) + ' d ago';
  }
  // Groups come counted from 1, as people count them.
  function groupName(group) {
    return 'group ' + group;
  }
  function outcomeClass(outcome) {
    if (!outcome) return 'outcome';
    return 'outcome ' + (outcome === 'ok' ? 'outcome-ok' : 'outcome-bad');
  }
  function percent(part, whole) {
    return whole > 0 ? (100 * part) / whole : 0;
  }

  // ---- the API ----
  class ApiError extends Error {
    constructor(status, message) {
      super(message);
      this.status = status;
    }
  }
  // A read answered after a newer refresh began is dropped, never drawn: a poll sent before an
  // action would otherwise paint the state from before it over the state after it.
  async function api(path, method) {
    const headers = { Accept: 'application/json' };
    if (token) headers.Authorization = 'Bearer ' + token;
    const asked = generation;
    const response = await fetch(path, { method: method || 'GET', headers, cache: 'no-store' });
    let body = null;
    try {
      body = await response.json();
    } catch (e) {
      body = null;
    }
    if (!method && asked !== generation) throw new ApiError(0, 'a newer answer is on its way');
    if (!response.ok) {
      if (response.status === 401 && (!method || method === 'GET')) showTokenBar('the dashboard needs its token');
      throw new ApiError(response.status, (body && body.error) || 'HTTP ' + response.status);
    }
    return body;
  }

  // A report for sign-off, as `uvq report` writes it: fetched (with the token when one is
  // needed) and saved under the name the server gives it.
  async function download(path, message) {
    const headers = {};
    if (token) headers.Authorization = 'Bearer ' + token;
    try {
      const response = await fetch(path, { headers, cache: 'no-store' });
      if (!response.ok) {
        let text = 'HTTP ' + response.status;
        try { text = (await response.json()).error || text; } catch (e) { /* not JSON */ }
        if (response.status === 401) showTokenBar('the dashboard needs its token');
        setText(message, 'report: ' + text);
        return;
      }
      const disposition = response.headers.get('Content-Disposition') || '';
      const named = disposition.match(/filename="([A-Za-z0-9._-]+)"/);
      const href = URL.createObjectURL(await response.blob());
      const anchor = el('a', { href, download: named ? named[1] : 'uvq-report', hidden: '' });
      document.body.append(anchor);
      anchor.click();
      anchor.remove();
      setTimeout(() => URL.revokeObjectURL(href), 60000);
      setText(message, '');
    } catch (e) {
      setText(message, 'report: ' + e.message);
    }
  }

  // Buttons that download the report `query()` names ("/api/report/units?image=...") in each
  // format.
  function reportBar(query) {
    const message = el('span', { class: 'message bad' });
    const root = el('div', { class: 'actions report-bar' }, el('span', { class: 'note', text: 'Report for sign-off:' }));
    for (const format of ['csv', 'json', 'html']) {
      const button = el('button', { type: 'button', 'data-report': format, text: format.toUpperCase() });
      button.addEventListener('click', () => {
        const path = query();
        download(path + (path.includes('?') ? '&' : '?') + 'format=' + format, message);
      });
      root.append(button);
    }
    root.append(message);
    return root;
  }

  function showTokenBar(note) {
    const bar = document.getElementById('token-bar');
    bar.hidden = false;
    setText(document.getElementById('token-note'), note || '');
  }
  document.getElementById('token-use').addEventListener('click', () => {
    token = document.getElementById('token').value.trim();
    sessionStorage.setItem('uvq-token', token);
    document.getElementById('token-bar').hidden = true;
    refreshNow();
  });

  function setLive(up, text) {
    setClass(liveBox, 'live ' + (up ? 'up' : 'down'));
    setText(liveText, text);
  }

  // ---- reusable pieces ----

  // A table whose rows are kept by key: only the cells whose text changed are touched, so a
  // refresh never rebuilds (and never flickers).
  function keyedTable(columns, emptyText) {
    const tbody = el('tbody');
    const head = el('tr', null, ...columns.map((c) => el('th', { text: c.title })));
    const root = el('div', { class: 'table-wrap' }, el('table', null, el('thead', null, head), tbody));
    const rows = new Map();
    const empty = el('tr', { class: 'empty' }, el('td', { colspan: String(columns.length), text: emptyText || 'nothing to show' }));
    function makeRow() {
      const tr = el('tr');
      tr.cells2 = columns.map((c) => {
        const td = el('td', { class: c.cls || null });
        if (c.href) {
          const a = el('a', { 'data-internal': '' });
          td.append(a);
          td.anchor = a;
        }
        tr.append(td);
        return td;
      });
      return tr;
    }
    function update(items, keyOf) {
      const seen = new Set();
      let index = 0;
      if (items.length === 0) {
        for (const tr of rows.values()) tr.remove();
        rows.clear();
        if (empty.parentNode !== tbody) tbody.append(empty);
        return;
      }
      if (empty.parentNode === tbody) empty.remove();
      for (const item of items) {
        const key = String(keyOf(item));
        seen.add(key);
        let tr = rows.get(key);
        if (!tr) {
          tr = makeRow();
          tr.setAttribute('data-key', key);
          rows.set(key, tr);
        }
        columns.forEach((c, i) => {
          const td = tr.cells2[i];
          const text = c.get(item);
          if (c.href) {
            const href = c.href(item);
            if (href) {
              if (td.anchor.getAttribute('href') !== href) td.anchor.setAttribute('href', href);
              setText(td.anchor, text);
              if (td.anchor.parentNode !== td) { td.textContent = ''; td.append(td.anchor); }
            } else {
              if (td.anchor.parentNode === td) td.anchor.remove();
              setText(td, text);
            }
          } else {
            setText(td, text);
          }
          if (c.cellClass) setClass(td, (c.cls ? c.cls + ' ' : '') + c.cellClass(item));
          if (c.title2) { const t = c.title2(item) || ''; if (td.title !== t) td.title = t; }
        });
        if (tbody.children[index] !== tr) tbody.insertBefore(tr, tbody.children[index] || null);
        index++;
      }
      for (const [key, tr] of rows) {
        if (!seen.has(key)) {
          tr.remove();
          rows.delete(key);
        }
      }
    }
    return { root, update };
  }

  // A group's bar: ok, failed, running and pending as shares of the group, with the counts.
  function groupRow(big) {
    const label = el('span', { class: 'group-label' });
    const segs = {};
    const bar = el('div', { class: 'bar' + (big ? ' big' : ''), role: 'img' });
    for (const state of STATES.slice(0, 3)) {
      segs[state] = el('span', { class: 'seg ' + state });
      bar.append(segs[state]);
    }
    const counts = el('span', { class: 'counts' });
    const numbers = {};
    STATES.forEach((state, i) => {
      numbers[state] = el('b', { 'data-count': state });
      if (i) counts.append(' · ');
      counts.append(numbers[state], ' ' + state);
    });
    function update(g, current) {
      setText(label, groupName(g.group));
      setClass(label, 'group-label' + (current ? ' current' : ''));
      for (const state of STATES.slice(0, 3)) {
        const width = percent(g[state], g.size).toFixed(2) + '%';
        if (segs[state].style.width !== width) segs[state].style.width = width;
      }
      for (const state of STATES) setText(numbers[state], g[state]);
      const text = groupName(g.group) + ': ' + STATES.map((s) => g[s] + ' ' + s).join(', ') + ' of ' + g.size;
      if (bar.getAttribute('aria-label') !== text) bar.setAttribute('aria-label', text);
      bar.title = text;
    }
    return { parts: [label, bar, counts], update };
  }

  const FINAL_STATES = ['done', 'stopped', 'cancelled'];

  function groupsBox(big) {
    const root = el('div', { class: 'groups' });
    const rows = [];
    function update(groups, state) {
      // The group being worked on: the first that has not ended, while the rollout goes on (a
      // stopped rollout has none: the marker would point past the group that stopped it).
      const current = FINAL_STATES.includes(state) ? -1 : groups.findIndex((g) => g.pending + g.running > 0);
      groups.forEach((g, i) => {
        if (!rows[i]) {
          rows[i] = groupRow(big);
          root.append(...rows[i].parts);
        }
        rows[i].update(g, i === current);
      });
      while (rows.length > groups.length) for (const part of rows.pop().parts) part.remove();
      root.setAttribute('data-groups', String(groups.length));
    }
    return { root, update };
  }

  function legend() {
    return el('div', { class: 'legend' },
      ...STATES.map((s) => el('span', null, el('i', { class: 'swatch ' + s }), s)));
  }

  function stateBadge() {
    const badge = el('span', { class: 'state' });
    return {
      root: badge,
      update(state, r) {
        // Running, but no station has shown up yet: nothing is being done.
        const shown = state === 'running' && r && (r.stations || []).length === 0 &&
          r.totals.running + r.totals.ok + r.totals.failed === 0 ? 'waiting for a station' : state;
        setText(badge, shown);
        setClass(badge, 'state state-' + state);
        badge.setAttribute('data-state', state);
      },
    };
  }

  // Why the rollout stopped, or that it finished well: only a stop is shown as a problem.
  function setReason(node, r) {
    setText(node, r.waiting || r.stop_reason);
    setClass(node, 'stop-reason' + (r.state === 'done' ? ' finished' : '') + (r.waiting ? ' waiting' : ''));
  }

  function metaLine() {
    const root = el('div', { class: 'meta' });
    return {
      root,
      update(r) {
        const parts = [
          r.image,
          'sha256 ' + (r.image_sha256 || '').slice(0, 12),
          r.totals.size + ' units',
          'next group at ' + r.success_threshold + ' % ok',
          'stops at ' + r.error_threshold + ' % failed',
          'retries ' + r.retries,
          'created ' + when(r.created),
        ];
        const spans = root.children;
        parts.forEach((text, i) => {
          if (!spans[i]) root.append(el('span'));
          setText(spans[i], text);
        });
      },
    };
  }

  function stationsBox() {
    const root = el('div', { class: 'stations' });
    const boxes = new Map();
    // `stations` null: not known here (the overview leaves out those of finished rollouts).
    function update(stations, nowIso, state) {
      const seen = new Set();
      if (!stations || !stations.length) {
        setText(root, !stations ? '' : FINAL_STATES.includes(state) ? 'no station holds any of its units' :
          'no station has worked on it yet: start one with uvq rollout run NAME');
        boxes.clear();
        return;
      }
      if (!boxes.size) root.textContent = '';
      let index = 0;
      for (const s of stations) {
        seen.add(s.station);
        let box = boxes.get(s.station);
        if (!box) {
          box = { root: el('span', { class: 'station' }), name: link(stationHref(s.station), ''), text: el('span') };
          box.root.append(box.name, ' ', box.text);
          boxes.set(s.station, box);
        }
        const seconds = agoSeconds(s.last_seen, nowIso);
        // Its process ended, or was silent for longer than its lease: gone, holding nothing.
        const over = s.state === 'gone' || s.state === 'ended';
        // A station holding units that has not renewed its claims for a while may be stuck.
        const silent = !over && s.running > 0 && seconds !== null && seconds > 30;
        setClass(box.root, 'station' + (silent ? ' silent' : '') + (over ? ' ' + s.state : ''));
        setText(box.name, s.station);
        setText(box.text, over ? s.state + ', last seen ' + ago(seconds)
          : (silent ? 'silent, ' : '') + 'last seen ' + ago(seconds) + ', ' + s.running + ' running');
        box.root.title = 'last sign of life ' + when(s.last_seen) + ' UTC' +
          (s.host ? ', process ' + s.pid + ' on ' + s.host : '');
        if (root.children[index] !== box.root) root.insertBefore(box.root, root.children[index] || null);
        index++;
      }
      for (const [name, box] of boxes) if (!seen.has(name)) { box.root.remove(); boxes.delete(name); }
    }
    return { root, update };
  }

  // ---- pictures: inline SVG drawn here from the API's figures ----
  // The SVG namespace as the HTML parser gives it to an <svg> element (the script names no URL).
  const SVG = new DOMParser().parseFromString('<svg></svg>', 'text/html').body.firstChild.namespaceURI;
  function svg(tag, attrs, text) {
    const node = document.createElementNS(SVG, tag);
    for (const [key, value] of Object.entries(attrs || {})) node.setAttribute(key, String(value));
    if (text !== undefined) node.textContent = text;
    return node;
  }
  function stationHref(name) {
    return '/station?name=' + enc(name);
  }

  // Units done over time, a step line per station (its running total of ok attempts), a dot at
  // each step's end.
  function doneChart(stations) {
    const W = 640, H = 220, L = 44, R = 130, T = 10, B = 28;
    const root = svg('svg', { class: 'chart chart-done', viewBox: `0 0 ${W} ${H}`, role: 'img' });
    root.append(svg('title', null, 'units done over time per station'));
    const all = stations.flatMap((s) => s.points.map((p) => Date.parse(p.at)));
    if (!all.length) {
      root.append(svg('text', { x: L, y: H / 2, class: 'chart-empty' }, 'no unit programmed yet'));
      return root;
    }
    const t0 = Math.min(...all), t1 = Math.max(...all);
    const top = Math.max(1, ...stations.map((s) => s.points[s.points.length - 1].units));
    const x = (t) => L + (t1 > t0 ? ((t - t0) / (t1 - t0)) * (W - L - R) : (W - L - R) / 2);
    const y = (v) => H - B - (v / top) * (H - T - B);
    root.append(svg('line', { class: 'axis', x1: L, y1: H - B, x2: W - R, y2: H - B }),
      svg('line', { class: 'axis', x1: L, y1: T, x2: L, y2: H - B }),
      svg('text', { class: 'tick', x: L - 6, y: y(top) + 4, 'text-anchor': 'end' }, String(top)),
      svg('text', { class: 'tick', x: L - 6, y: H - B + 4, 'text-anchor': 'end' }, '0'),
      svg('text', { class: 'tick', x: L, y: H - 8 }, when(new Date(t0).toISOString())),
      svg('text', { class: 'tick', x: W - R, y: H - 8, 'text-anchor': 'end' }, when(new Date(t1).toISOString()).slice(11)));
    stations.forEach((s, i) => {
      const colour = 'series-' + (i % 6);
      let path = '';
      let last = 0;
      const dots = svg('g', { class: 'points ' + colour });
      for (const p of s.points) {
        const px = x(Date.parse(p.at));
        path += (path ? ` H${px.toFixed(1)} V${y(p.units).toFixed(1)}` : `M${px.toFixed(1)} ${y(p.units).toFixed(1)}`);
        last = p.units;
        dots.append(svg('circle', { class: 'point', cx: px.toFixed(1), cy: y(p.units).toFixed(1), r: 3 }));
      }
      const line = svg('path', { class: 'series ' + colour, d: path, 'data-station': s.station });
      const label = svg('text', { class: 'series-label ' + colour, x: W - R + 8, y: Math.min(H - B, 16 + i * 16) }, s.station + ' · ' + last);
      root.append(line, dots, label);
    });
    return root;
  }

  // First-pass yield: the share of units ok at their first attempt, as one bar of 100 %.
  function yieldChart(firstPass) {
    const W = 640, H = 56;
    const root = svg('svg', { class: 'chart chart-yield', viewBox: `0 0 ${W} ${H}`, role: 'img' });
    const shown = firstPass.yield_percent === null ? null : firstPass.yield_percent;
    root.append(svg('title', null, 'first-pass yield'),
      svg('rect', { class: 'yield-all', x: 0, y: 8, width: W - 160, height: 24 }));
    if (shown !== null)
      root.append(svg('rect', { class: 'yield-ok', x: 0, y: 8, width: ((W - 160) * shown) / 100, height: 24 }));
    root.append(svg('text', { class: 'yield-text', x: W - 150, y: 26 },
      shown === null ? 'no first attempt yet' : shown.toFixed(1) + ' % first pass'),
    svg('text', { class: 'tick', x: 0, y: 50 }, firstPass.ok + ' of ' + firstPass.attempts + ' units ok at their first attempt'));
    return root;
  }

  // Failed attempts by outcome and status word, most first: a bar each.
  function failuresChart(failures) {
    const W = 640, row = 24, L = 230;
    const H = Math.max(1, failures.length) * row + 8;
    const root = svg('svg', { class: 'chart chart-failures', viewBox: `0 0 ${W} ${H}`, role: 'img' });
    root.append(svg('title', null, 'failures by outcome and status'));
    if (!failures.length) {
      root.append(svg('text', { class: 'chart-empty', x: 0, y: 18 }, 'no failed attempt'));
      return root;
    }
    const most = Math.max(...failures.map((f) => f.attempts));
    failures.forEach((f, i) => {
      const width = Math.max(2, ((W - L - 60) * f.attempts) / most);
      const name = f.outcome + (f.status ? ' · ' + f.status : '');
      const bar = svg('rect', { class: 'bar', x: L, y: 4 + i * row, width, height: row - 8 });
      bar.append(svg('title', null, name + (f.status_words ? ' (' + f.status_words + ')' : '') + ': ' + f.attempts));
      root.append(svg('text', { class: 'tick', x: L - 8, y: 4 + i * row + 13, 'text-anchor': 'end' }, name),
        bar, svg('text', { class: 'tick', x: L + width + 6, y: 4 + i * row + 13 }, String(f.attempts)));
    });
    return root;
  }

  // The three pictures of a rollout's or a station's attempts, drawn again when the figures
  // change.
  function figuresBox() {
    const root = el('div', { class: 'figures' });
    let drawn = '';
    function update(figures) {
      const text = JSON.stringify(figures);
      if (text === drawn) return;
      drawn = text;
      root.replaceChildren(
        el('figure', null, el('figcaption', null, 'Units done over time per station'), doneChart(figures.stations)),
        el('figure', null, el('figcaption', null, 'First-pass yield'), yieldChart(figures.first_pass)),
        el('figure', null, el('figcaption', null, 'Failures by outcome and status'), failuresChart(figures.failures)));
    }
    return { root, update };
  }

  function pager(onChange) {
    const prev = el('button', { type: 'button' }, '◀ newer');
    const next = el('button', { type: 'button' }, 'older ▶');
    const info = el('span', { class: 'note' });
    const root = el('div', { class: 'pager' }, prev, info, next);
    let offset = 0;
    let limit = 100;
    prev.addEventListener('click', () => { offset = Math.max(0, offset - limit); onChange(offset); });
    next.addEventListener('click', () => { offset += limit; onChange(offset); });
    return {
      root,
      update(off, lim, count) {
        offset = off;
        limit = lim;
        prev.disabled = off === 0;
        next.disabled = count < lim;
        setText(info, count ? 'rows ' + (off + 1) + '–' + (off + count) : 'no rows');
      },
    };
  }

  function statusText(row) {
    return row.status_words || '';
  }

  const HISTORY_COLUMNS = [
    { title: 'started (UTC)', get: (r) => when(r.started), cls: 'mono' },
    { title: 'seconds', get: (r) => (r.duration_s === null ? '' : r.duration_s.toFixed(1)), cls: 'num' },
    { title: 'station', get: (r) => r.station },
    { title: 'target', get: (r) => r.target, cls: 'mono' },
    { title: 'unit', get: (r) => r.unit, href: (r) => unitHref(r.unit, r.unit_address), cls: 'mono' },
    { title: 'operation', get: (r) => (r.erase_kind ? r.operation + ' ' + r.erase_kind : r.operation) },
    { title: 'image', get: (r) => r.image, href: (r) => (r.image_sha256 ? '/images/' + r.image_sha256 : null), cls: 'wrap', title2: (r) => r.image_sha256 },
    { title: 'records', get: (r) => String(r.records), cls: 'num' },
    { title: 'outcome', get: (r) => r.outcome, cellClass: (r) => outcomeClass(r.outcome) },
    { title: 'status', get: statusText, cls: 'wrap' },
    { title: 'rollout', get: (r) => (r.rollout ? r.rollout + (r.group === null ? '' : ' / ' + groupName(r.group)) : ''), href: (r) => (r.rollout ? rolloutHref(r.rollout) : null), cls: 'wrap' },
    { title: 'detail', get: (r) => r.detail, cls: 'wrap' },
  ];

  const UNIT_COLUMNS = [
    { title: 'unit', get: (u) => u.unit, href: (u) => unitHref(u.unit, u.address), cls: 'mono' },
    { title: 'address', get: (u) => u.address, cls: 'mono' },
    { title: 'last seen (UTC)', get: (u) => when(u.last_seen), cls: 'mono' },
    { title: 'last operation', get: (u) => u.last_operation },
    { title: 'last outcome', get: (u) => u.last_outcome, cellClass: (u) => outcomeClass(u.last_outcome) },
    { title: 'station', get: (u) => u.last_station },
    { title: 'image', get: (u) => u.image, href: (u) => (u.image_sha256 ? '/images/' + u.image_sha256 : null), cls: 'wrap', title2: (u) => u.image_sha256 },
    { title: 'programmed (UTC)', get: (u) => when(u.programmed), cls: 'mono' },
  ];

  function rolloutUnitColumns() {
    return [
      { title: '#', get: (u) => String(u.position + 1), cls: 'num' },
      { title: 'group', get: (u) => String(u.group), cls: 'num' },
      { title: 'target', get: (u) => u.target, cls: 'mono' },
      { title: 'unit', get: (u) => u.unit, href: (u) => unitHref(u.unit, u.target), cls: 'mono' },
      { title: 'state', get: (u) => u.progress + (u.redo ? ' (redo)' : ''), cellClass: (u) => 'progress-' + u.progress },
      { title: 'outcome', get: (u) => u.outcome, cellClass: (u) => outcomeClass(u.outcome) },
      { title: 'status', get: statusText, cls: 'wrap' },
      { title: 'station', get: (u) => u.station },
      { title: 'attempts', get: (u) => String(u.attempts), cls: 'num' },
      { title: 'detail', get: (u) => u.detail, cls: 'wrap' },
    ];
  }

  // A unit in flight as its station's last renewal saw it: "program 812/2049 4.1 s, as of 12:01:02".
  function phaseText(u) {
    const p = u.phase;
    if (!p) return 'claimed';
    const records = p.name === 'program' && p.total > 0 ? ' ' + p.done + '/' + p.total : '';
    return p.name + records + ' ' + p.elapsed_s.toFixed(1) + ' s, as of ' + when(p.as_of).slice(11);
  }

  function runningUnitColumns() {
    const columns = rolloutUnitColumns();
    columns.splice(5, 0, { title: 'phase', get: phaseText, cls: 'mono' });
    return columns;
  }

  function actionColumns() {
    return [
      { title: 'time', get: (a) => when(a.at) },
      { title: 'action', get: (a) => a.action },
      { title: 'by', get: (a) => a.actor },
      { title: 'from', get: (a) => a.origin, cls: 'mono' },
      { title: 'detail', get: (a) => a.detail, cls: 'wrap' },
    ];
  }

  // ---- views: each builds its page once, then refresh() updates it ----

  function rolloutsView() {
    const list = el('div', { id: 'rollouts' });
    const count = el('p', { class: 'note' });
    main.replaceChildren(el('h1', null, 'Rollouts'), legend(), count, list);
    const figures = figuresBox();
    const figuresNote = el('p', { class: 'note' });
    main.append(el('h2', null, 'The last day, every station'), figuresNote, figures.root);
    const cards = new Map();
    function card(name) {
      const head = el('div', { class: 'card-head' });
      const title = link(rolloutHref(name), name);
      title.className = 'name';
      const badge = stateBadge();
      const failures = el('span', { class: 'counts' });
      head.append(title, badge.root, failures);
      const meta = metaLine();
      const reason = el('div', { class: 'stop-reason' });
      const groups = groupsBox(false);
      const stations = stationsBox();
      const root = el('section', { class: 'card rollout', 'data-rollout': name }, head, meta.root, reason, groups.root, stations.root);
      return { root, badge, meta, reason, groups, stations, failures };
    }
    return {
      async refresh() {
        const [data, f] = await Promise.all([api('/api/rollouts'), api('/api/figures')]);
        setText(figuresNote, 'program attempts since ' + when(f.since) + ' UTC');
        figures.update(f);
        setText(count, data.total === 0 ? 'No rollout yet: uvq rollout create NAME IMAGE …' :
          data.total + ' rollout' + (data.total === 1 ? '' : 's') + (data.total > data.rollouts.length ? ', the newest ' + data.rollouts.length + ' shown' : ''));
        const seen = new Set();
        data.rollouts.forEach((r, index) => {
          seen.add(r.name);
          let c = cards.get(r.name);
          if (!c) { c = card(r.name); cards.set(r.name, c); }
          c.badge.update(r.state, r);
          c.meta.update(r);
          setReason(c.reason, r);
          c.groups.update(r.groups, r.state);
          setText(c.failures, r.totals.ok + ' ok · ' + r.totals.failed + ' failed of ' + r.totals.size);
          c.stations.update(FINAL_STATES.includes(r.state) ? null : r.stations || [], data.now, r.state);
          if (list.children[index] !== c.root) list.insertBefore(c.root, list.children[index] || null);
        });
        for (const [name, c] of cards) if (!seen.has(name)) { c.root.remove(); cards.delete(name); }
      },
    };
  }

  function rolloutView(name) {
    const badge = stateBadge();
    const meta = metaLine();
    const reason = el('div', { class: 'stop-reason' });
    const summary = el('div', { class: 'summary-line' });
    const groups = groupsBox(true);
    const stations = stationsBox();
    const figures = figuresBox();
    const failed = keyedTable(rolloutUnitColumns(), 'no unit has failed');
    const running = keyedTable(runningUnitColumns(), 'no unit is being worked on');
    const all = keyedTable(rolloutUnitColumns(), 'no units');
    const done = keyedTable(actionColumns(), 'no action recorded');
    const failedNote = el('p', { class: 'note' });
    let unitsOffset = 0;
    const unitsPager = pager((offset) => { unitsOffset = offset; refreshNow(); });
    const actions = actionsBar(name);
    const title = el('h1', null, el('span', { id: 'rollout-name', text: name }), badge.root);
    main.replaceChildren(
      title, meta.root, reason, summary, actions.root,
      reportBar(() => '/api/report/rollout?name=' + enc(name)), legend(), groups.root,
      el('h2', null, 'Stations'), stations.root,
      el('h2', null, 'Progress'), figures.root,
      el('h2', null, 'Failed units'), failedNote, failed.root,
      el('h2', null, 'Units in flight'), running.root,
      el('h2', null, 'All units'), unitsPager.root, all.root,
      el('h2', null, 'Actions'), done.root);
    document.title = name + ' · uvq';
    return {
      async refresh() {
        const [r, units, f] = await Promise.all([
          api('/api/rollout?name=' + enc(name)),
          api('/api/rollout/units?name=' + enc(name) + '&offset=' + unitsOffset + '&limit=100'),
          api('/api/rollout/figures?name=' + enc(name)),
        ]);
        figures.update(f);
        badge.update(r.state, r);
        meta.update(r);
        setReason(reason, r);
        const t = r.totals;
        setText(summary, t.ok + ' ok · ' + t.failed + ' failed · ' + t.running + ' running · ' + t.pending + ' pending of ' + t.size + ' units in ' + r.groups.length + ' group' + (r.groups.length === 1 ? '' : 's'));
        groups.update(r.groups, r.state);
        stations.update(r.stations, r.now, r.state);
        failed.update(r.failed, (u) => u.position);
        setText(failedNote, r.failed_total > r.failed.length ? 'the first ' + r.failed.length + ' of ' + r.failed_total + ' failed units' : '');
        running.update(r.running, (u) => u.position);
        all.update(units.units, (u) => u.position);
        unitsPager.update(units.offset, units.limit, units.units.length);
        actions.update(r);
        done.update(r.actions || [], (a) => a.id);
      },
    };
  }

  // A station's last day: what it programmed, its first-pass yield, its failures.
  function stationView(name) {
    const note = el('p', { class: 'note' });
    const figures = figuresBox();
    main.replaceChildren(el('h1', null, el('span', { id: 'station-name', text: name })), note,
      figures.root, el('p', null, link('/history?station=' + enc(name), 'its history')));
    document.title = name + ' · uvq';
    return {
      async refresh() {
        const f = await api('/api/station/figures?name=' + enc(name));
        setText(note, 'program attempts since ' + when(f.since) + ' UTC (the last day)');
        figures.update(f);
      },
    };
  }

  // Pause, resume, cancel and retry-failed: shown only when the server allows actions; each
  // needs the token, asked here and kept for this tab only.
  function actionsBar(name) {
    const root = el('div', { class: 'actions' });
    if (!overview.actions) {
      root.append(el('span', { class: 'note', text: 'read-only: actions are off (uvq serve --allow-actions --token-file FILE)' }));
      return { root, update() {} };
    }
    const input = el('input', { type: 'password', placeholder: 'token', autocomplete: 'off', id: 'action-token' });
    input.value = token;
    const message = el('span', { class: 'message', id: 'action-message' });
    const buttons = {};
    let armedCancel = null;
    const names = [['approve', 'Approve next group'], ['pause', 'Pause'], ['resume', 'Resume'], ['retry-failed', 'Retry failed'], ['cancel', 'Cancel…']];
    for (const [action, label] of names) {
      const b = el('button', { type: 'button', 'data-action': action, class: action === 'cancel' ? 'danger' : null }, label);
      b.addEventListener('click', () => run(action, b));
      buttons[action] = b;
    }
    root.append(el('label', null, 'Token ', input), buttons.approve, buttons.pause, buttons.resume, buttons['retry-failed'], buttons.cancel, message);
    async function run(action, button) {
      // Cancel is final: a second click within a few seconds confirms it.
      if (action === 'cancel' && armedCancel === null) {
        setText(button, 'Really cancel?');
        armedCancel = setTimeout(() => { armedCancel = null; setText(button, 'Cancel…'); }, 4000);
        return;
      }
      if (armedCancel !== null) { clearTimeout(armedCancel); armedCancel = null; setText(buttons.cancel, 'Cancel…'); }
      token = input.value.trim();
      sessionStorage.setItem('uvq-token', token);
      setClass(message, 'message');
      setText(message, action + '…');
      try {
        const result = await api('/api/rollout/' + action + '?name=' + enc(name), 'POST');
        setText(message, action + ': done, the rollout is ' + result.state + (action === 'retry-failed' ? ' (' + result.units_reset + ' units put back)' : '') + (action === 'approve' ? ' (group ' + result.group + ' may start)' : ''));
      } catch (e) {
        setClass(message, 'message bad');
        if (e.status === 401) {
          // A wrong token is not kept: the field is emptied and the tab forgets it.
          token = '';
          input.value = '';
          sessionStorage.removeItem('uvq-token');
          setText(message, action + ' refused: the token was not accepted; type it again');
        } else {
          setText(message, action + ' refused: ' + e.message);
        }
      }
      refreshNow();
    }
    return {
      root,
      update(r) {
        const final = r.state === 'cancelled' || r.state === 'done';
        buttons.approve.hidden = !r.approve_groups;
        buttons.approve.disabled = r.waiting_for_approval === null;
        buttons.pause.disabled = r.state !== 'running';
        buttons.resume.disabled = r.state !== 'paused';
        buttons['retry-failed'].disabled = final || r.totals.failed === 0;
        buttons.cancel.disabled = final;
      },
    };
  }

  function filterForm(fields, params, onSubmit) {
    const form = el('form', { class: 'filters', autocomplete: 'off' });
    const inputs = {};
    for (const f of fields) {
      let input;
      if (f.choices) {
        input = el('select', { name: f.name }, el('option', { value: '' }, 'any'), ...f.choices.map((c) => el('option', { value: c }, c)));
      } else {
        input = el('input', { name: f.name, placeholder: f.placeholder || '', maxlength: '256' });
      }
      input.value = params.get(f.name) || '';
      inputs[f.name] = input;
      form.append(el('label', null, f.label, input));
    }
    const clear = el('button', { type: 'button' }, 'Clear');
    form.append(el('div', { class: 'form-buttons' }, el('button', { type: 'submit', class: 'primary' }, 'Show'), clear));
    form.addEventListener('submit', (event) => {
      event.preventDefault();
      const next = new URLSearchParams();
      for (const [name, input] of Object.entries(inputs)) if (input.value.trim()) next.set(name, input.value.trim());
      onSubmit(next);
    });
    clear.addEventListener('click', () => {
      for (const input of Object.values(inputs)) input.value = '';
      onSubmit(new URLSearchParams());
    });
    return form;
  }

  const HISTORY_FIELDS = [
    { name: 'unit', label: 'unit', placeholder: '0100' },
    { name: 'address', label: 'address', placeholder: '10.1.2.3' },
    { name: 'image', label: 'image (SHA-256)', placeholder: '64 hex digits' },
    { name: 'outcome', label: 'outcome', choices: OUTCOMES },
    { name: 'operation', label: 'operation', choices: OPERATIONS },
    { name: 'station', label: 'station' },
    { name: 'since', label: 'since (UTC or 7d, 12h)', placeholder: '2026-12-07 or 12h' },
    { name: 'until', label: 'until (UTC or 7d, 12h)' },
  ];

  function filteredListView(kind) {
    const params = new URLSearchParams(location.search);
    const isHistory = kind === 'history';
    const message = el('p', { class: 'message bad' });
    const table = isHistory ? keyedTable(HISTORY_COLUMNS, 'no rows match') : keyedTable(UNIT_COLUMNS, 'no units match');
    let offset = Number(params.get('offset')) || 0;
    params.delete('offset');
    const pages = pager((o) => { offset = o; rememberQuery(); refreshNow(); });
    function rememberQuery() {
      const q = new URLSearchParams(params);
      if (offset) q.set('offset', String(offset));
      const search = q.toString() ? '?' + q.toString() : '';
      history.replaceState(null, '', location.pathname + search);
    }
    const form = filterForm(HISTORY_FIELDS, params, (next) => {
      for (const key of [...params.keys()]) params.delete(key);
      for (const [k, v] of next) params.set(k, v);
      offset = 0;
      rememberQuery();
      refreshNow();
    });
    main.replaceChildren(el('h1', null, isHistory ? 'History' : 'Units'),
      el('p', { class: 'note', text: isHistory ? 'What was done to which unit, newest first (as uvq history).' : 'Each unit\'s latest known state (as uvq history units).' }),
      form, isHistory ? null : reportBar(() => {
        // The units report takes the page's filters that say which units, not how to page.
        const q = new URLSearchParams();
        for (const key of ['unit', 'address', 'image', 'station', 'since', 'until'])
          if (params.get(key)) q.set(key, params.get(key));
        return '/api/report/units?' + q.toString();
      }), message, pages.root, table.root);
    document.title = (isHistory ? 'History' : 'Units') + ' · uvq';
    return {
      async refresh() {
        const q = new URLSearchParams(params);
        q.set('offset', String(offset));
        q.set('limit', '100');
        try {
          const data = await api('/api/' + (isHistory ? 'history' : 'units') + '?' + q.toString());
          setText(message, '');
          const items = isHistory ? data.rows : data.units;
          table.update(items, isHistory ? (r) => r.id : unitKey);
          pages.update(data.offset, data.limit, items.length);
        } catch (e) {
          if (e.status === 400) { setText(message, e.message); return; }
          throw e;
        }
      },
    };
  }

  // The units that answered with one ID, one per address (an old link to a unit by its ID).
  function unitListView(id) {
    const table = keyedTable(UNIT_COLUMNS, 'no unit with this ID');
    let offset = 0;
    const pages = pager((o) => { offset = o; refreshNow(); });
    main.replaceChildren(el('h1', null, 'Units with ID ', el('span', { class: 'mono', text: id })),
      el('p', { class: 'note', text: 'A unit is its ID at its address: each address below is a unit of its own.' }),
      pages.root, table.root);
    document.title = 'Units ' + id + ' · uvq';
    return {
      async refresh() {
        const data = await api('/api/units/' + enc(id) + '?offset=' + offset + '&limit=100');
        table.update(data.units, unitKey);
        pages.update(data.offset, data.limit, data.units.length);
      },
    };
  }

  function unitView(id, address) {
    const facts = el('dl', { class: 'facts' });
    const table = keyedTable(HISTORY_COLUMNS, 'no rows for this unit');
    let offset = 0;
    const pages = pager((o) => { offset = o; refreshNow(); });
    main.replaceChildren(el('h1', null, 'Unit ', el('span', { class: 'mono', text: id }), ' at ',
      el('span', { class: 'mono', text: address })), facts,
      el('p', null, link('/units/' + enc(id), 'Every unit with ID ' + id)),
      el('h2', null, 'Its whole history'), pages.root, table.root);
    document.title = 'Unit ' + id + ' at ' + address + ' · uvq';
    const factCells = {};
    const FACTS = [['address', (s) => s.address], ['last seen (UTC)', (s) => when(s.last_seen)],
      ['last operation', (s) => s.last_operation], ['last outcome', (s) => s.last_outcome],
      ['station', (s) => s.last_station], ['image', (s) => s.image], ['image SHA-256', (s) => s.image_sha256],
      ['programmed (UTC)', (s) => when(s.programmed)]];
    for (const [label] of FACTS) {
      factCells[label] = el('dd');
      facts.append(el('dt', { text: label }), factCells[label]);
    }
    return {
      async refresh() {
        const data = await api('/api/units/' + enc(id) + '/' + address + '?offset=' + offset + '&limit=100');
        for (const [label, get] of FACTS) setText(factCells[label], data.state ? get(data.state) : '');
        table.update(data.rows, (r) => r.id);
        pages.update(data.offset, data.limit, data.rows.length);
      },
    };
  }

  function imageView(sha) {
    const units = keyedTable(UNIT_COLUMNS, 'no unit carries this image');
    const rows = keyedTable(HISTORY_COLUMNS, 'never programmed');
    const count = el('p', { class: 'summary-line' });
    main.replaceChildren(el('h1', null, 'Image ', el('span', { class: 'mono', text: sha.slice(0, 16) + '…' })),
      el('p', { class: 'note mono', text: 'SHA-256 ' + sha }), count,
      el('h2', null, 'Units carrying this image'), units.root,
      el('h2', null, 'Programming runs of this image'), rows.root);
    document.title = 'Image ' + sha.slice(0, 12) + ' · uvq';
    return {
      async refresh() {
        const [u, r] = await Promise.all([
          api('/api/units?image=' + sha + '&limit=500'),
          api('/api/history?image=' + sha + '&operation=program&limit=100'),
        ]);
        units.update(u.units, unitKey);
        setText(count, u.units.length + (u.units.length === 500 ? '+' : '') + ' unit' + (u.units.length === 1 ? '' : 's') + ' carrying this image');
        rows.update(r.rows, (x) => x.id);
      },
    };
  }

  function notFoundView() {
    main.replaceChildren(el('h1', null, 'Not found'), el('p', null, link('/', 'Back to the rollouts')));
    return { async refresh() {} };
  }

  // ---- routing and the refresh loop ----

  function route() {
    generation++;
    const path = location.pathname;
    let nav = 'rollouts';
    let match;
    if (path === '/') view = rolloutsView();
    else if (path === '/rollout' && new URLSearchParams(location.search).get('name')) view = rolloutView(new URLSearchParams(location.search).get('name'));
    else if (path === '/station' && new URLSearchParams(location.search).get('name')) view = stationView(new URLSearchParams(location.search).get('name'));
    else if (path === '/history') { nav = 'history'; view = filteredListView('history'); }
    else if (path === '/units') { nav = 'units'; view = filteredListView('units'); }
    else if ((match = path.match(/^\/units\/([0-9A-Fa-f]{1,4})$/))) { nav = 'units'; view = unitListView(match[1].toUpperCase().padStart(4, '0')); }
    else if ((match = path.match(/^\/units\/([0-9A-Fa-f]{1,4})\/([0-9]{1,3}(?:\.[0-9]{1,3}){3})$/))) { nav = 'units'; view = unitView(match[1].toUpperCase().padStart(4, '0'), match[2]); }
    else if ((match = path.match(/^\/images\/([0-9A-Fa-f]{64})$/))) { nav = 'units'; view = imageView(match[1].toLowerCase()); }
    else view = notFoundView();
    if (path === '/') document.title = 'Rollouts · uvq';
    for (const a of document.querySelectorAll('[data-nav]')) a.classList.toggle('current', a.getAttribute('data-nav') === nav);
    refreshNow();
  }

  function refreshNow() {
    if (timer !== null) clearTimeout(timer);
    timer = null;
    tick();
  }

  async function tick() {
    const mine = ++generation;
    try {
      await view.refresh();
      if (mine !== generation) return;
      setLive(true, 'live · ' + new Date().toISOString().slice(11, 19) + ' UTC');
    } catch (e) {
      if (mine !== generation) return;
      setLive(false, e.status === 404 ? 'not found' : 'no answer: ' + e.message);
      if (e.status === 404) { notFoundView(); return; }
    }
    if (mine === generation) timer = setTimeout(tick, pollMs);
  }

  // Links inside the dashboard change the view without loading the page again.
  document.addEventListener('click', (event) => {
    const a = event.target.closest('a[href]');
    if (!a || event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0) return;
    const href = a.getAttribute('href');
    if (!href.startsWith('/') || href.startsWith('//')) return;
    event.preventDefault();
    history.pushState(null, '', href);
    route();
  });
  window.addEventListener('popstate', route);

  async function start() {
    try {
      overview = await api('/api/overview');
      pollMs = Math.min(Math.max(overview.poll_ms || 1500, 500), 10000);
      setText(document.getElementById('db'), overview.db);
      document.getElementById('db').title = 'history: ' + overview.db;
    } catch (e) {
      setLive(false, 'no answer: ' + e.message);
      setTimeout(start, 3000);
      return;
    }
    route();
  }
  start();
})();
