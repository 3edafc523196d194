"""The loopback engine used as a careless or hostile bot would: sessions that close each other
from their callbacks, fork() with sessions alive, user ids that are not UTF-8. Anything that
could hang or crash runs in a child interpreter with a time limit."""
import pytest

import _velmora as v
from velmora.testing.participants import enter_params
from velmora.testing.recording import RecordingDelegate

CHILD_PRELUDE = """
import os, sys, threading, time
import _velmora as v
from velmora.testing import control
from velmora.testing.recording import RecordingDelegate
from velmora.testing.participants import enter_params

def wait_until(predicate, timeout=20):
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > end:
            raise SystemExit("timed out")
        time.sleep(0.005)
"""

FORBIDDEN = ("velmora: callback", "Traceback", "Error in atexit")  # any failure at all


def run_body(run_child, body, timeout=60):
    """The words the child printed."""
    return run_child(CHILD_PRELUDE + body, timeout=timeout, forbidden=FORBIDDEN).stdout.split()


SHUT_EVERYTHING_DOWN = """
import random
inside = []  # callbacks still running

class Bot(RecordingDelegate):
    def __init__(self, bots):
        super().__init__()
        self.bots = bots

    def OnRemoteUserExitRoom(self, info, reason):
        inside.append(self)
        time.sleep(0.001)  # lets the other bots' engine threads into their callbacks too
        # The usual reaction of a bot: close every session, whichever thread this is.
        names = list(self.bots)
        random.shuffle(names)
        for name in names:
            self.bots.pop(name, None)
        inside.remove(self)

for run in range({runs}):
    bots = {{}}
    delegates = [Bot(bots) for _ in range(6)]
    for i, delegate in enumerate(delegates):
        bots[f"b{{i}}"] = v.KWIXCloud(delegate)
        assert bots[f"b{{i}}"].EnterRoom(enter_params(f"b{{i}}", f"room{{run}}")) == 0
    wait_until(lambda: control.session_count() == 6)
    # Once each has heard the five others enter, each hears b0 leave.
    wait_until(lambda: all(len(d.named("OnRemoteUserEnterRoom")) == 5 for d in delegates))
    bots.pop("b0")
    wait_until(lambda: not bots and not inside and control.session_count() == 0)
print("closed", run + 1)
"""


def test_callbacks_that_close_each_others_sessions_return(run_child):
    assert run_body(run_child, SHUT_EVERYTHING_DOWN.format(runs=20), timeout=120) == ["closed", "20"]


def test_callbacks_on_calling_threads_that_close_each_others_sessions_return(run_child):
    # The same cycle through callbacks delivered on the emitting threads (control API).
    assert run_body(run_child, """
barrier = threading.Barrier(2)
sessions = {}

class Closer(RecordingDelegate):
    def __init__(self, other):
        super().__init__()
        self.other = other

    def OnEnterRoom(self):
        barrier.wait(timeout=10)  # both threads inside a callback before either closes
        sessions.pop(self.other)

for name, other in [("a", "b"), ("b", "a")]:
    sessions[name] = v.KWIXCloud(Closer(other))
engines = control.sessions()
emitters = [threading.Thread(target=control.emit_event, args=(engine, "OnEnterRoom"),
                             kwargs=dict(where=control.CALLING_THREAD))
            for engine in engines]
for emitter in emitters:
    emitter.start()
for emitter in emitters:
    emitter.join(timeout=20)
assert not any(emitter.is_alive() for emitter in emitters)
print(len(sessions), control.session_count())
""") == ["0", "0"]


FORK_WITH_SESSIONS = """
class Listener(RecordingDelegate):
    def __init__(self):
        super().__init__()
        self.commands = []
    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        self.commands.append((user_id, message))

def pair(room):
    a, b = Listener(), Listener()
    ca, cb = v.KWIXCloud(a), v.KWIXCloud(b)
    assert ca.EnterRoom(enter_params("a", room)) == 0 and cb.EnterRoom(enter_params("b", room)) == 0
    return ca, cb, b

def talk(ca, b, text):
    assert ca.SendCustomCmdMsg(1, text, True, True) == 1
    wait_until(lambda: ("a", text) in b.commands)

# Engine threads busy at the moment of the fork: callbacks, ticks and log lines.
control.set_network_quality_interval(1)
assert v.SetLogPath({log_dir!r})
v.SetLogLevel(0)
parent_a, parent_b, parent_listener = pair("shared")
talk(parent_a, parent_listener, b"before")
stop = threading.Event()
def chatter():
    while not stop.is_set():
        parent_a.SendCustomCmdMsg(2, b"noise", True, True)
threading.Thread(target=chatter, daemon=True).start()

for round in range({rounds}):
    pid = os.fork()
    if pid == 0:
        # Inherited sessions are inert: every call is refused, dropping them returns.
        assert parent_a.EnterRoom(enter_params("c", "other")) == v.ERR_INVALID_OPERATION
        assert parent_a.ExitRoom() == v.ERR_INVALID_OPERATION
        assert parent_a.Subscribe("b", v.STREAM_TYPE_AUDIO) == v.ERR_INVALID_OPERATION
        assert parent_a.SendCustomCmdMsg(1, b"from the child", True, True) == 0
        assert control.session_count() == 0
        # New sessions work, also in a room of the same name as the parent's.
        child_a, child_b, child_listener = pair("shared")
        talk(child_a, child_listener, b"in the child")
        assert control.session_count() == 2
        {child_ending}
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
stop.set()
talk(parent_a, parent_listener, b"after")
assert ("a", b"from the child") not in parent_listener.commands
print("forked", round + 1)
"""

CHILD_ENDINGS = {
    "drop everything, then exit": "del parent_a, parent_b, child_a, child_b\n        os._exit(0)",
    "exit with sessions alive": "sys.exit(0)",
}


@pytest.mark.parametrize("ending", list(CHILD_ENDINGS))
def test_fork_leaves_inherited_sessions_inert_and_new_ones_working(run_child, tmp_path, ending):
    body = FORK_WITH_SESSIONS.format(rounds=8, log_dir=str(tmp_path), child_ending=CHILD_ENDINGS[ending])
    assert run_body(run_child, body, timeout=120) == ["forked", "8"]


@pytest.mark.parametrize("user_id, accepted", [
    (b"\xff", False),
    (b"bot\xfe1", False),
    (b"\xc0\xaf", False),          # overlong "/"
    (b"\xe0\x80\x80", False),      # overlong NUL
    (b"\xed\xa0\x80", False),      # a UTF-16 surrogate
    (b"\xf4\x90\x80\x80", False),  # above U+10FFFF
    (b"\xe2\x82", False),          # cut short
    (b"\x80abc", False),           # a lone continuation byte
    ("café".encode(), True),
    ("机器人-7".encode(), True),
    ("\U0001f916".encode(), True),
    ("\U0010ffff".encode(), True),
])
def test_a_user_id_that_is_not_utf8_is_refused(user_id, accepted):
    # Others would receive the id in their callbacks and fail to decode it there.
    cloud = v.KWIXCloud(RecordingDelegate())
    assert cloud.EnterRoom(enter_params(user_id, "utf8-check")) == (v.ERR_OK if accepted else v.ERR_INVALID_USER_ID)
    assert cloud.ExitRoom() == (v.ERR_OK if accepted else v.ERR_INVALID_OPERATION)
