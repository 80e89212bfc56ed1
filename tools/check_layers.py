#!/usr/bin/env python3
"""Checks that the product folders form layers: no folder includes, directly
or around a circle, a folder that includes it.

Every `#include "folder/name.h"` of a product source names an edge from its
folder to the included one; the graph must have no cycle. Prints each edge
that closes a circle, with the files behind it, and exits 1 when there is one.

    tools/check_layers.py [SOURCE_ROOT]
"""
import pathlib
import re
import sys

PRODUCT = ("platform", "support", "files", "console", "pattern", "selection", "driver", "tools")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)


def edges(root):
    found = {}
    for folder in PRODUCT:
        for source in sorted((root / folder).glob("*.[ch]*")):
            for target in INCLUDE.findall(source.read_text(errors="replace")):
                if target != folder and target in PRODUCT:
                    found.setdefault((folder, target), []).append(source.name)
    return found


def circles(found):
    """Edges (a, b) from which a path leads back to a."""
    graph = {}
    for a, b in found:
        graph.setdefault(a, set()).add(b)

    def reaches(start, goal):
        seen, todo = set(), [start]
        while todo:
            node = todo.pop()
            if node == goal:
                return True
            if node not in seen:
                seen.add(node)
                todo.extend(graph.get(node, ()))
        return False

    return [(a, b) for a, b in sorted(found) if reaches(b, a)]


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    found = edges(root)
    bad = circles(found)
    for a, b in bad:
        print(f"{a}/ includes {b}/ ({', '.join(found[(a, b)])}), and {b}/ leads back to {a}/")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
