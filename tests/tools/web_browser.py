#!/usr/bin/python3
"""The commissioning page in a real browser (headless Chromium), as a person would see it.

    web_browser.py BIN_DIR PLUGIN SCREENSHOT

polmon-platform runs with --web and the demo station under polmon-host reports to it; the page
must show the station with its MN, accepted frames, a plot with points, a frame's decode, the
inspector's reason for a pasted bad frame, and a CSV holding the values the station sent. Then a
hostile station sends markup, quotes, bytes that are not UTF-8 and a key: all of it must show as
text, no script of it may run, and the key must not show. Then, at 1280 px in a Chinese browser,
a 2025 station with a key against a 2025 platform that gives it a new MN and drops the link: the
page comes in Chinese and switches to English, one station row across the new MN, Content
readable, resends marked in plots by data time, Min/Max per period, the completeness of minute
and hour data against the CSV, the CSV's QN, RF and kind; screenshots at 1280 and 1920 px.
Every process is stopped by its id.
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

from hj212frame import frame

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
MN = "POLMON000000000000000001"


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


def read_ready(path):
    """The --ready file's line once the platform wrote all of it."""
    try:
        with open(path) as f:
            text = f.read()
        return text if text.endswith("\n") else None
    except OSError:
        return None


def browser(work, lang, width, height):
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", f"--window-size={width},{height}",
                f"--user-data-dir={work}/profile-{lang}", f"--lang={lang}"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"intl.accept_languages": lang})
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    return webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"), options=options)


def csv_rows(url):
    """The CSV's header and rows, by column name."""
    lines = fetch(url + "values.csv").decode().splitlines()
    head = lines[0].split(",")
    return head, [dict(zip(head, line.split(","))) for line in lines[1:] if line.count(",") == len(head) - 1]


# Checks the page's views cannot pass with a plot in arrival order or one row per MN seen.
PLOT_ORDER = """
const out = {sorted: true, resends: 0, points: 0};
for (const c of document.querySelectorAll('canvas[data-factor]')) {
  for (const d of Chart.getChart(c).data.datasets) {
    out.points += d.data.length;
    out.resends += d.data.filter((p) => p.m === 1).length;
    for (let i = 1; i < d.data.length; i++) if (d.data[i].x < d.data[i - 1].x) out.sorted = false;
  }
}
return out;"""


