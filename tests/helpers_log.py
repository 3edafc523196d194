"""Reading the engine's log folder for the log tests: lines parsed into (level, thread, text),
rotated files in order, gzip or plain alike."""
import gzip
import os
import re

from velmora.testing import control

DEBUG, INFO, WARNING, ERROR = control.LOG_DEBUG, control.LOG_INFO, control.LOG_WARNING, control.LOG_ERROR
NAMES = ["DEBUG", "INFO", "WARNING", "ERROR"]
LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (DEBUG|INFO|WARNING|ERROR) tid=(\d+) (.*)")
ROTATED = re.compile(r"velmora\.log\.\d+(\.gz)?")


def write(level, text):
    control.log_write(level, text)


def parse(data):
    """[(level, thread id, text)] of the log lines in `data`; fails on a malformed line."""
    parsed = []
    for raw in data.splitlines():
        match = LINE.fullmatch(raw)
        assert match, f"malformed log line {raw!r}"
        parsed.append((match.group(1), int(match.group(2)), match.group(3)))
    return parsed


def read(path):
    with open(path, "rb") as f:
        compressed = f.read(2) == b"\x1f\x8b"
    with (gzip.open if compressed else open)(path, "rb") as f:
        return f.read().decode()


def rotated(directory):
    """Rotated files, oldest first."""
    names = [n for n in os.listdir(directory) if ROTATED.fullmatch(n)]
    return [directory / n for n in sorted(names, key=lambda n: int(n.split(".")[2]))]


def all_lines(directory):
    """(level, thread id, text) of every line still on disk, oldest file first."""
    control.log_flush()
    files = rotated(directory) + [directory / "velmora.log"]
    return [line for path in files if path.exists() for line in parse(read(path))]


def all_texts(directory):
    """Texts of every line still on disk, oldest first."""
    return [text for _, _, text in all_lines(directory)]
