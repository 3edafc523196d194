"""Rooms across processes in real time: one bot in this process, N simulated participants
spread over P child processes, all in one loopback room shared through a redis-server of the
benchmark's own. Each participant sends 20 ms of 16 kHz mono audio every 20 ms; the bot
hears every participant (per user, 16 kHz mono 20 ms); the participants hear nobody. For
each (P, N) it prints the share of frames the bot got, the p50 and p99 latency from send
(in the child) to the bot's callback (here), and how far the children's sending fell
behind real time, the frames the bot's engine dropped, and the bot process's CPU while the
participants send, split by thread as bench_room.py does (with the room bus's threads). A run
"carries" N when every frame arrived and p99 <= 60 ms. Latency pairs the k-th frame heard from
a participant with its k-th frame sent, so it is taken only over the participants all of whose
frames arrived ("timed": how many); a frame lost on the way would shift every later pairing.

What the participants send (--send): "pcm", 16-bit PCM their own processes code with Opus
before it crosses the bus, as each participant's client would on its own machine; or "opus",
the same tone coded beforehand (libopus through ctypes, at the channel's bitrate), so that the
run weighs the bot's process alone and not 300 clients' encoders sharing this machine. It also
prints the frames that never left the participants' processes (dropped there as stale when their
coding fell behind) and the participants' processes' CPU.

Run in the project's virtual environment (needs redis-server):
    python benchmarks/bench_processes.py [--processes 1 4] [--members 50 150 300 ...] [--send pcm opus]
                                         [--seconds S]
"""
import argparse
import ctypes
import ctypes.util
import json
import math
import resource
import subprocess
import sys
import threading
import time
import uuid

import _velmora as v
from velmora import QuietDelegate
from velmora.testing import control
from velmora.testing.participants import enter_params
from velmora.testing.processes import RedisServer

from bench_room import spent, threads_text, usage

RATE = 16000
FRAME_MS = 20
SAMPLES = RATE * FRAME_MS // 1000
CARRIED_P99_MS = 60.0
OPUS_FRAMES = 50  # a participant coded beforehand loops this many packets (1 s of its tone)


def tone(index, frame=0):
    freq = 200 + 7 * index
    first = frame * SAMPLES
    return b"".join(int(3000 * math.sin(2 * math.pi * freq * n / RATE)).to_bytes(2, "little", signed=True)
                    for n in range(first, first + SAMPLES))


def opus_packets(index, bitrate_bps):
    """1 s of participant `index`'s tone as 20 ms Opus packets, coded as the engine codes a channel
    (libopus, VoIP, the channel's bitrate, the library's default complexity)."""
    name = ctypes.util.find_library("opus")
    if name is None:
        raise SystemExit("--send opus needs libopus (the Debian package libopus0)")
    opus = ctypes.CDLL(name)
    opus.opus_encoder_create.restype = ctypes.c_void_p
    opus.opus_encoder_create.argtypes = [ctypes.c_int32, ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    opus.opus_encode.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_int32]
    opus.opus_encoder_ctl.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int32]
    opus.opus_encoder_destroy.argtypes = [ctypes.c_void_p]
    error = ctypes.c_int()
    encoder = opus.opus_encoder_create(RATE, 1, 2048, ctypes.byref(error))  # OPUS_APPLICATION_VOIP
    if not encoder or error.value != 0:
        raise SystemExit(f"libopus refused an encoder: error {error.value}")
    try:
        opus.opus_encoder_ctl(encoder, 4002, bitrate_bps)  # OPUS_SET_BITRATE
        out = ctypes.create_string_buffer(1500)
        packets = []
        for k in range(OPUS_FRAMES):
            size = opus.opus_encode(encoder, tone(index, k), SAMPLES, out, len(out))
            if size <= 0:
                raise SystemExit(f"libopus could not code the tone: error {size}")
            packets.append(out.raw[:size])
        return packets
    finally:
        opus.opus_encoder_destroy(encoder)


class Bot(QuietDelegate):
    """Notes the wall time of every frame, per sender."""

    def __init__(self):
        super().__init__()
        self.arrivals = {}
        self.lock = threading.Lock()

    def OnRemoteAudioReceived(self, user_id, frame):
        now = time.time()
        with self.lock:
            self.arrivals.setdefault(user_id, []).append(now)

    def count(self):
        with self.lock:
            return sum(len(a) for a in self.arrivals.values())


