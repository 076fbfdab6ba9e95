// zrreg serve's page, what keeps it current and the lists' helpers: the server's events,
// export, type-ahead, the context menu, copying a key's name, F3 and the splitter.

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
