#!/usr/bin/env python3
"""Checks that every include of every source file in the tree runs one way, and that the library's
includes form no cycle.

    check_layers.py SOURCE_DIR     checks the tree; one line per finding, exit code 1 on any
    check_layers.py --control      seeds one upward include per rule into a scratch tree and
                                   fails unless the check finds each, and only it

What ships must not reach into what does not:
- the library's layers, lowest first base, engine_abi, engine, downloader, dll: a file includes its
  own layer and lower ones; the public header MobileDrvDown.h only from downloader and dll, the
  layers that implement it; nothing else (not the hosts' helpers, the stand-in engine or tests);
- include/ (the package's headers): only include/;
- hosts/ (drvget, shipped, built from the package alone): only hosts/ and include/;
- docs/ (the package's example hosts): only docs/ and include/;
- standin_engine/ (a binary of its own): only itself, base/ and engine_abi/;
- tests/ and bench/ may include anything.
An include is a file of the tree when it resolves from the including file's folder, the root,
include/, tests/ or docs/ (the include paths the build uses); others are system headers, except
that a quoted include in the library must resolve (generated .inc files aside).
"""
import os
import re
import sys
import tempfile
from pathlib import Path

LAYERS = ["base", "engine_abi", "engine", "downloader", "dll"]
PUBLIC_HEADER = "include/MobileDrvDown.h"
PUBLIC_HEADER_USERS = {"downloader", "dll"}
# Folder of the including file -> top folders it may include from.
ALLOWED = {
    "include": {"include"},
    "hosts": {"hosts", "include"},
    "docs": {"docs", "include"},
    "standin_engine": {"standin_engine", "base", "engine_abi"},
}
UNRESTRICTED = {"tests", "bench"}
SEARCH = ["", "include", "tests", "docs"]
SOURCE = re.compile(r"\.(h|hpp|c|cc|cpp|inc)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+(["<])([^">]+)[">]', re.MULTILINE)


def sources(root):
    for folder, dirs, files in os.walk(root):
        here = Path(folder).relative_to(root)
        if here == Path("."):
            dirs[:] = [d for d in dirs if not d.startswith(".") and d != "build"]
        for name in files:
            if SOURCE.search(name):
                yield (here / name).as_posix()


def resolve(root, name, quote, included):
    """The tree file an include names, or None."""
    bases = ([str(Path(name).parent)] if quote == '"' else []) + SEARCH
    for base in bases:
        candidate = os.path.normpath(os.path.join(base, included))
        if not candidate.startswith("..") and (root / candidate).is_file():
            return Path(candidate).as_posix()
    return None


def check(root):
    root = Path(root)
    files = {name: INCLUDE.findall((root / name).read_text(errors="replace"))
             for name in sorted(sources(root))}
    problems = []
    edges = {}
    for name, includes in files.items():
        top = name.split("/")[0]
        for quote, included in includes:
            target = resolve(root, name, quote, included)
            if target is None:
                if top in LAYERS and quote == '"' and not included.endswith(".inc"):
                    problems.append(f"{name}: includes {included}, which does not exist")
                continue
            other = target.split("/")[0]
            if top in LAYERS:
                if target == PUBLIC_HEADER and top in PUBLIC_HEADER_USERS:
                    pass
                elif target == PUBLIC_HEADER:
                    problems.append(f"{name}: includes the public header from layer {top}")
                elif other not in LAYERS:
                    problems.append(f"{name}: includes {target}, outside the library's layers")
                elif LAYERS.index(other) > LAYERS.index(top):
                    problems.append(f"{name}: includes {target} from the higher layer {other}")
                else:
                    edges.setdefault(component(name), set()).add(component(target))
            elif top in ALLOWED and other not in ALLOWED[top]:
                allowed = ", ".join(sorted(f"{folder}/" for folder in ALLOWED[top]))
                problems.append(f"{name}: includes {target}; {top}/ may include only {allowed}")
            elif top not in ALLOWED and top not in UNRESTRICTED and other in {"tests", "bench"}:
                problems.append(f"{name}: includes {target}, test code")
    problems += cycles(edges)
    return len(files), problems


def component(name):
    # A header with its source file: x.cpp including y.h while y.cpp includes x.h is a cycle.
    return name.rsplit(".", 1)[0]


def cycles(edges):
    for node in edges:
        edges[node].discard(node)
    state, found = {}, []

    def visit(node, trail):
        state[node] = "open"
        for other in sorted(edges.get(node, ())):
            if state.get(other) == "open":
                found.append("include cycle: " + " -> ".join(trail[trail.index(other):] + [other]))
            elif other not in state:
                visit(other, trail + [other])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])
    return found


