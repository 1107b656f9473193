#!/usr/bin/python3
"""update-line's page in a real headless Chromium: every expected station
shown in the file's order, one of them offline, a park made on a station
appears without a reload (its slots and the open alarms), and a screenshot;
then a line of 50 stations (most of them unreachable) read on a wall
screen without scrolling and on a phone without anything past its width.

    line_page.py BUILD_DIR SCREENSHOT.png

Exits 77 (skipped) when Chromium, its driver or Selenium is missing.
Boxes are boxsim on pseudo-terminals; everything talks over loopback."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium missing")
    sys.exit(77)

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"
TOKEN = "line-page-token"


def start_box(build, args, procs):
    p = subprocess.Popen([os.path.join(build, "boxsim"), "--timeout", "90"] + args,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    procs.append(p)
    for line in p.stdout:
        if line.startswith("PTY "):
            return line[4:].strip()
    raise RuntimeError("boxsim did not start")


def waited_line(p, pattern):
    for line in p.stderr:
        m = re.match(pattern, line.strip())
        if m:
            return m.group(1)
    raise RuntimeError("no line matching " + pattern)


def start_station(build, name, ports, work, procs):
    argv = [os.path.join(build, "update-station"), "--http", "127.0.0.1:0", "--station", name,
            "--boxes", "20", "--http-token-file", os.path.join(work, "token"), "--journal",
            os.path.join(work, name + ".jsonl")]
    for p in ports:
        argv += ["-p", p]
    argv.append(os.path.join(work, "box.pad"))
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    procs.append(p)
    return waited_line(p, r"update-station: web view at (http://127\.0\.0\.1:\d+)/$")


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def browser(work, size):
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--no-first-run", "--no-default-browser-check", "--window-size=" + size,
              "--user-data-dir=" + os.path.join(work, "profile")):
        opts.add_argument(a)
    return webdriver.Chrome(service=Service(DRIVER), options=opts)


# What of the page lies outside the viewport: the document's scroll size
# against the window's, and every element whose box passes the right edge.
LAYOUT = """
const w = window.innerWidth, h = window.innerHeight, d = document.documentElement;
const past = [];
for (const e of document.body.querySelectorAll("*")) {
  const r = e.getBoundingClientRect();
  if (r.width && r.right > w + 0.5) past.push(e.tagName + (e.id ? "#" + e.id : "") + " " + r.right);
}
return {width: w, height: h, scroll_width: d.scrollWidth, scroll_height: d.scrollHeight,
        past: past.slice(0, 5)};
