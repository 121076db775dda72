"""reader-service's page in headless Chromium against a live bus (page_check.py URL SCREENSHOT):
a value changes without a reload, a silent instrument shows offline, a break as a break; after
the screenshot and "ok", a line on stdin (the service stopped) must show on the page."""
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

url, shot = sys.argv[1:3]
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1100,900", "--user-data-dir=" + tempfile.mkdtemp()):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def text(selector):
    return driver.execute_script(  # cards are drawn anew at each update
        "const e = document.querySelector(arguments[0]); return e ? e.textContent : null", selector)


def wait(what, check, seconds=15):
    end = time.time() + seconds
    while time.time() < end and not check():
        time.sleep(0.1)
    if check():
        return
    print("failed: " + what, flush=True)
    sys.exit(1)


try:
    driver.get(url)
    driver.execute_script("window.loadMark = 1")  # gone if the page reloads
    value = '.card[data-key="a/1"] td[data-ch="1"]'
    wait("a value shows", lambda: text(value) not in (None, ""))
    first = text(value)
    wait("the value changes live", lambda: text(value) != first)
    wait("instrument 2 offline", lambda: "offline" in (text('.card[data-key="a/2"] .badge') or ""))
    wait("a break shows as such", lambda: text('.card[data-key="a/3"] td[data-ch="2"]') == "break")
    wait("status live", lambda: text("#status") == "live")
    wait("no reload", lambda: driver.execute_script("return window.loadMark") == 1, 0)
    driver.save_screenshot(shot)
    print("ok", flush=True)
    sys.stdin.readline()
    wait("the page says the service stopped", lambda: "stopped answering" in text("#status"), 20)
    print("ok stopped")
finally:
    driver.quit()
