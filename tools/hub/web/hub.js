// Ormelin hub dashboard: renders the hub's /api/status and /api/events at load, then follows the /events
// Server-Sent Events stream. Plain ES2020, no libraries: stations run offline and the page must cope on a phone.
'use strict';

(() => {
  const ALERT_NAMES = { 0: 'NO_Drone', 1: 'Probably_Drone', 2: 'Detected_Drone', '-1': 'No_Array', '-2': 'Autocalibration' };
  const TRAIL_S = 300;              // bearing history drawn on the compass
  const TRAIL_STEP_MS = 500;        // at most two trail dots a second, so 5 min stay cheap to draw
  const MAX_ROWS_PER_S = 20;        // waterfall rows; faster frames are merged (max per bin) so short tones survive
  const WATERFALL_ROWS = 300;       // 15 s of history at the full row rate
  const MAX_COLUMNS = 1024;         // wider spectra are folded by max into this many canvas columns
  const COMPASS_MIN_MS = 100;       // compass and bars redraw at most ten times a second
  const MAX_EVENTS = 200;           // events kept in the list
  const SILENT_HUB_S = 5;           // no SSE traffic for this long although the stream is open: say so
  const STALE_STATION_S = 5;        // the station counts as silent after this long without a message
  const POLL_MS = 5000;             // /api/status polling while the stream is down

  const $ = (id) => document.getElementById(id);
  const el = {
    hub: $('hub-state'), station: $('station-state'), age: $('message-age'), stationId: $('station-id'),
    banner: $('alert-banner'), alertName: $('alert-name'), mode: $('mode'), notice: $('notice'),
    compass: $('compass'), azimuth: $('azimuth'), brd: $('brd'),
    waterfall: $('waterfall'), freqAxis: $('freq-axis'), spectrumInfo: $('spectrum-info'),
    eventList: $('event-list'), eventCount: $('event-count'), eventEmpty: $('event-empty'),
  };
  const scoreRows = [0, 1, 2, 3].map((i) => {
    const row = $('score-' + i);
    return { row, fill: row.querySelector('.bar-fill'), line: row.querySelector('.brd-line'), value: row.querySelector('.score-value') };
  });

  // ---- token: EventSource cannot send headers, so the stream gets it in the query, fetches in a header.
  const token = new URLSearchParams(location.search).get('token') || '';
  const withToken = (path) => (token ? path + (path.includes('?') ? '&' : '?') + 'token=' + encodeURIComponent(token) : path);

  class HttpError extends Error {
    constructor(status) { super('HTTP ' + status); this.status = status; }
  }
  async function apiGet(path) {
    const opts = { cache: 'no-store' };
    if (token) opts.headers = { Authorization: 'Bearer ' + token };
    const r = await fetch(path, opts);
    if (!r.ok) throw new HttpError(r.status);
    return r.json();
  }

  // ---- state
  const st = {
    hub: 'connecting',           // connecting | ok | stale | unreachable | unauthorised
    hubSince: performance.now(), // when hub last changed state
    lastSse: 0,                  // performance.now() of the last SSE message
    status: null,
    alert: null,                 // numeric level or null
    alertName: 'unknown',
    azimuth: null,
    dots: [null, null, null, null],
    brd: null,
    ageBase: null,               // {age: s, at: performance.now()}; age of the station's last message
    trail: [],                   // {t: Date.now(), az}
    scoreScale: 0,
    dirtyCompass: true,
    dirtyScores: true,
  };
  const isNum = (v) => typeof v === 'number' && Number.isFinite(v);

  // ---- formatting
  function fmtAge(s) {
    if (!isNum(s)) return '–';
    if (s < 10) return s.toFixed(1) + ' s';
    if (s < 60) return Math.round(s) + ' s';
    if (s < 3600) return Math.floor(s / 60) + ' min ' + Math.floor(s % 60) + ' s';
    if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
    return Math.floor(s / 86400) + ' d';
  }
  function fmtDuration(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 60) return s + ' s';
    if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
    return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min';
  }
  // Scores live around 1e-4..1e-1: five decimals keep the column aligned and comparable with the border.
  const fmtScore = (v) => {
    if (!isNum(v)) return '–';
    const a = Math.abs(v);
    if (a === 0) return '0';
    if (a >= 1) return v.toPrecision(4);
    return a >= 1e-5 ? v.toFixed(5) : v.toExponential(1);
  };
  const fmtDeg = (v) => (isNum(v) ? v.toFixed(1) + '°' : '–');
  function fmtLocalTime(iso) {
    const d = new Date(iso);
    if (Number.isNaN(d.getTime())) return '?';
    const time = d.toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', second: '2-digit' });
    const today = new Date();
    if (d.toDateString() === today.toDateString()) return time;
    return d.toLocaleDateString([], { month: 'short', day: 'numeric' }) + ' ' + time;
  }

  // ---- hub reachability, station state, alert banner
  function setHub(state) {
    if (st.hub === state) return;
    st.hub = state;
    st.hubSince = performance.now();
    refreshHeader();
  }

  function stationAge() {
    if (!st.ageBase) return null;
    return st.ageBase.age + (performance.now() - st.ageBase.at) / 1000;
  }

  function refreshHeader() {
    const now = performance.now();
    const hubText = {
      connecting: 'hub: connecting…',
      ok: 'hub: live',
      stale: 'hub: silent ' + fmtAge((now - st.lastSse) / 1000),
      unreachable: 'hub: UNREACHABLE',
      unauthorised: 'hub: token rejected',
    }[st.hub];
    el.hub.textContent = hubText;
    el.hub.dataset.state = st.hub === 'unauthorised' ? 'unreachable' : st.hub;

    const s = st.status;
    const age = stationAge();
    let stationState = s ? s.station : 'unknown';
    if (stationState === 'connected' && isNum(age) && age > STALE_STATION_S) stationState = 'stale';
    let stationText = 'station: ' + (stationState === 'disconnected' ? 'DISCONNECTED' : stationState === 'stale' ? 'silent' : stationState);
    if (s && s.station === 'connected' && s.spectrum === 'disconnected') stationText += ' · no spectrum';
    el.station.textContent = stationText;
    el.station.dataset.state = stationState;
    el.age.textContent = 'last msg: ' + fmtAge(age);
    el.age.dataset.age = isNum(age) ? age.toFixed(1) : '';

    // Old data must not pass for live: grey the banner whenever hub or station are not delivering.
    const live = st.hub === 'ok' && stationState === 'connected';
    el.banner.dataset.stale = String(!live);

    let notice = '';
    if (st.hub === 'unreachable') {
      notice = 'The hub has been unreachable for ' + fmtAge((now - st.hubSince) / 1000) + ' (retrying). What is shown is old.';
    } else if (st.hub === 'unauthorised') {
      notice = 'The hub rejected the access token. Open the page as /?token=… with the right token.';
    } else if (stationState === 'disconnected') {
      notice = 'The hub has lost the station. Last station message ' + fmtAge(age) + ' ago.';
    } else if (stationState === 'stale') {
      notice = 'No message from the station for ' + fmtAge(age) + '.';
    } else if (st.hub === 'stale') {
      notice = 'The hub stream has been silent for ' + fmtAge((now - st.lastSse) / 1000) + '.';
    }
    if (el.notice.textContent !== notice) el.notice.textContent = notice;
    el.notice.hidden = notice === '';
  }

  function setAlert(level, name) {
    const lvl = isNum(level) ? level : null;
    const nm = name || (lvl !== null && ALERT_NAMES[lvl]) || 'unknown';
    if (lvl === st.alert && nm === st.alertName) return;
    st.alert = lvl;
    st.alertName = nm;
    el.alertName.textContent = nm;
    el.alertName.dataset.name = nm;
    el.banner.dataset.level = lvl === null ? 'unknown' : String(lvl);
    st.dirtyCompass = true;
  }

  function setAzimuth(az) {
    const a = isNum(az) ? ((az % 360) + 360) % 360 : null;
    if (a !== null) {
      const now = Date.now();
      const last = st.trail[st.trail.length - 1];
      if (!last || now - last.t >= TRAIL_STEP_MS) st.trail.push({ t: now, az: a });
    }
    if (a === st.azimuth) return;
    st.azimuth = a;
    el.azimuth.textContent = fmtDeg(a);
    el.azimuth.dataset.deg = a === null ? '' : a.toFixed(1);
    st.dirtyCompass = true;
  }

  function setScores(dots, brd) {
    if (Array.isArray(dots)) st.dots = [0, 1, 2, 3].map((i) => (isNum(dots[i]) ? dots[i] : null));
    if (brd !== undefined) st.brd = isNum(brd) ? brd : null;
    st.dirtyScores = true;
  }

  function noteStationMessage(ageS) {
    if (isNum(ageS)) st.ageBase = { age: ageS, at: performance.now() };
  }

  function applyStatus(s) {
    st.status = s;
    if (s.id) el.stationId.textContent = s.id;
    el.mode.textContent = s.mode && s.mode !== 'unknown' ? s.mode.replace('_', ' ') : '';
    setAlert(s.alert, s.alert_name);
    setAzimuth(s.azimuth);
    setScores(s.dots, s.brd);
    if (isNum(s.last_message_age_s)) noteStationMessage(s.last_message_age_s);
    refreshHeader();
  }

  function applyResult(r) {
    setAlert(r.alert, isNum(r.alert) ? ALERT_NAMES[r.alert] : null);
    setAzimuth(Array.isArray(r.dirs) ? r.dirs[0] : null);
    setScores(r.dots, r.brd);
    noteStationMessage(0);
  }

  // ---- detection events: keyed list, touched only when an event arrives
  const events = new Map(); // String(id) -> {ev, li}

  function eventDetail(ev) {
    const parts = ['peak ' + fmtScore(ev.peak_score)];
    if (isNum(ev.peak_level) && ev.peak_level !== 2) parts.push('level ' + ev.peak_level);
    if (isNum(ev.azimuth_start) || isNum(ev.azimuth_median) || isNum(ev.azimuth_end)) {
      parts.push('bearing ' + fmtDeg(ev.azimuth_start) + ' → ' + fmtDeg(ev.azimuth_end) + ' (median ' + fmtDeg(ev.azimuth_median) + ')');
    } else {
      parts.push('no bearing');
    }
    return parts.join(' · ');
  }

  function eventDuration(ev) {
    const start = Date.parse(ev.start);
    if (ev.end) return fmtDuration(Date.parse(ev.end) - start);
    return 'ongoing · ' + fmtDuration(Date.now() - start);
  }

  function fillEvent(entry) {
    const { ev, li } = entry;
    li.dataset.state = ev.end ? 'closed' : 'open';
    li.querySelector('.ev-start').textContent = fmtLocalTime(ev.start);
    li.querySelector('.ev-start').dateTime = ev.start;
    li.querySelector('.ev-dur').textContent = eventDuration(ev);
    li.querySelector('.ev-detail').textContent = eventDetail(ev);
  }

  function upsertEvent(raw) {
    if (!raw || raw.id === undefined || !raw.start) return;
    const ev = {
      id: raw.id, start: raw.start, end: raw.end || null, peak_level: raw.peak_level, peak_score: raw.peak_score,
      azimuth_start: raw.azimuth_start, azimuth_median: raw.azimuth_median, azimuth_end: raw.azimuth_end,
    };
    const key = String(ev.id);
    let entry = events.get(key);
    if (!entry) {
      const li = document.createElement('li');
      li.className = 'event';
      li.dataset.id = key;
      li.innerHTML = '<time class="ev-start"></time><span class="ev-dur"></span><span class="ev-detail"></span>';
      entry = { ev, li };
      events.set(key, entry);
      // Newest first; arrivals are nearly always the newest, so the scan stops at once.
      const t = Date.parse(ev.start);
      let before = el.eventList.firstElementChild;
      while (before && Date.parse(events.get(before.dataset.id).ev.start) > t) before = before.nextElementSibling;
      el.eventList.insertBefore(li, before);
      while (events.size > MAX_EVENTS) {
        const last = el.eventList.lastElementChild;
        events.delete(last.dataset.id);
        last.remove();
      }
    } else {
      entry.ev = ev;
    }
    fillEvent(entry);
    el.eventCount.textContent = String(events.size);
    el.eventCount.dataset.count = String(events.size);
    el.eventEmpty.hidden = events.size > 0;
  }

  async function loadEvents() {
    // After an outage ask only for what may have changed: from the oldest still-open event, else the newest.
    let since = null;
    for (const { ev } of events.values()) {
      if (!ev.end && (since === null || ev.start < since)) since = ev.start;
    }
    if (since === null) {
      for (const { ev } of events.values()) if (since === null || ev.start > since) since = ev.start;
    }
    let data;
    try {
      data = await apiGet(since ? '/api/events?since=' + encodeURIComponent(since) : '/api/events');
    } catch (err) {
      el.eventEmpty.textContent = 'The detections could not be loaded from the hub.';
      el.eventEmpty.hidden = events.size > 0;
      throw err;
    }
    el.eventEmpty.textContent = 'No detections in the last 24 h.';
    for (const ev of data.events || []) upsertEvent(ev);
    el.eventEmpty.hidden = events.size > 0;
  }

  // ---- compass
  const compassCtx = el.compass.getContext('2d');
  let compassDrawnAt = 0;

  function sizeCanvas(canvas) {
    const dpr = Math.min(window.devicePixelRatio || 1, 3);
    const w = Math.max(1, Math.round(canvas.clientWidth * dpr));
    const h = Math.max(1, Math.round(canvas.clientHeight * dpr));
    if (canvas.width !== w || canvas.height !== h) {
      canvas.width = w;
      canvas.height = h;
      return true;
    }
    return false;
  }

  function needleColour() {
    if (el.banner.dataset.stale === 'true') return '#8b97a7';
    return { 2: '#ff5252', 1: '#ffc107', 0: '#4cd787' }[st.alert] || '#5cc8ff';
  }

  function drawCompass() {
    sizeCanvas(el.compass);
    const c = compassCtx;
    const W = el.compass.width;
    const H = el.compass.height;
    const cx = W / 2;
    const cy = H / 2;
    const R = Math.min(W, H) / 2 - Math.max(2, W * 0.01);
    const u = W / 300; // drawing unit: one CSS pixel of a 300 px compass
    c.clearRect(0, 0, W, H);

    c.fillStyle = '#0b0f15';
    c.beginPath(); c.arc(cx, cy, R, 0, 2 * Math.PI); c.fill();
    c.strokeStyle = '#2a3340';
    c.lineWidth = 1 * u;
    for (const f of [1, 0.66, 0.33]) { c.beginPath(); c.arc(cx, cy, R * f, 0, 2 * Math.PI); c.stroke(); }

    // Ticks every 10 degrees, longer every 30; bearings are clockwise from north.
    c.strokeStyle = '#6b7787';
    for (let d = 0; d < 360; d += 10) {
      const a = (d * Math.PI) / 180;
      const len = d % 90 === 0 ? 14 * u : d % 30 === 0 ? 9 * u : 5 * u;
      c.lineWidth = (d % 30 === 0 ? 2 : 1) * u;
      c.beginPath();
      c.moveTo(cx + Math.sin(a) * R, cy - Math.cos(a) * R);
      c.lineTo(cx + Math.sin(a) * (R - len), cy - Math.cos(a) * (R - len));
      c.stroke();
    }
    c.textAlign = 'center';
    c.textBaseline = 'middle';
    c.font = `700 ${Math.round(20 * u)}px system-ui, sans-serif`;
    for (const [label, d] of [['N', 0], ['E', 90], ['S', 180], ['W', 270]]) {
      const a = (d * Math.PI) / 180;
      c.fillStyle = label === 'N' ? '#ff6b6b' : '#e3e8ef';
      c.fillText(label, cx + Math.sin(a) * (R - 30 * u), cy - Math.cos(a) * (R - 30 * u));
    }
    c.font = `${Math.round(11 * u)}px system-ui, sans-serif`;
    c.fillStyle = '#8b97a7';
    for (let d = 30; d < 360; d += 30) {
      if (d % 90 === 0) continue;
      const a = (d * Math.PI) / 180;
      c.fillText(String(d), cx + Math.sin(a) * (R - 24 * u), cy - Math.cos(a) * (R - 24 * u));
    }

    // Trail: newest on the outer ring, older ones further in and fainter.
    const now = Date.now();
    while (st.trail.length && now - st.trail[0].t > TRAIL_S * 1000) st.trail.shift();
    c.fillStyle = '#5cc8ff';
    for (const p of st.trail) {
      const f = (now - p.t) / (TRAIL_S * 1000);
      const r = R * (0.68 - 0.5 * f);
      const a = (p.az * Math.PI) / 180;
      c.globalAlpha = 0.08 + 0.8 * (1 - f);
      c.beginPath();
      c.arc(cx + Math.sin(a) * r, cy - Math.cos(a) * r, 3 * u, 0, 2 * Math.PI);
      c.fill();
    }
    c.globalAlpha = 1;

    if (st.azimuth !== null) {
      const a = (st.azimuth * Math.PI) / 180;
      const sx = Math.sin(a);
      const sy = -Math.cos(a);
      const tip = R * 0.74;
      const base = tip - 22 * u;
      const col = needleColour();
      c.strokeStyle = col;
      c.fillStyle = col;
      c.lineWidth = 4 * u;
      c.lineCap = 'round';
      c.beginPath(); c.moveTo(cx, cy); c.lineTo(cx + sx * base, cy + sy * base); c.stroke();
      c.beginPath();
      c.moveTo(cx + sx * tip, cy + sy * tip);
      c.lineTo(cx + sx * base - sy * 10 * u, cy + sy * base + sx * 10 * u);
      c.lineTo(cx + sx * base + sy * 10 * u, cy + sy * base - sx * 10 * u);
      c.closePath();
      c.fill();
    }
    c.fillStyle = '#e3e8ef';
    c.beginPath(); c.arc(cx, cy, 4 * u, 0, 2 * Math.PI); c.fill();
  }

  // ---- channel score bars against the border line
  function drawScores() {
    const vals = st.dots.filter(isNum);
    const peak = vals.length ? Math.max(...vals) : 0;
    // The scale follows the peaks but decays slowly so the bars do not jump with every message.
    st.scoreScale = Math.max(peak * 1.15, st.scoreScale * 0.995, isNum(st.brd) ? st.brd * 2 : 0, 1e-9);
    const scale = st.scoreScale;
    const brdPct = isNum(st.brd) ? Math.min(100, (st.brd / scale) * 100) : null;
    el.brd.textContent = fmtScore(st.brd);
    scoreRows.forEach((r, i) => {
      const v = st.dots[i];
      r.fill.style.width = isNum(v) ? Math.min(100, Math.max(0, (v / scale) * 100)).toFixed(1) + '%' : '0%';
      r.value.textContent = fmtScore(v);
      r.row.dataset.over = String(isNum(v) && isNum(st.brd) && v > st.brd);
      r.line.hidden = brdPct === null;
      if (brdPct !== null) r.line.style.left = brdPct.toFixed(1) + '%';
    });
  }

  // ---- spectrum waterfall
  const wfCtx = el.waterfall.getContext('2d', { alpha: false });
  const wf = {
    bins: 0, firstHz: 0, binHz: 0, cols: 0,
    pending: null, pendingCount: 0, lastRowAt: 0,
    row: null, sortBuf: null, lo: null, hi: null, infoAt: 0,
  };
  // 256-colour map from the noise floor (near black) through purple and red to pale yellow.
  const LUT = (() => {
    const stops = [[0, 0, 0, 8], [0.2, 25, 12, 90], [0.45, 125, 25, 140], [0.65, 220, 60, 60], [0.85, 250, 180, 40], [1, 255, 255, 215]];
    const lut = new Uint8Array(256 * 3);
    for (let i = 0; i < 256; i++) {
      const x = i / 255;
      let k = 0;
      while (k < stops.length - 2 && x > stops[k + 1][0]) k++;
      const [x0, r0, g0, b0] = stops[k];
      const [x1, r1, g1, b1] = stops[k + 1];
      const f = (x - x0) / (x1 - x0);
      lut[i * 3] = r0 + (r1 - r0) * f;
      lut[i * 3 + 1] = g0 + (g1 - g0) * f;
      lut[i * 3 + 2] = b0 + (b1 - b0) * f;
    }
    return lut;
  })();

  function resetWaterfall(bins, firstHz, binHz) {
    wf.bins = bins;
    wf.firstHz = firstHz;
    wf.binHz = binHz;
    wf.cols = Math.min(bins, MAX_COLUMNS);
    wf.pending = new Float32Array(wf.cols).fill(-Infinity);
    wf.pendingCount = 0;
    wf.sortBuf = new Float32Array(wf.cols);
    el.waterfall.width = wf.cols;
    el.waterfall.height = WATERFALL_ROWS;
    wfCtx.fillStyle = '#000';
    wfCtx.fillRect(0, 0, wf.cols, WATERFALL_ROWS);
    wf.row = wfCtx.createImageData(wf.cols, 1);
    buildFreqAxis();
  }

  function onSpectrum(s) {
    const lv = s.levels;
    if (!Array.isArray(lv) || lv.length === 0 || !isNum(s.first_hz) || !isNum(s.bin_hz)) return;
    if (lv.length !== wf.bins || s.first_hz !== wf.firstHz || s.bin_hz !== wf.binHz) resetWaterfall(lv.length, s.first_hz, s.bin_hz);
    const p = wf.pending;
    const n = lv.length;
    const cols = wf.cols;
    for (let i = 0; i < n; i++) {
      const v = lv[i];
      if (typeof v !== 'number') continue; // null stands for -inf
      const c = cols === n ? i : Math.floor((i * cols) / n);
      if (v > p[c]) p[c] = v;
    }
    wf.pendingCount++;
  }

  function drawWaterfallRow() {
    const cols = wf.cols;
    const p = wf.pending;
    const H = el.waterfall.height;
    // Colour range follows the recent noise floor (20th percentile) and peaks, smoothed so it does not flicker.
    let m = 0;
    let max = -Infinity;
    for (let i = 0; i < cols; i++) {
      if (p[i] > -Infinity) { wf.sortBuf[m++] = p[i]; if (p[i] > max) max = p[i]; }
    }
    if (m > 0) {
      const sorted = wf.sortBuf.subarray(0, m).sort();
      const floor = sorted[Math.floor(m * 0.2)];
      if (wf.lo === null) { wf.lo = floor; wf.hi = max; }
      wf.lo += (floor - wf.lo) * 0.05;
      wf.hi += (max - wf.hi) * 0.05;
    }
    const lo = (wf.lo ?? -120) - 3;
    const hi = Math.max(wf.hi ?? 0, lo + 30);
    const k = 255 / (hi - lo);
    const d = wf.row.data;
    for (let i = 0; i < cols; i++) {
      const v = p[i];
      let idx = v > -Infinity ? Math.round((v - lo) * k) : 0;
      idx = idx < 0 ? 0 : idx > 255 ? 255 : idx;
      d[i * 4] = LUT[idx * 3];
      d[i * 4 + 1] = LUT[idx * 3 + 1];
      d[i * 4 + 2] = LUT[idx * 3 + 2];
      d[i * 4 + 3] = 255;
    }
    // Scroll down by one row and put the newest row on top.
    wfCtx.drawImage(el.waterfall, 0, 0, cols, H - 1, 0, 1, cols, H - 1);
    wfCtx.putImageData(wf.row, 0, 0);
    p.fill(-Infinity);
    wf.pendingCount = 0;

    const now = performance.now();
    if (now - wf.infoAt > 1000) {
      wf.infoAt = now;
      const f0 = wf.firstHz / 1000;
      const f1 = (wf.firstHz + wf.bins * wf.binHz) / 1000;
      el.spectrumInfo.textContent = `${f0.toFixed(1)}–${f1.toFixed(1)} kHz · ${Math.round(lo)}…${Math.round(hi)} dB`;
    }
  }

  function buildFreqAxis() {
    const axis = el.freqAxis;
    axis.textContent = '';
    if (!wf.bins) return;
    const span = wf.bins * wf.binHz;
    const px = axis.clientWidth || 360;
    const maxLabels = Math.max(2, Math.floor(px / 46));
    const steps = [50, 100, 200, 250, 500, 1000, 2000, 2500, 5000, 10000, 20000, 50000];
    const step = steps.find((s) => span / s <= maxLabels) || steps[steps.length - 1];
    const digits = step < 1000 ? (step % 100 === 0 ? 1 : 2) : step % 1000 === 0 ? 0 : 1;
    const frag = document.createDocumentFragment();
    for (let f = Math.ceil(wf.firstHz / step) * step; f <= wf.firstHz + span; f += step) {
      const pct = ((f - wf.firstHz) / span) * 100;
      const s = document.createElement('span');
      s.textContent = (f / 1000).toFixed(digits);
      s.style.left = pct.toFixed(2) + '%';
      if (pct < 3) s.className = 'first';
      else if (pct > 97) s.className = 'last';
      frag.appendChild(s);
    }
    const unit = document.createElement('span');
    unit.className = 'unit';
    unit.textContent = 'kHz';
    frag.appendChild(unit);
    axis.appendChild(frag);
  }

  // ---- drawing loop: everything visual happens here, at most once per display frame
  function frame(now) {
    if (wf.pendingCount > 0 && now - wf.lastRowAt >= 1000 / MAX_ROWS_PER_S - 2) {
      wf.lastRowAt = now;
      drawWaterfallRow();
    }
    if (now - compassDrawnAt >= COMPASS_MIN_MS && (st.dirtyCompass || st.dirtyScores || now - compassDrawnAt > 1000)) {
      compassDrawnAt = now;
      drawCompass(); // also redrawn each second so the trail fades
      st.dirtyCompass = false;
      if (st.dirtyScores) { drawScores(); st.dirtyScores = false; }
    }
    requestAnimationFrame(frame);
  }

  // ---- the event stream and its fallbacks
  let es = null;
  let streamWasDown = false; // set on a stream error: the events list is reloaded when it comes back
  let reconnectTimer = 0;
  let pollTimer = 0;

  function parse(e) {
    st.lastSse = performance.now();
    if (st.hub !== 'ok') setHub('ok');
    try { return JSON.parse(e.data); } catch { return null; }
  }

  function connectStream() {
    clearTimeout(reconnectTimer);
    if (es) es.close();
    es = new EventSource(withToken('/events'));
    es.onopen = () => {
      st.lastSse = performance.now();
      setHub('ok');
      stopPolling();
      // Detections may have opened or closed while the stream was down.
      if (streamWasDown) loadEvents().catch(() => {});
      streamWasDown = false;
    };
    es.onerror = () => {
      streamWasDown = true;
      if (es.readyState === EventSource.CLOSED) {
        // The hub answered but not with a stream (e.g. a rejected token): the browser gives up, so retry ourselves.
        reconnectTimer = setTimeout(connectStream, POLL_MS);
      }
      startPolling();
      pollStatus();
    };
    es.addEventListener('result', (e) => { const r = parse(e); if (r) applyResult(r); });
    es.addEventListener('status', (e) => { const s = parse(e); if (s) applyStatus(s); });
    es.addEventListener('spectrum', (e) => { const s = parse(e); if (s) onSpectrum(s); });
    es.addEventListener('detection', (e) => { const d = parse(e); if (d) upsertEvent(d); });
  }

  async function pollStatus() {
    try {
      applyStatus(await apiGet('/api/status'));
      // Reachable; the stream is still down or about to come back.
      if (st.hub === 'unreachable' || st.hub === 'unauthorised') setHub('connecting');
      return true;
    } catch (err) {
      setHub(err instanceof HttpError && (err.status === 401 || err.status === 403) ? 'unauthorised' : 'unreachable');
      return false;
    }
  }
  function startPolling() { if (!pollTimer) pollTimer = setInterval(pollStatus, POLL_MS); }
  function stopPolling() { clearInterval(pollTimer); pollTimer = 0; }

  function tick() {
    const now = performance.now();
    if (st.hub === 'ok' && now - st.lastSse > SILENT_HUB_S * 1000) setHub('stale');
    refreshHeader();
    for (const entry of events.values()) if (!entry.ev.end) entry.li.querySelector('.ev-dur').textContent = eventDuration(entry.ev);
  }

  window.addEventListener('resize', () => { buildFreqAxis(); st.dirtyCompass = true; });

  async function start() {
    requestAnimationFrame(frame);
    setInterval(tick, 500);
    // Show the current state before the stream delivers anything, then follow the stream.
    const [statusOk] = await Promise.all([pollStatus(), loadEvents().catch(() => {})]);
    document.body.dataset.ready = statusOk ? 'true' : 'error';
    connectStream();
  }
  start();
})();
