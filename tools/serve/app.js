// zrreg serve's page: a tree of keys (lazy, paged, drawn only where it shows), the selected
// key's values, search, edits, import with a preview, export; kept current by the server's
// events. No framework and nothing loaded from elsewhere.
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

// ---- changes ----

function openEdit(value, isNew) {
  if (state.readOnly || !state.selected) return;
  $('edit-title').textContent = isNew ? 'New value' : 'Edit value';
  $('edit-name').value = value && value.name ? value.name : '';
  $('edit-name').readOnly = !isNew;
  $('edit-type').value = value ? value.type : 'REG_SZ';
  if (value && ![...$('edit-type').options].some((o) => o.value === value.type))
    $('edit-type').append(new Option(value.type));
  $('edit-type').disabled = !isNew && !!value;
  editForm();
  dataField().value = editText(value);
  $('edit-error').textContent = '';
  editHint();
  openDialog('edit-dialog', isNew ? 'edit-name' : dataField().id);
  dataField().select();
}

// The data's field for the chosen type: a text area for REG_MULTI_SZ, one line otherwise.
function dataField() { return formOf($('edit-type').value) === 'lines' ? $('edit-lines') : $('edit-data'); }

// Shows the field of the chosen type, keeping what was typed.
function editForm() {
  const field = dataField(), other = field === $('edit-data') ? $('edit-lines') : $('edit-data');
  if (!other.hidden) field.value = other.value;
  field.hidden = false;
  other.hidden = true;
}

const HINTS = { lines: 'one string a line', hex: 'hexadecimal bytes, two digits each (blanks between them allowed)',
                int32: 'decimal, negative, or hexadecimal after 0x (32 bits)',
                int64: 'decimal, negative, or hexadecimal after 0x (64 bits)' };

function editHint() {
  const form = formOf($('edit-type').value), text = dataField().value;
  let hint = HINTS[form] || '';
  if (form === 'int32' || form === 'int64') {
    const bits = form === 'int32' ? 32 : 64, n = parseInteger(text, bits);
    if (n !== null) hint = shownInteger(n, bits);
  } else if (form === 'hex' && /^[\s,]*([0-9a-fA-F]{2}[\s,]*)*$/.test(text)) {
    const n = text.replace(/[\s,]/g, '').length / 2;
    hint = n + (n === 1 ? ' byte' : ' bytes');
  }
  $('edit-hint').textContent = hint;
}

async function saveEdit(ev) {
  ev.preventDefault();
  const type = $('edit-type').value, form = formOf(type), text = dataField().value;
  const data = form === 'lines' ? (text === '' ? [] : text.split('\n'))
             : form === 'int32' || form === 'int64' ? text.trim() : text;
  const body = { path: state.selected.path, name: $('edit-name').value, type, data };
  try {
    await post('/api/set', body);
    $('edit-dialog').close();
    status('set ' + (body.name || '(Default)'));
    await loadValues();
    state.valueIndex = state.values.findIndex((v) => v && v.name.toLowerCase() === body.name.toLowerCase());
    showValues();
  } catch (e) {
    $('edit-error').textContent = e.message;
  }
}

function openNewKey() {
  if (state.readOnly || !state.selected) return;
  $('key-parent').textContent = state.selected.depth === 0 ? 'My Computer' : state.selected.path;
  $('key-name').value = '';
  $('key-error').textContent = '';
  openDialog('key-dialog', 'key-name');
}

async function saveNewKey(ev) {
  ev.preventDefault();
  const name = $('key-name').value;
  const why = name === '' ? 'is empty' : /[\\/]/.test(name) ? 'holds "\\" or "/", which separate keys' : null;
  if (why) { $('key-error').textContent = 'The name ' + why + '.'; return; }
  const parent = state.selected;
  const path = parent.path ? parent.path + '\\' + name : name;
  try {
    const r = await post('/api/create', { path });
    $('key-dialog').close();
    status('created ' + r.path);
    await refresh();
    await goTo(r.path);
  } catch (e) {
    $('key-error').textContent = e.message;
  }
}

// Rename, of the selected key (not the root nor a top-level key, which the server refuses)
// or of its selected value (not the default one, which has no name to change).
let renaming = null;
function openRename(onValue) {
  if (state.readOnly || !state.selected) return;
  const node = state.selected;
  const v = onValue ? selectedValue() : null;
  if (onValue ? !v || v.name === '' : node.depth < 2) {
    status(onValue ? 'the default value has no name to change' : 'a top-level key keeps its name', true);
    return;
  }
  renaming = { node, value: v, back: onValue ? $('values-body') : $('tree') };
  $('rename-title').textContent = onValue ? 'Rename value' : 'Rename key';
  $('rename-where').textContent = onValue ? 'in ' + node.path : 'under ' + node.parent.path;
  $('rename-name').value = onValue ? v.name : node.name;
  $('rename-error').textContent = '';
  openDialog('rename-dialog', 'rename-name');
  $('rename-name').select();
}

