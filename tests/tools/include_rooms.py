#!/usr/bin/env python3
"""Include loops between the rooms of a folder.

usage: include_rooms.py ROOT [FOLDER ...]

A room is a source and its header together: every file under FOLDER with one stem (Judge.h and
Judge.cpp are the room Judge, wherever under FOLDER they lie). An arrow runs from a room to each
room of the same folder one of its files names in a quoted #include; an include names a file when
that file's path ends with the include's text. Includes that reach outside the folder are that
folder's business, not the room's. The check fails on any loop between rooms, printing each loop;
with no FOLDER it checks tools/platform.
"""
import os
import re
import sys

SOURCES = (".h", ".hpp", ".c", ".cc", ".cpp")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
COMMENTS = re.compile(r"/\*.*?\*/|//[^\n]*", re.DOTALL)


def folder_files(root, folder):
    """The folder's sources, as paths relative to ROOT with '/'."""
    files = []
    for base, dirs, names in os.walk(os.path.join(root, folder)):
        dirs.sort()
        for name in sorted(names):
            if name.endswith(SOURCES):
                files.append(os.path.relpath(os.path.join(base, name), root).replace(os.sep, "/"))
    return files


def room_of(path):
    return os.path.splitext(os.path.basename(path))[0]


def arrows(root, files):
    """room -> {room it includes: the first 'file -> include' that makes the arrow}"""
    graph = {room_of(f): {} for f in files}
    for f in files:
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as src:
            text = COMMENTS.sub("", src.read())
        for name in INCLUDE.findall(text):
            targets = [g for g in files if g == name or g.endswith("/" + name)]
            for target in targets:
                if room_of(target) != room_of(f):
                    graph[room_of(f)].setdefault(room_of(target), "%s -> %s" % (f, name))
    return graph


def strong_parts(graph):
    """Tarjan's strongly connected components, each a sorted list of rooms."""
    index, low, on_stack, stack, parts = {}, {}, set(), [], []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            part = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                part.append(w)
                if w == v:
                    break
            parts.append(sorted(part))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return parts


def a_loop(graph, part):
    """One loop through the part's first room, found breadth first (a shortest one)."""
    start, inside = part[0], set(part)
    came_from = {start: None}
    queue = [start]
    for v in queue:
        for w in sorted(graph[v]):
            if w == start:
                path = [v]
                while came_from[path[-1]] is not None:
                    path.append(came_from[path[-1]])
                return list(reversed(path)) + [start]
            if w in inside and w not in came_from:
                came_from[w] = v
                queue.append(w)
    return [start]


def check(root, folder):
    files = folder_files(root, folder)
    if not files:
        print("%s: no sources" % folder)
        return False
    graph = arrows(root, files)
    loops = [p for p in strong_parts(graph) if len(p) > 1]
    total = sum(len(v) for v in graph.values())
    if not loops:
        print("%s: %d rooms, %d arrows, no loop" % (folder, len(graph), total))
        return True
    looped = sum(1 for p in loops for v in p for w in graph[v] if w in p)
    print("%s: %d rooms, %d arrows; %d rooms in loops, %d arrows on them" %
          (folder, len(graph), total, sum(len(p) for p in loops), looped))
    for part in loops:
        print("  loop among %s" % ", ".join(part))
        path = a_loop(graph, part)
        print("    for one: %s" % " -> ".join(path))
        for v, w in zip(path, path[1:]):
            print("      %s" % graph[v][w])
    return False


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    root, folders = argv[1], argv[2:] or ["tools/platform"]
    results = [check(root, folder) for folder in folders]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
