"""pytest plugin of the room simulator (installed as a pytest11 entry point; or load it with
`-p velmora.testing.pytest_plugin`).

Fixtures:
    velmora_runner        runs a scenario (a Scenario or a file path) with a bot (a delegate
                          class, or an async function taking a velmora.aio Room; see
                          velmora.testing.Runner) and returns the RunResult, or raises BotError when a callback of the
                          bot raised (allow_errors=True to look at them in
                          RunResult.errors instead); when the test fails, each run's timeline
                          (HTML) and recording (JSON lines) are written to the test's own
                          temporary folder and their paths added to the failure report
    velmora_manual_clock  the engine's manual clock (the test is skipped on an engine
                          without one)
    velmora_room          a loopback room of the test's own, for tests without a scenario:
                          participants and a bot entered by hand
    velmora_redis         a redis-server of the test's own on a free local port, without
                          persistence (a velmora.testing.processes.RedisServer: .url,
                          .command()); the test is skipped when redis-server is missing
    velmora_bus           velmora_redis with this process's rooms connected to it for the
                          test, so that participants of another process
                          (velmora.testing.processes.run_participants) meet its bot
Assertions (also importable from velmora.testing.assertions): assert_received,
assert_not_received, assert_sent, assert_order.
"""
import os
import re
import uuid

import pytest

import _velmora as v

from . import control
from .assertions import assert_not_received, assert_order, assert_received, assert_sent  # noqa: F401
from .clock import ManualClock, RealClock
from .participants import Participant, enter_params
from .processes import RedisError, RedisServer
from .recording import Recorder, Recording, recording_class
from .runner import RecordingSession, Runner
from .scenario import Scenario, load

_RESULTS = pytest.StashKey()


@pytest.fixture
def velmora_manual_clock():
    yield ManualClock()
    # Whatever the test did with it, the tests after it run on the real clock.
    control.clock_manual(False)


@pytest.fixture
def velmora_runner(request):
    results = request.node.stash.setdefault(_RESULTS, [])

    def run(scenario, bot, *args, clock=None, enter=None, allow_errors=False, **kwargs):
        if not isinstance(scenario, Scenario):
            scenario = load(scenario)
        runner = Runner(scenario, clock=clock, enter=enter, allow_errors=True)
        result = runner.run(bot, *args, **kwargs)
        results.append(result)
        if not allow_errors:
            result.check()
        return result

    return run


class SimRoom:
    """A room of one test's own on the real clock: participants and bots entered by hand."""

    def __init__(self, name):
        self.name = name
        self.clock = RealClock()
        self.clock.start()
        self.participants = {}
        self._bots = []

    def participant(self, user_id, role="anchor"):
        """A scripted member, entered now."""
        member = Participant(user_id, self.name, self.clock, role=role)
        member.join()
        self.participants[user_id] = member
        return member

    def enter_params(self, user_id, role="anchor"):
        """EnterRoomParams into this room, for a session (or a velmora.aio Room) of the
        test's own."""
        return enter_params(user_id, self.name, role=role)

    def bot(self, bot_class, *args, user_id="bot", **kwargs):
        """bot_class(*args, **kwargs) in the room as `user_id`, its session as `bot.cloud`;
        what it receives and sends is in `bot.recording`."""
        bot = recording_class(bot_class)(*args, **kwargs)
        bot.recording = Recording({"user_id": user_id, "clock": self.clock.name})
        recorder = Recorder(bot.recording, self.clock)
        bot._velmora_recorder = recorder
        cloud = v.KWIXCloud(bot)
        engine = control.newest_session()
        bot.cloud = RecordingSession(cloud, recorder)
        self._bots.append((bot, cloud, engine))
        result = cloud.EnterRoom(enter_params(user_id, self.name))
        assert result == 0, f"the bot's EnterRoom returned {result}"
        self.settle()
        return bot

    def sessions(self):
        live = [engine for _, _, engine in self._bots]
        for member in self.participants.values():
            live.extend(member.sessions())
        return live

    def settle(self):
        """Waits until every session here has delivered its callbacks."""
        control.settle(self.sessions())

    def close(self):
        for member in self.participants.values():
            if member.present:
                member.leave()
        for bot, cloud, _ in self._bots:
            cloud.ExitRoom()
        self.settle()
        for bot, _, _ in self._bots:
            bot.cloud = None
            bot._velmora_recorder = None
        self._bots.clear()


@pytest.fixture
def velmora_room():
    room = SimRoom(f"velmora-test-{uuid.uuid4().hex[:12]}")
    yield room
    room.close()


@pytest.fixture
def velmora_redis():
    try:
        server = RedisServer()
    except RedisError as error:
        pytest.skip(str(error))
    with server:
        yield server


@pytest.fixture
def velmora_bus(velmora_redis):
    control.bus_connect(velmora_redis.url)
    try:
        yield velmora_redis
    finally:
        control.bus_disconnect()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    results = item.stash.get(_RESULTS, None)
    if not results or not report.failed or call.when != "call":
        return
    factory = getattr(item.config, "_tmp_path_factory", None)
    if factory is None:
        return
    # Whatever goes wrong here is reported beside the test's own failure, never instead of it.
    lines = []
    try:
        folder = factory.mktemp("velmora-" + re.sub(r"[^A-Za-z0-9_.-]", "_", item.name)[:40], numbered=True)
    except Exception as error:
        report.sections.append(("velmora simulator", f"no folder for the run's files: {error!r}"))
        return
    for index, result in enumerate(results, start=1):
        stem = os.path.join(str(folder), f"run{index}")
        for label, write, path in (("timeline", result.timeline, stem + ".html"),
                                   ("recording", result.save, stem + ".jsonl")):
            try:
                lines.append(f"{label + ':':<10} {write(path)}")
            except Exception as error:
                lines.append(f"{label + ':':<10} could not be written ({type(error).__name__}: {error})")
    report.sections.append(("velmora simulator", "\n".join(lines)))