// A renamed key keeps its node, so that it stays selected and its subtree stays expanded;
// only the paths under it change.
function renameNode(node, name) {
  const parent = node.parent;
  parent.byName.delete(node.name.toLowerCase());
  node.name = name;
  parent.byName.set(name.toLowerCase(), node);
  const repath = (n) => {
    n.path = n.parent.path ? n.parent.path + '\\' + n.name : n.name;
    for (const c of n.byName.values()) if (c.parent === n) repath(c);
  };
  repath(node);
}

async function saveRename(ev) {
  ev.preventDefault();
  const r = renaming;
  const newName = $('rename-name').value;
  const old = r.value ? r.value.name : r.node.name;
  if (newName === old) { $('rename-dialog').close(); r.back.focus(); return; }
  const body = r.value ? { path: r.node.path, name: old, newName } : { path: r.node.path, newName };
  try {
    await post('/api/rename', body);
  } catch (e) {
    $('rename-error').textContent = e.message;
    return;
  }
  $('rename-dialog').close();
  r.back.focus();
  status('renamed ' + (old || '(Default)') + ' to ' + newName);
  if (r.value) {
    if (state.selected !== r.node) return;
    await loadValues();
    state.valueIndex = state.values.findIndex((v) => v && v.name.toLowerCase() === newName.toLowerCase());
    showValues();
    return;
  }
  renameNode(r.node, newName);
  await refresh();
  // A name the tree shows otherwise (in quotes) came back as a node of its own: go to it.
  if (!isShown(r.node)) {
    const parent = r.node.parent;
    try {
      const at = await api(keyUrl(parent.path, 0, PAGE, newName));
      if (at.index >= 0) {
        await loadPage(parent, at.index - at.index % PAGE);
        if (parent.children[at.index]) await select(parent.children[at.index], true);
      }
    } catch (e) {
      status(e.message, true);
    }
  } else if (state.selected === r.node) {
    await select(r.node, true);
  }
}

// Every dialog as in Windows' editor: Enter is OK (its first button), Escape Cancel (the
// dialog's own); Cancel is no submit button, so that nothing but OK can be Enter's.
function openDialog(id, focus) {
  $(id).showModal();
  $(focus).focus();
}

// Enter in any field submits, in a list or a file chooser too, which would not on their own.
function dialogEnter(ev) {
  const t = ev.target;
  if (ev.key !== 'Enter' || ev.isComposing || t.tagName === 'TEXTAREA' || t.tagName === 'BUTTON') return;
  ev.preventDefault();
  ev.currentTarget.requestSubmit();
}

// Asks, then deletes the selected key, or its selected value when onValue.
let confirmAction = null;
function confirmDelete(onValue) {
  if (state.readOnly || !state.selected) return;
  const v = onValue && selectedValue();
  if (onValue && !v) return;
  if (!onValue && state.selected.depth === 0) { status('the root key cannot be deleted', true); return; }
  const path = state.selected.path;
  if (onValue) {
    $('confirm-text').textContent = 'Delete the value ' + (v.name || '(Default)') + ' of ' + path + '?';
    confirmAction = async () => { await post('/api/delete', { path, name: v.name }); await loadValues(); };
  } else {
    $('confirm-text').textContent = 'Delete the key ' + path + ' with all its subkeys and values?';
    confirmAction = async () => {
      await post('/api/delete', { path });
      const parent = state.selected.parent;
      await refresh();
      await select(parent, true);
    };
  }
  openDialog('confirm-dialog', 'confirm-ok');
}

// ---- import ----

let importText = '';
async function previewImport() {
  importText = $('import-text').value;
  const f = $('import-file').files[0];
  if (f && !importText) importText = await readRegFile(f);
  $('import-error').textContent = '';
  $('import-apply').disabled = true;
  if (!importText) { $('import-error').textContent = 'Choose a .reg file or paste its text.'; return; }
  try {
    const r = await api('/api/import?dry_run=1', { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: importText });
    showPreview(r);
    $('import-apply').disabled = r.changes.length === 0;
  } catch (e) {
    $('import-preview').replaceChildren();
    $('import-error').textContent = e.message;
  }
}