def session_2025(bin_dir, plugin, screenshot, work, procs):
    """The 2025 part of the run (see the top); returns what it saw, for the PASS line."""
    key = "0123456789ABCDEF"
    ready = os.path.join(work, "ready-2025")
    platform = subprocess.Popen(
        [os.path.join(bin_dir, "polmon-platform"), "--name", "river", "--standard", "2025", "--key", key, "--drop-link", "7:2.5", "--periods", "2051=2,2061=3",
         "--web", "127.0.0.1:0", "--web-csv", os.path.join(work, "values-2025.csv"), "--ready", ready],
        stdout=open(os.path.join(work, "platform.out"), "w"), stderr=subprocess.STDOUT)
    procs.append(platform)
    addr, url = wait_for("the 2025 platform", lambda: read_ready(ready)).split()
    host = subprocess.Popen(
        [os.path.join(bin_dir, "polmon-host"), "--plugin", plugin, "-D", f"platform={addr}", "-D", "standard=2025", "-D", f"key={key}",
         "-D", "heartbeat=1", "-D", "answer_timeout=2", "-D", "minute=2", "-D", "hour=3", os.path.join(ROOT, "examples", "periodic_uploads.lua")],
        stdin=subprocess.DEVNULL, stdout=open(os.path.join(work, "host.out"), "w"), stderr=subprocess.STDOUT)
    procs.append(host)
    driver = browser(work, "zh-CN", 1280, 1500)
    try:
        driver.get(url)
        # read in one script: the page redraws these tables as data comes
        text = lambda css: driver.execute_script("return [...document.querySelectorAll(arguments[0])].map((e) => e.innerText)", css)
        head = lambda key: text(f"#latest th[data-t={key}]")[0]
        # A Chinese browser gets the page in Chinese, factor names too.
        assert driver.execute_script("return document.documentElement.lang") == "zh-CN"
        assert head("factor") == "因子", head("factor")
        wait_for("a Chinese factor name", lambda: "化学需氧量" in text("#latest td.name"))

        # The new MN (1002): one row, the old MN beside it.
        wait_for("the MN change", lambda: any(t.startswith("POLMON000000000000000001") for t in text("#stations td.was")))
        rows = text("#stations tbody tr")
        assert len(rows) == 1, rows
        new_mn = text("#stations td.mn")[0]
        assert re.fullmatch(r"[0-9A-F]{24}", new_mn), new_mn

        # Resends after the dropped link: marked, and every line in data-time order.
        wait_for("resends in the plots", lambda: driver.execute_script(PLOT_ORDER)["resends"] >= 2, timeout=40)
        wait_for("minute data after the resends", lambda: len(text("#completeness tr[data-cn='2051']")) == 1 and
                 int(text("#completeness tr[data-cn='2051'] td.received")[0].split()[0]) >= 8, timeout=30)
        plots = driver.execute_script(PLOT_ORDER)
        assert plots["sorted"], "a line runs back in time"

        # Frames readable at 1280 px: Content keeps a readable width, wrapping long CPs.
        widths = driver.execute_script("return [...document.querySelectorAll('#frames tr.frame td.content')].map((e) => e.getBoundingClientRect().width)")
        assert widths and min(widths) >= 360, f"Content {min(widths)} px wide"
        assert driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth"), "the page scrolls sideways at 1280 px"

        # Latest values per factor and kind: the minute row has Min, Avg and Max and a data time.
        rows = driver.execute_script("return [...document.querySelectorAll('#latest tbody tr')].map((r) => "
                                     "Object.fromEntries([...r.cells].map((c) => [c.className.split(' ')[0], c.innerText])))")
        minute = [r for r in rows if r["code"] == "w01018" and r["kind"] == "分钟数据"]
        assert len(minute) == 1, "no single minute row of w01018"
        for cell in ("min", "avg", "max", "time"):
            assert minute[0][cell], f"{cell} empty in the minute row"

        # The switch: English labels and names, screenshots, then Chinese again.
        driver.find_element(By.CSS_SELECTOR, "button[data-lang=en]").click()
        wait_for("English labels", lambda: head("factor") == "Factor" and "minute" in text("#latest td.kind") and
                 "COD (chemical oxygen demand)" in text("#latest td.name"))
        assert "化学需氧量" not in text("#latest td.name")
        time.sleep(0.5)  # the plots' first frame after the new stream
        driver.save_screenshot(screenshot)
        driver.set_window_size(1920, 1200)
        time.sleep(0.5)
        wide = os.path.join(os.path.dirname(screenshot) or ".", "web-commissioning-1920.png")
        driver.save_screenshot(wide)
        driver.set_window_size(1280, 1500)
        driver.find_element(By.CSS_SELECTOR, "button[data-lang=zh]").click()
        wait_for("Chinese again", lambda: head("factor") == "因子" and "化学需氧量" in text("#latest td.name"))

        host.send_signal(signal.SIGINT)
        assert host.wait(timeout=20) == 0, "the 2025 station did not stop cleanly"
        # The CSV: the old columns first, then QN, RF and kind; resends are RF=1, uploads are not.
        header, rows = csv_rows(url)
        assert header[-3:] == ["QN", "RF", "kind"] and header[:8] == "time,MN,CN,factor,field,value,flag,unit".split(","), header
        kinds = {r["kind"] for r in rows}
        assert kinds <= {"upload", "resend", "history"} and {"upload", "resend"} <= kinds, kinds
        assert all((r["RF"] == "1") == (r["kind"] == "resend") for r in rows), "RF and kind disagree"
        assert all(re.fullmatch(r"\d{17}", r["QN"]) for r in rows), "a row without its QN"
        resent = {r["QN"] for r in rows if r["kind"] == "resend"}
        assert not resent & {r["QN"] for r in rows if r["kind"] == "upload"}, "a resend of an upload that came"

        # Completeness: the periods the page counts are the data times in the CSV; none missing
        # once the resends came.
        def periods(cn):
            got = text(f"#completeness tr[data-cn='{cn}'] td.received") + text(f"#completeness tr[data-cn='{cn}'] td.twice")
            return int(got[0].split()[0]) - int(got[1]) if len(got) == 2 else None
        for cn in ("2051", "2061"):
            times = {r["time"] for r in rows if r["CN"] == cn}
            wait_for(f"{cn}'s periods as in the CSV ({len(times)})", lambda: periods(cn) == len(times), timeout=5)
        missing = {cn: text(f"#completeness tr[data-cn='{cn}'] td.missing") for cn in ("2051", "2061")}

        # The platform judges the periods on its own, at the end of the run: the page's missing
        # periods are its count, and a period the station lost across the dropped link is the
        # platform's only allowed problem, raised exactly when it counts one missing.
        platform.send_signal(signal.SIGINT)
        assert platform.wait(timeout=15) in (0, 1), "the 2025 platform did not end cleanly"
        with open(os.path.join(work, "platform.out"), encoding="utf-8", errors="replace") as f:
            summary = f.read().split("== river summary ==")[-1]
        problems = re.findall(r"^    - (.*)$", summary, re.M)
        # the test stops the station while the acceptance's later duties still run: that close is its own
        assert all(("periods of" in p and "missing" in p) or p == "the station closed the connection" for p in problems), problems
        judged = dict(re.findall(r"CN=(\d{4}) x\d+ \(\d+ s\), (\d+) missing", summary))
        assert {cn: [n] for cn, n in judged.items()} == missing, f"page {missing}, platform {judged}"
        period_problems = [p for p in problems if "periods of" in p]
        assert bool(period_problems) == any(n != "0" for n in judged.values()), f"problems {problems}, platform {judged}"
        return f"2025: {plots['points']} points, {plots['resends']} resends marked, MN {new_mn}; screenshots {screenshot}, {wide}"
    except Exception:
        driver.save_screenshot(os.path.join(os.path.dirname(screenshot) or ".", "web-failure-2025.png"))
        raise
    finally:
        driver.quit()


