"""ctypes wrapper of the loopback engine's control API (engine/include/velmora_loopback.h).

The control API lives in the libvelmora.so installed beside the _velmora module. Two handles
are kept on it: `lib` releases the interpreter lock around each call (ctypes.CDLL), as any
engine thread would run; `lib_holding_gil` keeps it (ctypes.PyDLL), to emit callbacks on a
thread that already holds the lock, as a session call does.
"""
import ctypes
import os
from ctypes import (POINTER, c_char_p, c_double, c_int, c_int32, c_int64, c_size_t,
                    c_uint32, c_uint64, c_void_p)

import _velmora

OK = 0
NULL = -1
ABSENT = -2
UNKNOWN_SLOT = -3

ON_ENGINE_THREAD = 0
ON_CALLING_THREAD = 1

LIBRARY_PATH = os.path.join(os.path.dirname(os.path.abspath(_velmora.__file__)), "libvelmora.so")

_SIGNATURES = {
    "vlb_settings_calls": (c_int, [c_char_p]),
    "vlb_settings_text": (c_int64, [c_char_p, c_int, c_void_p, c_size_t]),
    "vlb_settings_int": (c_int, [c_char_p, c_int, POINTER(c_int64)]),
    "vlb_settings_reset": (None, []),
    "vlb_log_file": (c_int64, [c_void_p, c_size_t]),
    "vlb_log_set_rotation": (None, [c_uint64, c_int]),
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
    "vlb_set_custom_cmd_loss": (None, [c_double]),
    "vlb_set_network_quality": (c_int, [c_char_p, c_int]),
    "vlb_set_network_quality_interval": (None, [c_int]),
    "vlb_set_media_queue_limit": (None, [c_size_t]),
    "vlb_reset_faults": (None, []),
    "vlb_clock_manual": (c_int, [c_int]),
    "vlb_clock_advance": (c_int, [c_int64]),
    "vlb_clock_now": (c_int64, []),
    "vlb_audio_counters": (c_int, [c_void_p, POINTER(c_uint64), POINTER(c_uint64),
                                   POINTER(c_uint64), POINTER(c_uint64)]),
    "vlb_audio_cost_ns": (c_int64, [c_char_p, c_int]),
}


def _load(loader):
    handle = loader(LIBRARY_PATH)
    for name, (restype, argtypes) in _SIGNATURES.items():
        function = getattr(handle, name)
        function.restype = restype
        function.argtypes = argtypes
    return handle


lib = _load(ctypes.CDLL)
lib_holding_gil = _load(ctypes.PyDLL)


def _encode(text):
    return text.encode() if isinstance(text, str) else text


def read_text(function, *args):
    """Calls a text-returning control function; bytes, or the negative status it returned."""
    capacity = 256
    while True:
        buffer = ctypes.create_string_buffer(capacity)
        length = function(*args, buffer, capacity)
        if length < 0:
            return length
        if length <= capacity:
            return buffer.raw[:length]
        capacity = length


# ---- Descriptions -------------------------------------------------------------------------

class Digest(tuple):
    """A payload described by its size and digest ("#<size>:<digest>")."""

    size = property(lambda self: self[0])
    digest = property(lambda self: self[1])


def parse_value(value):
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
    text = read_text(lib.vlb_describe_default, _encode(type_name))
    assert not isinstance(text, int), f"no description for {type_name}"
    return parse_description(text)


# ---- Settings -----------------------------------------------------------------------------

def settings_calls(name):
    return lib.vlb_settings_calls(_encode(name))


def settings_text(name, index=0):
    """The text argument last received: bytes, None for a null pointer, ABSENT if none."""
    result = read_text(lambda buffer, capacity: lib.vlb_settings_text(
        _encode(name), index, buffer, capacity))
    if result == NULL:
        return None
    return result


def settings_int(name, index=0):
    value = c_int64()
    status = lib.vlb_settings_int(_encode(name), index, ctypes.byref(value))
    return value.value if status == OK else ABSENT


def log_file():
    path = read_text(lib.vlb_log_file)
    return None if isinstance(path, int) else path.decode()


# ---- Sessions -----------------------------------------------------------------------------

def sessions():
    return [lib.vlb_session_at(i) for i in range(lib.vlb_session_count())]


def newest_session():
    all_sessions = sessions()
    assert all_sessions, "no live engine session"
    return all_sessions[-1]


def find_session(user_id):
    return lib.vlb_session_find(_encode(user_id))


def session_user(session):
    return read_text(lambda b, c: lib.vlb_session_user(session, b, c))


def session_room(session):
    return read_text(lambda b, c: lib.vlb_session_room(session, b, c))


def journal(session):
    """[(operation, {argument: value})] of the calls the engine session received."""
    entries = []
    for index in range(lib.vlb_journal_count(session)):
        text = read_text(lambda b, c: lib.vlb_journal_entry(session, index, b, c)).decode()
        operation, _, arguments = text.partition(" ")
        entries.append((operation, parse_description(arguments)))
    return entries


def last_call(session, operation=None):
    entries = [e for e in journal(session) if operation is None or e[0] == operation]
    assert entries, f"the engine session received no {operation or 'call'}"
    return entries[-1]


def wait_idle(session, timeout_ms=5000):
    status = lib.vlb_wait_idle(session, timeout_ms)
    assert status == OK, f"engine session did not become idle (status {status})"


def audio_counters(session):
    """{'accepted', 'refused', 'delivered', 'dropped'}: the session's audio frames."""
    values = [c_uint64() for _ in range(4)]
    status = lib.vlb_audio_counters(session, *[ctypes.byref(value) for value in values])
    assert status == OK, f"no live engine session (status {status})"
    return dict(zip(("accepted", "refused", "delivered", "dropped"), (value.value for value in values)))


def emitter(where):
    """The library handle to emit callbacks with: the engine thread, or the calling thread
    with the interpreter lock released (like a foreign thread) or held (like a session call)."""
    return lib_holding_gil if where == "calling thread holding the lock" else lib


def string_array(values):
    array = (c_char_p * max(len(values), 1))()
    for i, value in enumerate(values):
        array[i] = _encode(value)
    return array


def int_array(values):
    array = (c_int * max(len(values), 1))()
    for i, value in enumerate(values):
        array[i] = value
    return array
