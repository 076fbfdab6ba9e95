// zrreg serve's page, its changes: the edit, new-key, rename and delete dialogs, import
// with its preview, and search. Loaded after app.js, whose state and calls it uses.

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
