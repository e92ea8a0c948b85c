#!/usr/bin/env python3
"""Checks that the library's layers depend one way and that its includes form no cycle.

    check_layers.py SOURCE_DIR

Layers, lowest first: base, engine_abi, engine, downloader, dll. A file may include files of its
own layer and of lower ones; the public header (include/MobileDrvDown.h) only from downloader and
dll, the layers that implement it. Prints one line per finding; exits 1 on any.
"""
import re
import sys
from pathlib import Path

LAYERS = ["base", "engine_abi", "engine", "downloader", "dll"]
PUBLIC_HEADER = "MobileDrvDown.h"
PUBLIC_HEADER_USERS = {"downloader", "dll"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def main() -> int:
    root = Path(sys.argv[1])
    files = {}
    for layer in LAYERS:
        for path in sorted((root / layer).glob("*.[ch]*")):
            files[f"{layer}/{path.name}"] = INCLUDE.findall(path.read_text())
    problems = []
    for name, includes in files.items():
        layer = name.split("/")[0]
        for included in includes:
            if included == PUBLIC_HEADER:
                if layer not in PUBLIC_HEADER_USERS:
                    problems.append(f"{name}: includes the public header from layer {layer}")
                continue
            other = included.split("/")[0]
            if other not in LAYERS:
                if not included.endswith(".inc"):  # generated data, e.g. the engine allowlist
                    problems.append(f"{name}: includes {included}, outside the library")
            elif LAYERS.index(other) > LAYERS.index(layer):
                problems.append(f"{name}: includes {included} from the higher layer {other}")
            elif included not in files:
                problems.append(f"{name}: includes {included}, which does not exist")

    # Cycles among the library's components (a header with its source file: x.h and x.cpp), by
    # depth-first search: x.cpp including y.h while y.cpp includes x.h is a cycle as well.
    def component(name):
        return name.rsplit(".", 1)[0]

    edges = {}
    for name, includes in files.items():
        for included in includes:
            if included in files and component(included) != component(name):
                edges.setdefault(component(name), set()).add(component(included))
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for other in sorted(edges.get(node, ())):
            if state.get(other) == "open":
                cycle = trail[trail.index(other):] + [other]
                problems.append("include cycle: " + " -> ".join(cycle))
            elif other not in state:
                visit(other, trail + [other])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])

    for problem in problems:
        print(f"FAILED: {problem}")
    if not problems:
        print(f"ok: {len(files)} files in {len(LAYERS)} layers include only their own layer and "
              "lower ones; no cycle among their components")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
