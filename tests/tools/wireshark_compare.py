#!/usr/bin/env python3
"""The Wireshark dissector's contract: what tshark with tools/wireshark/hj212.lua finds in a
capture is what polmon-frame --json finds, frame by frame.

  wireshark_compare.py compare BIN_DIR LUA PCAP [KEYS]
      differences, exit 1 on any; PCAP2: polmon-frame reads this capture of the same bytes instead
  wireshark_compare.py cases BIN_DIR LUA WORK_DIR      each row of CASES made a capture in WORK_DIR
      (spans of 0 to 12 bytes, sequence numbers anywhere, captures and packets cut short) and compared
  wireshark_compare.py fuzz BIN_DIR LUA WORK_DIR COUNT [SEED]   COUNT random captures made alike, compared
  wireshark_compare.py derive PCAP OUT_PREFIX [SEED]      OUT_PREFIX-split.pcap (segments of 1 to 24
      bytes, several frames per segment), -reordered.pcap (neighbouring segments swapped),
      -damaged.pcap (the frames damaged: bytes changed, frames cut off, junk and control bytes)
  wireshark_compare.py repeat PCAP KEYS|"" OUT_PCAP OUT_KEYS MEGABYTES   the capture played again
      and again on new connections, later each time, its key log alike (scripts/bench-wireshark.sh)

Compared per direction and stream offset of each "##": accepted or refused, and for accepted
frames CN, QN, every header field, the CP items and the decrypted region's size; a refused span
by its cause (length field or CRC). PW is left out: the dissector masks it.
"""
import bisect
import os
import random
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET

from hj212frame import crc16

# ---------------------------------------------------------------- pcap of raw IPv4/TCP


def read_pcap(path):
    """[(ts_sec, ts_usec, ip_packet)], and the link type."""
    data = open(path, "rb").read()
    magic = struct.unpack("<I", data[:4])[0]
    end = "<" if magic in (0xA1B2C3D4, 0xA1B23C4D) else ">"
    linktype = struct.unpack(end + "I", data[20:24])[0]
    out, at = [], 24
    while at + 16 <= len(data):
        sec, usec, incl, _ = struct.unpack(end + "IIII", data[at:at + 16])
        out.append((sec, usec, data[at + 16:at + 16 + incl]))
        at += 16 + incl
    return out, linktype


def checksum(b):
    if len(b) % 2:
        b += b"\0"
    s = sum(struct.unpack("!%dH" % (len(b) // 2), b))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def ip_packet(src, dst, sport, dport, seq, ack, flags, payload):
    tcp = struct.pack("!HHIIBBHHH", sport, dport, seq & 0xFFFFFFFF, ack & 0xFFFFFFFF, 5 << 4, flags, 65535, 0, 0) + payload
    pseudo = src + dst + struct.pack("!BBH", 0, 6, len(tcp))
    tcp = tcp[:16] + struct.pack("!H", checksum(pseudo + tcp)) + tcp[18:]
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(tcp), 0, 0x4000, 64, 6, 0, src, dst)
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return ip + tcp


def write_pcap(path, packets, linktype):
    """Packets of (sec, usec, bytes) or (sec, usec, bytes, length on the wire): fewer bytes than
    that is a packet the snapshot length cut short."""
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype))
        for p in packets:
            sec, usec, pkt = p[:3]
            f.write(struct.pack("<IIII", sec, usec, len(pkt), p[3] if len(p) > 3 else len(pkt)) + pkt)


def tcp_fields(pkt):
    ihl = (pkt[0] & 0xF) * 4
    src, dst = pkt[12:16], pkt[16:20]
    t = pkt[ihl:]
    sport, dport, seq, ack, off, flags = struct.unpack("!HHIIBB", t[:14])
    return src, dst, sport, dport, seq, ack, flags, t[(off >> 4) * 4:]


# ---------------------------------------------------------------- derived captures


