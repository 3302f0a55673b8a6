#!/usr/bin/env python3
"""Soak: a station under polmon-host against a misbehaving polmon-platform over loopback TCP,
while this program streams valid frames at a high rate mixed with noise and corrupt frames to the
station's second device, and SM4-encrypted 2025 data frames (raw and {0x..} text, some with damaged
ciphertext) to a third device that holds the key. Proves and prints: every valid frame sent was
taken by GetData or counted as dropped by the queue bound; every valid encrypted frame was
decrypted and every damaged one rejected; no invalid frame was taken; the station's RSS, sampled
each second, stays flat after warm-up; the station stops promptly. Needs the openssl command.

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
import types

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
RATE = 1000          # valid frames a second asked for (the sender may fall short)
KEYED_RATE = 300     # valid encrypted frames a second to the keyed device
KEYED_DAMAGED = 0.15 # share of valid encrypted frames followed by a damaged copy
KEYED_CRLF = 0.1     # share of valid raw ones given a block whose ciphertext holds a CR LF
KEY = "SoakStationKey25" # 16 bytes: the keyed device's SM4 key
WARMUP_S = 10        # RSS growth is measured from here on
RSS_LIMIT_KIB = 1024
STOP_LIMIT_S = 1.0   # from the station's last cycle to the host's exit


def crc16_byte(reg):
    for _ in range(8):
        reg = (reg >> 1) ^ 0xA001 if reg & 1 else reg >> 1
    return reg


CRC_TABLE = [crc16_byte(b) for b in range(256)]


def crc16(data):
    # The HJ 212 CRC (register >> 8, xor the byte, 8 shifts with 0xA001): the 8 shifts by table,
    # so the two streams cost the sender little CPU.
    reg = 0xFFFF
    for byte in data:
        reg = CRC_TABLE[(reg >> 8) ^ byte]
    return reg


def frame(segment, bad=None):
    body = segment.encode()
    length, crc = len(body), crc16(body)
    if bad == "crc":
        crc ^= 0x1111
    elif bad == "length":
        length += 3
    return b"##%04d" % length + body + b"%04X\r\n" % crc


class Listener(threading.Thread):
    """A sender thread with a loopback port the station's device connects to."""

    def __init__(self, seconds):
        super().__init__(daemon=True)
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.addr = "127.0.0.1:%d" % self.server.getsockname()[1]
        self.seconds = seconds


class Stream(Listener):
    """Accepts the station's stream device and sends, for `seconds`, valid frames mixed with noise
    and corrupt frames in random chunks; then, after a quiet moment, one end frame."""

    def __init__(self, seconds):
        super().__init__(seconds)
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


