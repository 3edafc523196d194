"""What the simulated network costs the engine: N silent members (sessions without a
delegate, so no Python callback runs) in one loopback room each send 20 ms of 16 kHz mono
audio every 20 ms of the manual clock and hear every other member per user. The same room
runs in one process without faults, then with every member's link at 50 ms latency, 20 ms
jitter and 5 % audio loss (each frame then waits in the room's holding queue). Prints the
wall time the clock's ticks took per simulated second for each, and their ratio.

Run in the project's virtual environment:  python benchmarks/bench_network.py [N ...] [--seconds S]
"""
import argparse
import array
import math
import time

import _velmora as v
from velmora.testing import control
from velmora.testing.participants import enter_params

RATE = 16000
FRAME_MS = 20


def frame(index):
    f = v.AudioFrame()
    f.sample_rate, f.channels, f.bits_per_sample = RATE, 1, 16
    samples = [int(3000 * math.sin(2 * math.pi * (200 + 20 * index) * n / RATE))
               for n in range(RATE * FRAME_MS // 1000)]
    f.SetData(array.array("h", samples).tobytes())
    return f


def run_room(members, seconds, room, faulty):
    control.reset_faults()
    control.clock_manual(True)
    clouds = [v.KWIXCloud(None) for _ in range(members)]
    for i, cloud in enumerate(clouds):
        p = enter_params(f"m{i}", room)
        assert cloud.EnterRoom(p) == 0
        channel = v.AudioEncodeParams()
        channel.sample_rate = RATE
        assert cloud.CreateLocalAudioChannel(channel) == 0
        if faulty:
            control.set_link(f"m{i}", latency_ms=25, jitter_ms=10, audio_loss=0.025)
    frames = [frame(i) for i in range(members)]
    in_ticks = 0.0
    for step in range(int(seconds * 1000 / FRAME_MS)):
        for i, cloud in enumerate(clouds):
            frames[i].pts = step * FRAME_MS
            cloud.SendAudioFrame(frames[i])
        start = time.perf_counter()
        control.clock_advance(FRAME_MS)
        in_ticks += time.perf_counter() - start
    for cloud in clouds:
        cloud.ExitRoom()
    del clouds
    control.clock_manual(False)
    control.reset_faults()
    return in_ticks / seconds * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("members", nargs="*", type=int, default=[8, 32])
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    print(f"{'members':>8} {'clean ms/s':>11} {'faulty ms/s':>12} {'ratio':>6}")
    for n in args.members:
        clean = run_room(n, args.seconds, f"bench-clean-{n}", False)
        faulty = run_room(n, args.seconds, f"bench-faulty-{n}", True)
        print(f"{n:>8} {clean:>11.1f} {faulty:>12.1f} {faulty / clean:>6.2f}")


if __name__ == "__main__":
    main()
