#!/usr/bin/env python3
"""The examples and the guide's frames, clean under the platform's notes.

usage: examples_clean.py examples BIN_DIR PLUGIN ROOT
       examples_clean.py guide BIN_DIR ROOT

examples: every station script in ROOT/examples (a file with a device{...}; the files the others
require are left out) runs under polmon-host against polmon-platform, as a 2017 station against a
2017 platform and as a 2025 station with a key against a 2025 platform with that key. A row fails
on a platform verdict other than OK, on any note in its summary (the values' notes: unknown code,
not a number, beyond the default format, unknown flag, another medium; the platform's own
notes), or on a host that did not stop cleanly. A factor row of an example's table
(`code = "...", unit = "...", format = "..."`) must match the code tables.

A script's first line may declare the polmon-host arguments of its clean run:
    -- clean run: -D city={platform} -D minute=1
{platform} is the address of the platform, which listens; without {platform} the station is
started first and the platform connects to its tcp-server port or opens its pty's peer, as the
station's ready line says. Runs separated by " | " are rows of their own; "; 2017 only" at the end
leaves out the 2025 rows. Without a declaration: -D platform={platform}.

guide: every complete frame ("##" and four digits, no "..." in it) printed in ROOT/docs/*.md goes
to polmon-frame, which must accept each with no note; and every row of the code tables the Chinese
guide prints (docs/*.zh.md) has the name, unit and format of tools/common/data/hj212-codes.json.
"""
import concurrent.futures
import glob
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time

KEY = "0123456789ABCDEF"
PLATFORM_SECONDS = 6  # after the station came: real-time, minute and hourly data at the examples' short periods
DEADLINE = 90         # seconds a row may take in all
DECLARATION = re.compile(r"^--\s*clean run:\s*(.*)$")


def wait_line(path, deadline):
    """The first whole line written to `path`, or None at the deadline."""
    while time.monotonic() < deadline:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                text = f.read()
            if "\n" in text:
                return text.split("\n", 1)[0]
        except OSError:
            pass
        time.sleep(0.05)
    return None


def stop(proc, sig, seconds):
    """Signals `proc` and waits; kills it when it outlives the seconds. Its exit status, or None."""
    if proc.poll() is None:
        proc.send_signal(sig)
    try:
        return proc.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return None


def summary_of(text):
    at = text.find("== ")
    return text[at:] if at >= 0 else text[-3000:]


def judge(platform_rc, platform_out, host_rc):
    """What is wrong with a row's run; empty when it is clean."""
    wrong = []
    verdict = re.search(r"^  verdict: *(.*)$", platform_out, re.M)
    if not verdict or verdict.group(1) != "OK":
        wrong.append("verdict " + (verdict.group(1) if verdict else "missing") + " (platform exit %s)" % platform_rc)
    values = re.search(r"^  values: *(.*)$", platform_out, re.M)
    if not values:
        wrong.append("no values row")
    elif values.group(1) != "none" and not values.group(1).endswith(", 0 notes"):
        noted = [l.strip() for l in platform_out.splitlines() if re.match(r"^ {20,}\S.*: \d+ values?;", l)]
        wrong.append("values: " + values.group(1) + "".join("\n      " + n for n in noted))
    if re.search(r"^  notes:", platform_out, re.M):
        wrong.append("platform notes:\n" + "\n".join(l for l in platform_out.splitlines() if l.startswith("    - ")))
    if host_rc != 0:
        wrong.append("host exit %s" % host_rc)
    return wrong


def spawn(args, out_path):
    with open(out_path, "w") as out:  # the child keeps its own copy of the descriptor
        return subprocess.Popen(args, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)


