"""A delegate that records every callback it receives, for tests and benchmarks."""
import threading

import _velmora
from velmora import CALLBACKS  # re-exported: the tests name the callbacks through this module


def _recorder(name):
    def record(self, *args):
        self.record(name, args)
    record.__name__ = name
    return record


class RecordingDelegate(_velmora.KWIXCloudDelegate):
    """Records (callback name, arguments, thread id) for every callback, in arrival order."""

    def __init__(self):
        super().__init__()
        self.calls = []
        self.changed = threading.Condition()

    def record(self, name, args):
        with self.changed:
            self.calls.append((name, args, threading.get_ident()))
            self.changed.notify_all()

    def named(self, name):
        return [args for called, args, _ in self.calls if called == name]

    def names(self):
        return [called for called, _, _ in self.calls]

    def wait_for(self, predicate, timeout=5.0):
        with self.changed:
            assert self.changed.wait_for(lambda: predicate(self), timeout), \
                f"timed out; calls so far: {self.names()}"


for _name in CALLBACKS:
    setattr(RecordingDelegate, _name, _recorder(_name))
