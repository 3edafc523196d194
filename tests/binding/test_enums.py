"""The engine's enumerations as Python classes: members, names, text forms, equality,
operators, hashing, pickling, construction ranges, and the enumeration-typed fields of
records and frames."""
import copy
import operator
import pickle

import pytest

import _velmora as v

SIGNED = {"Error", "StreamType"}
ENUMERATIONS = {
    "Error": [("ERR_OK", 0), ("ERR_FAILED", -1), ("ERR_INVALID_PARAMETER", -2),
              ("ERR_INVALID_OPERATION", -3), ("ERR_NOT_SUPPORTED", -4),
              ("ERR_REQUEST_SERVER_TIMEOUT", -6), ("ERR_SERVER_PROCESS_FAILED", -7),
              ("ERR_READ_TRY_AGAIN", -102), ("ERR_NETWORK_UNREACHABLE", -103),
              ("ERR_ENTER_ROOM_FAILED", -3301), ("ERR_INVALID_SDK_APP_ID", -3317),
              ("ERR_INVALID_ROOM_ID", -3318), ("ERR_INVALID_USER_ID", -3319),
              ("ERR_INVALID_USER_SIG", -3320), ("ERR_SERVICE_SUSPENDED", -100013),
              ("ERR_BANNED_BY_SERVER", -205)],
    "VideoCodecType": [("VIDEO_CODEC_TYPE_H264", 0), ("VIDEO_CODEC_TYPE_H265", 1)],
    "AudioCodecType": [("AUDIO_CODEC_TYPE_PCM", 0), ("AUDIO_CODEC_TYPE_OPUS", 1),
                       ("AUDIO_CODEC_TYPE_AAC", 2)],
    "KWIXRole": [("KWIX_ROLE_ANCHOR", 0), ("KWIX_ROLE_AUDIENCE", 1)],
    "KWIXScene": [("KWIX_SCENE_VIDEO_CALL", 0), ("KWIX_SCENE_AUDIO_CALL", 1),
                  ("KWIX_SCENE_LIVE", 2), ("KWIX_SCENE_VOICE_CHAT", 3), ("KWIX_SCENE_RECORD", 4)],
    # Registration order, not the engine's declaration order.
    "StreamType": [("STREAM_TYPE_UNKNOWN", -1), ("STREAM_TYPE_VIDEO_HIGH", 2),
                   ("STREAM_TYPE_VIDEO_LOW", 3), ("STREAM_TYPE_VIDEO_AUX", 7),
                   ("STREAM_TYPE_AUDIO", 1)],
    "AudioObtainMethod": [("AUDIO_OBTAIN_METHOD_GET", 0), ("AUDIO_OBTAIN_METHOD_CALLBACK", 1)],
    "NetworkQuality": [("NETWORK_QUALITY_UNKNOWN", 0), ("NETWORK_QUALITY_EXCELLENT", 1),
                       ("NETWORK_QUALITY_GOOD", 2), ("NETWORK_QUALITY_POOR", 3),
                       ("NETWORK_QUALITY_BAD", 4), ("NETWORK_QUALITY_VERY_BAD", 5),
                       ("NETWORK_QUALITY_DOWN", 6)],
    "ConnectionState": [("CONNECTION_STATE_INIT", 0), ("CONNECTION_STATE_DISCONNECTED", 1),
                        ("CONNECTION_STATE_CONNECTING", 2), ("CONNECTION_STATE_CONNECTED", 3)],
    "VideoRotation": [("VIDEO_ROTATION_0", 0), ("VIDEO_ROTATION_90", 1),
                      ("VIDEO_ROTATION_180", 2), ("VIDEO_ROTATION_270", 3)],
    "VideoPixelFormat": [("VIDEO_PIXEL_FORMAT_YUV420p", 0), ("VIDEO_PIXEL_FORMAT_YUVA420p", 1),
                         ("VIDEO_PIXEL_FORMAT_RGBA", 2)],
}
MEMBERS = [(e, n, val) for e, members in ENUMERATIONS.items() for n, val in members]