async function readRegFile(f) {
  const buf = new Uint8Array(await f.arrayBuffer());
  const utf16 = buf[0] === 0xff && buf[1] === 0xfe;
  return new TextDecoder(utf16 ? 'utf-16le' : 'utf-8').decode(buf);
}

function showPreview(r) {
  const box = $('import-preview');
  const table = document.createElement('table');
  table.className = 'preview';
  table.innerHTML = '<thead><tr><th>Change</th><th>Key</th><th>Value</th><th>Before</th><th>After</th></tr></thead>';
  const tb = document.createElement('tbody');
  for (const c of r.changes) {
    const tr = document.createElement('tr');
    tr.className = 'op-' + c.op.replace(' ', '-');
    const cells = [c.op, c.path, c.name === undefined ? '' : c.name || '(Default)', shownValue(c.before),
                   c.op === 'set' ? shownValue(c.after) : c.op.startsWith('delete') ? '(deleted)' : ''];
    if (c.op === 'set' && c.before && c.before.type === c.after.type &&
        JSON.stringify(c.before) === JSON.stringify(c.after))
      tr.classList.add('same');
    for (const t of cells) { const td = document.createElement('td'); td.textContent = t; tr.append(td); }
    tb.append(tr);
  }
  table.append(tb);
  const sum = document.createElement('p');
  sum.className = 'summary';
  sum.textContent = r.summary;
  const parts = [sum];
  if (r.changes.length) parts.push(table);
  if (r.skipped.length) {
    const ul = document.createElement('ul');
    ul.className = 'skipped';
    for (const s of r.skipped) { const li = document.createElement('li'); li.textContent = s; ul.append(li); }
    parts.push(ul);
  }
  box.replaceChildren(...parts);
}

async function applyImport() {
  try {
    const r = await api('/api/import?dry_run=0', { method: 'POST', headers: { 'Content-Type': 'text/plain' }, body: importText });
    showPreview(r);
    $('import-apply').disabled = true;
    status(r.summary);
    await refresh();
  } catch (e) {
    $('import-error').textContent = e.message;
  }
}

// ---- search ----

async function search(ev) {
  ev.preventDefault();
  const text = $('search').value;
  if (!text) return;
  const what = $('search-what').value;
  let u = '/api/find?path=&s=1&text=' + encodeURIComponent(text);
  if (what) u += '&' + what + '=1';
  if ($('search-exact').checked) u += '&e=1';
  if ($('search-case').checked) u += '&c=1';
  state.hits = [];
  state.hit = -1;
  $('results-title').textContent = 'Searching…';
  showResults(true);
  const t0 = performance.now();
  try {
    const r = await api(u);
    state.hits = r.keys;
    state.hitsMore = !!r.more;
    const ms = Math.round(performance.now() - t0);
    $('results-title').textContent = r.matches + (r.matches === 1 ? ' match' : ' matches') + ' for "' + text + '"' +
      (r.more ? ' (the first ' + r.keys.length + ' keys shown)' : '') + ' · ' + ms + ' ms';
    const frag = document.createDocumentFragment();
    r.keys.forEach((k, i) => {
      const div = document.createElement('div');
      div.className = 'hit';
      const a = document.createElement('a');
      a.href = '#';
      a.textContent = k.path;
      a.addEventListener('click', (e) => { e.preventDefault(); showHit(i); });
      div.append(a);
      for (const v of k.values) {
        const p = document.createElement('div');
        p.className = 'hit-value';
        p.textContent = (v.name || '(Default)') + '  ' + v.type + '  ' + shownValue(v);
        div.append(p);
      }
      frag.append(div);
    });
    $('results').replaceChildren(frag);
  } catch (e) {
    $('results-title').textContent = e.message;
  }
}

function showResults(on) {
  $('results-view').hidden = !on;
  $('values-view').hidden = on;
}

// ---- live ----

let refreshTimer = 0;
function scheduleRefresh() {
  clearTimeout(refreshTimer);
  refreshTimer = setTimeout(refresh, 50);
}

// Reloads what shows: the expanded keys' first pages (other pages load again as they show)
// and the selected key's values. A selected key that is gone gives way to its nearest parent.
async function refresh() {
  state.generation++;
  const expanded = [];
  const walk = (n) => { if (n.expanded) { expanded.push(n); for (const c of n.children || []) if (c) walk(c); } };
  walk(state.root);
  for (const n of expanded) {
    try {
      const r = await api(keyUrl(n.path, 0, PAGE));
      n.children = null;
      takePage(n, r.keys[0]);
      for (const c of n.children) if (c) c.parent = n;
    } catch (e) {
      n.expanded = false;
      n.children = null;
    }
  }
  layout();
  let s = state.selected;
  while (s && s.parent && !isShown(s)) s = s.parent;
  if (s !== state.selected) await select(s, true);
  else await loadValues();
}

