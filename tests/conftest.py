"""Shared fixtures. Engine-side views come from the control API wrapper in loopback.py; a
delegate that records every callback is in recording.py."""
import os
import subprocess
import sys
import textwrap

import pytest

import _velmora
import loopback


@pytest.fixture(autouse=True)
def _engine_defaults():
    """Every test starts from the engine's default settings and fault switches."""
    loopback.lib.vlb_settings_reset()
    loopback.lib.vlb_reset_faults()
    yield
    loopback.lib.vlb_reset_faults()
    loopback.lib.vlb_settings_reset()


@pytest.fixture
def run_python():
    """Runs a Python snippet in a fresh interpreter that imports the same module as this one,
    with the tests folder on its path; gives back the CompletedProcess. A hang fails the test
    instead of hanging the suite."""
    tests_dir = os.path.dirname(os.path.abspath(__file__))
    module_dir = os.path.dirname(os.path.abspath(_velmora.__file__))

    def run(code, timeout=60, env=None):
        full_env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, tests_dir]),
                        **(env or {}))
        try:
            return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                                  capture_output=True, text=True, timeout=timeout, env=full_env)
        except subprocess.TimeoutExpired as hang:
            pytest.fail(f"the child interpreter hung for {timeout} s; stderr so far:\n{hang.stderr}")

    return run
