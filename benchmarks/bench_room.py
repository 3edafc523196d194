"""A busy room in real time: N members in one loopback room, each a Python delegate, each
sending 20 ms of 48 kHz mono audio every 20 ms (and asking for 48 kHz mono 20 ms back) and
receiving every other member's frames. For each N it prints the share of frames delivered,
the frames the engine dropped, the p50 and p99 latency from send to callback, how far the
sending loop fell behind real time, and what the process spent meanwhile: CPU time (all its
threads, in % of one core) and context switches per second (most of them thread wake-ups).
A room holds when every frame is delivered, none dropped and p99 is at most 40 ms.

Run in the project's virtual environment:
    python benchmarks/bench_room.py [N ...] [--seconds S] [--repeat K]
On a shared machine the figures move from run to run: --repeat runs each N K times in turn.
"""
import argparse
import math
import resource
import threading
import time

import _velmora as v
from velmora.testing import control
from velmora.testing.participants import enter_params

RATE = 48000
FRAME_MS = 20
SAMPLES = RATE * FRAME_MS // 1000


def tone(index):
    """20 ms of a quiet sine, different per member, as 16-bit little-endian PCM."""
    freq = 200 + 20 * index
    return b"".join(int(3000 * math.sin(2 * math.pi * freq * n / RATE)).to_bytes(2, "little", signed=True)
                    for n in range(SAMPLES))


class Listener(v.KWIXCloudDelegate):
    """Notes the arrival time of every remote frame, per sender, and ignores the rest."""

    def __init__(self):
        super().__init__()
        self.arrivals = {}
        self.entered = threading.Event()

    def OnRemoteAudioReceived(self, user_id, frame):
        self.arrivals.setdefault(user_id, []).append(time.perf_counter())

    def OnEnterRoom(self):
        self.entered.set()


for _name in ("OnError", "OnConnectionStateChanged", "OnExitRoom", "OnLocalAudioChannelCreated",
              "OnLocalAudioChannelDestroyed", "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom",
              "OnRemoteAudioAvailable", "OnRemoteMixedAudioReceived", "OnNetworkQuality"):
    setattr(Listener, _name, lambda self, *args: None)


def run_room(members, seconds, room):
    delegates = [Listener() for _ in range(members)]
    clouds = [v.KWIXCloud(d) for d in delegates]
    engines = control.sessions()[-members:]
    for i, cloud in enumerate(clouds):
        p = enter_params(f"m{i}", room, output_sample_rate=RATE, output_channels=1, output_frame_length_ms=FRAME_MS)
        assert cloud.EnterRoom(p) == 0
        assert cloud.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
    for d in delegates:
        assert d.entered.wait(10)
    frames = []
    for i in range(members):
        f = v.AudioFrame()
        f.sample_rate, f.channels, f.bits_per_sample = RATE, 1, 16
        f.SetData(tone(i))
        frames.append(f)

    ticks = int(seconds * 1000 / FRAME_MS)
    sent_at = []
    lag = []
    usage_before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    for tick in range(ticks):
        due = start + tick * FRAME_MS / 1000
        pause = due - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
        now = time.perf_counter()
        lag.append(now - due)
        sent_at.append(now)
        for i, cloud in enumerate(clouds):
            frames[i].pts = tick * FRAME_MS
            cloud.SendAudioFrame(frames[i])
    deadline = time.perf_counter() + 5
    expected = ticks * members * (members - 1)
    while time.perf_counter() < deadline:
        if sum(len(a) for d in delegates for a in d.arrivals.values()) >= expected:
            break
        time.sleep(0.05)
    for e in engines:
        control.wait_idle(e, 5000)
    elapsed = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (usage.ru_utime + usage.ru_stime) - (usage_before.ru_utime + usage_before.ru_stime)
    switches = (usage.ru_nvcsw + usage.ru_nivcsw) - (usage_before.ru_nvcsw + usage_before.ru_nivcsw)

    latencies = []
    delivered = 0
    for d in delegates:
        for arrivals in d.arrivals.values():
            delivered += len(arrivals)
            # The k-th frame from a sender is the k-th it sent, as long as none was dropped.
            latencies.extend(t - sent_at[k] for k, t in enumerate(arrivals[:ticks]))
    dropped = sum(control.dropped_frames(e) for e in engines)
    for cloud in clouds:
        cloud.ExitRoom()
    del clouds
    latencies.sort()
    lag.sort()

    def pct(values, q):
        return values[min(len(values) - 1, int(q * len(values)))] * 1000 if values else float("nan")

    return {"members": members, "callbacks/s": expected / seconds, "delivered %": 100 * delivered / expected,
            "dropped": dropped, "p50 ms": pct(latencies, 0.5), "p99 ms": pct(latencies, 0.99),
            "sender lag p99 ms": pct(lag, 0.99), "cpu %": 100 * cpu / elapsed,
            "switches/s": switches / elapsed}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("members", nargs="*", type=int, default=[8, 16, 32, 48])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeat", type=int, default=1)
    args = parser.parse_args()
    print(f"{'members':>8} {'callbacks/s':>12} {'delivered %':>12} {'dropped':>8} {'p50 ms':>8} "
          f"{'p99 ms':>8} {'sender lag p99 ms':>18} {'cpu %':>6} {'switches/s':>11} {'holds':>6}")
    for run in range(args.repeat):
        for n in args.members:
            r = run_room(n, args.seconds, f"bench-room-{n}-{run}")
            holds = r["delivered %"] == 100 and r["dropped"] == 0 and r["p99 ms"] <= 40
            print(f"{r['members']:>8} {r['callbacks/s']:>12.0f} {r['delivered %']:>12.2f} {r['dropped']:>8} "
                  f"{r['p50 ms']:>8.1f} {r['p99 ms']:>8.1f} {r['sender lag p99 ms']:>18.1f} {r['cpu %']:>6.0f} "
                  f"{r['switches/s']:>11.0f} {'yes' if holds else 'no':>6}", flush=True)


if __name__ == "__main__":
    main()
