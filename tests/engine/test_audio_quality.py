"""What a listener hears through a loopback room, path by path, held to what the codec and a
resampler give on their own (benchmarks/audio_yardstick.py): speech quality and
send-to-delivery time, a flat passband, a mix in step, pts across pauses, voice detection of
noise, and long sends. All on the engine's manual clock."""
import numpy as np
import pytest

import _velmora as v
from paths import load_benchmark
from velmora.testing import control

ha = load_benchmark("audio_yardstick")
PATHS, VOICES = ha.PATHS, ha.VOICES

AMPLITUDE = 10000


def level_db(x, freq, rate):
    """The level of `freq` in `x` against a sine of AMPLITUDE (Hann-windowed DFT)."""
    n = np.arange(len(x))
    w = np.hanning(len(x))
    amplitude = 2 * abs(np.sum(w * x * np.exp(-2j * np.pi * freq * n / rate))) / np.sum(w)
    return 20 * np.log10(max(amplitude, 1e-9) / AMPLITUDE)


def sine(freq, rate, seconds=1.0):
    return AMPLITUDE * np.sin(2 * np.pi * freq * np.arange(int(rate * seconds)) / rate)


class Room:
    """Members of one room on the manual clock, with what each hears."""

    def __init__(self):
        self.name = f"quality-{next(ha._rooms)}"
        self.clouds = {}
        self.delegates = {}

    def enter(self, user, heard=(16000, 1, 20), method="per user", opus=False):
        self.delegates[user] = ha._Listener()
        self.clouds[user] = v.KWIXCloud(self.delegates[user])
        ha.enter(self.clouds[user], user, self.name, heard, method, opus)
        return self.clouds[user]

    def leave(self):
        for c in self.clouds.values():
            c.ExitRoom()


@pytest.fixture
def room(clock):
    r = Room()
    yield r
    r.leave()


# ---- Every path: speech quality and time from send to delivery --------------------------------

@pytest.mark.parametrize("path", PATHS, ids=[p.name for p in PATHS])
def test_speech_sounds_as_the_codec_alone_makes_it_and_arrives_in_time(clock, path):
    for voice in VOICES:
        m = ha.measure(path, voice)
        assert m.pesq >= m.reference_pesq - 0.1, (voice, m)
        assert m.latency_ms <= ha.latency_bound_ms(path) + 0.1, (voice, m)


# ---- Resampling ----------------------------------------------------------------------------------

@pytest.mark.parametrize("sent, heard, edge", [(48000, 16000, 7000), (44100, 16000, 7000), (32000, 16000, 7000),
                                               (48000, 8000, 3400), (16000, 8000, 3400)])
