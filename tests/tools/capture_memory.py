#!/usr/bin/env python3
"""What polmon-frame holds does not grow with what it reads: for each row, its peak resident
memory on a large input stays within BOUND_KIB of that on a small one of the same shape. The
shapes are those that once made it grow: a lost TCP segment holding the rest of the stream, and
with a key, spans whose verdicts were held while a candidate was followed.

  capture_memory.py BIN_DIR WORK_DIR
"""
import os
import subprocess
import sys

from wireshark_compare import PLATFORM, STATION, field_frames, ip_packet, write_pcap

SMALL_MB, LARGE_MB = 3, 32
BOUND_KIB = 8 * 1024  # a receive window and the largest frame are far below it; the faults grew 40-200 MB
KEY = "0123456789abcdef"


def uploads(megabytes):
    frames = b"".join(field_frames())
    return frames * (megabytes * 2**20 // len(frames) + 1)


def lost_segment(path, megabytes):
    """The station's stream in 1,400-byte segments, the one at 14,000 bytes never captured."""
    stream, isn = uploads(megabytes), 0x21200000
    packets = [ip_packet(STATION, PLATFORM, 10212, 212, isn, 0, 0x02, b"")]
    for at in range(0, len(stream), 1400):
        if at != 14000:
            packets.append(ip_packet(STATION, PLATFORM, 10212, 212, isn + 1 + at, 0, 0x18, stream[at:at + 1400]))
    t0 = 1700000000 * 10**6
    write_pcap(path, [((t0 + i) // 10**6, (t0 + i) % 10**6, p) for i, p in enumerate(packets)], 101)
    return ["--file", path]


def followed_spans(path, megabytes):
    """A data command's header announcing 9,999 bytes, then 2,000 empty spans, again and again:
    some candidate is always followed and no frame is ever accepted."""
    unit = b"##9999QN=1;ST=32;CN=2011;CP=&&x\r\n" + b"##\r\n" * 2000
    with open(path, "wb") as f:
        f.write(unit * (megabytes * 2**20 // len(unit) + 1))
    return ["--key", KEY, "--file", path]


ROWS = [
    ("a segment lost at 14,000 bytes", lost_segment, ".pcap"),
    ("with a key, spans always followed", followed_spans, ".bin"),
]


def peak_kib(bin_dir, args, work):
    """polmon-frame's peak resident memory in KiB, its output thrown away. GNU time measures it: a
    child's peak counts what it had from its parent when it forked, and GNU time is small where
    this process, holding the inputs it made, is not."""
    report = os.path.join(work, "peak")
    subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, os.path.join(bin_dir, "polmon-frame"), "--json"] + args,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(report) as f:
        return int(f.read().split()[-1])


def main():
    bin_dir, work = sys.argv[1], sys.argv[2]
    os.makedirs(work, exist_ok=True)
    failed = 0
    for name, make, suffix in ROWS:
        peaks = []
        for megabytes in (SMALL_MB, LARGE_MB):
            path = os.path.join(work, "input-%d%s" % (megabytes, suffix))
            peaks.append(peak_kib(bin_dir, make(path, megabytes), work))
            os.remove(path)
        grown = peaks[1] - peaks[0]
        verdict = "ok" if grown <= BOUND_KIB else "FAILED"
        failed += verdict != "ok"
        print("%-36s %d MB: %6d KiB  %d MB: %6d KiB  grown %6d KiB (bound %d)  %s" %
              (name, SMALL_MB, peaks[0], LARGE_MB, peaks[1], grown, BOUND_KIB, verdict))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
