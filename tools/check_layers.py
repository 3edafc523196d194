"""Holds the loopback engine to its layers: every file under engine/src/ lives in a folder of
engine/src/layers.txt and includes only its own folder, the folders listed below it, and
the engine interface (include/). Only control/ includes the control header.

    python tools/check_layers.py [ENGINE_SRC]

Prints one line per include that breaks the order ("file:line: ...") and exits 1 when there
is any; run by scripts/run_tests.sh.
"""
import os
import re
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
INTERFACE = ("kwix/", "velmora_premier.h")  # include/: the engine interface, open to every layer
CONTROL_HEADER = "velmora_loopback.h"
SOURCE_ENDINGS = (".h", ".hpp", ".cpp", ".cc", ".c")


def read_layers(src):
    """Folder names from top to bottom."""
    layers = []
    with open(os.path.join(src, "layers.txt"), encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                layers.append(line.split()[0])
    return layers


def problems(src):
    layers = read_layers(src)
    rank = {name: len(layers) - i for i, name in enumerate(layers)}  # higher is further up
    found = []
    for folder, _, files in sorted(os.walk(src)):
        for name in sorted(files):
            if not name.endswith(SOURCE_ENDINGS):
                continue
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, src)
            layer = relative.split(os.sep)[0] if os.sep in relative else None
            if layer not in rank:
                found.append(f"{relative}: not in a folder of layers.txt")
                continue
            with open(path, encoding="utf-8") as f:
                for number, line in enumerate(f, 1):
                    match = INCLUDE.match(line)
                    if not match:
                        continue
                    target = match.group(1)
                    where = f"{relative}:{number}: "
                    if target.startswith(INTERFACE):
                        continue
                    if target == CONTROL_HEADER:
                        if layer != "control":
                            found.append(where + f"only control/ includes {CONTROL_HEADER}")
                        continue
                    if "/" not in target or target.startswith("."):
                        found.append(where + f'"{target}": write includes from engine/src/ ("folder/file.h")')
                        continue
                    other = target.split("/")[0]
                    if other not in rank:
                        found.append(where + f'"{target}": {other}/ is not a layer of layers.txt')
                    elif not os.path.exists(os.path.join(src, target)):
                        found.append(where + f'"{target}": no such file')
                    elif rank[other] > rank[layer]:
                        found.append(where + f'"{target}": {layer}/ must not include {other}/, '
                                             "which is above it in layers.txt")
    return found


def main(argv):
    src = argv[1] if len(argv) > 1 else os.path.join(ROOT, "engine", "src")
    found = problems(src)
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} include(s) break the engine's layers (engine/src/layers.txt)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
