"""Two bots in one room: a speaker plays a WAV file (or a generated tone), paced by the engine
with SendContinuousAudioFrame; a recorder writes what it hears to WAV files, one per remote
user or one of the mix.

Runs on whatever engine library sits beside the module: the loopback engine by default,
where both bots meet inside this process.

    python examples/speaker_and_recorder.py --wav speech.wav --mix --out-dir recordings
"""
import argparse
import math
import os
import struct
import sys
import threading
import time
import wave

import _velmora as v
from velmora import QuietDelegate  # answers every callback; the bots define what they use

FRAME_MS = 20


class Recorder(QuietDelegate):
    """Keeps the PCM it hears, per remote user or mixed, until it is written out."""

    def __init__(self):
        super().__init__()
        self.lock = threading.Lock()
        self.entered = threading.Event()
        self.pcm = {}
        self.format = None

    def OnEnterRoom(self):
        self.entered.set()

    def _keep(self, name, frame):
        with self.lock:
            self.format = (frame.sample_rate, frame.channels)
            self.pcm.setdefault(name, bytearray()).extend(frame.data)

    def OnRemoteAudioReceived(self, user_id, frame):
        self._keep(user_id, frame)

    def OnRemoteMixedAudioReceived(self, frame):
        self._keep("mixed", frame)


class Speaker(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.entered = threading.Event()

    def OnEnterRoom(self):
        self.entered.set()


def read_wav(path):
    """(rate, channels, 16-bit PCM) of a WAV file; stops with a message for other widths."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise SystemExit(f"{path}: only 16-bit PCM WAV files can be played")
        return w.getframerate(), w.getnchannels(), w.readframes(w.getnframes())


def make_tone(frequency, seconds, rate=48000):
    n = int(rate * seconds)
    return rate, 1, struct.pack(f"<{n}h", *(int(8000 * math.sin(2 * math.pi * frequency * i / rate))
                                            for i in range(n)))


def enter_params(args, user_id, mix):
    p = v.EnterRoomParams()
    p.room.sdk_app_id = args.app_id
    p.room.user_id.SetValue(user_id)
    p.room.user_sig.SetValue("loopback-signature")
    p.room.str_room_id.SetValue(args.room)
    p.audio_obtain_params.output_sample_rate = args.rate
    p.audio_obtain_params.output_channels = args.channels
    p.audio_obtain_params.enable_remote_audio_mix = mix
    return p


def check(result, what):
    if result != 0:
        raise SystemExit(f"{what} failed with {v.Error(result).name} ({result})")


def send_paced(session, rate, channels, pcm):
    """Queues every frame; the engine sends one frame length per frame length of time. A
    full queue (ERR_READ_TRY_AGAIN, about 30 s) is waited out."""
    step = rate * FRAME_MS // 1000 * channels * 2
    for offset in range(0, len(pcm) - step + 1, step):
        frame = v.AudioFrame()
        frame.sample_rate, frame.channels, frame.bits_per_sample = rate, channels, 16
        frame.SetData(pcm[offset:offset + step])
        while True:
            result = session.SendContinuousAudioFrame(frame, False)
            if result != v.ERR_READ_TRY_AGAIN:
                check(result, "SendContinuousAudioFrame")
                break
            time.sleep(0.5)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wav", help="16-bit PCM WAV file to play (default: a generated tone)")
    parser.add_argument("--frequency", type=float, default=440.0, help="tone frequency in Hz")
    parser.add_argument("--seconds", type=float, default=2.0, help="tone length in seconds")
    parser.add_argument("--mix", action="store_true", help="record the mix instead of per user")
    parser.add_argument("--rate", type=int, default=16000, help="recording sample rate")
    parser.add_argument("--channels", type=int, default=1, choices=(1, 2), help="recording channels")
    parser.add_argument("--out-dir", default=".", help="where the WAV files go (default: here)")
    parser.add_argument("--room", default="speaker-and-recorder", help="room name")
    parser.add_argument("--app-id", type=int, default=1400000001, help="application id")
    args = parser.parse_args(argv)

    rate, channels, pcm = read_wav(args.wav) if args.wav else make_tone(args.frequency, args.seconds)
    duration = len(pcm) / (rate * channels * 2)
    recorder, speaker = Recorder(), Speaker()
    recorder_session, speaker_session = v.KWIXCloud(recorder), v.KWIXCloud(speaker)
    check(recorder_session.EnterRoom(enter_params(args, "recorder", args.mix)), "recorder EnterRoom")
    check(speaker_session.EnterRoom(enter_params(args, "speaker", False)), "speaker EnterRoom")
    for bot in (recorder, speaker):
        if not bot.entered.wait(10):
            raise SystemExit("timed out entering the room")

    encode = v.AudioEncodeParams()
    encode.sample_rate, encode.channels = rate if rate % 100 == 0 else 48000, channels
    check(speaker_session.CreateLocalAudioChannel(encode), "CreateLocalAudioChannel")
    send_paced(speaker_session, rate, channels, pcm)
    print(f"speaker queued {duration:.2f} s of audio; the engine paces it")
    time.sleep(duration + 0.5)
    check(speaker_session.ExitRoom(), "speaker ExitRoom")
    check(recorder_session.ExitRoom(), "recorder ExitRoom")
    del speaker_session, recorder_session

    os.makedirs(args.out_dir, exist_ok=True)
    with recorder.lock:
        if not recorder.pcm:
            print("the recorder heard nothing", file=sys.stderr)
            return 1
        out_rate, out_channels = recorder.format
        for name, data in sorted(recorder.pcm.items()):
            path = os.path.join(args.out_dir, f"{name}.wav")
            with wave.open(path, "wb") as w:
                w.setnchannels(out_channels)
                w.setsampwidth(2)
                w.setframerate(out_rate)
                w.writeframes(bytes(data))
            seconds = len(data) / (out_rate * out_channels * 2)
            print(f"wrote {path}: {seconds:.2f} s at {out_rate} Hz, {out_channels} channel(s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
