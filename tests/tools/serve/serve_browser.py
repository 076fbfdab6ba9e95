#!/usr/bin/env python3
"""zrreg serve in a real browser: Debian's headless Chromium (through selenium and
chromedriver) opens the page, browses, edits, searches, imports with a preview, and each
change is looked up in the file with zrreg query from another process; a change made by
another process shows in the page within a second; --read-only shows no edit controls.
Exits 77 (skipped) when Chromium, chromedriver or selenium is missing.
Usage: serve_browser.py ZRREG SOURCE_DIR [SCREENSHOT.png]"""
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serveutil import SKIP, Served, check, wait_for  # noqa: E402

zrreg, src = sys.argv[1], sys.argv[2]
shot = sys.argv[3] if len(sys.argv) > 3 else None
sample = os.path.join(src, "examples", "ardo-registry.txt")
ARDO = "HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0"

chromium = shutil.which("chromium") or "/usr/bin/chromium"
driver_bin = shutil.which("chromedriver") or "/usr/bin/chromedriver"
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
except ImportError:
    print("serve_browser.py: skipped: no selenium (python3-selenium)")
    sys.exit(SKIP)
if not (os.access(chromium, os.X_OK) and os.access(driver_bin, os.X_OK)):
    print("serve_browser.py: skipped: no chromium or chromedriver")
    sys.exit(SKIP)


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = chromium
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1200,720", "--force-device-scale-factor=1"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service(driver_bin), options=o)


def ready(d, s):
    d.get(s.url)
    check(wait_for(lambda: d.execute_script("return document.body.dataset.ready === '1'"), 10),
          "the page opens")
    check("token" not in d.current_url, "the token leaves the address bar")


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

    # Edit in place: select a value, Enter, new data, OK.
    click_value(d, "RunCount")
    d.find_element(By.ID, "values-body").send_keys(Keys.ENTER)
    data = d.find_element(By.ID, "edit-data")
    data.send_keys(Keys.CONTROL, "a")
    data.send_keys("0x200")
    check("0x00000200 (512)" in d.find_element(By.ID, "edit-hint").text, "the dialog shows the dword both ways")
    d.find_element(By.ID, "edit-ok").click()
    check(wait_for(lambda: s.value(ARDO, "RunCount") == 512, 3), "Enter, new data, OK: set in the file")
    check(wait_for(lambda: ["RunCount", "REG_DWORD", "0x00000200 (512)"] in values(d), 3), "and in the page")

    # F2 edits too; a text the file cannot hold is refused before anything is sent.
    click_value(d, "UserName")
    d.find_element(By.ID, "values-body").send_keys(Keys.F2)
    data = d.find_element(By.ID, "edit-data")
    data.send_keys(Keys.CONTROL, "a")
    data.send_keys('Ingrid "IH" Hallberg')
    d.find_element(By.ID, "edit-ok").click()
    err = d.find_element(By.ID, "edit-error").text
    check("double quote" in err and shown(d, "edit-dialog"), "a double quote: a clear message in the dialog")
    check(s.value(ARDO, "UserName") == "Ingrid Hallberg", "and nothing changed")
    data.send_keys(Keys.CONTROL, "a")
    data.send_keys("Ingrid Hallberg-Voss")
    d.find_element(By.ID, "edit-ok").click()
    check(wait_for(lambda: s.value(ARDO, "UserName") == "Ingrid Hallberg-Voss", 3), "F2 edits a string")

    # A new value, a new key.
    d.find_element(By.ID, "new-value").click()
    d.find_element(By.ID, "edit-name").send_keys("Theme")
    d.find_element(By.ID, "edit-data").send_keys("dark \u00e9t\u00e9")
    d.find_element(By.ID, "edit-ok").click()
    check(wait_for(lambda: s.value(ARDO, "Theme") == "dark \u00e9t\u00e9", 3), "New value")
    d.find_element(By.ID, "new-key").click()
    d.find_element(By.ID, "key-name").send_keys("Plugins")
    d.find_element(By.ID, "key-ok").click()
    check(wait_for(lambda: s.query(ARDO + "\\Plugins") is not None, 3), "New key")
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == ARDO + "\\Plugins", 3),
          "and the page goes to it")

    # Delete with confirmation: the key (Delete in the tree), then a value.
    d.find_element(By.ID, "tree").send_keys(Keys.DELETE)
    check("Plugins" in d.find_element(By.ID, "confirm-text").text, "Delete asks first")
    d.find_element(By.ID, "confirm-ok").click()
    check(wait_for(lambda: s.query(ARDO + "\\Plugins") is None, 3), "the key is deleted")
    check(wait_for(lambda: d.find_element(By.ID, "address").get_attribute("value") == ARDO, 3),
          "and its parent selected")
    wait_for(lambda: ["Theme", "REG_SZ", "dark \u00e9t\u00e9"] in values(d), 3)
    click_value(d, "Theme")
    d.find_element(By.ID, "values-body").send_keys(Keys.DELETE)
    d.find_element(By.ID, "confirm-ok").click()
    check(wait_for(lambda: s.value(ARDO, "Theme") is None, 3), "a value is deleted")

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
    d.find_element(By.ID, "import-check").click()
    check(wait_for(lambda: d.find_elements(By.CSS_SELECTOR, "table.preview tbody tr"), 5), "Preview")
    rows = d.execute_script("""return [...document.querySelectorAll('table.preview tbody tr')]
        .map(tr => [...tr.cells].map(td => td.textContent));""")
    check(["set", ARDO, "RunCount", "0x00000200 (512)", "0x00000007 (7)"] in rows,
          "the preview shows a value before and after")
    check(any(r[0] == "set" and r[2] == "File1" for r in rows) and
          "line 13" in d.find_element(By.ID, "import-preview").text, "and what it skips")
    check(s.query("-s") == before, "the preview changes nothing")
    d.find_element(By.ID, "import-apply").click()
    check(wait_for(lambda: s.value(ARDO, "RunCount") == 7, 5), "Apply imports it")
    d.find_element(By.CSS_SELECTOR, "#import-form button[value=cancel]").click()

    # Export of the selected key.
    href = d.find_element(By.ID, "export").get_attribute("href")
    text = d.execute_script("return fetch(arguments[0]).then(r => r.text())", href)
    check(text.startswith("Windows Registry Editor Version 5.00") and "RecentFiles]" in text,
          "Export gives the selected key's .reg file")

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

    if shot:
        address(d, ARDO)
        click_value(d, "UserName")
        d.execute_script("document.getElementById('status-msg').textContent = ''")
        d.save_screenshot(shot)
        print("screenshot:", shot)


def main():
    d = browser()
    s = Served(zrreg, sample)
    try:
        run(d, s)
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
