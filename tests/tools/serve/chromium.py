"""Headless Chromium for the page's tests: Debian's chromium through selenium and
chromedriver. Importing this exits 77 (skipped) when any of them is missing."""
import os
import shutil
import sys

from serveutil import SKIP, check, wait_for

_chromium = shutil.which("chromium") or "/usr/bin/chromium"
_driver = shutil.which("chromedriver") or "/usr/bin/chromedriver"
_me = os.path.basename(sys.argv[0])
try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By  # noqa: F401
    from selenium.webdriver.common.keys import Keys  # noqa: F401
    from selenium.webdriver.common.action_chains import ActionChains  # noqa: F401
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException  # noqa: F401
except ImportError:
    print("%s: skipped: no selenium (python3-selenium)" % _me)
    sys.exit(SKIP)
if not (os.access(_chromium, os.X_OK) and os.access(_driver, os.X_OK)):
    print("%s: skipped: no chromium or chromedriver" % _me)
    sys.exit(SKIP)


def browser():
    o = webdriver.ChromeOptions()
    o.binary_location = _chromium
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1200,720", "--force-device-scale-factor=1"):
        o.add_argument(a)
    return webdriver.Chrome(service=Service(_driver), options=o)


def ready(d, s):
    """Opens the printed address and waits for the page; the token leaves the address bar."""
    d.get(s.url)
    check(wait_for(lambda: d.execute_script("return document.body.dataset.ready === '1'"), 10),
          "the page opens")
    check("token" not in d.current_url, "the token leaves the address bar")
