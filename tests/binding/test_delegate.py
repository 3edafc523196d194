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
from velmora.testing import control
from paths import ROOT
from velmora.testing.recording import RecordingDelegate

WHERE = control.EMIT_PLACES


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


# (emit the engine callback at `where`, Python method, expected arguments as plain() pictures)
CASES = [
    (lambda s, w: control.emit_error(s, -3320, where=w), "OnError",
     [enum(v.Error, -3320)]),
    (lambda s, w: control.emit_connection_state(s, 2, 3, where=w), "OnConnectionStateChanged",
     [enum(v.ConnectionState, 2), enum(v.ConnectionState, 3)]),
    (lambda s, w: control.emit_event(s, "OnEnterRoom", where=w), "OnEnterRoom", []),
    (lambda s, w: control.emit_event(s, "OnExitRoom", where=w), "OnExitRoom", []),
    (lambda s, w: control.emit_event(s, "OnLocalAudioChannelCreated", where=w),
     "OnLocalAudioChannelCreated", []),
    (lambda s, w: control.emit_event(s, "OnLocalAudioChannelDestroyed", where=w),
     "OnLocalAudioChannelDestroyed", []),
    (lambda s, w: control.emit_stream_event(s, "OnLocalVideoChannelCreated", 7, where=w),
     "OnLocalVideoChannelCreated", [enum(v.StreamType, 7)]),
    (lambda s, w: control.emit_stream_event(s, "OnLocalVideoChannelDestroyed", 3, where=w),
     "OnLocalVideoChannelDestroyed", [enum(v.StreamType, 3)]),
    (lambda s, w: control.emit_stream_event(s, "OnRequestKeyFrame", 2, where=w),
     "OnRequestKeyFrame", [enum(v.StreamType, 2)]),
    (lambda s, w: control.emit_bitrate_request(s, 3, -5, where=w), "OnRequestChangeVideoEncodeBitrate",
     [enum(v.StreamType, 3), ("int", -5)]),
    (lambda s, w: control.emit_user(s, "OnRemoteUserEnterRoom", "añn", 0, where=w),
     "OnRemoteUserEnterRoom", [("UserInfo", "añn")]),
    (lambda s, w: control.emit_user(s, "OnRemoteUserExitRoom", "", 2, where=w),
     "OnRemoteUserExitRoom", [("UserInfo", ""), ("int", 2)]),
    (lambda s, w: control.emit_audio_available(s, None, True, where=w), "OnRemoteAudioAvailable",
     [("NoneType", None), ("bool", True)]),
    (lambda s, w: control.emit_video_available(s, "ann", False, 3, where=w), "OnRemoteVideoAvailable",
     [("str", "ann"), ("bool", False), enum(v.StreamType, 3)]),
    (lambda s, w: control.emit_audio_frame(s, "ann", b"\0\1\0", sample_rate=16000, channels=2, bits_per_sample=16,
                                           codec=1, pts=4294967295, has_voice=True, where=w),
     "OnRemoteAudioReceived",
     [("str", "ann"), ("AudioFrame", 16000, 2, 16, enum(v.AudioCodecType, 1), 4294967295, True,
                       b"\0\1\0")]),
    (lambda s, w: control.emit_audio_frame(s, None, None, mixed=True, sample_rate=8000, channels=1,
                                           bits_per_sample=8, codec=0, pts=7, where=w),
     "OnRemoteMixedAudioReceived",
     [("AudioFrame", 8000, 1, 8, enum(v.AudioCodecType, 0), 7, False, b"")]),
    (lambda s, w: control.emit_video_frame(s, "ann", 2, b"\0key", pts=11, dts=10, is_key_frame=True, codec=1, rotation=3,
                                           where=w),
     "OnRemoteVideoFrameReceived",
     [("str", "ann"), enum(v.StreamType, 2),
      ("VideoFrame", 11, 10, True, enum(v.VideoCodecType, 1), enum(v.VideoRotation, 3), b"\0key")]),
    (lambda s, w: control.emit_pixel_frame(s, "ann", 7, b"\xff" * 8, pts=5, width=640, height=360,
                                           format=2, rotation=1, where=w),
     "OnRemotePixelFrameReceived",
     [("str", "ann"), enum(v.StreamType, 7),
      ("PixelFrame", 5, 640, 360, enum(v.VideoPixelFormat, 2), enum(v.VideoRotation, 1),
       b"\xff" * 8)]),
    (lambda s, w: control.emit_sei(s, "ann", 2, -9, b"a\0b", where=w), "OnSeiMessageReceived",
     [("str", "ann"), enum(v.StreamType, 2), ("int", -9), ("bytes", b"a\0b")]),
    (lambda s, w: control.emit_sei(s, "", 2, 0, None, where=w), "OnSeiMessageReceived",
     [("str", ""), enum(v.StreamType, 2), ("int", 0), ("bytes", b"")]),
    (lambda s, w: control.emit_custom_cmd(s, "ann", -1, 4294967295, b"\0\0", where=w),
     "OnReceiveCustomCmdMsg",
     [("str", "ann"), ("int", -1), ("int", 4294967295), ("bytes", b"\0\0")]),
    (lambda s, w: control.emit_miss_custom_cmd(s, "ann", 7, 4294967295, 3, where=w),
     "OnMissCustomCmdMsg", [("str", "ann"), ("int", 7), ("int", 4294967295), ("int", 3)]),
    (lambda s, w: control.emit_network_quality(s, "me", 1, [("a", 2), ("b", 6), ("c", 3)], where=w),
     "OnNetworkQuality",
     [("NetworkQualityInfo", "me", enum(v.NetworkQuality, 1)),
      [("NetworkQualityInfo", "a", enum(v.NetworkQuality, 2)),
       ("NetworkQualityInfo", "b", enum(v.NetworkQuality, 6)),
       ("NetworkQualityInfo", "c", enum(v.NetworkQuality, 3))]]),
    (lambda s, w: control.emit_network_quality(s, None, 0, where=w), "OnNetworkQuality",
     [("NetworkQualityInfo", "", enum(v.NetworkQuality, 6)), []]),
]


