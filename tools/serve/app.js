// zrreg serve's page: a tree of keys (lazy, paged, drawn only where it shows), the selected
// key's values, search, edits, import with a preview, export; kept current by the server's
// events. No framework and nothing loaded from elsewhere. This file holds the state, the
// server's calls, the value types, the tree and the values; edit.js, live.js and keys.js
// follow it in that order.
'use strict';

const ROW = 22;        // px per tree row
const PAGE = 500;      // subkeys per request
const TYPED_FOR = 1000; // ms a type-ahead prefix lives without a further letter
const SPLIT_MIN = 150;  // px the tree and the values keep at least
const $ = (id) => document.getElementById(id);

const state = {
  readOnly: false,
  root: null,
  rows: [],            // the visible rows: {node} or {parent, index} for a subkey not loaded yet
  selected: null,      // the selected key's node
  raw: [],             // its values as the server gave them
  values: [],          // as the table shows them: the default value (or null) first
  valueIndex: -1,      // the selected value, or -1
  generation: 0,       // bumped by every refresh: answers of older ones are dropped
  hits: [],            // the last search's keys, for F3
  hit: -1,             // the one gone to last
  hitsMore: false,     // more keys matched than the server listed
  busy: 0,             // requests in flight (the live stream aside): a test waits for none
};

// ---- the server ----

// The token of the printed address: kept in this tab's storage, which no other port's page
// can read (a cookie would go to every port of 127.0.0.1), sent only in the Authorization
// header, and taken out of the address bar and the history at once.
const token = (() => {
  const q = new URLSearchParams(location.search);
  const t = q.get('token');
  if (t === null) return sessionStorage.getItem('zrreg-token') || '';
  sessionStorage.setItem('zrreg-token', t);
  q.delete('token');
  const rest = q.toString();
  history.replaceState(null, '', location.pathname + (rest ? '?' + rest : '') + location.hash);
  return t;
})();

function authorize(options) {
  const o = Object.assign({ credentials: 'omit', cache: 'no-store' }, options || {});
  o.headers = Object.assign({ Authorization: 'Bearer ' + token }, o.headers || {});
  return o;
}

async function api(path, options) {
  state.busy++;
  let res, text;
  try {
    res = await fetch(path, authorize(options));
    text = await res.text();
  } finally {
    state.busy--;
  }
  if (res.status === 401) sessionStorage.removeItem('zrreg-token');
  let body = null;
  try { body = JSON.parse(text); } catch (e) { body = { text }; }
  if (!res.ok) throw new Error((body && body.error) || res.status + ' ' + res.statusText);
  return body;
}

function post(path, body) {
  return api(path, { method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body) });
}

function keyUrl(path, from, count, child) {
  let u = '/api/key?path=' + encodeURIComponent(path) + '&from=' + from + '&count=' + count;
  if (child !== undefined) u += '&child=' + encodeURIComponent(child);
  return u;
}

// ---- value types ----

// How each type the server knows is shown and edited ("text", "lines", "int32", "int64",
// "hex"), from /api/info; a type it does not name is bytes.
const FORMS = new Map();
function formOf(type) { return FORMS.get(type) || 'hex'; }

// An integer as the edit dialog's hint shows it while it is typed (a BigInt, or null); the
// server judges what is sent, as it judges which values the registry file can hold.
function parseInteger(text, bits) {
  const t = text.trim();
  if (!/^(0[xX][0-9a-fA-F]+|-?[0-9]+)$/.test(t)) return null;
  const n = BigInt(t);
  const max = (1n << BigInt(bits)) - 1n;
  if (n > max || n < -(max >> 1n) - 1n) return null;
  return n < 0n ? n + max + 1n : n;
}

// An integer as the table shows it: 0x0000007d (125); a 32-bit one signed, as zrreg does.
function shownInteger(n, bits) {
  const u = BigInt.asUintN(bits, BigInt(n));
  return '0x' + u.toString(16).padStart(bits / 4, '0') + ' (' + (bits === 32 ? BigInt.asIntN(32, u) : u) + ')';
}

// Hexadecimal digits as bytes with a blank between.
function spacedHex(h) { return (h.match(/../g) || []).join(' '); }

// A value's data as the table shows it, by its type's form; a REG_MULTI_SZ's strings with
// \0 between them, as zrreg query shows them.
function shownValue(v) {
  if (!v) return '';
  if (v.data === null) return spacedHex(v.bytes);
  switch (formOf(v.type)) {
    case 'lines': return v.data.join('\\0');
    case 'int32': return shownInteger(v.data, 32);
    case 'int64': return shownInteger(v.data, 64);
    case 'hex': return spacedHex(v.data);
    default: return v.data;
  }
}

