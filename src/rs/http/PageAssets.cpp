#include "rs/http/PageAssets.h"

namespace rs::http {

const std::string_view kPageHtml = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>rs - deployment status</title>
<link rel="stylesheet" href="page.css">
<script src="page.js" defer></script>
</head>
<body>
<header>
  <h1>Repository service</h1>
  <span id="who"></span>
  <span id="updated" aria-live="polite"></span>
</header>
<section>
  <h2>Deployments</h2>
  <form id="filters">
    <label>Package <select id="filter-package"><option value="">all</option></select></label>
    <label>State <select id="filter-state"><option value="">all</option></select></label>
    <label>Resource group <input id="filter-group" type="text" placeholder="all hosts"></label>
  </form>
  <div id="legend"></div>
  <div id="grid"><p class="empty">Nothing deployed.</p></div>
</section>
<section>
  <h2>Packages</h2>
  <table id="packages"><thead><tr><th>Package</th><th>Type</th><th>Owner</th><th>File</th><th>Size</th><th>Added</th></tr></thead><tbody></tbody></table>
</section>
<section>
  <h2>Modules</h2>
  <div id="consumers"><p class="empty">No module you may read.</p></div>
</section>
</body>
</html>
)HTML";

const std::string_view kPageCss = R"CSS(body { font-family: sans-serif; margin: 1em 2em; color: #222; }
header { display: flex; gap: 2em; align-items: baseline; }
h1 { font-size: 1.4em; } h2 { font-size: 1.15em; margin-top: 1.5em; }
#who, #updated { color: #666; font-size: 0.9em; }
form label { margin-right: 1.5em; }
.package { margin: 0.8em 0; }
.package h3 { font-size: 1em; margin: 0 0 0.3em 0; }
.hosts { display: flex; flex-wrap: wrap; gap: 4px; }
.host { padding: 4px 8px; border-radius: 3px; font-size: 0.85em; color: #fff; background: #888; cursor: default; }
#legend .host { display: inline-block; margin: 0 4px 4px 0; }
.state-NOT-STARTED { background: #9e9e9e; }
.state-ALLOCATING { background: #8d6e63; }
.state-ALLOCATED { background: #6d4c41; }
.state-WAITING { background: #f9a825; color: #222; }
.state-DOWNLOADING { background: #1e88e5; }
.state-RUNNING { background: #3949ab; }
.state-INSTALLED { background: #2e7d32; }
.state-UNINSTALLED { background: #607d8b; }
.state-ERROR { background: #c62828; }
.state-CANCELLED { background: #424242; }
table { border-collapse: collapse; margin-bottom: 1em; }
th, td { border: 1px solid #ddd; padding: 3px 8px; text-align: left; font-size: 0.9em; }
.empty { color: #888; }
.stale { color: #c62828; }
)CSS";

const std::string_view kPageJs = R"JS('use strict';
// Polls /api/status once a second and redraws; every text goes in as text.
const STATES = ['NOT STARTED', 'ALLOCATING', 'ALLOCATED', 'WAITING', 'DOWNLOADING', 'RUNNING',
                'INSTALLED', 'UNINSTALLED', 'ERROR', 'CANCELLED'];
const $ = (id) => document.getElementById(id);

function element(tag, text, className) {
  const node = document.createElement(tag);
  if (text !== undefined) node.textContent = String(text);
  if (className) node.className = className;
  return node;
}

function stateClass(state) { return 'host state-' + state.replace(/ /g, '-'); }

function setOptions(select, values) {
  const chosen = select.value;
  const wanted = [''].concat(values);
  const have = Array.from(select.options).map((o) => o.value);
  if (have.join('\n') === wanted.join('\n')) return;
  select.replaceChildren(element('option', 'all'));
  select.firstChild.value = '';
  for (const value of values) {
    const option = element('option', value);
    option.value = value;
    select.appendChild(option);
  }
  select.value = wanted.includes(chosen) ? chosen : '';
}

function drawGrid(deployments) {
  const packageFilter = $('filter-package').value;
  const stateFilter = $('filter-state').value;
  setOptions($('filter-package'), deployments.map((d) => d.package));
  const grid = $('grid');
  grid.replaceChildren();
  for (const deployment of deployments) {
    if (packageFilter && deployment.package !== packageFilter) continue;
    const hosts = deployment.hosts.filter((h) => !stateFilter || h.state === stateFilter);
    const box = element('div', undefined, 'package');
    box.dataset.package = deployment.package;
    box.appendChild(element('h3', deployment.package));
    const row = element('div', undefined, 'hosts');
    for (const host of hosts) {
      const cell = element('span', host.host, stateClass(host.state));
      cell.dataset.package = deployment.package;
      cell.dataset.host = host.host;
      cell.dataset.state = host.state;
      cell.title = host.state + (host.error ? ': ' + host.error : '');
      row.appendChild(cell);
    }
    box.appendChild(row);
    grid.appendChild(box);
  }
  if (!grid.firstChild) grid.appendChild(element('p', 'Nothing deployed.', 'empty'));
}

function cells(values) {
  const row = element('tr');
  for (const value of values) row.appendChild(element('td', value));
  return row;
}

function time(seconds) { return seconds ? new Date(seconds * 1000).toLocaleString() : ''; }

function drawPackages(packages) {
  const body = $('packages').tBodies[0];
  body.replaceChildren(...packages.map((p) => cells([p.package, p.type, p.owner, p.file, p.size, time(p.added)])));
}

function drawConsumers(consumers) {
  const box = $('consumers');
  box.replaceChildren();
  for (const consumer of consumers) {
    const section = element('div', undefined, 'consumer');
    section.dataset.consumer = consumer.consumer;
    section.appendChild(element('h3', consumer.consumer));
    const table = element('table');
    const head = element('tr');
    for (const title of ['Module', 'Version', 'Owner', 'File', 'Size', 'Added']) head.appendChild(element('th', title));
    table.appendChild(head);
    for (const m of consumer.modules) table.appendChild(cells([m.module, m.version, m.owner, m.file, m.size, time(m.added)]));
    section.appendChild(table);
    box.appendChild(section);
  }
  if (!box.firstChild) box.appendChild(element('p', 'No module you may read.', 'empty'));
}

async function refresh() {
  try {
    const group = $('filter-group').value.trim();
    const answer = await fetch('api/status' + (group ? '?group=' + encodeURIComponent(group) : ''),
                               { cache: 'no-store', credentials: 'same-origin' });
    if (!answer.ok) throw new Error('HTTP ' + answer.status);
    const status = await answer.json();
    $('who').textContent = status.user === null ? 'local access' : 'logged on as ' + status.user;
    drawGrid(status.deployments);
    drawPackages(status.packages);
    drawConsumers(status.consumers);
    $('updated').textContent = 'updated ' + new Date().toLocaleTimeString();
    $('updated').className = '';
  } catch (error) {
    $('updated').textContent = 'not updated: ' + error.message;
    $('updated').className = 'stale';
  }
}

function start() {
  setOptions($('filter-state'), STATES);
  for (const state of STATES) $('legend').appendChild(element('span', state, stateClass(state)));
  for (const id of ['filter-package', 'filter-state']) $(id).addEventListener('change', refresh);
  $('filter-group').addEventListener('change', refresh);
  $('filters').addEventListener('submit', (event) => { event.preventDefault(); refresh(); });
  refresh();
  setInterval(refresh, 1000);
}

document.addEventListener('DOMContentLoaded', start);
)JS";

} // namespace rs::http