function isShown(node) {
  for (let n = node; n.parent; n = n.parent) if (!n.parent.children || !n.parent.children.includes(n)) return false;
  return true;
}

// The server's events, read from a fetch (an EventSource cannot send the token's header):
// each event with data refreshes the page, the first one too, which covers what changed
// while the stream was down. A stream that ends is opened again after half a second, one
// the server had no room for (503) after five.
async function live() {
  for (;;) {
    let wait = 500;
    try {
      const res = await fetch('/api/events', authorize());
      if (res.status === 401) { $('live').className = 'off'; return; }
      if (res.status === 503) wait = 5000;
      if (!res.ok || !res.body) throw new Error(res.status + ' ' + res.statusText);
      $('live').className = 'on';
      const reader = res.body.pipeThrough(new TextDecoderStream()).getReader();
      let buf = '';
      for (;;) {
        const { value, done } = await reader.read();
        if (done) break;
        buf += value.replace(/\r\n?/g, '\n');
        let end;
        while ((end = buf.indexOf('\n\n')) >= 0) {
          const event = buf.slice(0, end);
          buf = buf.slice(end + 2);
          if (event.split('\n').some((line) => line.startsWith('data:'))) scheduleRefresh();
        }
      }
    } catch (e) {
      // dropped: opened again below
    }
    $('live').className = 'off';
    await new Promise((done) => setTimeout(done, wait));
  }
}

// The export comes with the token's header, so it is fetched and handed to the browser as
// a file of its own.
async function exportKey() {
  const node = state.selected;
  if (!node) return;
  try {
    const res = await fetch('/api/export?path=' + encodeURIComponent(node.path), authorize());
    if (!res.ok) throw new Error((await res.json().catch(() => ({}))).error || res.status + ' ' + res.statusText);
    const url = URL.createObjectURL(await res.blob());
    const a = document.createElement('a');
    a.href = url;
    a.download = 'export.reg';
    a.click();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  } catch (e) {
    status(e.message, true);
  }
}

// ---- type-ahead ----

// As in Windows' lists: the letters typed within a second of each other make a prefix, and
// the next name that starts with it, in any case, is chosen; the same letter again steps on
// to the next name with that letter. Each list keeps its own prefix.
function typeAhead() {
  let typed = '';
  let timer = 0;
  return (ev, names, current, choose) => {
    if (ev.key.length !== 1 || ev.ctrlKey || ev.altKey || ev.metaKey || (ev.key === ' ' && !typed)) return false;
    clearTimeout(timer);
    timer = setTimeout(() => { typed = ''; }, TYPED_FOR);
    typed += ev.key.toLowerCase();
    const find = (prefix, from) => {
      for (let k = 0; k < names.length; ++k) {
        const j = (from + k) % names.length;
        if (names[j] !== null && names[j].toLowerCase().startsWith(prefix)) return j;
      }
      return -1;
    };
    let j = find(typed, typed.length === 1 ? current + 1 : Math.max(current, 0));
    if (j < 0 && [...typed].every((c) => c === typed[0])) j = find(typed[0], current + 1);
    if (j >= 0) choose(j);
    return true;
  };
}
const treeTyped = typeAhead();
const valuesTyped = typeAhead();

// ---- the context menu ----

// A menu is a list of entries, {label, hint, change, off, act} or '-' for a separator, made
// for what it was opened on. An entry with change is left out under --read-only; off shows
// it disabled.
function keyMenu(node) {
  const root = node.depth === 0;
  return [
    { label: node.expanded ? 'Collapse' : 'Expand', hint: 'Enter', off: node.count === 0,
      act: () => expand(node, !node.expanded) },
    '-',
    { label: 'New key…', change: true, act: openNewKey },
    { label: 'New value…', change: true, act: () => openEdit(null, true) },
    '-',
    { label: 'Delete', hint: 'Del', change: true, off: root, act: () => confirmDelete(false) },
    { label: 'Rename', hint: 'F2', change: true, off: node.depth < 2, act: () => openRename(false) },
    '-',
    { label: 'Export', act: exportKey },
    { label: 'Copy key name', off: root, act: () => copyKeyName(node) },
  ];
}

function valueMenu(v) {
  return [
    { label: 'Modify…', hint: 'Enter', change: true,
      act: () => openEdit(v || { name: '', type: 'REG_SZ', data: '' }, false) },
    '-',
    { label: 'Delete', hint: 'Del', change: true, off: !v, act: () => confirmDelete(true) },
    { label: 'Rename', hint: 'F2', change: true, off: !v || v.name === '', act: () => openRename(true) },
  ];
}

