// The line board: one tile per port, following the station's live events.
// Plain ES2017 without modules, so that any current Chromium-based browser (also the
// one on a Windows station) runs it as it is. Only talks to the station it came from.
//
// The read token comes from the page's fragment (#token=...): the fragment never
// reaches the server in a request line or a log. Events come from /api/v1/events over
// fetch() with a stream reader (EventSource cannot send the Authorization header);
// the first event of every connection is the whole state, so a reconnect starts over.
(function () {
  'use strict';

  var API = '/api/v1/';
  var MAX_FAILURES = 10;
  var STALL_MS = 40000;  // the station sends a keep-alive every 15 s
  var MAX_BUFFER = 1 << 20;  // one event is far smaller; anything bigger is not the station

  var WORDS = {
    idle: 'IDLE',
    waiting: 'WAITING FOR UNIT',
    running: 'RUNNING',
    passed: 'PASSED',
    failed: 'FAILED',
    unfinished: 'UNFINISHED'
  };
  // Each verdict has its own shape as well as its own colour.
  var ICONS = {
    idle: '<path d="M5 12h14" stroke-width="3"/>',
    waiting: '<path d="M6 3h12M6 21h12M7 3c0 6 10 6 10 9s-10 3-10 9M17 3c0 6-10 6-10 9s10 3 10 9" stroke-width="2"/>',
    running: '<path d="M7 4l13 8-13 8z" fill="currentColor" stroke-width="1"/>',
    passed: '<path d="M3 13l6 6L21 5" stroke-width="3.5"/>',
    failed: '<path d="M5 5l14 14M19 5L5 19" stroke-width="3.5"/>',
    unfinished: '<path d="M12 3v12" stroke-width="3.5"/><circle cx="12" cy="20" r="1.8" fill="currentColor"/>'
  };

  // A unit's verdict as its port shows it.
  var UNIT_VERDICTS = {passed: 'passed', failed: 'failed', stopped: 'unfinished', unfinished: 'unfinished'};

  // What the bar says when no download runs.
  var STAGES = {
    download: 'download', downloaded: 'downloaded', loopback: 'loopback test',
    tested: 'tested', mac: 'programming MAC', done: 'done'
  };

  var model = emptyModel();
  var lastSeq = -1;
  var tiles = [];        // index in model.ports -> tile element parts
  var tilesFor = -1;     // the port count the tiles were built for
  var renderPending = false;

  var conn = {
    connected: false,
    attempt: 0,
    controller: null,
    retryAt: 0,
    retryTimer: null,
    lastData: 0,
    problem: ''
  };

  function emptyModel() {
    return {
      station: '', running: false, busy: false, mode: '', macLine: '', scanLine: '',
      counters: {runPassed: 0, runFailed: 0, dayPassed: 0, dayFailed: 0},
      ports: [], failures: [], exception: ''
    };
  }

  function $(id) { return document.getElementById(id); }

  function num(v) { return typeof v === 'number' && isFinite(v) ? v : 0; }

  // A counter the station does not know (the day's, without records) stays null.
  function count(v) { return typeof v === 'number' && isFinite(v) ? v : null; }

  function countText(v) { return v === null ? '\u2013' : String(v); }

  function bump(c, key) { if (c[key] !== null) c[key]++; }

  function str(v) { return typeof v === 'string' ? v : ''; }

  function readToken() {
    var parts = location.hash.replace(/^#/, '').split('&');
    for (var i = 0; i < parts.length; i++) {
      if (parts[i].indexOf('token=') === 0) {
        try { return decodeURIComponent(parts[i].substring(6)); } catch (e) { return ''; }
      }
    }
    return '';
  }

  // ---- the state and the events applied to it ----

  function normPort(p, index) {
    p = p || {};
    var progress = p.progress && typeof p.progress === 'object' ? p.progress : null;
    return {
      port: typeof p.port === 'number' ? p.port : index,
      name: str(p.name) || 'PORT ' + (index + 1),
      stage: num(p.stage),
      stageName: str(p.stageName) || 'none',
      status: str(p.status),
      verdict: str(p.verdict) || 'idle',
      progress: progress ? {block: num(progress.block), blocks: num(progress.blocks)} : null,
      cycle: num(p.cycle),
      passed: num(p.passed),
      failed: num(p.failed),
      mac: str(p.mac)
    };
  }

  function applyState(s) {
    var m = emptyModel();
    m.station = str(s.station);
    m.running = !!s.running;
    m.busy = !!s.busy;
    m.mode = str(s.mode);
    m.macLine = str(s.macLine);
    m.scanLine = str(s.scanLine);
    var c = s.counters || {};
    m.counters = {
      runPassed: count(c.runPassed), runFailed: count(c.runFailed),
      dayPassed: count(c.dayPassed), dayFailed: count(c.dayFailed)
    };
    var ports = Array.isArray(s.ports) ? s.ports : [];
    for (var i = 0; i < ports.length; i++) m.ports.push(normPort(ports[i], i));
    m.failures = Array.isArray(s.failures) ? s.failures.slice(0, MAX_FAILURES) : [];
    m.exception = model.exception;
    model = m;
    lastSeq = num(s.seq);
  }

  function findPort(ev) {
    for (var i = 0; i < model.ports.length; i++) {
      if (model.ports[i].port === ev.port) return model.ports[i];
    }
    if (typeof ev.port !== 'number' || ev.port < 0 || ev.port > 63) return null;
    // A port the state did not list yet (the bench changed): it gets a tile too.
    var p = normPort({port: ev.port, name: ev.name}, ev.port);
    model.ports.push(p);
    model.ports.sort(function (a, b) { return a.port - b.port; });
    return p;
  }

  function applyEvent(type, ev) {
    var p;
    switch (type) {
      case 'status':
        p = findPort(ev);
        if (!p) return;
        if (ev.name) p.name = ev.name;
        // A board call gives its text; the run's end repeats every port with its status.
        if (typeof ev.text === 'string') p.status = ev.text;
        else if (typeof ev.status === 'string') p.status = ev.status;
        if (typeof ev.stage === 'number') p.stage = ev.stage;
        if (ev.stageName) p.stageName = ev.stageName;
        if (ev.verdict) p.verdict = ev.verdict;
        if (typeof ev.cycle === 'number') p.cycle = ev.cycle;
        if (typeof ev.mac === 'string') p.mac = ev.mac;
        if (typeof ev.passed === 'number') p.passed = ev.passed;
        if (typeof ev.failed === 'number') p.failed = ev.failed;
        // A download's block text comes with its progress; any other text ends it.
        if (p.status.indexOf('Download') < 0) p.progress = null;
        break;
      case 'progress':
        p = findPort(ev);
        if (!p) return;
        p.progress = {block: num(ev.block), blocks: num(ev.blocks)};
        break;
      case 'mac':
        if (ev.column === 0 && ev.row === 0) model.macLine = str(ev.text);
        if (ev.column === 0 && ev.row === 1) model.scanLine = str(ev.text);
        break;
      case 'clear':
        if (ev.what === 'status') {
          for (var i = 0; i < model.ports.length; i++) {
            model.ports[i].status = '';
            model.ports[i].progress = null;
          }
        }
        break;
      case 'exception':
        model.exception = str(ev.text);
        break;
      case 'run':
        if (ev.running && !model.running) {
          // A new run: its counters start from nothing (the day's go on).
          model.counters.runPassed = 0;
          model.counters.runFailed = 0;
          for (var j = 0; j < model.ports.length; j++) {
            model.ports[j].passed = 0;
            model.ports[j].failed = 0;
          }
          model.exception = '';
          model.busy = true;
        }
        model.running = !!ev.running;
        break;
      case 'end':
        model.running = false;
        model.busy = false;
        break;
      case 'unit':
        p = findPort(ev);
        if (p && typeof ev.cycle === 'number') p.cycle = ev.cycle;
        // The unit's verdict is the port's until its next text: a failure found by the
        // last step comes after that step's last text.
        if (p && UNIT_VERDICTS[ev.verdict]) {
          p.verdict = UNIT_VERDICTS[ev.verdict];
          p.progress = null;
        }
        if (ev.verdict === 'passed') {
          if (p) p.passed++;
          bump(model.counters, 'runPassed');
          bump(model.counters, 'dayPassed');
        } else if (ev.verdict === 'failed') {
          if (p) p.failed++;
          bump(model.counters, 'runFailed');
          bump(model.counters, 'dayFailed');
          model.failures.unshift(ev);
          if (model.failures.length > MAX_FAILURES) model.failures.length = MAX_FAILURES;
        }
        break;
      default:
        break;  // message and anything newer: not on the board
    }
  }

  // ---- the page ----

  function layout(n, w, h) {
    // The grid whose tiles are the largest boxes of about 8:5 that fit.
    var best = {cols: 1, rows: 1, score: -1};
    for (var cols = 1; cols <= Math.max(1, n); cols++) {
      var rows = Math.ceil(Math.max(1, n) / cols);
      var score = Math.min(w / cols / 1.6, h / rows);
      if (score > best.score + 0.5) best = {cols: cols, rows: rows, score: score};
    }
    return best;
  }

  function el(tag, cls, parent) {
    var e = document.createElement(tag);
    if (cls) e.className = cls;
    if (parent) parent.appendChild(e);
    return e;
  }

  function icon(verdict) {
    return '<svg viewBox="0 0 24 24" aria-hidden="true" fill="none" stroke="currentColor" ' +
           'stroke-linecap="round" stroke-linejoin="round">' + (ICONS[verdict] || ICONS.idle) + '</svg>';
  }

  function buildTiles() {
    var box = $('tiles');
    while (box.firstChild) box.removeChild(box.firstChild);
    tiles = [];
    for (var i = 0; i < model.ports.length; i++) {
      var t = {};
      t.root = el('div', 'tile', box);
      var head = el('div', 'thead', t.root);
      t.name = el('span', 'tname', head);
      t.icon = el('span', 'ticon', head);
      t.verdict = el('div', 'tverdict', t.root);
      t.words = el('span', '', t.verdict);
      var bar = el('div', 'tbar', t.root);
      t.fill = el('div', 'tfill', bar);
      t.barText = el('span', 'tbartext', bar);
      t.status = el('div', 'tstatus', t.root);
      var counts = el('div', 'tcounts', t.root);
      t.passed = el('span', 'tpassed', counts);
      t.failed = el('span', 'tfailed', counts);
      t.cycle = el('span', 'tcycle', counts);
      t.shown = {};
      tiles.push(t);
    }
    if (!model.ports.length) {
      var none = el('div', 'noports', box);
      none.textContent = conn.connected ? 'No ports found on this station yet' : 'Waiting for the station';
    }
    tilesFor = model.ports.length;
    sizeTiles();
  }

  function sizeTiles() {
    var box = $('tiles');
    var n = model.ports.length;
    var w = box.clientWidth || window.innerWidth;
    var h = box.clientHeight || window.innerHeight;
    var g = layout(n, w, h);
    box.style.gridTemplateColumns = 'repeat(' + g.cols + ', 1fr)';
    box.style.gridTemplateRows = 'repeat(' + g.rows + ', 1fr)';
    // Every size in a tile is a multiple of --u, so the text grows with the tile.
    var unit = Math.max(6, Math.min(w / g.cols / 16, h / g.rows / 11.2));
    box.style.setProperty('--u', unit.toFixed(1) + 'px');
    for (var i = 0; i < tiles.length; i++) fitVerdict(tiles[i]);
  }

  // The verdict in one line: a long one ("WAITING FOR UNIT") in smaller letters.
  function fitVerdict(t) {
    var e = t.verdict;
    var scale = 2.1;
    e.style.fontSize = '';
    while (scale > 1 && t.words.offsetWidth > e.clientWidth) {
      scale -= 0.15;
      e.style.fontSize = 'calc(var(--u) * ' + scale.toFixed(2) + ')';
    }
  }

  function set(t, key, value, apply) {
    if (t.shown[key] === value) return;
    t.shown[key] = value;
    apply(value);
  }

  function shortStatus(p) {
    // The status cell starts with the port's name, which the tile shows already.
    var prefix = p.name + ': ';
    return p.status.indexOf(prefix) === 0 ? p.status.substring(prefix.length) : p.status;
  }

  function renderTile(t, p) {
    var r = t.root;
    var verdict = WORDS[p.verdict] ? p.verdict : 'idle';
    set(t, 'port', String(p.port), function (v) { r.setAttribute('data-port', v); });
    set(t, 'name', p.name, function (v) { r.setAttribute('data-name', v); t.name.textContent = v; });
    set(t, 'verdict', p.verdict, function (v) {
      r.setAttribute('data-verdict', v);
      r.className = 'tile v-' + verdict;
      t.words.textContent = WORDS[v] || v.toUpperCase();
      t.icon.innerHTML = icon(verdict);
      fitVerdict(t);
    });
    set(t, 'stage', p.stageName, function (v) { r.setAttribute('data-stage', v); });
    set(t, 'status', p.status, function (v) {
      r.setAttribute('data-status', v);
      t.status.textContent = shortStatus(p);
      t.status.title = v;
    });
    var pr = p.progress;
    var block = pr ? pr.block : 0;
    var blocks = pr ? pr.blocks : 0;
    var frac = blocks > 0 ? Math.min(1, Math.max(0, block / blocks)) : 0;
    if (p.verdict === 'passed') frac = 1;
    var barText = blocks > 0 ? 'block ' + block + ' of ' + blocks
                : p.verdict === 'running' ? STAGES[p.stageName] || '' : '';
    set(t, 'block', block + '/' + blocks + ' ' + barText, function () {
      r.setAttribute('data-block', String(block));
      r.setAttribute('data-blocks', String(blocks));
      t.barText.textContent = barText;
    });
    set(t, 'frac', frac, function (v) { t.fill.style.width = (v * 100).toFixed(1) + '%'; });
    set(t, 'passed', p.passed, function (v) {
      r.setAttribute('data-passed', String(v));
      t.passed.textContent = v + ' passed';
    });
    set(t, 'failed', p.failed, function (v) {
      r.setAttribute('data-failed', String(v));
      t.failed.textContent = v + ' failed';
    });
    set(t, 'cycle', p.cycle, function (v) {
      r.setAttribute('data-cycle', String(v));
      t.cycle.textContent = v > 0 ? 'unit ' + v : '';
    });
  }

  function two(n) { return (n < 10 ? '0' : '') + n; }

  function clock(ms) {
    var d = new Date(ms);
    return two(d.getHours()) + ':' + two(d.getMinutes()) + ':' + two(d.getSeconds());
  }

  function renderFailures() {
    var list = $('failures');
    while (list.firstChild) list.removeChild(list.firstChild);
    if (!model.failures.length) {
      el('li', 'fnone', list).textContent = 'none';
      return;
    }
    for (var i = 0; i < model.failures.length; i++) {
      var f = model.failures[i] || {};
      var li = el('li', 'fitem', list);
      li.setAttribute('data-port', String(num(f.port)));
      li.setAttribute('data-name', str(f.name));
      li.setAttribute('data-cycle', String(num(f.cycle)));
      var top = el('div', 'ftop', li);
      el('span', 'fname', top).textContent = str(f.name) || 'port ' + num(f.port);
      if (num(f.cycle) > 0) el('span', 'fcycle', top).textContent = 'unit ' + num(f.cycle);
      var when = typeof f.endedMs === 'number' ? f.endedMs : f.startedMs;
      if (typeof when === 'number') el('span', 'ftime', top).textContent = clock(when);
      var failure = f.failure || {};
      var text = str(failure.text);
      var prefix = str(f.name) + ': ';
      if (text.indexOf(prefix) === 0) text = text.substring(prefix.length);
      el('div', 'ftext', li).textContent = text || (failure.step ? failure.step + ' failed' : 'failed');
    }
  }

  function runText() {
    if (model.running) return 'RUN IN PROGRESS';
    if (model.busy) return 'ENDING RUN';
    return 'NO RUN';
  }

  function render() {
    renderPending = false;
    var body = document.body;
    body.setAttribute('data-connected', conn.connected ? 'true' : 'false');
    body.setAttribute('data-running', model.running ? 'true' : 'false');
    body.setAttribute('data-busy', model.busy ? 'true' : 'false');
    var keys = ['runPassed', 'runFailed', 'dayPassed', 'dayFailed'];
    for (var k = 0; k < keys.length; k++) {
      var v = model.counters[keys[k]];
      body.setAttribute('data-' + keys[k].replace(/[A-Z]/, function (x) { return '-' + x.toLowerCase(); }),
                        v === null ? '' : String(v));
      $(keys[k]).textContent = countText(v);
    }
    body.setAttribute('data-seq', String(lastSeq));
    body.className = conn.connected ? '' : 'offline';

    $('station').textContent = model.station || 'Line board';
    var run = $('run');
    run.textContent = runText() + (model.mode ? ' \u00b7 ' + model.mode.toUpperCase() : '');
    run.setAttribute('data-state', model.running ? 'running' : model.busy ? 'ending' : 'none');
    $('macline').textContent = [model.macLine, model.scanLine].filter(Boolean).join('   \u00b7   ');
    document.title = (model.station ? model.station + ' \u2013 ' : '') + 'Line board';

    if (tilesFor !== model.ports.length) buildTiles();
    for (var i = 0; i < model.ports.length; i++) renderTile(tiles[i], model.ports[i]);

    renderFailures();
    renderLink();
  }

  function renderLink() {
    var link = $('link');
    var banner = $('banner');
    var exception = $('exception');
    exception.hidden = !model.exception;
    exception.textContent = model.exception;
    if (conn.connected) {
      link.textContent = 'LIVE ' + clock(Date.now());
      link.className = 'link up';
      banner.hidden = true;
      return;
    }
    link.textContent = 'DISCONNECTED';
    link.className = 'link down';
    var wait = Math.max(0, Math.ceil((conn.retryAt - Date.now()) / 1000));
    banner.hidden = false;
    // The tiles stay, greyed: the last facts known.
    banner.textContent = 'NOT CONNECTED TO THE STATION' + (conn.problem ? ': ' + conn.problem : '') +
        (conn.retryTimer ? ' \u2013 trying again in ' + wait + ' s' : ' \u2013 connecting');
  }

  function scheduleRender() {
    if (renderPending) return;
    renderPending = true;
    setTimeout(render, 30);
  }

  // ---- the connection ----

  function SseParser(onEvent) {
    var buf = '';
    var type = '';
    var data = [];
    function line(l) {
      if (l === '') {
        if (data.length) onEvent(type || 'message', data.join('\n'));
        type = '';
        data = [];
        return;
      }
      if (l.charAt(0) === ':') return;  // a comment: the keep-alive
      var colon = l.indexOf(':');
      var field = colon < 0 ? l : l.substring(0, colon);
      var value = colon < 0 ? '' : l.substring(colon + 1);
      if (value.charAt(0) === ' ') value = value.substring(1);
      if (field === 'event') type = value;
      else if (field === 'data') data.push(value);
    }
    this.feed = function (text) {
      buf += text;
      var start = 0;
      var re = /\r\n|\r|\n/g;
      var m;
      while ((m = re.exec(buf)) !== null) {
        // A lone CR at the end may be the first half of CR LF.
        if (m[0] === '\r' && m.index === buf.length - 1) break;
        line(buf.substring(start, m.index));
        start = m.index + m[0].length;
      }
      buf = buf.substring(start);
      if (buf.length > MAX_BUFFER) throw new Error('event too large');
    };
  }

  function Gap() { this.message = 'events missed'; }

  function onEvent(type, text) {
    var ev;
    try { ev = JSON.parse(text); } catch (e) { return; }
    if (!ev || typeof ev !== 'object') return;
    if (type === 'state') {
      applyState(ev);
      conn.connected = true;
      conn.attempt = 0;
      conn.problem = '';
      scheduleRender();
      return;
    }
    if (!conn.connected) return;  // nothing counts before the state it follows
    // The station dropped this page (it fell behind): start over from a fresh state.
    if (type === 'dropped') throw new Gap();
    if (typeof ev.seq === 'number') {
      if (ev.seq <= lastSeq) return;
      if (ev.seq !== lastSeq + 1) throw new Gap();  // start over from a fresh state
      lastSeq = ev.seq;
    }
    applyEvent(type, ev);
    scheduleRender();
  }

  async function follow() {
    var controller = new AbortController();
    conn.controller = controller;
    conn.lastData = Date.now();
    var headers = {Accept: 'text/event-stream'};
    var token = readToken();
    if (token) headers.Authorization = 'Bearer ' + token;
    var res = await fetch(API + 'events', {
      headers: headers, cache: 'no-store', credentials: 'omit', signal: controller.signal
    });
    if (res.status === 401 || res.status === 403) {
      throw new Error(token ? 'the read token was refused' : 'this station needs #token=... in the address');
    }
    if (res.status === 503) throw new Error('the station has too many viewers');
    if (!res.ok || !res.body) throw new Error('HTTP ' + res.status);
    var reader = res.body.getReader();
    var decoder = new TextDecoder('utf-8');
    var parser = new SseParser(onEvent);
    conn.lastData = Date.now();
    for (;;) {
      var chunk = await reader.read();
      if (chunk.done) break;
      conn.lastData = Date.now();
      parser.feed(decoder.decode(chunk.value, {stream: true}));
    }
    throw new Error('the station ended the stream');
  }

  function connect() {
    conn.retryTimer = null;
    follow().catch(function (err) {
      var gap = err instanceof Gap;
      conn.connected = false;
      if (conn.controller) conn.controller.abort();
      conn.controller = null;
      conn.problem = gap ? ''
                   : err instanceof TypeError ? 'the station does not answer'
                   : err && err.name === 'AbortError' ? 'no data from the station'
                   : err && err.message ? err.message : '';
      // Back off: 1, 2, 4, 8 s, then every 10 s; a missed event is fetched again at once.
      var delay = gap ? 0 : Math.min(10000, 1000 * Math.pow(2, conn.attempt));
      conn.attempt++;
      conn.retryAt = Date.now() + delay;
      conn.retryTimer = setTimeout(connect, delay);
      scheduleRender();
    });
  }

  // A stream that went quiet (a station that vanished without closing) is given up.
  setInterval(function () {
    if (conn.controller && Date.now() - conn.lastData > STALL_MS) conn.controller.abort();
    renderLink();
  }, 1000);

  window.addEventListener('resize', function () { sizeTiles(); });
  window.addEventListener('hashchange', function () {
    // A new token: connect with it now.
    conn.attempt = 0;
    if (conn.controller) conn.controller.abort();
    else if (conn.retryTimer) { clearTimeout(conn.retryTimer); connect(); }
  });

  render();
  connect();
})();
