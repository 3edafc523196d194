"""The loopback engine's control API from Python: find sessions and read what they received,
wait for them, emit callbacks, turn fault switches, shape the simulated network and drive the
engine clock.

Only the loopback build of libvelmora.so has these functions (see
engine/include/velmora_loopback.h); `available()` tells whether the engine beside the module
is that build. Calls go through ctypes.CDLL, which releases the interpreter lock for each
call, so waiting for a session never blocks the callbacks it waits for; callbacks emitted on
the "calling thread holding the lock" go through ctypes.PyDLL instead, as a session call
would. Each function checks the engine's status and raises on a refusal (ControlError,
ValueError or TimeoutError, saying what was refused); `library()` gives the C functions
themselves, for calls these functions would refuse to make.
"""
import ctypes
import os
from ctypes import (POINTER, c_char_p, c_double, c_int, c_int32, c_int64, c_size_t, c_uint32,
                    c_uint64, c_void_p)

import _velmora

from . import network as _network

OK = 0
NULL = -1
ABSENT = -2
UNKNOWN_SLOT = -3
NOT_MANUAL = -4
INVALID = -5
# Where an emitted callback runs (the C API's `where`): queued to the session's engine
# thread, or called at once on the thread calling the control API.
ON_ENGINE_THREAD = 0
ON_CALLING_THREAD = 1
# The places an emit_* function runs a callback: ON_ENGINE_THREAD; ON_CALLING_THREAD with the
# interpreter lock released (as on a foreign thread); ON_CALLING_THREAD with the lock held (as
# inside a session call).
ENGINE_THREAD = "engine thread"
CALLING_THREAD = "calling thread"
CALLING_THREAD_HOLDING_LOCK = "calling thread holding the lock"
EMIT_PLACES = (ENGINE_THREAD, CALLING_THREAD, CALLING_THREAD_HOLDING_LOCK)
# Levels of log_write (those of QVLiveSDK::SetLogLevel).
LOG_DEBUG, LOG_INFO, LOG_WARNING, LOG_ERROR, LOG_OFF = range(5)
DIRECTIONS = {"uplink": 0, "downlink": 1, "both": 2}
# error_code of OnMissCustomCmdMsg: lost by the simulated network, lost to the receiver's bound.
MISS_LOST_IN_TRANSIT = 1
MISS_QUEUE_FULL = 2
DEFAULT_NETWORK_TIMEOUT_MS = _network.RUN_FIELDS["network_timeout_ms"].engine_default
DEFAULT_QUALITY_REPORT_MS = _network.RUN_FIELDS["quality_report_ms"].engine_default

LIBRARY_PATH = os.path.join(os.path.dirname(os.path.abspath(_velmora.__file__)), "libvelmora.so")