function valuesAreaMenu() {
  return [{ label: 'New value…', change: true, act: () => openEdit(null, true) }];
}

const menu = { entries: [], back: null, openedAt: 0 };

// Opens at (x, y), in the window; Escape or a choice gives the focus back to `back`.
// A menu left with no entry (read-only) does not open.
function openMenu(entries, x, y, back, name) {
  const shown = entries.filter((e) => e === '-' || !(e.change && state.readOnly))
    .filter((e, i, all) => e !== '-' || (i > 0 && all[i - 1] !== '-'));
  while (shown.length && shown[shown.length - 1] === '-') shown.pop();
  if (shown[0] === '-') shown.shift();
  closeMenu(false);
  if (!shown.length) return;
  const el = $('menu');
  el.setAttribute('aria-label', name);
  el.replaceChildren(...shown.map((e, i) => {
    const li = document.createElement('li');
    if (e === '-') { li.setAttribute('role', 'separator'); return li; }
    li.setAttribute('role', 'menuitem');
    li.tabIndex = -1;
    li.dataset.index = i;
    if (e.off) li.setAttribute('aria-disabled', 'true');
    const text = document.createElement('span');
    text.textContent = e.label;
    li.append(text);
    if (e.hint) {
      const k = document.createElement('kbd');
      k.textContent = e.hint;
      k.setAttribute('aria-hidden', 'true');
      li.setAttribute('aria-keyshortcuts', e.hint === 'Del' ? 'Delete' : e.hint);
      li.append(k);
    }
    return li;
  }));
  menu.entries = shown;
  menu.back = back;
  menu.openedAt = performance.now();
  el.hidden = false;
  const w = el.offsetWidth, h = el.offsetHeight;
  el.style.left = Math.max(0, Math.min(x, innerWidth - w - 2)) + 'px';
  el.style.top = Math.max(0, y + h > innerHeight ? y - h : y) + 'px';
  menuFocus(0, 1);
}

function menuItems() { return [...$('menu').querySelectorAll('[role=menuitem]')]; }

// Focuses the enabled item at or after i (before it when step is -1), round the end.
function menuFocus(i, step) {
  const items = menuItems();
  for (let k = 0; k < items.length; ++k) {
    const j = ((i + k * step) % items.length + items.length) % items.length;
    if (!items[j].hasAttribute('aria-disabled')) { items[j].focus(); return; }
  }
}

function closeMenu(giveBack) {
  const el = $('menu');
  if (el.hidden) return;
  el.hidden = true;
  el.replaceChildren();
  if (giveBack && menu.back) menu.back.focus();
}

function menuChoose(li) {
  const e = li && menu.entries[+li.dataset.index];
  if (!e || e.off) return;
  closeMenu(true);
  e.act();
}

function menuKey(ev) {
  const items = menuItems();
  const at = items.indexOf(document.activeElement);
  switch (ev.key) {
    case 'ArrowDown': menuFocus(at + 1, 1); break;
    case 'ArrowUp': menuFocus(at < 0 ? items.length - 1 : at - 1, -1); break;
    case 'Home': menuFocus(0, 1); break;
    case 'End': menuFocus(items.length - 1, -1); break;
    case 'Enter': case ' ': menuChoose(document.activeElement.closest('[role=menuitem]')); break;
    case 'Escape': closeMenu(true); break;
    case 'Tab': closeMenu(true); break;
    default: {
      // A letter goes to the next entry that starts with it.
      if (ev.key.length !== 1 || ev.ctrlKey || ev.altKey || ev.metaKey) return;
      const c = ev.key.toLowerCase();
      for (let k = 1; k <= items.length; ++k) {
        const j = (at + k) % items.length;
        if (!items[j].hasAttribute('aria-disabled') && items[j].textContent.toLowerCase().startsWith(c)) {
          items[j].focus();
          break;
        }
      }
    }
  }
  ev.preventDefault();
  ev.stopPropagation();
}

// Shift+F10 and the context-menu key open the menu of what is selected, below its row.
function isMenuKey(ev) { return ev.key === 'ContextMenu' || (ev.key === 'F10' && ev.shiftKey); }

function treeMenuAtSelection() {
  const el = $('tree-selected') || $('tree');
  scrollToRow(rowOf(state.selected));
  const r = el.getBoundingClientRect();
  const lab = el.querySelector('.label');
  openMenu(keyMenu(state.selected), (lab || el).getBoundingClientRect().left + 8, r.bottom, $('tree'), 'key');
}