def child(args):
    """Participants m<first> .. m<first+count-1>: enter, say ready, wait for the start time on
    stdin, send for `seconds`, print when each tick's frames went out."""
    control.bus_connect(args.url)
    clouds = []
    everyone = [f"m{j}" for j in range(args.total)] + ["bot"]
    for i in range(args.first, args.first + args.count):
        cloud = v.KWIXCloud(QuietDelegate())
        assert cloud.EnterRoom(enter_params(f"m{i}", args.room)) == 0
        for other in everyone:
            if other != f"m{i}":
                cloud.Unsubscribe(other, v.STREAM_TYPE_AUDIO)
        params = v.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = RATE, 1, FRAME_MS
        assert cloud.CreateLocalAudioChannel(params) == 0
        clouds.append(cloud)
    frames = []  # per participant, the frames it sends in turn
    for i in range(args.first, args.first + args.count):
        payloads = opus_packets(i, v.AudioEncodeParams().bitrate_bps) if args.send == "opus" else [tone(i)]
        frames.append([])
        for payload in payloads:
            f = v.AudioFrame()
            f.sample_rate, f.channels, f.bits_per_sample = RATE, 1, 16
            if args.send == "opus":
                f.codec = v.AUDIO_CODEC_TYPE_OPUS
            f.SetData(payload)
            frames[-1].append(f)
    sessions = [control.find_session(f"m{i}") for i in range(args.first, args.first + args.count)]
    print("ready", flush=True)
    start = float(sys.stdin.readline())
    ticks = int(args.seconds * 1000 / FRAME_MS)
    sent_at, lag = [], []
    cpu = resource.getrusage(resource.RUSAGE_SELF)
    began = time.perf_counter()
    for tick in range(ticks):
        due = start + tick * FRAME_MS / 1000
        pause = due - time.time()
        if pause > 0:
            time.sleep(pause)
        now = time.time()
        lag.append(now - due)
        sent_at.append(now)
        for turn, cloud in zip(frames, clouds):
            f = turn[tick % len(turn)]
            f.pts = tick * FRAME_MS
            cloud.SendAudioFrame(f)
    time.sleep(0.2)  # the last frames leave
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu_s = after.ru_utime + after.ru_stime - cpu.ru_utime - cpu.ru_stime
    shed = sum(control.audio_counters(s)["dropped"] for s in sessions)
    print(json.dumps({"sent_at": sent_at, "lag": sorted(lag)[int(0.99 * (len(lag) - 1))], "shed": shed,
                      "cpu %": 100 * cpu_s / (time.perf_counter() - began)}), flush=True)
    time.sleep(1.0)  # the bot's process counts what arrived before these members leave
    for cloud in clouds:
        cloud.ExitRoom()


def pct(values, q):
    return values[min(len(values) - 1, int(q * len(values)))] * 1000 if values else float("nan")


def run_room(url, processes, members, seconds, send):
    room = f"bench-processes-{uuid.uuid4().hex[:8]}"
    bot = Bot()
    cloud = v.KWIXCloud(bot)
    params = enter_params("bot", room)
    obtain = params.audio_obtain_params
    obtain.output_sample_rate, obtain.output_channels, obtain.output_frame_length_ms = RATE, 1, FRAME_MS
    assert cloud.EnterRoom(params) == 0
    engine = control.find_session("bot")
    share = [members // processes + (1 if p < members % processes else 0) for p in range(processes)]
    children, first = [], 0
    for count in share:
        children.append((first, count, subprocess.Popen(
            [sys.executable, __file__, "--child", "--url", url, "--room", room, "--first", str(first),
             "--count", str(count), "--total", str(members), "--seconds", str(seconds), "--send", send],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)))
        first += count
    for _, _, c in children:
        assert c.stdout.readline().strip() == "ready"
    start = time.time() + 1.0
    for _, _, c in children:
        c.stdin.write(f"{start!r}\n")
        c.stdin.flush()
    before = usage()
    reports = [(f, n, json.loads(c.stdout.readline())) for f, n, c in children]
    ticks = int(seconds * 1000 / FRAME_MS)
    expected = ticks * members
    deadline = time.time() + 5
    while bot.count() < expected and time.time() < deadline:
        time.sleep(0.05)
    cost = spent(before, usage())
    for _, _, c in children:
        c.wait(timeout=60)
    dropped = control.dropped_frames(engine)
    cloud.ExitRoom()
    latencies, delivered, timed = [], 0, 0
    for first, count, report in reports:
        sent_at = report["sent_at"]
        for i in range(first, first + count):
            arrivals = bot.arrivals.get(f"m{i}", [])
            delivered += min(len(arrivals), ticks)
            if len(arrivals) >= ticks:
                timed += 1
                latencies.extend(t - sent_at[k] for k, t in enumerate(arrivals[:ticks]))
    latencies.sort()
    lag = max(r["lag"] for _, _, r in reports) * 1000
    return {"delivered %": 100 * delivered / expected, "timed": timed, "p50": pct(latencies, 0.5),
            "p99": pct(latencies, 0.99),
            "lag": lag, "dropped": dropped, "shed": sum(r["shed"] for _, _, r in reports),
            "participants cpu %": sum(r["cpu %"] for _, _, r in reports), **cost}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--processes", nargs="*", type=int, default=[1, 4])
    parser.add_argument("--members", nargs="*", type=int, default=[50, 150, 300])
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--send", nargs="*", choices=("pcm", "opus"), default=["pcm", "opus"],
                        help="what the participants send: PCM their processes code, or Opus coded beforehand")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--url", help=argparse.SUPPRESS)
    parser.add_argument("--room", help=argparse.SUPPRESS)
    parser.add_argument("--first", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--count", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--total", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        args.send = args.send[0]
        return child(args)
    with RedisServer() as redis:
        control.bus_connect(redis.url)
        print(f"{'send':>4} {'processes':>9} {'members':>8} {'delivered %':>12} {'dropped':>8} {'not sent':>8} "
              f"{'timed':>6} {'p50 ms':>8} {'p99 ms':>8} {'sender lag p99 ms':>18} {'carried':>8} {'their cpu %':>11} "
              f"{'cpu %':>6}  cpu % by thread (the bot's process)")
        for send in args.send:
            for p in args.processes:
                for n in args.members:
                    if n < p:
                        continue
                    r = run_room(redis.url, p, n, args.seconds, send)
                    carried = r["delivered %"] >= 100.0 and r["p99"] <= CARRIED_P99_MS
                    print(f"{send:>4} {p:>9} {n:>8} {r['delivered %']:>12.2f} {r['dropped']:>8} {r['shed']:>8} "
                          f"{r['timed']:>6} {r['p50']:>8.1f} {r['p99']:>8.1f} {r['lag']:>18.1f} {'yes' if carried else 'no':>8} "
                          f"{r['participants cpu %']:>11.0f} {r['cpu %']:>6.0f}  {threads_text(r['threads %'])}",
                          flush=True)
        control.bus_disconnect()


if __name__ == "__main__":
    main()
