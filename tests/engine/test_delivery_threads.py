"""Callbacks of many sessions delivered by the engine's shared threads: each session's callbacks
arrive in order and one at a time, a callback that blocks holds up no other session, and a
callback that waits for its own session is told at once instead of waiting for itself."""
import os
import threading
import time

import pytest

import _velmora as v
from velmora.testing import control


class Ordered(v.KWIXCloudDelegate):
    """Notes each error code it gets and whether another of its callbacks was running then."""

    def __init__(self):
        super().__init__()
        self.codes = []
        self.overlaps = 0
        self.inside = False

    def OnError(self, error):
        if self.inside:
            self.overlaps += 1
        self.inside = True
        time.sleep(0)  # lets any other thread in, one that would run this session at once
        self.codes.append(error)
        self.inside = False


@pytest.mark.parametrize("sessions, emitters", [(2, 1), (40, 1), (40, 4)])
def test_each_session_gets_its_callbacks_in_order_and_one_at_a_time(sessions, emitters):
    per_session = 150
    delegates = [Ordered() for _ in range(sessions)]
    clouds = [v.KWIXCloud(d) for d in delegates]
    engines = control.sessions()[-sessions:]

    failures = []  # an exception in a thread would not fail the test

    def emit(mine):
        # Round robin over this emitter's sessions, so that every queue is busy at once.
        try:
            for code in range(per_session):
                for engine in mine:
                    control.emit_error(engine, -code)
        except control.ControlError as error:
            failures.append(error)

    threads = [threading.Thread(target=emit, args=(engines[i::emitters],)) for i in range(emitters)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    for engine in engines:
        control.wait_idle(engine, 20000)
    expected = [-code for code in range(per_session)]
    assert [d.codes for d in delegates] == [expected] * sessions
    assert [d.overlaps for d in delegates] == [0] * sessions
    del clouds


class Blocking(v.KWIXCloudDelegate):
    def __init__(self, release):
        super().__init__()
        self.release = release
        self.entered = threading.Event()

    def OnEnterRoom(self):
        self.entered.set()
        self.release.wait(30)


class Signalling(v.KWIXCloudDelegate):
    def __init__(self):
        super().__init__()
        self.arrived = threading.Event()

    def OnEnterRoom(self):
        self.arrived.set()


def blocked_and_free(blocked, release):
    """`blocked` sessions whose callbacks wait for `release`, and one free session; the
    delegates, sessions and engine-side handles of both (kept alive by the caller)."""
    blockers = [Blocking(release) for _ in range(blocked)]
    blocking_clouds = [v.KWIXCloud(d) for d in blockers]
    blocking_engines = control.sessions()[-blocked:]
    free = Signalling()
    free_cloud = v.KWIXCloud(free)
    return blockers, blocking_clouds, blocking_engines, free, free_cloud, control.newest_session()


@pytest.mark.parametrize("blocked", [1, 2, 5])
@pytest.mark.parametrize("queued", ["after they block", "with them"])
def test_callbacks_that_block_hold_up_no_other_session(blocked, queued):
    release = threading.Event()
    blockers, blocking_clouds, blocking_engines, free, free_cloud, free_engine = blocked_and_free(blocked, release)
    # Threads that are idle when the work comes take it at once, whatever it does.
    warm = Signalling()
    warm_cloud = v.KWIXCloud(warm)
    control.emit_event(control.newest_session(), "OnEnterRoom")
    assert warm.arrived.wait(10)
    try:
        for engine in blocking_engines:
            control.emit_event(engine, "OnEnterRoom")
        if queued == "with them":
            control.emit_event(free_engine, "OnEnterRoom")
        # More blocked callbacks than the usual threads: later ones need threads made for them.
        for d in blockers:
            assert d.entered.wait(10), "a blocking callback did not start while others blocked"
        if queued == "after they block":
            control.emit_event(free_engine, "OnEnterRoom")
        assert free.arrived.wait(10), "a free session's callback waited behind blocked ones"
    finally:
        release.set()
    for engine in blocking_engines + [free_engine]:
        control.wait_idle(engine)
    del blocking_clouds, free_cloud, warm_cloud


def delivery_threads():
    """The engine's delivery threads alive in this process."""
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as comm:
                names.append(comm.read().strip())
        except (FileNotFoundError, ProcessLookupError):  # ended meanwhile (before or while read)
            pass
    return names.count("velmora-deliver")


@pytest.mark.slow
def test_more_blocked_sessions_than_any_thread_ceiling_starve_nobody(room):
    """72 sessions blocked at once (more than the 64 threads the engine once stopped at): a
    free session and a session entering a room still get their callbacks; the threads made
    for the blocked ones end once they return."""
    blocked = 72
    release = threading.Event()
    blockers, blocking_clouds, blocking_engines, free, free_cloud, free_engine = blocked_and_free(blocked, release)
    newcomer = Signalling()
    newcomer_cloud = v.KWIXCloud(newcomer)
    try:
        for engine in blocking_engines:
            control.emit_event(engine, "OnEnterRoom")
        for d in blockers:
            assert d.entered.wait(30), "a blocking callback did not start while others blocked"
        control.emit_event(free_engine, "OnEnterRoom")
        assert free.arrived.wait(30), "a free session's callback waited behind blocked ones"
        assert newcomer_cloud.EnterRoom(room.params("newcomer")) == 0
        assert newcomer.arrived.wait(30), "a new session's OnEnterRoom waited behind blocked ones"
        assert delivery_threads() > blocked
    finally:
        release.set()
    for engine in blocking_engines:
        control.wait_idle(engine)
    # Each ends as its callback returns: looked at again until they have (for up to 20 s).
    look = threading.Event()
    for _ in range(400):
        if delivery_threads() <= 2:
            break
        look.wait(0.05)
    assert delivery_threads() <= 2
    del blocking_clouds, free_cloud, newcomer_cloud


def test_waiting_for_idle_inside_a_callback():
    """Inside its own callback a session is never idle (the caller is that callback): the wait
    fails at once; another session's wait, meanwhile, sees that session's queue drain."""
    results = {}
    engines = {}

    class Waiter(v.KWIXCloudDelegate):
        def OnEnterRoom(self):
            started = time.monotonic()
            try:
                control.wait_idle(engines["waiter"], 3000)
                results["own"] = "idle"
            except TimeoutError:
                results["own"] = "busy"
            results["own seconds"] = time.monotonic() - started
            control.wait_idle(engines["other"], 10000)
            results["other"] = "idle"
            results["other codes"] = list(other.codes)

    other = Ordered()
    waiter_cloud = v.KWIXCloud(Waiter())
    engines["waiter"] = control.newest_session()
    other_cloud = v.KWIXCloud(other)
    engines["other"] = control.newest_session()
    for code in range(20):
        control.emit_error(engines["other"], -code)
    control.emit_event(engines["waiter"], "OnEnterRoom")
    control.wait_idle(engines["waiter"], 15000)
    assert results["own"] == "busy" and results["own seconds"] < 1
    assert results["other"] == "idle"
    assert results["other codes"] == [-code for code in range(20)]
    del waiter_cloud, other_cloud
