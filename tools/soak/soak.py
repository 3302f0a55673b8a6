#!/usr/bin/env python3
"""Soak: a station under polmon-host against a misbehaving polmon-platform over loopback TCP,
while this program streams valid frames at a high rate mixed with noise and corrupt frames to the
station's second device. Proves and prints: every valid frame sent was taken by GetData or counted
as dropped by the queue bound; no invalid frame was taken; the station's RSS, sampled each second,
stays flat after warm-up; the station stops promptly.

    soak.py BIN_DIR PLUGIN [SECONDS]     (SECONDS also from SOAK_SECONDS; default 60)
Exit status 0 when every check holds."""
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
RATE = 1000          # valid frames a second asked for (the sender may fall short)
WARMUP_S = 10        # RSS growth is measured from here on
RSS_LIMIT_KIB = 1024
STOP_LIMIT_S = 1.0   # from the station's last cycle to the host's exit


def crc16(data):
    reg = 0xFFFF
    for byte in data:
        reg = (reg >> 8) ^ byte
        for _ in range(8):
            reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
    return reg


def frame(segment, bad=None):
    body = segment.encode()
    length, crc = len(body), crc16(body)
    if bad == "crc":
        crc ^= 0x1111
    elif bad == "length":
        length += 3
    return b"##%04d" % length + body + b"%04X\r\n" % crc


