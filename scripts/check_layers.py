#!/usr/bin/env python3
"""Checks the one-way layers of src/.

- The folders include each other without a cycle, and no folder includes one of a higher layer.
- Library code includes no test support (a testing/ folder).
- Operating-system headers appear only in the platform layer's *_posix and *_win32 files, and
  in the HTTP client's *_win32 file (WinHTTP is its HTTP library there, as libcurl is on Linux).

Usage: check_layers.py [source-dir]. Exits 1 and names every offending include.
"""
import pathlib
import re
import sys

# Layer of each folder; a folder may include folders of its own layer or below.
LAYERS = {
    "base": 0,
    "text": 1,
    "core": 2,
    "rtp": 3, "rtsp": 3, "camera": 3, "media": 3,
    "channels": 4,
    "driver": 5, "io": 5, "ptz": 5,
}
OS_HEADER = re.compile(
    r"#include <(sys/|netinet/|arpa/|net/|netdb\.h|unistd\.h|poll\.h|fcntl\.h|pthread\.h|"
    r"time\.h|signal\.h|dlfcn\.h|errno\.h|windows\.h|winsock2\.h)")
LOCAL_INCLUDE = re.compile(r'#include "([a-z_]+)/([^"]+)"')


def is_test_code(path: pathlib.Path) -> bool:
    name = path.name
    return "testing" in path.parts or name.endswith("_test.cc")


def main() -> int:
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".") / "src"
    problems = []
    edges = {}
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".h", ".cc") or not path.is_file():
            continue
        folder = path.relative_to(root).parts[0]
        if folder not in LAYERS:
            problems.append(f"{path}: folder {folder} has no layer")
            continue
        test_code = is_test_code(path)
        for number, line in enumerate(path.read_text(errors="replace").splitlines(), 1):
            where = f"{path.relative_to(root.parent)}:{number}"
            match = LOCAL_INCLUDE.match(line.strip())
            if match:
                target, rest = match.groups()
                if target in LAYERS and target != folder:
                    edges.setdefault(folder, set()).add(target)
                    if LAYERS[target] > LAYERS[folder]:
                        problems.append(f"{where}: {folder} includes {target}, a higher layer")
                if not test_code and rest.startswith("testing/"):
                    problems.append(f"{where}: library code includes test support")
            if (not test_code and OS_HEADER.match(line.strip()) and
                    not (folder == "base" and path.stem.endswith(("_posix", "_win32"))) and
                    not (folder == "camera" and path.stem.startswith("http_sender_") and
                         path.stem.endswith("_win32"))):
                problems.append(f"{where}: OS header outside the platform layer: {line.strip()}")

    # A cycle among folders of the same layer.
    state = {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in sorted(edges.get(node, ())):
            if state.get(nxt) == "open":
                problems.append("folder cycle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]))
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in sorted(edges):
        if node not in state:
            visit(node, [node])

    for problem in problems:
        print(problem)
    if not problems:
        print("layers: ok (" + ", ".join(f"{a} -> {','.join(sorted(b))}"
                                         for a, b in sorted(edges.items())) + ")")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
