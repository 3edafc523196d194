"""Writes the type stub of the _velmora module (velmora/_velmora.pyi) from the module itself.

    python tools/generate_stubs.py            # rewrite velmora/_velmora.pyi
    python tools/generate_stubs.py --check    # exit 1 if the committed stub is out of date

The module's generated signatures name the types that are registered after a function by
their C++ names (velmora::kwix::StreamType, PyKWIXCloudDelegate); the stub names them by
their Python classes.
"""
import argparse
import difflib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "velmora", "_velmora.pyi")


def generate():
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", "_velmora", "-o", out,
                        "--print-invalid-expressions-as-is", "--exit-code",
                        "--ignore-invalid-expressions", r"velmora::kwix::\w+",
                        "--ignore-unresolved-names", "PyKWIXCloudDelegate"],
                       check=True, capture_output=True, text=True)
        with open(os.path.join(out, "_velmora.pyi")) as f:
            text = f.read()
    text = re.sub(r"velmora::kwix::(\w+)", r"\1", text)
    # The session also accepts None for the delegate.
    return text.replace("PyKWIXCloudDelegate", "KWIXCloudDelegate | None")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    text = generate()
    if args.check:
        with open(STUB) as f:
            committed = f.read()
        if committed != text:
            sys.stdout.writelines(difflib.unified_diff(
                committed.splitlines(True), text.splitlines(True), STUB, "generated"))
            return 1
        return 0
    with open(STUB, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
