"""KwixString and the parameter records: text conversions, defaults, field views and the
parents they keep alive, setter copies and rejections, and the records' memory layout as
the engine reads it (Python to engine through the session journal, engine to Python through
emitted callbacks)."""
import gc
import weakref

import pytest

import _velmora as v
from velmora.testing import control
from helpers_records import (I32, U32, check_int_field, engine_form, expected, fill,
                             list_ids, read, single_call)

UNEXPOSED = ("custom_data", "decryption_delegate", "encryption_delegate")  # RoomParams


# ---- KwixString ---------------------------------------------------------------------------

TEXTS = ["abc", "", "héllo wörld ✓ 日本語 🎉", "a b\tc\n", "KwixString(x)"]


@pytest.mark.parametrize("text", TEXTS)
@pytest.mark.parametrize("how", ["constructor", "SetValue", "bytes", "bytearray"])
def test_kwix_string_text_round_trip(text, how):
    if how == "constructor":
        s = v.KwixString(text)
    elif how == "SetValue":
        s = v.KwixString("previous")
        assert s.SetValue(text) is None
    else:
        s = v.KwixString((bytes if how == "bytes" else bytearray)(text.encode()))
    assert s.GetValue() == text and str(s) == text
    assert repr(s) == f"KwixString({text})"


def test_kwix_string_default_is_the_engines():
    assert engine_form(v.KwixString()) == control.describe_default("KwixString")["value"]


@pytest.mark.parametrize("value", [None, b"\xff", b"ok\xc3", b"\xed\xa0\x80", b"\xc0\xaf"])
@pytest.mark.parametrize("how", ["constructor", "SetValue"])
def test_kwix_string_null_or_invalid_utf8(how, value):
    s = v.KwixString(value) if how == "constructor" else v.KwixString("x")
    if how == "SetValue":
        s.SetValue(value)
    if value is None:  # a null pointer
        assert s.GetValue() is None
        error, message = RuntimeError, "^basic_string: construction from null is not valid$"
    else:
        error, message = UnicodeDecodeError, "can't decode"
        with pytest.raises(error, match=message):
            s.GetValue()
    for text_of in (str, repr):
        with pytest.raises(error, match=message):
            text_of(s)
    s.SetValue("fine")
    assert (s.GetValue(), str(s), repr(s)) == ("fine", "fine", "KwixString(fine)")


@pytest.mark.parametrize("call, error", [
    (lambda: v.KwixString("a\0b"), ValueError), (lambda: v.KwixString(b"\0"), ValueError),
    (lambda: v.KwixString().SetValue("\0b"), ValueError),
    (lambda: v.KwixString().SetValue(bytearray(b"a\0")), ValueError),
    (lambda: v.KwixString(1), TypeError), (lambda: v.KwixString(value="x"), TypeError),
    (lambda: v.KwixString("a", "b"), TypeError), (lambda: v.KwixString("\ud800"), TypeError),
    (lambda: v.KwixString().SetValue(), TypeError),
    (lambda: v.KwixString().SetValue(value="x"), TypeError),
    (lambda: v.KwixString().SetValue(2), TypeError),
])
def test_kwix_string_rejects_nul_and_other_arguments(call, error):
    with pytest.raises(error) as raised:
        call()
    if error is ValueError:  # the message names the argument
        assert "value" in str(raised.value)


def test_kwix_string_set_value_failure_leaves_the_value():
    s = v.KwixString("kept")
    for bad in ("a\0", b"\0", 3):
        with pytest.raises((ValueError, TypeError)):
            s.SetValue(bad)
    assert s.GetValue() == "kept"


# ---- Defaults -----------------------------------------------------------------------------

@pytest.mark.parametrize("cls, defaults", [
    (v.AudioEncodeParams, {"channels": 1, "sample_rate": 48000, "frame_length_ms": 20,
                           "bitrate_bps": 51200, "need_encode": True}),
    (v.VideoEncodeParams, {"frame_rate": 15, "bitrate_bps": 0, "gop_in_seconds": 3}),
    (v.AudioObtainParams, {"audio_obtain_method": v.AUDIO_OBTAIN_METHOD_CALLBACK,
                           "enable_remote_audio_mix": False, "output_sample_rate": 16000,
                           "output_channels": 1, "output_frame_length_ms": 20,
                           "output_audio_codec_type": v.AUDIO_CODEC_TYPE_PCM}),
    (v.NetworkQualityInfo, {"user_id": "", "quality": v.NETWORK_QUALITY_DOWN}),
    (v.UserInfo, {"user_id": control.describe_default("KwixString")["value"]}),
    (v.VADParams, {"enable": False}),
], ids=lambda x: x.__name__ if isinstance(x, type) else "")
def test_header_defaults(cls, defaults):
    obj = cls()
    for attribute, value in defaults.items():
        got = getattr(obj, attribute)
        if isinstance(got, v.KwixString):
            assert engine_form(got) == engine_form(value)
        else:
            assert got == value and type(got) is type(value)


