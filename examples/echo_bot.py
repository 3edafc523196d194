"""An echo bot: it sends back what it hears after a delay. A speaker bot plays short tone
beeps and a listener bot records what it hears from each of them, so the echo shows up as
the same beeps, later.

The delay comes from the engine's pacing: the echo bot queues --delay seconds of silence
with SendContinuousAudioFrame before the first frame it echoes, and every frame it hears
goes into the same queue behind it. Runs on whatever engine library sits beside the module:
the loopback engine by default, where the three bots meet inside this process.

    python examples/echo_bot.py --delay 0.5 --out-dir recordings
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

RATE = 16000
FRAME_MS = 20


class Bot(QuietDelegate):
    def __init__(self, name):
        super().__init__()
        self.name = name
        self.entered = threading.Event()
        self.lock = threading.Lock()
        self.heard = {}

    def OnEnterRoom(self):
        self.entered.set()

    def OnRemoteAudioReceived(self, user_id, frame):
        with self.lock:
            self.heard.setdefault(user_id, bytearray()).extend(frame.data)


class EchoBot(Bot):
    def __init__(self, name, delay):
        super().__init__(name)
        self.delay = delay
        self.session = None
        self.echoed = 0
        self.errors = []

    def OnRemoteAudioReceived(self, user_id, frame):
        # Engine calls never wait for callbacks, so sending from inside one is fine.
        if self.echoed == 0:
            silence = v.AudioFrame()
            silence.sample_rate, silence.channels = frame.sample_rate, frame.channels
            silence.SetData(b"\0" * int(frame.sample_rate * self.delay) * frame.channels * 2)
            self.session.SendContinuousAudioFrame(silence, False)
        result = self.session.SendContinuousAudioFrame(frame, False)
        if result != 0:
            self.errors.append(result)
        self.echoed += 1


def enter_params(args, user_id):
    p = v.EnterRoomParams()
    p.room.sdk_app_id = args.app_id
    p.room.user_id.SetValue(user_id)
    p.room.user_sig.SetValue("loopback-signature")
    p.room.str_room_id.SetValue(args.room)
    p.audio_obtain_params.output_sample_rate = RATE
    p.audio_obtain_params.output_frame_length_ms = FRAME_MS
    return p


def check(result, what):
    if result != 0:
        raise SystemExit(f"{what} failed with {v.Error(result).name} ({result})")


def beep_frames(beeps, frequency):
    """20 ms frames: each beep is 200 ms of tone then 300 ms of silence."""
    n = RATE * FRAME_MS // 1000
    frames = []
    for index in range(beeps * 25):
        on = index % 25 < 10
        pcm = struct.pack(f"<{n}h", *(
            int(8000 * math.sin(2 * math.pi * frequency * (index * n + i) / RATE)) if on else 0
            for i in range(n)))
        frame = v.AudioFrame()
        frame.sample_rate, frame.channels = RATE, 1
        frame.SetData(pcm)
        frames.append(frame)
    return frames


def onset(pcm, threshold=2000):
    """Seconds to the first loud sample, or None."""
    for i in range(0, len(pcm) - 1, 2):
        if abs(struct.unpack_from("<h", pcm, i)[0]) > threshold:
            return i / 2 / RATE
    return None


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=0.5, help="echo delay in seconds")
    parser.add_argument("--beeps", type=int, default=3, help="beeps the speaker plays")
    parser.add_argument("--frequency", type=float, default=660.0, help="beep frequency in Hz")
    parser.add_argument("--out-dir", default=".", help="where the listener's WAV files go")
    parser.add_argument("--room", default="echo-room", help="room name")
    parser.add_argument("--app-id", type=int, default=1400000001, help="application id")
    args = parser.parse_args(argv)

    speaker, echo, listener = Bot("speaker"), EchoBot("echo", args.delay), Bot("listener")
    sessions = {bot.name: v.KWIXCloud(bot) for bot in (speaker, echo, listener)}
    echo.session = sessions["echo"]
    for bot in (listener, echo, speaker):
        check(sessions[bot.name].EnterRoom(enter_params(args, bot.name)), f"{bot.name} EnterRoom")
        if not bot.entered.wait(10):
            raise SystemExit(f"timed out waiting for {bot.name} to enter")
    # The echo bot hears only the speaker: it must not echo the listener or itself.
    check(sessions["echo"].Unsubscribe("listener", v.STREAM_TYPE_AUDIO), "Unsubscribe")
    for name in ("speaker", "echo"):
        check(sessions[name].CreateLocalAudioChannel(v.AudioEncodeParams()), f"{name} channel")

    frames = beep_frames(args.beeps, args.frequency)
    for frame in frames:
        check(sessions["speaker"].SendContinuousAudioFrame(frame, False), "SendContinuousAudioFrame")
    time.sleep(len(frames) * FRAME_MS / 1000 + args.delay + 0.5)
    for name in ("speaker", "echo", "listener"):
        check(sessions[name].ExitRoom(), f"{name} ExitRoom")
    sessions.clear()
    echo.session = None

    if echo.errors:
        print(f"the echo bot's sends failed: {sorted(set(echo.errors))}", file=sys.stderr)
        return 1
    os.makedirs(args.out_dir, exist_ok=True)
    with listener.lock:
        heard = dict(listener.heard)
    for name in ("speaker", "echo"):
        data = bytes(heard.get(name, b""))
        path = os.path.join(args.out_dir, f"heard-from-{name}.wav")
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(data)
        print(f"wrote {path}: {len(data) / (RATE * 2):.2f} s")
    starts = {name: onset(heard.get(name, b"")) for name in ("speaker", "echo")}
    if starts["speaker"] is None or starts["echo"] is None:
        print("the listener did not hear both the speaker and the echo", file=sys.stderr)
        return 1
    print(f"echo bot echoed {echo.echoed} frames; in the listener's recordings the first beep "
          f"starts at {starts['speaker']:.2f} s (speaker) and {starts['echo']:.2f} s (echo)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