def sm4_ecb(key, data):
    """SM4-ECB of whole blocks by the openssl command: one process for any number of blocks."""
    done = subprocess.run(["openssl", "enc", "-sm4-ecb", "-K", key.encode().hex(), "-nopad"],
                          input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0 or len(done.stdout) != len(data):
        raise RuntimeError("openssl enc -sm4-ecb: %s" % done.stderr.decode(errors="replace").strip())
    return done.stdout


# Region text padding: printable ASCII without field marks or "#" (no "##" inside a frame).
FILL = "".join(chr(c) for c in range(0x21, 0x7F) if chr(c) not in ";,=&#") * 4


class KeyedStream(Listener):
    """Accepts the station's keyed device, waits for its frame saying the key is set, and sends, for
    `seconds`, HJ 212-2025 CN 2011 frames whose CP region is SM4-encrypted in whole blocks (2 to 6,
    plus a plain tail under 16 bytes), raw or as {0x..} text at random; some are followed by a copy
    whose ciphertext is damaged (a bit flip, or a burst of 2 to 8 bytes, or hex digits in the text
    form). The plain segment gives the length field (raw) and the CRC (both forms). A frame's plain
    text is encrypted with a second's worth of others by one openssl call; then, after a quiet
    moment, one end frame."""

    def __init__(self, seconds):
        super().__init__(seconds)
        self.valid = self.raw = self.text = self.damaged = self.flips = self.bursts = 0  # as sent
        self.wild = 0          # valid raw frames whose ciphertext holds "\r\n", "##" or a zero byte
        self.crlf = 0          # those of them with a "\r\n"
        self.crlf_blocks = []  # plain blocks whose ciphertext holds a "\r\n"
        self.damage_crlf = 0   # damaged raw frames whose damage made a "\r\n"
        self.rnd = random.Random(2025)
        self.seq = 0
        self.finished = threading.Event()
        self.error = None

    def find_crlf_blocks(self):
        """Plain text blocks whose ciphertext holds a CR LF: random blocks of 16 fill characters
        encrypted at once, about one in 4,400 is one."""
        plain = "".join(self.rnd.choices(FILL, k=16 * 100000)).encode()
        cipher = sm4_ecb(KEY, plain)
        at = cipher.find(b"\r\n")
        while at >= 0:
            if at % 16 != 15:
                self.crlf_blocks.append(plain[at - at % 16:at - at % 16 + 16])
            at = cipher.find(b"\r\n", at + 1)
        if not self.crlf_blocks:
            raise RuntimeError("no text block encrypts to a CR LF")

    def region(self, end=False, damaged=False, crlf=False):
        """A plain CP region and the bytes of its whole blocks; with `crlf`, one block's
        ciphertext holds a CR LF."""
        rnd = self.rnd
        blocks, tail = rnd.randint(2, 6), rnd.randint(6 if damaged else 1, 15)
        head = "Seq=%d;%sw01018-Rtd=%d.%02d" % (self.seq, "End=1;" if end else "", rnd.randrange(100), rnd.randrange(100))
        mark = ";Bad=1" if damaged else ""  # inside the plain tail, which damage leaves alone
        pad = len(head) + 5  # where the fill starts
        first = -(-pad // 16) * 16  # the first whole block inside the fill
        while 16 * blocks + tail < pad + 1 + len(mark) or (crlf and 16 * blocks < first + 16):
            blocks += 1
        fill = 16 * blocks + tail - pad - len(mark)
        at = rnd.randrange(len(FILL) - fill)
        text = (head + ";Pad=" + FILL[at:at + fill] + mark).encode()
        if crlf:
            block = first + 16 * rnd.randrange((16 * blocks - first) // 16)
            text = text[:block] + rnd.choice(self.crlf_blocks) + text[block + 16:]
        return text, 16 * blocks

    def damage(self, cipher, form):
        """`cipher` with damage inside it, and the counter of its kind."""
        rnd = self.rnd
        c = bytearray(cipher)
        if rnd.random() < 0.5:
            c[rnd.randrange(len(c))] ^= 1 << rnd.randrange(8)
            return bytes(c), "flips"
        n = rnd.randint(2, 8)
        if form == "raw":
            at = rnd.randrange(len(c) - n + 1)
            for i in range(at, at + n):
                c[i] ^= rnd.randrange(1, 256)
            if rnd.random() < 0.25:  # random bytes almost never make a CR LF: one burst in four holds one
                crlf = at + rnd.randrange(n - 1)
                c[crlf:crlf + 2] = b"\r\n"
                if c == cipher:
                    c[at if crlf != at else at + 1] ^= 0x40  # a burst that changed nothing is none
        else:  # hex digits of the items: consecutive nibbles, each made another digit
            at = rnd.randrange(2 * len(c) - n + 1)
            for i in range(at, at + n):
                c[i // 2] ^= rnd.randrange(1, 16) << (4 if i % 2 == 0 else 0)
        return bytes(c), "bursts"

    def batch(self, count, end=False):
        """`count` valid frames (the last one the end frame when `end`), damaged copies among them,
        each with the counters it moves once sent."""
        plans = []  # (head, region, whole, form, damaged)
        for i in range(count):
            last = end and i == count - 1
            head = ("QN=%017d;ST=32;CN=2011;MN=SOAKKEYED0000001;Flag=9;CP=&&" % self.seq).encode()
            form = self.rnd.choice(("raw", "text"))
            region, whole = self.region(end=last, crlf=form == "raw" and self.rnd.random() < KEYED_CRLF)
            plans.append((head, region, whole, form, False))
            if not last and self.rnd.random() < KEYED_DAMAGED:
                region, whole = self.region(damaged=True)
                plans.append((head, region, whole, self.rnd.choice(("raw", "text")), True))
            self.seq += 1
        cipher = sm4_ecb(KEY, b"".join(region[:whole] for _, region, whole, _, _ in plans))
        frames, at = [], 0
        for head, region, whole, form, damaged in plans:
            c = good = cipher[at:at + whole]
            at += whole
            plain = head + region + b"&&"
            counts = [form]
            if damaged:
                c, kind = self.damage(c, form)
                counts = ["damaged", kind]
            if form == "raw":
                wire = head + c + region[whole:] + b"&&"
                length = len(plain)
                if damaged and c.count(b"\r\n") > good.count(b"\r\n"):
                    counts.append("damage_crlf")
                if not damaged and b"\r\n" in c:
                    counts.append("crlf")
                if not damaged and any(b in c for b in (b"\r\n", b"##", b"\0")):
                    counts.append("wild")
            else:
                wire = head + b"{" + b",".join(b"0x%02X" % b for b in c) + b"}" + region[whole:] + b"&&"
                length = len(wire)
            if not damaged:
                counts.append("valid")
            frames.append((b"##%04d" % length + wire + b"%04X\r\n" % crc16(plain), counts))
        return frames

    def send(self, conn, frames):
        data = b"".join(f for f, _ in frames)
        pos = 0
        while pos < len(data):  # TCP chunks of any size, frames split across them
            step = self.rnd.randrange(1, 1500)
            conn.sendall(data[pos:pos + step])
            pos += step
        for _, counts in frames:
            for name in counts:
                setattr(self, name, getattr(self, name) + 1)

    def run(self):
        try:
            self.find_crlf_blocks()
            self.server.settimeout(30)
            conn, _ = self.server.accept()
            conn.settimeout(30)
            hello = b""
            while b"\r\n" not in hello:  # the station's frame after SetKey: from here on it reads with the key
                got = conn.recv(256)
                if not got:
                    raise RuntimeError("the keyed device closed before its key was set")
                hello += got
            start = time.monotonic()
            pending = []
            while time.monotonic() - start < self.seconds:
                if not pending:  # a second's worth encrypted at once, sent in 50 batches
                    pending = self.batch(KEYED_RATE)
                    step = -(-len(pending) // 50)
                    pending = [pending[i:i + step] for i in range(0, len(pending), step)]
                self.send(conn, pending.pop(0))
                time.sleep(0.02)
            time.sleep(1.5)  # the station empties its queue: the end frame finds room
            self.send(conn, self.batch(1, end=True))
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


def start_platform(bin_dir, work, seconds, procs):
    """The platform: requests in pieces, after junk, with delays, and corrupt copies the station
    must leave unanswered, for nearly the whole run (it must end first: a station that goes away
    counts against it). Its process, its output file and its address."""
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
        return platform, platform_out, r.readline().split()[0]


def run_host(bin_dir, plugin, work, seconds, procs, platform_addr, stream, keyed):
    """The station under polmon-host until it ends, its RSS sampled every second: the process,
    its output and the samples (seconds, KiB)."""
    host_out_path = os.path.join(work, "host.out")
    host_out = open(host_out_path, "w")
    host = subprocess.Popen([os.path.join(bin_dir, "polmon-host"), "--plugin", plugin, "--period", "100",
                             "--trace", "off", "--duration", str(seconds + 60),
                             "-D", "platform=" + platform_addr, "-D", "stream=" + stream.addr,
                             "-D", "keyed=" + keyed.addr, "-D", "key=" + KEY,
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
    host_out.close()
    return host, open(host_out_path).read(), samples


def done_fields(host_text, which, problems, missing):
    """The station's "done" line for one stream: the match and its counters (empty when none)."""
    done = re.search(r"^(\S+) (?:script: )?soak-station: done %s (.*)$" % which, host_text, re.M)
    if not done:
        problems.append(missing)
        return None, {}
    return done, dict(kv.split("=", 1) for kv in done[2].split())


def check_stream(fields, stream, problems):
    num = lambda k: int(fields.get(k, "0") or 0)
    if stream.error:
        problems.append("stream: %s" % stream.error)
    if not fields:
        return
    taken, dropped, accepted = num("taken"), num("Dropped"), num("Accepted")
    if accepted != stream.valid:
        problems.append("accepted %d of %d valid frames sent" % (accepted, stream.valid))
    if taken + dropped != stream.valid:
        problems.append("sent %d, taken %d + dropped %d = %d" % (stream.valid, taken, dropped, taken + dropped))
    if num("invalid") or num("out_of_order"):
        problems.append("%d invalid and %d out-of-order frames taken" % (num("invalid"), num("out_of_order")))
    if (num("BadCrc"), num("BadLength")) != (stream.bad_crc, stream.bad_length):
        problems.append("rejected %d bad-CRC and %d bad-length frames, sent %d and %d" % (
            num("BadCrc"), num("BadLength"), stream.bad_crc, stream.bad_length))


def check_keyed(kfields, keyed, problems):
    knum = lambda k: int(kfields.get(k, "0") or 0)
    if keyed.error:
        problems.append("keyed stream: %s" % keyed.error)
    if not kfields:
        return
    if knum("Accepted") != keyed.valid or knum("Decrypted") != keyed.valid:
        problems.append("keyed: accepted %d and decrypted %d of %d valid frames sent" % (
            knum("Accepted"), knum("Decrypted"), keyed.valid))
    if knum("taken") + knum("Dropped") != keyed.valid:
        problems.append("keyed: sent %d, taken %d + dropped %d = %d" % (
            keyed.valid, knum("taken"), knum("Dropped"), knum("taken") + knum("Dropped")))
    if knum("invalid") or knum("out_of_order"):
        problems.append("keyed: %d invalid and %d out-of-order frames taken" % (knum("invalid"), knum("out_of_order")))
    if (knum("BadCrc"), knum("BadLength")) != (keyed.damaged, 0):
        problems.append("keyed: rejected %d bad-CRC and %d bad-length frames, sent %d damaged" % (
            knum("BadCrc"), knum("BadLength"), keyed.damaged))


def rss_growth(samples, problems):
    after = [kib for t, kib in samples if t >= WARMUP_S]
    growth = max(after) - after[0] if len(after) > 1 else None
    if growth is None:
        problems.append("too few RSS samples after warm-up")
    elif growth >= RSS_LIMIT_KIB:
        problems.append("RSS grew %d KiB after warm-up" % growth)
    return growth


def print_figures(r):
    """The run's figures; `r` holds what main() gathered."""
    num = lambda k: int(r.fields.get(k, "0") or 0)
    knum = lambda k: int(r.kfields.get(k, "0") or 0)
    stream, keyed, seconds = r.stream, r.keyed, r.seconds
    print("soak: %d s, station on %s, platform %s" % (seconds, stream.addr, r.platform_addr))
    print("  stream sent:   %d valid frames (%.0f/s), %d bad-CRC, %d bad-length, %d noise bytes" % (
        stream.valid, stream.valid / seconds, stream.bad_crc, stream.bad_length, stream.noise))
    print("  station took:  %d by GetData, %d dropped by the 64-frame bound, %d invalid taken" % (
        num("taken"), num("Dropped"), num("invalid")))
    print("  receive counters: " + " ".join("%s=%s" % (k, r.fields.get(k, "?")) for k in (
        "Accepted", "BadLength", "BadCrc", "Dropped", "Overlong", "NoiseBytes", "ReceivedBytes")))
    print("  rejected:      %d (bad CRC %d, bad length %d)" % (num("BadCrc") + num("BadLength"), num("BadCrc"), num("BadLength")))
    print("  keyed sent:    %d valid encrypted frames (%.0f/s; %d raw, %d of them with CR LF, ## or NUL in the "
          "ciphertext, %d with CR LF; %d {0x..} text), %d damaged (%d bit flips, %d bursts; %d with a CR LF made by "
          "the damage)" % (keyed.valid, keyed.valid / seconds, keyed.raw, keyed.wild, keyed.crlf, keyed.text,
                           keyed.damaged, keyed.flips, keyed.bursts, keyed.damage_crlf))
    print("  keyed took:    %d by GetData, %d dropped by the 64-frame bound, %d invalid taken" % (
        knum("taken"), knum("Dropped"), knum("invalid")))
    print("  keyed counters: " + " ".join("%s=%s" % (k, r.kfields.get(k, "?")) for k in (
        "Accepted", "Decrypted", "BadLength", "BadCrc", "Dropped", "Overlong", "NoiseBytes", "ReceivedBytes", "CutShort")))
    print("  platform:      %s; %s" % (r.verdict[1] if r.verdict else "no verdict", "; ".join(
        l.strip() for l in r.platform_text.splitlines() if re.match(r"^  (requests|answered|bad frames in|junk bytes in):", l))))
    print("  RSS (KiB, every 10 s): " + " ".join("%d:%d" % (t, kib) for t, kib in r.samples[::10]))
    print("  RSS growth after %d s warm-up: %s KiB" % (WARMUP_S, r.growth))
    print("  stop: %s s from the last cycle to exit" % ("%.3f" % r.stop_s if r.stop_s is not None else "?"))


def judge_run(r, host, problems):
    """Shutdown time, the host's exit and the platform's verdict, into `r` and `problems`."""
    # Shutdown: from the station's last cycle (its last done line) to the host's last line.
    stopped = re.search(r"^(\S+) polmon-host: stopped after", r.host_text, re.M)
    r.stop_s = None
    if r.done and r.keyed_done and stopped:
        r.stop_s = stamp(stopped[0]) - max(stamp(r.done[0]), stamp(r.keyed_done[0]))
        if r.stop_s > STOP_LIMIT_S:
            problems.append("the station took %.3f s to stop" % r.stop_s)
    if host.returncode != 0:
        problems.append("polmon-host exited with %s" % host.returncode)
    r.verdict = re.search(r"^  verdict: *(.*)$", r.platform_text, re.M)
    if not r.verdict or r.verdict[1] != "OK":
        problems.append("platform verdict: %s" % (r.verdict[1] if r.verdict else "none"))


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    bin_dir, plugin = sys.argv[1], sys.argv[2]
    r = types.SimpleNamespace()
    r.seconds = seconds = int(sys.argv[3]) if len(sys.argv) > 3 else int(os.environ.get("SOAK_SECONDS", "60"))
    work = tempfile.mkdtemp(prefix="polmon-soak-")
    procs = []
    try:
        platform, platform_out, r.platform_addr = start_platform(bin_dir, work, seconds, procs)
        r.stream = Stream(seconds)
        r.stream.start()
        r.keyed = KeyedStream(seconds)
        r.keyed.start()
        host, r.host_text, r.samples = run_host(bin_dir, plugin, work, seconds, procs, r.platform_addr, r.stream, r.keyed)
        try:
            platform.wait(seconds + 30)
        except subprocess.TimeoutExpired:
            platform.kill()
        platform_out.close()
        r.platform_text = open(os.path.join(work, "platform.out")).read()

        problems = []
        r.done, r.fields = done_fields(r.host_text, "stream", problems, "the station never took the stream's end frame")
        r.keyed_done, r.kfields = done_fields(r.host_text, "keyed", problems, "the station never took the keyed stream's end frame")
        check_stream(r.fields, r.stream, problems)
        check_keyed(r.kfields, r.keyed, problems)
        judge_run(r, host, problems)
        r.growth = rss_growth(r.samples, problems)
        print_figures(r)
        if problems:
            print("soak: FAIL")
            for p in problems:
                print("  - " + p)
            print("---- host output (tail)\n" + "\n".join(r.host_text.splitlines()[-30:]))
            print("---- platform output (tail)\n" + "\n".join(r.platform_text.splitlines()[-30:]))
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