@pytest.mark.parametrize("type_name", ["RoomParams", "EnterRoomParams"])
def test_engine_defaults(type_name):
    described = control.describe_default(type_name)
    obj = getattr(v, type_name)()
    exposed = {p: val for p, val in described.items() if p.rpartition(".")[2] not in UNEXPOSED}
    assert len(exposed) == {"RoomParams": 5, "EnterRoomParams": 16}[type_name]
    assert {path: engine_form(read(obj, path)) for path in exposed} == exposed


# ---- Attributes ---------------------------------------------------------------------------

TEXT_FIELDS = [(v.RoomParams, "user_id"), (v.RoomParams, "user_sig"),
               (v.RoomParams, "str_room_id"), (v.EnterRoomParams, "private_map_key"),
               (v.EnterRoomParams, "room.user_id"), (v.NetworkQualityInfo, "user_id"),
               (v.UserInfo, "user_id")]
RECORD_FIELDS = [(v.EnterRoomParams, "room", v.RoomParams, "room_id", 7),
                 (v.EnterRoomParams, "audio_obtain_params", v.AudioObtainParams,
                  "output_channels", 6)]
INT_FIELDS = [(v.RoomParams, "sdk_app_id", U32), (v.RoomParams, "room_id", U32)] + [
    (v.AudioObtainParams, a, I32)
    for a in ("output_sample_rate", "output_channels", "output_frame_length_ms")] + [
    (v.AudioEncodeParams, a, I32)
    for a in ("channels", "sample_rate", "frame_length_ms", "bitrate_bps")] + [
    (v.VideoEncodeParams, a, I32) for a in ("frame_rate", "bitrate_bps", "gop_in_seconds")]
VIEW_FIELDS = TEXT_FIELDS + [(c, a) for c, a, *_ in RECORD_FIELDS]


@pytest.mark.parametrize("cls, attribute, bounds", INT_FIELDS, ids=list_ids(INT_FIELDS))
def test_int_fields_take_their_whole_range_and_reject_the_rest(cls, attribute, bounds):
    check_int_field(cls(), attribute, bounds)


@pytest.mark.parametrize("cls, path", TEXT_FIELDS, ids=list_ids(TEXT_FIELDS))
def test_text_fields_are_views_and_take_copies(cls, path):
    parent = cls()
    parent_path, _, name = path.rpartition(".")
    holder = read(parent, parent_path) if parent_path else parent
    source = v.KwixString("u")
    setattr(holder, name, source)
    source.SetValue("changed later")
    assert read(parent, path).GetValue() == "u"  # the field got a copy
    view = read(parent, path)
    assert type(view) is v.KwixString
    view.SetValue("v")  # a view: changes the field itself
    assert read(parent, path).GetValue() == "v" and source.GetValue() == "changed later"
    setattr(holder, name, read(parent, path))  # assigning the field to itself
    assert read(parent, path).GetValue() == "v"
    other = cls()
    read(other, path).SetValue("o1")
    setattr(holder, name, read(other, path))  # from another record's view
    read(other, path).SetValue("o2")
    assert read(parent, path).GetValue() == "o1"
    for wrong in (None, "u", b"u", 1, v.UserInfo()):
        with pytest.raises(TypeError):
            setattr(holder, name, wrong)
        assert read(parent, path).GetValue() == "o1"


@pytest.mark.parametrize("cls, path", VIEW_FIELDS, ids=list_ids(VIEW_FIELDS))
def test_views_keep_their_parent_alive(cls, path):
    parent = cls()
    alive = weakref.ref(parent)
    view = read(parent, path)
    del parent
    gc.collect()
    assert alive() is not None
    if isinstance(view, v.KwixString):
        view.SetValue("still valid")
        assert read(alive(), path).GetValue() == "still valid"
    else:
        probe = {v.RoomParams: "room_id", v.AudioObtainParams: "output_channels"}[type(view)]
        setattr(view, probe, 5)
        assert getattr(read(alive(), path), probe) == 5
    del view
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("cls, name, record_cls, probe, value", RECORD_FIELDS,
                         ids=list_ids(RECORD_FIELDS))
