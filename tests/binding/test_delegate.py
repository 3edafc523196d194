"""The callback delegate: engine callbacks reaching Python methods with converted arguments,
the three failure policies, and the Python-side methods of KWIXCloudDelegate."""
import ast
import builtins
import gc
import os
import re
import subprocess
import weakref

import pytest

import _velmora as v
import loopback
from loopback import ON_CALLING_THREAD, ON_ENGINE_THREAD
from paths import ROOT
from recording import RecordingDelegate

WHERE = ["engine thread", "calling thread", "calling thread holding the lock"]


def plain(value):
    """A comparable picture of a callback argument, types included."""
    if isinstance(value, list):
        return [plain(item) for item in value]
    if isinstance(value, v.UserInfo):
        return ("UserInfo", value.user_id.GetValue())
    if isinstance(value, v.NetworkQualityInfo):
        return ("NetworkQualityInfo", value.user_id.GetValue(), plain(value.quality))
    if isinstance(value, v.AudioFrame):
        return ("AudioFrame", value.sample_rate, value.channels, value.bits_per_sample,
                plain(value.codec), value.pts, value.has_voice, value.data)
    if isinstance(value, v.VideoFrame):
        return ("VideoFrame", value.pts, value.dts, value.is_key_frame, plain(value.codec),
                plain(value.rotation), value.data)
    if isinstance(value, v.PixelFrame):
        return ("PixelFrame", value.pts, value.width, value.height, plain(value.format),
                plain(value.rotation), value.data)
    if hasattr(type(value), "__members__"):
        return (type(value).__name__, int(value), value.name)
    return (type(value).__name__, value)


def enum(cls, value):
    return (cls.__name__, value, cls(value).name)


