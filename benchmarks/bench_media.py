"""Cost of the loopback engine's audio path, and the largest room it carries in real time.

First, measured on the engine's own media code by a native program built into
build/bench-native (benchmarks/native/audio_cost.cpp, best of several repeats) so that no
Python call is in the figure: nanoseconds per 20 ms frame of
  copy      memcpy of 20 ms of 48 kHz stereo (the floor)
  convert   that frame to 16 kHz mono (channel averaging and resampling)
  encode    Opus, 48 kHz mono at 51200 b/s (the default channel), libopus's default complexity
  decode    the same packets decoded
then a 48-member room's encoding of one frame (48 such channels), spread over the codec
workers as a tick does it and on one thread, and the mix of a 48-member room for one 10 ms
tick (48 speakers, 48 listeners).

Then rooms of growing size on the real clock. Every member sends 48 kHz mono 20 ms frames
(default AudioEncodeParams: Opus) every 20 ms from one Python thread and receives the mix as
48 kHz mono 20 ms frames. A size passes when, over --seconds, every member received at least
97 % of the mixed frames real time calls for and no frame was dropped. The table gives the
sender's lateness and the engine's figures per size; the last line names the largest size
that passed. Python's own work (sending and receiving callbacks under one interpreter lock)
is part of the load, as it is for a real bot process.

Run: python benchmarks/bench_media.py [--sizes 2,4,8,16,24,32,48] [--seconds 3]
"""
import argparse
import itertools
import math
import os
import struct
import subprocess
import threading
import time

import _velmora as v
from native_build import ROOT, cmake_build
from velmora.testing import control
from velmora.testing.participants import enter_params
from velmora.testing.recording import RecordingDelegate

NATIVE_BUILD = os.path.join(ROOT, "build", "bench-native")
RATE = 48000
FRAME_MS = 20
_rooms = itertools.count()


def stage_cost(stage, repeat, frames=500):
    program = os.path.join(NATIVE_BUILD, "benchmarks", "native", "velmora_audio_cost")
    return min(int(subprocess.run([program, stage, str(frames)], check=True, capture_output=True,
                                  text=True).stdout) for _ in range(repeat))


class Listener(RecordingDelegate):
    """Counts mixed frames instead of keeping them, to keep Python's share small."""

    def __init__(self):
        super().__init__()
        self.mixed = 0

    def OnRemoteMixedAudioReceived(self, frame):
        self.mixed += 1


def enter(cloud, user, room):
    assert cloud.EnterRoom(enter_params(user, room, app_id=1400000010, output_sample_rate=RATE, output_channels=1,
                                        output_frame_length_ms=FRAME_MS, enable_remote_audio_mix=True)) == 0


def tone_frame(frequency):
    n = RATE * FRAME_MS // 1000
    frame = v.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = RATE, 1, 16
    frame.SetData(struct.pack(f"<{n}h", *(int(6000 * math.sin(2 * math.pi * frequency * i / RATE))
                                           for i in range(n))))
    return frame


def run_room(size, seconds):
    room = f"bench-media-{os.getpid()}-{next(_rooms)}"
    listeners = [Listener() for _ in range(size)]
    clouds = [v.KWIXCloud(d) for d in listeners]
    engines = control.sessions()[-size:]
    for i, c in enumerate(clouds):
        enter(c, f"member{i}", room)
        assert c.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
    # Every member's frame is a whole number of periods, so repeating it is a steady tone.
    frames = [tone_frame(50 * (i % 20 + 2)) for i in range(size)]
    control.settle(engines)  # every member has heard the others enter
    for d in listeners:
        d.mixed = 0
    before = [counters(e) for e in engines]

    ticks = int(seconds * 1000 / FRAME_MS)
    late = 0.0
    start = time.monotonic()
    for tick in range(ticks):
        for c, f in zip(clouds, frames):
            assert c.SendAudioFrame(f) == 0
        due = start + (tick + 1) * FRAME_MS / 1000
        now = time.monotonic()
        late = max(late, now - due)
        time.sleep(max(0.0, due - now))
    elapsed = time.monotonic() - start
    received = [d.mixed for d in listeners]
    after = [counters(e) for e in engines]
    for c in clouds:
        c.ExitRoom()
    del clouds
    expected = elapsed * 1000 / FRAME_MS
    dropped = sum(a["dropped"] - b["dropped"] for a, b in zip(after, before))
    share = min(received) / expected
    return share, dropped, late, elapsed


def counters(engine):
    return control.audio_counters(engine)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="repeats per stage cost")
    parser.add_argument("--sizes", default="2,4,8,16,24,32,48", help="room sizes to try")
    parser.add_argument("--seconds", type=float, default=3.0, help="seconds per room size")
    args = parser.parse_args()

    cmake_build(NATIVE_BUILD, ["velmora_audio_cost"], build_type="Release")
    copy = stage_cost("copy", args.repeat)
    print("per 20 ms frame (inside the engine):")
    for stage in ("copy", "convert", "encode", "decode"):
        ns = copy if stage == "copy" else stage_cost(stage, args.repeat)
        print(f"  {stage:<8} {ns / 1000:9.2f} us  {ns / max(copy, 1):8.1f} x copy")
    spread, alone = stage_cost("encode48", args.repeat, 100), stage_cost("encode48-alone", args.repeat, 100)
    print(f"  encoding of 48 members, one frame: {spread / 1000:.2f} us over the codec workers, "
          f"{alone / 1000:.2f} us on one thread")
    mix = stage_cost("mix48", args.repeat)
    print(f"  mix of 48 members, one 10 ms tick: {mix / 1000:.2f} us")
    print()

    print(f"{'members':>7} {'mixed frames':>13} {'dropped':>8} {'sender late':>12}  result")
    largest = 0
    for size in (int(s) for s in args.sizes.split(",")):
        share, dropped, late, _ = run_room(size, args.seconds)
        ok = share >= 0.97 and dropped == 0
        print(f"{size:>7} {share * 100:>12.1f}% {dropped:>8} {late * 1000:>9.1f} ms  "
              f"{'real time' if ok else 'falls behind'}")
        if ok:
            largest = size
    print(f"largest room sustained in real time: {largest} members")


if __name__ == "__main__":
    main()