// The data as the edit dialog takes it: text, one string a line, a number, or bytes.
function editText(v) {
  if (!v) return '';
  if (v.data === null) return spacedHex(v.bytes);
  const form = formOf(v.type);
  return form === 'lines' ? v.data.join('\n') : form === 'hex' ? spacedHex(v.data) : String(v.data);
}

// ---- the tree ----

function makeNode(parent, name, count) {
  const path = !parent ? '' : parent.path ? parent.path + '\\' + name : name;
  return { parent, name, path, depth: parent ? parent.depth + 1 : 0, count, children: null, pages: new Set(),
           expanded: false, byName: new Map() };
}

// The levels of a shown path: "\" separates them, except in a name in double quotes (a name
// that is empty or holds "\" or "/" is shown so).
function splitPath(path) {
  return path.match(/"[^"]*"|[^\\]+/g) || [];
}

function childName(parent, full) {
  return parent.path ? full.slice(parent.path.length + 1) : full;
}

// Puts a page of subkeys into the node; nodes already there (expanded ones) are kept.
function takePage(node, key) {
  const count = key.subkeyCount;
  if (!node.children || node.children.length !== count) {
    const old = node.children || [];
    node.children = new Array(count);
    for (const c of old) if (c) node.byName.set(c.name.toLowerCase(), c);
    node.pages.clear();
  }
  node.count = count;
  key.subkeys.forEach((full, i) => {
    const name = childName(node, full);
    let c = node.byName.get(name.toLowerCase());
    if (!c || c.name !== name) { c = makeNode(node, name, key.counts[i]); node.byName.set(name.toLowerCase(), c); }
    c.count = key.counts[i];
    node.children[key.from + i] = c;
  });
  node.pages.add(key.from);
}

// One request per page at a time; a second asker waits for the first one's answer.
const pending = new Map();
function loadPage(node, from) {
  const tag = node.path + '|' + from;
  if (pending.has(tag)) return pending.get(tag);
  const gen = state.generation;
  const p = (async () => {
    try {
      const r = await api(keyUrl(node.path, from, PAGE));
      if (gen === state.generation || !node.pages.has(from)) takePage(node, r.keys[0]);
    } catch (e) {
      status(e.message, true);
    } finally {
      pending.delete(tag);
    }
    layout();
  })();
  pending.set(tag, p);
  return p;
}

async function expand(node, on) {
  if (on === node.expanded || node.count === 0 && on) return;
  node.expanded = on;
  if (on && !node.children) await loadPage(node, 0);
  layout();
}

function flatten() {
  const rows = [];
  const walk = (node) => {
    rows.push({ node });
    if (!node.expanded || !node.children) return;
    const kids = node.children;
    for (let i = 0; i < kids.length; ++i) {
      if (kids[i]) walk(kids[i]);
      else rows.push({ parent: node, index: i });
    }
  };
  walk(state.root);
  return rows;
}

function layout() {
  state.rows = flatten();
  $('tree-space').style.height = state.rows.length * ROW + 'px';
  draw();
}

let drawQueued = false;
function draw() {
  if (drawQueued) return;
  drawQueued = true;
  requestAnimationFrame(() => { drawQueued = false; drawNow(); });
}

function drawNow() {
  const tree = $('tree'), space = $('tree-space');
  const first = Math.max(0, Math.floor(tree.scrollTop / ROW) - 5);
  const last = Math.min(state.rows.length, first + Math.ceil(tree.clientHeight / ROW) + 10);
  const frag = document.createDocumentFragment();
  for (let i = first; i < last; ++i) {
    const row = state.rows[i];
    const div = document.createElement('div');
    div.className = 'row';
    div.style.top = i * ROW + 'px';
    if (!row.node) {
      const from = row.index - row.index % PAGE;
      if (!row.parent.pages.has(from)) loadPage(row.parent, from);
      div.style.paddingLeft = (row.parent.depth + 1) * 16 + 4 + 'px';
      div.innerHTML = '<span class="twisty"></span><span class="loading">…</span>';
    } else {
      const n = row.node;
      div.dataset.row = i;
      div.setAttribute('role', 'treeitem');
      div.setAttribute('aria-level', n.depth + 1);
      div.setAttribute('aria-selected', n === state.selected);
      if (n.count > 0) div.setAttribute('aria-expanded', n.expanded);
      div.style.paddingLeft = n.depth * 16 + 4 + 'px';
      if (n === state.selected) { div.classList.add('selected'); div.id = 'tree-selected'; }
      const tw = document.createElement('span');
      tw.className = 'twisty' + (n.count > 0 ? (n.expanded ? ' open' : ' closed') : '');
      const icon = document.createElement('span');
      icon.className = n.depth === 0 ? 'icon computer' : 'icon folder' + (n.expanded ? ' open' : '');
      const label = document.createElement('span');
      label.className = 'label';
      label.textContent = labelOf(n);
      div.append(tw, icon, label);
    }
    frag.append(div);
  }
  space.replaceChildren(frag);
  if ($('tree-selected')) tree.setAttribute('aria-activedescendant', 'tree-selected');
  else tree.removeAttribute('aria-activedescendant');
}

