"""Recordings of what one session's delegate received (and what its owner sent and what the
room around it did), their file format, and their replay into a fresh delegate.

File format, version 1: UTF-8 JSON lines. The first line is the header
    {"format": "velmora-recording", "version": 1, "user_id": "bot", "clock": "manual", ...}
and every further line one entry, oldest first, each with "t", the engine time in
milliseconds since the recording started, and "kind":
    callback  {"name": "OnRemoteAudioReceived", "args": [...]}  a call the delegate received
    send      {"name": "SendCustomCmdMsg", "args": [...], "result": 1}  a call its owner made
    room      {"who": "alice", "what": "join", "detail": ...}  what a scripted member did
    error     {"name": "OnEnterRoom", "error": "<traceback>"}  a callback of the owner raised
Arguments are encoded by velmora.testing.values. A reader refuses a file without the header
and a version newer than its own, and names the line of an entry it cannot read.
"""
import json
import os
import threading
import time
import traceback

import _velmora as v
from velmora import CALLBACKS, MEDIA_CALLBACKS

from . import files, values

FORMAT = "velmora-recording"
VERSION = 1
KINDS = ("callback", "send", "room", "error")


class RecordingFormatError(ValueError):
    """A file that is not a recording this reader understands."""


def defines(delegate_class, name):
    """True when `delegate_class` has its own method for callback `name` (not the base's)."""
    return getattr(delegate_class, name, None) is not getattr(v.KWIXCloudDelegate, name)


class Recording:
    """A header and entries; thread-safe to append to while callbacks arrive."""

    def __init__(self, header=None, entries=None):
        self.header = dict(header or {})
        self.header.update(format=FORMAT, version=VERSION)
        self.entries = list(entries or [])
        self._lock = threading.Lock()

    def add(self, entry):
        with self._lock:
            self.entries.append(entry)

    def snapshot(self):
        with self._lock:
            return list(self.entries)

    # ---- views -----------------------------------------------------------------------------

    def of_kind(self, kind):
        return [e for e in self.snapshot() if e["kind"] == kind]

    def callbacks(self, *names, media=True):
        """Callback entries, all or those named; media=False leaves frames out."""
        return [e for e in self.of_kind("callback")
                if (not names or e["name"] in names) and (media or e["name"] not in MEDIA_CALLBACKS)]

    def stream(self, *, media=True, skip=()):
        """(name, encoded arguments) of every callback in order: the thing two runs of one
        scenario, or a recording and its replay, must agree on."""
        return [(e["name"], e["args"]) for e in self.callbacks(media=media) if e["name"] not in skip]

    def args(self, name):
        """Decoded arguments of every call of callback `name`, in order."""
        return [tuple(values.decode(a) for a in e["args"]) for e in self.callbacks(name)]

    def sends(self, *names):
        return [e for e in self.of_kind("send") if not names or e["name"] in names]

    # ---- file ------------------------------------------------------------------------------

    def save(self, path):
        with open(path, "w", encoding="utf-8") as out:
            out.write(json.dumps(self.header, sort_keys=True) + "\n")
            for entry in self.snapshot():
                out.write(json.dumps(entry, separators=(",", ":")) + "\n")
        return path

    @classmethod
    def load(cls, path):
        """The recording in a file; RecordingFormatError names the line (and the field) of
        the first entry it cannot read."""
        path = os.fspath(path)
        try:
            lines = files.read_text(path, "recording", files.RECORDING_LIMIT).splitlines()
        except files.InputError as error:
            raise RecordingFormatError(f"{error} (not a velmora recording)") from None
        header = _parse_line(path, 1, lines[0] if lines else "")
        if header.get("format") != FORMAT:
            raise RecordingFormatError(
                f"{path}:1: not a velmora recording (its first line must be a header with "
                f'"format": "{FORMAT}")')
        version = header.get("version")
        if not isinstance(version, int) or isinstance(version, bool) or version < 1:
            raise RecordingFormatError(f"{path}:1: the header's version must be a positive integer, "
                                       f"not {version!r}")
        if version > VERSION:
            raise RecordingFormatError(
                f"{path}: recording format version {version} is newer than this reader's "
                f"({VERSION}); update the velmora package to read it")
        for field in ("user_id", "scenario", "clock", "room"):
            if field in header and not isinstance(header[field], str):
                raise RecordingFormatError(f"{path}:1: the header's \"{field}\" must be a text, "
                                           f"not {header[field]!r}")
        entries = []
        for number, line in enumerate(lines[1:], start=2):
            if not line.strip():
                continue
            entry = _parse_line(path, number, line)
            problem = _entry_problem(entry)
            if problem is not None:
                raise RecordingFormatError(f"{path}:{number}: {problem}")
            entries.append(entry)
        return cls(header, entries)