# (emit the engine callback, Python method, expected arguments as plain() pictures)
CASES = [
    (lambda l, s, w: l.vlb_emit_error(s, w, -3320), "OnError",
     [enum(v.Error, -3320)]),
    (lambda l, s, w: l.vlb_emit_connection_state(s, w, 2, 3), "OnConnectionStateChanged",
     [enum(v.ConnectionState, 2), enum(v.ConnectionState, 3)]),
    (lambda l, s, w: l.vlb_emit_event(s, w, b"OnEnterRoom"), "OnEnterRoom", []),
    (lambda l, s, w: l.vlb_emit_event(s, w, b"OnExitRoom"), "OnExitRoom", []),
    (lambda l, s, w: l.vlb_emit_event(s, w, b"OnLocalAudioChannelCreated"),
     "OnLocalAudioChannelCreated", []),
    (lambda l, s, w: l.vlb_emit_event(s, w, b"OnLocalAudioChannelDestroyed"),
     "OnLocalAudioChannelDestroyed", []),
    (lambda l, s, w: l.vlb_emit_stream_event(s, w, b"OnLocalVideoChannelCreated", 7),
     "OnLocalVideoChannelCreated", [enum(v.StreamType, 7)]),
    (lambda l, s, w: l.vlb_emit_stream_event(s, w, b"OnLocalVideoChannelDestroyed", 3),
     "OnLocalVideoChannelDestroyed", [enum(v.StreamType, 3)]),
    (lambda l, s, w: l.vlb_emit_stream_event(s, w, b"OnRequestKeyFrame", 2),
     "OnRequestKeyFrame", [enum(v.StreamType, 2)]),
    (lambda l, s, w: l.vlb_emit_bitrate_request(s, w, 3, -5), "OnRequestChangeVideoEncodeBitrate",
     [enum(v.StreamType, 3), ("int", -5)]),
    (lambda l, s, w: l.vlb_emit_user(s, w, b"OnRemoteUserEnterRoom", "añn".encode(), 0),
     "OnRemoteUserEnterRoom", [("UserInfo", "añn")]),
    (lambda l, s, w: l.vlb_emit_user(s, w, b"OnRemoteUserExitRoom", b"", 2),
     "OnRemoteUserExitRoom", [("UserInfo", ""), ("int", 2)]),
    (lambda l, s, w: l.vlb_emit_audio_available(s, w, None, 1), "OnRemoteAudioAvailable",
     [("NoneType", None), ("bool", True)]),
    (lambda l, s, w: l.vlb_emit_video_available(s, w, b"ann", 0, 3), "OnRemoteVideoAvailable",
     [("str", "ann"), ("bool", False), enum(v.StreamType, 3)]),
    (lambda l, s, w: l.vlb_emit_audio_frame(s, w, 0, b"ann", 16000, 2, 16, 1, 4294967295, 1,
                                            b"\0\1\0", 3),
     "OnRemoteAudioReceived",
     [("str", "ann"), ("AudioFrame", 16000, 2, 16, enum(v.AudioCodecType, 1), 4294967295, True,
                       b"\0\1\0")]),
    (lambda l, s, w: l.vlb_emit_audio_frame(s, w, 1, None, 8000, 1, 8, 0, 7, 0, None, 0),
     "OnRemoteMixedAudioReceived",
     [("AudioFrame", 8000, 1, 8, enum(v.AudioCodecType, 0), 7, False, b"")]),
    (lambda l, s, w: l.vlb_emit_video_frame(s, w, b"ann", 2, 11, 10, 1, 1, 3, b"\0key", 4),
     "OnRemoteVideoFrameReceived",
     [("str", "ann"), enum(v.StreamType, 2),
      ("VideoFrame", 11, 10, True, enum(v.VideoCodecType, 1), enum(v.VideoRotation, 3), b"\0key")]),
    (lambda l, s, w: l.vlb_emit_pixel_frame(s, w, b"ann", 7, 5, 640, 360, 2, 1, b"\xff" * 8, 8),
     "OnRemotePixelFrameReceived",
     [("str", "ann"), enum(v.StreamType, 7),
      ("PixelFrame", 5, 640, 360, enum(v.VideoPixelFormat, 2), enum(v.VideoRotation, 1),
       b"\xff" * 8)]),
    (lambda l, s, w: l.vlb_emit_sei(s, w, b"ann", 2, -9, b"a\0b", 3), "OnSeiMessageReceived",
     [("str", "ann"), enum(v.StreamType, 2), ("int", -9), ("bytes", b"a\0b")]),
    (lambda l, s, w: l.vlb_emit_sei(s, w, b"", 2, 0, None, 0), "OnSeiMessageReceived",
     [("str", ""), enum(v.StreamType, 2), ("int", 0), ("bytes", b"")]),
    (lambda l, s, w: l.vlb_emit_custom_cmd(s, w, b"ann", -1, 4294967295, b"\0\0", 2),
     "OnReceiveCustomCmdMsg",
     [("str", "ann"), ("int", -1), ("int", 4294967295), ("bytes", b"\0\0")]),
    (lambda l, s, w: l.vlb_emit_miss_custom_cmd(s, w, b"ann", 7, 4294967295, 3),
     "OnMissCustomCmdMsg", [("str", "ann"), ("int", 7), ("int", 4294967295), ("int", 3)]),
    (lambda l, s, w: l.vlb_emit_network_quality(
        s, w, b"me", 1, loopback.string_array(["a", "b", "c"]), loopback.int_array([2, 6, 3]), 3),
     "OnNetworkQuality",
     [("NetworkQualityInfo", "me", enum(v.NetworkQuality, 1)),
      [("NetworkQualityInfo", "a", enum(v.NetworkQuality, 2)),
       ("NetworkQualityInfo", "b", enum(v.NetworkQuality, 6)),
       ("NetworkQualityInfo", "c", enum(v.NetworkQuality, 3))]]),
    (lambda l, s, w: l.vlb_emit_network_quality(s, w, None, 0, None, None, 0), "OnNetworkQuality",
     [("NetworkQualityInfo", "", enum(v.NetworkQuality, 6)), []]),
]


