"""Shared fixtures. Engine-side views and fault switches come from velmora.testing.control, a
delegate that records every callback from velmora.testing.recording; helpers for rooms,
records and the log are in helpers_rooms.py, helpers_records.py and helpers_log.py, for
rooms across processes in helpers_bus.py."""
import gc
import importlib.metadata
import os
import subprocess
import sys
import textwrap

import pytest

import _velmora
from helpers_rooms import Room
from velmora.testing import control
from velmora.testing.recording import RecordingDelegate

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(TESTS_DIR)


@pytest.fixture(autouse=True)
def _engine_defaults():
    """Every test starts from the engine's default settings and fault switches."""
    control.settings_reset()
    control.reset_faults()
    yield
    control.reset_faults()
    control.settings_reset()


@pytest.fixture
def delegate():
    """A delegate that records every callback."""
    return RecordingDelegate()


@pytest.fixture
def session(delegate):
    """A session with the recording delegate: (the KWIXCloud, its engine session), with an
    empty journal that keeps payloads byte for byte."""
    control.journal_full_payloads(True)
    cloud = _velmora.KWIXCloud(delegate)
    engine = control.newest_session()
    control.journal_clear(engine)
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
    control.clock_manual(True)

    def advance(ms, settle=True):
        control.clock_advance(ms)
        if settle:
            control.settle(control.sessions(), rounds=1)

    yield advance
    control.clock_manual(False)


def _interpreter_env(pythonpath, env=None):
    return dict(os.environ, PYTHONPATH=os.pathsep.join(pythonpath), **(env or {}))


def _child_path(request, module_dir=None):
    """A child interpreter's path: the module's folder (that of this one unless given), the
    tests folder and the calling test's folder."""
    module_dir = module_dir or os.path.dirname(os.path.abspath(_velmora.__file__))
    return [module_dir, TESTS_DIR, os.path.dirname(str(request.fspath))]


def _run_interpreter(args, timeout, pythonpath, env=None, cwd=None):
    """`python <args>` in a fresh interpreter with `pythonpath` as its PYTHONPATH, in the folder
    `cwd` (this one by default): the CompletedProcess. A hang fails the test instead of hanging
    the suite."""
    full_env = _interpreter_env(pythonpath, env)
    try:
        return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=timeout,
                              env=full_env, cwd=cwd)
    except subprocess.TimeoutExpired as hang:
        pytest.fail(f"the child interpreter hung for {timeout} s; stderr so far:\n{hang.stderr}")


@pytest.fixture
def run_python(request):
    """Runs a Python snippet in a fresh interpreter that imports the same module as this one
    (or the one in `module_dir`), with the tests folder and the calling test's folder on its
    path, in the folder `cwd`; gives back the CompletedProcess."""

    def run(code, timeout=60, env=None, module_dir=None, cwd=None):
        return _run_interpreter(["-c", textwrap.dedent(code)], timeout, _child_path(request, module_dir), env, cwd)

    return run


@pytest.fixture
def spawn_python(request):
    """Starts a Python snippet in a fresh interpreter set up as run_python's, without waiting
    for it: the Popen, its stderr merged into its stdout (bytes), its stdin a pipe the test
    may write to (to tell it when to go on). Children still running when the test ends are
    killed."""
    children = []

    def spawn(code, env=None):
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                                 env=_interpreter_env(_child_path(request), env), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        children.append(child)
        return child

    yield spawn
    for child in children:
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdin.close()
        child.stdout.close()


@pytest.fixture
def run_program():
    """Runs `python <args>` in the folder `cwd` as a user of the package would (the project's
    velmora first on the path): the command line, pytest with the plugin."""

    def run(args, cwd, timeout=120):
        return _run_interpreter(args, timeout, [ROOT] + [p for p in [os.environ.get("PYTHONPATH")] if p], cwd=cwd)

    return run


@pytest.fixture
def run_pytest(run_program):
    """Runs pytest with `args` in a child interpreter in the folder `cwd`, the velmora plugin
    loaded once (by its installed entry point, or named when there is none)."""
    installed = [ep for ep in importlib.metadata.entry_points().get("pytest11", [])
                 if ep.value.startswith("velmora.testing")]
    plugin = [] if installed else ["-p", "velmora.testing.pytest_plugin"]

    def run(args, cwd, timeout=300):
        return run_program(["-m", "pytest", "-p", "no:cacheprovider", *args, *plugin], cwd, timeout)

    return run


# What a child interpreter that crashed or hung its engine writes.
CRASH_SIGNS = ("Fatal Python error", "terminate called", "Segmentation fault", "Aborted", "core dumped")


@pytest.fixture
def run_child(run_python):
    """run_python for code that must end well: fails the test when the child crashed (or
    wrote one of `forbidden` to stderr), or, with check=True, ended with a status other
    than 0; gives back the CompletedProcess."""

    def run(code, *, forbidden=(), check=True, **kwargs):
        result = run_python(code, **kwargs)
        for sign in CRASH_SIGNS + tuple(forbidden):
            assert sign not in result.stderr, result.stderr
        if check:
            assert result.returncode == 0, result.stderr
        return result

    return run