# Every enumeration-typed field: (class, attribute, enumeration, a non-default member).
ENUM_FIELDS = [
    (v.EnterRoomParams, "scene", v.KWIXScene, v.KWIX_SCENE_LIVE),
    (v.EnterRoomParams, "role", v.KWIXRole, v.KWIX_ROLE_AUDIENCE),
    (v.AudioObtainParams, "audio_obtain_method", v.AudioObtainMethod, v.AUDIO_OBTAIN_METHOD_GET),
    (v.AudioObtainParams, "output_audio_codec_type", v.AudioCodecType, v.AUDIO_CODEC_TYPE_AAC),
    (v.NetworkQualityInfo, "quality", v.NetworkQuality, v.NETWORK_QUALITY_GOOD),
    (v.AudioFrame, "codec", v.AudioCodecType, v.AUDIO_CODEC_TYPE_OPUS),
    (v.VideoFrame, "codec", v.VideoCodecType, v.VIDEO_CODEC_TYPE_H265),
    (v.VideoFrame, "rotation", v.VideoRotation, v.VIDEO_ROTATION_270),
    (v.PixelFrame, "format", v.VideoPixelFormat, v.VIDEO_PIXEL_FORMAT_RGBA),
    (v.PixelFrame, "rotation", v.VideoRotation, v.VIDEO_ROTATION_90),
]


@pytest.mark.parametrize("enum_name", ENUMERATIONS)
def test_class_members_order_doc_and_export(enum_name):
    E = getattr(v, enum_name)
    names = [n for n, _ in ENUMERATIONS[enum_name]]
    members = E.__members__
    assert list(members) == names
    assert E.__members__ is not members  # a new dictionary on every access
    members.clear()
    assert list(E.__members__) == names
    assert E.__doc__ == "Members:" + "".join(f"\n\n  {n}" for n in names)
    assert not issubclass(E, int)
    for n in names:
        assert getattr(v, n) is getattr(E, n) is E.__members__[n]


@pytest.mark.parametrize("enum_name, name, value", MEMBERS)
def test_member_value_name_text_and_hash(enum_name, name, value):
    E = getattr(v, enum_name)
    m = getattr(E, name)
    assert type(m) is E and not isinstance(m, int)
    assert (m.name, m.value, int(m), operator.index(m)) == (name, value, value, value)
    assert str(m) == f"{enum_name}.{name}"
    assert repr(m) == f"<{enum_name}.{name}: {value}>"
    assert hash(m) == hash(value)
    built = E(value)
    assert built == m and built is not m and built.name == name


@pytest.mark.parametrize("left, right, equal", [
    (v.STREAM_TYPE_AUDIO, 1, True),
    (1, v.STREAM_TYPE_AUDIO, True),
    (v.STREAM_TYPE_AUDIO, 2, False),
    (v.STREAM_TYPE_UNKNOWN, -1, True),
    (v.ERR_SERVICE_SUSPENDED, -100013, True),
    (v.STREAM_TYPE_AUDIO, v.KWIX_ROLE_AUDIENCE, True),  # another enumeration, same value
    (v.STREAM_TYPE_AUDIO, v.KWIX_ROLE_ANCHOR, False),
    (v.STREAM_TYPE_AUDIO, v.StreamType(1), True),
    (v.CONNECTION_STATE_INIT, None, False),
    (v.CONNECTION_STATE_INIT, 0, True),
    (v.CONNECTION_STATE_INIT, "0", False),
    (v.STREAM_TYPE_AUDIO, 1.0, True),
])
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)


BINARY = [operator.lt, operator.le, operator.gt, operator.ge, operator.add, operator.sub,
          operator.mul, operator.and_, operator.or_, operator.xor, operator.lshift]


@pytest.mark.parametrize("op", BINARY, ids=lambda op: op.__name__)
@pytest.mark.parametrize("other", [v.STREAM_TYPE_VIDEO_HIGH, 2], ids=["member", "int"])
def test_no_ordering_arithmetic_or_bitwise_operators(op, other):
    with pytest.raises(TypeError):
        op(v.STREAM_TYPE_AUDIO, other)
    with pytest.raises(TypeError):
        op(other, v.STREAM_TYPE_AUDIO)