# One seed per rule: (file, its text, the finding the check must report).
SEEDS = [
    ("hosts/drvget/main.cpp", '#include "tests/support/wait.h"',
     "hosts/drvget/main.cpp: includes tests/support/wait.h; hosts/ may include only hosts/, include/"),
    ("hosts/drvget/main.cpp", '#include "standin_engine/status_values.h"',
     "hosts/drvget/main.cpp: includes standin_engine/status_values.h; hosts/ may include only"),
    ("hosts/drvget/main.cpp", '#include "base/locks.h"',
     "hosts/drvget/main.cpp: includes base/locks.h; hosts/ may include only"),
    ("dll/entry.cpp", '#include "standin_engine/status_values.h"',
     "dll/entry.cpp: includes standin_engine/status_values.h, outside the library's layers"),
    ("engine/bind.cpp", '#include "support/wait.h"',
     "engine/bind.cpp: includes tests/support/wait.h, outside the library's layers"),
    ("downloader/task.cpp", '#include "MobileDrvDownHost.h"',
     "downloader/task.cpp: includes include/MobileDrvDownHost.h, outside the library's layers"),
    ("base/locks.h", '#include "downloader/task.h"',
     "base/locks.h: includes downloader/task.h from the higher layer downloader"),
    ("engine/bind.cpp", '#include "MobileDrvDown.h"',
     "engine/bind.cpp: includes the public header from layer engine"),
    ("standin_engine/exports.cpp", '#include "support/wait.h"',
     "standin_engine/exports.cpp: includes tests/support/wait.h; standin_engine/ may include only"),
    ("include/MobileDrvDownHost.h", '#include "base/locks.h"',
     "include/MobileDrvDownHost.h: includes base/locks.h; include/ may include only include/"),
    ("docs/example.cpp", '#include "engine/verify.h"',
     "docs/example.cpp: includes engine/verify.h; docs/ may include only docs/, include/"),
    ("base/strings.h", '#include "base/nowhere.h"',
     "base/strings.h: includes base/nowhere.h, which does not exist"),
    ("base/locks.cpp", '#include "base/strings.h"', "include cycle: base/locks -> base/strings"),
]
# A tree every seed starts from, which passes.
CLEAN = {
    "base/locks.h": "", "base/strings.h": '#include "base/locks.h"', "engine/verify.h": "",
    "downloader/task.h": '#include "engine/verify.h"\n#include "MobileDrvDown.h"',
    "dll/entry.cpp": '#include "downloader/task.h"\n#include "engine_allowlist.inc"',
    "include/MobileDrvDown.h": "#include <stddef.h>",
    "include/MobileDrvDownHost.h": '#include "MobileDrvDown.h"',
    "hosts/drvget/main.cpp": '#include "MobileDrvDownHost.h"\n#include "console.h"',
    "hosts/drvget/console.h": "#include <windows.h>",
    "standin_engine/status_values.h": "",
    "standin_engine/exports.cpp": '#include "base/locks.h"\n#include "status_values.h"',
    "docs/example.cpp": '#include "MobileDrvDownHost.h"\n#include <windows.h>',
    "tests/support/wait.h": '#include "base/locks.h"\n#include "standin_engine/status_values.h"',
}


def control():
    failures = 0
    for index, seed in enumerate([None] + SEEDS):
        with tempfile.TemporaryDirectory() as scratch:
            tree = dict(CLEAN)
            if seed:
                tree[seed[0]] = tree.get(seed[0], "") + "\n" + seed[1]
            for name, text in tree.items():
                (Path(scratch) / name).parent.mkdir(parents=True, exist_ok=True)
                (Path(scratch) / name).write_text(text + "\n")
            _, problems = check(scratch)
        if seed is None:
            ok = not problems
            print(f"{'ok' if ok else 'FAILED'}: the clean tree passes {problems or ''}")
        else:
            ok = len(problems) == 1 and problems[0].startswith(seed[2])
            print(f"{'ok' if ok else 'FAILED'}: {seed[0]} with {seed[1]} -> "
                  f"{problems[0] if len(problems) == 1 else problems}")
        failures += not ok
    return 1 if failures else 0


def main():
    if sys.argv[1:] == ["--control"]:
        return control()
    count, problems = check(sys.argv[1])
    for problem in problems:
        print(f"FAILED: {problem}")
    if not problems:
        print(f"ok: {count} source files; the library's layers, the package's headers, drvget, "
              "the examples and the stand-in engine include only what they may; no cycle in the "
              "library")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
