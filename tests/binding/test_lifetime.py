"""Lifetime of engine sessions: destroying them with callbacks queued, running or waiting for
the interpreter lock, dropping them inside their own callbacks, a failed creation, and
interpreter exits with sessions alive and callbacks flowing. Each case runs in a child
interpreter, so that a hang or a crash fails the test instead of the suite."""
import pytest

from velmora.testing import control

PRELUDE = """
import sys, threading, time
import _velmora as v
from helpers_rooms import Member, settle, video_frame, voice_channel, voice_frame
from velmora.testing import control
from velmora.testing.participants import enter_params
from velmora.testing.recording import RecordingDelegate
"""

FORBIDDEN = ("velmora: callback",)  # a callback's failure the engine had to contain


def run_body(run_child, body, timeout=60):
    return run_child(PRELUDE + body, timeout=timeout, forbidden=FORBIDDEN)


def test_destroy_with_callbacks_queued_and_one_running(run_child):
    # carol hears alice too: once she has heard every frame, every frame has gone through the
    # room, and bob's share of them had its chance to arrive after bob was destroyed.
    result = run_body(run_child, """
class Slow(RecordingDelegate):
    def OnRemoteAudioReceived(self, user_id, frame):
        self.record("OnRemoteAudioReceived", (user_id, frame))
        time.sleep(0.002)

alice, bob, carol = Member("alice"), Member("bob", Slow()), Member("carol")
assert alice.enter("r") == 0 and bob.enter("r") == 0 and carol.enter("r") == 0
assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
for i in range(200):
    assert alice.cloud.SendAudioFrame(voice_frame(pts=i)) == 0
bob.delegate.wait_for(lambda d: len(d.named("OnRemoteAudioReceived")) >= 3)
delegate, engine = bob.delegate, bob.engine
del bob
seen = len(delegate.calls)
carol.delegate.wait_for(lambda d: len(d.named("OnRemoteAudioReceived")) == 200)
settle(carol)
assert len(delegate.calls) == seen, (seen, len(delegate.calls))
# The C function itself: the wrapper takes a session that is gone for an idle one.
assert control.library().vlb_wait_idle(engine, 100) == control.ABSENT
received = len(delegate.named("OnRemoteAudioReceived"))
assert 3 <= received < 200, received
print("ok")
""")
    assert result.stdout.strip() == "ok"


def test_destroy_while_a_callback_waits_for_the_interpreter_lock(run_child):
    # With a long switch interval the main thread keeps the interpreter lock, so the engine
    # thread is left waiting for it inside a callback when the session is dropped. A witness
    # gets as many callbacks queued once alice's session is gone: when it has them all, the
    # engine threads have had the time to deliver what was left of alice's.
    result = run_body(run_child, """
sys.setswitchinterval(30)
m, witness = Member("alice"), Member("witness")
for _ in range(50):
    control.emit_event(m.engine, "OnExitRoom")
delegate = m.delegate
del m
seen = len(delegate.calls)
sys.setswitchinterval(0.005)
for _ in range(50):
    control.emit_event(witness.engine, "OnExitRoom")
witness.delegate.wait_for(lambda d: len(d.calls) == 50)
assert len(delegate.calls) == seen
assert seen < 50, seen
assert control.sessions() == [witness.engine]
print("ok")
""")
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("where", control.EMIT_PLACES)
def test_dropping_the_session_inside_its_own_callback(run_child, where):
    result = run_body(run_child, f"""
where = {where!r}
holder = []

class Dropper(RecordingDelegate):
    armed = where == "engine thread"

    def OnEnterRoom(self):
        self.record("OnEnterRoom", ())
        if self.armed:
            holder.clear()  # the last reference to the session
            self.record("dropped", ())

bob = Member("bob")
assert bob.enter("r") == 0
delegate = Dropper()
holder.append(v.KWIXCloud(delegate))
engine = control.newest_session()
assert holder[0].EnterRoom(enter_params("alice", "room1/r")) == 0
if where == "engine thread":
    delegate.wait_for(lambda d: "dropped" in d.names())
    # bob hears alice leave once her session is gone: what she would have heard after it
    # has been sent her way by then.
    bob.delegate.wait_for(lambda d: "OnRemoteUserExitRoom" in d.names())
    settle(bob)
    names = delegate.names()
    # Nothing after the callback that dropped the session: the newcomer's later event
    # (OnRemoteUserEnterRoom of bob) is never delivered.
    assert names[-2:] == ["OnEnterRoom", "dropped"], names
    assert "OnRemoteUserEnterRoom" not in names
else:
    settle(bob)
    control.wait_idle(engine)
    delegate.clear()
    delegate.armed = True
    control.emit_event(engine, "OnEnterRoom", where=where)
    assert delegate.names() == ["OnEnterRoom", "dropped"]
    # The C function itself, to see its answer to the stale pointer.
    lib = control.library(holding_lock=where == control.CALLING_THREAD_HOLDING_LOCK)
    assert lib.vlb_emit_event(engine, control.ON_CALLING_THREAD, b"OnEnterRoom") == control.ABSENT
settle(bob)
assert control.session_count() == 1
assert bob.events("OnRemoteUserExitRoom") == [("OnRemoteUserExitRoom", ("alice", 0))]
print("ok")
""")
    assert result.stdout.strip() == "ok"