class ControlError(RuntimeError):
    """The engine beside the module lacks a control function the caller needs, or refused a
    call; `status` is the engine's answer then (ABSENT: no such live session), else None."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status


# Every function of the control API with its C signature.
SIGNATURES = {
    "vlb_settings_calls": (c_int, [c_char_p]),
    "vlb_settings_text": (c_int64, [c_char_p, c_int, c_void_p, c_size_t]),
    "vlb_settings_int": (c_int, [c_char_p, c_int, POINTER(c_int64)]),
    "vlb_settings_reset": (None, []),
    "vlb_log_file": (c_int64, [c_void_p, c_size_t]),
    "vlb_log_set_rotation": (None, [c_uint64, c_int]),
    "vlb_log_set_retry_interval": (c_int, [c_int64]),
    "vlb_log_write": (None, [c_int, c_char_p]),
    "vlb_log_flush": (None, []),
    "vlb_describe_default": (c_int64, [c_char_p, c_void_p, c_size_t]),
    "vlb_frame_data_calls": (c_uint64, []),
    "vlb_session_count": (c_size_t, []),
    "vlb_session_at": (c_void_p, [c_size_t]),
    "vlb_session_find": (c_void_p, [c_char_p]),
    "vlb_session_delegate": (c_void_p, [c_void_p]),
    "vlb_session_user": (c_int64, [c_void_p, c_void_p, c_size_t]),
    "vlb_session_room": (c_int64, [c_void_p, c_void_p, c_size_t]),
    "vlb_journal_count": (c_size_t, [c_void_p]),
    "vlb_journal_entry": (c_int64, [c_void_p, c_size_t, c_void_p, c_size_t]),
    "vlb_journal_clear": (None, [c_void_p]),
    "vlb_journal_full_payloads": (None, [c_int]),
    "vlb_wait_idle": (c_int, [c_void_p, c_int]),
    "vlb_dropped_frames": (c_uint64, [c_void_p]),
    "vlb_delivered_frames": (c_uint64, [c_void_p]),
    "vlb_emit_error": (c_int, [c_void_p, c_int, c_int]),
    "vlb_emit_connection_state": (c_int, [c_void_p, c_int, c_int, c_int]),
    "vlb_emit_event": (c_int, [c_void_p, c_int, c_char_p]),
    "vlb_emit_stream_event": (c_int, [c_void_p, c_int, c_char_p, c_int]),
    "vlb_emit_bitrate_request": (c_int, [c_void_p, c_int, c_int, c_int]),
    "vlb_emit_user": (c_int, [c_void_p, c_int, c_char_p, c_char_p, c_int]),
    "vlb_emit_audio_available": (c_int, [c_void_p, c_int, c_char_p, c_int]),
    "vlb_emit_video_available": (c_int, [c_void_p, c_int, c_char_p, c_int, c_int]),
    "vlb_emit_audio_frame": (c_int, [c_void_p, c_int, c_int, c_char_p, c_int32, c_int32, c_int32,
                                     c_int, c_uint32, c_int, c_char_p, c_size_t]),
    "vlb_emit_video_frame": (c_int, [c_void_p, c_int, c_char_p, c_int, c_uint32, c_uint32, c_int,
                                     c_int, c_int, c_char_p, c_size_t]),
    "vlb_emit_pixel_frame": (c_int, [c_void_p, c_int, c_char_p, c_int, c_uint32, c_uint32,
                                     c_uint32, c_int, c_int, c_char_p, c_size_t]),
    "vlb_emit_sei": (c_int, [c_void_p, c_int, c_char_p, c_int, c_int, c_char_p, c_size_t]),
    "vlb_emit_custom_cmd": (c_int, [c_void_p, c_int, c_char_p, c_int32, c_uint32, c_char_p,
                                    c_size_t]),
    "vlb_emit_miss_custom_cmd": (c_int, [c_void_p, c_int, c_char_p, c_int32, c_uint32,
                                         c_uint32]),
    "vlb_emit_network_quality": (c_int, [c_void_p, c_int, c_char_p, c_int, POINTER(c_char_p),
                                         POINTER(c_int), c_size_t]),
    "vlb_emit_unexposed": (c_int, [c_void_p, c_int, c_char_p]),
    "vlb_fail_next_create": (None, []),
    "vlb_set_custom_cmd_loss": (c_int, [c_double]),
    "vlb_set_network_quality": (c_int, [c_char_p, c_int]),
    "vlb_set_network_quality_interval": (c_int, [c_int]),
    "vlb_set_media_queue_limit": (None, [c_size_t]),
    "vlb_set_receiver_queue_bytes": (None, [c_size_t]),
    "vlb_set_media_max_wait_ms": (c_int, [c_int64]),
    "vlb_queue_counters": (c_int, [c_void_p, POINTER(c_uint64), POINTER(c_uint64), POINTER(c_uint64)]),
    "vlb_reset_faults": (None, []),
    "vlb_network_link": (c_int, [c_char_p, c_int, c_int64, c_int64, c_double, c_double, c_double,
                                 c_double]),
    "vlb_network_disconnect": (c_int, [c_char_p, c_int64]),
    "vlb_network_unresponsive": (c_int, [c_char_p, c_int]),
    "vlb_network_timeout": (c_int, [c_int64]),
    "vlb_network_seed": (None, [c_uint64]),
    "vlb_network_forget": (c_int, [c_char_p]),
    "vlb_network_quality_of": (c_int, [c_char_p]),
    "vlb_network_bandwidth": (c_int, [c_char_p, c_int, c_int64]),
    "vlb_video_counters": (c_int, [c_void_p, POINTER(c_uint64), POINTER(c_uint64), POINTER(c_uint64),
                                   POINTER(c_uint64), POINTER(c_uint64)]),
    "vlb_video_encoder_new": (c_void_p, []),
    "vlb_video_encoder_free": (c_int, [c_void_p]),
    "vlb_video_encode": (c_int64, [c_void_p, c_char_p, c_size_t, c_int, c_int, c_int, c_int, c_int]),
    "vlb_video_encoded": (c_int64, [c_void_p, c_void_p, c_size_t]),
    "vlb_video_encoded_key": (c_int, [c_void_p]),
    "vlb_clock_manual": (c_int, [c_int]),
    "vlb_clock_advance": (c_int, [c_int64]),
    "vlb_clock_now": (c_int64, []),
    "vlb_audio_counters": (c_int, [c_void_p, POINTER(c_uint64), POINTER(c_uint64),
                                   POINTER(c_uint64), POINTER(c_uint64)]),
    "vlb_bus_connect": (c_int, [c_char_p]),
    "vlb_bus_connect_keyed": (c_int, [c_char_p, c_char_p]),
    "vlb_bus_disconnect": (c_int, []),
    "vlb_bus_error": (c_int64, [c_void_p, c_size_t]),
    "vlb_bus_counter": (c_int64, [c_char_p]),
    "vlb_bus_mask": (c_int64, [c_char_p, c_void_p, c_size_t]),
}


def load(loader=ctypes.CDLL):
    """The engine library with every control function's signature set. ctypes.CDLL releases
    the interpreter lock around each call; ctypes.PyDLL keeps it (to emit callbacks on a thread
    that holds it, as a session call does). Raises ControlError when the library is not the
    loopback engine."""
    try:
        lib = loader(LIBRARY_PATH)
    except OSError as error:
        raise ControlError(f"cannot load the engine library {LIBRARY_PATH}: {error}") from error
    for name, (restype, argtypes) in SIGNATURES.items():
        if not hasattr(lib, name):
            raise ControlError(f"{LIBRARY_PATH} has no {name}: velmora.testing needs the loopback engine, "
                               "not the production one")
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
    return lib


class _Control:
    """The library, loaded on first use (so that importing this module never fails): one
    handle that releases the interpreter lock around each call, one that keeps it."""

    def __init__(self):
        self._lib = None
        self._lib_holding_lock = None

    def lib(self):
        if self._lib is None:
            self._lib = load()
        return self._lib

    def lib_holding_lock(self):
        if self._lib_holding_lock is None:
            self._lib_holding_lock = load(ctypes.PyDLL)
        return self._lib_holding_lock

    def call(self, name, *args):
        return getattr(self.lib(), name)(*args)


_control = _Control()


def library(holding_lock=False):
    """The engine library with every control function's signature set, for calling the C API
    itself: to pass what the functions of this module refuse (null pointers, values out of
    range) and see the engine's own answer. holding_lock=True gives the handle that keeps the
    interpreter lock during each call."""
    return _control.lib_holding_lock() if holding_lock else _control.lib()


def _encode(text):
    """A text argument as the C API takes it: str as UTF-8, bytes as they are (any bytes, to
    hand the engine what no str encodes), None as a null pointer."""
    if isinstance(text, str):
        return text.encode()
    if text is None or isinstance(text, bytes):
        return text
    raise TypeError(f"a text argument is a str, bytes or None, not {type(text).__name__}")


def available():
    """True when the engine beside the module is the loopback engine."""
    try:
        _control.lib()
    except ControlError:
        return False
    return True


# ---- Sessions -------------------------------------------------------------------------------

def session_count():
    """How many engine sessions are alive."""
    return _control.call("vlb_session_count")


def sessions():
    """Engine pointers of the live sessions, oldest first."""
    lib = _control.lib()
    live = (lib.vlb_session_at(i) for i in range(lib.vlb_session_count()))
    return [session for session in live if session]  # one may end between count and look-up


def newest_session():
    """The engine pointer of the session created last (the one a KWIXCloud() just made)."""
    live = sessions()
    if not live:
        raise ControlError("no live engine session")
    return live[-1]


def find_session(user_id):
    """The newest live session in a room as `user_id`, or None."""
    return _control.call("vlb_session_find", _encode(user_id))


def session_delegate(session):
    """The delegate pointer `session` was created with: an int, or None for none (or for no
    live session)."""
    return _control.call("vlb_session_delegate", session)


def session_user(session):
    """The user id `session` is in a room as (bytes), or ABSENT when it is in none."""
    return read_text(_control.lib().vlb_session_user, session)


def session_room(session):
    """The room `session` is in (bytes, "<sdk_app_id>/s:<str_room_id>" or
    "<sdk_app_id>/n:<room_id>"), or ABSENT when it is in none."""
    return read_text(_control.lib().vlb_session_room, session)


def wait_idle(session, timeout_ms=5000):
    """Waits until `session` has no queued or running callback; raises TimeoutError if it
    does not become idle in time. A session that is gone counts as idle."""
    status = _control.call("vlb_wait_idle", session, timeout_ms)
    if status not in (OK, ABSENT):
        raise TimeoutError(f"engine session {session:#x} still had callbacks after {timeout_ms} ms")


def settle(session_pointers, rounds=3):
    """Waits until every given session is idle. Several rounds, because a callback may make
    calls that queue callbacks for the others."""
    for _ in range(rounds):
        for session in session_pointers:
            wait_idle(session)


def read_text(function, *args):
    """Calls a control function that copies a text out (`function(*args, buffer, capacity)`
    returning the text's whole length, or a negative status), growing the buffer until the
    text fits: the bytes, or the negative status."""
    capacity = 256
    while True:
        buffer = ctypes.create_string_buffer(capacity)
        length = function(*args, buffer, capacity)
        if length < 0:
            return length
        if length <= capacity:
            return buffer.raw[:length]
        capacity = length


def journal(session):
    """The session calls the engine session received, oldest first, as text lines
    ("SendCustomCmdMsg cmd_id=7 message=x616263 reliable=1 ordered=0")."""
    lib = _control.lib()
    entries = []
    for index in range(lib.vlb_journal_count(session)):
        text = read_text(lib.vlb_journal_entry, session, index)
        if not isinstance(text, int):
            entries.append(text.decode())
    return entries


def journal_calls(session):
    """The journal read: [(operation, {argument: value})], oldest first, each value as
    parse_value gives it."""
    entries = []
    for line in journal(session):
        operation, _, arguments = line.partition(" ")
        entries.append((operation, parse_description(arguments)))
    return entries


def last_call(session, operation=None):
    """The last (operation, {argument: value}) of the journal, of `operation` if given;
    raises ControlError when there is none."""
    entries = [e for e in journal_calls(session) if operation is None or e[0] == operation]
    if not entries:
        raise ControlError(f"the engine session received no {operation or 'call'}")
    return entries[-1]


def journal_clear(session):
    """Forgets what the journal of `session` holds."""
    _control.call("vlb_journal_clear", session)


def journal_full_payloads(on=True):
    """Journals keep frame payloads byte for byte from now on (on), or as size and digest
    (off, the default; reset_faults restores it)."""
    _control.call("vlb_journal_full_payloads", 1 if on else 0)


def delivered_frames(session):
    """Media frames delivered to the delegate of `session` (audio, video and pixel alike)."""
    return _control.call("vlb_delivered_frames", session)


def dropped_frames(session):
    """Media frames dropped because the queue of `session` was full."""
    return _control.call("vlb_dropped_frames", session)


# ---- What waits for a receiver ----------------------------------------------------------------

def queue_counters(session):
    """What waits in the session's callback queue now and what its byte bound dropped:
    {"queued_bytes", "unreliable_dropped", "reliable_lost"}, or None for no live session."""
    values = [c_uint64() for _ in range(3)]
    if _control.call("vlb_queue_counters", session, *values) != OK:
        return None
    return dict(zip(("queued_bytes", "unreliable_dropped", "reliable_lost"), (v.value for v in values)))


def audio_counters(session):
    """{'accepted', 'refused', 'delivered', 'dropped'}: audio frames sent by `session` and
    refused, and frames for it delivered and dropped. Raises ControlError for no live session."""
    values = [c_uint64() for _ in range(4)]
    status = _control.call("vlb_audio_counters", session, *[ctypes.byref(value) for value in values])
    if status != OK:
        raise ControlError(f"no live engine session {session:#x} to count audio frames of", status)
    return dict(zip(("accepted", "refused", "delivered", "dropped"), (value.value for value in values)))


# ---- Descriptions ---------------------------------------------------------------------------

class Digest(tuple):
    """A payload described by its size and digest ("#<size>:<digest>")."""

    size = property(lambda self: self[0])
    digest = property(lambda self: self[1])


def parse_value(value):
    """One value of a description: None for "null", bytes for "x<hex>", a Digest for
    "#<size>:<digest>", "set" as it is, else an int."""
    if value == "null":
        return None
    if value.startswith("x"):
        return bytes.fromhex(value[1:])
    if value.startswith("#"):
        size, _, digest = value[1:].partition(":")
        return Digest((int(size), digest))
    if value == "set":
        return value
    return int(value)


def parse_description(text):
    """'a=1 b=x6162 c=null' -> {'a': 1, 'b': b'ab', 'c': None}."""
    if isinstance(text, bytes):
        text = text.decode()
    items = {}
    for item in text.split():
        name, _, value = item.partition("=")
        items[name] = parse_value(value)
    return items


def describe_default(type_name):
    """{field: value} of a record as the engine's default constructor makes it: `type_name`
    is "KwixString", "RoomParams", "EnterRoomParams", "AudioFrame", "VideoFrame" or
    "PixelFrame"."""
    text = read_text(_control.lib().vlb_describe_default, _encode(type_name))
    if isinstance(text, int):
        raise ValueError(f"the engine describes no record type {type_name!r}")
    return parse_description(text)


def frame_data_calls():
    """How often data() of any frame was called in this process."""
    return _control.call("vlb_frame_data_calls")


# ---- Settings and the log -------------------------------------------------------------------
# `name` is a QVLiveSDK function ("SetSocks5Proxy"), `index` an argument's 0-based position.

def settings_calls(name):
    """Calls of QVLiveSDK function `name` since the last reset."""
    calls = _control.call("vlb_settings_calls", _encode(name))
    if calls == ABSENT:
        raise ValueError(f"the engine records no settings function {name!r}")
    return calls


def settings_text(name, index=0):
    """The text argument `index` of the last call of `name`: bytes, None for a null pointer,
    ABSENT if there was no call."""
    result = read_text(_control.lib().vlb_settings_text, _encode(name), index)
    return None if result == NULL else result


def settings_int(name, index=0):
    """The integer or bool argument `index` of the last call of `name`, or ABSENT."""
    value = c_int64()
    status = _control.call("vlb_settings_int", _encode(name), index, ctypes.byref(value))
    return value.value if status == OK else ABSENT


def settings_reset():
    """Forgets every recorded settings call and restores the default settings."""
    _control.call("vlb_settings_reset")


def log_file():
    """The path of the log file being written, or None when none is open."""
    path = read_text(_control.lib().vlb_log_file)
    return None if isinstance(path, int) else path.decode()


def log_set_rotation(max_bytes, keep):
    """The log file rotates when it would grow past `max_bytes`, keeping `keep` rotated files."""
    _control.call("vlb_log_set_rotation", max_bytes, keep)


def log_set_retry_interval(interval_ms):
    """After the log file could not be written, the log tries it again `interval_ms` (0 to
    86400000, default 1000) after the failure, losing and counting lines meanwhile; a shorter
    interval brings a pending retry forward. settings_reset restores the default."""
    if isinstance(interval_ms, bool) or not isinstance(interval_ms, int) or not 0 <= interval_ms <= 86400000:
        raise ValueError(f"the log's retry interval is an integer from 0 to 86400000 ms, not {interval_ms!r}")
    if _control.call("vlb_log_set_retry_interval", interval_ms) != OK:
        raise ValueError(f"the engine refused the log's retry interval {interval_ms} ms")


def log_write(level, text):
    """Writes one line at `level` (LOG_DEBUG to LOG_ERROR) as the engine's own code does."""
    _control.call("vlb_log_write", level, _encode(text))


def log_flush():
    """Waits until every line written so far is in the file and every rotated file is
    compressed."""
    _control.call("vlb_log_flush")


# ---- Emitting callbacks ---------------------------------------------------------------------
# Each calls one delegate slot of a session with exactly the arguments given: user ids and
# messages may be None (a null pointer) or bytes that are not UTF-8, enumeration values need
# not have a name. `where` is one of EMIT_PLACES. Raises ControlError for no live session.

def _emit(function, session, where, *args):
    if where not in EMIT_PLACES:
        raise ValueError(f"where is one of {', '.join(map(repr, EMIT_PLACES))}, not {where!r}")
    lib = library(holding_lock=where == CALLING_THREAD_HOLDING_LOCK)
    status = getattr(lib, function)(session, ON_ENGINE_THREAD if where == ENGINE_THREAD else ON_CALLING_THREAD,
                                    *args)
    if status == UNKNOWN_SLOT:
        raise ValueError(f"{function} emits no slot {args[0]!r}")
    if status != OK:
        raise ControlError(f"{function}: no live engine session {session:#x}", status)


def _payload(data):
    return (None, 0) if data is None else (bytes(data), len(data))


def emit_error(session, error, *, where=ENGINE_THREAD):
    """OnError(error)."""
    _emit("vlb_emit_error", session, where, int(error))


def emit_connection_state(session, old, new, *, where=ENGINE_THREAD):
    """OnConnectionStateChanged(old, new)."""
    _emit("vlb_emit_connection_state", session, where, int(old), int(new))


def emit_event(session, slot, *, where=ENGINE_THREAD):
    """A callback without arguments: "OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated"
    or "OnLocalAudioChannelDestroyed"."""
    _emit("vlb_emit_event", session, where, _encode(slot))


def emit_stream_event(session, slot, stream_type, *, where=ENGINE_THREAD):
    """A callback with a stream type: "OnLocalVideoChannelCreated",
    "OnLocalVideoChannelDestroyed" or "OnRequestKeyFrame"."""
    _emit("vlb_emit_stream_event", session, where, _encode(slot), int(stream_type))


def emit_bitrate_request(session, stream_type, bitrate_bps, *, where=ENGINE_THREAD):
    """OnRequestChangeVideoEncodeBitrate(stream_type, bitrate_bps)."""
    _emit("vlb_emit_bitrate_request", session, where, int(stream_type), bitrate_bps)


def emit_user(session, slot, user_id, reason=0, *, where=ENGINE_THREAD):
    """`slot` of `user_id`: "OnRemoteUserEnterRoom" (reason unused) or "OnRemoteUserExitRoom"."""
    _emit("vlb_emit_user", session, where, _encode(slot), _encode(user_id), reason)


def emit_audio_available(session, user_id, available, *, where=ENGINE_THREAD):
    """OnRemoteAudioAvailable(user_id, available)."""
    _emit("vlb_emit_audio_available", session, where, _encode(user_id), 1 if available else 0)


def emit_video_available(session, user_id, available, stream_type, *, where=ENGINE_THREAD):
    """OnRemoteVideoAvailable(user_id, available, stream_type)."""
    _emit("vlb_emit_video_available", session, where, _encode(user_id), 1 if available else 0, int(stream_type))


def emit_audio_frame(session, user_id, data, *, mixed=False, sample_rate=48000, channels=1, bits_per_sample=16,
                     codec=0, pts=0, has_voice=False, where=ENGINE_THREAD):
    """OnRemoteAudioReceived(user_id, frame), or with mixed=True
    OnRemoteMixedAudioReceived(frame) (user_id unused); data None is a null payload. The
    keywords of this and the other frames are the frames' own fields."""
    _emit("vlb_emit_audio_frame", session, where, 1 if mixed else 0, _encode(user_id), sample_rate, channels,
          bits_per_sample, int(codec), pts, 1 if has_voice else 0, *_payload(data))


def emit_video_frame(session, user_id, stream_type, data, *, pts=0, dts=0, is_key_frame=False, codec=0,
                     rotation=0, where=ENGINE_THREAD):
    """OnRemoteVideoFrameReceived(user_id, stream_type, frame)."""
    _emit("vlb_emit_video_frame", session, where, _encode(user_id), int(stream_type), pts, dts,
          1 if is_key_frame else 0, int(codec), int(rotation), *_payload(data))


def emit_pixel_frame(session, user_id, stream_type, data, *, pts=0, width=0, height=0, format=0, rotation=0,
                     where=ENGINE_THREAD):
    """OnRemotePixelFrameReceived(user_id, stream_type, frame)."""
    _emit("vlb_emit_pixel_frame", session, where, _encode(user_id), int(stream_type), pts, width, height,
          int(format), int(rotation), *_payload(data))


def emit_sei(session, user_id, stream_type, message_type, message, *, where=ENGINE_THREAD):
    """OnSeiMessageReceived(user_id, stream_type, message_type, message)."""
    _emit("vlb_emit_sei", session, where, _encode(user_id), int(stream_type), message_type, *_payload(message))


def emit_custom_cmd(session, user_id, cmd_id, seq, message, *, where=ENGINE_THREAD):
    """OnReceiveCustomCmdMsg(user_id, cmd_id, seq, message)."""
    _emit("vlb_emit_custom_cmd", session, where, _encode(user_id), cmd_id, seq, *_payload(message))


def emit_miss_custom_cmd(session, user_id, cmd_id, error_code, missed, *, where=ENGINE_THREAD):
    """OnMissCustomCmdMsg(user_id, cmd_id, error_code, missed)."""
    _emit("vlb_emit_miss_custom_cmd", session, where, _encode(user_id), cmd_id, error_code, missed)


def emit_network_quality(session, local_user, local_quality, remote=(), *, where=ENGINE_THREAD):
    """OnNetworkQuality: the local report (local_user None: a null one) and `remote`, a list
    of (user id, quality)."""
    users = (c_char_p * max(len(remote), 1))(*[_encode(user) for user, _ in remote])
    qualities = (c_int * max(len(remote), 1))(*[int(quality) for _, quality in remote])
    _emit("vlb_emit_network_quality", session, where, _encode(local_user), int(local_quality),
          users if remote else None, qualities if remote else None, len(remote))


def emit_unexposed(session, slot, *, where=ENGINE_THREAD):
    """A slot the module does not bind ("OnUserVoiceVolume", "OnReceiveAsrMessage",
    "OnAsrServiceError"), with sample arguments."""
    _emit("vlb_emit_unexposed", session, where, _encode(slot))


# ---- Faults and knobs -----------------------------------------------------------------------

def fail_next_create():
    """The next KWIXCloud() fails to create its engine session (once)."""
    _control.call("vlb_fail_next_create")


def set_media_queue_limit(frames):
    """Per-session bound on queued media frames (the engine's default is 2048)."""
    _control.call("vlb_set_media_queue_limit", _size("frames", frames))


def set_receiver_queue_bytes(size):
    """Per-session bound on the bytes waiting in its callback queue (the engine's default is
    32 MiB)."""
    _control.call("vlb_set_receiver_queue_bytes", _size("size", size))


def set_media_max_wait_ms(ms):
    """How long a media frame may wait in a session's queue on the real clock before it is
    skipped (the engine's default is 150; 0: no bound)."""
    if _size("ms", ms) >= 2 ** 63 or _control.call("vlb_set_media_max_wait_ms", int(ms)) != OK:
        raise ValueError(f"ms must be from 0 to {2 ** 63 - 1}, not {ms!r}")


def _size(name, value):
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < 2 ** 64:
        raise ValueError(f"{name} must be an int from 0 to {2 ** 64 - 1}, not {value!r}")
    return value


# ---- Network --------------------------------------------------------------------------------
# Each function checks its arguments against velmora.testing.network's table and raises
# ValueError naming the field that is out of range, before ctypes could wrap it.

def _network_call(function, setting, *args):
    status = _control.call(function, *args)
    if status == INVALID:
        fields = ", ".join(f.name for f in setting.fields if not f.scenario_only)
        raise ValueError(f"the engine refused {setting.control}'s {fields or 'arguments'}: out of range "
                         "(is velmora.testing.network's table behind the engine's?)")
    if status == NULL:
        raise ValueError(f"{setting.control}: the user id is missing")
    return status


def set_link(user_id, direction="both", *, latency_ms=0, jitter_ms=0, audio_loss=0.0, video_loss=0.0,
             command_loss=0.0, reorder=0.0):
    """The network faults of `user_id`'s uplink (what it sends), downlink (what it receives)
    or both, replacing what was set there: latency and jitter in ms, loss shares of audio
    frames, video frames and unreliable commands, and the share of unordered commands that
    arrive after the next one."""
    setting = _network.BY_CONTROL["set_link"]
    a = setting.check(direction=direction, latency_ms=latency_ms, jitter_ms=jitter_ms, audio_loss=audio_loss,
                      video_loss=video_loss, command_loss=command_loss, reorder=reorder)
    _network_call("vlb_network_link", setting, _encode(user_id), DIRECTIONS[a["direction"]], a["latency_ms"],
                  a["jitter_ms"], a["audio_loss"], a["video_loss"], a["command_loss"], a["reorder"])


def disconnect(user_id, duration_ms):
    """`user_id`'s connection drops now for `duration_ms` of engine clock."""
    setting = _network.BY_CONTROL["disconnect"]
    _network_call("vlb_network_disconnect", setting, _encode(user_id),
                  setting.check(duration_ms=duration_ms)["duration_ms"])


def set_unresponsive(user_id, on=True):
    """`user_id` stops answering (nothing it sends arrives), or answers again."""
    _network_call("vlb_network_unresponsive", _network.BY_CONTROL["set_unresponsive"], _encode(user_id),
                  1 if on else 0)


def set_network_timeout(timeout_ms):
    """How long a member may be silent before the others see it leave."""
    setting = _network.BY_CONTROL["set_network_timeout"]
    _network_call("vlb_network_timeout", setting, setting.check(timeout_ms=timeout_ms)["timeout_ms"])


def network_seed(seed):
    """Seeds every random draw of the network; each (sender, receiver) pair starts over."""
    setting = _network.BY_CONTROL["network_seed"]
    _control.call("vlb_network_seed", setting.check(seed=seed)["seed"])


def forget_network(user_id):
    """Forgets every network setting of `user_id`, its set network quality too."""
    _network_call("vlb_network_forget", _network.BY_CONTROL["forget_network"], _encode(user_id))


def set_network_quality(user_id, quality):
    """The quality reported for `user_id` from now on (a NetworkQuality member or its value)."""
    setting = _network.BY_CONTROL["set_network_quality"]
    _network_call("vlb_set_network_quality", setting, _encode(user_id), setting.check(quality=quality)["quality"])


def set_network_quality_interval(interval_ms):
    """Interval of the network quality reports."""
    setting = _network.BY_CONTROL["set_network_quality_interval"]
    _network_call("vlb_set_network_quality_interval", setting,
                  setting.check(interval_ms=interval_ms)["interval_ms"])


def set_custom_cmd_loss(share):
    """Share (0 to 1) of unreliable custom commands lost in transit, for every sender."""
    setting = _network.BY_CONTROL["set_custom_cmd_loss"]
    _network_call("vlb_set_custom_cmd_loss", setting, setting.check(share=share)["share"])


def set_bandwidth(user_id, direction="both", *, kbps):
    """A cap of `kbps` kbit/s on `user_id`'s uplink, downlink or both (0 removes it). Video
    queues on a capped link and is lost past 500 ms; a sender whose video exceeds its uplink's
    cap is asked to send less (see the loopback page of the documentation)."""
    setting = _network.BY_CONTROL["set_bandwidth"]
    a = setting.check(direction=direction, kbps=kbps)
    _network_call("vlb_network_bandwidth", setting, _encode(user_id), DIRECTIONS[a["direction"]], a["kbps"])


def network_quality_of(user_id):
    """The network quality the others see reported for `user_id` now (its value)."""
    return _control.call("vlb_network_quality_of", _encode(user_id))


def reset_faults():
    """Every fault switch and knob back to its default (the real clock too, where the engine
    has a manual one)."""
    _control.call("vlb_reset_faults")


# ---- Video ----------------------------------------------------------------------------------

VIDEO_COUNTERS = ("encoded", "key_frames", "skipped", "decoded", "undecodable")
CODEC_FAILED = -6


def video_counters(session):
    """A session's video figures: its pixel frames the engine encoded, how many of those were
    key frames, its frames the video workers skipped; frames decoded for it as a pixel
    receiver, and frames it did not get as one because they did not decode."""
    values = [c_uint64() for _ in VIDEO_COUNTERS]
    status = _control.call("vlb_video_counters", session, *[ctypes.byref(value) for value in values])
    if status != OK:
        raise ControlError(f"no live engine session {session!r} to count video frames of", status)
    return {name: value.value for name, value in zip(VIDEO_COUNTERS, values)}


class VideoEncoder:
    """The engine's own H.264 encoder (what a pixel sender's frames become in a room), for
    encoded video of one's own pictures. Pictures are I420 bytes (Y, U, V planes packed),
    even sides from 16 to 4096. Close it (or use it as a context manager) when done."""

    def __init__(self):
        self._lib = _control.lib()
        self._handle = None
        handle = self._lib.vlb_video_encoder_new()
        if not handle:
            raise ControlError("the engine could not make a video encoder (its log says why)")
        self._handle = handle

    def encode(self, i420, width, height, *, bitrate_bps=0, frame_rate=15, key=False):
        """The frame (Annex B bytes) and whether it is a key frame. bitrate_bps 0: the rate
        the engine picks for the size and frame rate. The first frame, and the first after a
        size change, are key frames."""
        if self._handle is None:
            raise ControlError("the video encoder is closed")
        length = self._lib.vlb_video_encode(self._handle, bytes(i420), len(i420), width, height, bitrate_bps,
                                            frame_rate, 1 if key else 0)
        if length == INVALID:
            raise ValueError(f"a {width}x{height} I420 picture has even sides from 16 to 4096 and "
                             f"{width * height * 3 // 2} bytes, not {len(i420)}")
        if length < 0:
            raise ControlError(f"the engine's encoder refused the picture (status {length}; its log says why)",
                               length)
        data = read_text(self._lib.vlb_video_encoded, self._handle)
        key_frame = self._lib.vlb_video_encoded_key(self._handle)
        if isinstance(data, int) or key_frame not in (0, 1):
            status = data if isinstance(data, int) else key_frame
            raise ControlError(f"the engine lost the frame its encoder made (status {status})", status)
        return data, key_frame == 1

    def close(self):
        if self._handle is not None:
            handle, self._handle = self._handle, None
            status = self._lib.vlb_video_encoder_free(handle)
            if status != OK:
                raise ControlError(f"the engine knew no video encoder {handle:#x} to end (status {status})", status)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()


# ---- Clock ----------------------------------------------------------------------------------

def clock_manual(on):
    _control.call("vlb_clock_manual", 1 if on else 0)


def clock_advance(ms):
    status = _control.call("vlb_clock_advance", int(ms))
    if status != OK:
        raise ControlError(f"the engine refused to advance its clock by {ms} ms (status {status}); "
                           "is the manual clock on?", status)


def clock_now():
    """The engine clock in milliseconds."""
    return _control.call("vlb_clock_now")


# ---- Rooms across processes -----------------------------------------------------------------

def bus_connect(url, key=None):
    """Connects this process's rooms to the Redis server at `url` (see vlb_bus_connect: a
    password and the room-bus key may be in it); `key` (str or bytes) is the room-bus key,
    before the URL's and VELMORA_LOOPBACK_BUS_KEY's. Raises ControlError saying why when it
    cannot; no text shows the password or the key."""
    if key is None:
        status = _control.call("vlb_bus_connect", _encode(url))
    else:
        status = _control.call("vlb_bus_connect_keyed", _encode(url), _encode(key))
    if status != OK:
        reason = read_text(_control.lib().vlb_bus_error)
        raise ControlError(f"cannot connect the room bus to {bus_mask(url)}: {reason.decode(errors='replace')}")


def bus_mask(url):
    """`url` as every text shows it: its password and key replaced by ***."""
    masked = read_text(_control.lib().vlb_bus_mask, _encode(url))
    return masked.decode(errors="replace") if isinstance(masked, bytes) else "***"


def bus_disconnect():
    """True when a bus was connected."""
    return _control.call("vlb_bus_disconnect") == OK


def bus_counter(name):
    """A counter of the connected bus, or None without one: "published", "received" (from other
    processes), "refused" (unreadable: unknown wire versions, malformed or oversized messages,
    sealed ones without a key), "rejected" (readable, but refused by the checks a local call
    meets: a member whose channel has 0 channels, a 100 KB command, a network setting out of
    range; or over the bus's caps), "forged" and "replayed" (with a key: failed to open, or
    taken before), "gaps", "ghosts", "lost", "claiming" (user ids not claimed yet), "expelled"
    (sessions taken out: their user id was another process's), "reconnects"."""
    value = _control.call("vlb_bus_counter", _encode(name))
    return None if value == ABSENT else value
