#!/usr/bin/python3
"""The commissioning page in a real browser (headless Chromium), as a person would see it.

    web_browser.py BIN_DIR PLUGIN SCREENSHOT

polmon-platform runs with --web and the demo station under polmon-host reports to it; the page
must show the station with its MN, accepted frames, a plot with points, a frame's decode, the
inspector's reason for a pasted bad frame, and a CSV holding the values the station sent. Then a
hostile station sends markup, quotes, bytes that are not UTF-8 and a key: all of it must show as
text, no script of it may run, and the key must not show. Every process is stopped by its id.
"""
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
MN = "POLMON000000000000000001"


def crc16(data):
    """The HJ 212 CRC (register 0xFFFF, the byte into its high byte moved down, reflected 0xA001)."""
    reg = 0xFFFF
    for byte in data:
        reg = (reg >> 8) ^ byte
        for _ in range(8):
            reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
    return reg


def frame(segment):
    return b"##%04d%s%04X\r\n" % (len(segment), segment, crc16(segment))


def wait_for(what, check, timeout=20):
    end = time.time() + timeout
    while time.time() < end:
        try:
            value = check()
        except StaleElementReferenceException:  # the page redrew the element between finding and reading it
            value = None
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"timed out waiting for {what}")


def fetch(url, data=None):
    with urllib.request.urlopen(urllib.request.Request(url, data=data), timeout=10) as r:
        return r.read()


