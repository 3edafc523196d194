"""The loopback engine's audio path at signal level: conversion to each listener's format,
mixing, pulling, pacing, Opus and voice detection, mostly on the engine's manual clock."""
import itertools
import os
import time
import wave

import numpy as np
import pytest

import _velmora as v
from helpers_rooms import Member, pcm_frame, samples, tone
from paths import DATA_DIR, EXAMPLES_DIR
from velmora.testing import control
from velmora.testing.participants import enter_params
from velmora.testing.recording import RecordingDelegate

APP = 1400000009
SPEECH_WAV = os.path.join(DATA_DIR, "speech.wav")
_rooms = itertools.count()


# ---- Helpers --------------------------------------------------------------------------------

def peak_frequency(x, rate):
    spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
    return np.argmax(spectrum) * rate / len(x)


def rms_db(x):
    return 20 * np.log10(np.sqrt(np.mean(np.square(x))))


def sine_rms_db(amplitude):
    return 20 * np.log10(amplitude / np.sqrt(2))


def counters(member):
    return control.audio_counters(member.engine)


class AudioDelegate(RecordingDelegate):
    """Keeps copies of audio frames with their arrival time."""

    def OnRemoteAudioReceived(self, user_id, frame):
        self.record("OnRemoteAudioReceived", (user_id, frame, time.monotonic()))

    def OnRemoteMixedAudioReceived(self, frame):
        self.record("OnRemoteMixedAudioReceived", (frame, time.monotonic()))


def audio_member(user):
    return Member(user, AudioDelegate())


