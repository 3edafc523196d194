"""Listening to a loopback room as a listener would, and the yardstick it is held to.

- Speech: one sentence in each of four synthetic voices (benchmarks/data/speech-*.wav, 16 kHz).
- The reference a path is held to: libopus with its own default settings at the channel's
  bitrate, for voice or for general audio, whichever sounds better (through ctypes on the
  system's libopus), soxr for every change of rate; fed exactly what the room is fed.
- What is measured on a path: ITU-T P.862 PESQ (wide band at 16 kHz and above, narrow band at
  8 kHz), the delay of the heard audio against the sent audio, and the send-to-delivery time:
  how long after a sample was captured (its frame's send time, less the frame's length, plus
  its place in the frame) it is played by a listener that plays each frame as it arrives.

Shared by tests/engine/test_audio_quality.py and benchmarks/bench_audio_quality.py; a room is
run on the engine's manual clock, so every figure is the same on every run.
"""
import ctypes
import ctypes.util
import itertools
import os
import wave
from collections import namedtuple

import numpy as np
import pesq as _pesq
import soxr

import _velmora as v
from velmora.testing import control
from velmora.testing.participants import enter_params

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

VOICES = ("us-male", "us-female", "gb-male", "scottish-female")
SPEECH_RATE = 16000
OPUS_RATES = (8000, 12000, 16000, 24000, 48000)
TICK_MS = 10
_rooms = itertools.count()


def speech(voice):
    """The voice's sentence as float samples at SPEECH_RATE."""
    with wave.open(os.path.join(DATA_DIR, f"speech-{voice}.wav")) as w:
        assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (SPEECH_RATE, 1, 2)
        return np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).astype(np.float64)


def resample(x, rate_in, rate_out):
    return x if rate_in == rate_out else soxr.resample(x, rate_in, rate_out, quality="VHQ")


def to_int16(x):
    return np.clip(np.round(x), -32768, 32767).astype(np.int16)


def interleave(mono, channels):
    return np.repeat(mono, channels) if channels > 1 else mono


# ---- libopus, with its own defaults -------------------------------------------------------------

