// zrreg serve's page, its keyboard and mouse: the tree's and the values' keys, the wiring
// of every control, and the start. Loaded last.

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
