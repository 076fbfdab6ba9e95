#!/usr/bin/env python3
"""zrreg serve's page as a regedit user works it, in Debian's headless Chromium (selenium and
chromedriver): type-ahead in the tree and the values, the context menus (right-click, Shift+F10,
the context-menu key) and what each entry does to the file, F3 through a search's hits, the
splitter by mouse and keyboard, renaming keys and values (the menu and F2), and --read-only's
menus without a change entry.
Exits 77 (skipped) when Chromium, chromedriver or selenium is missing.
Usage: serve_page.py ZRREG SOURCE_DIR [SHOT.png]: beside SHOT, SHOT-menu.png (a key's menu
open), SHOT-split.png (the splitter moved) and SHOT-rename.png (the rename dialog)"""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from serveutil import Served, check, wait_for  # noqa: E402
from chromium import (ActionChains, By, Keys, NoSuchElementException,  # noqa: E402
                      StaleElementReferenceException, browser, ready)

zrreg, src = sys.argv[1], sys.argv[2]
shot = os.path.splitext(sys.argv[3])[0] if len(sys.argv) > 3 else None
sample = os.path.join(src, "examples", "ardo-registry.txt")
LM = "HKEY_LOCAL_MACHINE\\Software\\MORVANE\\Ardo\\1.0"
COMPONENTS = LM + "\\Components"
CU = "HKEY_CURRENT_USER\\Software\\MORVANE\\Ardo\\1.0"


def js(d, script, *args):
    return d.execute_script("return " + script, *args)


def key(d):
    return js(d, "state.selected && state.selected.path")


def value(d):
    return js(d, "state.valueIndex < 0 ? null : valueName(state.values[state.valueIndex])")


def settle(d):
    """Waits until the page has no request in flight, twice in a row: the change before may
    still be redrawing the tree, which would replace the element a test is about to click."""
    calm = 0
    end = time.monotonic() + 10
    while calm < 2 and time.monotonic() < end:
        calm = calm + 1 if js(d, "state.busy") == 0 else 0
        time.sleep(0.05)


def go(d, path, shows="(Default)"):
    """Goes to the key by the address bar, until its value `shows` shows."""
    settle(d)
    a = d.find_element(By.ID, "address")
    a.clear()
    a.send_keys(path + Keys.ENTER)
    check(wait_for(lambda: key(d) == path and shows in js(d, "state.values.map(valueName)"), 5),
          "the address bar goes to " + path)


def focused(d):
    """The focused element's id, or a menu entry's label."""
    return js(d, """document.activeElement.getAttribute('role') === 'menuitem' ?
        document.activeElement.firstChild.textContent : document.activeElement.id""")


def menu(d):
    """The open menu as its entries: a label, '-' a separator, '(label)' a disabled one; None shut."""
    return js(d, """document.getElementById('menu').hidden ? null :
        [...document.querySelectorAll('#menu > li')].map(li => li.getAttribute('role') === 'separator' ? '-' :
            li.hasAttribute('aria-disabled') ? '(' + li.firstChild.textContent + ')' : li.firstChild.textContent)""")


def menu_item(d, label):
    return d.find_element(By.XPATH, "//ul[@id='menu']/li[@role='menuitem'][span[.='%s']]" % label)


def tree_row(d, label):
    return d.find_element(By.XPATH, "//div[@id='tree-space']/div[span[@class='label'][.='%s']]" % label)


def value_row(d, name):
    return d.find_element(By.XPATH, "//tbody[@id='values-body']/tr[td[1][normalize-space(.)='%s']]" % name)


def right_click(d, find):
    """A right-click on find()'s element; the live page may draw its rows anew meanwhile."""
    for _ in range(50):
        try:
            ActionChains(d).context_click(find()).perform()
            return
        except (StaleElementReferenceException, NoSuchElementException):
            time.sleep(0.05)
    raise AssertionError("nothing to right-click")