def test_record_fields_are_views_and_take_copies(cls, name, record_cls, probe, value):
    parent, source = cls(), record_cls()
    assert type(getattr(parent, name)) is record_cls
    setattr(source, probe, value)
    setattr(parent, name, source)
    setattr(source, probe, value + 1)  # the field got a copy
    assert getattr(getattr(parent, name), probe) == value
    setattr(getattr(parent, name), probe, value + 2)  # a view changes the field itself
    assert (getattr(getattr(parent, name), probe), getattr(source, probe)) == (value + 2, value + 1)
    for wrong in (None, v.VADParams(), 1):
        with pytest.raises(TypeError):
            setattr(parent, name, wrong)
        assert getattr(getattr(parent, name), probe) == value + 2


def test_room_assignment_copies_every_field(session):
    values = {"sdk_app_id": (1400000001,), "room_id": (4242,), "user_id": ("ü-1",),
              "user_sig": ("sig",), "str_room_id": ("lobby",)}
    q = v.RoomParams()
    fill(q, values, 0)
    p = v.EnterRoomParams()
    p.room = q
    assert {n: engine_form(getattr(p.room, n)) for n in values} == expected(values, 0)
    q.user_id.SetValue("changed")
    q.str_room_id = v.KwixString("elsewhere")
    q.sdk_app_id = q.room_id = 1
    assert {n: engine_form(getattr(p.room, n)) for n in values} == expected(values, 0)
    s, engine = session
    s.EnterRoom(p)  # the unexposed pointers came along as the engine's defaults
    room = {k[5:]: val for k, val in single_call(engine)[1].items() if k.startswith("room.")}
    assert room == {**expected(values, 0), **dict.fromkeys(UNEXPOSED)}


def test_no_unexposed_or_extra_attributes():
    rp = v.RoomParams()
    for name in UNEXPOSED:
        assert not hasattr(rp, name)
        with pytest.raises(AttributeError):
            setattr(rp, name, 0)
    for cls in (v.RoomParams, v.EnterRoomParams, v.AudioEncodeParams, v.VideoEncodeParams,
                v.NetworkQualityInfo, v.UserInfo, v.AudioObtainParams, v.VADParams):
        with pytest.raises(TypeError):
            cls(1)
        with pytest.raises(AttributeError):
            cls().not_a_field = 1


# ---- Layout: Python to engine -------------------------------------------------------------

ENTER_ROOM = {
    "room.sdk_app_id": (0xA1B2C3D4, 2**32 - 1), "room.user_id": ("user-é", ""),
    "room.user_sig": ("sig-✓", "SIG2"), "room.room_id": (0x01020304, 2**31),
    "room.str_room_id": ("room-s", "ルーム"),
    "scene": (v.KWIX_SCENE_RECORD, v.KWIX_SCENE_AUDIO_CALL),
    "role": (v.KWIX_ROLE_AUDIENCE, v.KWIX_ROLE_ANCHOR),
    "private_map_key": ("pmk", None),
    "audio_obtain_params.audio_obtain_method": (v.AUDIO_OBTAIN_METHOD_GET, v.AudioObtainMethod(7)),
    "audio_obtain_params.enable_remote_audio_mix": (True, False),
    "audio_obtain_params.output_sample_rate": (44100, -2**31),
    "audio_obtain_params.output_channels": (2, 2**31 - 1),
    "audio_obtain_params.output_frame_length_ms": (40, -1),
    "audio_obtain_params.output_audio_codec_type": (v.AUDIO_CODEC_TYPE_AAC, v.AUDIO_CODEC_TYPE_OPUS),
    "use_pixel_frame_input": (True, False), "use_pixel_frame_output": (False, True),
}
AUDIO_ENCODE = {"channels": (2, -7), "sample_rate": (44100, 2**31 - 1),
                "frame_length_ms": (10, -2**31), "bitrate_bps": (128000, 3),
                "need_encode": (False, True)}
VIDEO_ENCODE = {"frame_rate": (30, -30), "bitrate_bps": (2500000, 2**31 - 1),
                "gop_in_seconds": (5, -2**31)}