class Stream(threading.Thread):
    """Accepts the station's stream device and sends, for `seconds`, valid frames mixed with noise
    and corrupt frames in random chunks; then, after a quiet moment, one end frame."""

    def __init__(self, seconds):
        super().__init__(daemon=True)
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.addr = "127.0.0.1:%d" % self.server.getsockname()[1]
        self.seconds = seconds
        self.valid = self.bad_crc = self.bad_length = self.noise = 0
        self.finished = threading.Event()
        self.error = None

    def run(self):
        try:
            self.server.settimeout(30)
            conn, _ = self.server.accept()
            rnd = random.Random(212)
            noise_bytes = bytes(b for b in range(256) if b != ord("#"))
            start = time.monotonic()
            seq = 0
            while time.monotonic() - start < self.seconds:
                batch = []
                for _ in range(RATE // 50):  # one batch every 20 ms
                    seg = "QN=%017d;ST=32;CN=2011;MN=SOAKSTREAM00000000000001;Flag=4;CP=&&Seq=%d;w01018-Rtd=%d.%02d&&" % (
                        seq, seq, rnd.randrange(100), rnd.randrange(100))
                    batch.append(frame(seg))
                    self.valid += 1
                    seq += 1
                    roll = rnd.random()
                    if roll < 0.1:
                        batch.append(frame(seg.replace("CP=&&", "CP=&&Bad=crc;"), "crc"))
                        self.bad_crc += 1
                    elif roll < 0.2:
                        batch.append(frame(seg.replace("CP=&&", "CP=&&Bad=len;"), "length"))
                        self.bad_length += 1
                    elif roll < 0.5:
                        junk = bytes(rnd.choice(noise_bytes) for _ in range(rnd.randrange(1, 40)))
                        batch.append(junk)
                        self.noise += len(junk)
                data = b"".join(batch)
                pos = 0
                while pos < len(data):  # TCP chunks of any size, frames split across them
                    step = rnd.randrange(1, 1500)
                    conn.sendall(data[pos:pos + step])
                    pos += step
                time.sleep(0.02)
            time.sleep(1.5)  # the station empties its queue: the end frame finds room
            conn.sendall(frame("QN=%017d;ST=32;CN=2011;MN=SOAKSTREAM00000000000001;Flag=4;CP=&&Seq=%d;End=1&&" % (seq, seq)))
            self.valid += 1
            self.finished.set()
            self.conn = conn  # kept open until the station goes
        except Exception as e:  # reported by the checks
            self.error = e
            self.finished.set()


def rss_kib(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def stamp(line):
    m = re.match(r"^(\d\d):(\d\d):(\d\d)\.(\d\d\d) ", line)
    return int(m[1]) * 3600 + int(m[2]) * 60 + int(m[3]) + int(m[4]) / 1000 if m else None


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    bin_dir, plugin = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else int(os.environ.get("SOAK_SECONDS", "60"))
    work = tempfile.mkdtemp(prefix="polmon-soak-")
    procs = []
    try:
        # The platform: requests in pieces, after junk, with delays, and corrupt copies the station
        # must leave unanswered, for nearly the whole run (it must end first: a station that goes
        # away counts against it).
        groups = max(1, (seconds - 5) // 6)  # the platform ends before the stream does
        scenario = os.path.join(work, "soak.scn")
        with open(scenario, "w") as f:
            for _ in range(groups):
                f.write("request CN=1011 split junk delay=50\n"
                        "request CN=1011 bad-crc\n"
                        "request CN=1062 CP=RtdInterval=30 bad-length\n"
                        "request CN=1062 CP=RtdInterval=30 junk\n"
                        "pause 2000\n")
        ready = os.path.join(work, "platform.ready")
        os.mkfifo(ready)
        fd = os.open(ready, os.O_RDWR)
        platform_out = open(os.path.join(work, "platform.out"), "w")
        platform = subprocess.Popen([os.path.join(bin_dir, "polmon-platform"), "--name", "platform", "--ready", ready,
                                     "--wait", "20", "--duration", str(max(1, seconds - 3)), "--scenario", scenario, "--quiet"],
                                    stdout=platform_out, stderr=subprocess.STDOUT)
        procs.append(platform)
        with os.fdopen(fd, "r") as r:
            platform_addr = r.readline().split()[0]

        stream = Stream(seconds)
        stream.start()
        host_out_path = os.path.join(work, "host.out")
        host_out = open(host_out_path, "w")
        host = subprocess.Popen([os.path.join(bin_dir, "polmon-host"), "--plugin", plugin, "--period", "100",
                                 "--trace", "off", "--duration", str(seconds + 60),
                                 "-D", "platform=" + platform_addr, "-D", "stream=" + stream.addr,
                                 "-D", "examples=" + os.path.join(ROOT, "examples"),
                                 os.path.join(HERE, "soak_station.lua")],
                                stdin=subprocess.DEVNULL, stdout=host_out, stderr=subprocess.STDOUT)
        procs.append(host)

        samples = []
        began = time.monotonic()
        while host.poll() is None and time.monotonic() - began < seconds + 60:
            kib = rss_kib(host.pid)
            if kib is not None:
                samples.append((time.monotonic() - began, kib))
            time.sleep(1)
        if host.poll() is None:
            host.send_signal(signal.SIGINT)
            host.wait(10)
        try:
            platform.wait(seconds + 30)
        except subprocess.TimeoutExpired:
            platform.kill()
        host_out.close()
        platform_out.close()
        host_text = open(host_out_path).read()
        platform_text = open(os.path.join(work, "platform.out")).read()

        problems = []
        done = re.search(r"^(\S+) (?:script: )?soak-station: done (.*)$", host_text, re.M)
        if not done:
            problems.append("the station never took the stream's end frame")
            fields = {}
        else:
            fields = dict(kv.split("=", 1) for kv in done[2].split())
        num = lambda k: int(fields.get(k, "0") or 0)
        taken, dropped, accepted = num("taken"), num("Dropped"), num("Accepted")
        rejected = num("BadCrc") + num("BadLength")
        if stream.error:
            problems.append("stream: %s" % stream.error)
        if fields:
            if accepted != stream.valid:
                problems.append("accepted %d of %d valid frames sent" % (accepted, stream.valid))
            if taken + dropped != stream.valid:
                problems.append("sent %d, taken %d + dropped %d = %d" % (stream.valid, taken, dropped, taken + dropped))
            if num("invalid") or num("out_of_order"):
                problems.append("%d invalid and %d out-of-order frames taken" % (num("invalid"), num("out_of_order")))
            if (num("BadCrc"), num("BadLength")) != (stream.bad_crc, stream.bad_length):
                problems.append("rejected %d bad-CRC and %d bad-length frames, sent %d and %d" % (
                    num("BadCrc"), num("BadLength"), stream.bad_crc, stream.bad_length))
        # Shutdown: from the station's last cycle (its done line) to the host's last line.
        stopped = re.search(r"^(\S+) polmon-host: stopped after", host_text, re.M)
        stop_s = None
        if done and stopped:
            stop_s = stamp(stopped[0]) - stamp(done[0])
            if stop_s > STOP_LIMIT_S:
                problems.append("the station took %.3f s to stop" % stop_s)
        if host.returncode != 0:
            problems.append("polmon-host exited with %s" % host.returncode)
        verdict = re.search(r"^  verdict: *(.*)$", platform_text, re.M)
        if not verdict or verdict[1] != "OK":
            problems.append("platform verdict: %s" % (verdict[1] if verdict else "none"))
        after = [kib for t, kib in samples if t >= WARMUP_S]
        growth = max(after) - after[0] if len(after) > 1 else None
        if growth is None:
            problems.append("too few RSS samples after warm-up")
        elif growth >= RSS_LIMIT_KIB:
            problems.append("RSS grew %d KiB after warm-up" % growth)

        print("soak: %d s, station on %s, platform %s" % (seconds, stream.addr, platform_addr))
        print("  stream sent:   %d valid frames (%.0f/s), %d bad-CRC, %d bad-length, %d noise bytes" % (
            stream.valid, stream.valid / seconds, stream.bad_crc, stream.bad_length, stream.noise))
        print("  station took:  %d by GetData, %d dropped by the 64-frame bound, %d invalid taken" % (
            taken, dropped, num("invalid")))
        print("  receive counters: " + " ".join("%s=%s" % (k, fields.get(k, "?")) for k in (
            "Accepted", "BadLength", "BadCrc", "Dropped", "Overlong", "NoiseBytes", "ReceivedBytes")))
        print("  rejected:      %d (bad CRC %d, bad length %d)" % (rejected, num("BadCrc"), num("BadLength")))
        print("  platform:      %s; %s" % (verdict[1] if verdict else "no verdict", "; ".join(
            l.strip() for l in platform_text.splitlines() if re.match(r"^  (requests|answered|bad frames in|junk bytes in):", l))))
        print("  RSS (KiB, every 10 s): " + " ".join("%d:%d" % (t, kib) for t, kib in samples[::10]))
        print("  RSS growth after %d s warm-up: %s KiB" % (WARMUP_S, growth))
        print("  stop: %s s from the last cycle to exit" % ("%.3f" % stop_s if stop_s is not None else "?"))
        if problems:
            print("soak: FAIL")
            for p in problems:
                print("  - " + p)
            print("---- host output (tail)\n" + "\n".join(host_text.splitlines()[-30:]))
            print("---- platform output (tail)\n" + "\n".join(platform_text.splitlines()[-30:]))
            return 1
        print("soak: PASS")
        return 0
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        for name in os.listdir(work):
            os.unlink(os.path.join(work, name))
        os.rmdir(work)


if __name__ == "__main__":
    sys.exit(main())