def test_the_passband_is_flat_and_aliases_stay_80_db_down(clock, sent, heard, edge):
    # A bitrate at which Opus leaves a tone as it is, so that what is measured is the resampler.
    path = ha.Path("tone", (sent, 1, 20), (heard, 1, 20), bitrate=512000, channel_rate=48000)

    def heard_level(freq):
        h = ha.run_room(path, sine(freq, sent), lead_ms=0)
        steady = h.samples[heard // 4:heard // 4 + heard // 2]
        return level_db(steady, freq if freq < heard / 2 else heard - freq, heard)

    assert abs(heard_level(edge) - heard_level(1000)) <= 0.5
    for freq in (heard / 2 + 1500, sent / 2 - 1000):  # just above the heard Nyquist, and far above
        assert heard_level(freq) <= -80


# ---- Opus listeners ------------------------------------------------------------------------------

def test_opus_listeners_get_the_senders_packets_at_any_rate_where_channels_and_length_match(room):
    speaker = room.enter("speaker")
    room.enter("at48", (48000, 1, 20), opus=True)
    room.enter("at16", (16000, 1, 20), opus=True)
    room.enter("stereo", (16000, 2, 20), opus=True)
    ha.open_channel(speaker, (48000, 1, 20))
    x = ha.resample(ha.speech(VOICES[0]), ha.SPEECH_RATE, 48000)
    starts = range(0, len(x) - 960, 960)
    for i in starts:
        assert speaker.SendAudioFrame(ha.pcm_frame(x[i:i + 960], 48000, 1)) == 0
        ha.advance(20)
    packets = {user: [bytes(f.data) for f in room.delegates[user].frames] for user in ("at48", "at16", "stereo")}
    assert len(packets["at16"]) == len(starts)
    assert packets["at16"] == packets["at48"]
    assert all(f.sample_rate == 16000 for f in room.delegates["at16"].frames)
    # Another channel count is coded once more, for that listener.
    assert len(packets["stereo"]) == len(packets["at16"]) and packets["stereo"] != packets["at16"]


# ---- Mixing --------------------------------------------------------------------------------------

def onset_ms(frames, rate):
    """Where a mixed listener's audio first gets loud, on its pts time line."""
    x = np.concatenate([np.frombuffer(bytes(f.data), dtype=np.int16) for f in frames]).astype(float)
    return frames[0].pts + np.argmax(np.abs(x) > AMPLITUDE / 4) * 1000 / rate


@pytest.mark.parametrize("rates, mix_rate", [((48000, 16000), 16000), ((44100, 48000), 48000),
                                             ((22050, 32000), 16000), ((8000, 48000), 8000)])
@pytest.mark.parametrize("frame_ms", [20, 60])
def test_two_speakers_who_start_together_are_mixed_together(room, rates, mix_rate, frame_ms):
    """Each listener unsubscribes one speaker, so that each hears one of the two in the same mix."""
    speakers = [room.enter(f"speaker{i}") for i in range(2)]
    hears = [room.enter(f"hears{i}", (mix_rate, 1, 20), "mixed") for i in range(2)]
    for i, cloud in enumerate(hears):
        assert cloud.Unsubscribe(f"speaker{1 - i}", v.STREAM_TYPE_AUDIO) == 0
    for cloud, rate in zip(speakers, rates):
        ha.open_channel(cloud, (rate, 1, frame_ms), bitrate=128000)
    ha.advance(100)
    bursts = [sine(700, rate, 0.3) for rate in rates]
    for i in range(0, 300, frame_ms):
        for cloud, rate, burst in zip(speakers, rates, bursts):
            step = rate * frame_ms // 1000
            n = i * rate // 1000
            assert cloud.SendAudioFrame(ha.pcm_frame(burst[n:n + step], rate, 1)) == 0
        ha.advance(frame_ms)
    ha.advance(300)
    onsets = [onset_ms(room.delegates[f"hears{i}"].frames, mix_rate) for i in range(2)]
    assert abs(onsets[0] - onsets[1]) <= 1.0


# ---- pts -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("method", ["per user", "pulled"])
def test_pts_follows_the_clock_after_a_pause_and_runs_evenly_in_between(room, method):
    speaker = room.enter("speaker")
    listener = room.enter("listener", (16000, 1, 20), method)
    joined = control.clock_now()
    ha.open_channel(speaker, (16000, 1, 20))
    frames = []

    def run(ms, talking=True):
        for _ in range(ms // 20):
            if talking:
                assert speaker.SendAudioFrame(ha.pcm_frame(sine(500, 16000, 0.02), 16000, 1)) == 0
            ha.advance(20)
            f = v.AudioFrame()
            while method == "pulled" and listener.GetAudioFrame(f) == 0:
                frames.append(f.pts)
                f = v.AudioFrame()
        if method == "per user":
            frames[:] = [f.pts for f in room.delegates["listener"].frames]

    run(500)
    before = list(frames)
    run(2000, talking=False)
    resumed_at = control.clock_now() - joined
    paused = list(frames)
    run(500)
    after = frames[len(paused):]
    assert all(np.diff(frames) > 0) and all(np.diff(before) == 20) and all(np.diff(after) == 20)
    if method == "per user":
        # The first frame after the pause stands for the clock when it went out.
        assert resumed_at <= after[0] <= resumed_at + 20
    else:
        # A mix never pauses: its frames run on, 20 ms of pts per 20 ms of clock.
        assert all(np.diff(frames) == 20) and frames[-1] <= resumed_at + 500 + 110
    assert min(frames) >= 0


# ---- Voice detection -----------------------------------------------------------------------------

@pytest.mark.parametrize("method", ["per user", "mixed", "pulled"])
@pytest.mark.parametrize("rate", [8000, 16000, 48000])
def test_white_noise_is_never_voice_from_the_first_frame(room, method, rate):
    speaker = room.enter("speaker")
    listener = room.enter("listener", (16000, 1, 20), method)
    vad = v.VADParams()
    vad.enable = True
    listener.EnableVoiceActivityDetection(vad)
    ha.open_channel(speaker, (48000, 1, 20))
    rng = np.random.default_rng(rate)
    flags = []
    step = rate // 50
    for sigma in (100, 1000, 8000):  # each level after a pause, so each starts anew
        noise = rng.normal(0, sigma, rate)
        for i in range(0, rate, step):
            assert speaker.SendAudioFrame(ha.pcm_frame(noise[i:i + step], rate, 1)) == 0
            ha.advance(20)
            f = v.AudioFrame()
            while method == "pulled" and listener.GetAudioFrame(f) == 0:
                flags.append(f.has_voice)
                f = v.AudioFrame()
        ha.advance(300)
    if method != "pulled":
        flags = [f.has_voice for f in room.delegates["listener"].frames]
    assert len(flags) >= 150 and not any(flags)


def test_speech_in_each_voice_is_voice(room):
    speaker = room.enter("speaker")
    listener = room.enter("listener", (16000, 1, 20))
    vad = v.VADParams()
    vad.enable = True
    listener.EnableVoiceActivityDetection(vad)
    ha.open_channel(speaker, (48000, 1, 20))
    for voice in VOICES:
        frames = room.delegates["listener"].frames
        first = len(frames)
        x = ha.resample(ha.speech(voice), ha.SPEECH_RATE, 48000)
        for i in range(0, len(x) - 960, 960):
            assert speaker.SendAudioFrame(ha.pcm_frame(x[i:i + 960], 48000, 1)) == 0
            ha.advance(20)
        heard = frames[first:]
        assert sum(f.has_voice for f in heard) >= 0.6 * len(heard), voice
        ha.advance(500)


# ---- Long sends ----------------------------------------------------------------------------------

def test_a_long_continuous_frame_plays_in_real_time(room):
    speaker = room.enter("speaker")
    room.enter("listener", (48000, 1, 20))
    ha.open_channel(speaker, (48000, 1, 20))
    assert speaker.SendContinuousAudioFrame(ha.pcm_frame(sine(440, 48000, 10.0), 48000, 1), False) == 0
    heard = room.delegates["listener"].frames
    counts = []
    for _ in range(5):
        ha.advance(2000)
        counts.append(len(heard))
    assert counts == [100, 200, 300, 400, 500]
    assert control.audio_counters(control.sessions()[-1])["dropped"] == 0


@pytest.mark.parametrize("seconds, continuous, expected", [
    (40, True, v.ERR_INVALID_PARAMETER),    # longer than the send queue: can never fit
    (40, False, v.ERR_INVALID_PARAMETER),
    (1200, False, v.ERR_INVALID_PARAMETER),  # 20 minutes, 19 MB
    (30, False, 0),
])
def test_a_frame_longer_than_the_send_queue_is_refused(room, seconds, continuous, expected):
    speaker = room.enter("speaker")
    ha.open_channel(speaker, (8000, 1, 20))
    frame = ha.pcm_frame(np.zeros(8000 * seconds), 8000, 1)
    result = speaker.SendContinuousAudioFrame(frame, True) if continuous else speaker.SendAudioFrame(frame)
    assert result == expected


def test_a_long_frame_goes_out_in_pieces_while_other_rooms_hear_theirs(room):
    """Thirty seconds in one SendAudioFrame: at most 200 ms of it a tick, so the tick's work
    stays small, and a room beside it gets its frame on every tick as before."""
    speaker = room.enter("speaker")
    room.enter("listener", (8000, 1, 20))
    ha.open_channel(speaker, (8000, 1, 20))
    other = Room()
    try:
        talker = other.enter("talker")
        other.enter("hearer", (16000, 1, 20))
        ha.open_channel(talker, (16000, 1, 20))
        assert speaker.SendAudioFrame(ha.pcm_frame(sine(300, 8000, 30.0), 8000, 1)) == 0
        heard = room.delegates["listener"].frames
        for tick in range(1, 11):
            assert talker.SendAudioFrame(ha.pcm_frame(sine(500, 16000, 0.01), 16000, 1)) == 0
            ha.advance(10)
            assert len(heard) == 10 * tick
        assert len(other.delegates["hearer"].frames) == 5
    finally:
        other.leave()