def press(d, *keys):
    """Keys to the focused element; a leading Shift or Control is held for the rest."""
    if keys and keys[0] in (Keys.SHIFT, Keys.CONTROL):
        ActionChains(d).key_down(keys[0]).send_keys(*keys[1:]).key_up(keys[0]).perform()
    else:
        ActionChains(d).send_keys(*keys).perform()


def menu_key(d):
    """The keyboard's context-menu key, as the browser gets it from the keyboard."""
    for kind in ("rawKeyDown", "keyUp"):
        d.execute_cdp_cmd("Input.dispatchKeyEvent", {"type": kind, "key": "ContextMenu", "code": "ContextMenu",
                                                     "windowsVirtualKeyCode": 93, "nativeVirtualKeyCode": 93})


def shown(d, id_):
    return d.find_element(By.ID, id_).is_displayed()


def type_ahead(d):
    go(d, COMPONENTS)
    tree = d.find_element(By.ID, "tree")
    tree.send_keys(Keys.ARROW_RIGHT)
    check(wait_for(lambda: d.find_elements(By.XPATH, "//span[@class='label'][.='Samples']"), 3), "Components opens")
    # (letters typed at once, a pause before them, the key then selected)
    for typed, pause, want in [
            ("s", 0, "ScriptHost"),       # the next key with the letter
            ("s", 0, "Samples"),          # the same letter again steps on
            ("PDF", 1.3, "PdfExport"),    # a prefix, in any case
            ("r", 1.3, "Renderer"),       # after a pause a new prefix ("pdfr" matches nothing)
            ("e", 0, "Renderer"),         # "re": a longer prefix stays where it still matches
            ("x", 1.3, "Renderer"),       # no match: the selection stays
            ("h", 1.3, "Help"),
            ("c", 1.3, "Components"),     # on round the end, to the parent shown above
    ]:
        time.sleep(pause)
        tree.send_keys(typed)
        check(wait_for(lambda: key(d) == COMPONENTS + ("" if want == "Components" else "\\" + want), 2),
              "tree: %r after %.1f s selects %s (got %s)" % (typed, pause, want, key(d)))
    check(js(d, "document.querySelector('#tree-selected .label').textContent") == "Components" and
          js(d, "document.getElementById('tree').getAttribute('aria-activedescendant')") == "tree-selected",
          "the selected row is drawn selected and the tree's active descendant")
    check(js(d, """[document.getElementById('tree').getAttribute('role'),
                    ...['role', 'aria-level', 'aria-selected', 'aria-expanded'].map(
                        a => document.getElementById('tree-selected').getAttribute(a))]""") ==
          ["tree", "treeitem", "7", "true", "true"], "with the roles and states of a tree")

    go(d, LM, "InstallDate")
    vb = d.find_element(By.ID, "values-body")
    d.execute_script("arguments[0].focus()", vb)
    for typed, pause, want in [
            ("installda", 0, "InstallDate"),  # past InstallDir, to the longer prefix
            ("i", 1.3, "InstallDir"),         # a new prefix: the next "i" round the end
            ("(", 1.3, "(Default)"),
            ("ver", 1.3, "Version"),
            ("v", 1.3, "Version"),            # the only "v": stays
    ]:
        time.sleep(pause)
        vb.send_keys(typed)
        check(wait_for(lambda: value(d) == want, 2), "values: %r after %.1f s selects %s (got %s)"
              % (typed, pause, want, value(d)))
    check(value_row(d, "Version").get_attribute("aria-selected") == "true", "the row says it is selected")