class _Opus:
    APPLICATION_VOIP = 2048
    APPLICATION_AUDIO = 2049
    SET_BITRATE = 4002

    def __init__(self):
        self.lib = ctypes.CDLL(ctypes.util.find_library("opus") or "libopus.so.0")
        self.lib.opus_encoder_create.restype = ctypes.c_void_p
        self.lib.opus_decoder_create.restype = ctypes.c_void_p
        for name in ("opus_encode", "opus_decode", "opus_encoder_ctl"):
            getattr(self.lib, name).restype = ctypes.c_int

    def encoder(self, rate, channels, bitrate, application=APPLICATION_VOIP):
        error = ctypes.c_int(0)
        enc = self.lib.opus_encoder_create(rate, channels, application, ctypes.byref(error))
        assert enc and error.value == 0
        assert self.lib.opus_encoder_ctl(ctypes.c_void_p(enc), self.SET_BITRATE, ctypes.c_int(bitrate)) == 0
        return enc

    def decoder(self, rate, channels):
        error = ctypes.c_int(0)
        dec = self.lib.opus_decoder_create(rate, channels, ctypes.byref(error))
        assert dec and error.value == 0
        return dec

    def encode(self, enc, pcm, frame_samples):
        out = ctypes.create_string_buffer(4000)
        data = np.ascontiguousarray(pcm, dtype=np.int16)
        n = self.lib.opus_encode(ctypes.c_void_p(enc), data.ctypes.data_as(ctypes.c_void_p), frame_samples,
                                 out, len(out))
        assert n > 0
        return out.raw[:n]

    def decode(self, dec, packet, rate, channels):
        pcm = np.zeros(rate * 120 // 1000 * channels, dtype=np.int16)
        n = self.lib.opus_decode(ctypes.c_void_p(dec), packet, len(packet), pcm.ctypes.data_as(ctypes.c_void_p),
                                 rate * 120 // 1000, 0)
        assert n > 0
        return pcm[:n * channels]

    def destroy(self, enc=None, dec=None):
        if enc:
            self.lib.opus_encoder_destroy(ctypes.c_void_p(enc))
        if dec:
            self.lib.opus_decoder_destroy(ctypes.c_void_p(dec))


OPUS = _Opus()


def opus_round_trip(x, rate, channels, frame_ms, bitrate, application=_Opus.APPLICATION_VOIP):
    """Interleaved int16 `x` coded and decoded by libopus at its default settings."""
    enc, dec = OPUS.encoder(rate, channels, bitrate, application), OPUS.decoder(rate, channels)
    step = rate * frame_ms // 1000 * channels
    x = np.concatenate([x, np.zeros((-len(x)) % step, dtype=np.int16)])
    out = [OPUS.decode(dec, OPUS.encode(enc, x[i:i + step], step // channels), rate, channels)
           for i in range(0, len(x), step)]
    OPUS.destroy(enc, dec)
    return np.concatenate(out)


def decode_packets(frames):
    """The room's Opus frames decoded as their fields say (rate, channels)."""
    first = frames[0]
    dec = OPUS.decoder(first.sample_rate, first.channels)
    out = [OPUS.decode(dec, bytes(f.data), first.sample_rate, first.channels) for f in frames]
    OPUS.destroy(dec=dec)
    return out


# ---- Paths ---------------------------------------------------------------------------------------

# sent: the frames' (rate, channels, frame_ms), the channel's too where a channel may have that
# rate (else 48000), or `channel_rate`; heard: the listener's; method: "per user", "mixed" or
# "pulled"; opus: the listener asks for Opus.
Path = namedtuple("Path", "name sent heard method opus bitrate channel_rate",
                  defaults=("per user", False, 51200, None))

MIX_OPUS_BITRATE = 64000
OPUS_DELAY_MS = 6.5  # libopus's lookahead, at every rate
RESAMPLER_DELAY_MS = 5.0  # the most a rate change may add (48 to 8 kHz)


def codings(path):
    """How often the path codes the audio: once, or twice when a listener's Opus cannot be the
    sender's packets (a mix, or another channel count or frame length)."""
    rate, channels, frame_ms = path.sent
    recoded = path.opus and (path.method != "per user" or (channels, frame_ms) != path.heard[1:])
    return 2 if recoded else 1


def rate_changes(path):
    """Resamplings on the path: to the coded rate, and from it to the heard rate."""
    rate = path.sent[0]
    coded = channel_rate(rate) if channel_rate(rate) in OPUS_RATES else 48000
    return (rate != coded) + (coded != path.heard[0] and not (path.opus and codings(path) == 1))


def latency_bound_ms(path):
    """One tick, the codec's delay per coding, the resamplers' delay and one frame."""
    return (TICK_MS + OPUS_DELAY_MS * codings(path) + RESAMPLER_DELAY_MS * rate_changes(path)
            + max(path.sent[2], path.heard[2]))


PATHS = [
    Path("48k mono > 16k mono", (48000, 1, 20), (16000, 1, 20)),
    Path("48k stereo > 16k stereo", (48000, 2, 20), (16000, 2, 20)),
    Path("48k stereo > 48k stereo", (48000, 2, 20), (48000, 2, 20)),
    Path("44.1k mono > 48k mono", (44100, 1, 20), (48000, 1, 20)),
    Path("32k mono > 16k mono", (32000, 1, 20), (16000, 1, 20)),
    Path("22.05k mono > 8k mono", (22050, 1, 20), (8000, 1, 20)),
    Path("16k mono > 16k mono", (16000, 1, 20), (16000, 1, 20)),
    Path("16k mono 10ms > 48k 60ms", (16000, 1, 10), (48000, 1, 60)),
    Path("48k mono > 16k Opus", (48000, 1, 20), (16000, 1, 20), opus=True),
    Path("48k mono > 48k Opus", (48000, 1, 20), (48000, 1, 20), opus=True),
    Path("44.1k mono > 24k st Opus 40ms", (44100, 1, 20), (24000, 2, 40), opus=True),
    Path("48k mono > 16k mixed", (48000, 1, 20), (16000, 1, 20), "mixed"),
    Path("44.1k mono > 48k pulled", (44100, 1, 20), (48000, 1, 20), "pulled"),
    Path("48k mono > 16k mixed Opus", (48000, 1, 20), (16000, 1, 20), "mixed", True),
]


def mono(interleaved, channels):
    x = np.asarray(interleaved, dtype=np.float64)
    return x.reshape(-1, channels).mean(axis=1) if channels > 1 else x


def reference(path, sent, application=_Opus.APPLICATION_VOIP):
    """What libopus's defaults and soxr make of `sent` (mono float at the sent rate, as the
    room got it) on this path, mono at the heard rate."""
    rate, channels, frame_ms = path.sent
    out_rate, out_channels, out_ms = path.heard
    coded_rate = path.channel_rate or channel_rate(rate)
    coded_rate = coded_rate if coded_rate in OPUS_RATES else 48000
    x = to_int16(interleave(resample(sent, rate, coded_rate), channels))
    y = mono(opus_round_trip(x, coded_rate, channels, frame_ms, path.bitrate, application), channels)
    y = resample(y, coded_rate, out_rate)
    if codings(path) == 2:
        # Coded once more for the listener: a mix at the mix's bitrate, else at the channel's.
        bitrate = path.bitrate if path.method == "per user" else MIX_OPUS_BITRATE
        y = mono(opus_round_trip(to_int16(interleave(y, out_channels)), out_rate, out_channels, out_ms,
                                 bitrate, application), out_channels)
    return y


Heard = namedtuple("Heard", "samples rate play_times capture_times sent")


class _Listener(v.KWIXCloudDelegate):
    def __init__(self):
        super().__init__()
        self.frames = []

    def OnRemoteAudioReceived(self, user_id, frame):
        self.frames.append(frame)

    def OnRemoteMixedAudioReceived(self, frame):
        self.frames.append(frame)


for _name in ("OnError", "OnConnectionStateChanged", "OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated",
              "OnLocalAudioChannelDestroyed", "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom",
              "OnRemoteAudioAvailable", "OnNetworkQuality"):
    setattr(_Listener, _name, lambda self, *args: None)


def enter(cloud, user, room, heard, method="per user", opus=False):
    rate, channels, frame_ms = heard
    heard = dict(output_sample_rate=rate, output_channels=channels, output_frame_length_ms=frame_ms,
                 enable_remote_audio_mix=method == "mixed")
    if method == "pulled":
        heard["audio_obtain_method"] = v.AUDIO_OBTAIN_METHOD_GET
    if opus:
        heard["output_audio_codec_type"] = v.AUDIO_CODEC_TYPE_OPUS
    assert cloud.EnterRoom(enter_params(user, room, app_id=1400000011, **heard)) == 0


def channel_rate(rate):
    """A channel's rate for frames sent at `rate`: the same where a channel may have it."""
    return rate if rate % 100 == 0 else 48000


def open_channel(cloud, sent, bitrate=51200, rate=None):
    frame_rate, channels, frame_ms = sent
    p = v.AudioEncodeParams()
    p.sample_rate, p.channels, p.frame_length_ms = rate or channel_rate(frame_rate), channels, frame_ms
    p.bitrate_bps = bitrate
    assert cloud.CreateLocalAudioChannel(p) == 0


def pcm_frame(x, rate, channels):
    f = v.AudioFrame()
    f.sample_rate, f.channels, f.bits_per_sample = rate, channels, 16
    f.SetData(to_int16(x).tobytes())
    return f


def advance(ms):
    """Manual clock: `ms` of engine time, and every callback it caused done."""
    control.clock_advance(ms)
    for engine in control.sessions():
        control.wait_idle(engine)


def run_room(path, signal, lead_ms=100, tail_ms=400):
    """Sends `signal` (mono float at the sent rate) on the path, one frame per frame length of
    the manual clock, and collects what the listener hears (mono, at the heard rate), with each
    heard sample's play time and each sent sample's capture time (ms of engine time)."""
    rate, channels, frame_ms = path.sent
    out_rate, out_channels, _ = path.heard
    room = f"audio-quality-{os.getpid()}-{next(_rooms)}"
    listener = _Listener()
    clouds = [v.KWIXCloud(_Listener()), v.KWIXCloud(listener)]
    try:
        enter(clouds[0], "speaker", room, (48000, 1, 20))
        enter(clouds[1], "listener", room, path.heard, path.method, path.opus)
        open_channel(clouds[0], path.sent, path.bitrate, path.channel_rate)
        advance(10)
        step = rate * frame_ms // 1000
        pad = lambda ms: np.zeros(rate * ms // 1000)  # noqa: E731
        sent = np.concatenate([pad(lead_ms), signal, pad(tail_ms)])
        sent = np.concatenate([sent, np.zeros((-len(sent)) % step)])
        capture = np.zeros(len(sent))
        arrivals = []  # (engine time, frames heard by then)
        frames = []

        def collect():
            if path.method == "pulled":
                while True:
                    f = v.AudioFrame()
                    if clouds[1].GetAudioFrame(f) != 0:
                        break
                    frames.append(f)
            else:
                frames[:] = listener.frames
            arrivals.append((control.clock_now(), len(frames)))

        for start in range(0, len(sent), step):
            now = control.clock_now()
            capture[start:start + step] = now - frame_ms + np.arange(step) * 1000 / rate
            assert clouds[0].SendAudioFrame(pcm_frame(interleave(sent[start:start + step], channels), rate,
                                                      channels)) == 0
            for _ in range(frame_ms // 10):
                advance(10)
                collect()
    finally:
        for c in clouds:
            c.ExitRoom()
    if path.opus:
        pieces = decode_packets(frames)
    else:
        pieces = [np.frombuffer(bytes(f.data), dtype=np.int16) for f in frames]
    pieces = [mono(p, out_channels) for p in pieces]
    play = []
    counted = 0
    for when, count in arrivals:
        for p in pieces[counted:count]:
            play.append(when + np.arange(len(p)) * 1000 / out_rate)
        counted = count
    samples = np.concatenate(pieces) if pieces else np.zeros(0)
    return Heard(samples, out_rate, np.concatenate(play) if play else np.zeros(0), capture, sent)


# ---- Measures ------------------------------------------------------------------------------------

def delay_samples(heard, sent):
    """The lag of `heard` behind `sent` (same rate) at their best cross-correlation."""
    n = 1 << int(np.ceil(np.log2(len(heard) + len(sent))))
    xc = np.fft.irfft(np.fft.rfft(heard, n) * np.conj(np.fft.rfft(sent, n)), n)
    lag = int(np.argmax(xc[:len(heard)]))
    return lag


def pesq_score(original, rate, degraded, degraded_rate):
    """PESQ of `degraded` (aligned to `original`, both mono): wide band, or narrow band when
    what was heard is 8 kHz."""
    fs = 8000 if degraded_rate == 8000 else 16000
    ref = resample(original, rate, fs)
    deg = resample(degraded, degraded_rate, fs)
    lag = delay_samples(deg, ref)
    deg = deg[lag:lag + len(ref)]
    deg = np.concatenate([deg, np.zeros(len(ref) - len(deg))])
    return float(_pesq.pesq(fs, ref.astype(np.float32), deg.astype(np.float32), "nb" if fs == 8000 else "wb"))


Measure = namedtuple("Measure", "pesq reference_pesq delay_ms reference_delay_ms latency_ms")

def measure(path, voice):
    """One voice on one path: PESQ of the room and of the reference; the room's longest
    send-to-delivery time over the sentence and its delay (that time less one tick and one
    frame: what the codec and resamplers add, and any waiting beyond); the reference's delay."""
    rate = path.sent[0]
    out_rate = path.heard[0]
    original = speech(voice)
    heard = run_room(path, resample(original, SPEECH_RATE, rate))
    lag = delay_samples(heard.samples, resample(heard.sent, rate, out_rate))
    references = [reference(path, heard.sent, application) for application in (_Opus.APPLICATION_VOIP,
                                                                               _Opus.APPLICATION_AUDIO)]
    scores = [pesq_score(original, SPEECH_RATE, ref, out_rate) for ref in references]
    ref = references[int(np.argmax(scores))]
    ref_lag = delay_samples(ref, resample(heard.sent, rate, out_rate))
    # The capture time of each loud sent sample against the play time of what it became.
    loud = np.flatnonzero(np.abs(heard.sent) > 0.05 * np.max(np.abs(heard.sent)))
    heard_at = np.round(loud * out_rate / rate).astype(int) + lag
    ok = heard_at < len(heard.play_times)
    latency = float(np.max(heard.play_times[heard_at[ok]] - heard.capture_times[loud[ok]]))
    frame_ms = max(path.sent[2], path.heard[2])
    return Measure(pesq_score(original, SPEECH_RATE, heard.samples, out_rate), max(scores),
                   latency - TICK_MS - frame_ms, ref_lag * 1000 / out_rate, latency)
