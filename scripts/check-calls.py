#!/usr/bin/env python3
"""Which product source files call each other, from the symbols of a built
tree's object files: file A calls file B when A's object leaves undefined a
symbol that B's object defines. Prints every pair of files that call each
other and every longer circle (a strongly connected group of files), and
exits 1 when there is one.

    python3 scripts/check-calls.py [-v] [build-dir]     # default: build; -v lists every call
"""
import os
import subprocess
import sys

PRODUCT = ("core", "client", "platform", "desktop", "service")


def objects(build):
    for directory, _, files in os.walk(build):
        parts = directory.replace(build, "").split(os.sep)
        if len(parts) < 2 or parts[1] not in PRODUCT or "CMakeFiles" not in parts:
            continue
        for name in files:
            if name.endswith(".o") or name.endswith(".obj"):
                yield os.path.join(directory, name)


def source_name(path, build):
    # build/core/CMakeFiles/orvanel_core.dir/read_transfer.cpp.o -> core/read_transfer.cpp
    relative = os.path.relpath(path, build).split(os.sep)
    inside = relative[relative.index("CMakeFiles") + 2:]
    return "/".join([relative[0]] + inside)[: -len(".o")]


def symbols(path):
    out = subprocess.run(["nm", "--format=posix", path], capture_output=True, text=True).stdout
    defined, needed = set(), set()
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 2:
            continue
        name, kind = fields[0], fields[1]
        if kind == "U":
            needed.add(name)
        elif kind in ("T", "D", "B", "R", "V", "W", "u"):
            defined.add(name)
    return defined, needed


def strongly_connected(graph):
    index, low, stack, on, groups, counter = {}, {}, [], set(), [], [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in graph.get(v, ()):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on.discard(w)
                group.append(w)
                if w == v:
                    break
            groups.append(sorted(group))

    sys.setrecursionlimit(10000)
    for v in graph:
        if v not in index:
            visit(v)
    return groups


def main():
    arguments = [a for a in sys.argv[1:] if a != "-v"]
    build = os.path.abspath(arguments[0] if arguments else "build")
    files = {}
    for path in objects(build):
        files[source_name(path, build)] = symbols(path)
    owner = {}
    for name, (defined, _) in files.items():
        for symbol in defined:
            owner.setdefault(symbol, set()).add(name)
    graph = {}
    for name, (_, needed) in files.items():
        graph[name] = {o for symbol in needed for o in owner.get(symbol, ()) if o != name}
    pairs = sorted({tuple(sorted((a, b))) for a in graph for b in graph[a] if a in graph.get(b, ())})
    circles = [g for g in strongly_connected(graph) if len(g) > 1]
    print("%d object files, %d calls between files" % (len(files), sum(len(v) for v in graph.values())))
    for a, b in pairs:
        print("calls each other: %s <-> %s" % (a, b))
    for g in circles:
        print("circle: " + " -> ".join(g))
    if "-v" in sys.argv:
        for name in sorted(graph):
            print("%s -> %s" % (name, ", ".join(sorted(graph[name]))))
    print("%d pairs, %d circles" % (len(pairs), len(circles)))
    return 1 if pairs or circles else 0


if __name__ == "__main__":
    sys.exit(main())