"""


def viewport(driver, width, height, mobile):
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
        "width": width, "height": height, "deviceScaleFactor": 3 if mobile else 1,
        "mobile": mobile})


def fifty_stations(build, work, a, b, procs, driver):
    """A second hub on a line of 50 stations, 48 of them unreachable."""
    with open(os.path.join(work, "stations50"), "w") as f:
        f.write("line3-a %s\nline3-b %s\n" % (a, b))
        for i in range(3, 51):
            f.write("line3-station-%02d http://127.0.0.1:%d\n" % (i, free_port()))
    hub = subprocess.Popen([os.path.join(build, "update-line"), "--stations",
                            os.path.join(work, "stations50"), "--db",
                            os.path.join(work, "line50.db"), "--http", "127.0.0.1:0"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    procs.append(hub)
    url = waited_line(hub, r"update-line: line view at (http://127\.0\.0\.1:\d+/)$")
    wait = WebDriverWait(driver, 30, ignored_exceptions=(StaleElementReferenceException,))
    viewport(driver, 1920, 1080, False)
    driver.get(url)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#stations tr")) == 50)
    wait.until(lambda d: "line3-a" in d.find_element(By.ID, "alarms").text)
    got = driver.execute_script(LAYOUT)
    assert got["scroll_height"] <= got["height"] and got["scroll_width"] <= got["width"], \
        ("the wall screen scrolls with 50 stations", got)
    # Every row on the screen, not cut off inside its column.
    bottom = driver.execute_script(
        "const r = document.querySelectorAll('#stations tr');"
        "return [r[r.length - 1].getBoundingClientRect().bottom,"
        " r[r.length - 1].parentElement.closest('section').getBoundingClientRect().bottom];")
    assert bottom[0] <= bottom[1] + 0.5, ("the 50th station is cut off", bottom)
    # A long list of alarms (each offline station raises one after a
    # minute) scrolls in its own column, not the page.
    driver.execute_script(
        "const u = document.getElementById('alarms');"
        "for (let i = 0; i < 60; i++) u.append(Object.assign(document.createElement('li'),"
        " {textContent: '14:02 line3-station-' + i + ' offline since 14:01'}));")
    got = driver.execute_script(LAYOUT)
    assert got["scroll_height"] <= got["height"], ("many alarms scroll the wall screen", got)
    viewport(driver, 390, 844, True)
    driver.get(url)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#stations tr")) == 50)
    got = driver.execute_script(LAYOUT)
    assert got["width"] == 390, got
    assert got["scroll_width"] <= got["width"] and not got["past"], \
        ("the page is wider than the phone", got)
    driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})


def main():
    build, shot = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print("skipped: chromium or chromium-driver missing")
        return 77
    work = tempfile.mkdtemp(prefix="update-line-page-")
    procs = []
    driver = None
    try:
        with open(os.path.join(work, "token"), "w") as f:
            f.write(TOKEN + "\n")
        pad = os.path.join(work, "box.pad")
        subprocess.run([os.path.join(build, "padtool"), "create", pad, "--format", "21",
                        "--version", "23.0", "--record", "20000"], check=True,
                       stdout=subprocess.DEVNULL)
        a = start_station(build, "line3-a", [
            start_box(build, ["--pace", "--boxes", "20", "--expect", pad], procs),
            start_box(build, ["--silent-at", "keyword"], procs)], work, procs)
        b = start_station(build, "line3-b", [
            start_box(build, ["--pace", "--boxes", "20", "--expect", pad], procs),
            start_box(build, ["--boxes", "20", "--error-at", "download", "--error-line",
                              "\\r\\nERROR: bad flash id\\r\\n"], procs)], work, procs)
        with open(os.path.join(work, "stations"), "w") as f:
            f.write("# line 3\nline3-a %s\nline3-b %s\nline3-c http://127.0.0.1:%d\n"
                    % (a, b, free_port()))
        hub = subprocess.Popen([os.path.join(build, "update-line"), "--stations",
                                os.path.join(work, "stations"), "--db",
                                os.path.join(work, "line.db"), "--http", "127.0.0.1:0"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        procs.append(hub)
        url = waited_line(hub, r"update-line: line view at (http://127\.0\.0\.1:\d+/)$")

        driver = browser(work, "1920,1080")
        driver.get(url)
        # The page redraws its rows on every event: a row found just before a
        # redraw is looked up again, not taken as a failure.
        wait = WebDriverWait(driver, 30, ignored_exceptions=(StaleElementReferenceException,))
        rows = lambda d: d.find_elements(By.CSS_SELECTOR, "#stations tr")
        # What is read or clicked outside a wait is retried the same way.
        now = lambda f: wait.until(lambda d: (f(d),))[0]
        wait.until(lambda d: len(rows(d)) == 3)
        names = now(lambda d: [r.get_attribute("data-station") for r in rows(d)])
        assert names == ["line3-a", "line3-b", "line3-c"], names
        wait.until(lambda d: rows(d)[0].find_elements(By.TAG_NAME, "td")[1].text.startswith("up"))
        assert now(lambda d: rows(d)[2].find_elements(By.TAG_NAME, "td")[1].text).startswith("offline")

        driver.execute_script("window.notReloaded = true;")
        req = urllib.request.Request(a + "/api/slots/2/park", method="POST", data=b"",
                                     headers={"Authorization": "Bearer " + TOKEN})
        with urllib.request.urlopen(req, timeout=10) as r:
            assert json.load(r)["slots"][1]["state"] == "parked"
        wait.until(lambda d: rows(d)[0].find_element(By.CSS_SELECTOR, "td.slots").text
                   .split(" / ")[1] == "1")
        wait.until(lambda d: "line3-a slot 2" in d.find_element(By.ID, "alarms").text)
        assert driver.execute_script("return window.notReloaded === true;"), "the page reloaded"

        # Boxes counted on both stations, a failure among them, before the picture.
        wait.until(lambda d: int(d.find_element(By.ID, "ok").text) >= 2, )
        wait.until(lambda d: int(d.find_element(By.ID, "failed").text) >= 1)
        errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
        assert not errors, errors
        os.makedirs(os.path.dirname(shot), exist_ok=True)
        driver.set_window_size(1280, 520)
        driver.save_screenshot(shot)
        fifty_stations(build, work, a, b, procs, driver)
        print("line page ok: 3 stations, one offline, a park shown live; 50 stations on a wall"
              " screen and a phone; screenshot %s" % shot)
        return 0
    finally:
        if driver:
            driver.quit()
        for p in reversed(procs):
            p.kill()
            p.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