def emit(engine, where, case):
    case[0](engine, where)
    control.wait_idle(engine)


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
        case[0](engine, control.ENGINE_THREAD)
    control.wait_idle(engine)
    assert delegate.names() == [case[1] for case in CASES]
    # The shared delivery threads take turns with a session's queue, so its callbacks may run
    # on more than one of them (one at a time, in order), but never on the posting thread.
    threads = {thread for _, _, thread in delegate.calls}
    assert threads and __import__("threading").get_ident() not in threads


def test_unexposed_slots_do_nothing(delegate, session):
    _, engine = session
    for slot in ("OnUserVoiceVolume", "OnReceiveAsrMessage", "OnAsrServiceError"):
        control.emit_unexposed(engine, slot)
    control.wait_idle(engine)
    assert delegate.calls == []


def test_values_without_a_name_still_arrive(delegate, session):
    _, engine = session
    control.emit_stream_event(engine, "OnRequestKeyFrame", 5)
    control.emit_connection_state(engine, 0, 9)
    control.wait_idle(engine)
    (stream,), (old, new) = [args for _, args, _ in delegate.calls]
    assert (type(stream), int(stream), stream.name) == (v.StreamType, 5, "???")
    assert (old.name, int(new), new.name) == ("CONNECTION_STATE_INIT", 9, "???")


def test_objects_kept_from_a_callback_stay_valid_and_independent(delegate, session):
    _, engine = session
    for pts in (1, 2):
        control.emit_audio_frame(engine, "ann", bytes([pts]) * 4, pts=pts)
    control.wait_idle(engine)
    first, second = [args[1] for args in delegate.named("OnRemoteAudioReceived")]
    first.SetData(b"changed")
    gc.collect()
    assert (first.pts, first.data, second.pts, second.data) == (1, b"changed", 2, b"\2" * 4)


