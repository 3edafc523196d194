"""A burst of joins: N members enter one loopback room as fast as one Python thread can enter
them, each unsubscribing from every other member's audio (as a participant process of
bench_processes.py does) and opening its audio channel.

Prints, per N, how long the joins took and the process's CPU time meanwhile: every change of
who hears whom is applied by the room's next tick, so a change that costs the room's members
squared each time turns a burst of joins into minutes of the engine clock's time. Meanwhile
the clock's ticks run late for every other room of the process too.

Run in the project's virtual environment:
    python benchmarks/bench_joins.py [N ...]
"""
import argparse
import resource
import time

import _velmora as v
from velmora import QuietDelegate
from velmora.testing.participants import enter_params


def cpu_s():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def burst(members, room):
    everyone = [f"m{j}" for j in range(members)]
    clouds = []
    began, cpu = time.perf_counter(), cpu_s()
    for me in everyone:
        cloud = v.KWIXCloud(QuietDelegate())
        if cloud.EnterRoom(enter_params(me, room)) != 0:
            raise SystemExit(f"{me} could not enter {room}")
        for other in everyone:
            if other != me:
                cloud.Unsubscribe(other, v.STREAM_TYPE_AUDIO)
        if cloud.CreateLocalAudioChannel(v.AudioEncodeParams()) != 0:
            raise SystemExit(f"{me} could not open its audio channel")
        clouds.append(cloud)
    took, spent = time.perf_counter() - began, cpu_s() - cpu
    for cloud in clouds:
        cloud.ExitRoom()
    return took, spent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("members", nargs="*", type=int, default=[100, 200, 300])
    args = parser.parse_args()
    print(f"{'members':>7} {'joins s':>8} {'cpu s':>7}")
    for i, members in enumerate(args.members):
        took, spent = burst(members, f"joins-{i}")
        print(f"{members:7d} {took:8.2f} {spent:7.2f}", flush=True)


if __name__ == "__main__":
    main()
