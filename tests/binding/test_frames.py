"""The media frames: metadata fields, the payload through data/size/SetData, and the frames'
layout as the engine reads it (sent frames in the session journal, emitted frames in the
delegate's callbacks)."""
import pytest

import _velmora as v
from velmora.testing import control
from helpers_records import (I32, U32, check_int_field, engine_form, expected, fill, list_ids,
                             single_call)

FRAMES = [v.AudioFrame, v.VideoFrame, v.PixelFrame]
FIELDS = {
    v.AudioFrame: ("sample_rate", "channels", "bits_per_sample", "codec", "pts", "has_voice"),
    v.VideoFrame: ("pts", "dts", "is_key_frame", "codec", "rotation"),
    v.PixelFrame: ("pts", "width", "height", "format", "rotation"),
}
INT_FIELDS = [(v.AudioFrame, "sample_rate", I32), (v.AudioFrame, "channels", I32),
              (v.AudioFrame, "bits_per_sample", I32), (v.AudioFrame, "pts", U32),
              (v.VideoFrame, "pts", U32), (v.VideoFrame, "dts", U32),
              (v.PixelFrame, "pts", U32), (v.PixelFrame, "width", U32),
              (v.PixelFrame, "height", U32)]
PAYLOADS = [b"", b"\0", b"\0\0\0\0", b"a\0b\0", bytes(range(256)) * 3, b"\xff" * 4096,
            bytes(1 << 20)]


@pytest.mark.parametrize("cls, attribute, bounds", INT_FIELDS, ids=list_ids(INT_FIELDS))
def test_int_fields_take_their_whole_range_and_reject_the_rest(cls, attribute, bounds):
    check_int_field(cls(), attribute, bounds)


@pytest.mark.parametrize("cls", FRAMES)
def test_engine_defaults(cls):
    described = control.describe_default(cls.__name__)
    frame = cls()
    assert {n: engine_form(getattr(frame, n)) for n in FIELDS[cls] + ("data",)} == \
        {n: described[n] for n in FIELDS[cls] + ("data",)}
    assert frame.size == len(described["data"])


@pytest.mark.parametrize("cls", FRAMES)
def test_data_and_size_are_read_only_properties(cls):
    frame = cls()
    frame.SetData(b"xyz")
    for attribute, value in (("data", b"other"), ("size", 1)):
        with pytest.raises(AttributeError):
            setattr(frame, attribute, value)
    with pytest.raises(TypeError, match="'bytes' object is not callable"):
        frame.data()
    with pytest.raises(TypeError, match="'int' object is not callable"):
        frame.size()
    assert (frame.data, frame.size) == (b"xyz", 3)
    assert hasattr(frame, "SetExtraData") is (cls is v.AudioFrame)
    assert not any(hasattr(frame, n) for n in ("extra", "extra_data", "GetExtraData", "handle"))


@pytest.mark.parametrize("payload", PAYLOADS, ids=lambda p: f"{len(p)}B")
@pytest.mark.parametrize("cls", FRAMES)
def test_set_data_round_trip(cls, payload):
    frame = cls()
    frame.SetData(b"previous")
    assert frame.SetData(payload) is None
    data = frame.data
    assert type(data) is bytes and data == payload and frame.size == len(payload)
    if len(payload) > 1:  # (CPython shares the empty and one-byte bytes objects)
        assert frame.data is not data  # every read is a new copy
    if cls is v.AudioFrame:
        frame.SetExtraData(b"side")
        assert frame.data == payload


@pytest.mark.parametrize("bad", [bytearray(b"ab"), memoryview(b"ab"), "ab", None, 1, [97]],
                         ids=["bytearray", "memoryview", "str", "None", "int", "list"])
@pytest.mark.parametrize("cls, method", [(v.AudioFrame, "SetData"), (v.AudioFrame, "SetExtraData"),
                                         (v.VideoFrame, "SetData"), (v.PixelFrame, "SetData")])
def test_set_data_takes_only_bytes(cls, method, bad):
    frame = cls()
    frame.SetData(b"kept")
    with pytest.raises(TypeError):
        getattr(frame, method)(bad)
    with pytest.raises(TypeError):
        getattr(frame, method)(data=b"ab")  # positional only
    assert frame.data == b"kept"


@pytest.mark.parametrize("cls", FRAMES)
def test_empty_payload_is_read_without_calling_data(cls):
    calls = control.frame_data_calls
    frame = cls()
    for payload, expected_calls in ((None, 0), (b"", 0), (b"p", 1), (b"", 0)):
        if payload is not None:
            frame.SetData(payload)
        before = calls()
        assert frame.data == (payload or b"") and frame.size == len(payload or b"")
        assert calls() - before == expected_calls


# ---- Layout: Python to engine -------------------------------------------------------------

AUDIO = {"sample_rate": (44100, -2**31), "channels": (2, 2**31 - 1),
         "bits_per_sample": (24, -8), "codec": (v.AUDIO_CODEC_TYPE_OPUS, v.AudioCodecType(9)),
         "pts": (0xFEDCBA98, 1), "has_voice": (True, False),
         "data": (b"\x00pcm\x00\xff", b""), "extra": (b"ex\x00tra", b"\x01")}
VIDEO = {"pts": (0x80000001, 0), "dts": (0x7FFFFFFE, 2**32 - 1), "is_key_frame": (True, False),
         "codec": (v.VIDEO_CODEC_TYPE_H265, v.VIDEO_CODEC_TYPE_H264),
         "rotation": (v.VIDEO_ROTATION_270, v.VideoRotation(4)), "data": (b"\0\0\0\x01e", b"")}