# (callback, emit a frame with this pts and payload) for the four callbacks that carry frames.
FRAME_CALLBACKS = [
    ("OnRemoteAudioReceived", lambda s, pts, data: control.emit_audio_frame(
        s, "ann", data, sample_rate=16000, channels=2, codec=1, pts=pts, has_voice=True)),
    ("OnRemoteMixedAudioReceived", lambda s, pts, data: control.emit_audio_frame(
        s, None, data, mixed=True, sample_rate=8000, pts=pts)),
    ("OnRemoteVideoFrameReceived", lambda s, pts, data: control.emit_video_frame(
        s, "ann", 2, data, pts=pts, dts=pts, is_key_frame=True, codec=1, rotation=3)),
    ("OnRemotePixelFrameReceived", lambda s, pts, data: control.emit_pixel_frame(
        s, "ann", 7, data, pts=pts, width=2, height=2, format=2, rotation=1)),
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
    engine = control.newest_session()
    sent = [(pts, bytes([pts]) * (pts + 3)) for pts in range(1, 7)]
    for pts, payload in sent:
        fire(engine, pts, payload)
        control.wait_idle(engine)
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
    (lambda s: control.emit_sei(s, "u", 2, 1, b"m"),
     "python callback OnSeiMessageReceived error: ValueError: boom\n\nAt:\n"),
    (lambda s: control.emit_network_quality(s, None, 0),
     "python callback OnNetworkQuality error: ValueError: boom\n\nAt:\n"),
    (lambda s: control.emit_custom_cmd(s, "u", 1, 1, b"m"),
     "python callback OnReceiveCustomCmdMsg error: TypeError: OnReceiveCustomCmdMsg() takes 3 "
     "positional arguments but 5 were given"),
    (lambda s: control.emit_sei(s, b"\xff\xfe", 2, 1, b"m"),
     "python callback OnSeiMessageReceived error: UnicodeDecodeError: 'utf-8' codec can't decode"),
])
def test_reporting_callbacks_report_failures_on_stderr_and_return(capfd, fire, expected):
    delegate = Failing()
    cloud = v.KWIXCloud(delegate)
    session = control.newest_session()
    fire(session)
    control.wait_idle(session)
    err = capfd.readouterr().err
    assert expected in err
    assert err.count("python callback") == 1
    assert "velmora: callback" not in err  # contained by the module, never reaching the engine
    del cloud


@pytest.mark.parametrize("fire, name, message", [
    (lambda s: control.emit_event(s, "OnEnterRoom"), "OnEnterRoom",
     "KeyError: 'enter failed'"),
    (lambda s: control.emit_miss_custom_cmd(s, "u", 1, 2, 3),
     "OnMissCustomCmdMsg", "RuntimeError: optional failed"),
    (lambda s: control.emit_audio_available(s, b"\xc3", True),
     "OnRemoteAudioAvailable", "UnicodeDecodeError"),
])
def test_failures_of_other_callbacks_leave_them_for_the_engine_to_contain(capfd, fire, name,
                                                                          message):
    delegate = Failing()
    cloud = v.KWIXCloud(delegate)
    session = control.newest_session()
    fire(session)
    control.emit_event(session, "OnExitRoom")
    control.wait_idle(session)
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
    session = control.newest_session()
    control.emit_event(session, "OnExitRoom")
    control.emit_event(session, "OnEnterRoom")
    control.emit_network_quality(session, None, 0)
    control.wait_idle(session)
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
    engine_sessions = control.sessions()[-2:]
    for engine_session in engine_sessions:
        control.emit_event(engine_session, "OnEnterRoom")
        control.wait_idle(engine_session)
    assert delegate.names() == ["OnEnterRoom", "OnEnterRoom"]
    assert control.session_delegate(engine_sessions[0]) == \
        control.session_delegate(engine_sessions[1])
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
import _velmora
from velmora.testing import control
class Partial(_velmora.KWIXCloudDelegate):
    def OnExitRoom(self):
        print("went on")
cloud = _velmora.KWIXCloud(Partial())
session = control.newest_session()
control.emit_event(session, "OnEnterRoom")
control.emit_event(session, "OnExitRoom")
control.wait_idle(session)
del cloud
"""
    result = run_python(code, module_dir=build)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "went on\n"
    assert 'Tried to call pure virtual function "KWIXCloudDelegate::OnEnterRoom"' in result.stderr