VAD = {"enable": (True, False)}
LAYOUT_CASES = [
    ("EnterRoom", v.EnterRoomParams, ENTER_ROOM, lambda s, p: s.EnterRoom(p),
     {f"room.{n}": None for n in UNEXPOSED}),
    ("CreateLocalAudioChannel", v.AudioEncodeParams, AUDIO_ENCODE,
     lambda s, p: s.CreateLocalAudioChannel(p), {}),
    ("SetVideoEncodeParam", v.VideoEncodeParams, VIDEO_ENCODE,
     lambda s, p: s.SetVideoEncodeParam(v.STREAM_TYPE_VIDEO_LOW, p), {"type": 3}),
    ("EnableVoiceActivityDetection", v.VADParams, VAD,
     lambda s, p: s.EnableVoiceActivityDetection(p), {}),
]


@pytest.mark.parametrize("variant", [0, 1])
@pytest.mark.parametrize("operation, cls, values, call, fixed", LAYOUT_CASES,
                         ids=[c[0] for c in LAYOUT_CASES])
def test_engine_receives_every_field_as_set(session, operation, cls, values, call, fixed, variant):
    s, engine = session
    record = cls()
    fill(record, values, variant)
    assert {path: engine_form(read(record, path)) for path in values} == expected(values, variant)
    assert all(type(read(record, p)) is bool for p, c in values.items() if type(c[0]) is bool)
    call(s, record)
    assert single_call(engine) == (operation, {**expected(values, variant), **fixed})


@pytest.mark.parametrize("call", [
    lambda s: s.EnterRoom(None), lambda s: s.EnterRoom(v.RoomParams()),
    lambda s: s.CreateLocalAudioChannel(None),
    lambda s: s.CreateLocalAudioChannel(v.VideoEncodeParams()),
    lambda s: s.SetVideoEncodeParam(v.STREAM_TYPE_VIDEO_HIGH, None),
    lambda s: s.SetVideoEncodeParam(None, v.VideoEncodeParams()),
    lambda s: s.SetVideoEncodeParam(2, v.VideoEncodeParams()),
    lambda s: s.EnableVoiceActivityDetection(None),
    lambda s: s.EnableVoiceActivityDetection(True),
])
def test_session_calls_reject_none_and_other_types(session, call):
    s, engine = session
    with pytest.raises(TypeError):
        call(s)
    assert control.journal_calls(engine) == []


# ---- Layout: engine to Python -------------------------------------------------------------

@pytest.mark.parametrize("slot, reason", [("OnRemoteUserEnterRoom", 0),
                                          ("OnRemoteUserExitRoom", -77)])
@pytest.mark.parametrize("user_id", [b"alice", "ünï ✓".encode(), b"", None])
def test_user_info_from_the_engine(delegate, session, slot, reason, user_id):
    _, engine = session
    control.emit_user(engine, slot, user_id, reason, where=control.CALLING_THREAD)
    (args,) = delegate.named(slot)
    assert type(args[0]) is v.UserInfo
    assert engine_form(args[0].user_id) == user_id
    assert args[1:] == (() if slot == "OnRemoteUserEnterRoom" else (reason,))


def test_user_info_with_invalid_utf8_from_the_engine(delegate, session):
    _, engine = session
    control.emit_user(engine, "OnRemoteUserEnterRoom", b"bad\xff", where=control.CALLING_THREAD)
    (info,), = delegate.named("OnRemoteUserEnterRoom")
    for read_text in (v.KwixString.GetValue, str, repr):
        with pytest.raises(UnicodeDecodeError):
            read_text(info.user_id)


@pytest.mark.parametrize("local, remotes", [
    ((b"me", 1), [(b"r1", 6), ("rémi".encode(), 0), (b"", 3), (None, 99)]),
    ((b"solo", 5), []),
    ((None, 2), [(b"only", 4)]),
])
def test_network_quality_info_from_the_engine(delegate, session, local, remotes):
    _, engine = session
    control.emit_network_quality(engine, local[0], local[1], remotes, where=control.CALLING_THREAD)
    (got_local, got_remotes), = delegate.named("OnNetworkQuality")
    # A null local report reaches Python as a default record.
    want_local = local if local[0] is not None else (b"", int(v.NETWORK_QUALITY_DOWN))
    assert type(got_local) is v.NetworkQualityInfo and type(got_remotes) is list
    assert all(type(q) is v.NetworkQualityInfo and type(q.quality) is v.NetworkQuality
               for q in [got_local] + got_remotes)
    got = [(engine_form(q.user_id), int(q.quality)) for q in [got_local] + got_remotes]
    assert got == [want_local] + remotes
    assert [q.quality.name for q in got_remotes if q.quality.value == 99] == \
        ["???"] * sum(q == 99 for _, q in remotes)