def damage(payload, rng):
    """The payload's frames damaged one way each, in turn; some left whole. With it, where each
    frame starts: (offset in the result, offset in the payload)."""
    out, marks, at, was = [], [], 0, 0
    frames = payload.split(b"\r\n")
    for i, frame in enumerate(frames[:-1]):
        marks.append((at, was))
        was += len(frame) + 2
        f = bytearray(frame + b"\r\n")
        kind = i % 7
        if kind == 1 and len(f) > 20:  # a byte changed inside the data segment
            f[rng.randrange(6, len(f) - 6)] ^= 0x01
        elif kind == 2:  # junk before the frame
            f = bytearray(b"garbage ##12 x") + f
        elif kind == 3 and len(f) > 20:  # the frame cut off, the next one behind it
            f = f[: len(f) // 2]
        elif kind == 4:  # the length field off by one
            f[5:6] = b"9" if f[5:6] != b"9" else b"8"
        elif kind == 5 and len(f) > 30:  # a control byte, the CRC made to fit it
            data = bytes(f[6:-6])
            cut = len(data) // 2
            data = data[:cut] + b"\x01" + data[cut + 1:]
            f = bytearray(b"##%04d" % len(data) + data + b"%04X" % crc16(data) + b"\r\n")
        out.append(bytes(f))
        at += len(f)
    marks.append((at, was))
    out.append(frames[-1])
    return b"".join(out), marks


def derive(src, prefix, seed=212):
    packets, linktype = read_pcap(src)
    flows = {}  # (src, dst, sport, dport) -> [(time, payload)], handshakes kept aside
    order = []
    for sec, usec, pkt in packets:
        s, d, sp, dp, seq, ack, flags, payload = tcp_fields(pkt)
        key = (s, d, sp, dp)
        if key not in flows:
            flows[key] = {"isn": seq if flags & 2 else seq - 1, "data": [], "syn": None}
            order.append(key)
        if flags & 2 and flows[key]["syn"] is None:  # the handshake kept as it was, at its time
            flows[key]["syn"] = (sec, usec, pkt)
        if payload:
            flows[key]["data"].append((sec, usec, payload))
    rng = random.Random(seed)
    for kind in ("split", "reordered", "damaged"):
        out = []
        for key in order:
            s, d, sp, dp = key
            f = flows[key]
            seq = f["isn"] + 1
            out.append(f["syn"] or (f["data"][0][0] if f["data"] else 0, 0, ip_packet(s, d, sp, dp, f["isn"], 0, 0x02, b"")))
            stream = b"".join(p for _, _, p in f["data"])
            starts = [0]  # where each original packet's bytes start in the stream
            for _, _, p in f["data"]:
                starts.append(starts[-1] + len(p))
            marks = [(0, 0)]  # offsets in the new stream and in the original one, where they meet
            if kind == "damaged":
                stream, marks = damage(stream, rng)
            # cut the stream anew: pieces of 1 to 24 bytes, or of up to 400 that never run across an
            # original packet (so a piece never mixes bytes sent before and after a key change); each
            # piece at the time its first byte was sent, which the key log's lines are read against
            pieces, at, times = [], 0, f["data"]
            packet_of = lambda off: max(0, min(len(times) - 1, bisect.bisect_right(starts, off) - 1))
            def original(off):
                out_at, orig_at = marks[bisect.bisect_right(marks, (off, float("inf"))) - 1]
                return orig_at + (off - out_at if kind != "damaged" else 0)
            ends = [o for (o, w), (_, v) in zip(marks[1:], marks) if packet_of(w) != packet_of(v)] + [len(stream)]
            while at < len(stream):
                n = rng.randint(1, 24) if kind != "damaged" else rng.randint(1, 400)
                if kind == "damaged":
                    n = min(n, next(e for e in ends if e > at) - at)
                t = times[packet_of(original(at))] if times else (0, 0)
                pieces.append((t[0], t[1], seq + at, stream[at:at + n]))
                at += n
            if kind == "reordered":
                for i in range(0, len(pieces) - 1, 3):
                    pieces[i], pieces[i + 1] = pieces[i + 1], pieces[i]
            for sec, usec, sq, b in pieces:
                out.append((sec, usec, ip_packet(s, d, sp, dp, sq, 0, 0x18, b)))
        # the original order of flows kept; tshark and polmon-frame take packets as they come
        out.sort(key=lambda p: (p[0], p[1]))
        write_pcap("%s-%s.pcap" % (prefix, kind), out, linktype)


def repeat(src, keys, out, out_keys, megabytes):
    """The capture played again and again, each time later and on a connection of its own (the
    station's port moved), with its key log's lines moved alike, up to `megabytes`."""
    packets, linktype = read_pcap(src)
    span = packets[-1][0] - packets[0][0] + 2
    station_ports = {tcp_fields(p)[2] for _, _, p in packets if tcp_fields(p)[6] == 0x02}  # who sent the SYN
    lines = [l.split(" ", 2) for l in open(keys).read().splitlines() if l.startswith("HJ212-KEY ")] if keys else []  # tag, time, rest
    result, key_out, size, k = [], [], 0, 0
    while size < megabytes * 1e6:
        for sec, usec, pkt in packets:
            s, d, sp, dp, seq, ack, flags, payload = tcp_fields(pkt)
            sp = sp + k if sp in station_ports else sp
            dp = dp + k if dp in station_ports else dp
            result.append((sec + k * span, usec, ip_packet(s, d, sp % 65536, dp % 65536, seq, ack, flags, payload)))
            size += len(pkt) + 16
        for tag, t, more in lines:
            key_out.append("%s %.6f %s" % (tag, float(t) + k * span, more))
        k += 1
    write_pcap(out, result, linktype)
    if keys:
        open(out_keys, "w").write("\n".join(key_out) + "\n")


# ---------------------------------------------------------------- generated captures

STATION, PLATFORM = bytes([192, 0, 2, 2]), bytes([192, 0, 2, 1])
HEURISTIC_PORT = 6212  # no Wireshark dissector's port: the heuristic finds the conversation
TAKEN_PORT = 44321  # PCP's by number: a platform may be given it, the heuristic must still win


def field_frames():
    """The engine's field frames (tests/hj212/data/frames.txt), each with its CR LF."""
    here = os.path.dirname(os.path.abspath(__file__))
    lines = open(os.path.join(here, "..", "hj212", "data", "frames.txt"), "rb").read().split(b"\n")
    return [l.split(b"\t")[1] + b"\r\n" for l in lines if l and not l.startswith(b"#")]


def short_span(k, rng, kind):
    """ "##", k bytes (hashes, digits, or a mix with CR), CR LF. No lone LF: polmon-frame ends a
    refused span there, the dissector at CR LF (the refused bytes alike, cut otherwise)."""
    fill = {"hash": b"#" * k, "digits": b"0123456789ab"[:k]}.get(kind)
    if fill is None:
        fill = bytes(rng.choice(b"##0123\r;=") for _ in range(k))
    return b"##" + fill + b"\r\n"


def short_spans(rng):
    """Every span of 0 to 12 bytes between its "##" and CR LF, each followed by a field frame."""
    frames = field_frames()
    out = []
    for kind in ("hash", "digits", "mix"):
        for k in range(13):
            out.append(short_span(k, rng, kind) + frames[(k * 3 + len(out)) % len(frames)])
    return b"".join(out)


def random_stream(rng):
    frames, parts = field_frames(), []
    for _ in range(rng.randint(5, 40)):
        r = rng.random()
        if r < 0.5:
            parts.append(rng.choice(frames))
        elif r < 0.75:
            parts.append(short_span(rng.randint(0, 12), rng, rng.choice(("hash", "digits", "mix"))))
        elif r < 0.9:
            parts.append(bytes(rng.choice(b"##\r\n0123456789ABCDEF;=&CP") for _ in range(rng.randint(1, 20))))
        else:
            f = rng.choice(frames)
            parts.append(f[:rng.randrange(len(f))])
    stream = b"".join(parts)
    return damage(stream, rng)[0] if rng.random() < 0.3 else stream


def flow_packets(src, dst, sport, dport, stream, rng, opts, t0):
    """One direction: its SYN (unless opts["syn"] is False), the stream in segments, its FIN; the
    segments cut as opts["cut"] says, their sequence numbers from opts["isn"]."""
    isn = {"fixed": 0x21200000, "random": rng.getrandbits(32), "wrap": 2 ** 32 - 300}[opts.get("isn", "fixed")]
    cut = opts.get("cut", "mid")
    size = {"one": (1400, 1400), "small": (1, 24), "mid": (1, 400)}.get(cut)
    pieces, at = [], 0
    while at < len(stream):  # "lines": a segment a line, so a segment lost loses whole lines
        line_end = stream.find(b"\r\n", at)
        n = rng.randint(*size) if size else (line_end + 2 - at if line_end >= 0 else len(stream) - at)
        pieces.append((isn + 1 + at, stream[at:at + n]))
        at += n
    if opts.get("reorder"):
        for i in range(0, len(pieces) - 1, 3):
            pieces[i], pieces[i + 1] = pieces[i + 1], pieces[i]
    lost = opts.get("lose") == "first"  # the first segment never captured, nor a FIN after the rest
    out = [] if opts.get("syn") is False else [ip_packet(src, dst, sport, dport, isn, 0, 0x02, b"")]
    out += [ip_packet(src, dst, sport, dport, sq, 0, 0x18, b) for sq, b in pieces[1 if lost else 0:]]
    if not lost:
        out.append(ip_packet(src, dst, sport, dport, isn + 1 + len(stream), 0, 0x11, b""))
    packets = [(t0 + i * 10) for i in range(len(out))]
    out = [(t // 10**6, t % 10**6, p) for t, p in zip(packets, out)]
    if opts.get("truncate") == "snap":  # three segments cut by the snapshot length (caplen < len)
        cut = set(rng.sample(range(len(out)), min(3, len(out))))
        out = [(a, b, p[:len(p) - rng.randint(1, len(p) - 40)], len(p)) if i in cut and len(p) > 41 else (a, b, p)
               for i, (a, b, p) in enumerate(out)]
    return out


def generated_capture(path, stream, rng, opts):
    """The station's stream to the platform and field frames back, on port opts["port"]."""
    port, t0 = opts.get("port", 212), 1700000000 * 10**6
    back = b"".join(field_frames()[::5])
    packets = flow_packets(STATION, PLATFORM, 10212, port, stream, rng, opts, t0)
    packets += flow_packets(PLATFORM, STATION, port, 10212, back, rng, opts, t0 + 5)
    packets.sort(key=lambda p: (p[0], p[1]))
    write_pcap(path, packets, 101)
    if opts.get("truncate") == "file":  # the file cut short in the middle of a packet
        data = open(path, "rb").read()
        open(path, "wb").write(data[:len(data) * 2 // 3])


# (name, stream, how it is captured); each row a capture compared on its own
CASES = [
    ("short spans, one segment", short_spans, {"cut": "one"}),
    ("short spans, segments of 1 to 24 bytes", short_spans, {"cut": "small"}),
    ("short spans, heuristic port", short_spans, {"cut": "mid", "port": HEURISTIC_PORT}),
    ("short spans, a port another protocol owns", short_spans, {"cut": "mid", "port": TAKEN_PORT}),
    ("random sequence numbers", short_spans, {"isn": "random"}),
    ("sequence numbers wrapping", short_spans, {"isn": "wrap", "cut": "small"}),
    ("no handshake, random sequence numbers, reordered", short_spans, {"isn": "random", "syn": False, "reorder": True}),
    ("no handshake, sequence numbers wrapping, reordered", short_spans, {"isn": "wrap", "syn": False, "reorder": True,
                                                                          "cut": "small"}),
    ("the file cut short", short_spans, {"truncate": "file"}),
    # segments held behind a lost one when the capture ends, no FIN to close the gap
    ("the first segment lost, no FIN", short_spans, {"lose": "first"}),
    # a line lost (a frame cut by a lost segment is refused, but polmon-frame cuts refused bytes by
    # its log's rules, the dissector by the receive path's)
    ("segments cut by the snapshot length", short_spans, {"truncate": "snap", "cut": "lines"}),
    ("segments cut by the snapshot length, heuristic port", short_spans, {"truncate": "snap", "port": HEURISTIC_PORT,
                                                                          "cut": "lines", "isn": "random"}),
]


def random_opts(rng):
    return {"cut": rng.choice(("one", "small", "mid")), "isn": rng.choice(("fixed", "random", "wrap")),
            "syn": rng.random() < 0.7, "reorder": rng.random() < 0.3, "port": rng.choice((212, HEURISTIC_PORT)),
            "truncate": rng.choice((None, None, None, "file", "snap"))}


# ---------------------------------------------------------------- the comparison


def polmon_frames(bin_dir, pcap, keys):
    args = [bin_dir + "/polmon-frame", "--json"] + (["--key-log", keys] if keys else []) + ["--file", pcap]
    run = subprocess.run(args, capture_output=True, text=True)
    import json
    return [json.loads(line) for line in run.stdout.split("\n") if line.startswith("{")]


# the header items the dissector gives fields of their own (PW, masked, is left out)
HEADER_FIELDS = {"hj212.qn": "QN", "hj212.st": "ST", "hj212.cn": "CN", "hj212.mn": "MN", "hj212.flag": "Flag",
                 "hj212.pnum": "PNUM", "hj212.pno": "PNO"}


def tshark_frames(lua, pcap, keys):
    # two passes, as Wireshark reads a file: segments held at the capture's end behind a gap show
    # in the second; a read filter gives the first a tree, and with it the TCP sequence numbers
    # heuristics first: a random port that tshark knows by number (44321 is PCP's) hides the frames
    args = ["tshark", "-X", "lua_script:" + lua, "-o", "tcp.try_heuristic_first:TRUE", "-2", "-R", "tcp"] + \
        (["-o", "hj212.keylog:" + keys] if keys else []) + ["-T", "pdml", "-r", pcap]
    run = subprocess.run(args, capture_output=True)
    # a file cut short: tshark dissects the packets before the cut, as polmon-frame reads them
    if run.returncode != 0 and b"cut short in the middle of a packet" not in run.stderr:
        raise SystemExit("tshark failed: " + run.stderr.decode(errors="replace")[-2000:])
    out, errors = [], []
    for packet in ET.fromstring(run.stdout.decode(errors="replace")).iter("packet"):
        fields = {f.get("name"): f.get("show") for f in packet.iter("field")}
        errors += ["packet %s: %s" % (fields.get("frame.number"), f.get("showname"))
                   for f in packet.iter("field") if f.get("name") == "_ws.lua.error"]
        src, dst = fields.get("ip.src") or fields.get("ipv6.src"), fields.get("ip.dst") or fields.get("ipv6.dst")
        sport, dport = fields.get("tcp.srcport"), fields.get("tcp.dstport")
        for proto in packet.iter("proto"):
            if proto.get("name") != "hj212":
                continue
            one = {"from": "%s:%s" % (src, sport), "to": "%s:%s" % (dst, dport), "header": [], "items": []}
            for f in proto.iter("field"):
                name, show = f.get("name"), f.get("show")
                if name == "hj212.header":
                    one["header"].append(show)
                elif name in HEADER_FIELDS:
                    one["header"].append(HEADER_FIELDS[name] + "=" + show)
                elif name == "hj212.item":
                    one["items"].append(show)
                elif name in ("hj212.offset", "hj212.verdict", "hj212.reason", "hj212.encryption"):
                    one[name[6:]] = show
            if "offset" in one:
                out.append(one)
    return out, errors


def length_read(field):
    """The length field as the receive path reads its four bytes (hj212/src/Envelope.cpp): blanks, a
    sign, digits; -1 when negative. polmon-frame announces only a field of four digits."""
    i = 0
    while i < len(field) and field[i] in " \t\n\v\f\r":
        i += 1
    negative = i < len(field) and field[i] == "-"
    i += i < len(field) and field[i] in "+-"
    digits = ""
    while i < len(field) and field[i].isdigit() and field[i].isascii():
        digits, i = digits + field[i], i + 1
    value = int(digits or "0")
    return -1 if negative and value else value


def polmon_view(f):
    """What a polmon-frame report says, in the comparison's terms."""
    v = {"verdict": "accept" if f["verdict"] == "accept" else "reject"}
    if v["verdict"] == "reject":
        if f.get("scanner"):  # the receive path's own verdict on a span it refused from here
            v["cause"] = "crc" if f["scanner"] == "crc" else "length"
            return v
        length = f.get("length", {})
        announced = length_read(length["field"]) if "field" in length else -1
        # a frame of no data bytes fails on its length whatever the field reads
        v["cause"] = "length" if announced != length.get("actual", -2) or announced == 0 else "crc"
        return v
    raw = lambda k, s: s.split(" (", 1)[0] if k in ("QN", "Flag", "ST", "CN", "PNUM", "PNO", "RF") else s
    v["header"] = sorted("%s=%s" % (k, raw(k, s)) for k, s in f["fields"].items() if k != "PW")
    v["items"] = ["%s=%s" % (k, s) for k, s in f["cp"]]
    v["encryption"] = f.get("encryption") if f.get("decrypted") else None
    return v


def dissector_view(d):
    v = {"verdict": d.get("verdict")}
    if v["verdict"] == "reject":
        v["cause"] = "length" if d.get("reason") in ("length", "overlong") else "crc"
        return v
    v["header"] = sorted(h for h in d["header"] if not h.startswith("PW="))
    v["items"] = d["items"]
    v["encryption"] = d.get("encryption")
    return v


def compare(bin_dir, lua, pcap, keys):
    """The differences, printed; a Lua error is one."""
    mine = {}
    shown, errors = tshark_frames(lua, pcap, keys)
    for d in shown:
        mine.setdefault((d["from"], d["to"], int(d["offset"])), dissector_view(d))
    raw = polmon_frames(bin_dir, pcap, keys)
    theirs = {(f["from"], f["to"], f["offset"]): polmon_view(f) for f in raw}
    problems = ["Lua error in " + e for e in errors]
    for key, want in theirs.items():
        got = mine.get(key)
        if got is None:
            if want["verdict"] == "accept":
                problems.append("%s -> %s at %d: polmon-frame accepts a frame the dissector does not show" % key)
        elif got != want:
            problems.append("%s -> %s at %d: " % key + "polmon-frame %s, dissector %s" % (want, got))
    for key, got in mine.items():
        if key not in theirs and got["verdict"] == "accept":
            near = [f for f in raw if (f["from"], f["to"]) == key[:2] and abs(f["offset"] - key[2]) < 1200]
            problems.append("%s -> %s at %d: the dissector accepts a frame polmon-frame does not" % key + "; polmon-frame near it: " +
                            "; ".join("%d+%d %s %s %s" % (f["offset"], f["bytes"], f["verdict"], f["ending"], f["reasons"][:1]) for f in near))
    accepted = sum(1 for v in theirs.values() if v["verdict"] == "accept")
    print("%s: %d spans (%d frames) by polmon-frame, %d by the dissector, %d differences"
          % (pcap, len(theirs), accepted, len(mine), len(problems)))
    for p in problems[:20]:
        print("  " + p)
    if accepted == 0:
        problems.append("no frame")
    return problems


def generated(bin_dir, lua, work, seed=212, count=None):
    """Every row of CASES (count None), or `count` random captures: the rows or captures that
    differ; counted too, those with a Lua error and those where an accepted frame differs (not
    only the cause given for refused bytes)."""
    os.makedirs(work, exist_ok=True)
    rng, failed, lua_failed, frame_failed = random.Random(seed), [], 0, 0
    rows = CASES if count is None else [("random %d" % i, random_stream, None) for i in range(count)]
    for i, (name, stream, opts) in enumerate(rows):
        path = "%s/case-%02d.pcap" % (work, i)
        opts = opts if opts is not None else random_opts(rng)
        generated_capture(path, stream(rng), rng, opts)
        print("%s %s" % (name, opts))
        problems = compare(bin_dir, lua, path, None)
        if count is not None:  # random bytes may hold no whole frame
            problems = [p for p in problems if p != "no frame"]
        if problems:
            failed.append(name)
            lua_failed += any(p.startswith("Lua error") for p in problems)
            frame_failed += any("polmon-frame {'verdict': 'reject'" not in p or "dissector {'verdict': 'reject'" not in p
                                for p in problems)
    print("%d of %d captures differ: %d in an accepted frame, %d with a Lua error" % (len(failed), len(rows), frame_failed, lua_failed))
    return failed


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    if sys.argv[1] == "derive":
        derive(sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 212)
        return 0
    if sys.argv[1] == "repeat":  # PCAP KEYS|"" OUT_PCAP OUT_KEYS MEGABYTES
        repeat(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], float(sys.argv[6]))
        return 0
    if sys.argv[1] in ("compare", "cases", "fuzz"):
        if not shutil.which("tshark"):
            print("no tshark (scripts/install-deps.sh installs it)")
            return 1
        args = sys.argv[2:]
        if sys.argv[1] == "compare":
            return 1 if compare(args[0], args[1], args[2], args[3] if len(args) > 3 else None) else 0
        count = int(args[3]) if sys.argv[1] == "fuzz" else None
        return 1 if generated(args[0], args[1], args[2], int(args[4]) if len(args) > 4 else 212, count) else 0
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
