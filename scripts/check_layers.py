#!/usr/bin/env python3
"""Checks the source tree against the layer map the build writes.

usage: check_layers.py <layer map> <source root>

The map (written by src/CMakeLists.txt into the build folder) has one line per fact:
    <target> file <path under the source root>
    <target> links <norvale library it links>
    partial                 (some libraries are not built here: no completeness check)

A file may include only files of its own target or of the libraries that target links,
directly or through them; every .cpp and .h under the source root belongs to exactly one target;
the links form no cycle. Each problem is printed on a line of its own; the exit status is 1 when
there is any.
"""

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def read_map(path, problems):
    files = {}  # target -> [paths]
    links = {}  # target -> set of targets
    partial = False
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            if line == "partial":
                partial = True
                continue
            parts = line.split()
            if len(parts) != 3 or parts[1] not in ("file", "links"):
                problems.append(f"{path}:{number}: cannot read '{line}'")
                continue
            target, kind, value = parts
            files.setdefault(target, [])
            links.setdefault(target, set())
            if kind == "file":
                files[target].append(os.path.normpath(value))
            else:
                links[target].add(value)
    return files, links, partial


def link_closure(target, links):
    seen = set()
    todo = [target]
    while todo:
        for dep in links.get(todo.pop(), ()):
            if dep not in seen:
                seen.add(dep)
                todo.append(dep)
    return seen


def find_cycle(links):
    state = {}  # target -> 1 while on the path, 2 when done

    def visit(target, path):
        state[target] = 1
        for dep in sorted(links.get(target, ())):
            if state.get(dep) == 1:
                return path[path.index(dep):] + [dep] if dep in path else path + [dep]
            if dep not in state:
                cycle = visit(dep, path + [dep])
                if cycle:
                    return cycle
        state[target] = 2
        return None

    for target in sorted(links):
        if target not in state:
            cycle = visit(target, [target])
            if cycle:
                return cycle
    return None


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    map_path, root = argv[1], argv[2]
    problems = []
    files, links, partial = read_map(map_path, problems)

    owner = {}
    for target in sorted(files):
        for path in files[target]:
            if path in owner and owner[path] != target:
                problems.append(f"{path} is listed in both {owner[path]} and {target}")
            owner.setdefault(path, target)
            if not os.path.isfile(os.path.join(root, path)):
                problems.append(f"{path} ({target}) does not exist")

    for target in sorted(links):
        for dep in sorted(links[target]):
            if dep not in files:
                problems.append(f"{target} links {dep}, which the map does not describe")
    cycle = find_cycle(links)
    if cycle:
        problems.append("the links form a cycle: " + " -> ".join(cycle))

    if not partial:
        for folder, _, names in os.walk(root):
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    path = os.path.relpath(os.path.join(folder, name), root)
                    if path not in owner:
                        problems.append(f"{path} is listed in no library or program")

    for target in sorted(files):
        allowed = link_closure(target, links) | {target}
        for path in files[target]:
            full = os.path.join(root, path)
            if not os.path.isfile(full):
                continue
            with open(full, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    quoted, name = m.group(1) == '"', m.group(2)
                    candidates = [os.path.normpath(name)]
                    if quoted:
                        here = os.path.dirname(path)
                        candidates.insert(0, os.path.normpath(os.path.join(here, name)))
                    for candidate in candidates:
                        if os.path.isfile(os.path.join(root, candidate)):
                            break
                    else:
                        continue  # a system or generated header
                    to = owner.get(candidate)
                    if to is None or to in allowed:
                        continue  # an unlisted file is reported above
                    problems.append(f"{path}:{number} ({target}) includes {candidate} of {to}, "
                                    f"which {target} does not link")

    for problem in problems:
        print(problem)
    listed = sum(len(v) for v in files.values())
    if problems:
        print(f"layer check failed: {len(problems)} problem(s) in {listed} files of "
              f"{len(files)} targets")
        return 1
    note = " (partial build: files no target lists were not looked for)" if partial else ""
    print(f"layers hold: {listed} files in {len(files)} targets, no include past a target's "
          f"links{note}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
