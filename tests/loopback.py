"""ctypes wrapper of the loopback engine's control API (engine/include/velmora_loopback.h).

The control API lives in the libvelmora.so installed beside the _velmora module. Two handles
are kept on it: `lib` releases the interpreter lock around each call (ctypes.CDLL), as any
engine thread would run; `lib_holding_gil` keeps it (ctypes.PyDLL), to emit callbacks on a
thread that already holds the lock, as a session call does.
"""
import ctypes
from ctypes import c_char_p, c_int, c_int64, c_uint64

# The signatures are velmora.testing.control's, the supported wrapper; this module adds what
# the project's own tests need on top (both lock modes, text read-backs, descriptions).
from velmora.testing.control import load, read_text, video_counters  # noqa: F401 (for the tests)

OK = 0
NULL = -1
ABSENT = -2
UNKNOWN_SLOT = -3

ON_ENGINE_THREAD = 0
ON_CALLING_THREAD = 1

lib = load(ctypes.CDLL)
lib_holding_gil = load(ctypes.PyDLL)


def _encode(text):
    return text.encode() if isinstance(text, str) else text


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
