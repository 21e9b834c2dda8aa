// The status page: reads the miner's own API every few seconds and shows it. Numbers that are
// not current are never shown as if they were: a miner answering 503 is "stalled", one that does
// not answer is "unreachable", and both say when the last good numbers were taken.
'use strict';
(() => {
  const REFRESH_MS = 2000;
  const TIMEOUT_MS = 4000;
  const TOKEN_KEY = 'mintrakel-token';
  const $ = (id) => document.getElementById(id);
  let token = sessionStorage.getItem(TOKEN_KEY) || '';
  let lastGoodMs = 0; // the miner's clock when it took the last numbers shown

  const rate = (hs) => hs.toFixed(2) + ' H/s';
  const clock = (ms) => new Date(ms).toLocaleTimeString();
  const text = (id, value) => { $(id).textContent = value; };

  function duration(s) {
    const h = Math.floor(s / 3600), m = Math.floor((s % 3600) / 60), sec = s % 60;
    return (h ? h + ' h ' : '') + (h || m ? m + ' min ' : '') + sec + ' s';
  }

  // A miner whose process is stopped still has its socket accepting: a request it never
  // answers counts as no answer once the timeout passes.
  function request(path, method) {
    const headers = token ? { Authorization: 'Bearer ' + token } : {};
    return fetch(path, {
      method: method || 'GET', headers, cache: 'no-store', signal: AbortSignal.timeout(TIMEOUT_MS),
    });
  }

  function showState(state, detail) {
    const el = $('state');
    el.dataset.state = state;
    el.textContent = detail;
    $('numbers').classList.toggle('old', state !== 'live');
  }

  function sinceLastGood() {
    if (!lastGoodMs) return 'no numbers received yet';
    return 'last good numbers at ' + clock(lastGoodMs) + ' (' +
      Math.round((Date.now() - lastGoodMs) / 1000) + ' s ago)';
  }

  function askToken(note) {
    $('token-form').hidden = false;
    text('token-note', note);
    showState('token', 'token needed');
  }

  function renderSummary(s) {
    text('version', 'v' + s.version);
    text('rate-10s', rate(s.hashrate_hs['10s']));
    text('rate-60s', rate(s.hashrate_hs['60s']));
    text('rate-15m', rate(s.hashrate_hs['15m']));
    const sh = s.shares;
    text('accepted', sh.accepted);
    text('rejected', sh.rejected);
    text('stale', sh.stale ?? '—');
    text('last-rejection', sh.last_rejection ?? 'none');
    text('blocks', s.blocks_found);
    const p = s.pool;
    if (p) {
      text('pool', p.host + ':' + p.port + (p.backup ? ' (backup)' : ''));
      text('pool-connected', p.connected ? 'connected for ' + duration(p.connected_s) : 'not connected');
      $('pool-connected').classList.toggle('bad', !p.connected);
      text('pool-tls', !p.tls ? 'off' : (p.tls_pinned ? 'on, pinned certificate' : 'on, CA-verified') +
        (p.tls_fingerprint ? ' · ' + p.tls_fingerprint.slice(0, 16) + '…' : ''));
      text('pool-changes', p.reconnects + ' · ' + (p.failovers ?? 0));
      text('pool-job', p.job_height === null ? 'none yet'
        : 'height ' + p.job_height + ' · difficulty ' + p.job_difficulty);
    } else {
      for (const id of ['pool', 'pool-connected', 'pool-tls', 'pool-changes', 'pool-job']) text(id, '—');
    }
    const reasons = s.pause_reasons || [];
    text('paused', s.paused ? 'paused (' + reasons.join(', ') + ')' : 'mining');
    $('paused').classList.toggle('bad', !!s.paused);
    text('uptime', duration(s.uptime_s));
    text('engine', s.engine + ' · ' + (s.intensity ?? '—'));
    const t = s.cpu_temperature_c;
    text('temperature', t === undefined || t === null ? 'no sensor' : t.toFixed(1) + ' °C');
    text('dev-fee', s.dev_fee_active ? 'active' : 'off');
    const rows = s.threads.map((th) => {
      const tr = document.createElement('tr');
      for (const v of [th.index, th.cpu ?? 'unpinned', rate(th.hashrate_10s_hs), th.hashes,
        th.huge_pages ? 'yes' : 'no']) {
        const td = document.createElement('td');
        td.textContent = v;
        tr.appendChild(td);
      }
      return tr;
    });
    $('threads').replaceChildren(...rows);
    $('controls').hidden = !token;
  }

  // One line per series, the newest sample at the right edge. The chart spans the history
  // there is, at least a minute and at most the 15 minutes the miner keeps.
  function points(samples, top, span) {
    const n = samples.length;
    return samples.map((v, i) =>
      (900 - ((n - 1 - i) * 900) / span).toFixed(1) + ',' + (195 - (v / top) * 185).toFixed(1))
      .join(' ');
  }

  function renderHistory(h) {
    const top = Math.max(1, ...h.total_hs);
    const span = Math.min(899, Math.max(60, h.total_hs.length - 1));
    $('chart-total').setAttribute('points', points(h.total_hs, top, span));
    const ns = 'http://www.w3.org/2000/svg';
    const lines = h.threads.map((th) => {
      const line = document.createElementNS(ns, 'polyline');
      line.setAttribute('points', points(th.hs, top, span));
      return line;
    });
    $('chart-threads').replaceChildren(...lines);
    text('chart-max', 'top ' + rate(top));
    text('chart-span', duration(span + 1) + ' ago');
  }

  let refreshing = false;
  async function refresh() {
    if (refreshing) return;
    refreshing = true;
    try {
      await load();
    } finally {
      refreshing = false;
    }
  }

  async function load() {
    let res;
    try {
      res = await request('/api/v1/summary');
    } catch (e) {
      showState('unreachable', 'unreachable · ' + sinceLastGood());
      return;
    }
    if (res.status === 401) {
      askToken(token ? 'the token was refused' : '');
      token = '';
      sessionStorage.removeItem(TOKEN_KEY);
      return;
    }
    if (res.status === 503) {
      showState('stalled', 'stalled · ' + sinceLastGood());
      return;
    }
    if (!res.ok) {
      showState('unreachable', 'answered ' + res.status + ' · ' + sinceLastGood());
      return;
    }
    const summary = await res.json();
    lastGoodMs = summary.taken_unix_ms;
    renderSummary(summary);
    $('numbers').dataset.taken = summary.taken_unix_ms;
    showState('live', 'live · numbers of ' + clock(lastGoodMs));
    try {
      const h = await request('/api/v1/history');
      if (h.ok) renderHistory(await h.json());
    } catch (e) {
      // The next refresh says whether the miner is gone.
    }
  }

  async function control(action) {
    let reply;
    try {
      const res = await request('/api/v1/' + action, 'POST');
      if (res.ok) {
        const r = await res.json();
        reply = r.paused ? 'paused (' + r.reasons.join(', ') + ')' : 'mining';
      } else {
        reply = action + ' answered ' + res.status + ': ' + (await res.text()).trim();
      }
    } catch (e) {
      reply = action + ' failed: the miner did not answer';
    }
    text('control-result', reply);
    refresh();
  }

  $('token-form').addEventListener('submit', (event) => {
    event.preventDefault();
    token = $('token').value;
    sessionStorage.setItem(TOKEN_KEY, token);
    $('token-form').hidden = true;
    refresh();
  });
  $('pause').addEventListener('click', () => control('pause'));
  $('resume').addEventListener('click', () => control('resume'));
  refresh();
  setInterval(refresh, REFRESH_MS);
})();
