#!/usr/bin/env python3
"""zrreg serve in a real browser: Debian's headless Chromium (through selenium and
chromedriver) opens the page, browses, edits, searches, imports with a preview, and each
change is looked up in the file with zrreg query from another process; a change made by
another process shows in the page within a second; every dialog takes Enter as OK and
Escape as Cancel; the server alone judges which texts the file can hold; a server on
another port of 127.0.0.1 gets nothing from the browser that opens the registry;
--read-only shows no edit controls.
Exits 77 (skipped) when Chromium, chromedriver or selenium is missing.
Usage: serve_browser.py ZRREG SOURCE_DIR [SCREENSHOT.png]: the page, and beside it
SCREENSHOT-dialog.png, a dialog"""
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serveutil import Served, check, wait_for  # noqa: E402
from chromium import (ActionChains, By, Keys, NoSuchElementException,  # noqa: E402
                      StaleElementReferenceException, browser, ready)

zrreg, src = sys.argv[1], sys.argv[2]
shot = sys.argv[3] if len(sys.argv) > 3 else None
sample = os.path.join(src, "examples", "ardo-registry.txt")
ARDO = "HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0"


class Recorder(http.server.ThreadingHTTPServer):
    """Another server on 127.0.0.1, as anyone's dev server: it keeps the headers of every
    request, and its page reports what the browser lets it read."""

    def __init__(self):
        self.requests = []
        super().__init__(("127.0.0.1", 0), RecorderHandler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


class RecorderHandler(http.server.BaseHTTPRequestHandler):
    PAGE = b"""<!doctype html><script>
        const seen = {cookie: document.cookie, session: JSON.stringify(sessionStorage),
                      local: JSON.stringify(localStorage)};
        fetch('/report?' + new URLSearchParams(seen)).then(() => { document.title = 'reported'; });
        </script>"""

    def do_GET(self):
        self.server.requests.append((self.path, dict(self.headers.items())))
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(self.PAGE)))
        self.end_headers()
        self.wfile.write(self.PAGE)

    def log_message(self, *args):
        pass


def leaks(d, s):
    """What the browser that used the page gives a server on another port of 127.0.0.1."""
    rec = Recorder()
    try:
        d.get("http://127.0.0.1:%d/" % rec.server_address[1])
        check(wait_for(lambda: d.title == "reported", 10), "another port's page opens and reports")
    finally:
        rec.shutdown()
    sent = json.dumps(rec.requests)
    check(rec.requests and s.token not in sent, "no request to another port carries the token")
    report = [dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(p).query, keep_blank_values=True))
              for p, _ in rec.requests if p.startswith("/report?")][0]
    check(s.token not in json.dumps(report), "its page reads no token (cookies, storage): %s" % report)
    # Whatever it got, sent back as the credentials it could be: nothing opens.
    got = set()
    for _, headers in rec.requests:
        got.add(headers.get("Cookie", ""))
        got.update(c.split("=", 1)[-1] for c in headers.get("Cookie", "").split("; "))
    got.update(report.values())
    opened = [g for g in got for h in ({"Cookie": g}, {"Authorization": "Bearer " + g})
              if s.request("GET", "/api/info", token=False, headers=h)[0] != 401]
    check(not opened, "nothing it got opens the registry, as a cookie or as a token (%d tried)" % len(got))


def values(d):
    """The values table as (name, type, data) rows."""
    return d.execute_script("""return [...document.querySelectorAll('#values-body tr')]
        .map(tr => [...tr.cells].map(td => td.textContent));""")


def value_row(d, name):
    return d.find_element(By.XPATH, "//tbody[@id='values-body']/tr[td[1][normalize-space(.)='%s']]" % name)


def click_value(d, name):
    """Clicks a value's row; the live page may draw the table anew meanwhile."""
    last = None
    for _ in range(50):
        try:
            value_row(d, name).click()
            if "selected" in value_row(d, name).get_attribute("class"):
                return
        except (StaleElementReferenceException, NoSuchElementException) as e:
            last = e
        time.sleep(0.05)
    raise AssertionError("no value row %s: %s %s" % (name, values(d), str(last)[:300]))


def tree_row(d, label):
    return d.find_element(By.XPATH, "//div[@id='tree-space']/div[span[@class='label'][.='%s']]" % label)


def shown(d, id_):
    return d.find_element(By.ID, id_).is_displayed()


def address(d, path):
    a = d.find_element(By.ID, "address")
    a.clear()
    a.send_keys(path + Keys.ENTER)
    return wait_for(lambda: d.execute_script("return !!state.selected && state.selected.path") != "" or True, 1)