def main():
    bin_dir, plugin, screenshot = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="polmon-web-")
    procs = []
    driver = None
    try:
        ready = os.path.join(work, "ready")
        platform_out = open(os.path.join(work, "platform.out"), "w")
        platform = subprocess.Popen(
            [os.path.join(bin_dir, "polmon-platform"), "--name", "city", "--web", "127.0.0.1:0", "--web-csv",
             os.path.join(work, "values.csv"), "--scenario", os.path.join(HERE, "data", "web.scn"), "--ready", ready,
             "--wait", "30"], stdout=platform_out, stderr=subprocess.STDOUT)
        procs.append(platform)

        def ready_line():
            try:
                with open(ready) as f:
                    text = f.read()
                return text if text.endswith("\n") else None
            except OSError:
                return None

        addr, url = wait_for("the platform", ready_line).split()
        host_out = open(os.path.join(work, "host.out"), "w")
        host = subprocess.Popen(
            [os.path.join(bin_dir, "polmon-host"), "--plugin", plugin, "-D", f"city={addr}",
             os.path.join(ROOT, "examples", "demo_station.lua")],
            stdin=subprocess.DEVNULL, stdout=host_out, stderr=subprocess.STDOUT)
        procs.append(host)

        options = Options()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,1300",
                    f"--user-data-dir={work}/profile", "--lang=en-GB"):
            options.add_argument(arg)
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=options)
        driver.get(url)
        text = lambda css: [e.text for e in driver.find_elements(By.CSS_SELECTOR, css)]

        # The station row with its MN, accepted frames in the log, a plot that gets points.
        wait_for("the station's row", lambda: MN in text("#stations td.mn"))
        wait_for("accepted frames", lambda: len(driver.find_elements(By.CSS_SELECTOR, "#frames tr.frame.accepted")) >= 6)
        points = "const c = document.querySelector('canvas[data-factor=\"w01018\"]'); " \
                 "return c ? Chart.getChart(c).data.datasets[0].data.length : 0;"
        wait_for("points in the COD plot", lambda: driver.execute_script(points) >= 6)
        wait_for("the factor's name and unit", lambda: "mg/L" in text("#latest td.unit") and any("化学需氧量" in t for t in text("#latest td")))
        wait_for("the site's Chinese name", lambda: any("水质自动监测站" in t for t in text("#frames td.content")))
        driver.save_screenshot(screenshot)

        # A frame's decode, on a click.
        row = driver.find_element(By.XPATH, "//tr[contains(@class,'accepted')][td[3]='2011' and td[2][contains(.,'in')]]")
        row.click()
        wait_for("the decode", lambda: any("w01018-Rtd" in t for t in text("#frames tr.decode")))

        # A pasted frame with a wrong CRC: the inspector's reason.
        good = frame(b"QN=20240101120000000;ST=32;CN=2011;PW=123456;MN=" + MN.encode() + b";Flag=5;CP=&&w01018-Rtd=1&&")
        driver.find_element(By.ID, "paste").send_keys("log: " + good[:-6].decode() + "0000\n")
        driver.find_element(By.ID, "inspect").click()
        wait_for("the inspector's reason", lambda: any("reason: crc: announced 0000, computed" in t for t in text("#inspected .reason")))

        # The station goes; a hostile one comes on the same port.
        host.send_signal(signal.SIGINT)
        assert host.wait(timeout=20) == 0, "the station did not stop cleanly"
        wait_for("the link to close", lambda: any("closed" in t for t in text("#stations td")))
        script = "<script>window.__pwned=1</script><img src=x onerror=window.__pwned=3>"
        code = "<i>w99999</i>"  # a factor code in markup: the plot's title and the values table
        hostile = frame(b"QN=20240101120000000;ST=32;CN=2011;PW=123456;MN=POLMON0000000002;Flag=4;CP=&&DataTime=20240101120000;"
                        b"SiteName=" + script.encode() + b";Note=\"onload=window.__pwned=2 x=\xff\xfe;NewSK=SECRET0123456789;"
                        + code.encode() + b"-Rtd=5," + code.encode() + b"-Flag=N&&")
        host_name, port = addr.rsplit(":", 1)
        with socket.create_connection((host_name, int(port)), timeout=10) as s:
            s.sendall(hostile)
            wait_for("the hostile frame", lambda: any(script in t for t in text("#frames td.content")))
            wait_for("the hostile station", lambda: "POLMON0000000002" in text("#stations td.mn"))
            wait_for("the hostile factor as text", lambda: code in text("#latest td.code") and any(code in t for t in text(".plot h3")))
        assert driver.execute_script("return window.__pwned") is None, "a script from a frame ran"
        assert not driver.find_elements(By.CSS_SELECTOR, "img, i, main script"), "markup from a frame became an element"
        assert any('Note="onload=' in t for t in text("#frames td.content")), "the quote did not show as text"
        assert any("NewSK=****" in t for t in text("#frames td.content")), text("#frames td.content")
        assert "SECRET" not in driver.page_source, "a key is shown"

        # The API answers JSON a parser takes, hostile text and all.
        state = json.loads(fetch(url + "api/state"))
        assert any(f["mn"] == "POLMON0000000002" for f in state["frames"])

        # The CSV holds the values the station says it sent (its trace of each upload).
        sent = set()
        with open(os.path.join(work, "host.out"), encoding="utf-8", errors="replace") as f:
            for line in f:
                m = re.search(r"TX -> .* CN=2011 .*CP=DataTime=(\d{14});w01018-Rtd=([0-9.]+)", line)
                if m:
                    t = m.group(1)
                    sent.add((f"{t[0:4]}-{t[4:6]}-{t[6:8]} {t[8:10]}:{t[10:12]}:{t[12:14]}", m.group(2)))
        csv = fetch(url + "values.csv").decode()
        assert csv.startswith("time,MN,CN,factor,field,value,flag,unit"), csv[:80]
        rows = {(r[0], r[5]) for r in (line.split(",") for line in csv.splitlines()[1:]) if len(r) == 8 and r[3] == "w01018"}
        assert len(sent) >= 4, f"only {len(sent)} uploads in the station's trace"
        assert sent <= rows, f"missing from the CSV: {sorted(sent - rows)}"

        platform.send_signal(signal.SIGINT)
        assert platform.wait(timeout=15) == 0, "the platform did not end cleanly with its verdict OK"
        print(f"PASS: {len(sent)} uploads in the page and the CSV; screenshot {screenshot}")
        return 0
    except Exception:
        for name in ("platform.out", "host.out"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print(f"---- {name}")
                print("".join(open(path, encoding="utf-8", errors="replace").readlines()[-40:]))
        if driver:
            driver.save_screenshot(os.path.join(os.path.dirname(screenshot) or ".", "web-failure.png"))
        raise
    finally:
        if driver:
            driver.quit()
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)