def test_failed_creation_raises_and_the_next_one_works(run_child):
    result = run_body(run_child, """
control.fail_next_create()
try:
    v.KWIXCloud(RecordingDelegate())
except RuntimeError:
    print("raised")
assert control.session_count() == 0
cloud = v.KWIXCloud(None)
assert control.session_count() == 1
assert cloud.EnterRoom(enter_params("alice", "room1/r")) == 0
print("ok")
""")
    assert result.stdout.split() == ["raised", "ok"]


def test_no_callback_after_destroy_returns(run_child):
    # Another thread keeps emitting, on the engine thread and on its own, while the session
    # is destroyed; once Destroy has returned nothing reaches the delegate any more, and the
    # control API answers the stale pointer without touching it (the C function itself: the
    # wrapper would raise).
    result = run_body(run_child, """
m = Member("alice")
engine, delegate = m.engine, m.delegate
lib = control.library()
results = []
stop, destroyed, tried_after = threading.Event(), threading.Event(), threading.Event()

def emit():
    after = 0
    while not stop.is_set():
        results.append(lib.vlb_emit_event(engine, control.ON_CALLING_THREAD, b"OnExitRoom"))
        lib.vlb_emit_event(engine, control.ON_ENGINE_THREAD, b"OnEnterRoom")
        if destroyed.is_set():
            after += 1
            if after == 200:
                tried_after.set()

thread = threading.Thread(target=emit)
thread.start()
delegate.wait_for(lambda d: len(d.calls) >= 100)
del m
destroyed.set()
seen = len(delegate.calls)
assert tried_after.wait(30)
stop.set()
thread.join()
assert len(delegate.calls) == seen
assert results[-1] == control.ABSENT
assert control.journal(engine) == []
print("ok")
""")
    assert result.stdout.strip() == "ok"


EXIT_CHILD = """
ending, keep = sys.argv[1], sys.argv[2]
control.set_network_quality_interval(5)
members = [Member(user) for user in ("a", "b", "c")]
for m in members:
    assert m.enter("exit") == 0
    assert m.cloud.CreateLocalAudioChannel(voice_channel()) == 0
assert members[0].cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
assert members[1].cloud.Subscribe("a", v.STREAM_TYPE_VIDEO_HIGH) == 0
if keep == "cycle":
    for m in members:
        m.delegate.member = m  # only the cycle collector can free these
elif keep == "leaked":
    import ctypes
    for m in members:
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(m.cloud))  # never freed at all

def pump():
    i = 0
    while True:
        for m in members:
            m.cloud.SendAudioFrame(voice_frame(pts=i))
            m.cloud.SendCustomCmdMsg(1, b"c", True, True)
        members[0].cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"v", pts=i))
        i += 1
        time.sleep(0.0005)  # lets the engine threads have the interpreter lock now and then

threading.Thread(target=pump, daemon=True).start()
members[2].delegate.wait_for(lambda d: len(d.named("OnRemoteAudioReceived")) > 100, timeout=30)
members[2].delegate.wait_for(lambda d: len(d.named("OnNetworkQuality")) > 1, timeout=30)
print("flowing", flush=True)
if ending == "exception":
    raise RuntimeError("uncaught on purpose")
if ending == "exit 3":
    sys.exit(3)
"""

ENDINGS = {"normal": 0, "exception": 1, "exit 3": 3}
KEEPS = ["references", "cycle", "leaked"]
EXIT_RUNS = [(list(ENDINGS)[i % 3], KEEPS[(i // 3) % 3], i) for i in range(20)]


@pytest.mark.parametrize("ending, keep, run", EXIT_RUNS)
def test_interpreter_exit_with_live_sessions(run_child, ending, keep, run):
    code = f"import sys\nsys.argv[1:] = [{ending!r}, {keep!r}]\n" + PRELUDE + EXIT_CHILD
    check_clean_exit(run_child(code, forbidden=FORBIDDEN, check=False), ending)


def check_clean_exit(result, ending):
    assert result.stdout.strip() == "flowing", result.stderr
    assert result.returncode == ENDINGS[ending], result.stderr
    if ending == "exception":
        assert "RuntimeError: uncaught on purpose" in result.stderr


MID_CALLBACK_CHILD = """
class Busy(RecordingDelegate):
    def OnEnterRoom(self):
        self.record("OnEnterRoom", ())
        time.sleep(0.002)  # lets the interpreter lock go in the middle of the callback
        sum(range(2000))

delegates = [Busy() for _ in range(4)]
clouds = [v.KWIXCloud(delegate) for delegate in delegates]
engines = control.sessions()

def pump():
    while True:
        for engine in engines:
            control.emit_event(engine, "OnEnterRoom")
        time.sleep(0.0005)

threading.Thread(target=pump, daemon=True).start()
for delegate in delegates:
    delegate.wait_for(lambda d: len(d.calls) >= 20, timeout=30)
print("flowing", flush=True)
if ending == "exception":
    raise RuntimeError("uncaught on purpose")
if ending == "exit 3":
    sys.exit(3)
"""


@pytest.mark.parametrize("ending, run", [(ending, run) for ending in ENDINGS for run in range(2)])
def test_interpreter_exit_while_callbacks_are_inside_python(run_child, ending, run):
    # Engine threads that are inside a Python callback when the interpreter shuts down would
    # be ended there by the interpreter, unwinding through the module's frames: the sessions
    # must be gone before that.
    code = f"import sys\nending = {ending!r}\n" + PRELUDE + MID_CALLBACK_CHILD
    check_clean_exit(run_child(code, forbidden=FORBIDDEN, check=False), ending)
