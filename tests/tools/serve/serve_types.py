#!/usr/bin/env python3
"""zrreg serve's page with a key of every value type (tools/data/types.reg, imported through the
page's server), in Debian's headless Chromium: each type's data as the values table shows it,
and the edit dialog's field, hint and what it sets for a REG_MULTI_SZ (one string a line),
bytes and a 64-bit integer. Where the library does not store every type yet, the page gets
the key's values of types.json in place of the server's answer (a wrapper of fetch) and the
sets the server would refuse are checked as the page sends them.
Exits 77 (skipped) when Chromium, chromedriver or selenium is missing.
Usage: serve_types.py ZRREG SOURCE_DIR [SHOT.png]: beside SHOT, SHOT-lines.png (a REG_MULTI_SZ
in the edit dialog)"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serveutil import Served, check, wait_for  # noqa: E402
from chromium import By, Keys, browser, ready  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

zrreg, src = sys.argv[1], sys.argv[2]
shot = sys.argv[3] if len(sys.argv) > 3 else None
data = os.path.join(src, "tests", "tools", "data")
KEY = "HKEY_CURRENT_USER\\Software\\MORVANE\\Types"
TYPES = json.load(open(os.path.join(data, "types.json"), encoding="utf-8"))

# In place of the server's answers while the library stores only strings and dwords: the
# key's values as types.json has them, and a set of another type kept as sent.
STAND_IN = """
const values = %s, key = %s;
window.sent = [];
const real = window.fetch;
window.fetch = async (url, init) => {
  const u = new URL(url, location.href);
  if (u.pathname === '/api/key' && u.searchParams.get('path') === key) {
    const body = await (await real(url, init)).json();
    body.keys[0].values = values;
    return new Response(JSON.stringify(body), { status: 200 });
  }
  if (u.pathname === '/api/set') {
    const b = JSON.parse(init.body);
    window.sent.push(b);
    if (b.type !== 'REG_SZ' && b.type !== 'REG_DWORD') return new Response('{}', { status: 200 });
  }
  return real(url, init);
};
"""


def shown_as(v):
    """A value's data as the table shows it, by its JSON form (independent of the page's)."""
    d, t = v["data"], v["type"]
    pairs = lambda h: " ".join(h[i:i + 2] for i in range(0, len(h), 2))  # noqa: E731
    if d is None:
        return pairs(v["bytes"])
    if t == "REG_MULTI_SZ":
        return "".join(d)  # each string in a box of its own: the cell's text runs them together
    if t in ("REG_DWORD", "REG_DWORD_BIG_ENDIAN"):
        return "0x%08x (%d)" % (d & 0xFFFFFFFF, d)
    if t == "REG_QWORD":
        return "0x%016x (%d)" % (int(d), int(d))
    if t in ("REG_SZ", "REG_EXPAND_SZ", "REG_LINK"):
        return d
    return pairs(d)


def rows(d):
    return d.execute_script("""return [...document.querySelectorAll('#values-body tr')]
        .map(tr => [...tr.cells].map(td => td.textContent));""")


def edit(d, name):
    """Opens the edit dialog of a value by double-clicking its row."""
    row = d.find_element(By.XPATH, "//tbody[@id='values-body']/tr[td[1][normalize-space(.)='%s']]" % name)
    d.execute_script("arguments[0].dispatchEvent(new MouseEvent('dblclick', {bubbles: true}))", row)
    check(wait_for(lambda: d.find_element(By.ID, "edit-dialog").is_displayed(), 3), "the dialog of " + name)


def run(d, s):
    with open(os.path.join(data, "types.reg"), "rb") as f:
        st, r = s.json("POST", "/api/import?dry_run=0", f.read(), headers={"Content-Type": "text/plain"})
    check(st == 200, "types.reg imported: %s" % r)
    real = not r["skipped"]
    if not real:
        print("the library does not store every type yet: the page gets the values of types.json")
        d.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                          {"source": STAND_IN % (json.dumps(TYPES), json.dumps(KEY))})
    ready(d, s)
    a = d.find_element(By.ID, "address")
    a.clear()
    a.send_keys(KEY + Keys.ENTER)
    want = [[v["name"] or "(Default)", v["type"], shown_as(v)] for v in TYPES]
    check(wait_for(lambda: rows(d) == want, 5), "every type's data as the table shows it: %s" % rows(d))
    lines = d.execute_script("""return [...document.querySelectorAll('#values-body tr')]
        .filter(tr => tr.cells[1].textContent === 'REG_MULTI_SZ')
        .map(tr => [...tr.querySelectorAll('.line-item')].map(s => s.textContent));""")
    check(lines == [v["data"] for v in TYPES if v["type"] == "REG_MULTI_SZ"], "a REG_MULTI_SZ's strings in boxes")
    if shot:
        d.save_screenshot(shot)
        print("screenshot:", shot)

    def set_as(name, type_, sent, stored):
        """Whether the page set the value: stored so, or (without the library's types) sent so."""
        if real:
            return wait_for(lambda: s.value(KEY, name) == stored, 3)
        return wait_for(lambda: {"path": KEY, "name": name, "type": type_, "data": sent} in
                        d.execute_script("return window.sent"), 3)

    # A REG_MULTI_SZ is edited one string a line, in a text area.
    edit(d, "Recent")
    area = d.find_element(By.ID, "edit-lines")
    check(area.is_displayed() and not d.find_element(By.ID, "edit-data").is_displayed() and
          area.get_attribute("value") == "D:\\Plans\\Site.ard\nB\u00fcro\nC:\\Temp\\x.ard",
          "REG_MULTI_SZ: a text area, one string a line")
    check(d.find_element(By.ID, "edit-hint").text == "one string a line", "and says so")
    area.send_keys(Keys.CONTROL, "a")
    area.send_keys("a" + Keys.ENTER + "b \u00e9" + Keys.ENTER + Keys.ENTER + "c")
    if shot:
        d.save_screenshot(os.path.splitext(shot)[0] + "-lines.png")
    d.find_element(By.ID, "edit-ok").click()
    new = ["a", "b \u00e9", "", "c"]
    check(set_as("Recent", "REG_MULTI_SZ", new, new), "set as a list of strings")
    check(wait_for(lambda: not d.find_element(By.ID, "edit-dialog").is_displayed(), 3), "and the dialog closes")

    # New values: the type's list is the server's table; each type's field and hint.
    cases = [("Blob", "REG_BINARY", "de ad,BE ef", "4 bytes", "deadbeef"),
             ("Huge", "REG_QWORD", "18446744073709551615", "0xffffffffffffffff (18446744073709551615)",
              "18446744073709551615"),
             ("Neg", "REG_DWORD", "-1920", "0xfffff880 (-1920)", -1920)]
    for name, type_, typed, hint, stored in cases:
        d.find_element(By.ID, "new-value").click()
        types = Select(d.find_element(By.ID, "edit-type"))
        check(len(types.options) == 12 and types.options[0].text == "REG_NONE", "the table's 12 types")
        d.find_element(By.ID, "edit-name").send_keys(name)
        types.select_by_visible_text(type_)
        field = d.find_element(By.ID, "edit-data")
        field.send_keys(typed)
        check(d.find_element(By.ID, "edit-hint").text == hint, "%s %r: the hint %r" % (type_, typed, hint))
        field.send_keys(Keys.ENTER)
        check(set_as(name, type_, typed, stored), "%s set" % type_)
    d.find_element(By.ID, "new-value").click()
    Select(d.find_element(By.ID, "edit-type")).select_by_visible_text("REG_QWORD")
    d.find_element(By.ID, "edit-data").send_keys("18446744073709551616")
    check(d.find_element(By.ID, "edit-hint").text.startswith("decimal, negative, or hexadecimal"),
          "a number beyond 64 bits: the hint says what is wanted")
    d.find_element(By.ID, "edit-cancel").click()


def main():
    d = browser()
    s = Served(zrreg, os.path.join(data, "empty.txt"))
    try:
        run(d, s)
        check(s.stop() == 0, "the server ends cleanly")
    finally:
        s.cleanup()
        d.quit()
    print("serve_types.py: all passed")


main()