def listen(clock, ms, member, method):
    """Runs `ms` of room time in steps, pulling as it goes (a pull queue keeps only about a
    second); everything `member` heard so far."""
    for _ in range(ms // 100):
        clock(100)
        member.heard(method)
    return member.heard(method)


@pytest.fixture
def in_room():
    """A fresh room name and the members made in it, left at the end."""
    name = f"media{next(_rooms)}"
    members = []

    def make(*users, **listening):
        made = [audio_member(u) for u in users]
        for m in made:
            assert m.enter_hearing(name, app_id=APP, **listening) == 0
        members.extend(made)
        return made if len(made) > 1 else made[0]

    make.name = name
    yield make
    for m in members:
        m.cloud.ExitRoom()


# ---- Conversion ------------------------------------------------------------------------------

@pytest.mark.parametrize("sent, heard, method", [
    ((48000, 2, 20), (16000, 1, 20), "per user"),
    ((16000, 1, 10), (48000, 2, 60), "per user"),
    ((44100, 1, 20), (8000, 1, 40), "mixed"),
    ((24000, 2, 40), (32000, 2, 10), "pulled"),
    ((48000, 1, 20), (48000, 1, 20), "per user"),
])
def test_tone_arrives_in_the_listeners_format(in_room, clock, sent, heard, method):
    rate, channels, frame_ms = sent
    out_rate, out_channels, out_ms = heard
    alice = in_room("alice", rate=out_rate, channels=out_channels, frame_ms=out_ms, method=method)
    bob = in_room("bob", rate=out_rate, channels=out_channels, frame_ms=out_ms, method=method)
    assert alice.open_channel(rate, channels, frame_ms) == 0
    clock(10)
    alice.send_pcm(tone(1000, rate, channels, 1200, amplitude=8000), rate, channels, frame_ms)
    frames = listen(clock, 1500, bob, method)
    assert len(frames) >= 1000 // out_ms
    for f in frames:
        assert (f.sample_rate, f.channels, f.bits_per_sample) == (out_rate, out_channels, 16)
        assert f.codec == v.AUDIO_CODEC_TYPE_PCM
        assert f.size == out_rate * out_ms // 1000 * out_channels * 2
    assert np.all(np.diff([f.pts for f in frames]) == out_ms)
    x = samples(frames, out_channels)
    onset = np.argmax(np.abs(x) > 1000)
    steady = x[onset + out_rate // 10:onset + out_rate // 10 + out_rate]  # 1 s past the onset
    assert len(steady) == out_rate
    assert abs(peak_frequency(steady, out_rate) - 1000) <= 2
    assert abs(rms_db(steady) - sine_rms_db(8000)) < 1.0
    # Nobody hears itself.
    assert alice.heard(method) == []


def test_both_channels_of_a_stereo_listener_carry_the_mono_sender(in_room, clock):
    alice, bob = in_room("alice", "bob", rate=48000, channels=2)
    assert alice.open_channel(16000, 1, 20) == 0
    alice.send_pcm(tone(700, 16000, 1, 400), 16000, 1, 20)
    clock(500)
    data = np.frombuffer(b"".join(f.data for f in bob.per_user("alice")), dtype=np.int16)
    assert len(data) > 0 and np.array_equal(data[0::2], data[1::2])


def test_frames_cut_across_the_senders_frame_boundaries_have_no_clicks(in_room, clock):
    """A tone sent in 10 ms frames and heard resampled in 60 ms frames is one sine: nowhere,
    frame boundaries included, does it stray from the fitted sine by a tenth of its size."""
    alice, bob = in_room("alice", "bob", rate=22000, frame_ms=60)
    assert alice.open_channel(48000, 1, 10, need_encode=False) == 0
    # Without encoding the channel expects packets; a PCM frame is refused, not sent.
    assert alice.cloud.SendAudioFrame(pcm_frame(tone(440, 48000, 1, 10), 48000, 1)) == \
        v.ERR_INVALID_PARAMETER
    assert alice.cloud.DestroyLocalAudioChannel() == 0
    assert alice.open_channel(48000, 1, 10, bitrate=128000) == 0
    alice.send_pcm(tone(440, 48000, 1, 1000), 48000, 1, 10)
    clock(1200)
    x = samples(bob.per_user("alice"), 1)[2200:2200 + 17600]
    assert len(x) == 17600
    t = np.arange(len(x)) / 22000
    basis = np.stack([np.sin(2 * np.pi * 440 * t), np.cos(2 * np.pi * 440 * t)], axis=1)
    residual = x - basis @ np.linalg.lstsq(basis, x, rcond=None)[0]
    assert np.max(np.abs(residual)) < 800


# ---- Mixing and the three ways of listening ----------------------------------------------------

def test_many_senders_coded_side_by_side_each_keep_their_own_audio(in_room, clock):
    """Past a few senders a tick converts and codes their audio on several threads: each
    listener still hears each sender's own tone, every frame, in order."""
    senders = in_room(*[f"s{i}" for i in range(18)])
    listener = in_room("listener")
    for s in senders:
        assert s.open_channel(16000) == 0
    clock(10)
    for i, s in enumerate(senders):
        s.send_pcm(tone(300 + 100 * i, 16000, 1, 600), 16000, 1, 20)
    clock(700)
    for i, s in enumerate(senders):
        for member in (listener, senders[(i + 1) % len(senders)]):
            frames = member.per_user(s.user)
            assert len(frames) == 30
            assert np.all(np.diff([f.pts for f in frames]) == 20)
            x = samples(frames, 1)[1600:]  # past the codec's onset
            assert abs(peak_frequency(x, 16000) - (300 + 100 * i)) <= 5


def test_a_mix_holds_every_other_speaker_and_not_oneself(in_room, clock):
    alice, bob, carol = in_room("alice", "bob", "carol", method="mixed")
    assert alice.open_channel() == 0 and bob.open_channel() == 0
    alice.send_pcm(tone(500, 48000, 1, 1000), 48000, 1, 20)
    bob.send_pcm(tone(1300, 48000, 1, 1000), 48000, 1, 20)
    clock(1200)

    def peaks(member):
        x = samples(member.mixed(), 1)[3200:3200 + 8000]
        spectrum = np.abs(np.fft.rfft(x * np.hanning(len(x))))
        freqs = np.fft.rfftfreq(len(x), 1 / 16000)
        strong = freqs[spectrum > spectrum.max() / 10]
        return {f for f in (500, 1300) if np.any(np.abs(strong - f) < 10)}

    assert peaks(carol) == {500, 1300}
    assert peaks(alice) == {1300}
    assert peaks(bob) == {500}
    # Per-user frames are not made for a member that listens to the mix.
    assert carol.per_user() == []


def test_a_mix_saturates_instead_of_wrapping(in_room, clock):
    alice, bob, carol = in_room("alice", "bob", "carol", rate=48000, method="mixed")
    for m in (alice, bob):
        assert m.open_channel(48000, 1, 20, bitrate=128000) == 0
        m.send_pcm(tone(300, 48000, 1, 600, amplitude=24000), 48000, 1, 20)
    clock(800)
    x = samples(carol.mixed(), 1)
    onset = np.argmax(np.abs(x) > 1000)
    x = x[onset + 4800:onset + 19200]
    n = np.arange(len(x))
    # The clipped sum, at the best of the period's phases; a wrapped sum flips its peaks.
    match = max(np.corrcoef(x, np.clip(48000 * np.sin(2 * np.pi * 300 * (n + lag) / 48000),
                                       -32768, 32767))[0, 1] for lag in range(160))
    assert x.max() == 32767 and x.min() == -32768
    assert match > 0.95


def test_an_unsubscribed_speaker_is_left_out_of_per_user_and_mixed_audio(in_room, clock):
    alice, bob = in_room("alice", "bob")
    carol = in_room("carol", method="mixed")
    assert alice.open_channel() == 0
    assert bob.cloud.Unsubscribe("alice", v.STREAM_TYPE_AUDIO) == 0
    assert carol.cloud.Unsubscribe("alice", v.STREAM_TYPE_AUDIO) == 0
    alice.send_pcm(tone(500, 48000, 1, 300), 48000, 1, 20)
    clock(400)
    assert bob.per_user() == []
    assert len(carol.mixed()) > 0 and np.all(samples(carol.mixed(), 1) == 0)


def test_a_member_back_between_ticks_is_heard_to_as_it_now_asks(in_room, clock):
    # Left and entered again, in another format and with other unsubscriptions, before any
    # tick applied the change.
    alice, bob, carol = in_room("alice", "bob", "carol")
    for m in (alice, carol):
        assert m.open_channel() == 0
    assert bob.cloud.Unsubscribe("alice", v.STREAM_TYPE_AUDIO) == 0
    clock(1000)
    bob.cloud.ExitRoom()
    assert bob.enter_hearing(in_room.name, rate=48000, app_id=APP) == 0
    assert bob.cloud.Unsubscribe("carol", v.STREAM_TYPE_AUDIO) == 0
    bob.clear()
    for m in (alice, carol):
        m.send_pcm(tone(500, 48000, 1, 200), 48000, 1, 20)
    clock(300)
    heard = bob.per_user("alice")
    assert len(heard) == 10 and bob.per_user("carol") == []
    assert {f.sample_rate for f in heard} == {48000}
    assert heard[0].pts < 100  # counted from the new join


def test_a_mix_is_made_only_while_another_members_channel_is_open(in_room, clock):
    alice, bob = in_room("alice", "bob", method="mixed")
    clock(200)
    assert bob.mixed() == []
    assert alice.open_channel() == 0
    clock(200)
    assert len(bob.mixed()) == 10
    assert alice.cloud.DestroyLocalAudioChannel() == 0
    clock(100)
    before = len(bob.mixed())
    clock(200)
    assert len(bob.mixed()) == before
    # The speaker's own channel does not make it a mix of its own.
    assert alice.mixed() == []


def test_pulling_never_blocks_and_keeps_about_a_second(in_room, clock):
    alice = in_room("alice")
    bob = in_room("bob", method="pulled", frame_ms=20)
    frame = v.AudioFrame()
    assert bob.cloud.GetAudioFrame(frame) == v.ERR_READ_TRY_AGAIN
    assert alice.open_channel() == 0
    clock(100)
    assert len(bob.pull_all()) == 5
    assert bob.cloud.GetAudioFrame(frame) == v.ERR_READ_TRY_AGAIN
    before = counters(bob)
    clock(3000)
    kept = bob.pull_all()
    assert len(kept) == 1000 // 20
    after = counters(bob)
    assert after["dropped"] - before["dropped"] == 3000 // 20 - len(kept)
    assert after["delivered"] - before["delivered"] == len(kept)
    # The oldest were dropped: what is left is the newest second, in order.
    assert np.all(np.diff([f.pts for f in kept]) == 20)
    assert bob.delegate.named("OnRemoteMixedAudioReceived") == []


# ---- Pacing ------------------------------------------------------------------------------------

def test_continuous_sends_go_out_one_frame_length_per_frame_length(in_room, clock):
    alice, bob = in_room("alice", "bob", rate=48000, frame_ms=20)
    assert alice.open_channel(48000, 1, 20) == 0
    alice.send_pcm(tone(440, 48000, 1, 1000), 48000, 1, 20, continuous=True)
    counts = []
    for _ in range(10):
        clock(20)
        counts.append(len(bob.per_user("alice")))
    assert counts == list(range(1, 11))
    clock(2000)
    assert len(bob.per_user("alice")) == 50


def test_the_send_queue_is_bounded_and_clearing_drops_what_waits(in_room, clock):
    alice, bob = in_room("alice", "bob", rate=48000, frame_ms=60)
    assert alice.open_channel(48000, 1, 60) == 0
    frame = pcm_frame(tone(440, 48000, 1, 60), 48000, 1)
    for _ in range(500):  # 30 s
        assert alice.cloud.SendContinuousAudioFrame(frame, False) == 0
    assert alice.cloud.SendContinuousAudioFrame(frame, False) == v.ERR_READ_TRY_AGAIN
    assert counters(alice)["refused"] == 1 and counters(alice)["accepted"] == 500
    clock(600)
    assert len(bob.per_user()) == 10
    # Ten frames went out, so ten more fit; nothing queued was lost meanwhile.
    for _ in range(10):
        assert alice.cloud.SendContinuousAudioFrame(frame, False) == 0
    assert alice.cloud.SendContinuousAudioFrame(frame, True) == 0
    assert counters(alice)["dropped"] == 500
    clock(3000)
    assert len(bob.per_user()) == 11


@pytest.mark.slow
def test_pacing_holds_on_the_real_clock():
    control.clock_manual(False)
    name = f"media{next(_rooms)}"
    alice, bob = audio_member("alice"), audio_member("bob")
    try:
        assert alice.enter_hearing(name, app_id=APP) == 0 and bob.enter_hearing(name, rate=48000, app_id=APP) == 0
        assert alice.open_channel(48000, 1, 20) == 0
        alice.send_pcm(tone(440, 48000, 1, 2020), 48000, 1, 20, continuous=True)
        bob.delegate.wait_for(lambda d: len(d.named("OnRemoteAudioReceived")) >= 101, timeout=10)
        arrivals = [args[2] for args in bob.delegate.named("OnRemoteAudioReceived")]
        assert abs((arrivals[100] - arrivals[0]) - 2.0) < 0.1
    finally:
        alice.cloud.ExitRoom()
        bob.cloud.ExitRoom()


# ---- Opus ----------------------------------------------------------------------------------------

def test_an_opus_round_trip_keeps_a_tone_clean(in_room, clock):
    """The sender's channel codes with Opus at 51.2 kb/s; the tone arrives at least 25 dB
    above everything else once the encoder has settled (libopus's defaults code its first
    400 ms or so in their speech mode, then switch to their music mode)."""
    alice, bob = in_room("alice", "bob", rate=48000)
    assert alice.open_channel(48000, 1, 20, bitrate=51200) == 0
    alice.send_pcm(tone(1000, 48000, 1, 1500), 48000, 1, 20)
    clock(1700)
    x = samples(bob.per_user("alice"), 1)[28800:28800 + 38400]
    t = np.arange(len(x)) / 48000
    basis = np.stack([np.sin(2 * np.pi * 1000 * t), np.cos(2 * np.pi * 1000 * t)], axis=1)
    fit = basis @ np.linalg.lstsq(basis, x, rcond=None)[0]
    snr = 10 * np.log10(np.sum(fit ** 2) / np.sum((x - fit) ** 2))
    assert snr > 25


def test_opus_listeners_get_one_packet_per_frame_and_packets_can_be_sent_on(in_room, clock):
    alice = in_room("alice")
    bob = in_room("bob", rate=48000, frame_ms=20, codec=v.AUDIO_CODEC_TYPE_OPUS)
    carol = in_room("carol", rate=48000)
    assert alice.open_channel(48000, 1, 20) == 0
    alice.send_pcm(tone(1000, 48000, 1, 600), 48000, 1, 20)
    clock(700)
    packets = bob.per_user("alice")
    assert len(packets) == 30
    assert all(p.codec == v.AUDIO_CODEC_TYPE_OPUS and 0 < p.size < 1920 for p in packets)
    assert np.all(np.diff([p.pts for p in packets]) == 20)
    # Bob sends those packets on a channel that does not encode; Carol hears the tone.
    assert bob.open_channel(48000, 1, 20, need_encode=False) == 0
    for p in packets:
        assert bob.cloud.SendAudioFrame(p) == 0
    clock(700)
    x = samples(carol.per_user("bob"), 1)
    assert len(x) == 30 * 960
    assert abs(peak_frequency(x[4800:], 48000) - 1000) <= 2


@pytest.mark.parametrize("method", ["mixed", "pulled"])
def test_a_mix_can_be_asked_for_as_opus(in_room, clock, method):
    alice = in_room("alice")
    bob = in_room("bob", rate=24000, channels=2, frame_ms=40, method=method,
                  codec=v.AUDIO_CODEC_TYPE_OPUS)
    assert alice.open_channel() == 0
    alice.send_pcm(tone(1000, 48000, 1, 200), 48000, 1, 20)
    packets = listen(clock, 600, bob, method)
    assert len(packets) == 15
    assert all(p.codec == v.AUDIO_CODEC_TYPE_OPUS and (p.sample_rate, p.channels) == (24000, 2)
               for p in packets)
    # The tone codes to many bytes, the silence after it to a few: the packets carry the mix.
    sizes = [p.size for p in packets]
    assert min(sizes) < 20 and max(sizes) > 100


# ---- What a send accepts ---------------------------------------------------------------------------

def _opus_frame(payload):
    f = v.AudioFrame()
    f.codec = v.AUDIO_CODEC_TYPE_OPUS
    f.SetData(payload)
    return f


@pytest.mark.parametrize("frame, expected", [
    (pcm_frame(b"\0" * 3, 48000, 1), v.ERR_INVALID_PARAMETER),         # half a sample
    (pcm_frame(b"\0" * 6, 48000, 2), v.ERR_INVALID_PARAMETER),         # half a sample frame
    (pcm_frame(b"\0" * 640, 7999, 1), v.ERR_INVALID_PARAMETER),
    (pcm_frame(b"\0" * 640, 48001, 1), v.ERR_INVALID_PARAMETER),
    (pcm_frame(b"\0" * 640, 16000, 3), v.ERR_INVALID_PARAMETER),
    (pcm_frame(b"\0" * 640, 16000, 0), v.ERR_INVALID_PARAMETER),
    (pcm_frame(b"", 16000, 1), v.ERR_INVALID_PARAMETER),
    (_opus_frame(b"\xff\xff\xff"), v.ERR_INVALID_PARAMETER),           # not a packet
    (pcm_frame(b"\0" * 640, 16000, 1), 0),
    (pcm_frame(b"\0" * 882, 44100, 1), 0),
])
def test_what_a_send_accepts(in_room, clock, frame, expected):
    alice, bob = in_room("alice", "bob")
    assert alice.open_channel() == 0
    assert alice.cloud.SendAudioFrame(frame) == expected
    assert alice.cloud.SendContinuousAudioFrame(frame, False) == expected
    c = counters(alice)
    assert (c["accepted"], c["refused"]) == ((2, 0) if expected == 0 else (0, 2))
    clock(100)
    if expected != 0:
        assert bob.per_user() == []


@pytest.mark.parametrize("field, value", [("bits_per_sample", 8), ("bits_per_sample", 32),
                                          ("codec", v.AUDIO_CODEC_TYPE_AAC)])
def test_sample_widths_and_codecs_the_engine_cannot_read(in_room, field, value):
    alice, _ = in_room("alice", "bob")
    assert alice.open_channel() == 0
    frame = pcm_frame(b"\0" * 640, 16000, 1)
    setattr(frame, field, value)
    expected = v.ERR_NOT_SUPPORTED if field == "codec" else v.ERR_INVALID_PARAMETER
    assert alice.cloud.SendAudioFrame(frame) == expected


@pytest.mark.parametrize("change, expected", [
    (dict(output_audio_codec_type=v.AUDIO_CODEC_TYPE_AAC), v.ERR_NOT_SUPPORTED),
    (dict(output_sample_rate=7000), v.ERR_INVALID_PARAMETER),
    (dict(output_sample_rate=96000), v.ERR_INVALID_PARAMETER),
    (dict(output_sample_rate=22050), v.ERR_INVALID_PARAMETER),  # 10 ms is not whole samples
    (dict(output_channels=3), v.ERR_INVALID_PARAMETER),
    (dict(output_frame_length_ms=30), v.ERR_INVALID_PARAMETER),
    (dict(output_sample_rate=44100, output_audio_codec_type=v.AUDIO_CODEC_TYPE_OPUS),
     v.ERR_INVALID_PARAMETER),
    (dict(output_sample_rate=44100, output_channels=2, output_frame_length_ms=60), 0),
])
def test_what_a_listener_may_ask_for(change, expected):
    m = audio_member("alice")
    assert m.cloud.EnterRoom(enter_params("alice", f"media{next(_rooms)}", app_id=APP, **change)) == expected
    m.cloud.ExitRoom()


@pytest.mark.parametrize("change", [dict(frame_length_ms=30), dict(sample_rate=96000),
                                    dict(sample_rate=7000), dict(channels=0), dict(channels=3),
                                    dict(bitrate_bps=100)])
def test_channels_the_engine_refuses(in_room, change):
    alice = in_room("alice")
    p = v.AudioEncodeParams()
    for name, value in change.items():
        setattr(p, name, value)
    assert alice.cloud.CreateLocalAudioChannel(p) == v.ERR_INVALID_PARAMETER


# ---- Voice detection -------------------------------------------------------------------------------

def speech():
    with wave.open(SPEECH_WAV) as w:
        assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (8000, 1, 2)
        return w.readframes(w.getnframes())


@pytest.mark.parametrize("method", ["per user", "mixed", "pulled"])
@pytest.mark.parametrize("sound, voiced", [("speech", True), ("silence", False), ("noise", False)])
def test_voice_detection(in_room, clock, method, sound, voiced):
    alice = in_room("alice")
    bob = in_room("bob", method=method)
    assert alice.open_channel(48000, 1, 20) == 0
    bob.cloud.EnableVoiceActivityDetection(_vad(True))
    if sound == "speech":
        payload = speech()
    elif sound == "silence":
        payload = b"\0" * 16000 * 2
    else:
        payload = np.random.default_rng(7).normal(0, 2000, 16000).astype(np.int16).tobytes()
    alice.send_pcm(payload, 8000, 1, 20)
    frames = listen(clock, 2200, bob, method)
    flags = [f.has_voice for f in frames[15:]]  # past the mix's buffer and the detector's start
    if voiced:
        assert sum(flags) >= 0.4 * 1240 / 20  # of a phrase 1.24 s long
    else:
        assert not any(flags)


def _vad(on):
    p = v.VADParams()
    p.enable = on
    return p


def test_voice_detection_off_leaves_has_voice_false(in_room, clock):
    alice, bob = in_room("alice", "bob")
    assert alice.open_channel(48000, 1, 20) == 0
    bob.cloud.EnableVoiceActivityDetection(_vad(True))
    bob.cloud.EnableVoiceActivityDetection(_vad(False))
    alice.send_pcm(speech(), 8000, 1, 20)
    clock(1500)
    assert len(bob.per_user()) > 40 and not any(f.has_voice for f in bob.per_user())


# ---- The manual clock --------------------------------------------------------------------------------

def test_the_same_room_gives_the_same_frames_every_run(in_room, clock):
    def run():
        alice, bob = in_room("alice", "bob", rate=24000, frame_ms=40, method="mixed")
        assert alice.open_channel(44100, 2, 20) == 0
        alice.send_pcm(tone(900, 44100, 2, 500), 44100, 2, 20, continuous=True)
        clock(700)
        result = [f.data for f in bob.mixed()]
        alice.cloud.ExitRoom()
        bob.cloud.ExitRoom()
        return result

    first, second = run(), run()
    assert len(first) == 700 // 40 and first == second


def test_a_minute_of_room_time_runs_on_the_manual_clock(in_room, clock):
    alice, bob = in_room("alice", "bob", rate=48000)
    assert alice.open_channel(48000, 1, 20) == 0
    for half in range(2):  # a send queue holds 30 s
        alice.send_pcm(tone(440, 48000, 1, 30000, start=half * 48000 * 30), 48000, 1, 20,
                       continuous=True)
        clock(30000)
    assert len(bob.per_user()) == 3000
    assert counters(bob)["delivered"] == 3000 and counters(bob)["dropped"] == 0
    assert counters(alice)["accepted"] == 3000


def test_advancing_the_real_clock_is_refused():
    control.clock_manual(False)
    with pytest.raises(control.ControlError) as refused:
        control.clock_advance(10)
    assert refused.value.status == control.NOT_MANUAL


def test_network_quality_reports_follow_the_manual_clock(in_room, clock, run_child):
    control.set_network_quality_interval(500)
    alice = in_room("alice")
    clock(0)
    before = len(alice.delegate.named("OnNetworkQuality"))
    # A witness on the real clock enters later with the same interval: once it has had its
    # first report, alice would have had hers, were her reports on the real clock.
    witness = run_child("""
        import _velmora as v
        from velmora.testing import control
        from velmora.testing.participants import enter_params
        from velmora.testing.recording import RecordingDelegate
        control.set_network_quality_interval(500)
        delegate = RecordingDelegate()
        cloud = v.KWIXCloud(delegate)
        assert cloud.EnterRoom(enter_params("witness", "real-clock")) == 0
        delegate.wait_for(lambda d: d.named("OnNetworkQuality"))
        print("reported")
    """)
    assert witness.stdout.split() == ["reported"]
    assert len(alice.delegate.named("OnNetworkQuality")) == before
    clock(1200)
    assert len(alice.delegate.named("OnNetworkQuality")) - before == 2


# ---- Examples ------------------------------------------------------------------------------------

EXAMPLES = EXAMPLES_DIR


@pytest.mark.parametrize("script, arguments, files", [
    ("speaker_and_recorder.py", ["--seconds", "1", "--frequency", "600"], ["speaker.wav"]),
    ("speaker_and_recorder.py", ["--wav", SPEECH_WAV, "--mix", "--rate", "48000"], ["mixed.wav"]),
    ("echo_bot.py", ["--delay", "0.3", "--beeps", "2"],
     ["heard-from-speaker.wav", "heard-from-echo.wav"]),
])
@pytest.mark.slow
def test_examples_write_what_their_bots_heard(tmp_path, script, arguments, files):
    import subprocess
    import sys
    result = subprocess.run([sys.executable, os.path.join(EXAMPLES, script), "--out-dir", str(tmp_path),
                             *arguments], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "velmora: callback" not in result.stderr
    onsets = []
    for name in files:
        path = tmp_path / name
        assert f"wrote {path}" in result.stdout
        with wave.open(str(path)) as w:
            x = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16)
            assert w.getnframes() > w.getframerate() // 2
            onsets.append(np.argmax(np.abs(x) > 2000) / w.getframerate() / w.getnchannels())
    if script == "echo_bot.py":
        # The echo is the speaker's beeps, later by the delay.
        assert abs((onsets[1] - onsets[0]) - 0.3) < 0.05
