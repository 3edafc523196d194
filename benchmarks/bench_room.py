"""A busy room in real time: N members in one loopback room, each a Python delegate, each
sending 20 ms of 48 kHz mono audio every 20 ms (and asking for 48 kHz mono 20 ms back) and
receiving every other member's frames.

Room mode (the default) runs each N for a few seconds and prints the share of frames
delivered, the frames the engine dropped, the p50 and p99 age of delivered frames (from the
send to the callback), how far the sending loop fell behind real time, and what the process
spent meanwhile: CPU time (all its threads, in % of one core), the CPU time per callback
delivered (less noisy than the rest on a shared machine) and context switches per second
(most of them thread wake-ups), and that CPU time split by thread: the engine clock's ticks
(conversion, coding and fan-out of the audio), its codec workers, its delivery threads (the
callbacks into Python) and the rest (this script's sending loop). A room holds when every
frame is delivered, none dropped and p99 is at most 40 ms.

Overload mode (--overload) keeps N members in the room (300 by default), all listening, and
steps the number of them that send: a ramp up past what the process can deliver and back
down. More listeners than senders, so that the offered load grows past what the process
delivers before coding the senders' audio takes the engine clock's whole thread. Per step it
prints the callbacks offered and delivered per second (and delivered as a share of the best
step's), fairness (the receiver that got the smallest share of what was sent to it, as a
share of the average receiver's), the p50 and p99 age of what was delivered, and, for a step
below the one before it, recovery: how long after the step began frames were still lost, and
p99 age from one second into the step.

Both modes first measure the floor: callbacks per second that one Python thread gets calling
the listeners' method with new frame objects, no engine involved; each delivered rate is
also printed as a share of that floor.

The age of a frame comes from its pts, which counts the listener's engine clock from when it
joined: a stream's first frame is stamped with the tick that made it, and each frame after,
delivered or dropped, 20 ms further on. So join time plus pts, on this script's clock, is when
the frame was due (its tick); the frame is the one its sender sent last before then, and its
age runs from that send to the callback. A listener whose first frames from a sender were
dropped (a sender that began while the room was past capacity) still stamps the rest right.

Run in the project's virtual environment:
    python benchmarks/bench_room.py [N ...] [--seconds S] [--repeat K]
    python benchmarks/bench_room.py --overload [--members N] [--steps A,B,...] [--step-seconds S]
On a shared machine the figures move from run to run: --repeat runs everything K times in turn.
"""
import argparse
import bisect
import math
import os
import resource
import threading
import time
from array import array

import _velmora as v
from velmora.testing import control
from velmora.testing.participants import enter_params

RATE = 48000
FRAME_MS = 20
SAMPLES = RATE * FRAME_MS // 1000
clock = time.perf_counter


def tone(index):
    """20 ms of a quiet sine, different per member, as 16-bit little-endian PCM."""
    freq = 200 + 20 * index
    return b"".join(int(3000 * math.sin(2 * math.pi * freq * n / RATE)).to_bytes(2, "little", signed=True)
                    for n in range(SAMPLES))


class Listener(v.KWIXCloudDelegate):
    """Notes the pts and arrival time of every remote frame, per sender, and ignores the rest."""

    def __init__(self):
        super().__init__()
        self.heard = {}  # user id -> array of pts, arrival, pts, arrival, ...
        self.entered = threading.Event()

    def OnRemoteAudioReceived(self, user_id, frame):
        pairs = self.heard.get(user_id)
        if pairs is None:
            pairs = self.heard[user_id] = array("d")
        pairs.append(frame.pts)
        pairs.append(clock())

    def OnEnterRoom(self):
        self.entered.set()


for _name in ("OnError", "OnConnectionStateChanged", "OnExitRoom", "OnLocalAudioChannelCreated",
              "OnLocalAudioChannelDestroyed", "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom",
              "OnRemoteAudioAvailable", "OnRemoteMixedAudioReceived", "OnNetworkQuality"):
    setattr(Listener, _name, lambda self, *args: None)


def floor(count=200000):
    """Callbacks per second of one Python thread calling a listener's method, and a no-op
    method, with a new frame each time (the best of three tries)."""
    listener = Listener()
    method = listener.OnRemoteAudioReceived
    noop = Listener.OnRemoteAudioAvailable.__get__(listener)
    frame = v.AudioFrame
    best = {}
    for name, call in (("listener", method), ("no-op", noop)):
        for _ in range(3):
            start = clock()
            for _ in range(count):
                call("m1", frame())
            best[name] = max(best.get(name, 0), count / (clock() - start))
    return best


def pct(values, q):
    return values[min(len(values) - 1, int(q * len(values)))] * 1000 if values else float("nan")


