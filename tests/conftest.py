"""Shared fixtures. Engine-side views come from the control API wrapper in loopback.py; a
delegate that records every callback is in recording.py; helpers for records and rooms are in
helpers_records.py and helpers_rooms.py."""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

import _velmora
import loopback
from helpers_rooms import Room
from recording import RecordingDelegate

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


@pytest.fixture(autouse=True)
def _engine_defaults():
    """Every test starts from the engine's default settings and fault switches."""
    loopback.lib.vlb_settings_reset()
    loopback.lib.vlb_reset_faults()
    yield
    loopback.lib.vlb_reset_faults()
    loopback.lib.vlb_settings_reset()


@pytest.fixture
def delegate():
    """A delegate that records every callback."""
    return RecordingDelegate()


@pytest.fixture
def session(delegate):
    """A session with the recording delegate: (the KWIXCloud, its engine session), with an
    empty journal that keeps payloads byte for byte."""
    loopback.lib.vlb_journal_full_payloads(1)
    cloud = _velmora.KWIXCloud(delegate)
    engine = loopback.newest_session()
    loopback.lib.vlb_journal_clear(engine)
    yield cloud, engine
    del cloud
    gc.collect()


@pytest.fixture
def room(request):
    """A room of this test's own, away from sessions that earlier tests left alive."""
    return Room("room-" + request.node.name)


@pytest.fixture
def clock():
    """The engine's manual clock for this test: clock(ms) runs `ms` of engine time (audio
    conversion, mixing and pacing, network quality reports) on this thread, then waits until
    every live session's callbacks are done (settle=False skips that wait)."""
    assert loopback.lib.vlb_clock_manual(1) == loopback.OK

    def advance(ms, settle=True):
        assert loopback.lib.vlb_clock_advance(ms) == loopback.OK
        if settle:
            for engine in loopback.sessions():
                loopback.wait_idle(engine)

    yield advance
    loopback.lib.vlb_clock_manual(0)


@pytest.fixture
def run_python(request):
    """Runs a Python snippet in a fresh interpreter that imports the same module as this one
    (or the one in `module_dir`), with the tests folder and the calling test's folder on its
    path; gives back the CompletedProcess. A hang fails the test instead of hanging the suite."""
    test_dir = os.path.dirname(str(request.fspath))

    def run(code, timeout=60, env=None, module_dir=None):
        module_dir = module_dir or os.path.dirname(os.path.abspath(_velmora.__file__))
        full_env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, TESTS_DIR, test_dir]),
                        **(env or {}))
        try:
            return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                                  capture_output=True, text=True, timeout=timeout, env=full_env)
        except subprocess.TimeoutExpired as hang:
            pytest.fail(f"the child interpreter hung for {timeout} s; stderr so far:\n{hang.stderr}")

    return run
