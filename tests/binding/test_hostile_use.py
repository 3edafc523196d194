"""The module used as a hostile or careless user would: sessions made and dropped by a daemon
thread while the interpreter exits, fork() with a live session, a delegate that holds its own
session, secrets in argument errors, objects made without __init__, and many sessions
against one exit hook. Anything that could crash or hang runs in a child interpreter."""
import gc
import weakref

import pytest

import _velmora as v
from velmora.testing import control
from velmora.testing.recording import RecordingDelegate

FORBIDDEN = ("Error in atexit", "Exception ignored")  # an exit hook or a destructor failed


def run_clean(run_child, code, timeout=60):
    return run_child(code, timeout=timeout, forbidden=FORBIDDEN)


@pytest.mark.parametrize("run", range(4))
def test_daemon_thread_making_sessions_while_the_interpreter_exits(run_child, run):
    # The daemon thread is inside a session's destructor, without the interpreter lock, when
    # finalization starts; the interpreter then ends it as it asks for the lock back.
    run_clean(run_child, """
import threading
import _velmora as v

class Delegate(v.KWIXCloudDelegate):
    def OnEnterRoom(self):
        pass

churning = threading.Event()

def churn():
    made = 0
    while True:
        session = v.KWIXCloud(Delegate())
        del session
        made += 1
        if made == 20:
            churning.set()

threading.Thread(target=churn, daemon=True).start()
assert churning.wait(30)
""")


@pytest.mark.parametrize("child", [
    "pass",  # exits with the inherited session alive
    "del session",
])
def test_fork_with_a_live_session(run_child, child):
    # The parent's engine thread is busy delivering callbacks when the process forks.
    result = run_clean(run_child, f"""
import os, sys, threading, time
import _velmora as v
from velmora.testing import control

busy = threading.Event()

class Delegate(v.KWIXCloudDelegate):
    calls = 0

    def OnEnterRoom(self):
        Delegate.calls += 1
        if Delegate.calls == 20:
            busy.set()

session = v.KWIXCloud(Delegate())
engine = control.newest_session()

def pump():
    while True:
        control.emit_event(engine, "OnEnterRoom")
        time.sleep(0.0005)

threading.Thread(target=pump, daemon=True).start()
assert busy.wait(30)
pid = os.fork()
if pid == 0:
    {child}
    sys.exit(0)
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status))
""")
    assert result.stdout.split() == ["child", "0"]


def test_a_delegate_that_holds_its_own_session_is_collected():
    class Bot(RecordingDelegate):
        def __init__(self):
            super().__init__()
            self.session = v.KWIXCloud(self)

    before = control.session_count()
    bot = Bot()
    gone = weakref.ref(bot)
    del bot
    assert control.session_count() == before + 1  # only the collector can free it
    gc.collect()
    assert gone() is None
    assert control.session_count() == before


SECRET = "hunter2-secret"


@pytest.mark.parametrize("call, shown", [
    (lambda: v.SetSocks5Proxy("10.0.0.1", 70000, "user", SECRET), "'10.0.0.1', 70000, 'user', <hidden>"),
    (lambda: v.SetSocks5Proxy("10.0.0.1", 1080, 5, SECRET), "'10.0.0.1', 1080, 5, <hidden>"),
    (lambda: v.SetSocks5Proxy("10.0.0.1", port=-1, username="user", password=SECRET),
     "'10.0.0.1'; kwargs: port=-1, username='user', password=<hidden>"),
    (lambda: v.SetSocks5Proxy(password=SECRET), "kwargs: password=<hidden>"),
    (lambda: setattr(v.RoomParams(), "user_sig", SECRET), ", <hidden>"),
    (lambda: setattr(v.EnterRoomParams(), "private_map_key", SECRET), ", <hidden>"),
])
def test_secrets_are_hidden_in_argument_errors(call, shown):
    with pytest.raises(TypeError) as error:
        call()
    message = str(error.value)
    assert SECRET not in message
    assert "incompatible function arguments. The following argument types are supported:" in message
    assert message.endswith(shown)
    assert "\nInvoked with: " in message


def test_calls_that_convert_still_reach_the_engine():
    assert v.SetSocks5Proxy("10.0.0.1", 1080, "user", SECRET) in (True, False)
    assert control.settings_text("SetSocks5Proxy", 3) == SECRET.encode()
    params = v.RoomParams()
    params.user_sig = v.KwixString(SECRET)
    assert params.user_sig.GetValue() == SECRET


def test_objects_made_without_init_raise_instead_of_crashing(run_child):
    result = run_clean(run_child, """
import _velmora as v

class Sub(v.KWIXCloudDelegate):
    def OnEnterRoom(self):
        pass

def bare(cls):
    return cls.__new__(cls)

cases = [
    lambda: bare(v.KWIXCloud).ExitRoom(),
    lambda: bare(v.KWIXCloud).SendSeiMessage(1, b"x"),
    lambda: bare(v.KWIXCloudDelegate).OnEnterRoom(),
    lambda: v.KWIXCloudDelegate.OnEnterRoom(bare(Sub)),
    lambda: v.KWIXCloud(bare(Sub)),
    lambda: bare(v.AudioFrame).data,
    lambda: bare(v.VideoFrame).SetData(b"x"),
    lambda: bare(v.PixelFrame).width,
    lambda: bare(v.KwixString).GetValue(),
    lambda: bare(v.EnterRoomParams).room,
    lambda: setattr(bare(v.UserInfo), "user_id", v.KwixString("u")),
    lambda: v.KWIXCloud(None).EnterRoom(bare(v.EnterRoomParams)),
    lambda: v.KWIXCloud(None).SendAudioFrame(bare(v.AudioFrame)),
]
for case in cases:
    try:
        case()
    except (TypeError, RuntimeError) as error:
        print(type(error).__name__)
    else:
        print("no error")
""")
    # A bare delegate given to a session fails in the binding library's holder conversion.
    assert result.stdout.split() == ["TypeError"] * 4 + ["RuntimeError"] + ["TypeError"] * 8


def test_sessions_share_one_exit_hook(run_child):
    # An exit callable whose __eq__ raises makes atexit.unregister fail: sessions must not
    # depend on it, and the interpreter's list of exit callables must not grow per session.
    result = run_clean(run_child, """
import atexit
import _velmora as v
from velmora.testing import control

class Stubborn:
    def __eq__(self, other):
        raise ValueError("no comparing")
    __hash__ = object.__hash__
    def __call__(self):
        print("stubborn ran", control.session_count(), flush=True)

atexit.register(Stubborn())
before = atexit._ncallbacks()
for _ in range(50):
    session = v.KWIXCloud(None)
    del session
kept = [v.KWIXCloud(None) for _ in range(3)]
print("added", atexit._ncallbacks() - before, flush=True)
""")
    # One hook, registered after Stubborn, runs first and closes the three live sessions.
    assert result.stdout.split() == ["added", "1", "stubborn", "ran", "0"]