def _parse_line(path, number, line):
    try:
        parsed = json.loads(line)
    except json.JSONDecodeError as error:
        raise RecordingFormatError(f"{path}:{number}: not a velmora recording line ({error.msg})")
    except RecursionError:
        raise RecordingFormatError(f"{path}:{number}: a recording line nested too deeply") from None
    if not isinstance(parsed, dict):
        raise RecordingFormatError(f"{path}:{number}: a recording line is a JSON object")
    return parsed


# What each callback receives, as the Python types its decoded arguments have (None: text or
# None, for user ids).
_USER = (str, type(None))
SIGNATURES = {
    "OnError": (v.Error,), "OnConnectionStateChanged": (v.ConnectionState, v.ConnectionState),
    "OnEnterRoom": (), "OnExitRoom": (), "OnLocalAudioChannelCreated": (),
    "OnLocalAudioChannelDestroyed": (), "OnLocalVideoChannelCreated": (v.StreamType,),
    "OnLocalVideoChannelDestroyed": (v.StreamType,), "OnRemoteUserEnterRoom": (v.UserInfo,),
    "OnRemoteUserExitRoom": (v.UserInfo, int), "OnRemoteAudioAvailable": (_USER, bool),
    "OnRemoteVideoAvailable": (_USER, bool, v.StreamType),
    "OnRemoteAudioReceived": (_USER, v.AudioFrame), "OnRemoteMixedAudioReceived": (v.AudioFrame,),
    "OnRemoteVideoFrameReceived": (_USER, v.StreamType, v.VideoFrame),
    "OnRemotePixelFrameReceived": (_USER, v.StreamType, v.PixelFrame),
    "OnRequestKeyFrame": (v.StreamType,), "OnRequestChangeVideoEncodeBitrate": (v.StreamType, int),
    "OnSeiMessageReceived": (_USER, v.StreamType, int, bytes),
    "OnReceiveCustomCmdMsg": (_USER, int, int, bytes), "OnMissCustomCmdMsg": (_USER, int, int, int),
    "OnNetworkQuality": (v.NetworkQualityInfo, list),
}
assert set(SIGNATURES) == set(CALLBACKS)
_SCALARS = (str, int, float, bool, type(None))


def _entry_problem(entry):
    """What is wrong with one entry read from a file, or None."""
    kind, t = entry.get("kind"), entry.get("t")
    if kind not in KINDS or not isinstance(t, int) or isinstance(t, bool) or t < 0:
        return f"an entry needs an integer \"t\" (0 or more) and a \"kind\" of {', '.join(KINDS)}"
    name = entry.get("name")
    if kind == "room":
        if not isinstance(entry.get("who"), (str, type(None))) or not isinstance(entry.get("what"), str) \
                or not isinstance(entry.get("detail"), _SCALARS):
            return 'a room entry has "who" (a text or null), "what" (a text) and a plain "detail"'
        return None
    if not isinstance(name, str):
        return f'a {kind} entry needs a "name" text'
    if kind == "error":
        return None if isinstance(entry.get("error"), str) else 'an error entry needs an "error" text'
    args = entry.get("args")
    if not isinstance(args, list):
        return f'a {kind} entry needs "args", a list'
    if kind == "send":
        return None if "result" in entry else 'a send entry needs a "result"'
    if name not in CALLBACKS:
        return f"unknown callback {name!r}"
    expected = SIGNATURES[name]
    if len(args) != len(expected):
        return f"{name} takes {len(expected)} argument(s), not {len(args)}"
    for index, (arg, kind_of) in enumerate(zip(args, expected), start=1):
        try:
            decoded = values.decode(arg)
        except (KeyError, ValueError, TypeError, OverflowError, AttributeError, RecursionError) as error:
            return f"{name}: argument {index} cannot be read ({type(error).__name__}: {error})"
        if not isinstance(decoded, kind_of) or (kind_of is int and isinstance(decoded, bool)):
            return f"{name}: argument {index} is {values.brief(arg)}, not of the callback's type"
        if name == "OnNetworkQuality" and index == 2 and not all(
                isinstance(item, v.NetworkQualityInfo) for item in decoded):
            return f"{name}: argument 2 must be a list of NetworkQualityInfo"
    return None