@pytest.mark.parametrize("op", [operator.invert, operator.neg, operator.pos, abs])
def test_no_unary_operators(op):
    with pytest.raises(TypeError):
        op(v.KWIX_SCENE_LIVE)


def test_name_and_value_are_read_only():
    m = v.StreamType(2)
    for attribute in ("name", "value"):
        with pytest.raises(AttributeError):
            setattr(m, attribute, 3)
    assert (m.name, m.value) == ("STREAM_TYPE_VIDEO_HIGH", 2)


@pytest.mark.parametrize("member", [v.STREAM_TYPE_UNKNOWN, v.STREAM_TYPE_VIDEO_AUX,
                                    v.StreamType(5), v.ERR_SERVICE_SUSPENDED,
                                    v.KWIXRole(2**32 - 1), v.VIDEO_PIXEL_FORMAT_RGBA])
def test_pickling_and_copying(member):
    E = type(member)
    for clone in (pickle.loads(pickle.dumps(member, protocol)) for protocol in range(2, 6)):
        assert type(clone) is E and clone.value == member.value and clone.name == member.name
    for clone in (copy.copy(member), copy.deepcopy(member)):
        assert type(clone) is E and clone == member
    assert member.__getstate__() == member.value
    assert type(member.__getstate__()) is int
    target = E.__new__(E)
    assert target.__setstate__(member.__getstate__()) is None
    assert type(target) is E and target.value == member.value and target.name == member.name


def test_setstate_parameter_is_the_state():
    # The binding library registers the parameter as `state`, positional only.
    assert v.StreamType.__setstate__.__doc__.startswith(
        "__setstate__(self: _velmora.StreamType, state: typing.SupportsInt | typing.SupportsIndex, /)")
    target = v.StreamType.__new__(v.StreamType)
    target.__setstate__(7)
    assert target == v.STREAM_TYPE_VIDEO_AUX


@pytest.mark.parametrize("enum_name", ENUMERATIONS)
def test_construction_range(enum_name):
    E = getattr(v, enum_name)
    lo, hi = (-2**31, 2**31 - 1) if enum_name in SIGNED else (0, 2**32 - 1)
    known = {val: n for n, val in ENUMERATIONS[enum_name]}
    for value in (lo, hi, 5 if 5 not in known else 99):
        e = E(value=value)
        name = known.get(value, "???")
        assert type(e) is E and e.value == value and e.name == name
        assert repr(e) == f"<{enum_name}.{name}: {value}>" and str(e) == f"{enum_name}.{name}"
    for bad in (lo - 1, hi + 1, 2**64, 1.0, "1", None, b"\x01"):
        with pytest.raises(TypeError):
            E(bad)
    with pytest.raises(TypeError):
        E()


@pytest.mark.parametrize("cls, attribute, E, member", ENUM_FIELDS,
                         ids=[f"{c.__name__}.{a}" for c, a, _, _ in ENUM_FIELDS])
def test_enumeration_fields(cls, attribute, E, member):
    obj = cls()
    before = getattr(obj, attribute)
    assert type(before) is E and before != member
    setattr(obj, attribute, member)
    after = getattr(obj, attribute)
    assert type(after) is E and after == member and after.name == member.name
    assert before != member  # a value read earlier keeps the value it had then
    assert before == type(before)(before.value) and before.name != member.name
    assert getattr(obj, attribute) is not getattr(obj, attribute)
    unnamed = E(99)
    setattr(obj, attribute, unnamed)
    assert getattr(obj, attribute).name == "???" and getattr(obj, attribute).value == 99
    assert after == member  # still the old value after the field changed
    setattr(obj, attribute, member)
    other = next(m for m in (v.STREAM_TYPE_AUDIO, v.ERR_FAILED, v.CONNECTION_STATE_CONNECTED)
                 if type(m) is not E)
    for wrong in (member.value, int(member), True, False, other, None, str(member)):
        with pytest.raises(TypeError):
            setattr(obj, attribute, wrong)
        assert getattr(obj, attribute) == member and type(getattr(obj, attribute)) is E