def read(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def run_row(bin_dir, plugin, script, host_args, standard):
    work = tempfile.mkdtemp(prefix="polmon-example-")
    deadline = time.monotonic() + DEADLINE
    platform_args = ["--standard", standard, "--duration", str(PLATFORM_SECONDS), "--quiet", "--wait", "20", "--name", "platform"]
    station_args = ["-D", "standard=" + standard]
    # a station's shortened minute and hour (-D minute=S -D hour=S) are the periods the platform judges
    periods = [cn + "=" + a.split("=", 1)[1] for cn, key in (("2051", "minute="), ("2061", "hour="))
               for a in host_args if a.startswith(key)]
    if periods:
        platform_args += ["--periods", ",".join(periods)]
    if standard == "2025":
        platform_args += ["--key", KEY]
        station_args += ["-D", "key=" + KEY]
    procs = []
    host = platform = None
    try:
        platform_out = os.path.join(work, "platform.out")
        host_out = os.path.join(work, "host.out")
        listens = any("{platform}" in a for a in host_args)
        if listens:
            ready = os.path.join(work, "platform.ready")
            platform = spawn([os.path.join(bin_dir, "polmon-platform"), "--ready", ready] + platform_args, platform_out)
            procs.append(platform)
            addr = wait_line(ready, deadline)
            if not addr:
                return ["platform not ready"], ""
            host_args = [a.replace("{platform}", addr.strip()) for a in host_args]
        ready = os.path.join(work, "host.ready")
        host = spawn([os.path.join(bin_dir, "polmon-host"), "--plugin", plugin, "--ready", ready, "--duration", str(DEADLINE)] + host_args +
                     station_args + [script], host_out)
        procs.append(host)
        if not listens:
            line = wait_line(ready, deadline)
            if not line or len(line.split()) < 3:
                return ["station not ready: %r" % line], read(host_out)[-3000:]
            _, kind, where = line.split()[:3]
            link = ["--serial", where] if kind == "pty" else ["--connect", where]
            platform = spawn([os.path.join(bin_dir, "polmon-platform")] + link + platform_args, platform_out)
            procs.append(platform)
        try:
            platform_rc = platform.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            platform_rc = stop(platform, signal.SIGKILL, 5)
        host_rc = stop(host, signal.SIGINT, 10)
        out = read(platform_out)
        wrong = judge(platform_rc, out, host_rc)
        detail = summary_of(out)
        if host_rc != 0:
            detail += "---- host\n" + read(host_out)[-3000:]
        return wrong, detail
    finally:
        for p in procs:
            stop(p, signal.SIGKILL, 5)
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)


def rows_of(path):
    """(title, host arguments, standard, path) of each row the script declares."""
    with open(path, encoding="utf-8") as f:
        first = f.readline().strip()
    m = DECLARATION.match(first)
    text = m.group(1) if m else "-D platform={platform}"
    standards = ["2017", "2025"]
    if text.rstrip().endswith("; 2017 only"):
        text = text.rstrip()[: -len("; 2017 only")]
        standards = ["2017"]
    rows = []
    for run in text.split(" | "):
        for standard in standards:
            rows.append(("%s %s [%s]" % (os.path.basename(path), standard, run.strip()), shlex.split(run), standard, path))
    return rows


def table_rows_match_codes(paths, codes_file):
    """The factor rows of the examples' tables against the code tables: code known, unit and format theirs."""
    with open(codes_file, encoding="utf-8") as f:
        known = {p["code"]: p for p in json.load(f)["pollutants"]}
    row = re.compile(r'code\s*=\s*"([^"]*)"\s*,\s*unit\s*=\s*"([^"]*)"\s*,\s*format\s*=\s*"([^"]*)"')
    wrong, count = [], 0
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for n, line in enumerate(f, 1):
                for code, unit, fmt in row.findall(line):
                    count += 1
                    p = known.get(code)
                    where = "%s:%d: %s" % (os.path.basename(path), n, code)
                    if not p:
                        wrong.append(where + " is no code of the tables")
                    elif (p["unit"] or "") != unit or (p["format"] or "") != fmt:
                        wrong.append("%s has unit %r and format %r in the tables, not %r and %r" % (where, p["unit"], p["format"], unit, fmt))
    return wrong, count


def examples(bin_dir, plugin, root):
    scripts = []
    for path in sorted(glob.glob(os.path.join(root, "examples", "*.lua"))):
        with open(path, encoding="utf-8") as f:
            if re.search(r"\bdevice\s*\{", f.read()):
                scripts.append(path)
    if not scripts:
        print("FAIL: no station scripts in examples/")
        return 1
    failed = 0
    wrong, count = table_rows_match_codes(scripts, os.path.join(root, "tools", "common", "data", "hj212-codes.json"))
    for w in wrong:
        print("FAIL: factor table: " + w)
    failed += len(wrong)
    print("factor table rows checked against the code tables: %d" % count)
    rows = [r for s in scripts for r in rows_of(s)]
    # four at once: a row mostly waits on the scenario's steps, so two cores keep up
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        futures = {pool.submit(run_row, bin_dir, plugin, r[3], r[1], r[2]): r for r in rows}
        for fut in concurrent.futures.as_completed(futures):
            title = futures[fut][0]
            wrong, detail = fut.result()
            if wrong:
                failed += 1
                print("FAIL %s:\n  - %s\n%s" % (title, "\n  - ".join(wrong), detail))
            else:
                print("clean %s" % title)
    print("%d rows, %d failed" % (len(rows), failed))
    return 1 if failed else 0