class Recorder:
    """Writes entries into a Recording with times from a clock (a RealClock or ManualClock
    that has been started). With media=False, media frames are only counted (in
    `media_frames`), which saves encoding every payload where nobody looks at them."""

    def __init__(self, recording, clock, media=True):
        self.recording = recording
        self.clock = clock
        self.media = media
        self.media_frames = 0

    def callback(self, name, args):
        if not self.media and name in MEDIA_CALLBACKS:
            self.media_frames += 1  # one thread per session calls this: no lock needed
            return
        self.recording.add({"t": self.clock.now_ms(), "kind": "callback", "name": name,
                            "args": [values.encode(a) for a in args]})

    def send(self, name, args, result):
        self.recording.add({"t": self.clock.now_ms(), "kind": "send", "name": name,
                            "args": [_encode_sent(a) for a in args], "result": _encode_sent(result)})

    def error(self, name, text):
        self.recording.add({"t": self.clock.now_ms(), "kind": "error", "name": name, "error": text})

    def room(self, who, what, detail=None):
        self.recording.add({"t": self.clock.now_ms(), "kind": "room", "who": who, "what": what,
                            "detail": detail})


def _encode_sent(value):
    # What a bot sends may hold parameter records that values.encode does not know; they
    # are kept as their class name, which is all a timeline shows of them.
    try:
        return values.encode(value)
    except TypeError:
        return {"record": type(value).__name__}


def recording_class(delegate_class):
    """A subclass of `delegate_class` that hands every callback to its `_velmora_recorder` attribute
    (when set) before its own method runs. Callbacks the class does not define are recorded
    and otherwise ignored; an exception its own method raises is recorded (kind "error") and
    raised on, as it would be without the recorder."""
    namespace = {"_velmora_recorder": None, "__module__": delegate_class.__module__}
    for name in CALLBACKS:
        namespace[name] = _recording_method(name, getattr(delegate_class, name) if defines(
            delegate_class, name) else None)
    return type("Recorded" + delegate_class.__name__, (delegate_class,), namespace)


def _recording_method(name, own):
    def method(self, *args):
        recorder = self._velmora_recorder
        if recorder is not None:
            recorder.callback(name, args)
        if own is None:
            return None
        try:
            return own(self, *args)
        except BaseException:
            if recorder is not None:
                recorder.error(name, traceback.format_exc())
            raise
    method.__name__ = name
    return method


def recorded(delegate_class, *args, clock=None, header=None, **kwargs):
    """delegate_class(*args, **kwargs), made so that it records every callback it receives
    into a new Recording, stamped by `clock` (a started RealClock by default):
    (delegate, recording). Give the delegate to KWIXCloud as usual; save the recording when
    done."""
    if clock is None:
        from .clock import RealClock
        clock = RealClock()
        clock.start()
    recording = Recording(dict(header or {}, clock=clock.name))
    delegate = recording_class(delegate_class)(*args, **kwargs)
    delegate._velmora_recorder = Recorder(recording, clock)
    return delegate, recording


