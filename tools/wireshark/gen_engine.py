#!/usr/bin/env python3
"""Writes the shipped hj212.lua: the dissector's source with the engine's constants (SM4's tables,
the envelope's sizes, the CRC's polynomial, the scanner's bounds) read out of hj212/'s C++ sources
in place of its "-- @engine constants@" line, so that the dissector cannot drift from the engine.
Each constant is found by its name and shape; one that is missing or changed shape stops the build.
    gen_engine.py HJ212_DIR IN_LUA OUT_LUA"""
import os
import re
import sys

# (Lua name, file in hj212/, C++ name, shape): "int", "text", or ("array", count, bits)
CONSTANTS = [
    ("ENVELOPE", "include/hj212/Envelope.h", "kEnvelopeBytes", "int"),
    ("MAX_FRAME", "include/hj212/Envelope.h", "kMaxFrameBytes", "int"),
    ("CRC_POLYNOMIAL", "include/hj212/Envelope.h", "kCrcPolynomial", "int"),
    ("CRC_INITIAL", "include/hj212/Envelope.h", "kCrcInitial", "int"),
    ("CP_OPEN", "include/hj212/Envelope.h", "kCpOpen", "text"),
    ("VERSION_2025", "include/hj212/Envelope.h", "kVersion2025", "int"),
    ("ENCRYPTED_CN_FIRST", "include/hj212/CpCipher.h", "kEncryptedCnFirst", "int"),
    ("ENCRYPTED_CN_LAST", "include/hj212/CpCipher.h", "kEncryptedCnLast", "int"),
    ("CRC_WORK_PER_BYTE", "include/hj212/FrameScanner.h", "kCrcWorkPerByte", "int"),
    ("MAX_FOLLOWED", "include/hj212/FrameScanner.h", "kMaxFollowed", "int"),
    ("KEY_BYTES", "include/hj212/Sm4.h", "kKeyBytes", "int"),
    ("BLOCK_BYTES", "include/hj212/Sm4.h", "kBlockBytes", "int"),
    ("SBOX", "src/Sm4.cpp", "kSbox", ("array", 256, 8)),
    ("FK", "src/Sm4.cpp", "kFamilyKey", ("array", 4, 32)),
    ("CK", "src/Sm4.cpp", "kCk", ("array", 32, 32)),
]
MARKER = re.compile(r"^-- @engine constants@.*$", re.M)
INTEGER_TYPES = {"std::size_t", "size_t", "int", "unsigned", "long", "std::uint8_t", "std::uint16_t", "std::uint32_t",
                 "std::uint64_t", "unsigned char", "char"}
ELEMENT_BITS = {"unsigned char": 8, "std::uint8_t": 8, "std::uint16_t": 16, "std::uint32_t": 32}
NUMBER = r"(?:0[xX][0-9A-Fa-f]+|\d+)[uUlL]*"


class Failure(Exception):
    pass


def without_comments(text):
    """The source with its comments blanked; string and character literals kept as they are."""
    return re.sub(r'//[^\n]*|/\*.*?\*/|"(?:[^"\\\n]|\\.)*"|\'(?:[^\'\\\n]|\\.)*\'',
                  lambda m: m.group(0) if m.group(0)[0] in "\"'" else " ", text, flags=re.S)


def number(token):
    return int(token.rstrip("uUlL"), 0) if token.lower().startswith("0x") else int(token.rstrip("uUlL"), 10)


def one(pattern, source, what, where):
    found = list(re.finditer(pattern, source))
    if len(found) != 1:
        raise Failure("%s: %s %s" % (where, what, "not found" if not found else "defined %d times" % len(found)))
    return found[0]


