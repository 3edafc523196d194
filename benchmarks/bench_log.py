"""Log lines per second written through the control API (one ctypes call each, the
interpreter lock released as an engine thread would have it), by 1 and 10 threads, with
rotation and compression going on; and the same with two processes sharing the folder.
A line costs a shared directory lock, a look at the file's name and one append, so that
processes sharing a folder keep every line.

Run in the project's virtual environment:  python benchmarks/bench_log.py
"""
import os
import subprocess
import sys
import tempfile
import threading
import time

import _velmora as v
from velmora.testing import control

LINES = 100000
TEXT = b"a typical line of some sixty characters for the benchmark, number "
# The C function itself: the figures are the engine's cost of a line, which the wrapper's own
# checks would blur.
write_line = control.library().vlb_log_write


def write_lines(threads, folder):
    assert v.SetLogPath(folder)
    control.log_set_rotation(1 << 20, 3)
    per_thread = LINES // threads

    def burst():
        for i in range(per_thread):
            write_line(control.LOG_INFO, TEXT)

    workers = [threading.Thread(target=burst) for _ in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    control.log_flush()
    return time.perf_counter() - start


def main():
    if len(sys.argv) == 3:  # one of the processes of the shared-folder run
        print(write_lines(1, sys.argv[2]))
        return
    with tempfile.TemporaryDirectory() as base:
        empty = time.perf_counter()
        for _ in range(LINES):
            write_line(control.LOG_INFO, TEXT)  # no log path: the call and the level check only
        empty = time.perf_counter() - empty
        print(f"call without a log file:      {empty / LINES * 1e6:6.2f} us/line")
        for threads in (1, 10):
            seconds = write_lines(threads, os.path.join(base, f"t{threads}"))
            print(f"{threads:2d} thread(s), one process:  {seconds / LINES * 1e6:6.2f} us/line "
                  f"({LINES / seconds:,.0f} lines/s)")
        folder = os.path.join(base, "shared")
        children = [subprocess.Popen([sys.executable, __file__, "child", folder], stdout=subprocess.PIPE,
                                     text=True) for _ in range(2)]
        seconds = [float(child.communicate()[0]) for child in children]
        print(f" 2 processes, one folder:     {max(seconds) / (2 * LINES) * 1e6:6.2f} us/line "
              f"({2 * LINES / max(seconds):,.0f} lines/s together)")


if __name__ == "__main__":
    main()