def guide(bin_dir, root):
    frame = re.compile(r"##[0-9]{4}[^\s`'\"|]*")
    frames, elided = [], 0
    for path in sorted(glob.glob(os.path.join(root, "docs", "*.md"))):
        with open(path, encoding="utf-8") as f:
            for n, line in enumerate(f, 1):
                for text in frame.findall(line):
                    if "..." in text:
                        elided += 1  # an excerpt, as "##0295...{0xE4,...}&&2200"
                    else:
                        frames.append(("%s:%d" % (os.path.basename(path), n), text))
    if not frames:
        print("FAIL: no frame printed in docs/*.md")
        return 1
    failed = 0
    for where, text in frames:
        r = subprocess.run([os.path.join(bin_dir, "polmon-frame"), text], capture_output=True, text=True, timeout=30)
        notes = [l.strip() for l in r.stdout.splitlines() if l.strip().startswith("note:")]
        if r.returncode != 0 or notes or "ACCEPTED" not in r.stdout:
            failed += 1
            print("FAIL %s: %s\n%s" % (where, text, r.stdout + r.stderr))
        else:
            print("clean %s" % where)
    print("%d frames, %d failed, %d excerpts left out" % (len(frames), failed, elided))
    wrong, count = chinese_names_match_codes(root)
    for w in wrong:
        print("FAIL: " + w)
    print("%d Chinese names checked against the code tables, %d wrong" % (count, len(wrong)))
    missing, options = options_in_guides(bin_dir, root)
    for m in missing:
        print("FAIL: " + m)
    print("%d command-line options looked for in both guides, %d missing" % (options, len(missing)))
    return 1 if failed or wrong or not count or missing or not options else 0


TOOLS = ("polmon-host", "polmon-platform", "polmon-frame", "polmon-config")
OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*|-D)(?![\w-])")


def tool_options(bin_dir, tool):
    """The options a tool's help lists: those on its usage lines and at the head of its option lines
    (up to the description, two spaces on), not those of other tools it mentions."""
    r = subprocess.run([os.path.join(bin_dir, tool), "--help"], capture_output=True, text=True, timeout=30)
    found = set()
    for line in (r.stdout + r.stderr).splitlines():
        head = line.strip()
        if head.startswith("usage:") or re.match(r"^(polmon-\S+\s+)?-", head) or head.startswith(tool):
            head = re.split(r"(?<=\S)\s{2,}", head, maxsplit=1)[0] if head.startswith("-") else head
            head = re.sub(r"polmon-(?!%s\b)\S+.*" % re.escape(tool.split("-", 1)[1]), "", head)
            found.update(OPTION.findall(head))
    return found


def options_in_guides(bin_dir, root):
    """Every command-line option of every tool, in the English guide and in the Chinese one."""
    guides = {}
    for name in ("guide.md", "guide.zh.md"):
        with open(os.path.join(root, "docs", name), encoding="utf-8") as f:
            guides[name] = set(OPTION.findall(f.read()))
    missing, count = [], 0
    for tool in TOOLS:
        for option in sorted(tool_options(bin_dir, tool)):
            count += 1
            for name, present in guides.items():
                if option not in present:
                    missing.append("%s %s is not in docs/%s" % (tool, option, name))
    return missing, count


def chinese_names_match_codes(root):
    """The code tables the Chinese guide prints, row by row against tools/common/data: name, unit, format."""
    with open(os.path.join(root, "tools", "common", "data", "hj212-codes.json"), encoding="utf-8") as f:
        d = json.load(f)
    dimensionless = "无量纲"
    known = {
        "| 编码 | 名称 | 单位 | 缺省数据格式 |": {(p["code"],): [p["name"], p["unit"] or dimensionless, p["format"] or ""] for p in d["pollutants"]},
        "| 标记 | 含义 |": {(f["flag"],): [f["zh"]] for f in d["data_flags"] if f["standard"] == "HJ 212-2017"},
        "| ST | 名称 |": {(s["st"],): [s["zh"]] for s in d["systems"]},
        "| CN | 方向 | 名称 |": {(c["cn"], {"down": "上位机 → 现场机", "up": "现场机 → 上位机", "both": "双向"}[c["direction"]]): [c["zh"]] for c in d["commands"]},
    }
    for field in ("QnRtn", "ExeRtn"):
        known["| %s | 含义 |" % field] = {(v["value"],): [v["zh"]] for v in d["answers"][field]["values"]}
    wrong, count = [], 0
    for path in sorted(glob.glob(os.path.join(root, "docs", "*.zh.md"))):
        table = None
        with open(path, encoding="utf-8") as f:
            for n, line in enumerate(f, 1):
                line = line.rstrip("\n")
                if not line.startswith("|"):
                    table = None
                    continue
                if table is None:
                    table = known.get(line, {})
                    continue
                cells = [c.strip().strip("`") for c in line.strip("|").split("|")]
                if not table or set(cells[0]) <= set("-"):
                    continue
                keys = len(next(iter(table)))
                key, got = tuple(cells[:keys]), [c.replace("（2025）", "") for c in cells[keys:]]
                count += 1
                if table.get(key) != got:
                    wrong.append("%s:%d: %s is %s in the code tables, not %s" % (os.path.basename(path), n, "/".join(key), table.get(key, "unknown"), got))
    return wrong, count


def main(argv):
    if len(argv) == 5 and argv[1] == "examples":
        return examples(argv[2], argv[3], argv[4])
    if len(argv) == 4 and argv[1] == "guide":
        return guide(argv[2], argv[3])
    sys.exit(__doc__)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
