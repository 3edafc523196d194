"""Sessions in rooms for the room, lifetime and stress tests: a Python session with its
recording delegate and its engine pointer, and comparable pictures of the callbacks."""
import array
import math

import _velmora as v
import loopback
from velmora.testing import media
from recording import RecordingDelegate

APP = 1400000001
HERE = "<the room itself>"


def params(user, room="room1", *, app=APP, sig="sig", room_id=0, role=None, pull=False,
           pixel=False, pixel_input=False):
    """EnterRoomParams for `room` (a str_room_id); None leaves a text field unset (a null
    text)."""
    p = v.EnterRoomParams()
    p.room.sdk_app_id = app
    if user is not None:
        p.room.user_id.SetValue(user)
    if sig is not None:
        p.room.user_sig.SetValue(sig)
    if room is not None:
        p.room.str_room_id.SetValue(room)
    p.room.room_id = room_id
    if role is not None:
        p.role = role
    if pull:
        p.audio_obtain_params.audio_obtain_method = v.AUDIO_OBTAIN_METHOD_GET
    p.use_pixel_frame_output = pixel
    p.use_pixel_frame_input = pixel_input
    return p


def _frame(cls, data, **fields):
    f = cls()
    for name, value in fields.items():
        setattr(f, name, value)
    f.SetData(data)
    return f


def audio_frame(data, pts=0, sample_rate=48000, channels=2):
    return _frame(v.AudioFrame, data, pts=pts, sample_rate=sample_rate, channels=channels)


def pcm(ms=20, sample_rate=16000, channels=1, amplitude=6000, frequency=500):
    """`ms` of a sine as 16-bit interleaved PCM."""
    n = sample_rate * ms // 1000
    mono = [int(amplitude * math.sin(2 * math.pi * frequency * i / sample_rate)) for i in range(n)]
    return array.array("h", [s for s in mono for _ in range(channels)]).tobytes()


def voice_frame(pts=0, amplitude=6000):
    """20 ms of 16 kHz mono PCM: what a voice_channel() sends and a default listener hears,
    so that one frame sent is one frame heard."""
    return audio_frame(pcm(amplitude=amplitude), pts=pts, sample_rate=16000, channels=1)


def voice_channel():
    p = v.AudioEncodeParams()
    p.sample_rate = 16000
    return p


def level(frame):
    """RMS of a 16-bit PCM frame."""
    samples = array.array("h", frame.data)
    return math.sqrt(sum(s * s for s in samples) / max(len(samples), 1))


def video_frame(data, pts=0, key=False):
    return _frame(v.VideoFrame, data, pts=pts, is_key_frame=key)


def pixel_frame(data, pts=0, width=4, height=2):
    return _frame(v.PixelFrame, data, pts=pts, width=width, height=height)


def pattern_frame(index=0, pts=0, width=16, height=16, rotation=v.VIDEO_ROTATION_0):
    """Frame `index` of velmora.testing's moving test pattern: a YUV420p frame the engine takes."""
    return _frame(v.PixelFrame, media.test_pattern(index, width, height), pts=pts, width=width, height=height,
                  rotation=rotation)


def picture(value):
    """A short comparable form of a callback argument."""
    if isinstance(value, v.UserInfo):
        return value.user_id.GetValue()
    if isinstance(value, v.NetworkQualityInfo):
        return (value.user_id.GetValue(), int(value.quality))
    if isinstance(value, list):
        return [picture(item) for item in value]
    if isinstance(value, v.AudioFrame):
        return ("audio", value.pts, value.data)
    if isinstance(value, v.VideoFrame):
        return ("video", value.pts, value.data)
    if isinstance(value, v.PixelFrame):
        return ("pixel", value.pts, value.data)
    if hasattr(type(value), "__members__"):
        return int(value)
    return value


class Room:
    """A room of one test's own (the `room` fixture), so that sessions left alive by an
    earlier test (a failure's traceback keeps them) never meet its members. A room named in
    its methods is a room of its own beside it: `name/<that name>`; HERE is the room itself,
    and "" or None are passed through as they are (no room given)."""

    def __init__(self, name):
        self.name = name

    def resolve(self, room=HERE):
        if room == HERE:
            return self.name
        return self.name + "/" + room if room else room

    def params(self, user, room=HERE, **kwargs):
        return params(user, self.resolve(room), **kwargs)

    def member(self, user, delegate=None):
        return Member(user, delegate, room=self)

    def of(self, *users, **kwargs):
        """Members entered one after the other into this room, settled, their records
        cleared."""
        members = [self.member(user) for user in users]
        for m in members:
            assert m.enter(**kwargs) == 0
        settle(*members)
        for m in members:
            m.clear()
        return members


class Member:
    """A Python session, its recording delegate and its engine session, entering `room`
    (a Room; by default one named room1, for child interpreters that have a process of their
    own)."""

    def __init__(self, user, delegate=None, room=None):
        self.user = user
        self.room = room if room is not None else Room("room1")
        self.delegate = delegate if delegate is not None else RecordingDelegate()
        self.cloud = v.KWIXCloud(self.delegate)
        self.engine = loopback.newest_session()

    def enter(self, room=HERE, **kwargs):
        return self.cloud.EnterRoom(self.room.params(self.user, room, **kwargs))

    def events(self, *only, skip=("OnNetworkQuality",)):
        """[(callback, pictures of its arguments)] in arrival order."""
        with self.delegate.changed:
            calls = list(self.delegate.calls)
        return [(name, tuple(picture(a) for a in args)) for name, args, _ in calls
                if (not only or name in only) and name not in skip]

    def clear(self):
        with self.delegate.changed:
            self.delegate.calls.clear()

    def journal_entries(self):
        entries = []
        for index in range(loopback.lib.vlb_journal_count(self.engine)):
            entries.append(loopback.read_text(
                lambda b, c: loopback.lib.vlb_journal_entry(self.engine, index, b, c)).decode())
        return entries


def settle(*members, rounds=3):
    """Waits until every member's engine thread is idle. Several rounds, because a callback
    may make calls that queue more callbacks for the others."""
    for _ in range(rounds):
        for m in members:
            loopback.wait_idle(m.engine)