function valuesMenuAtSelection() {
  const row = $('values-body').rows[state.valueIndex];
  const r = (row || $('values-view')).getBoundingClientRect();
  if (row) openMenu(valueMenu(selectedValue()), r.left + 24, r.bottom, $('values-body'), 'value');
  else openMenu(valuesAreaMenu(), r.left + 24, r.top + 28, $('values-body'), 'values');
}

// ---- copying a key's name ----

// The path as the server gave it, to the clipboard; where the browser refuses both ways of
// writing it, it shows selected in a dialog for Ctrl+C.
async function copyKeyName(node) {
  const text = node.path;
  try {
    await navigator.clipboard.writeText(text);
    status('copied ' + text);
    return;
  } catch (e) {
    // no clipboard for this page: the older way below
  }
  const back = document.activeElement;
  const area = document.createElement('textarea');
  area.value = text;
  area.style.position = 'fixed';
  area.style.opacity = '0';
  document.body.append(area);
  area.select();
  let done = false;
  try { done = document.execCommand('copy'); } catch (e) { done = false; }
  area.remove();
  if (back) back.focus();
  if (done) { status('copied ' + text); return; }
  $('copy-text').value = text;
  openDialog('copy-dialog', 'copy-text');
  $('copy-text').select();
}

// ---- F3: the search's hits one by one ----

// F3 goes to the next hit of the last search (Shift+F3 the one before), its key selected in
// the tree and its first matching value in the values; it stops at the last (first) hit and
// says so. With no search yet, it goes to the search box.
let hitQueue = Promise.resolve();
async function nextHit(step) {
  if (!state.hits.length) { $('search').focus(); return; }
  const i = state.hit + step;
  if (i < 0 || i >= state.hits.length) {
    status(step > 0 ? 'no further hit: that was the last of ' + state.hits.length
                    : 'no earlier hit: that was the first of ' + state.hits.length, true);
    return;
  }
  await showHit(i);
}

async function showHit(i) {
  state.hit = i;
  const k = state.hits[i];
  showResults(false);
  if (!(await goTo(k.path))) return;
  const name = k.values.length ? k.values[0].name.toLowerCase() : null;
  const at = name === null ? -1 : state.values.findIndex((v) => (v ? v.name.toLowerCase() : '') === name);
  if (at >= 0) {
    state.valueIndex = at;
    showValues();
    $('values-body').focus();
  } else {
    $('tree').focus();
  }
  status('hit ' + (i + 1) + ' of ' + state.hits.length + (state.hitsMore ? ' shown' : '') + ' · F3 the next');
}

// ---- the splitter ----

// The tree's width in px, dragged or moved with the arrow keys, kept for the tab's session.
function splitBounds() {
  const total = document.querySelector('main').clientWidth;
  return [SPLIT_MIN, Math.max(SPLIT_MIN, total - SPLIT_MIN - $('splitter').offsetWidth)];
}

function setSplit(px, keep) {
  const [lo, hi] = splitBounds();
  const w = Math.round(Math.min(hi, Math.max(lo, px)));
  $('tree-pane').style.width = w + 'px';
  const sp = $('splitter');
  sp.setAttribute('aria-valuenow', w);
  sp.setAttribute('aria-valuemin', lo);
  sp.setAttribute('aria-valuemax', hi);
  if (keep) sessionStorage.setItem('zrreg-split', String(w));
  draw();
  return w;
}

function wireSplitter() {
  const sp = $('splitter');
  let kept = Number(sessionStorage.getItem('zrreg-split'));
  setSplit(kept > 0 ? kept : $('tree-pane').offsetWidth, false);
  let from = null;
  sp.addEventListener('pointerdown', (ev) => {
    if (ev.button !== 0) return;
    ev.preventDefault();
    sp.setPointerCapture(ev.pointerId);
    from = { x: ev.clientX, w: $('tree-pane').offsetWidth };
    sp.classList.add('dragging');
    sp.focus();
  });
  sp.addEventListener('pointermove', (ev) => { if (from) setSplit(from.w + ev.clientX - from.x, false); });
  const end = () => {
    if (!from) return;
    from = null;
    sp.classList.remove('dragging');
    kept = setSplit($('tree-pane').offsetWidth, true);
  };
  sp.addEventListener('pointerup', end);
  sp.addEventListener('pointercancel', end);
  sp.addEventListener('keydown', (ev) => {
    const w = $('tree-pane').offsetWidth, step = ev.shiftKey ? 50 : 10;
    const [lo, hi] = splitBounds();
    const to = { ArrowLeft: w - step, ArrowRight: w + step, Home: lo, End: hi }[ev.key];
    if (to === undefined) return;
    ev.preventDefault();
    kept = setSplit(to, true);
  });
  window.addEventListener('resize', () => setSplit(kept > 0 ? kept : $('tree-pane').offsetWidth, false));
}