class RecordingDelegate(v.KWIXCloudDelegate):
    """A delegate that keeps every callback it receives as it came, for tests that look at
    the arguments themselves and at the threads: `calls` holds (callback name, arguments,
    thread id) in arrival order. Unlike recorded(), nothing is encoded, so nothing can be
    saved; a subclass that defines a callback records it itself with `record`."""

    def __init__(self):
        super().__init__()
        self.calls = []
        self.changed = threading.Condition()

    def record(self, name, args):
        with self.changed:
            self.calls.append((name, args, threading.get_ident()))
            self.changed.notify_all()

    def named(self, name):
        """The arguments of every call of `name`, in order."""
        with self.changed:
            return [args for called, args, _ in self.calls if called == name]

    def names(self):
        """The names of every callback received, in order."""
        with self.changed:
            return [called for called, _, _ in self.calls]

    def clear(self):
        with self.changed:
            self.calls.clear()

    def wait_for(self, predicate, timeout=5.0):
        """Waits until predicate(self) holds; raises TimeoutError naming the callbacks
        received so far if it does not within `timeout` seconds."""
        with self.changed:
            if not self.changed.wait_for(lambda: predicate(self), timeout):
                raise TimeoutError(f"timed out after {timeout} s; calls so far: "
                                   f"{[called for called, _, _ in self.calls]}")


def _keeper(name):
    def record(self, *args):
        self.record(name, args)
    record.__name__ = name
    return record


for _name in CALLBACKS:
    setattr(RecordingDelegate, _name, _keeper(_name))


class _ReplayClock:
    """The time of the entry being replayed."""
    name = "replay"

    def __init__(self):
        self.t = 0

    def now_ms(self):
        return self.t


class ReplaySession:
    """What a replayed bot has as its session (`bot.cloud`) when it has none: every KWIXCloud
    method, each call noted in `recording` (kind "send", at the time of the callback being
    replayed) and answered with the result the recorded run got for the same call in the
    same order, or with success when the recording has none (GetAudioFrame: nothing to pull).
    Nothing reaches an engine."""

    def __init__(self, recorded=None):
        self.clock = _ReplayClock()
        self.recording = Recording({"clock": self.clock.name})
        self._recorder = Recorder(self.recording, self.clock)
        self._results = {}
        for entry in (recorded.sends() if recorded is not None else []):
            self._results.setdefault(entry["name"], []).append(entry.get("result"))

    def __getattr__(self, name):
        if name.startswith("_") or not callable(getattr(v.KWIXCloud, name, None)):
            raise AttributeError(f"a KWIXCloud session has no method {name!r}")

        def call(*args, **kwargs):
            if name == "GetAudioFrame":
                return v.ERR_READ_TRY_AGAIN
            waiting = self._results.get(name)
            result = True if name == "SendCustomCmdMsg" else v.ERR_OK
            if waiting:
                try:
                    result = values.decode(waiting.pop(0))
                except (KeyError, ValueError, TypeError):
                    pass  # a result that was a record: success stands in for it
            self._recorder.send(name, list(args) + list(kwargs.values()), result)
            return result
        call.__name__ = name
        return call


def replay(recording, delegate, *, speed="fast"):
    """Calls `delegate`'s methods with every recorded callback, in order, with arguments
    equal to the recorded ones, on the calling thread. speed="recorded" keeps the recorded
    gaps; "fast" none. Callbacks the delegate does not define are skipped. A delegate whose
    `cloud` is missing or None gets a ReplaySession there for the replay, so a bot that sends
    runs as it did (what it sends is in `delegate.cloud.recording`). Returns the number of
    calls made."""
    if speed not in ("fast", "recorded"):
        raise ValueError(f'speed is "fast" or "recorded", not {speed!r}')
    session = getattr(delegate, "cloud", None)
    if session is None:
        session = delegate.cloud = ReplaySession(recording)
    started = time.monotonic()
    calls = 0
    entries = recording.callbacks()
    origin = entries[0]["t"] if entries else 0
    for entry in entries:
        if speed == "recorded":
            delay = started + (entry["t"] - origin) / 1000 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        if not defines(type(delegate), entry["name"]):
            continue
        if isinstance(session, ReplaySession):
            session.clock.t = entry["t"]
        getattr(delegate, entry["name"])(*(values.decode(a) for a in entry["args"]))
        calls += 1
    return calls