PIXEL = {"pts": (123456789, 2**32 - 1), "width": (1920, 2**32 - 2), "height": (1080, 7),
         "format": (v.VIDEO_PIXEL_FORMAT_RGBA, v.VIDEO_PIXEL_FORMAT_YUVA420p),
         "rotation": (v.VIDEO_ROTATION_90, v.VIDEO_ROTATION_180),
         "data": (bytes(range(256)), b"\0")}
SENDS = [
    ("SendAudioFrame", v.AudioFrame, AUDIO, lambda s, f: s.SendAudioFrame(f), {}),
    ("SendContinuousAudioFrame", v.AudioFrame, AUDIO,
     lambda s, f: s.SendContinuousAudioFrame(f, True), {"clear_send_queue": 1}),
    ("SendVideoFrame", v.VideoFrame, VIDEO,
     lambda s, f: s.SendVideoFrame(v.STREAM_TYPE_VIDEO_AUX, f), {"type": 7}),
    ("SendPixelFrame", v.PixelFrame, PIXEL,
     lambda s, f: s.SendPixelFrame(v.STREAM_TYPE_VIDEO_LOW, f), {"type": 3}),
]


@pytest.mark.parametrize("variant", [0, 1])
@pytest.mark.parametrize("operation, cls, values, call, fixed", SENDS, ids=[c[0] for c in SENDS])
def test_engine_receives_every_field_as_set(session, operation, cls, values, call, fixed, variant):
    s, engine = session
    frame = cls()
    fill(frame, values, variant)
    assert all(type(getattr(frame, n)) is bool for n, c in values.items() if type(c[0]) is bool)
    call(s, frame)
    assert single_call(engine) == (operation, {**expected(values, variant), **fixed})


@pytest.mark.parametrize("call", [
    lambda s: s.SendAudioFrame(None), lambda s: s.SendAudioFrame(v.VideoFrame()),
    lambda s: s.SendContinuousAudioFrame(None, False),
    lambda s: s.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, None),
    lambda s: s.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, v.PixelFrame()),
    lambda s: s.SendVideoFrame(None, v.VideoFrame()), lambda s: s.SendVideoFrame(2, v.VideoFrame()),
    lambda s: s.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, None),
    lambda s: s.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, v.VideoFrame()),
    lambda s: s.SendPixelFrame(v.KWIX_ROLE_AUDIENCE, v.PixelFrame()),
])
def test_send_calls_reject_none_and_other_types(session, call):
    s, engine = session
    with pytest.raises(TypeError):
        call(s)
    assert control.journal_calls(engine) == []


# ---- Layout: engine to Python -------------------------------------------------------------

ENUM_TYPES = {"codec": (v.VideoCodecType, v.AudioCodecType),
              "rotation": (v.VideoRotation,) * 2, "format": (v.VideoPixelFormat,) * 2}
EMITTED = [  # (slot, frame class, metadata in field order, payload)
    ("OnRemoteAudioReceived", v.AudioFrame, (44100, 2, 24, 2, 2**32 - 1, 1), b"\0a\0b"),
    ("OnRemoteAudioReceived", v.AudioFrame, (-1, 2**31 - 1, -2**31, 9, 0, 0), b""),
    ("OnRemoteMixedAudioReceived", v.AudioFrame, (16000, 1, 16, 0, 77, 1), bytes(range(256))),
    ("OnRemoteVideoFrameReceived", v.VideoFrame, (0x80000000, 0x7FFFFFFF, 1, 1, 3), b"\0\0\1"),
    ("OnRemoteVideoFrameReceived", v.VideoFrame, (1, 2**32 - 1, 0, 5, 6), b""),
    ("OnRemotePixelFrameReceived", v.PixelFrame, (99, 640, 2**32 - 1, 2, 2), b"\xff" * 1000),
    ("OnRemotePixelFrameReceived", v.PixelFrame, (2**32 - 1, 0, 1, 8, 1), b"\0"),
]


@pytest.mark.parametrize("slot, cls, metadata, payload", EMITTED,
                         ids=[f"{e[0]}-{i}" for i, e in enumerate(EMITTED)])
def test_frames_from_the_engine(delegate, session, slot, cls, metadata, payload):
    _, engine = session
    fields, where, user = dict(zip(FIELDS[cls], metadata)), control.CALLING_THREAD, "ẞender"
    if cls is v.AudioFrame:
        control.emit_audio_frame(engine, user, payload, mixed=slot == "OnRemoteMixedAudioReceived", where=where,
                                 **fields)
    else:
        emit = control.emit_video_frame if cls is v.VideoFrame else control.emit_pixel_frame
        emit(engine, user, 7, payload, where=where, **fields)
    (args,) = delegate.named(slot)
    frame = args[-1]
    assert type(frame) is cls
    assert {n: engine_form(getattr(frame, n)) for n in FIELDS[cls]} == \
        dict(zip(FIELDS[cls], metadata))
    for name in FIELDS[cls]:  # enumerations as members of their class, named or "???"
        value = getattr(frame, name)
        if name in ENUM_TYPES:
            assert type(value) is ENUM_TYPES[name][cls is v.AudioFrame]
            names = {m.value: n for n, m in type(value).__members__.items()}
            assert value.name == names.get(value.value, "???")
        else:
            assert type(value) in (int, bool)
    assert frame.data == payload and frame.size == len(payload)
    if slot == "OnRemoteMixedAudioReceived":
        assert args[:-1] == ()
    elif cls is v.AudioFrame:
        assert args[:-1] == ("ẞender",)
    else:
        assert args[:-1] == ("ẞender", v.STREAM_TYPE_VIDEO_AUX)
        assert type(args[1]) is v.StreamType
    frame.SetData(b"mine")  # the callback's frame is Python's own copy
    assert frame.data == b"mine"
