#!/usr/bin/env python3
"""Every C++ source of the tree is as clang-format writes it with the tree's .clang-format.

  format_check.py SOURCE_DIR CLANG_FORMAT
"""
import os
import subprocess
import sys

SKIPPED = {"build", "fuzz-corpus", ".git", "node_modules"}


def sources(root):
    for top, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIPPED and not d.startswith("."))
        yield from (os.path.join(top, f) for f in sorted(files) if f.endswith((".cpp", ".h")))


def main():
    root, clang_format = sys.argv[1], sys.argv[2]
    unformatted = []
    for path in sources(root):
        with open(path, "rb") as f:
            before = f.read()
        after = subprocess.run([clang_format, "--style=file", path], capture_output=True, check=True).stdout
        if after != before:
            unformatted.append(os.path.relpath(path, root))
    for path in unformatted:
        print("not formatted: %s (clang-format -i %s)" % (path, path))
    print("%d sources not formatted" % len(unformatted))
    return 1 if unformatted else 0


if __name__ == "__main__":
    sys.exit(main())
