"""Sessions in rooms, shared by the tests of every folder: a Python session with its
recording delegate and its engine pointer (Member) in a room of the test's own (Room), the
frames and sounds they send, and comparable pictures of the callbacks."""
import array
import math

import numpy as np

import _velmora as v
from velmora.testing import control, media
from velmora.testing.participants import APP_ID as APP, enter_params
from velmora.testing.recording import RecordingDelegate

HERE = "<the room itself>"
HEARD = {"per user", "mixed", "pulled"}  # how a member hears the others' audio


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


def pcm_frame(payload, rate, channels):
    """16-bit PCM `payload` as an AudioFrame."""
    return _frame(v.AudioFrame, payload, sample_rate=rate, channels=channels, bits_per_sample=16,
                  codec=v.AUDIO_CODEC_TYPE_PCM)


def tone(freq, rate, channels, ms, amplitude=8000, start=0):
    """A sine as 16-bit interleaved PCM; `start` is the index of its first sample."""
    n = rate * ms // 1000
    t = (np.arange(n) + start) / rate
    mono = np.round(amplitude * np.sin(2 * np.pi * freq * t)).astype(np.int16)
    return np.repeat(mono, channels).tobytes()


def samples(frames, channels):
    """Mono float samples (channel 0) of the frames, in order."""
    data = np.frombuffer(b"".join(f.data for f in frames), dtype=np.int16).astype(np.float64)
    return data[::channels]


def hearing(rate=16000, channels=1, frame_ms=20, method="per user", codec=None):
    """The audio_obtain_params fields (for enter_params) of a member that hears the others
    at `rate`, `channels` and `frame_ms`, per user, mixed or pulled."""
    assert method in HEARD, method
    fields = dict(output_sample_rate=rate, output_channels=channels, output_frame_length_ms=frame_ms,
                  enable_remote_audio_mix=method == "mixed")
    if method == "pulled":
        fields["audio_obtain_method"] = v.AUDIO_OBTAIN_METHOD_GET
    if codec is not None:
        fields["output_audio_codec_type"] = codec
    return fields


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
        """enter_params for `user` into `room` (see resolve)."""
        return enter_params(user, self.resolve(room), **kwargs)

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
        self.engine = control.newest_session()
        self.pulled = []

    def enter(self, room=HERE, **kwargs):
        """EnterRoom with enter_params(**kwargs): its result."""
        return self.cloud.EnterRoom(self.room.params(self.user, room, **kwargs))

    def enter_hearing(self, room=HERE, rate=16000, channels=1, frame_ms=20, method="per user", codec=None,
                      **kwargs):
        """EnterRoom hearing the others' audio as hearing() says: its result."""
        return self.enter(room, **hearing(rate, channels, frame_ms, method, codec), **kwargs)

    def events(self, *only, skip=("OnNetworkQuality",)):
        """[(callback, pictures of its arguments)] in arrival order."""
        with self.delegate.changed:
            calls = list(self.delegate.calls)
        return [(name, tuple(picture(a) for a in args)) for name, args, _ in calls
                if (not only or name in only) and name not in skip]

    def clear(self):
        self.delegate.clear()

    def journal_entries(self):
        return control.journal(self.engine)

    # ---- audio ----------------------------------------------------------------------------

    def open_channel(self, rate=48000, channels=1, frame_ms=20, need_encode=True, bitrate=51200):
        p = v.AudioEncodeParams()
        p.sample_rate, p.channels, p.frame_length_ms = rate, channels, frame_ms
        p.need_encode, p.bitrate_bps = need_encode, bitrate
        return self.cloud.CreateLocalAudioChannel(p)

    def send_pcm(self, payload, rate, channels, frame_ms, continuous=False):
        """Sends 16-bit PCM `payload` in frames of `frame_ms`."""
        step = rate * frame_ms // 1000 * channels * 2
        for i in range(0, len(payload), step):
            frame = pcm_frame(payload[i:i + step], rate, channels)
            if continuous:
                result = self.cloud.SendContinuousAudioFrame(frame, False)
            else:
                result = self.cloud.SendAudioFrame(frame)
            assert result == 0

    def per_user(self, sender=None):
        """Audio frames heard per user (of `sender` only, if given)."""
        return [args[1] for args in self.delegate.named("OnRemoteAudioReceived")
                if sender is None or args[0] == sender]

    def mixed(self):
        return [args[0] for args in self.delegate.named("OnRemoteMixedAudioReceived")]

    def pull_all(self):
        """Pulls every audio frame waiting now; the frames pulled."""
        frames = []
        while True:
            f = v.AudioFrame()
            if self.cloud.GetAudioFrame(f) != 0:
                self.pulled.extend(frames)
                return frames
            frames.append(f)

    def heard(self, method):
        """Everything heard so far in that way (pulled frames: pulled now and before)."""
        if method == "pulled":
            self.pull_all()
            return list(self.pulled)
        return {"per user": self.per_user, "mixed": self.mixed}[method]()


def settle(*members, rounds=3):
    """Waits until every member's engine thread is idle. Several rounds, because a callback
    may make calls that queue more callbacks for the others."""
    control.settle([m.engine for m in members], rounds)
