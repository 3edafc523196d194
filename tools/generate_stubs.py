"""Writes the type stub of the _velmora module (velmora/_velmora.pyi) from the module itself.

    python tools/generate_stubs.py            # rewrite velmora/_velmora.pyi
    python tools/generate_stubs.py --check    # exit 1 if the committed stub is out of date

The module's generated signatures name the types that are registered after a function by
their C++ names (velmora::kwix::StreamType, PyKWIXCloudDelegate); the stub names them by
their Python classes. They also call every text parameter `str`, while the module takes more
there; the stub says what is accepted.
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

# Texts handed to the engine as C strings: a str goes as its UTF-8 encoding, a bytes or
# bytearray as its own bytes, None as a null pointer.
C_STRING = "str | bytes | bytearray | None"
# Texts the module copies into a string of its own: the same, but None is refused.
OWNED_STRING = "str | bytes | bytearray"
# KwixString holds a null pointer after SetValue(None), and GetValue gives it back as None.
NULLABLE_RESULT = ("def GetValue(self) -> str:", "def GetValue(self) -> str | None:")
# (class or None for a module function, function) -> {parameter: accepted type}. The
# delegate's callbacks keep `str`: Python subclasses override them, and an override that
# takes `str` must stay compatible with its base.
TEXT_PARAMETERS = {
    (None, "SetLogPath"): {"path": C_STRING},
    (None, "SetSocks5Proxy"): {"ip": C_STRING, "username": C_STRING, "password": C_STRING},
    (None, "SetEnvironment"): {"env": C_STRING},
    ("KwixString", "__init__"): {"arg0": C_STRING},
    ("KwixString", "SetValue"): {"arg0": C_STRING},
    ("KWIXCloud", "Subscribe"): {"user_id": OWNED_STRING},
    ("KWIXCloud", "Unsubscribe"): {"user_id": OWNED_STRING},
}


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
    text = text.replace("PyKWIXCloudDelegate", "KWIXCloudDelegate | None")
    text = widen_text_parameters(text)
    if NULLABLE_RESULT[0] not in text:
        raise SystemExit(f"not found in the generated stub: {NULLABLE_RESULT[0]}")
    return text.replace(*NULLABLE_RESULT)


def widen_text_parameters(text):
    lines = text.splitlines(True)
    owner = None
    widened = set()
    for index, line in enumerate(lines):
        if line.startswith("class "):
            owner = re.match(r"class (\w+)", line).group(1)
        elif line.strip() and not line.startswith((" ", "\t")):
            owner = None
        match = re.match(r"\s*def (\w+)\(", line)
        if not match:
            continue
        function = (owner, match.group(1))
        for parameter, accepted in TEXT_PARAMETERS.get(function, {}).items():
            line, count = re.subn(rf"\b{parameter}: str\b(?! \|)", f"{parameter}: {accepted}", line)
            if count:
                widened.add(function + (parameter,))
        lines[index] = line
    expected = {function + (parameter,) for function, parameters in TEXT_PARAMETERS.items()
                for parameter in parameters}
    if expected - widened:
        raise SystemExit(f"text parameters not found in the generated stub: {sorted(expected - widened, key=str)}")
    return "".join(lines)


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