TICKS = os.sysconf("SC_CLK_TCK")
# Thread names: the engine's clock (the ticks: audio coding and fan-out), its codec workers,
# its delivery threads (the callbacks into Python), and the rest (this script's sending loop).
GROUPS = {"velmora-clock": "clock", "velmora-codec": "codec", "velmora-deliver": "deliver",
          "velmora-bus-in": "bus", "velmora-bus-out": "bus"}


class ThreadsCpu:
    """CPU seconds per group of this process's threads (by name), those that ended included:
    each thread's figure as last seen, looked at every 100 ms (idle delivery threads retire
    within a second, often before a run's end)."""

    def __init__(self):
        self.seen = {}  # thread id -> (group, CPU seconds)
        self.lock = threading.Lock()
        threading.Thread(target=self._watch, daemon=True).start()

    def _watch(self):
        while True:
            self.totals()
            time.sleep(0.1)

    def totals(self):
        now = {}
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/stat") as stat:
                    text = stat.read()
            except (FileNotFoundError, ProcessLookupError):  # ended meanwhile
                continue
            name = text[text.index("(") + 1:text.rindex(")")]
            fields = text[text.rindex(")") + 2:].split()
            now[task] = (GROUPS.get(name, "other"), (int(fields[11]) + int(fields[12])) / TICKS)
        with self.lock:
            self.seen.update(now)
            totals = {}
            for group, seconds in self.seen.values():
                totals[group] = totals.get(group, 0.0) + seconds
        return totals


threads_cpu = None


def usage():
    u = resource.getrusage(resource.RUSAGE_SELF)
    global threads_cpu
    if threads_cpu is None:
        threads_cpu = ThreadsCpu()
    return u.ru_utime + u.ru_stime, u.ru_nvcsw + u.ru_nivcsw, time.perf_counter(), threads_cpu.totals()


def spent(before, after):
    elapsed = after[2] - before[2]
    by_thread = {g: 100 * max(0.0, after[3].get(g, 0.0) - before[3].get(g, 0.0)) / elapsed
                 for g in ("clock", "codec", "deliver", "bus", "other") if g != "bus" or g in after[3]}
    return {"cpu %": 100 * (after[0] - before[0]) / elapsed, "switches/s": (after[1] - before[1]) / elapsed,
            "cpu s": after[0] - before[0], "threads %": by_thread}


def threads_text(by_thread):
    return " ".join(f"{g} {p:.0f}" for g, p in by_thread.items())


