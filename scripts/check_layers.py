#!/usr/bin/env python3
"""The layer check: every library under src/ may include only itself and the
libraries it is allowed to use, and the allowed graph has no cycle.

    check_layers.py [SRC_DIR]     (default: the repository's src/)

A library is a folder under src/; an include names one by its first path part
("engine/mivrel.h" is the engine's). Includes in angle brackets (system and
third-party headers) are not ours and are not checked. The libraries' links in
src/CMakeLists.txt (the brisvane_<name> entries after DEPS) are held to the
same graph. Exits 1 with one line per problem (file:line) when a library
includes or links one it may not use, when a folder is missing from the graph
below, or when the graph has a cycle.
"""
import os
import re
import sys

# The libraries each library may use directly; using is transitive, so a
# library may include everything reachable from its entries.
ALLOWED = {
    "base": [],
    "platform": ["base"],
    "config": ["platform"],
    "storage": ["config"],
    "prompt": ["config"],
    "net": ["platform"],
    "engine": ["storage", "prompt", "net"],
    "codec": ["base"],
    "media": ["engine", "codec"],
    "speech": ["engine"],
    "relay": ["engine"],
    "mgmt": ["relay"],
    "api": ["media", "speech", "mgmt"],
    "mgmt_api": ["sysinfo"],
    "sysinfo": ["media", "mgmt"],
    "web": ["media", "mgmt"],
    "app": ["api", "mgmt_api", "web"],
    "desktop": ["app"],
    "cli": ["platform"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/[^"]+"')
SUBSYSTEM = re.compile(r'^\s*brisvane_subsystem\(\s*([A-Za-z0-9_]+)\b(.*)\)')
LINKED = re.compile(r'\bbrisvane_([A-Za-z0-9_]+)\b')


def find_cycle(graph):
    """A list of libraries forming a cycle, or None."""
    state = {}  # 1 on the current path, 2 done

    def visit(node, path):
        state[node] = 1
        path.append(node)
        for dep in graph.get(node, []):
            if state.get(dep) == 1:
                return path[path.index(dep):] + [dep]
            if dep not in state:
                found = visit(dep, path)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def reachable(graph, start):
    seen = set()
    todo = [start]
    while todo:
        node = todo.pop()
        if node in seen:
            continue
        seen.add(node)
        todo.extend(graph.get(node, []))
    return seen


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "src")
    problems = []

    for lib, deps in sorted(ALLOWED.items()):
        for dep in deps:
            if dep not in ALLOWED:
                problems.append(f"graph: {lib} uses {dep}, which is not in the graph")
    cycle = find_cycle(ALLOWED)
    if cycle:
        problems.append("graph: cycle " + " -> ".join(cycle))

    folders = sorted(d for d in os.listdir(src) if os.path.isdir(os.path.join(src, d)))
    for folder in folders:
        if folder not in ALLOWED:
            problems.append(f"src/{folder}: not in the layer graph of {os.path.basename(__file__)}")
            continue
        usable = reachable(ALLOWED, folder)
        for root, _, files in os.walk(os.path.join(src, folder)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".cpp", ".cc", ".c")):
                    continue
                path = os.path.join(root, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        target = match.group(1)
                        if target not in ALLOWED:
                            continue  # a header beside the file, not a library
                        if target not in usable:
                            shown = os.path.relpath(path, os.path.join(src, ".."))
                            problems.append(f"{shown}:{number}: {folder} may not include {target} "
                                            f"({line.strip()})")

    cmake_lists = os.path.join(src, "CMakeLists.txt")
    if os.path.exists(cmake_lists):
        with open(cmake_lists, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                match = SUBSYSTEM.match(line)
                if not match or match.group(1) not in ALLOWED:
                    continue
                lib = match.group(1)
                usable = reachable(ALLOWED, lib)
                for dep in LINKED.findall(match.group(2)):
                    if dep in ALLOWED and dep not in usable:
                        problems.append(f"src/CMakeLists.txt:{number}: {lib} may not link brisvane_{dep}")

    for problem in problems:
        print(problem)
    if problems:
        print(f"layer check: {len(problems)} problem(s)")
        return 1
    print(f"layer check: {len(folders)} libraries, no include against the layers, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