def emit(engine, where, case):
    fire = case[0]
    handle = loopback.emitter(where)
    status = fire(handle, engine, ON_ENGINE_THREAD if where == "engine thread" else ON_CALLING_THREAD)
    assert status == loopback.OK
    loopback.wait_idle(engine)


@pytest.mark.parametrize("where", WHERE)
@pytest.mark.parametrize("case", CASES, ids=[f"{c[1]}-{i}" for i, c in enumerate(CASES)])
def test_every_slot_reaches_its_method_with_converted_arguments(delegate, session, where, case):
    _, engine = session
    emit(engine, where, case)
    assert delegate.names() == [case[1]]
    assert [plain(arg) for arg in delegate.calls[0][1]] == case[2]


def stub_overrides():
    """{callback: its parameters' annotations}, as the type stub says an override receives them."""
    with open(os.path.join(ROOT, "velmora", "_velmora.pyi")) as stub:
        tree = ast.parse(stub.read())
    (delegate_class,) = [node for node in tree.body
                         if isinstance(node, ast.ClassDef) and node.name == "KWIXCloudDelegate"]
    return {method.name: [ast.unparse(arg.annotation) for arg in method.args.args[1:]]
            for method in delegate_class.body if isinstance(method, ast.FunctionDef)}


def received_as(value, annotation):
    """Whether `value` is exactly of a type the stub's annotation names (a bool is no int)."""
    for option in annotation.split(" | "):
        items = re.fullmatch(r"list\[(\w+)\]", option)
        if option == "None":
            accepted = value is None
        elif items:
            accepted = type(value) is list and all(received_as(item, items.group(1)) for item in value)
        else:
            accepted = type(value) is (getattr(builtins, option, None) or getattr(v, option))
        if accepted:
            return True
    return False


@pytest.mark.parametrize("case", CASES, ids=[f"{c[1]}-{i}" for i, c in enumerate(CASES)])
def test_overrides_receive_what_the_stub_says(delegate, session, case):
    _, engine = session
    emit(engine, "engine thread", case)
    (args,) = delegate.named(case[1])
    annotations = stub_overrides()[case[1]]
    assert len(args) == len(annotations)
    assert [received_as(arg, annotation) for arg, annotation in zip(args, annotations)] == \
        [True] * len(args), list(zip(map(type, args), annotations))


def test_engine_thread_callbacks_arrive_in_order_on_engine_threads(delegate, session):
    _, engine = session
    for case in CASES:
        assert case[0](loopback.lib, engine, ON_ENGINE_THREAD) == loopback.OK
    loopback.wait_idle(engine)
    assert delegate.names() == [case[1] for case in CASES]
    # The shared delivery threads take turns with a session's queue, so its callbacks may run
    # on more than one of them (one at a time, in order), but never on the posting thread.
    threads = {thread for _, _, thread in delegate.calls}
    assert threads and __import__("threading").get_ident() not in threads


def test_unexposed_slots_do_nothing(delegate, session):
    _, engine = session
    for slot in (b"OnUserVoiceVolume", b"OnReceiveAsrMessage", b"OnAsrServiceError"):
        assert loopback.lib.vlb_emit_unexposed(engine, ON_ENGINE_THREAD, slot) == loopback.OK
    loopback.wait_idle(engine)
    assert delegate.calls == []


def test_values_without_a_name_still_arrive(delegate, session):
    _, engine = session
    loopback.lib.vlb_emit_stream_event(engine, ON_ENGINE_THREAD, b"OnRequestKeyFrame", 5)
    loopback.lib.vlb_emit_connection_state(engine, ON_ENGINE_THREAD, 0, 9)
    loopback.wait_idle(engine)
    (stream,), (old, new) = [args for _, args, _ in delegate.calls]
    assert (type(stream), int(stream), stream.name) == (v.StreamType, 5, "???")
    assert (old.name, int(new), new.name) == ("CONNECTION_STATE_INIT", 9, "???")