def run(d, s):
    ready(d, s)
    rows = d.execute_script("return [...document.querySelectorAll('#tree-space .label')].map(e => e.textContent)")
    check(rows[:3] == ["My Computer", "HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"], "the tree shows the roots")

    # Browse with the keyboard, as in Windows' editor: Down, Right opens, Left closes.
    tree = d.find_element(By.ID, "tree")
    tree.send_keys(Keys.ARROW_DOWN, Keys.ARROW_DOWN)
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == "HKEY_CURRENT_USER", 3),
          "Down selects the next key")
    tree.send_keys(Keys.ARROW_RIGHT)
    check(wait_for(lambda: d.find_elements(By.XPATH, "//span[@class='label'][.='Software']"), 3),
          "Right opens it")
    tree.send_keys(Keys.ARROW_RIGHT, Keys.ARROW_DOWN, Keys.ARROW_RIGHT)
    check(wait_for(lambda: d.find_elements(By.XPATH, "//span[@class='label'][.='MORVANE']"), 3),
          "and the next level")
    tree.send_keys(Keys.ARROW_LEFT)
    check(wait_for(lambda: not d.find_elements(By.XPATH, "//span[@class='label'][.='MORVANE']"), 3),
          "Left closes it")

    # The address bar jumps to a pasted path, abbreviations and "/" too.
    address(d, "hkcu/software/morvane/ardo/1.0")
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == ARDO and
                   ["RunCount", "REG_DWORD", "0x000000bb (187)"] in values(d), 5),
          "the address bar goes to it; a dword shows in hex and decimal")
    check(tree_row(d, "1.0").get_attribute("class") == "row selected", "the tree selects it")

    # Edit in place: select a value, Enter, new data; Escape leaves it, Enter sets it.
    click_value(d, "RunCount")
    d.find_element(By.ID, "values-body").send_keys(Keys.ENTER)
    data = d.find_element(By.ID, "edit-data")
    data.send_keys(Keys.CONTROL, "a")
    data.send_keys("0x200")
    check("0x00000200 (512)" in d.find_element(By.ID, "edit-hint").text, "the dialog shows the dword both ways")
    data.send_keys(Keys.ESCAPE)
    check(wait_for(lambda: not shown(d, "edit-dialog"), 2), "Escape closes the edit dialog")
    check(s.value(ARDO, "RunCount") == 187, "and sets nothing")
    d.find_element(By.ID, "values-body").send_keys(Keys.ENTER)
    data.send_keys(Keys.CONTROL, "a")
    data.send_keys("0x200" + Keys.ENTER)
    check(wait_for(lambda: s.value(ARDO, "RunCount") == 512, 3), "Enter, new data, Enter: set in the file")
    check(wait_for(lambda: not shown(d, "edit-dialog"), 3), "and the dialog closes")
    check(wait_for(lambda: ["RunCount", "REG_DWORD", "0x00000200 (512)"] in values(d), 3), "and in the page")

    # A name the file cannot hold is refused in the server's words.
    d.find_element(By.ID, "new-value").click()
    d.find_element(By.ID, "edit-name").send_keys('Ingrid "IH"')
    d.find_element(By.ID, "edit-data").send_keys("x")
    d.find_element(By.ID, "edit-ok").click()
    check(wait_for(lambda: "double quote" in d.find_element(By.ID, "edit-error").text, 3) and
          shown(d, "edit-dialog"), "a double quote in a name: a clear message in the dialog")
    check(s.value(ARDO, 'Ingrid "IH"') is None, "and nothing changed")
    d.find_element(By.ID, "edit-data").send_keys(Keys.ESCAPE)
    check(wait_for(lambda: not shown(d, "edit-dialog"), 2), "Escape closes it")
    click_value(d, "UserName")
    d.find_element(By.ID, "values-body").send_keys(Keys.ENTER)
    data = d.find_element(By.ID, "edit-data")
    data.send_keys(Keys.CONTROL, "a")
    data.send_keys("Ingrid Hallberg-Voss")
    d.find_element(By.ID, "edit-ok").click()
    check(wait_for(lambda: s.value(ARDO, "UserName") == "Ingrid Hallberg-Voss", 3), "Enter edits a string")

    # A new value (Enter in the type's list saves too), a new key (Enter).
    d.find_element(By.ID, "new-value").click()
    d.find_element(By.ID, "edit-name").send_keys("Theme")
    d.find_element(By.ID, "edit-data").send_keys("dark \u00e9t\u00e9")
    d.find_element(By.ID, "edit-type").send_keys(Keys.ENTER)
    check(wait_for(lambda: s.value(ARDO, "Theme") == "dark \u00e9t\u00e9", 3), "New value, Enter in the list")
    d.find_element(By.ID, "new-key").click()
    d.find_element(By.ID, "key-name").send_keys("Nothing" + Keys.ESCAPE)
    check(wait_for(lambda: not shown(d, "key-dialog"), 2) and s.query(ARDO + "\\Nothing") is None,
          "Escape in New key creates nothing")
    d.find_element(By.ID, "new-key").click()
    d.find_element(By.ID, "key-name").send_keys("Nothing")
    d.find_element(By.ID, "key-cancel").click()
    check(not shown(d, "key-dialog") and s.query(ARDO + "\\Nothing") is None, "nor does Cancel")
    d.find_element(By.ID, "new-key").click()
    d.find_element(By.ID, "key-name").send_keys("Plugins" + Keys.ENTER)
    check(wait_for(lambda: s.query(ARDO + "\\Plugins") is not None, 3), "New key, Enter")
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == ARDO + "\\Plugins", 3),
          "and the page goes to it")

    # Delete with confirmation: the key (Delete in the tree, Enter), then a value; Escape
    # after a confirmed delete deletes nothing.
    d.find_element(By.ID, "tree").send_keys(Keys.DELETE)
    check("Plugins" in d.find_element(By.ID, "confirm-text").text, "Delete asks first")
    d.switch_to.active_element.send_keys(Keys.ENTER)
    check(wait_for(lambda: s.query(ARDO + "\\Plugins") is None, 3), "Enter deletes the key")
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == ARDO, 3),
          "and its parent selected")
    wait_for(lambda: ["Theme", "REG_SZ", "dark \u00e9t\u00e9"] in values(d), 3)
    click_value(d, "Theme")
    d.find_element(By.ID, "values-body").send_keys(Keys.DELETE)
    d.switch_to.active_element.send_keys(Keys.ESCAPE)
    check(wait_for(lambda: not shown(d, "confirm-dialog"), 2), "Escape closes the confirmation")
    time.sleep(0.3)
    check(s.value(ARDO, "Theme") == "dark \u00e9t\u00e9", "and deletes nothing")
    click_value(d, "Theme")
    d.find_element(By.ID, "values-body").send_keys(Keys.DELETE)
    d.find_element(By.ID, "confirm-cancel").click()
    time.sleep(0.3)
    check(s.value(ARDO, "Theme") == "dark \u00e9t\u00e9", "nor does Cancel")
    click_value(d, "Theme")
    d.find_element(By.ID, "values-body").send_keys(Keys.DELETE)
    d.find_element(By.ID, "confirm-ok").click()
    check(wait_for(lambda: s.value(ARDO, "Theme") is None, 3), "a value is deleted")

    text_rule(d, s)

    # Search, then go to a result.
    d.find_element(By.ID, "search").send_keys("stair detail" + Keys.ENTER)
    check(wait_for(lambda: "1 match" in d.find_element(By.ID, "results-title").text, 10), "search finds it")
    d.find_element(By.CSS_SELECTOR, "#results .hit a").click()
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == ARDO + "\\RecentFiles" and
                   shown(d, "values-view"), 5), "a result goes to its key")

    # Import: a preview of each change, values before and after; nothing until Apply.
    d.find_element(By.ID, "import").click()
    reg = open(os.path.join(src, "examples", "from-windows.reg"), encoding="utf-8").read()
    reg += '\n[HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0]\n"RunCount"=dword:00000007\n'
    d.execute_script("document.getElementById('import-text').value = arguments[0]", reg)
    before = s.query("-s")
    ActionChains(d).send_keys(Keys.ENTER).perform()  # on the file chooser, which has the focus
    check(wait_for(lambda: d.find_elements(By.CSS_SELECTOR, "table.preview tbody tr"), 5), "Enter: Preview")
    rows = d.execute_script("""return [...document.querySelectorAll('table.preview tbody tr')]
        .map(tr => [...tr.cells].map(td => td.textContent));""")
    check(["set", ARDO, "RunCount", "0x00000200 (512)", "0x00000007 (7)"] in rows,
          "the preview shows a value before and after")
    check(any(r[0] == "set" and r[2] == "Thumbnail" for r in rows) and
          "line 19" in d.find_element(By.ID, "import-preview").text, "and what it skips")
    check(s.query("-s") == before, "the preview changes nothing")
    d.find_element(By.ID, "import-apply").click()
    check(wait_for(lambda: s.value(ARDO, "RunCount") == 7, 5), "Apply imports it")
    d.find_element(By.ID, "import-close").click()
    check(not shown(d, "import-dialog"), "Close closes the import")
    d.find_element(By.ID, "import").click()
    ActionChains(d).send_keys(Keys.ESCAPE).perform()  # to the file chooser, which has the focus
    check(wait_for(lambda: not shown(d, "import-dialog"), 2), "and so does Escape")

    # Export of the selected key, as a file of the browser's.
    downloads = tempfile.mkdtemp(prefix="zrreg-serve-dl.")
    try:
        d.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        d.find_element(By.ID, "export").click()
        got = os.path.join(downloads, "export.reg")
        check(wait_for(lambda: os.path.exists(got) and open(got, encoding="utf-8").read().endswith("\n"), 5),
              "Export downloads a file")
        text = open(got, encoding="utf-8").read()
        check(text.startswith("Windows Registry Editor Version 5.00") and "RecentFiles]" in text,
              "the selected key's .reg file")
    finally:
        shutil.rmtree(downloads, ignore_errors=True)

    # Live: a change by another process shows within a second, without a reload.
    address(d, ARDO)
    t0 = time.monotonic()
    subprocess.run([zrreg, "add", s.file, ARDO, "-v", "Elsewhere", "-d", "from another process"], check=True)
    seen = wait_for(lambda: ["Elsewhere", "REG_SZ", "from another process"] in values(d), 3)
    took = time.monotonic() - t0
    check(seen and took < 1.0, "another process's change shows in the page within a second (%.3f s)" % took)
    subprocess.run([zrreg, "add", s.file, ARDO + "\\FromOutside"], check=True)
    check(wait_for(lambda: d.find_elements(By.XPATH, "//span[@class='label'][.='FromOutside']"), 1.0),
          "and a new key shows in the tree")

    # A reload keeps the page open: the token stays in the tab.
    d.refresh()
    check(wait_for(lambda: d.execute_script("return document.body.dataset.ready === '1'"), 10),
          "a reload keeps the page working")
    check(not d.get_cookies(), "and the browser holds no cookie of the server's")

    if shot:
        address(d, ARDO)
        click_value(d, "UserName")
        d.execute_script("document.getElementById('status-msg').textContent = ''")
        d.save_screenshot(shot)
        print("screenshot:", shot)
        d.find_element(By.ID, "values-body").send_keys(Keys.ENTER)
        d.save_screenshot(os.path.splitext(shot)[0] + "-dialog.png")
        d.find_element(By.ID, "edit-data").send_keys(Keys.ESCAPE)


