"""Callback arguments as plain JSON values and back, so a recorded callback can be written to a
file and replayed with arguments equal to the ones the delegate received.

Every value keeps all it carries: texts, enumeration values, every frame field and the whole
payload (base64). decode(encode(x)) gives a new object of x's class with the same fields."""
import base64

import _velmora as v

ENUMS = {name: getattr(v, name) for name in (
    "Error", "ConnectionState", "StreamType", "NetworkQuality", "AudioCodecType",
    "VideoCodecType", "VideoRotation", "VideoPixelFormat")}

# Frame fields in the order they are written; enumeration fields name their class.
FRAME_FIELDS = {
    "AudioFrame": (("sample_rate", None), ("channels", None), ("bits_per_sample", None),
                   ("codec", "AudioCodecType"), ("pts", None), ("has_voice", None)),
    "VideoFrame": (("codec", "VideoCodecType"), ("is_key_frame", None), ("rotation", "VideoRotation"),
                   ("pts", None), ("dts", None)),
    "PixelFrame": (("format", "VideoPixelFormat"), ("rotation", "VideoRotation"), ("width", None),
                   ("height", None), ("pts", None)),
}


def _text(kwix_string):
    return kwix_string.GetValue()


def _enum_name(value):
    for name, cls in ENUMS.items():
        if isinstance(value, cls):
            return name
    return None


def encode(value):
    """A JSON-ready form of one callback argument."""
    if value is None or isinstance(value, (bool, str)):
        return value
    enum = _enum_name(value)
    if enum is not None:
        return {"enum": enum, "value": int(value)}
    if isinstance(value, int):
        return value
    if isinstance(value, bytes):
        return {"bytes": base64.b64encode(value).decode()}
    if isinstance(value, list):
        return {"list": [encode(item) for item in value]}
    if isinstance(value, v.UserInfo):
        return {"UserInfo": {"user_id": _text(value.user_id)}}
    if isinstance(value, v.NetworkQualityInfo):
        return {"NetworkQualityInfo": {"user_id": _text(value.user_id), "quality": int(value.quality)}}
    kind = type(value).__name__
    if kind in FRAME_FIELDS and isinstance(value, getattr(v, kind)):
        fields = {name: (int(getattr(value, name)) if enum else getattr(value, name))
                  for name, enum in FRAME_FIELDS[kind]}
        fields["data"] = base64.b64encode(value.data).decode()
        return {kind: fields}
    raise TypeError(f"cannot record a callback argument of type {type(value).__name__}")


def _record_with_user(cls, user_id):
    record = cls()
    if user_id is not None:
        record.user_id.SetValue(user_id)
    return record


def decode(value):
    """The Python object that encode() described."""
    if not isinstance(value, dict):
        return value
    if "enum" in value:
        return ENUMS[value["enum"]](value["value"])
    if "bytes" in value:
        return base64.b64decode(value["bytes"])
    if "list" in value:
        return [decode(item) for item in value["list"]]
    (kind, fields), = value.items()
    if kind == "UserInfo":
        return _record_with_user(v.UserInfo, fields["user_id"])
    if kind == "NetworkQualityInfo":
        record = _record_with_user(v.NetworkQualityInfo, fields["user_id"])
        record.quality = v.NetworkQuality(fields["quality"])
        return record
    if kind in FRAME_FIELDS:
        frame = getattr(v, kind)()
        for name, enum in FRAME_FIELDS[kind]:
            setattr(frame, name, ENUMS[enum](fields[name]) if enum else fields[name])
        frame.SetData(base64.b64decode(fields["data"]))
        return frame
    raise ValueError(f"unknown recorded value {kind!r}")


def brief(value):
    """A short human form of an encoded value, for timelines and failure messages; any other
    JSON value (a send's parameter record, a damaged entry) is shown as it is."""
    try:
        return _brief(value)
    except (KeyError, ValueError, TypeError, AttributeError, OverflowError, RecursionError):
        import json
        text = json.dumps(value, default=repr)
        return text if len(text) <= 80 else text[:77] + "..."


def _brief(value):
    if isinstance(value, dict):
        if "enum" in value:
            member = ENUMS[value["enum"]](value["value"])
            return member.name
        if "bytes" in value:
            raw = base64.b64decode(value["bytes"])
            return repr(raw[:40]) + ("..." if len(raw) > 40 else "")
        if "list" in value:
            return "[" + ", ".join(_brief(item) for item in value["list"]) + "]"
        (kind, fields), = value.items()
        if kind in ("UserInfo", "NetworkQualityInfo"):
            return fields["user_id"] if kind == "UserInfo" else \
                f"{fields['user_id']}:{v.NetworkQuality(fields['quality']).name}"
        return f"{kind}(pts={fields.get('pts')}, {len(base64.b64decode(fields['data']))} bytes)"
    return repr(value)