def test_objects_kept_from_a_callback_stay_valid_and_independent(delegate, session):
    _, engine = session
    for pts in (1, 2):
        loopback.lib.vlb_emit_audio_frame(engine, ON_ENGINE_THREAD, 0, b"ann", 48000, 1, 16, 0,
                                          pts, 0, bytes([pts]) * 4, 4)
    loopback.wait_idle(engine)
    first, second = [args[1] for args in delegate.named("OnRemoteAudioReceived")]
    first.SetData(b"changed")
    gc.collect()
    assert (first.pts, first.data, second.pts, second.data) == (1, b"changed", 2, b"\2" * 4)


# (callback, emit a frame with this pts and payload) for the four callbacks that carry frames.
FRAME_CALLBACKS = [
    ("OnRemoteAudioReceived", lambda s, pts, data: loopback.lib.vlb_emit_audio_frame(
        s, ON_ENGINE_THREAD, 0, b"ann", 16000, 2, 16, 1, pts, 1, data, len(data))),
    ("OnRemoteMixedAudioReceived", lambda s, pts, data: loopback.lib.vlb_emit_audio_frame(
        s, ON_ENGINE_THREAD, 1, None, 8000, 1, 16, 0, pts, 0, data, len(data))),
    ("OnRemoteVideoFrameReceived", lambda s, pts, data: loopback.lib.vlb_emit_video_frame(
        s, ON_ENGINE_THREAD, b"ann", 2, pts, pts, 1, 1, 3, data, len(data))),
    ("OnRemotePixelFrameReceived", lambda s, pts, data: loopback.lib.vlb_emit_pixel_frame(
        s, ON_ENGINE_THREAD, b"ann", 7, pts, 2, 2, 2, 1, data, len(data))),
]


class Handling(v.KWIXCloudDelegate):
    """Pictures each frame, then spoils it; keeps the frames numbered in `keep`, and a weak
    reference to those in `watch`."""

    def __init__(self, name, keep, watch):
        super().__init__()
        self.keep, self.watch = keep, watch
        self.pictures, self.kept, self.refs, self.freed = [], [], [], []
        setattr(self, name, self.handle)

    def handle(self, *args):
        frame = args[-1]
        self.pictures.append((frame.pts, frame.data))
        if len(self.pictures) in self.keep:
            self.kept.append(frame)
        if len(self.pictures) in self.watch:
            self.refs.append(weakref.ref(frame, self.freed.append))
        frame.pts = 999
        frame.SetData(b"spoilt")


@pytest.mark.parametrize("name, fire", FRAME_CALLBACKS, ids=[c[0] for c in FRAME_CALLBACKS])
def test_each_frame_is_a_fresh_copy_whatever_became_of_the_ones_before(name, fire):
    delegate = Handling(name, keep={2}, watch={4})
    session = v.KWIXCloud(delegate)
    engine = loopback.newest_session()
    sent = [(pts, bytes([pts]) * (pts + 3)) for pts in range(1, 7)]
    for pts, payload in sent:
        assert fire(engine, pts, payload) == loopback.OK
        loopback.wait_idle(engine)
    assert delegate.pictures == sent
    (kept,) = delegate.kept
    assert (kept.pts, kept.data) == (999, b"spoilt")  # no later frame landed in it
    # A frame that only a weak reference holds is gone once its callback returned.
    (ref,) = delegate.refs
    assert ref() is None and delegate.freed == [ref]
    del session


class Failing(RecordingDelegate):
    def OnEnterRoom(self):
        raise KeyError("enter failed")

    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
        raise ValueError("boom")

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id):  # wrong number of parameters
        pass

    def OnNetworkQuality(self, local, remote):
        raise ValueError("boom")

    def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed):
        raise RuntimeError("optional failed")