def report_main():
    """polmon-platform --report and --report-junit after a run with a station that refuses a request
    and sends hostile text: the page in headless Chromium shows the summary's verdict and the failed
    check with its problem and frames, all station text as text; the JUnit parses as XML.

        web_browser.py --report BIN_DIR SCREENSHOT
    """
    import xml.etree.ElementTree as ElementTree
    bin_dir, screenshot = sys.argv[2:4]
    work = tempfile.mkdtemp(prefix="polmon-report-")
    platform = None
    driver = None
    try:
        ready, html, junit = (os.path.join(work, n) for n in ("ready", "report.html", "report.xml"))
        scenario = os.path.join(work, "report.scn")
        with open(scenario, "w") as f:
            f.write("request CN=1062 CP=RtdInterval=2\nrequest CN=1011\n")
        platform = subprocess.Popen(
            [os.path.join(bin_dir, "polmon-platform"), "--name", "acceptance", "--scenario", scenario, "--ready", ready,
             "--reply-timeout", "3000", "--report", html, "--report-junit", junit, "--wait", "30"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        ready_line = lambda: os.path.exists(ready) and open(ready).read()
        host, port = wait_for("the platform", lambda: (ready_line() or "").endswith("\n") and ready_line()).strip().split(":")
        script = "<img src=x onerror=window.__pwned=1>"
        mn = b"POLMON" + script.encode() + b"&amp]]>&"
        hostile_note = b"<script>window.__pwned=2</script>\xff\xfe\x01\x1b]]>"

        def station_frame(qn, st, cn, cp):
            return frame(b"QN=" + qn + b";ST=" + st + b";CN=" + cn + b";PW=123456;MN=" + mn + b";Flag=4;CP=&&" + cp + b"&&")

        with socket.create_connection((host, int(port)), timeout=20) as s:
            pending = b""
            answered = 0
            while answered < 2:  # the two requests: 1062 carried out, 1011 refused (a wrong password, says the station)
                chunk = s.recv(4096)
                assert chunk, "the platform closed the link"
                pending += chunk
                m = re.search(rb"QN=(\d+);ST=\d+;CN=(\d+);", pending)
                if not m or not pending.endswith(b"\r\n"):
                    continue
                pending = b""
                qn, cn = m.group(1), m.group(2)
                if cn == b"1062":
                    s.sendall(station_frame(qn, b"91", b"9011", b"QnRtn=1") + station_frame(qn, b"91", b"9012", b"ExeRtn=1"))
                    s.sendall(station_frame(b"20240101120000000", b"32", b"2011",
                                            b"DataTime=20240101120000;w01018-Rtd=1.5;Note=" + hostile_note))
                    s.sendall(station_frame(b'"\x01<b>\xff]]>', b"91", b"9011", b"QnRtn=1"))  # an answer to no request
                else:
                    s.sendall(station_frame(qn, b"91", b"9011", b"QnRtn=3"))
                answered += 1
            out = platform.communicate(timeout=30)[0].decode("utf-8", "replace")
        assert platform.returncode == 1, f"the platform said {platform.returncode}, not BROKEN:\n{out}"
        verdict = re.search(r"^  verdict: +(.*)$", out, re.M).group(1)
        assert verdict.startswith("BROKEN"), out

        # JUnit: well-formed, one suite, the refusal a failure; station text back as it came, where it is text.
        suite = ElementTree.parse(junit).getroot().find("testsuite")
        assert suite.get("name") == "polmon-platform", suite.attrib
        props = {p.get("name"): p.get("value") for p in suite.iter("property")}
        assert props["verdict"] == verdict and props["mn"] == mn.decode(), props
        failures = [c.find("failure") for c in suite.iter("testcase") if c.find("failure") is not None]
        assert int(suite.get("failures")) == len(failures) and len(failures) >= 3, suite.attrib
        assert any('QN "\\x01<b>\\xFF]]>, which' in f.get("message") for f in failures), [f.attrib for f in failures]
        refusal = [f for f in failures if "refused: QnRtn=3" in f.get("message")]
        assert refusal and "CN=9011" in refusal[0].text and "QnRtn=3" in refusal[0].text, [f.attrib for f in failures]

        # Ctrl-C while a request waits for its answer: both written all the same, that request still open.
        os.remove(ready)
        with open(scenario, "w") as f:
            f.write("request CN=1011 timeout=60000\n")
        cut_html, cut_junit = os.path.join(work, "cut.html"), os.path.join(work, "cut.xml")
        platform = subprocess.Popen(
            [os.path.join(bin_dir, "polmon-platform"), "--scenario", scenario, "--ready", ready, "--report", cut_html,
             "--report-junit", cut_junit, "--wait", "30"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        host, port = wait_for("the platform", lambda: (ready_line() or "").endswith("\n") and ready_line()).strip().split(":")
        with socket.create_connection((host, int(port)), timeout=20) as s:
            wait_for("the request", lambda: b"CN=1011" in s.recv(4096))
            s.sendall(station_frame(b"20240101120000000", b"32", b"2011", b"DataTime=20240101120000;w01018-Rtd=1.5"))
            time.sleep(0.5)
            platform.send_signal(signal.SIGINT)
            out = platform.communicate(timeout=30)[0].decode("utf-8", "replace")
        assert platform.returncode == 0, f"the platform said {platform.returncode} after Ctrl-C:\n{out}"
        cut = ElementTree.parse(cut_junit).getroot().find("testsuite")
        skipped = [c.get("name") for c in cut.iter("testcase") if c.find("skipped") is not None]
        assert cut.get("failures") == "0" and any("request CN=1011" in n for n in skipped), ElementTree.tostring(cut)[:2000]
        assert 'id="verdict" class="badge ok">OK<' in open(cut_html, encoding="utf-8").read()

        options = Options()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,1300",
                    f"--user-data-dir={work}/profile", "--lang=en-GB"):
            options.add_argument(arg)
        options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
        driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=options)
        driver.get("file://" + html)
        assert driver.find_element(By.ID, "verdict").text == verdict, driver.find_element(By.ID, "verdict").text
        failed = driver.find_elements(By.CSS_SELECTOR, "#checks tr.check.failed")
        row = [r for r in failed if "refused: QnRtn=3 (PW (password) wrong)" in r.text]
        assert row, [r.text for r in failed]
        assert "CN=1011" in row[0].find_element(By.CSS_SELECTOR, "td.subject").text
        assert len(row[0].find_elements(By.CSS_SELECTOR, "td.bytes")) >= 2, "the request and its 9011 as evidence"
        background = driver.execute_script("return getComputedStyle(arguments[0]).backgroundColor", row[0])
        assert background == "rgb(251, 228, 226)", f"not the web view's look: {background}"
        station = driver.find_element(By.ID, "station").text
        assert script + "&amp]]>&" in station, station
        assert any("\\xFF\\xFE\\x01\\x1B" in e.text for e in driver.find_elements(By.CSS_SELECTOR, "td.bytes")), "bytes not shown as \\xHH"
        assert driver.execute_script("return window.__pwned") is None, "a script from a frame ran"
        assert not driver.find_elements(By.CSS_SELECTOR, "img, script, body i, body b"), "markup from a frame became an element"
        driver.save_screenshot(screenshot)
        print(f"PASS: report verdict {verdict}, {len(failures)} failed checks shown")
        return 0
    finally:
        if driver:
            driver.quit()
        if platform and platform.poll() is None:
            platform.kill()
            platform.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(report_main() if sys.argv[1] == "--report" else main())