function labelOf(node) { return node.depth === 0 ? 'My Computer' : node.name; }

function rowOf(node) { return state.rows.findIndex((r) => r.node === node); }

function scrollToRow(i) {
  const tree = $('tree');
  if (i * ROW < tree.scrollTop) tree.scrollTop = i * ROW;
  else if ((i + 1) * ROW > tree.scrollTop + tree.clientHeight) tree.scrollTop = (i + 1) * ROW - tree.clientHeight;
}

// ---- the selected key and its values ----

async function select(node, scroll) {
  state.selected = node;
  state.valueIndex = -1;
  // Not while the address is being typed: a refresh from another change would overwrite it.
  if (document.activeElement !== $('address')) $('address').value = node.depth === 0 ? 'My Computer' : node.path;
  $('status-path').textContent = node.depth === 0 ? 'My Computer' : node.path;
  if (scroll) scrollToRow(rowOf(node));
  draw();
  await loadValues();
}

async function loadValues() {
  const node = state.selected;
  if (!node) return;
  try {
    const r = await api(keyUrl(node.path, 0, 0));
    if (node !== state.selected) return;
    state.raw = r.keys[0].values;
    node.count = r.keys[0].subkeyCount;
    if (state.valueIndex >= state.values.length) state.valueIndex = state.values.length - 1;
    showValues();
  } catch (e) {
    status(e.message, true);
  }
}

function showValues() {
  const body = $('values-body');
  const frag = document.createDocumentFragment();
  // The default value first; "(value not set)" when it is not there, as Windows shows it.
  const rows = state.raw.filter((v) => v.name === '').concat(state.raw.filter((v) => v.name !== ''));
  if (!rows.length || rows[0].name !== '') rows.unshift(null);
  state.values = rows;
  rows.forEach((v, i) => {
    const tr = document.createElement('tr');
    tr.dataset.index = i;
    tr.setAttribute('aria-selected', i === state.valueIndex);
    if (i === state.valueIndex) tr.classList.add('selected');
    const name = document.createElement('td'), type = document.createElement('td'), data = document.createElement('td');
    const form = v ? formOf(v.type) : 'text';
    name.innerHTML = '<span class="vicon ' + (form === 'text' || form === 'lines' ? 'str' : 'num') + '"></span>';
    name.append(v && v.name ? v.name : '(Default)');
    type.textContent = type.title = v ? v.type : 'REG_SZ';
    if (!v) data.textContent = '(value not set)';
    else if (form === 'lines' && v.data) showLines(data, v.data);
    else data.textContent = shownValue(v);
    if (!v) tr.classList.add('unset');
    tr.append(name, type, data);
    frag.append(tr);
  });
  body.replaceChildren(frag);
  const sel = body.rows[state.valueIndex];
  if (sel) sel.scrollIntoView({ block: 'nearest' });
}

// A REG_MULTI_SZ's strings, each in a box of its own.
function showLines(cell, list) {
  for (const s of list) {
    const item = document.createElement('span');
    item.className = 'line-item';
    item.textContent = s;
    cell.append(item);
  }
}

function valueName(v) { return v && v.name ? v.name : '(Default)'; }

function selectedValue() {
  return state.valueIndex >= 0 ? state.values[state.valueIndex] : undefined;
}

// ---- going to a path ----

async function goTo(path) {
  try {
    return await goToPath(path);
  } catch (e) {
    status(e.message, true);
    return false;
  }
}

async function goToPath(path) {
  let key;
  try {
    key = (await api(keyUrl(path, 0, 0))).keys[0];
  } catch (e) {
    status(e.message, true);
    return false;
  }
  const parts = key.path === 'My Computer' ? [] : splitPath(key.path);
  let node = state.root;
  for (const part of parts) {
    await expand(node, true);
    let child = node.byName.get(part.toLowerCase());
    if (!child || node.children[node.children.indexOf(child)] !== child) {
      const r = await api(keyUrl(node.path, 0, PAGE, part));
      if (r.index < 0) { status('the key ' + part + ' is gone', true); return false; }
      await loadPage(node, r.index - r.index % PAGE);
      child = node.children[r.index];
    }
    if (!child) return false;
    node = child;
  }
  layout();
  await select(node, true);
  $('address').value = node.depth === 0 ? 'My Computer' : node.path;
  return true;
}

// ---- status ----

let statusTimer = 0;
function status(text, error) {
  const s = $('status-msg');
  s.textContent = text;
  s.className = error ? 'error' : '';
  clearTimeout(statusTimer);
  statusTimer = setTimeout(() => { s.textContent = ''; }, error ? 8000 : 4000);
}