@pytest.mark.parametrize("fire, expected", [
    (lambda l, s: l.vlb_emit_sei(s, ON_ENGINE_THREAD, b"u", 2, 1, b"m", 1),
     "python callback OnSeiMessageReceived error: ValueError: boom\n\nAt:\n"),
    (lambda l, s: l.vlb_emit_network_quality(s, ON_ENGINE_THREAD, None, 0, None, None, 0),
     "python callback OnNetworkQuality error: ValueError: boom\n\nAt:\n"),
    (lambda l, s: l.vlb_emit_custom_cmd(s, ON_ENGINE_THREAD, b"u", 1, 1, b"m", 1),
     "python callback OnReceiveCustomCmdMsg error: TypeError: OnReceiveCustomCmdMsg() takes 3 "
     "positional arguments but 5 were given"),
    (lambda l, s: l.vlb_emit_sei(s, ON_ENGINE_THREAD, b"\xff\xfe", 2, 1, b"m", 1),
     "python callback OnSeiMessageReceived error: UnicodeDecodeError: 'utf-8' codec can't decode"),
])
def test_reporting_callbacks_report_failures_on_stderr_and_return(capfd, fire, expected):
    delegate = Failing()
    cloud = v.KWIXCloud(delegate)
    session = loopback.newest_session()
    assert fire(loopback.lib, session) == loopback.OK
    loopback.wait_idle(session)
    err = capfd.readouterr().err
    assert expected in err
    assert err.count("python callback") == 1
    assert "velmora: callback" not in err  # contained by the module, never reaching the engine
    del cloud


@pytest.mark.parametrize("fire, name, message", [
    (lambda l, s: l.vlb_emit_event(s, ON_ENGINE_THREAD, b"OnEnterRoom"), "OnEnterRoom",
     "KeyError: 'enter failed'"),
    (lambda l, s: l.vlb_emit_miss_custom_cmd(s, ON_ENGINE_THREAD, b"u", 1, 2, 3),
     "OnMissCustomCmdMsg", "RuntimeError: optional failed"),
    (lambda l, s: l.vlb_emit_audio_available(s, ON_ENGINE_THREAD, b"\xc3", 1),
     "OnRemoteAudioAvailable", "UnicodeDecodeError"),
])
def test_failures_of_other_callbacks_leave_them_for_the_engine_to_contain(capfd, fire, name,
                                                                          message):
    delegate = Failing()
    cloud = v.KWIXCloud(delegate)
    session = loopback.newest_session()
    fire(loopback.lib, session)
    loopback.lib.vlb_emit_event(session, ON_ENGINE_THREAD, b"OnExitRoom")
    loopback.wait_idle(session)
    err = capfd.readouterr().err
    report = [line for line in err.splitlines() if name in line]
    assert report and message in err
    assert delegate.names() == ["OnExitRoom"]  # the engine thread went on
    del cloud


def test_missing_pure_method_on_the_engine_thread_is_reported_by_the_engine(capfd):
    class OnlyEnter(v.KWIXCloudDelegate):
        entered = 0

        def OnEnterRoom(self):
            OnlyEnter.entered += 1

    cloud = v.KWIXCloud(OnlyEnter())
    session = loopback.newest_session()
    loopback.lib.vlb_emit_event(session, ON_ENGINE_THREAD, b"OnExitRoom")
    loopback.lib.vlb_emit_event(session, ON_ENGINE_THREAD, b"OnEnterRoom")
    loopback.lib.vlb_emit_network_quality(session, ON_ENGINE_THREAD, None, 0, None, None, 0)
    loopback.wait_idle(session)
    assert 'Tried to call pure virtual function "KWIXCloudDelegate::OnExitRoom"' in \
        capfd.readouterr().err
    assert OnlyEnter.entered == 1
    del cloud


# ---- The Python-side methods --------------------------------------------------------------