// ---- keyboard and mouse ----

function treeKey(ev) {
  if (!state.selected) return;
  const i = rowOf(state.selected);
  const row = state.rows;
  const n = state.selected;
  const move = (j) => { if (j >= 0 && j < row.length && row[j].node) select(row[j].node, true); };
  switch (ev.key) {
    case 'ArrowDown': move(i + 1); break;
    case 'ArrowUp': move(i - 1); break;
    case 'PageDown': move(Math.min(row.length - 1, i + Math.floor($('tree').clientHeight / ROW))); break;
    case 'PageUp': move(Math.max(0, i - Math.floor($('tree').clientHeight / ROW))); break;
    case 'Home': move(0); break;
    case 'End': move(row.length - 1); break;
    case 'ArrowRight':
      if (n.count > 0 && !n.expanded) expand(n, true); else move(i + 1);
      break;
    case 'ArrowLeft':
      if (n.expanded) expand(n, false); else if (n.parent) select(n.parent, true);
      break;
    case 'Enter': expand(n, !n.expanded); break;
    case 'Delete': confirmDelete(false); break;
    case 'F2': openRename(false); break;
    case 'Tab': if (!ev.shiftKey) { ev.preventDefault(); $('values-body').focus(); if (state.valueIndex < 0) { state.valueIndex = 0; showValues(); } } return;
    default:
      if (isMenuKey(ev)) { treeMenuAtSelection(); break; }
      if (!treeTyped(ev, row.map((r) => (r.node ? labelOf(r.node) : null)), i, move)) return;
  }
  ev.preventDefault();
}

function valuesKey(ev) {
  const count = $('values-body').rows.length;
  const v = selectedValue();
  switch (ev.key) {
    case 'ArrowDown': state.valueIndex = Math.min(count - 1, state.valueIndex + 1); showValues(); break;
    case 'ArrowUp': state.valueIndex = Math.max(0, state.valueIndex - 1); showValues(); break;
    case 'Enter': openEdit(v || { name: '', type: 'REG_SZ', data: '' }, false); break;
    case 'F2': openRename(true); break;
    case 'Delete': confirmDelete(true); break;
    default:
      if (isMenuKey(ev)) { valuesMenuAtSelection(); break; }
      if (!valuesTyped(ev, state.values.map(valueName), state.valueIndex,
                       (j) => { state.valueIndex = j; showValues(); })) return;
  }
  ev.preventDefault();
}