def context_menus(d, s):
    key_entries = ["Expand", "-", "New key…", "New value…", "-", "Delete", "Rename", "-", "Export", "Copy key name"]
    go(d, COMPONENTS)
    tree = d.find_element(By.ID, "tree")
    # A right-click on another row selects it and opens its menu, focus on the first entry.
    right_click(d, lambda: tree_row(d, "Plugins"))
    check(wait_for(lambda: menu(d), 2) == key_entries, "right-click on a key: its menu %s" % menu(d))
    check(key(d) == LM + "\\Plugins", "and the key selected")
    check(js(d, "document.getElementById('menu').getAttribute('role')") == "menu" and focused(d) == "Expand",
          "the menu has the focus on its first entry")
    check(js(d, "document.querySelector('#menu [aria-keyshortcuts=Delete]').firstChild.textContent") == "Delete",
          "an entry names its key")
    press(d, Keys.ARROW_DOWN)
    check(focused(d) == "New key…", "Down moves past the separator")
    press(d, Keys.ARROW_UP, Keys.ARROW_UP)
    check(focused(d) == "Copy key name", "Up moves round the top")
    press(d, Keys.ESCAPE)
    check(menu(d) is None and focused(d) == "tree", "Escape closes it, the focus back in the tree")
    right_click(d, lambda: tree_row(d, "Plugins"))
    d.find_element(By.ID, "address").click()
    check(menu(d) is None, "a click elsewhere closes it")

    # Shift+F10: New key, reaching the file.
    tree.send_keys(Keys.SHIFT, Keys.F10)
    check(wait_for(lambda: menu(d), 2) == key_entries, "Shift+F10 opens the selected key's menu")
    press(d, Keys.ARROW_DOWN, Keys.ENTER)
    check(wait_for(lambda: shown(d, "key-dialog"), 2), "New key… opens its dialog")
    d.find_element(By.ID, "key-name").send_keys("FromMenu" + Keys.ENTER)
    check(wait_for(lambda: s.query(LM + "\\Plugins\\FromMenu") is not None, 3), "and makes the key in the file")
    check(wait_for(lambda: key(d) == LM + "\\Plugins\\FromMenu", 3), "and the page goes to it")

    # The context-menu key, Copy key name (chosen by its letter): the clipboard has the path.
    d.execute_cdp_cmd("Browser.grantPermissions", {"origin": s.url.split("/?")[0],
                      "permissions": ["clipboardReadWrite", "clipboardSanitizedWrite"]})
    d.execute_script("document.getElementById('tree').focus()")
    menu_key(d)
    check(wait_for(lambda: menu(d), 2) == ["(Expand)"] + key_entries[1:],
          "the context-menu key opens it too, Expand disabled for a key without subkeys")
    press(d, "c", Keys.ENTER)
    clip = "navigator.clipboard.readText().then(arguments[0], e => arguments[0]('!' + e))"
    check(wait_for(lambda: d.execute_async_script(clip) == LM + "\\Plugins\\FromMenu", 3), "Copy key name puts the path on the clipboard")
    # Where the browser refuses the clipboard both ways: the path in a dialog, selected.
    d.execute_script("""navigator.clipboard.writeText = () => Promise.reject(new Error('refused'));
                        document.execCommand = () => false;""")
    tree.send_keys(Keys.SHIFT, Keys.F10)
    menu_item(d, "Copy key name").click()
    check(wait_for(lambda: shown(d, "copy-dialog"), 2), "refused: the fallback dialog")
    check(js(d, "[document.activeElement.id, document.activeElement.value.slice(document.activeElement.selectionStart, "
                "document.activeElement.selectionEnd)]") == ["copy-text", LM + "\\Plugins\\FromMenu"],
          "with the path selected for Ctrl+C")
    press(d, Keys.ESCAPE)
    check(wait_for(lambda: not shown(d, "copy-dialog"), 2), "Escape closes it")

    # Delete asks, then deletes.
    tree.send_keys(Keys.SHIFT, Keys.F10)
    menu_item(d, "Delete").click()
    check(wait_for(lambda: shown(d, "confirm-dialog"), 2) and
          "FromMenu" in d.find_element(By.ID, "confirm-text").text, "Delete asks first")
    time.sleep(0.2)
    check(s.query(LM + "\\Plugins\\FromMenu") is not None, "and deletes nothing before the answer")
    press(d, Keys.ENTER)
    check(wait_for(lambda: s.query(LM + "\\Plugins\\FromMenu") is None, 3), "Enter deletes the key")
    check(wait_for(lambda: key(d) == LM + "\\Plugins", 3), "and its parent is selected")

    # The root's menu: nothing to delete or copy, and the arrows pass them by.
    right_click(d, lambda: tree_row(d, "My Computer"))
    check(wait_for(lambda: menu(d), 2) == ["Collapse", "-", "New key…", "New value…", "-", "(Delete)", "(Rename)",
                                           "-", "Export", "(Copy key name)"], "the root's menu: %s" % menu(d))
    press(d, Keys.END)
    check(focused(d) == "Export", "End skips a disabled entry")
    press(d, Keys.ENTER)  # Enter chooses: here a download, which the menu only starts
    check(menu(d) is None and focused(d) == "tree", "Enter closes the menu, focus back in the tree")

    # A value's menu: Modify, Delete; the values' empty area: New value.
    go(d, LM, "Seats")
    right_click(d, lambda: value_row(d, "Seats"))
    check(wait_for(lambda: menu(d), 2) == ["Modify…", "-", "Delete", "Rename"] and value(d) == "Seats",
          "right-click on a value selects it and opens its menu")
    press(d, Keys.ENTER)
    check(wait_for(lambda: shown(d, "edit-dialog"), 2) and
          d.find_element(By.ID, "edit-data").get_attribute("value") == "25", "Modify… edits it")
    d.find_element(By.ID, "edit-data").send_keys(Keys.CONTROL, "a")
    d.find_element(By.ID, "edit-data").send_keys("30" + Keys.ENTER)
    check(wait_for(lambda: s.value(LM, "Seats") == 30, 3), "and sets it in the file")
    vb = d.find_element(By.ID, "values-body")
    vb.send_keys(Keys.SHIFT, Keys.F10)
    check(wait_for(lambda: menu(d), 2) == ["Modify…", "-", "Delete", "Rename"] and value(d) == "Seats",
          "Shift+F10 on the values: the selected value's menu")
    menu_item(d, "Delete").click()
    check(wait_for(lambda: "Seats" in d.find_element(By.ID, "confirm-text").text, 2), "Delete asks first")
    d.find_element(By.ID, "confirm-ok").click()
    check(wait_for(lambda: s.value(LM, "Seats") is None, 3), "and deletes the value, not the key")
    check(s.query(LM) is not None, "the key stays")
    view = d.find_element(By.ID, "values-view")
    ActionChains(d).move_to_element_with_offset(view, 0, view.size["height"] // 2 - 10).context_click().perform()
    check(wait_for(lambda: menu(d), 2) == ["New value…"], "right-click below the values: New value… only")
    press(d, Keys.ENTER)
    check(wait_for(lambda: shown(d, "edit-dialog"), 2) and
          d.find_element(By.ID, "edit-title").text == "New value", "it opens New value")
    d.find_element(By.ID, "edit-name").send_keys("FromMenu")
    d.find_element(By.ID, "edit-data").send_keys("made" + Keys.ENTER)
    check(wait_for(lambda: s.value(LM, "FromMenu") == "made", 3), "which reaches the file")

    if shot:
        go(d, "HKEY_LOCAL_MACHINE")
        d.find_element(By.ID, "tree").send_keys(Keys.ARROW_LEFT)
        go(d, CU, "UserName")
        if not js(d, "state.selected.expanded"):
            d.find_element(By.ID, "tree").send_keys(Keys.ARROW_RIGHT)
        wait_for(lambda: d.find_elements(By.XPATH, "//span[@class='label'][.='Window']"), 3)
        right_click(d, lambda: d.find_element(By.ID, "tree-selected"))
        wait_for(lambda: menu(d), 2)
        d.execute_script("document.getElementById('status-msg').textContent = ''")
        d.save_screenshot(shot + "-menu.png")
        print("screenshot:", shot + "-menu.png")
        press(d, Keys.ESCAPE)


def rename_dialog(d):
    """The open rename dialog as [its field's text, the part of it selected, the focused id]; None shut."""
    return js(d, """!document.getElementById('rename-dialog').open ? null :
        ((f) => [f.value, f.value.slice(f.selectionStart, f.selectionEnd), document.activeElement.id])(
            document.getElementById('rename-name'))""")


def subkeys(d, node="state.selected.parent"):
    return js(d, "%s.children.map(c => c && c.name)" % node)


def renames(d, s):
    go(d, COMPONENTS)
    if not js(d, "state.selected.expanded"):
        d.find_element(By.ID, "tree").send_keys(Keys.ARROW_RIGHT)
    check(wait_for(lambda: d.find_elements(By.XPATH, "//span[@class='label'][.='Renderer']"), 3), "Components opens")
    order = subkeys(d, "state.selected")
    # By the menu: the dialog has the name selected; Enter renames in the file, in place.
    right_click(d, lambda: tree_row(d, "Renderer"))
    check(wait_for(lambda: menu(d), 2) is not None, "Renderer's menu")
    menu_item(d, "Rename").click()
    check(wait_for(lambda: rename_dialog(d), 2) == ["Renderer", "Renderer", "rename-name"],
          "Rename opens its dialog, the name selected: %s" % rename_dialog(d))
    if shot:
        d.execute_script("document.getElementById('status-msg').textContent = ''")
        d.save_screenshot(shot + "-rename.png")
        print("screenshot:", shot + "-rename.png")
    press(d, "Painter", Keys.ENTER)
    check(wait_for(lambda: s.query(COMPONENTS + "\\Painter") is not None, 3) and
          s.query(COMPONENTS + "\\Renderer") is None, "the key is renamed in the file")
    check(wait_for(lambda: rename_dialog(d) is None and key(d) == COMPONENTS + "\\Painter", 3),
          "the dialog closes, the renamed key selected (%s)" % key(d))
    check(wait_for(lambda: subkeys(d) == [n if n != "Renderer" else "Painter" for n in order], 3),
          "in its place among its siblings: %s" % subkeys(d))
    check(wait_for(lambda: js(d, "document.querySelector('#tree-selected .label').textContent") == "Painter"
                   and focused(d) == "tree", 3), "drawn selected by its new name, the focus in the tree")

    # F2 on an expanded key: it stays expanded, and its subkeys answer by their new paths.
    parts = LM + "\\Parts"
    d.find_element(By.ID, "tree").send_keys(Keys.ARROW_LEFT)
    check(wait_for(lambda: key(d) == COMPONENTS, 2), "back to Components")
    press(d, Keys.F2)
    check(wait_for(lambda: rename_dialog(d), 2) == ["Components", "Components", "rename-name"], "F2 renames a key")
    press(d, "Parts", Keys.ENTER)
    check(wait_for(lambda: s.query(parts + "\\Painter") is not None, 3), "with its subtree, in the file")
    check(wait_for(lambda: key(d) == parts and js(d, "state.selected.expanded") and
                   d.find_elements(By.XPATH, "//span[@class='label'][.='Core']"), 3), "still selected and open")
    settle(d)
    tree_row(d, "Core").click()
    check(wait_for(lambda: key(d) == parts + "\\Core" and "Installed" in js(d, "state.values.map(valueName)"), 3),
          "a subkey's values load by its new path")

    # A name that is taken: the server's words, the dialog open, nothing changed; Escape cancels.
    press(d, Keys.F2)
    check(wait_for(lambda: rename_dialog(d), 2) is not None, "F2 again")
    press(d, "Painter", Keys.ENTER)
    check(wait_for(lambda: d.find_element(By.ID, "rename-error").text, 3), "a taken name: a message")
    said = d.find_element(By.ID, "rename-error").text
    check("Painter" in said or "exist" in said, "in the server's words: %s" % said)
    check(rename_dialog(d) is not None, "and the dialog stays open")
    check(s.query(parts + "\\Core") is not None and s.query(parts + "\\Painter") is not None, "nothing changed")
    press(d, Keys.ESCAPE)
    check(wait_for(lambda: rename_dialog(d) is None, 2) and key(d) == parts + "\\Core", "Escape cancels")
    press(d, Keys.F2)
    check(wait_for(lambda: rename_dialog(d), 2) is not None, "F2 again")
    press(d, "Gone", Keys.ESCAPE)
    check(wait_for(lambda: rename_dialog(d) is None, 2) and s.query(parts + "\\Gone") is None and
          s.query(parts + "\\Core") is not None, "Escape after typing renames nothing")
    check(focused(d) == "tree", "the focus back in the tree")
    press(d, Keys.F2)
    check(wait_for(lambda: rename_dialog(d), 2) is not None, "F2 again")
    press(d, "CORE", Keys.ENTER)
    check(wait_for(lambda: parts + "\\CORE" in s.query(parts)["keys"][0]["subkeys"], 3),
          "a new case of the same name renames in the file")
    check(wait_for(lambda: key(d) == parts + "\\CORE" and subkeys(d)[0] == "CORE", 3),
          "and in the tree, in its place, selected: %s %s" % (key(d), subkeys(d)))

    # A top-level key: Rename disabled, F2 does nothing.
    go(d, "HKEY_LOCAL_MACHINE")
    d.find_element(By.ID, "tree").send_keys(Keys.SHIFT, Keys.F10)
    check(wait_for(lambda: menu(d), 2) is not None and "(Rename)" in menu(d), "a top-level key: %s" % menu(d))
    press(d, Keys.ESCAPE)
    press(d, Keys.F2)
    time.sleep(0.2)
    check(rename_dialog(d) is None, "and F2 opens nothing there")

    # Values: by the menu and by F2, in place; a taken name; the default value keeps its name.
    go(d, LM, "InstallDir")
    names = js(d, "state.values.map(valueName)")
    right_click(d, lambda: value_row(d, "InstallDir"))
    check(wait_for(lambda: menu(d), 2) == ["Modify…", "-", "Delete", "Rename"], "a value's menu")
    menu_item(d, "Rename").click()
    check(wait_for(lambda: rename_dialog(d), 2) == ["InstallDir", "InstallDir", "rename-name"],
          "Rename opens the dialog on the value")
    press(d, "Folder", Keys.ENTER)
    check(wait_for(lambda: s.value(LM, "Folder") == "C:\\Program Files\\MORVANE\\Ardo", 3) and
          s.value(LM, "InstallDir") is None, "the value is renamed in the file, its data kept")
    renamed = [n if n != "InstallDir" else "Folder" for n in names]
    check(wait_for(lambda: js(d, "state.values.map(valueName)") == renamed and value(d) == "Folder", 3),
          "in its place, selected: %s" % js(d, "state.values.map(valueName)"))
    check(focused(d) == "values-body", "the focus back in the values")
    press(d, Keys.F2)
    check(wait_for(lambda: rename_dialog(d), 2) == ["Folder", "Folder", "rename-name"], "F2 renames a value")
    press(d, "Version", Keys.ENTER)
    check(wait_for(lambda: d.find_element(By.ID, "rename-error").text, 3) and rename_dialog(d) is not None,
          "a taken value name: a message, the dialog open")
    check(s.value(LM, "Folder") is not None and s.value(LM, "Version") == "1.0.412", "nothing changed")
    d.find_element(By.ID, "rename-name").send_keys(Keys.CONTROL, "a")
    d.find_element(By.ID, "rename-name").send_keys("Home" + Keys.ENTER)
    check(wait_for(lambda: s.value(LM, "Home") is not None and s.value(LM, "Folder") is None, 3), "a free one does")
    check(wait_for(lambda: value(d) == "Home", 3), "and stays selected")
    right_click(d, lambda: value_row(d, "(Default)"))
    check(wait_for(lambda: menu(d), 2) is not None and menu(d)[-1] == "(Rename)",
          "the default value cannot be renamed: %s" % menu(d))
    press(d, Keys.ESCAPE)


def at_hit(d, name):
    """At the hit in Components\\NAME, its value selected and focused: F3 done with it."""
    return key(d) == COMPONENTS + "\\" + name and value(d) == "Installed" and focused(d) == "values-body"


def f3(d):
    d.execute_script("document.getElementById('tree').focus()")
    press(d, Keys.F3)
    check(focused(d) == "search", "F3 before any search goes to the search box")
    d.find_element(By.ID, "search-exact").click()
    d.find_element(By.ID, "search").send_keys("Installed" + Keys.ENTER)
    check(wait_for(lambda: "6 matches" in d.find_element(By.ID, "results-title").text, 10), "a search: 6 hits")
    hits = ["Core", "Renderer", "ScriptHost", "PdfExport", "Samples", "Help"]
    for i, name in enumerate(hits):
        press(d, Keys.F3)
        check(wait_for(lambda: at_hit(d, name), 3) and shown(d, "values-view"),
              "F3 #%d: %s, its matching value selected" % (i + 1, name))
    press(d, Keys.F3)
    check(wait_for(lambda: "last of 6" in d.find_element(By.ID, "status-msg").text, 2) and
          key(d) == COMPONENTS + "\\Help", "F3 after the last hit stops there and says so")
    press(d, Keys.SHIFT, Keys.F3)
    check(wait_for(lambda: at_hit(d, "Samples"), 3), "Shift+F3 goes back")
    d.find_element(By.ID, "search").send_keys(Keys.ENTER)
    check(wait_for(lambda: "6 matches" in d.find_element(By.ID, "results-title").text and
                   shown(d, "results-view"), 10), "the hits again")
    d.find_elements(By.CSS_SELECTOR, "#results .hit a")[2].click()
    check(wait_for(lambda: at_hit(d, "ScriptHost"), 3), "a click goes to a hit")
    press(d, Keys.F3)
    check(wait_for(lambda: at_hit(d, "PdfExport"), 3), "and F3 on from it")
    for _ in range(4):
        press(d, Keys.SHIFT, Keys.F3)
    check(wait_for(lambda: "first of 6" in d.find_element(By.ID, "status-msg").text, 2) and
          key(d) == COMPONENTS + "\\Core", "Shift+F3 stops at the first")


def splitter(d, s):
    sp = d.find_element(By.ID, "splitter")
    width = lambda: js(d, "document.getElementById('tree-pane').getBoundingClientRect().width")
    right = lambda: js(d, "document.getElementById('right-pane').getBoundingClientRect().width")
    now = lambda: int(d.find_element(By.ID, "splitter").get_attribute("aria-valuenow"))
    check(sp.get_attribute("role") == "separator" and sp.get_attribute("aria-orientation") == "vertical" and
          now() == round(width()), "the splitter is a separator with its value")
    w0, r0 = width(), right()
    ActionChains(d).click_and_hold(sp).move_by_offset(60, 0).move_by_offset(60, 0).release().perform()
    check(abs(width() - (w0 + 120)) <= 1 and abs(right() - (r0 - 120)) <= 1 and now() == round(width()),
          "a drag of 120 px widens the tree and narrows the values as much (%d -> %d)" % (w0, width()))
    check(js(d, "sessionStorage.getItem('zrreg-split')") == str(now()), "the width is kept")
    check(focused(d) == "splitter", "and the splitter has the focus")
    w1 = now()
    for what, keys, want in [("Left", (Keys.ARROW_LEFT,), w1 - 10),
                             ("Right Right", (Keys.ARROW_RIGHT, Keys.ARROW_RIGHT), w1 + 10),
                             ("Shift+Left", (Keys.SHIFT, Keys.ARROW_LEFT), w1 - 40),
                             ("Home", (Keys.HOME,), 150)]:
        press(d, *keys)
        check(now() == want and round(width()) == want, "%s: %d px (%d)" % (what, want, now()))
    press(d, Keys.END)
    check(abs(right() - 150) <= 1, "End: the values keep their least width")
    ActionChains(d).click_and_hold(sp).move_by_offset(-1000, 0).release().perform()
    check(now() == 150, "a drag past the edge stops at the least width")
    ActionChains(d).click_and_hold(sp).move_by_offset(280, 0).release().perform()
    kept = now()
    d.refresh()
    check(wait_for(lambda: d.execute_script("return document.body.dataset.ready === '1'"), 10) and
          now() == kept and round(width()) == kept, "a reload keeps the width")
    if shot:
        go(d, LM)
        d.execute_script("document.getElementById('status-msg').textContent = ''")
        d.save_screenshot(shot + "-split.png")
        print("screenshot:", shot + "-split.png")


def read_only(d, ro):
    ready(d, ro)
    go(d, LM, "Seats")
    right_click(d, lambda: tree_row(d, "1.0"))
    check(wait_for(lambda: menu(d), 2) == ["Expand", "-", "Export", "Copy key name"],
          "--read-only: a key's menu without a change entry: %s" % menu(d))
    press(d, Keys.ESCAPE)
    right_click(d, lambda: value_row(d, "Seats"))
    time.sleep(0.2)
    check(menu(d) is None and value(d) == "Seats", "a value's menu, all changes, does not open")
    d.find_element(By.ID, "values-body").send_keys(Keys.SHIFT, Keys.F10)
    time.sleep(0.2)
    check(menu(d) is None, "nor by Shift+F10")
    for pane in ("tree", "values-body"):
        d.execute_script("document.getElementById(arguments[0]).focus()", pane)
        press(d, Keys.F2)
        time.sleep(0.2)
        check(rename_dialog(d) is None, "F2 in the %s renames nothing" % pane)


def address_while_typing(d, s):
    """A refresh that moves the selection (another client deleted the key) leaves the address
    being typed alone."""
    doomed = LM + "\\Doomed"
    check(s.json("POST", "/api/create", {"path": doomed})[0] == 200, "another client makes a key")
    go(d, doomed)
    a = d.find_element(By.ID, "address")
    a.click()
    a.send_keys(Keys.CONTROL, "a")
    a.send_keys("HKEY_LOCAL_MACHINE\\Sof")
    check(s.json("POST", "/api/delete", {"path": doomed})[0] == 200, "and deletes it")
    check(wait_for(lambda: key(d) == LM, 5), "the page selects its parent")
    check(a.get_attribute("value") == "HKEY_LOCAL_MACHINE\\Sof", "the address typed so far is kept: %s" %
          a.get_attribute("value"))
    a.send_keys("tware", Keys.ENTER)
    check(wait_for(lambda: key(d) == "HKEY_LOCAL_MACHINE\\Software", 5), "and Enter goes where it says")


def main():
    d = browser()
    s = Served(zrreg, sample)
    try:
        ready(d, s)
        type_ahead(d)
        context_menus(d, s)
        f3(d)
        splitter(d, s)
        renames(d, s)
        address_while_typing(d, s)
        check(s.stop() == 0, "the server ends cleanly")
    finally:
        s.cleanup()
    ro = Served(zrreg, sample, "--read-only")
    try:
        read_only(d, ro)
        check(ro.stop() == 0, "--read-only ends cleanly")
    finally:
        ro.cleanup()
        d.quit()
    print("serve_page.py: all passed")


main()