PURE_CALLS = [
    ("OnError", (v.ERR_FAILED,)),
    ("OnConnectionStateChanged", (v.CONNECTION_STATE_INIT, v.CONNECTION_STATE_CONNECTED)),
    ("OnEnterRoom", ()), ("OnExitRoom", ()),
    ("OnLocalAudioChannelCreated", ()), ("OnLocalAudioChannelDestroyed", ()),
    ("OnLocalVideoChannelCreated", (v.STREAM_TYPE_VIDEO_HIGH,)),
    ("OnLocalVideoChannelDestroyed", (v.STREAM_TYPE_VIDEO_HIGH,)),
    ("OnRemoteUserEnterRoom", (v.UserInfo(),)), ("OnRemoteUserExitRoom", (v.UserInfo(), 1)),
    ("OnRemoteAudioAvailable", ("u", True)),
    ("OnRemoteVideoAvailable", ("u", False, v.STREAM_TYPE_VIDEO_LOW)),
    ("OnRemoteAudioReceived", ("u", v.AudioFrame())),
    ("OnRemoteMixedAudioReceived", (v.AudioFrame(),)),
    ("OnRemoteVideoFrameReceived", ("u", v.STREAM_TYPE_VIDEO_HIGH, v.VideoFrame())),
    ("OnRemotePixelFrameReceived", ("u", v.STREAM_TYPE_VIDEO_HIGH, v.PixelFrame())),
    ("OnRequestKeyFrame", (v.STREAM_TYPE_VIDEO_HIGH,)),
    ("OnRequestChangeVideoEncodeBitrate", (v.STREAM_TYPE_VIDEO_HIGH, 100)),
]


@pytest.mark.parametrize("name, args", PURE_CALLS)
def test_pure_callbacks_without_a_python_method_raise(name, args):
    with pytest.raises(RuntimeError) as error:
        getattr(v.KWIXCloudDelegate(), name)(*args)
    assert str(error.value) == f'Tried to call pure virtual function "KWIXCloudDelegate::{name}"'


@pytest.mark.parametrize("name, args", [
    ("OnMissCustomCmdMsg", ("u", 1, 2, 3)),
    ("OnNetworkQuality", (None, None, 0)),
    ("OnSeiMessageReceived", ("u", v.STREAM_TYPE_VIDEO_HIGH, 1, "abc", 3)),
    ("OnReceiveCustomCmdMsg", (None, 1, 2, None, 0)),
])
def test_optional_and_reporting_callbacks_without_a_python_method_do_nothing(name, args):
    assert getattr(v.KWIXCloudDelegate(), name)(*args) is None


@pytest.mark.parametrize("name, args, expected", [
    ("OnRemoteAudioAvailable", (b"bytes id", True), [("str", "bytes id"), ("bool", True)]),
    ("OnRemoteAudioAvailable", (None, 0), [("NoneType", None), ("bool", False)]),
    ("OnSeiMessageReceived", ("u", v.STREAM_TYPE_VIDEO_HIGH, 1, "a\0bc", 3),
     [("str", "u"), enum(v.StreamType, 2), ("int", 1), ("bytes", b"a\0b")]),
    ("OnReceiveCustomCmdMsg", ("u", -1, 4294967295, "é", 2),
     [("str", "u"), ("int", -1), ("int", 4294967295), ("bytes", "é".encode())]),
    ("OnNetworkQuality", (None, v.NetworkQualityInfo(), 1),
     [("NetworkQualityInfo", "", enum(v.NetworkQuality, 6)),
      [("NetworkQualityInfo", "", enum(v.NetworkQuality, 6))]]),
])
def test_python_side_calls_reach_the_override_with_converted_arguments(name, args, expected):
    delegate = RecordingDelegate()
    assert getattr(v.KWIXCloudDelegate, name)(delegate, *args) is None
    assert [plain(arg) for arg in delegate.calls[0][1]] == expected


@pytest.mark.parametrize("name, args, bad", [
    ("OnSeiMessageReceived", ("u", v.STREAM_TYPE_VIDEO_HIGH, 1, "abc", 4), "length"),
    ("OnSeiMessageReceived", ("u", v.STREAM_TYPE_VIDEO_HIGH, 1, None, 1), "length"),
    ("OnReceiveCustomCmdMsg", ("u", 1, 1, "é", 3), "length"),
    ("OnNetworkQuality", (None, None, 1), "remote_quality_count"),
    ("OnNetworkQuality", (None, v.NetworkQualityInfo(), 2), "remote_quality_count"),
    ("OnRemoteAudioAvailable", ("u\0x", True), "user_id"),
])
def test_python_side_calls_that_would_read_past_their_arguments_raise(name, args, bad):
    delegate = RecordingDelegate()
    with pytest.raises(ValueError, match=bad):
        getattr(v.KWIXCloudDelegate, name)(delegate, *args)
    assert delegate.calls == []


