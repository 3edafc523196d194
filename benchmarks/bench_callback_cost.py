"""Instructions per callback spent in the module's trampoline, counted with callgrind.

Builds the module and the engine -O2 with symbols (RelWithDebInfo) into build/callgrind, or
uses the unstripped build given with --module-dir, then runs a child interpreter under
callgrind that collects only inside `PyKWIXCloudDelegate::On*` while the engine thread
delivers callbacks to Python methods that do nothing (or, in the last kind, keep each frame).
Each callback kind runs twice with a different count; the difference divided by the
difference in count is the cost of one callback, free of the first call's one-off set-up.

Run in the project's virtual environment (needs valgrind, cmake and pybind11):
    python benchmarks/bench_callback_cost.py [--module-dir DIR] [--counts 200 1200]
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from native_build import cmake_build

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
BUILD = os.path.join(ROOT, "build", "callgrind")

# The child: COUNT callbacks queued behind one that holds the engine thread at a gate, then
# delivered in one go while the main thread waits inside the engine (lock released).
CHILD = r"""
import sys, threading
import _velmora as v
from velmora.testing import control

kind, count = sys.argv[1], int(sys.argv[2])
payload = bytes(3840)  # 20 ms of 48 kHz stereo, 16-bit


class Idle(v.KWIXCloudDelegate):
    def __init__(self):
        super().__init__()
        self.gate = threading.Event()

    def OnExitRoom(self):
        self.gate.wait()

    def OnEnterRoom(self):
        pass

    def OnRemoteAudioReceived(self, user_id, frame):
        pass


class Keeping(Idle):
    def __init__(self):
        super().__init__()
        self.kept = []

    def OnRemoteAudioReceived(self, user_id, frame):
        self.kept.append(frame)


delegate = Keeping() if kind == "kept" else Idle()
session = v.KWIXCloud(delegate)
engine = control.newest_session()
control.set_media_queue_limit(count + 1)
control.emit_event(engine, "OnExitRoom")
for _ in range(count):
    if kind == "OnEnterRoom":
        control.emit_event(engine, "OnEnterRoom")
    else:
        control.emit_audio_frame(engine, "speaker", payload, channels=2, has_voice=True)
delegate.gate.set()
control.wait_idle(engine, timeout_ms=600000)
assert control.dropped_frames(engine) == 0
del session
"""

KINDS = [("OnEnterRoom", "OnEnterRoom (no arguments)"),
         ("OnRemoteAudioReceived", "OnRemoteAudioReceived (3,840-byte frame)"),
         ("kept", "the same, the method keeps every frame")]


def build():
    return os.path.join(cmake_build(BUILD), "lib")


def check_unstripped(module_dir):
    modules = glob.glob(os.path.join(module_dir, "_velmora*.so"))
    if not modules:
        sys.exit(f"no _velmora module in {module_dir}")
    symbols = subprocess.run(["nm", modules[0]], capture_output=True, text=True).stdout
    if "PyKWIXCloudDelegate" not in symbols:
        sys.exit(f"{modules[0]} has no symbols: the count needs an unstripped build")


def instructions(module_dir, kind, count):
    """Instructions collected inside the trampoline for `count` callbacks of `kind`."""
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "callgrind.out")
        env = dict(os.environ, PYTHONPATH=module_dir)
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
             "--collect-atstart=no", "--toggle-collect=PyKWIXCloudDelegate::On*",
             sys.executable, "-c", CHILD, kind, str(count)],
            capture_output=True, text=True, env=env)
        if result.returncode != 0:
            sys.exit(f"the child failed under callgrind:\n{result.stderr[-4000:]}")
        with open(out) as counts:
            match = re.search(r"^(?:summary|totals): (\d+)", counts.read(), re.MULTILINE)
        if match is None:
            sys.exit("callgrind wrote no totals")
        return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--module-dir", help="folder with an unstripped _velmora and libvelmora.so")
    parser.add_argument("--counts", type=int, nargs=2, default=(200, 1200), metavar=("LOW", "HIGH"))
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("valgrind was not found: install it (apt-get install valgrind)")
    module_dir = os.path.abspath(args.module_dir) if args.module_dir else build()
    check_unstripped(module_dir)
    low, high = args.counts
    print(f"module: {module_dir}")
    print(f"{'callback':42} {'instructions/callback':>22} {'x no-argument':>14}")
    no_argument = None
    for kind, label in KINDS:
        per_callback = (instructions(module_dir, kind, high) -
                        instructions(module_dir, kind, low)) / (high - low)
        no_argument = no_argument or per_callback
        print(f"{label:42} {per_callback:22,.0f} {per_callback / no_argument:14.2f}")


if __name__ == "__main__":
    main()
