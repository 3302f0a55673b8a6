#!/usr/bin/env python3
"""The Wireshark dissector's contract: what tshark with tools/wireshark/hj212.lua finds in a
capture is what polmon-frame --json finds, frame by frame.

  wireshark_compare.py compare BIN_DIR LUA PCAP [KEYS]
      differences, exit 1 on any; PCAP2: polmon-frame reads this capture of the same bytes instead
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
    with open(path, "wb") as f:
        f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype))
        for sec, usec, pkt in packets:
            f.write(struct.pack("<IIII", sec, usec, len(pkt), len(pkt)) + pkt)


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
    # one pass: field values (the TCP sequence numbers) come only with a tree
    args = ["tshark", "-X", "lua_script:" + lua] + (["-o", "hj212.keylog:" + keys] if keys else []) + ["-T", "pdml", "-r", pcap]
    run = subprocess.run(args, capture_output=True)
    if run.returncode != 0:
        raise SystemExit("tshark failed: " + run.stderr.decode(errors="replace")[-2000:])
    out = []
    for packet in ET.fromstring(run.stdout.decode(errors="replace")).iter("packet"):
        fields = {f.get("name"): f.get("show") for f in packet.iter("field")}
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
    return out


def polmon_view(f):
    """What a polmon-frame report says, in the comparison's terms."""
    v = {"verdict": "accept" if f["verdict"] == "accept" else "reject"}
    if v["verdict"] == "reject":
        length = f.get("length", {})
        v["cause"] = "length" if length.get("announced", -1) != length.get("actual", -2) else "crc"
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
    mine = {}
    for d in tshark_frames(lua, pcap, keys):
        mine.setdefault((d["from"], d["to"], int(d["offset"])), dissector_view(d))
    raw = polmon_frames(bin_dir, pcap, keys)
    theirs = {(f["from"], f["to"], f["offset"]): polmon_view(f) for f in raw}
    problems = []
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
    return not problems


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
    if sys.argv[1] == "compare":
        if not shutil.which("tshark"):
            print("no tshark (scripts/install-deps.sh installs it)")
            return 1
        args = sys.argv[2:]
        return 0 if compare(args[0], args[1], args[2], args[3] if len(args) > 3 else None) else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
