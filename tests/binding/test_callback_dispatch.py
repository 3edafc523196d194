"""How a callback finds its Python method and its thread state: methods added, replaced or
deleted at run time count from the next callback, and an engine thread keeps one Python
thread state from one callback to the next until the thread ends."""
import pytest

import _velmora as v
from velmora.testing import control

WHERE = control.EMIT_PLACES

PURE_ERROR = 'Tried to call pure virtual function "KWIXCloudDelegate::OnEnterRoom"'


@pytest.mark.parametrize("where", WHERE)
def test_method_changes_count_from_the_next_callback(capfd, where):
    class Changing(v.KWIXCloudDelegate):
        pass

    calls = []
    delegate = Changing()
    cloud = v.KWIXCloud(delegate)
    engine = control.newest_session()

    def fire():
        control.emit_event(engine, "OnEnterRoom", where=where)
        control.wait_idle(engine)
        return calls[:], PURE_ERROR in capfd.readouterr().err

    assert fire() == ([], True)
    # A method added to the class after a callback found none: a lookup that remembered
    # "not overridden" per class would miss it.
    Changing.OnEnterRoom = lambda self: calls.append("class")
    assert fire() == (["class"], False)
    delegate.OnEnterRoom = lambda: calls.append("instance")
    assert fire() == (["class", "instance"], False)
    del delegate.OnEnterRoom
    Changing.OnEnterRoom = lambda self: calls.append("replaced")
    assert fire() == (["class", "instance", "replaced"], False)
    del Changing.OnEnterRoom
    assert fire() == (["class", "instance", "replaced"], True)
    # The class's own method bound to the instance is no override either.
    delegate.OnEnterRoom = v.KWIXCloudDelegate.OnEnterRoom.__get__(delegate)
    assert fire() == (["class", "instance", "replaced"], True)
    del cloud


def test_an_attribute_that_is_not_callable_fails_the_callback(capfd):
    class Odd(v.KWIXCloudDelegate):
        OnEnterRoom = OnNetworkQuality = 5

    delegate = Odd()
    with pytest.raises(TypeError, match="Object of type 'int' is not an instance of 'function'"):
        v.KWIXCloudDelegate.OnEnterRoom(delegate)
    cloud = v.KWIXCloud(delegate)
    engine = control.newest_session()
    control.emit_network_quality(engine, None, 0)
    control.wait_idle(engine)
    # Not a Python exception, so the reporting callback reports it as unknown.
    assert capfd.readouterr().err == "unknown error\n"
    del cloud


@pytest.mark.slow
def test_engine_threads_keep_one_thread_state_each_until_they_end(run_child):
    # A fresh interpreter, so that no engine thread of another test holds a state meanwhile.
    result = run_child("""
        import collections, ctypes, threading, time
        import _velmora as v
        from velmora.testing import control

        # Python thread states of the main interpreter. Read with the interpreter lock held and
        # only while no engine thread is delivering, so that no state is being made meanwhile.
        def thread_state_count():
            api = ctypes.pythonapi
            api.PyInterpreterState_Main.restype = ctypes.c_void_p
            api.PyInterpreterState_ThreadHead.restype = ctypes.c_void_p
            api.PyInterpreterState_ThreadHead.argtypes = [ctypes.c_void_p]
            api.PyThreadState_Next.restype = ctypes.c_void_p
            api.PyThreadState_Next.argtypes = [ctypes.c_void_p]
            count = 0
            state = api.PyInterpreterState_ThreadHead(api.PyInterpreterState_Main())
            while state:
                count += 1
                state = api.PyThreadState_Next(state)
            return count

        local = threading.local()
        counts = collections.defaultdict(list)

        class Counting(v.KWIXCloudDelegate):
            def OnEnterRoom(self):
                # Thread-local data lives in the thread state: it survives only if the state does.
                local.count = getattr(local, "count", 0) + 1
                counts[threading.get_ident()].append(local.count)

        before = thread_state_count()
        clouds = [v.KWIXCloud(Counting()) for _ in range(6)]
        engines = control.sessions()[-6:]
        for _ in range(40):
            for engine in engines:
                control.emit_event(engine, "OnEnterRoom")
        for engine in engines:
            control.wait_idle(engine)
        assert sum(map(len, counts.values())) == 240, counts
        for seen in counts.values():
            assert seen == list(range(1, len(seen) + 1)), seen
        assert thread_state_count() == before + len(counts)
        del clouds
        # Idle engine threads end after a while and give their states back.
        deadline = time.monotonic() + 20
        while thread_state_count() > before and time.monotonic() < deadline:
            time.sleep(0.05)
        print(thread_state_count() - before)
    """)
    assert result.stdout.split() == ["0"]