class Room:
    def __init__(self, members, room):
        self.members = members
        self.delegates = [Listener() for _ in range(members)]
        self.clouds = [v.KWIXCloud(d) for d in self.delegates]
        self.engines = control.sessions()[-members:]
        self.ids = [f"m{i}" for i in range(members)]
        self.joined = []  # engine clock (ms) at each member's join, the origin of its pts
        before = clock()
        engine_ms = control.clock_now()
        self.engine_origin = (before + clock()) / 2 - engine_ms / 1000  # engine clock 0 on this clock
        for i, cloud in enumerate(self.clouds):
            p = enter_params(self.ids[i], room)
            obtain = p.audio_obtain_params
            obtain.output_sample_rate, obtain.output_channels, obtain.output_frame_length_ms = RATE, 1, FRAME_MS
            assert cloud.EnterRoom(p) == 0
            self.joined.append(control.clock_now())
            assert cloud.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
        for d in self.delegates:
            assert d.entered.wait(10)
        # The joins' callbacks (each member hears of every other) are delivered before the
        # first frame is sent: a backlog of them would make the first frames wait, and the
        # engine drop them, in a room well within capacity.
        for e in self.engines:
            control.wait_idle(e, 30000)
        self.frames = []
        for i in range(members):
            f = v.AudioFrame()
            f.sample_rate, f.channels, f.bits_per_sample = RATE, 1, 16
            f.SetData(tone(i))
            self.frames.append(f)
        self.sent = [array("d") for _ in range(members)]  # per sender: send time of each frame

    def send(self, schedule, on_tick=None):
        """Sends every 20 ms from the members schedule(tick) names (the first n, or None to
        stop); returns the sending loop's lag behind real time per tick."""
        lag = []
        start = clock()
        tick = 0
        while True:
            active = schedule(tick)
            if active is None:
                return lag
            due = start + tick * FRAME_MS / 1000
            pause = due - clock()
            if pause > 0:
                time.sleep(pause)
            now = clock()
            lag.append(now - due)
            if on_tick:
                on_tick(tick, now)
            for i in range(active):
                self.sent[i].append(now)
                self.clouds[i].SendAudioFrame(self.frames[i])
            tick += 1

    def settle(self, expected):
        deadline = clock() + 5
        while clock() < deadline and self.delivered() < expected:
            time.sleep(0.05)
        for e in self.engines:
            try:
                control.wait_idle(e, 5000)
            except TimeoutError:  # a room past capacity: what it delivered is counted as it is
                pass

    def delivered(self):
        return sum(len(a) // 2 for d in self.delegates for a in list(d.heard.values()))

    def dropped(self):
        return sum(control.dropped_frames(e) for e in self.engines)

    def deliveries(self):
        """(listener, sender, frame number, send time, arrival) of every delivered frame."""
        index = {uid: i for i, uid in enumerate(self.ids)}
        for li, d in enumerate(self.delegates):
            origin = self.engine_origin + self.joined[li] / 1000
            # A backlog may still be delivered meanwhile (a room past capacity).
            for uid, pairs in list(d.heard.items()):
                si = index[uid]
                sent = self.sent[si]
                for j in range(0, len(pairs), 2):
                    # A ms of slack: the engine clock's ms and the join's are whole.
                    k = bisect.bisect_right(sent, origin + pairs[j] / 1000 + 0.001) - 1
                    if k >= 0:
                        yield li, si, k, sent[k], pairs[j + 1]

    def close(self):
        for cloud in self.clouds:
            cloud.ExitRoom()
        self.clouds = []


def run_room(members, seconds, room):
    r = Room(members, room)
    ticks = int(seconds * 1000 / FRAME_MS)
    before = usage()
    lag = r.send(lambda tick: members if tick < ticks else None)
    expected = ticks * members * (members - 1)
    r.settle(expected)
    cost = spent(before, usage())
    ages = sorted(arrival - sent for _, _, _, sent, arrival in r.deliveries())
    delivered, dropped = r.delivered(), r.dropped()
    cost["cpu us/callback"] = cost["cpu s"] / max(delivered, 1) * 1e6
    r.close()
    lag.sort()
    return dict({"members": members, "callbacks/s": expected / seconds, "delivered %": 100 * delivered / expected,
                 "dropped": dropped, "p50 ms": pct(ages, 0.5), "p99 ms": pct(ages, 0.99),
                 "sender lag p99 ms": pct(lag, 0.99)}, **cost)


def run_overload(members, steps, step_seconds, room):
    r = Room(members, room)
    step_ticks = int(step_seconds * 1000 / FRAME_MS)
    marks = []  # per step: (first tick's time, usage, dropped)

    def on_tick(tick, now):
        if tick % step_ticks == 0:
            marks.append((now, usage(), r.dropped()))

    lag = r.send(lambda tick: steps[tick // step_ticks] if tick < step_ticks * len(steps) else None, on_tick)
    end = clock()
    r.settle(sum(len(s) for s in r.sent) * (members - 1))
    marks.append((end, usage(), r.dropped()))
    bounds = [m[0] for m in marks]

    def step_of(t):
        for j in range(len(steps)):
            if t < bounds[j + 1]:
                return j if t >= bounds[j] else None
        return None

    n = len(steps)
    arrived = [0] * n                          # callbacks made during the step
    got = [[0] * members for _ in range(n)]    # per receiver: frames sent in the step it got
    ages = [[] for _ in range(n)]
    late_ages = [[] for _ in range(n)]         # frames sent from 1 s into the step
    seen = {}                                  # (listener, sender) -> frame numbers delivered
    for li, si, k, sent, arrival in r.deliveries():
        a = step_of(arrival)
        if a is not None:
            arrived[a] += 1
        s = step_of(sent)
        if s is None:
            continue
        got[s][li] += 1
        ages[s].append(arrival - sent)
        if sent >= bounds[s] + 1.0:
            late_ages[s].append(arrival - sent)
        seen.setdefault((li, si), set()).add(k)
    results = []
    for j in range(n):
        span = bounds[j + 1] - bounds[j]
        senders = steps[j]
        # What each receiver was sent in the step: every active sender's frames but its own.
        sent_in = [[k for k, t in enumerate(r.sent[si]) if bounds[j] <= t < bounds[j + 1]] for si in range(senders)]
        frames = sum(len(s) for s in sent_in)
        offered = [frames - (len(sent_in[li]) if li < senders else 0) for li in range(members)]
        shares = [got[j][li] / offered[li] for li in range(members) if offered[li]]
        mean = sum(shares) / len(shares) if shares else float("nan")
        lost_until = 0.0
        if j > 0 and senders < steps[j - 1]:
            for si in range(senders):
                for k in sent_in[si]:
                    t = r.sent[si][k]
                    if t - bounds[j] <= lost_until:
                        continue
                    for li in range(members):
                        if li != si and k not in seen.get((li, si), ()):
                            lost_until = t - bounds[j]
                            break
        ages[j].sort()
        late_ages[j].sort()
        results.append({
            "senders": senders, "offered/s": sum(offered) / span, "delivered/s": arrived[j] / span,
            "whole %": 100 * sum(got[j]) / sum(offered) if sum(offered) else float("nan"),
            "dropped": marks[j + 1][2] - marks[j][2], "fairness": min(shares) / mean if shares and mean else float("nan"),
            "p50 ms": pct(ages[j], 0.5), "p99 ms": pct(ages[j], 0.99),
            "recovery ms": lost_until * 1000 if j > 0 and senders < steps[j - 1] else None,
            "p99 after 1 s": pct(late_ages[j], 0.99),
            "sender lag p99 ms": pct(sorted(lag[j * step_ticks:(j + 1) * step_ticks]), 0.99),
            **spent(marks[j][1], marks[j + 1][1])})
    r.close()
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("members", nargs="*", type=int,
                        help="room sizes (default 8 16 32 48); with --overload, the room's size (default 300)")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--overload", action="store_true", help="a ramp of senders past capacity and back")
    parser.add_argument("--steps", default="10,20,30,45,60,90,20,10",
                        help="senders per step of the ramp (default: to about three times what two cores "
                             "deliver, and back)")
    parser.add_argument("--step-seconds", type=float, default=2.0)
    args = parser.parse_args()
    if not args.members and not args.overload:
        args.members = [8, 16, 32, 48]
    for run in range(args.repeat):
        f = floor()
        print(f"floor: {f['listener']:.0f} callbacks/s into the listeners' method, {f['no-op']:.0f} into a no-op "
              "(one Python thread, new frame objects)", flush=True)
        if args.overload:
            steps = [int(s) for s in args.steps.split(",")]
            results = run_overload(max(args.members + steps + [300 if not args.members else 0]), steps,
                                   args.step_seconds, f"bench-overload-{run}")
            peak = max(x["delivered/s"] for x in results)
            print(f"{'senders':>7} {'offered/s':>10} {'delivered/s':>11} {'of peak':>7} {'whole %':>7} "
                  f"{'dropped':>8} {'fairness':>8} {'p50 ms':>7} {'p99 ms':>7} {'recovery ms':>11} "
                  f"{'p99 after 1 s':>13} {'lag p99':>7} {'cpu %':>6} {'switches/s':>10}  cpu % by thread")
            for x in results:
                recovery = "" if x["recovery ms"] is None else f"{x['recovery ms']:.0f}"
                print(f"{x['senders']:>7} {x['offered/s']:>10.0f} {x['delivered/s']:>11.0f} "
                      f"{x['delivered/s'] / peak:>7.2f} {x['whole %']:>7.2f} {x['dropped']:>8} "
                      f"{x['fairness']:>8.2f} {x['p50 ms']:>7.1f} {x['p99 ms']:>7.1f} {recovery:>11} "
                      f"{x['p99 after 1 s']:>13.1f} {x['sender lag p99 ms']:>7.1f} {x['cpu %']:>6.0f} "
                      f"{x['switches/s']:>10.0f}  "
                      f"{threads_text(x['threads %'])}", flush=True)
            print(f"peak: {peak:.0f} callbacks/s = {peak / f['listener']:.2f} of the floor", flush=True)
            continue
        print(f"{'members':>8} {'callbacks/s':>12} {'of floor':>8} {'delivered %':>12} {'dropped':>8} {'p50 ms':>8} "
              f"{'p99 ms':>8} {'sender lag p99 ms':>18} {'cpu %':>6} {'cpu us/cb':>9} {'switches/s':>11} {'holds':>6}"
              "  cpu % by thread")
        for n in args.members:
            r = run_room(n, args.seconds, f"bench-room-{n}-{run}")
            holds = r["delivered %"] == 100 and r["dropped"] == 0 and r["p99 ms"] <= 40
            print(f"{r['members']:>8} {r['callbacks/s']:>12.0f} {r['callbacks/s'] / f['listener']:>8.2f} "
                  f"{r['delivered %']:>12.2f} {r['dropped']:>8} "
                  f"{r['p50 ms']:>8.1f} {r['p99 ms']:>8.1f} {r['sender lag p99 ms']:>18.1f} {r['cpu %']:>6.0f} "
                  f"{r['cpu us/callback']:>9.2f} "
                  f"{r['switches/s']:>11.0f} {'yes' if holds else 'no':>6}  {threads_text(r['threads %'])}",
                  flush=True)


if __name__ == "__main__":
    main()
