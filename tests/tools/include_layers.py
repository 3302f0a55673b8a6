#!/usr/bin/env python3
"""The layers as the includes show them.

usage: include_layers.py ROOT

Every quoted #include of the tree is resolved as the build finds it: beside the including file,
from ROOT, from the engine's public include/, or from the system seam the build picks (SEAMS).
The check fails, printing each offence, when
  - an include that reaches outside its file's folder does not name the file from ROOT (the
    engine's public headers are named "hj212/X.h"), or climbs with "..";
  - a layer includes what its row of LAYERS does not allow (the engine nothing outside itself,
    no tool another tool's folder), or anything outside the engine and the test code includes the
    engine's private src/;
  - the folders' includes make a circle;
  - an include resolves nowhere and is not one of the files the build writes (GENERATED).
"""
import os
import sys

from include_rooms import COMMENTS, INCLUDE, SOURCES, strong_parts

# Headers a build selects by system through its include path: named bare, from anywhere.
SEAMS = ("tools/common/sys/posix", "tools/common/sys/windows")
GENERATED = {"polmon_version.h", "Codes.inc"}
PUBLIC = "hj212/include"
PRIVATE = "hj212/src/"
TEST_CODE = ("tests", "fuzz", "bench")
# layer: the layers it may include besides itself. A file's layer is the longest prefix listed;
# "tools/" stands for each tool's own folder.
LAYERS = {
    "panel": set(),
    "hj212": set(),
    "config": {"panel"},
    "bridge": {"panel", "hj212", "config"},
    "driver": {"panel", "hj212", "config", "bridge"},
    "tools/common": {"panel", "hj212", "config"},
    "tools/": {"tools/common", "panel", "hj212", "config"},
}


def sources(root):
    found = []
    for base, dirs, names in os.walk(root):
        dirs[:] = sorted(d for d in dirs if not d.startswith(".") and d != "build")
        for name in sorted(names):
            if name.endswith(SOURCES + (".inc",)):
                found.append(os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/"))
    return found


def layer_of(path):
    top = path.split("/")[0]
    if top in TEST_CODE:
        return top
    if path.startswith("tools/") and not path.startswith("tools/common/"):
        return "tools/" + path.split("/")[1]
    return "tools/common" if path.startswith("tools/common/") else top


def allowed(layer, target_layer):
    if layer in TEST_CODE or layer == target_layer:
        return True
    rule = LAYERS.get(layer, LAYERS["tools/"] if layer.startswith("tools/") else None)
    return rule is not None and target_layer in rule


def resolve(known, path, name):
    here = os.path.dirname(path)
    for base in (here, "", PUBLIC) + SEAMS:
        target = os.path.normpath(os.path.join(base, name)).replace(os.sep, "/")
        if target in known:
            return target, base
    return None, None


def spelled_well(path, name, target, base):
    if ".." in name.split("/"):
        return False
    if os.path.dirname(target) == os.path.dirname(path) or base in SEAMS:
        return True
    return base in ("", PUBLIC) and base != os.path.dirname(path)


def offences(root):
    files = sources(root)
    known = set(files)
    folders, found = {}, []
    for path in files:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as src:
            text = COMMENTS.sub("", src.read())
        for name in INCLUDE.findall(text):
            target, base = resolve(known, path, name)
            where = "%s: \"%s\"" % (path, name)
            if target is None:
                if os.path.basename(name) not in GENERATED:
                    found.append("%s resolves to no file" % where)
                continue
            if not spelled_well(path, name, target, base):
                found.append("%s reaches %s: name it from the root" % (where, target))
            if not allowed(layer_of(path), layer_of(target)):
                found.append("%s: %s may not include %s" % (where, layer_of(path), layer_of(target)))
            if target.startswith(PRIVATE) and layer_of(path) not in ("hj212",) + TEST_CODE:
                found.append("%s: the engine's src/ is its own" % where)
            if os.path.dirname(target) != os.path.dirname(path):
                folders.setdefault(os.path.dirname(path), {})[os.path.dirname(target)] = where
    graph = {d: set(out) for d, out in folders.items()}
    for out in list(graph.values()):
        for d in out:
            graph.setdefault(d, set())
    for part in strong_parts(graph):
        if len(part) > 1:
            arrows = [folders[v][w] for v in part for w in sorted(graph[v]) if w in part]
            found.append("folders in a circle: %s (%s)" % (", ".join(part), "; ".join(arrows)))
    return files, graph, found


def main(argv):
    if len(argv) != 2:
        print(__doc__)
        return 2
    files, graph, found = offences(argv[1])
    for line in found:
        print(line)
    print("%d sources, %d folders, %d folder arrows; %d offences" %
          (len(files), len(graph), sum(len(v) for v in graph.values()), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
