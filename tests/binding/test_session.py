"""The session class: construction and lifetime, and every method forwarding its arguments
to the engine session exactly as given."""
import gc
import weakref

import pytest

import _velmora as v
from velmora.testing import control
from velmora.testing.recording import RecordingDelegate


class BytesSubclass(bytes):
    pass


def frame(kind, payload=b"\0pay\0load"):
    made = {"audio": v.AudioFrame, "video": v.VideoFrame, "pixel": v.PixelFrame}[kind]()
    made.pts = 77
    made.SetData(payload)
    return made


# (call on the session, expected journal entry: operation and the arguments it must hold)
FORWARDING = [
    (lambda s: s.ExitRoom(), ("ExitRoom", {})),
    (lambda s: s.Subscribe("bob", v.STREAM_TYPE_VIDEO_LOW), ("Subscribe", {"user_id": b"bob", "type": 3})),
    (lambda s: s.Subscribe(user_id=b"\xffraw", type=v.STREAM_TYPE_AUDIO),
     ("Subscribe", {"user_id": b"\xffraw", "type": 1})),
    (lambda s: s.Unsubscribe(bytearray("zoë".encode()), v.STREAM_TYPE_VIDEO_AUX),
     ("Unsubscribe", {"user_id": "zoë".encode(), "type": 7})),
    (lambda s: s.GetAudioFrame(None), ("GetAudioFrame", {"frame": None})),
    (lambda s: s.GetAudioFrame(frame=v.AudioFrame()), ("GetAudioFrame", {"frame": "set"})),
    (lambda s: s.CreateLocalAudioChannel(v.AudioEncodeParams()),
     ("CreateLocalAudioChannel", {"channels": 1, "sample_rate": 48000, "frame_length_ms": 20,
                                  "bitrate_bps": 51200, "need_encode": 1})),
    (lambda s: s.DestroyLocalAudioChannel(), ("DestroyLocalAudioChannel", {})),
    (lambda s: s.SendAudioFrame(frame("audio")),
     ("SendAudioFrame", {"pts": 77, "data": b"\0pay\0load"})),
    (lambda s: s.SendContinuousAudioFrame(frame("audio"), None),
     ("SendContinuousAudioFrame", {"pts": 77, "clear_send_queue": 0})),
    (lambda s: s.SendContinuousAudioFrame(frame=frame("audio"), clear_send_queue=True),
     ("SendContinuousAudioFrame", {"clear_send_queue": 1})),
    (lambda s: s.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_AUX),
     ("CreateLocalVideoChannel", {"type": 7})),
    (lambda s: s.DestroyLocalVideoChannel(type=v.STREAM_TYPE_VIDEO_HIGH),
     ("DestroyLocalVideoChannel", {"type": 2})),
    (lambda s: s.SendVideoFrame(v.STREAM_TYPE_VIDEO_LOW, frame("video")),
     ("SendVideoFrame", {"type": 3, "pts": 77, "data": b"\0pay\0load"})),
    (lambda s: s.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, frame("pixel", b"")),
     ("SendPixelFrame", {"type": 2, "pts": 77, "data": b""})),
    (lambda s: s.SetVideoEncodeParam(v.STREAM_TYPE_VIDEO_HIGH, v.VideoEncodeParams()),
     ("SetVideoEncodeParam", {"type": 2, "frame_rate": 15, "bitrate_bps": 0, "gop_in_seconds": 3})),
    (lambda s: s.SendSeiMessage(-4, b""), ("SendSeiMessage", {"message_type": -4, "message": b""})),
    (lambda s: s.SendSeiMessage(message_type=2**31 - 1, message=BytesSubclass(b"a\0b")),
     ("SendSeiMessage", {"message_type": 2**31 - 1, "message": b"a\0b"})),
    (lambda s: s.SendCustomCmdMsg(7, b"abc", True, False),
     ("SendCustomCmdMsg", {"cmd_id": 7, "message": b"abc", "reliable": 1, "ordered": 0})),
    (lambda s: s.SendCustomCmdMsg(-1, b"\0", None, 1),
     ("SendCustomCmdMsg", {"cmd_id": 2**32 - 1, "message": b"\0", "reliable": 0, "ordered": 1})),
    (lambda s: s.EnableVoiceActivityDetection(v.VADParams()),
     ("EnableVoiceActivityDetection", {"enable": 0})),
]


@pytest.mark.parametrize("call, expected", FORWARDING, ids=[e[1][0] for e in FORWARDING])
def test_methods_forward_their_arguments_to_the_engine(session, call, expected):
    cloud, engine = session
    result = call(cloud)
    operation, arguments = control.last_call(engine)
    assert operation == expected[0]
    assert {name: arguments[name] for name in expected[1]} == expected[1]
    assert len(control.journal_calls(engine)) == 1
    if operation in ("SetVideoEncodeParam", "EnableVoiceActivityDetection"):
        assert result is None
    else:
        assert type(result) is int


