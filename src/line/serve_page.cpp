// batch serve's page, for a wall screen across a room: large type, high
// contrast, nothing loaded from anywhere but the server itself. The script
// asks for the figures every 1.5 s and puts them on the page only when what
// it shows changed; it builds the page from text nodes, never from markup, so that
// a station's or a batch's name is shown, never run.
#include "line/serve_page.h"

const char* const kServePageHtml = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="referrer" content="no-referrer">
<title>Production line</title>
<style>STYLE</style>
</head>
<body>
<header id="status" class="status"><span id="state">Connecting...</span> <span id="when"></span></header>
<main id="batches"></main>
<script>SCRIPT</script>
</body>
</html>
)";

const char* const kServePageStyle = R"(
:root { color-scheme: dark; }
* { box-sizing: border-box; }
body { margin: 0; padding: 1.5vw 2vw; background: #000; color: #fff;
  font: 600 clamp(18px, 2.1vw, 48px)/1.25 "DejaVu Sans", "Segoe UI", Arial, sans-serif; }
.status { font-size: 1em; padding: .3em .6em; margin-bottom: .6em; background: #113311;
  border: 3px solid #3c3; }
.status.waiting { background: #552200; border-color: #ffb000; color: #fff; font-size: 1.4em; }
.status.lost { background: #550000; border-color: #ff4040; }
section.batch { margin-bottom: 1.4em; }
h1 { font-size: 1.6em; margin: 0 0 .2em; }
.figures { display: flex; flex-wrap: wrap; gap: .3em 2em; font-size: 1.3em; margin: .2em 0; }
.big { font-size: 1.9em; font-weight: 800; }
.bar { height: 1.1em; background: #333; border: 3px solid #fff; margin: .2em 0 .5em; }
.bar > div { height: 100%; background: #3c3; width: 0; }
table { border-collapse: collapse; width: 100%; margin: .2em 0 .6em; }
th, td { text-align: left; padding: .12em .5em; border-bottom: 2px solid #444; }
th { color: #ccc; font-weight: 600; }
td.n, th.n { text-align: right; font-variant-numeric: tabular-nums; }
.bad { color: #ff6060; }
.mark { color: #000; background: #ffb000; padding: 0 .3em; font-weight: 800; }
h2 { font-size: 1.1em; margin: .5em 0 .1em; color: #ccc; }
.none { color: #aaa; }
)";

const char* const kServePageScript = R"(
'use strict';
(function () {
  var token = new URLSearchParams(location.search).get('token');
  var url = 'data.json' + (token ? '?token=' + encodeURIComponent(token) : '');
  var SILENT = 30;

  function el(tag, attrs, text) {
    var node = document.createElement(tag);
    for (var name in attrs || {}) { node.setAttribute(name, attrs[name]); }
    if (text !== undefined && text !== null) { node.textContent = String(text); }
    return node;
  }
  function clock(iso) { return iso ? String(iso).slice(11, 19) : ''; }
  function span(seconds) {
    if (seconds === null || seconds === undefined) { return 'unknown'; }
    seconds = Math.max(0, Math.round(seconds));
    if (seconds < 60) { return seconds + ' s'; }
    var minutes = Math.round(seconds / 60);
    if (minutes < 60) { return minutes + ' min'; }
    return Math.floor(minutes / 60) + ' h ' + String(minutes % 60).padStart(2, '0') + ' min';
  }
  function table(heads, rows) {
    var t = el('table');
    var tr = el('tr');
    heads.forEach(function (h) { tr.appendChild(el('th', h[1] ? { 'class': 'n' } : {}, h[0])); });
    t.appendChild(tr);
    rows.forEach(function (r) { t.appendChild(r); });
    return t;
  }
  function cell(key, text, numeric, cls) {
    var attrs = { 'data-k': key };
    if (numeric || cls) { attrs['class'] = (numeric ? 'n ' : '') + (cls || ''); }
    return el('td', attrs, text);
  }
  function openRows(title, key, rows, held) {
    var box = el('div', { 'data-k': key });
    box.appendChild(el('h2', {}, title + ': ' + rows.length));
    if (!rows.length) { return box; }
    box.appendChild(table(
      [['Row', 1], ['Station'], ['Port'], ['For', 1]].concat(held ? [['Why']] : []),
      rows.map(function (r) {
        var tr = el('tr', { 'data-row': r.row });
        tr.appendChild(cell('row', r.row, true));
        tr.appendChild(cell('station', r.station));
        tr.appendChild(cell('port', r.port));
        tr.appendChild(cell('age', span(r.age_seconds), true));
        if (held) { tr.appendChild(cell('why', r.why)); }
        return tr;
      })));
    return box;
  }
  function batch(b) {
    var s = el('section', { 'class': 'batch', 'data-batch': b.batch });
    s.appendChild(el('h1', {}, 'Batch ' + b.batch));
    var figures = el('div', { 'class': 'figures' });
    var done = el('span', { 'class': 'big' });
    done.appendChild(el('span', { 'data-k': 'done' }, b.done));
    done.appendChild(document.createTextNode(' of '));
    done.appendChild(el('span', { 'data-k': 'rows' }, b.rows));
    done.appendChild(document.createTextNode(' done'));
    figures.appendChild(done);
        var rate = el('span', {}, 'Rate (last 10 min): ');
    rate.appendChild(el('span', { 'data-k': 'per_hour' }, Math.round(b.units_per_hour)));
    rate.appendChild(document.createTextNode(' units/h'));
    figures.appendChild(rate);
    var left = el('span', {}, 'Time left: ');
    left.appendChild(el('span', { 'data-k': 'left' },
      b.seconds_left === null || b.seconds_left === undefined ? 'no rate yet' : span(b.seconds_left)));
    figures.appendChild(left);
    s.appendChild(figures);
    var bar = el('div', { 'class': 'bar', role: 'progressbar', 'aria-valuemin': 0,
      'aria-valuemax': b.rows, 'aria-valuenow': b.done });
    var fill = el('div');
    fill.style.width = (b.rows ? 100 * b.done / b.rows : 0) + '%';
    bar.appendChild(fill);
    s.appendChild(bar);

    s.appendChild(table(
      [['Station'], ['Done', 1], ['Failed', 1], ['First pass', 1], ['Last unit'], ['At'], ['']],
      (b.stations || []).map(function (st) {
        var tr = el('tr', { 'data-station': st.station });
        tr.appendChild(cell('station', st.station));
        tr.appendChild(cell('done', st.done, true));
        tr.appendChild(cell('failed', st.failed, true, st.failed ? 'bad' : ''));
        var y = st.first_pass_yield;
        tr.appendChild(cell('yield', y === null || y === undefined ? '-' : (100 * y).toFixed(1) + ' %', true));
        tr.appendChild(cell('last_result', st.last_result || '-', false,
          st.last_result && st.last_result !== 'ok' ? 'bad' : ''));
        tr.appendChild(cell('last', clock(st.last)));
        var silent = st.silent_seconds !== null && st.silent_seconds !== undefined && st.silent_seconds > SILENT;
        var mark = el('td', { 'data-k': 'silent' });
        if (silent) { mark.appendChild(el('span', { 'class': 'mark' }, 'SILENT ' + span(st.silent_seconds))); }
        tr.appendChild(mark);
        return tr;
      })));

    var causes = b.failures || [];
    var fail = el('div', { 'data-k': 'failures' });
    fail.appendChild(el('h2', {}, 'Failures by cause'));
    if (!causes.length) { fail.appendChild(el('div', { 'class': 'none' }, 'none')); }
    causes.forEach(function (c) {
      var line = el('div', { 'data-cause': c.cause });
      line.appendChild(el('span', { 'data-k': 'units', 'class': 'bad' }, c.units));
      line.appendChild(document.createTextNode(' ' + c.cause));
      fail.appendChild(line);
    });
    s.appendChild(fail);
    s.appendChild(openRows('Rows in doubt', 'in_doubt_rows', b.in_doubt_rows || [], false));
    s.appendChild(openRows('Held rows', 'held_rows', b.held_rows || [], true));
    return s;
  }
  // Drawn aside, and put in place only when it differs from what is shown.
  function render(data) {
    var next = el('main');
    if (!data.batches.length) { next.appendChild(el('p', { 'class': 'none' }, 'No open batch.')); }
    data.batches.forEach(function (b) { next.appendChild(batch(b)); });
    var main = document.getElementById('batches');
    if (next.innerHTML !== main.innerHTML) { main.replaceChildren.apply(main, next.childNodes); }
  }
  function status(text, when, cls) {
    var bar = document.getElementById('status');
    bar.className = 'status ' + cls;
    document.getElementById('state').textContent = text;
    document.getElementById('when').textContent = when;
  }
  function tick() {
    fetch(url, { cache: 'no-store', credentials: 'omit', redirect: 'error' })
      .then(function (r) {
        if (!r.ok) { throw new Error('HTTP ' + r.status); }
        return r.json();
      })
      .then(function (data) {
        render(data);
        if (data.database === 'ok') {
          status('Live', 'figures of ' + clock(data.last_good), 'ok');
        } else {
          status('Waiting for the database', data.last_good ?
            'last good figures of ' + clock(data.last_good) : 'no figures yet', 'waiting');
        }
      })
      .catch(function () { status('The page\u2019s server does not answer', '', 'lost'); })
      .then(function () { setTimeout(tick, 1500); });
  }
  tick();
})();
)";