def scalar(source, name, where, seen=()):
    """A constexpr integer: a literal, or + - * of literals and other such names of the file."""
    m = one(r"\bconstexpr\s+((?:[\w:]+\s+)*?[\w:]+)\s+%s\s*=\s*([^;{}]+);" % name, source,
            "%s as `constexpr INTEGER %s = VALUE;`" % (name, name), where)
    kind = m.group(1).split()
    kind = " ".join(k for k in kind if k not in ("static", "inline", "const"))
    if kind not in INTEGER_TYPES:
        raise Failure("%s: %s is a %s, not an integer" % (where, name, kind))
    expression = []
    for token in re.findall(r"%s|[A-Za-z_]\w*|\S" % NUMBER, m.group(2)):
        if re.fullmatch(NUMBER, token):
            expression.append(str(number(token)))
        elif re.fullmatch(r"[A-Za-z_]\w*", token):
            if token in seen:
                raise Failure("%s: %s is defined by itself" % (where, name))
            expression.append(str(scalar(source, token, where, seen + (name,))))
        elif token in "+-*()":
            expression.append(token)
        else:
            raise Failure("%s: %s = %s is more than + - * of numbers and names" % (where, name, m.group(2).strip()))
    return eval(" ".join(expression), {"__builtins__": {}}, {})  # digits and + - * ( ) alone


def text(source, name, where):
    m = one(r'\bconstexpr\s+char\s+%s\s*\[\s*\]\s*=\s*"([^"\\]*)"\s*;' % name, source,
            '%s as `constexpr char %s[] = "...";` (no escapes)' % (name, name), where)
    return m.group(1)


def array(source, name, where, count, bits):
    m = one(r"\bconstexpr\s+((?:[\w:]+\s+)*?[\w:]+)\s+%s\s*\[\s*(\d+)\s*\]\s*=\s*\{([^{}]*)\}\s*;" % name, source,
            "%s as `constexpr T %s[%d] = {...};`" % (name, name, count), where)
    kind = " ".join(k for k in m.group(1).split() if k not in ("static", "inline", "const"))
    if ELEMENT_BITS.get(kind) != bits:
        raise Failure("%s: %s holds %s, not %d-bit values" % (where, name, kind, bits))
    items = [i.strip() for i in m.group(3).split(",")]
    if items and items[-1] == "":
        items.pop()
    if int(m.group(2)) != count or len(items) != count:
        raise Failure("%s: %s has %s values (%d written), not %d" % (where, name, m.group(2), len(items), count))
    values = []
    for item in items:
        if not re.fullmatch(NUMBER, item) or number(item) >= 1 << bits:
            raise Failure("%s: %s holds %r, no %d-bit number" % (where, name, item, bits))
        values.append(number(item))
    return values


def lua_block(hj212):
    sources, lines = {}, ["-- The engine's constants, written here by the build from hj212/ (tools/wireshark/gen_engine.py)."]
    for lua, file, name, shape in CONSTANTS:
        path = os.path.join(hj212, file)
        if path not in sources:
            sources[path] = without_comments(open(path, encoding="utf-8").read())
        where = "hj212/" + file
        if shape == "int":
            value = scalar(sources[path], name, where)
            written = "0x%04X" % value if lua.startswith("CRC_") else "%d" % value
            lines.append("local %s = %s -- %s, %s" % (lua, written, name, where))
        elif shape == "text":
            lines.append('local %s = "%s" -- %s, %s' % (lua, text(sources[path], name, where), name, where))
        else:
            _, count, bits = shape
            values = array(sources[path], name, where, count, bits)
            digits = bits // 4
            per_line = 16 if bits == 8 else 8
            lines.append("local %s = { -- %s, %s" % (lua, name, where))
            for at in range(0, count, per_line):
                lines.append("  " + ", ".join("0x%0*X" % (digits, v) for v in values[at:at + per_line]) + ",")
            lines.append("}")
    return "\n".join(lines)


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    hj212, source, out = sys.argv[1:]
    lua = open(source, encoding="utf-8").read()
    if len(MARKER.findall(lua)) != 1:
        print("gen_engine.py: %s needs exactly one \"-- @engine constants@\" line" % source, file=sys.stderr)
        return 1
    try:
        block = lua_block(hj212)
    except (Failure, OSError) as e:
        print("gen_engine.py: %s (the Wireshark dissector reads this constant from the engine)" % e, file=sys.stderr)
        return 1
    with open(out, "w", encoding="utf-8") as f:
        f.write(MARKER.sub(lambda _: block, lua))
    return 0


if __name__ == "__main__":
    sys.exit(main())