def test_results_come_back_unchanged(session):
    cloud, _ = session
    params = v.EnterRoomParams()
    assert cloud.EnterRoom(params) == v.ERR_INVALID_SDK_APP_ID
    assert type(cloud.EnterRoom(params)) is int
    # Outside a room the engine refuses a custom command: False becomes 0.
    assert cloud.SendCustomCmdMsg(1, b"x", True, True) == 0


def test_get_audio_frame_fills_the_callers_frame_in_place(session):
    cloud, engine = session
    target = v.AudioFrame()
    before = id(target)
    cloud.GetAudioFrame(target)
    assert id(target) == before and control.last_call(engine) == ("GetAudioFrame", {"frame": "set"})


@pytest.mark.parametrize("call", [
    lambda s: s.EnterRoom(None),
    lambda s: s.CreateLocalVideoChannel(None),
    lambda s: s.CreateLocalVideoChannel(2),
    lambda s: s.CreateLocalVideoChannel(v.KWIX_ROLE_AUDIENCE),
    lambda s: s.SendAudioFrame(None),
    lambda s: s.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, v.PixelFrame()),
    lambda s: s.SendPixelFrame(None, v.PixelFrame()),
    lambda s: s.SetVideoEncodeParam(v.STREAM_TYPE_VIDEO_HIGH, None),
    lambda s: s.EnableVoiceActivityDetection(None),
    lambda s: s.Subscribe(None, v.STREAM_TYPE_AUDIO),
    lambda s: s.Subscribe("bob", None),
    lambda s: s.SendSeiMessage(1, bytearray(b"x")),
    lambda s: s.SendSeiMessage(1, "text"),
    lambda s: s.SendSeiMessage(None, b"x"),
    lambda s: s.SendCustomCmdMsg(2**31, b"x", True, True),
    lambda s: s.SendCustomCmdMsg(1, memoryview(b"x"), True, True),
    lambda s: s.ExitRoom(1),
    lambda s: s.EnterRoom(param=v.EnterRoomParams()),
])
def test_arguments_that_do_not_convert_raise_type_error_without_an_engine_call(session, call):
    cloud, engine = session
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(cloud)
    assert control.journal_calls(engine) == []


@pytest.mark.parametrize("method", ["Subscribe", "Unsubscribe"])
@pytest.mark.parametrize("user_id", ["bob\0alice", b"bob\0", bytearray(b"\0")])
def test_user_id_with_a_null_character_is_refused(session, method, user_id):
    cloud, engine = session
    with pytest.raises(ValueError, match="null character in user_id"):
        getattr(cloud, method)(user_id, v.STREAM_TYPE_AUDIO)
    assert control.journal_calls(engine) == []


@pytest.mark.parametrize("args, kwargs", [((), {}), ((), {"delegate": None}), ((1,), {}),
                                          ((None, None), {})])
def test_constructor_takes_one_positional_delegate(args, kwargs):
    count = control.session_count()
    with pytest.raises(TypeError):
        v.KWIXCloud(*args, **kwargs)
    assert control.session_count() == count


def test_constructor_hands_the_engine_the_native_delegate_or_null():
    delegate = RecordingDelegate()
    with_delegate, without, shared = v.KWIXCloud(delegate), v.KWIXCloud(None), v.KWIXCloud(delegate)
    first, second, third = control.sessions()[-3:]
    assert control.session_delegate(second) is None
    assert control.session_delegate(first) is not None
    assert control.session_delegate(first) == control.session_delegate(third)
    del with_delegate, without, shared


def test_session_keeps_its_delegate_alive_until_it_is_destroyed():
    delegate = RecordingDelegate()
    alive = weakref.ref(delegate)
    count = control.session_count()
    session = v.KWIXCloud(delegate)
    engine = control.newest_session()
    del delegate
    gc.collect()
    assert alive() is not None
    control.emit_event(engine, "OnEnterRoom")
    control.wait_idle(engine)
    assert alive().names() == ["OnEnterRoom"]
    del session
    gc.collect()
    assert alive() is None
    assert control.session_count() == count
    assert engine not in control.sessions()


def test_null_engine_session_raises_and_keeps_nothing():
    delegate = RecordingDelegate()
    alive = weakref.ref(delegate)
    count = control.session_count()
    control.fail_next_create()
    with pytest.raises(RuntimeError, match="could not create a session"):
        v.KWIXCloud(delegate)
    del delegate
    gc.collect()
    assert alive() is None
    assert control.session_count() == count
    v.KWIXCloud(None)  # the fault was for one Create only


def test_sessions_cannot_be_copied():
    import copy
    session = v.KWIXCloud(None)
    with pytest.raises(TypeError):
        copy.copy(session)
