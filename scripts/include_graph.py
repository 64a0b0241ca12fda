#!/usr/bin/env python3
"""Prints which top-level parts of src/ include which, and fails on a cycle.

A part is a folder directly under src/ (or a file directly in src/). An edge A -> B means
some file of A includes a header of B; the count says how many include lines make it. It
also fails when a Python-free folder (src/net, any core/ folder) includes Python.h or a
header from outside the Python-free folders, since those build without Python.

    python3 scripts/include_graph.py [SRC_DIR]
"""

from __future__ import annotations

import re
import sys
from collections import Counter
from pathlib import Path

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
PYTHON_FREE_PARTS = {"net"}


def part_of(path: Path, src: Path) -> str:
    return path.relative_to(src).parts[0]


def is_python_free(rel: Path) -> bool:
    return rel.parts[0] in PYTHON_FREE_PARTS or "core" in rel.parts[:-1]


def find_cycle(edges: dict[str, set[str]]) -> list[str] | None:
    """One cycle as a list of parts (first == last), or None."""
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    path: list[str] = []

    def visit(node: str) -> list[str] | None:
        state[node] = 1
        path.append(node)
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state and (cycle := visit(nxt)):
                return cycle
        path.pop()
        state[node] = 2
        return None

    for node in sorted(edges):
        if node not in state and (cycle := visit(node)):
            return cycle
    return None


def main() -> int:
    src = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent / "src")
    counts: Counter[tuple[str, str]] = Counter()
    parts: set[str] = set()
    problems: list[str] = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in {".hpp", ".cpp", ".h"}:
            continue
        rel = path.relative_to(src)
        here = part_of(path, src)
        parts.add(here)
        for bracket, target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if bracket == "<":
                if target == "Python.h" and is_python_free(rel):
                    problems.append(f"{rel} includes Python.h in a Python-free folder")
                continue
            if not (src / target).exists():
                continue  # a header beside the file, outside src/, or generated
            if is_python_free(rel) and not is_python_free(Path(target)):
                problems.append(f"{rel} (Python-free) includes {target}")
            there = Path(target).parts[0]
            if there != here:
                counts[(here, there)] += 1

    edges: dict[str, set[str]] = {p: set() for p in parts}
    for (a, b) in counts:
        edges[a].add(b)
    print("include graph between the top-level parts of src/ (includer -> included: lines)")
    for a in sorted(parts):
        targets = ", ".join(f"{b} ({counts[(a, b)]})" for b in sorted(edges[a])) or "-"
        print(f"  {a} -> {targets}")

    cycle = find_cycle(edges)
    if cycle:
        problems.append("cycle: " + " -> ".join(cycle))
    for problem in problems:
        print(f"include_graph: {problem}", file=sys.stderr)
    if not problems:
        print("no cycle; Python-free folders include no Python")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
