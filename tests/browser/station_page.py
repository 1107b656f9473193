#!/usr/bin/python3
"""update-station's page in a real headless Chromium: every slot shown, a
park made through the API appears without a reload, park and unpark from
the page with the token asked once, the line speed of a run in progress,
the page in German for a browser that asks for it, and a screenshot.

    station_page.py BUILD_DIR SCREENSHOT.png

Exits 77 (skipped) when Chromium, its driver or Selenium is missing.
Boxes are boxsim on pseudo-terminals; everything talks over loopback."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
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
TOKEN = "page-test-token"


def start_box(build, args, procs):
    p = subprocess.Popen([os.path.join(build, "boxsim"), "--timeout", "90"] + args,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    procs.append(p)
    for line in p.stdout:
        if line.startswith("PTY "):
            return line[4:].strip()
    raise RuntimeError("boxsim did not start")


def start_station(build, ports, work, procs):
    argv = [os.path.join(build, "update-station"), "--http", "127.0.0.1:0", "--max-failures", "1",
            "--http-token-file", os.path.join(work, "token"), "--journal",
            os.path.join(work, "journal.jsonl")]
    for p in ports:
        argv += ["-p", p]
    argv.append(os.path.join(work, "box.pad"))
    p = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    procs.append(p)
    for line in p.stderr:
        m = re.match(r"update-station: web view at (http://127\.0\.0\.1:\d+/)$", line.strip())
        if m:
            return m.group(1)
    raise RuntimeError("the station did not say where it listens")


def post(url, token):
    req = urllib.request.Request(url, method="POST", data=b"",
                                 headers={"Authorization": "Bearer " + token})
    with urllib.request.urlopen(req, timeout=10) as r:
        return r.status, json.load(r)


def browser(work, lang="en-US,en"):
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--disable-background-networking", "--disable-component-update", "--disable-sync",
              "--no-first-run", "--no-default-browser-check", "--window-size=1280,720",
              "--lang=" + lang.split(",")[0],
              "--user-data-dir=" + os.path.join(work, "profile-" + lang.split(",")[0])):
        opts.add_argument(a)
    # What the browser sends as Accept-Language.
    opts.add_experimental_option("prefs", {"intl.accept_languages": lang})
    return webdriver.Chrome(service=Service(DRIVER), options=opts)


def main():
    build, shot = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    if not (os.access(CHROMIUM, os.X_OK) and os.access(DRIVER, os.X_OK)):
        print("skipped: chromium or chromium-driver missing")
        return 77
    work = tempfile.mkdtemp(prefix="update-page-")
    procs = []
    driver = None
    try:
        with open(os.path.join(work, "token"), "w") as f:
            f.write(TOKEN + "\n")
        pad = os.path.join(work, "box.pad")
        # About four seconds a box on the paced line at 115200.
        subprocess.run([os.path.join(build, "padtool"), "create", pad, "--format", "21",
                        "--version", "23.0", "--record", "45000"], check=True,
                       stdout=subprocess.DEVNULL)
        ports = [
            start_box(build, ["--pace", "--boxes", "5", "--expect", pad], procs),
            start_box(build, ["--pace", "--boxes", "5", "--expect", pad], procs),
            start_box(build, ["--silent-at", "keyword"], procs),
            start_box(build, ["--boxes", "5", "--error-at", "download", "--error-line",
                              "\\r\\nERROR: bad flash id\\r\\n"], procs),
        ]
        url = start_station(build, ports, work, procs)
        driver = browser(work)
        driver.get(url)
        # The page redraws its rows on every event: a row found just before a
        # redraw is looked up again, not taken as a failure.
        wait = WebDriverWait(driver, 30, ignored_exceptions=(StaleElementReferenceException,))
        rows = lambda d: d.find_elements(By.CSS_SELECTOR, "#slots tr")
        # What is read or clicked outside a wait is retried the same way.
        now = lambda f: wait.until(lambda d: (f(d),))[0]
        wait.until(lambda d: len(rows(d)) == len(ports))
        # Ports by their last part, the whole path in the tooltip.
        shown = now(lambda d: [(c.text, c.get_attribute("title")) for c in
                               [r.find_element(By.CSS_SELECTOR, "td.port") for r in rows(d)]])
        assert shown == [(os.path.basename(p), p) for p in ports], (shown, ports)
        wait.until(lambda d: d.find_element(By.ID, "conn").text == "live")

        # A mark that a reload would wipe.
        driver.execute_script("window.notReloaded = true;")
        status, body = post(url + "api/slots/3/park", TOKEN)
        assert status == 200 and body["slots"][2]["state"] == "parked", body
        wait.until(lambda d: d.find_element(By.ID, "slot-3").get_attribute("data-state") == "parked")
        assert now(lambda d: d.find_element(By.CSS_SELECTOR, "#slot-3 td.state").text) == "parked"
        assert driver.execute_script("return window.notReloaded === true;"), "the page reloaded"

        # Steering from the page: the token asked for once, a wrong one
        # said so and forgotten, the right one kept for the tab.
        def answer_prompt(text):
            WebDriverWait(driver, 10).until(lambda d: d.switch_to.alert)
            alert = driver.switch_to.alert
            alert.send_keys(text)
            alert.accept()

        def state(slot):
            with urllib.request.urlopen(url + "api/status", timeout=10) as r:
                return json.load(r)["slots"][slot - 1]["state"]

        unpark = "#slot-3 td.act button"
        wait.until(lambda d: d.find_element(By.CSS_SELECTOR, unpark).text == "Unpark")
        now(lambda d: d.find_element(By.CSS_SELECTOR, unpark).click())
        answer_prompt("not-the-token")
        wait.until(lambda d: "Wrong token" in d.find_element(By.ID, "control-msg").text)
        assert state(3) == "parked"
        now(lambda d: d.find_element(By.CSS_SELECTOR, unpark).click())
        answer_prompt(TOKEN)
        wait.until(lambda d: state(3) != "parked")
        wait.until(lambda d: d.find_element(By.CSS_SELECTOR, unpark).text == "Park")
        now(lambda d: d.find_element(By.CSS_SELECTOR, unpark).click())  # no prompt: the token is kept
        wait.until(lambda d: state(3) == "parked")
        wait.until(lambda d: d.find_element(By.ID, "slot-3").get_attribute("data-state") == "parked")
        assert now(lambda d: d.find_element(By.ID, "control-msg").text) == ""

        # A run in progress shows the speed its line runs at (the opening
        # one: these runs change none).
        wait.until(lambda d: [c.text for c in d.find_elements(By.CSS_SELECTOR, "#slot-1 td")
                              if c.get_attribute("class").split()[0] in ("state", "speed")]
                   == ["download", "115200"])

        # Boxes on the line and a failure counted before the picture.
        wait.until(lambda d: d.find_element(By.ID, "failed").text != "0")
        wait.until(lambda d: d.find_element(By.ID, "ok").text != "0")
        wait.until(lambda d: "%" in d.find_element(By.CSS_SELECTOR, "#slot-1 td.progress").text)
        # The wrong token's 401 is logged by the browser; nothing else may be.
        errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE" and
                  not (e.get("source") == "network" and "/unpark" in e["message"] and
                       "401" in e["message"])]
        assert not errors, errors
        os.makedirs(os.path.dirname(shot), exist_ok=True)
        driver.save_screenshot(shot)

        # A browser that asks for German gets the page in German, the
        # script's texts included.
        german = browser(work, "de-DE,de,en-US,en")
        try:
            german.get(url)
            gwait = WebDriverWait(german, 30, ignored_exceptions=(StaleElementReferenceException,))
            gnow = lambda f: gwait.until(lambda d: (f(d),))[0]
            gwait.until(lambda d: d.find_element(By.ID, "conn").text == "verbunden")
            assert german.execute_script("return document.documentElement.lang;") == "de"
            heads = gnow(lambda d: [h.text for h in d.find_elements(By.CSS_SELECTOR, "thead th")])
            assert heads[:4] == ["Platz", "Port", "Zustand", "Fortschritt"], heads
            gwait.until(lambda d: d.find_element(By.CSS_SELECTOR, "#slot-3 td.state").text == "geparkt")
            assert gnow(lambda d: d.find_element(By.CSS_SELECTOR, unpark).text) == "Freigeben"
            assert gnow(lambda d: d.find_element(By.ID, "drain").text) == "Auslaufen lassen"
            gwait.until(lambda d: "in Folge" in d.find_element(By.CSS_SELECTOR, "#slot-4 td.failed").text)
        finally:
            german.quit()
        print("page ok: %d slots, park shown live; screenshot %s" % (len(ports), shot))
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