def main():
    bin_dir, plugin, screenshot = sys.argv[1:4]
    work = tempfile.mkdtemp(prefix="polmon-web-")
    procs = []
    driver = None
    try:
        # The demo station sends minute data as each minute begins, and the hostile station's minute
        # record of 2024 would stand a year of periods away from it: begin early in a minute, so that
        # none begins before the hostile part is over.
        second = time.localtime().tm_sec
        if second > 20:
            time.sleep(61 - second)
        ready = os.path.join(work, "ready")
        platform_out = open(os.path.join(work, "platform.out"), "w")
        platform = subprocess.Popen(
            [os.path.join(bin_dir, "polmon-platform"), "--name", "city", "--web", "127.0.0.1:0", "--web-csv",
             os.path.join(work, "values.csv"), "--scenario", os.path.join(HERE, "data", "web.scn"), "--ready", ready,
             "--wait", "30"], stdout=platform_out, stderr=subprocess.STDOUT)
        procs.append(platform)

        addr, url = wait_for("the platform", lambda: read_ready(ready)).split()
        host_out = open(os.path.join(work, "host.out"), "w")
        host = subprocess.Popen(
            [os.path.join(bin_dir, "polmon-host"), "--plugin", plugin, "-D", f"city={addr}",
             os.path.join(ROOT, "examples", "demo_station.lua")],
            stdin=subprocess.DEVNULL, stdout=host_out, stderr=subprocess.STDOUT)
        procs.append(host)

        driver = browser(work, "en-GB", 1400, 1300)
        driver.get(url)
        text = lambda css: [e.text for e in driver.find_elements(By.CSS_SELECTOR, css)]

        # The station row with its MN, accepted frames in the log, a plot that gets points.
        wait_for("the station's row", lambda: MN in text("#stations td.mn"))
        wait_for("accepted frames", lambda: len(driver.find_elements(By.CSS_SELECTOR, "#frames tr.frame.accepted")) >= 6)
        points = "const c = document.querySelector('canvas[data-factor=\"w01018\"]'); " \
                 "return c ? Chart.getChart(c).data.datasets[0].data.length : 0;"
        wait_for("points in the COD plot", lambda: driver.execute_script(points) >= 6)
        wait_for("the factor's name and unit", lambda: "mg/L" in text("#latest td.unit") and "COD (chemical oxygen demand)" in text("#latest td.name"))
        wait_for("the site's Chinese name", lambda: any("水质自动监测站" in t for t in text("#frames td.content")))
        assert driver.find_element(By.CSS_SELECTOR, "#latest th[data-t=factor]").text == "Factor", "an English browser's page is not English"

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
            # a minute record with all its fields: Min, Avg, Max and Cou in one row, with its data time; a factor
            # the demo station never sends, since its newer minute data (when the run crosses a minute) would stay
            s.sendall(frame(b"QN=20240101120100000;ST=32;CN=2051;PW=123456;MN=POLMON0000000002;Flag=4;CP=&&DataTime=20240101120000;"
                            b"w01019-Avg=5.5,w01019-Min=5.1,w01019-Max=6.0,w01019-Cou=0.8,w01019-Flag=N&&"))
            minute = "//table[@id='latest']//tr[td[@class='code']='w01019' and td[@class='kind']='minute']"
            wait_for("the minute row", lambda: [e.text for e in driver.find_elements(By.XPATH, minute + "/td")][4:11] ==
                     ["", "5.1", "5.5", "6.0", "0.8", "N", "2024-01-01 12:00:00"])
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
        header, csv = csv_rows(url)
        rows = {(r["time"], r["value"]) for r in csv if r["factor"] == "w01018" and r["CN"] == "2011" and r["kind"] == "upload"}
        assert len(sent) >= 4, f"only {len(sent)} uploads in the station's trace"
        assert sent <= rows, f"missing from the CSV: {sorted(sent - rows)}"

        platform.send_signal(signal.SIGINT)
        assert platform.wait(timeout=15) == 0, "the platform did not end cleanly with its verdict OK"
        driver.quit()
        driver = None
        seen = session_2025(bin_dir, plugin, screenshot, work, procs)
        print(f"PASS: {len(sent)} uploads in the page and the CSV; {seen}")
        return 0
    except Exception:
        for name in ("platform.out", "host.out"):
            path = os.path.join(work, name)
            if os.path.exists(path):
                print(f"---- {name}")
                print("".join(open(path, encoding="utf-8", errors="replace").readlines()[-80:]))
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
        # (a control byte: the plug-in drops the frame, the problem names its QN)
        assert any('QN "\\x01<b>\\xFF]]> CN=9011' in f.get("message") for f in failures), [f.attrib for f in failures]
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