def text_rule(d, s):
    """The server alone judges what the file can hold: a 9,999-byte bare word, which zrreg
    add takes, is taken; a name zrreg add refuses is refused in its words."""
    def enter(name, text):
        d.find_element(By.ID, "new-value").click()
        d.find_element(By.ID, "edit-name").send_keys(name)
        d.execute_script("document.getElementById('edit-data').value = arguments[0]", text)
        d.find_element(By.ID, "edit-data").send_keys(Keys.ENTER)

    def add(name, text):
        r = subprocess.run([s.zrreg, "add", os.path.basename(s.file), ARDO, "-v", name, "-d", text],
                           capture_output=True, text=True, cwd=s.dir)
        return r.returncode, r.stderr.strip()

    word, long_name = "w" * 9999, "n" * 300
    check(add("ByZrreg", word)[0] == 0, "zrreg add takes a 9,999-byte bare word")
    enter("Word", word)
    check(wait_for(lambda: s.value(ARDO, "Word") == word and not shown(d, "edit-dialog"), 5),
          "and so does the page")
    rc, said = add(long_name, "x")
    check(rc != 0 and said.startswith("zrreg: "), "zrreg add refuses a name of 300 characters")
    enter(long_name, "x")
    check(wait_for(lambda: d.find_element(By.ID, "edit-error").text, 5) == said[len("zrreg: "):],
          "the page refuses it in zrreg's words")
    check(shown(d, "edit-dialog") and s.value(ARDO, long_name) is None, "and sets nothing")
    d.find_element(By.ID, "edit-cancel").click()
    for name in ("Word", "ByZrreg"):
        subprocess.run([zrreg, "delete", s.file, ARDO, "-v", name], check=True, capture_output=True)


def main():
    d = browser()
    s = Served(zrreg, sample)
    try:
        run(d, s)
        leaks(d, s)
        check(s.stop() == 0, "the server ends cleanly")
    finally:
        s.cleanup()
    ro = Served(zrreg, sample, "--read-only")
    try:
        ready(d, ro)
        check(not shown(d, "new-key") and not shown(d, "delete") and not shown(d, "import") and
              shown(d, "export"), "--read-only: no edit controls")
        value_row(d, "(Default)")  # the root's
        check(ro.stop() == 0, "--read-only ends cleanly")
    finally:
        ro.cleanup()
        d.quit()
    print("serve_browser.py: all passed")


main()