function wire() {
  const tree = $('tree');
  const vb = $('values-body');
  tree.addEventListener('scroll', draw);
  window.addEventListener('resize', draw);
  tree.addEventListener('click', (ev) => {
    const div = ev.target.closest('.row');
    if (!div || div.dataset.row === undefined) return;
    const node = state.rows[+div.dataset.row].node;
    if (ev.target.classList.contains('twisty')) expand(node, !node.expanded);
    select(node);
    tree.focus();
  });
  tree.addEventListener('dblclick', (ev) => {
    const div = ev.target.closest('.row');
    if (div && div.dataset.row !== undefined) { const n = state.rows[+div.dataset.row].node; expand(n, !n.expanded); }
  });
  tree.addEventListener('keydown', treeKey);
  tree.addEventListener('scroll', () => closeMenu(false));
  // A right-click selects what it is on and opens its menu.
  tree.addEventListener('contextmenu', (ev) => {
    ev.preventDefault();
    if (!$('menu').hidden && performance.now() - menu.openedAt < 300) return;  // the key's own
    const div = ev.target.closest('.row');
    if (!div || div.dataset.row === undefined) return;
    const node = state.rows[+div.dataset.row].node;
    tree.focus();
    select(node);
    openMenu(keyMenu(node), ev.clientX, ev.clientY, tree, 'key');
  });
  $('values-view').addEventListener('contextmenu', (ev) => {
    ev.preventDefault();
    if (!$('menu').hidden && performance.now() - menu.openedAt < 300) return;
    if (!state.selected) return;
    const tr = ev.target.closest('#values-body tr');
    vb.focus();
    if (tr) {
      state.valueIndex = +tr.dataset.index;
      showValues();
      openMenu(valueMenu(selectedValue()), ev.clientX, ev.clientY, vb, 'value');
    } else {
      openMenu(valuesAreaMenu(), ev.clientX, ev.clientY, vb, 'values');
    }
  });
  $('menu').addEventListener('keydown', menuKey);
  $('menu').addEventListener('click', (ev) => menuChoose(ev.target.closest('[role=menuitem]')));
  $('menu').addEventListener('contextmenu', (ev) => ev.preventDefault());
  document.addEventListener('pointerdown', (ev) => { if (!ev.target.closest('#menu')) closeMenu(false); }, true);
  window.addEventListener('blur', () => closeMenu(false));
  window.addEventListener('resize', () => closeMenu(false));
  document.addEventListener('keydown', (ev) => {
    if (ev.key !== 'F3' || document.querySelector('dialog[open]')) return;
    ev.preventDefault();
    closeMenu(false);
    // One after the other, so that quick presses step through the hits in order.
    const step = ev.shiftKey ? -1 : 1;
    hitQueue = hitQueue.then(() => nextHit(step));
  });
  vb.addEventListener('keydown', valuesKey);
  vb.addEventListener('click', (ev) => {
    const tr = ev.target.closest('tr');
    if (!tr) return;
    state.valueIndex = +tr.dataset.index;
    showValues();
    vb.focus();
  });
  vb.addEventListener('dblclick', (ev) => {
    const tr = ev.target.closest('tr');
    if (tr) openEdit(state.values[+tr.dataset.index] || { name: '', type: 'REG_SZ', data: '' }, false);
  });
  $('address-form').addEventListener('submit', (ev) => { ev.preventDefault(); showResults(false); goTo($('address').value); });
  $('search-form').addEventListener('submit', search);
  $('results-close').addEventListener('click', () => showResults(false));
  $('new-value').addEventListener('click', () => openEdit(null, true));
  $('new-key').addEventListener('click', openNewKey);
  $('delete').addEventListener('click', () => {
    const onValue = !!selectedValue();
    (onValue ? $('values-body') : $('tree')).focus();
    confirmDelete(onValue);
  });
  $('edit-form').addEventListener('submit', saveEdit);
  $('edit-type').addEventListener('change', () => { editForm(); editHint(); });
  for (const id of ['edit-data', 'edit-lines'])
    $(id).addEventListener('input', () => { editHint(); $('edit-error').textContent = ''; });
  $('key-form').addEventListener('submit', saveNewKey);
  $('rename-form').addEventListener('submit', saveRename);
  $('rename-name').addEventListener('input', () => { $('rename-error').textContent = ''; });
  $('confirm-form').addEventListener('submit', async (ev) => {
    ev.preventDefault();
    $('confirm-dialog').close();
    const act = confirmAction;
    confirmAction = null;
    if (!act) return;
    try { await act(); status('deleted'); } catch (e) { status(e.message, true); }
  });
  $('import').addEventListener('click', () => {
    $('import-preview').replaceChildren();
    $('import-error').textContent = '';
    $('import-apply').disabled = true;
    openDialog('import-dialog', 'import-file');
  });
  $('import-form').addEventListener('submit', (ev) => {
    ev.preventDefault();
    if (ev.submitter && ev.submitter.value === 'apply') applyImport(); else previewImport();
  });
  for (const [dialog, cancel] of [['edit-dialog', 'edit-cancel'], ['key-dialog', 'key-cancel'],
                                  ['rename-dialog', 'rename-cancel'],
                                  ['confirm-dialog', 'confirm-cancel'], ['import-dialog', 'import-close'],
                                  ['copy-dialog', 'copy-close']]) {
    $(cancel).addEventListener('click', () => $(dialog).close());
    $(dialog).querySelector('form').addEventListener('keydown', dialogEnter);
  }
  $('export').addEventListener('click', exportKey);
  $('import-file').addEventListener('change', () => { $('import-text').value = ''; });
  $('copy-form').addEventListener('submit', (ev) => { ev.preventDefault(); $('copy-dialog').close(); });
  wireSplitter();
}

async function start() {
  wire();
  try {
    const info = await api('/api/info');
    state.readOnly = info.readOnly;
    for (const t of info.types) {
      FORMS.set(t.name, t.form);
      $('edit-type').append(new Option(t.name));
    }
    $('file').textContent = info.file;
    document.title = 'zrreg · ' + info.file;
    document.body.classList.toggle('readonly', info.readOnly);
    const root = (await api(keyUrl('', 0, PAGE))).keys[0];
    state.root = makeNode(null, 'My Computer', root.subkeyCount);
    takePage(state.root, root);
    state.root.expanded = true;
    layout();
    await select(state.root);
    $('tree').focus();
    live();
    document.body.dataset.readyMs = String(Math.round(performance.now()));
    document.body.dataset.ready = '1';
  } catch (e) {
    status(e.message, true);
  }
}

start();
