#!/usr/bin/env python3
"""zrreg serve on the 100 MB registry, measured in Debian's headless Chromium: the first
paint after the page opens, expanding a key of 100,000 subkeys, scrolling to the middle of
them, and a search of the whole registry beside `zrreg query -s -f` of the same text.
Writes its section of the bench tables (Markdown) to standard output.

Usage: bserve.py ZRREG DATA_DIR [ROUNDS]
DATA_DIR holds zrbench's 100mb.reg and flat_100000.reg; the file served is 100mb.reg with
flat_100000.reg's key of 100,000 subkeys added below its root, in a scratch directory."""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

zrreg, data = os.path.abspath(sys.argv[1]), sys.argv[2]
rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
TEXT = "4ZhbMak4r"  # a string of one value of the generated file


def combined(work):
    """100mb.reg with the flat file's key "P" (100,000 subkeys) added below the root."""
    out = os.path.join(work, "serve.reg")
    with open(os.path.join(data, "100mb.reg"), "rb") as f:
        big = f.read()
    with open(os.path.join(data, "flat_100000.reg"), "rb") as f:
        flat = f.read()
    head = big.rstrip()
    assert head.endswith(b")")
    inner = flat.rstrip()[len(b'KEY "My Computer"\n(\n'):-1]
    with open(out, "wb") as f:
        f.write(head[:-1] + inner + b")\n")
    return out


def start(path):
    t0 = time.monotonic()
    p = subprocess.Popen([zrreg, "serve", os.path.basename(path)], cwd=os.path.dirname(path),
                         stdout=subprocess.PIPE, text=True)
    url = p.stdout.readline().strip()
    return p, url, time.monotonic() - t0


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1200,720"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=o)


def wait(d, script, seconds=60):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        r = d.execute_script(script)
        if r:
            return r
        time.sleep(0.01)
    raise RuntimeError("timed out: " + script)


EXPAND = """
const done = arguments[arguments.length - 1];
goTo('P').then(() => {
const node = state.selected;
const t0 = performance.now();
return expand(node, true).then(() => requestAnimationFrame(() => setTimeout(() => {
  const shown = document.querySelectorAll('#tree-space .label').length;
  done([performance.now() - t0, node.count, shown]);
}, 0)));
});
"""

SCROLL = """
const done = arguments[arguments.length - 1];
const tree = document.getElementById('tree');
const i = state.rows.findIndex(r => r.node && r.node.name === 'P') + 50000;
const t0 = performance.now();
tree.scrollTop = i * 22;
tree.dispatchEvent(new Event('scroll'));
(function poll() {
  const rows = [...document.querySelectorAll('#tree-space .row')];
  const loaded = rows.length > 0 && !document.querySelector('#tree-space .loading') &&
                 rows.some(r => r.textContent.includes('Key_050000'));
  if (loaded) done(performance.now() - t0); else setTimeout(poll, 2);
})();
"""

SEARCH = """
const done = arguments[arguments.length - 1];
const t0 = performance.now();
api('/api/find?path=&s=1&text=' + encodeURIComponent(arguments[0]))  // the page's own, with the token
  .then(j => done([performance.now() - t0, j.matches]));
"""


def main():
    work = tempfile.mkdtemp(prefix="zrbench-serve.")
    try:
        path = combined(work)
        size = os.path.getsize(path) / 1e6
        d = browser()
        d.set_script_timeout(120)
        m = {k: [] for k in ("start", "paint", "ready", "expand", "scroll", "search", "query")}
        matches = count = 0
        for _ in range(rounds):
            p, url, started = start(path)
            m["start"].append(started * 1000)
            d.get("about:blank")
            d.get(url)
            wait(d, "return document.body.dataset.ready === '1'")
            paint = d.execute_script(
                "return performance.getEntriesByType('paint').find(e => e.name === 'first-contentful-paint')")
            m["paint"].append(paint["startTime"] if paint else float("nan"))
            m["ready"].append(float(d.execute_script("return document.body.dataset.readyMs")))
            ms, count, shown = d.execute_async_script(EXPAND)
            m["expand"].append(ms)
            m["scroll"].append(d.execute_async_script(SCROLL))
            ms, matches = d.execute_async_script(SEARCH, TEXT)
            m["search"].append(ms)
            t0 = time.monotonic()
            subprocess.run([zrreg, "query", path, "-s", "-f", TEXT], stdout=subprocess.DEVNULL, check=True)
            m["query"].append((time.monotonic() - t0) * 1000)
            p.terminate()
            p.wait()
        d.quit()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    med = {k: statistics.median(v) for k, v in m.items()}
    best = {k: min(v) for k, v in m.items()}
    row = lambda what, k, goal="": print("| %s | %.0f | %.0f | %s |" % (what, med[k], best[k], goal))
    print()
    print("### zrreg serve in a browser (bench/bserve.py, headless Chromium, %d rounds)" % rounds)
    print()
    print("The {:.0f} MB file: 100mb.reg with a key of {:,} subkeys (flat_100000.reg's) below its root.".format(size, count))
    print("Each round starts `zrreg serve` anew and opens the page in a fresh tab; milliseconds.")
    print()
    print("| measure | median | best | goal |")
    print("|---|---|---|---|")
    row("`zrreg serve` start: load until the address is printed", "start")
    row("first paint after the page opens (first-contentful-paint)", "paint", "1000")
    row("page ready: the roots drawn and the root's values shown", "ready", "1000")
    row("expanding the key of 100,000 subkeys, its first rows drawn", "expand", "200")
    row("scrolling to its 50,000th subkey, that page loaded and drawn", "scroll")
    row("search of the whole registry for \"%s\" in the page (%d match), GET /api/find" % (TEXT, matches), "search")
    row("`zrreg query FILE -s -f %s`, the whole command (load and search)" % TEXT, "query")


main()