@pytest.mark.parametrize("name, args", [
    ("OnError", (-1,)), ("OnError", (None,)), ("OnRequestKeyFrame", (v.ERR_OK,)),
    ("OnRemoteUserEnterRoom", (None,)), ("OnRemoteAudioReceived", ("u", None)),
    ("OnMissCustomCmdMsg", ("u", 1, -1, 0)), ("OnReceiveCustomCmdMsg", ("u", 2**31, 0, "", 0)),
])
def test_python_side_arguments_that_do_not_convert_raise_type_error(name, args):
    delegate = RecordingDelegate()
    with pytest.raises(TypeError):
        getattr(v.KWIXCloudDelegate, name)(delegate, *args)
    assert delegate.calls == []


def test_super_calls_inside_overrides():
    class Delegate(v.KWIXCloudDelegate):
        quality_calls = 0

        def OnError(self, error):
            super().OnError(error)

        def OnNetworkQuality(self, local, remote):
            Delegate.quality_calls += 1
            return super().OnNetworkQuality(local, None, 0)

    delegate = Delegate()
    with pytest.raises(RuntimeError, match="KWIXCloudDelegate::OnError"):
        delegate.OnError(v.ERR_FAILED)
    assert v.KWIXCloudDelegate.OnNetworkQuality(delegate, None, None, 0) is None
    assert Delegate.quality_calls == 1


def test_subclass_must_call_base_init():
    class Forgetful(v.KWIXCloudDelegate):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match=r"__init__\(\) must be called when overriding __init__"):
        Forgetful()


def test_return_values_are_ignored_and_sessions_can_share_a_delegate():
    class Answering(RecordingDelegate):
        def OnEnterRoom(self):
            self.record("OnEnterRoom", ())
            return True

    delegate = Answering()
    first, second = v.KWIXCloud(delegate), v.KWIXCloud(delegate)
    engine_sessions = loopback.sessions()[-2:]
    for engine_session in engine_sessions:
        loopback.lib.vlb_emit_event(engine_session, ON_ENGINE_THREAD, b"OnEnterRoom")
        loopback.wait_idle(engine_session)
    assert delegate.names() == ["OnEnterRoom", "OnEnterRoom"]
    assert loopback.lib.vlb_session_delegate(engine_sessions[0]) == \
        loopback.lib.vlb_session_delegate(engine_sessions[1])
    del first, second


def test_assertion_build_reports_a_missing_pure_method_without_crashing(run_python):
    build = os.environ.get("VELMORA_ASSERTIONS_BUILD")
    if not build:
        pytest.skip("no build with assertions (scripts/run_tests.sh makes one)")
    module = next(f for f in os.listdir(build) if f.startswith("_velmora"))
    symbols = subprocess.run(["nm", "-D", os.path.join(build, module)], capture_output=True,
                             text=True).stdout
    assert "__assert_fail" in symbols, "the assertion build has no assertions"
    code = """
import _velmora, loopback
class Partial(_velmora.KWIXCloudDelegate):
    def OnExitRoom(self):
        print("went on")
cloud = _velmora.KWIXCloud(Partial())
session = loopback.newest_session()
loopback.lib.vlb_emit_event(session, loopback.ON_ENGINE_THREAD, b"OnEnterRoom")
loopback.lib.vlb_emit_event(session, loopback.ON_ENGINE_THREAD, b"OnExitRoom")
loopback.wait_idle(session)
del cloud
"""
    result = run_python(code, module_dir=build)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "went on\n"
    assert 'Tried to call pure virtual function "KWIXCloudDelegate::OnEnterRoom"' in result.stderr
