"""Remote audio frames per second through velmora.aio (engine thread -> hand-off queue ->
event loop -> MediaStream -> reader task), beside a plain delegate that only counts them.

A peer sends COUNT frames as fast as SendAudioFrame takes them; the figure is the time from
the first send until the receiver has seen the last frame (or its drop was counted).

Run in the project's virtual environment:  python benchmarks/bench_aio.py
"""
import asyncio
import threading
import time

import _velmora as v
from velmora.aio import CALLBACKS, Room
from velmora.testing import control
from velmora.testing.participants import enter_params

COUNT = 20000
FRAME = 48000 * 2 // 50  # 20 ms of 48 kHz mono 16-bit PCM


def frame():
    f = v.AudioFrame()
    f.sample_rate, f.channels, f.bits_per_sample = 48000, 1, 16
    f.SetData(bytes(FRAME))
    return f


class Counting(v.KWIXCloudDelegate):
    def __init__(self):
        super().__init__()
        self.frames = 0
        self.done = threading.Event()

    def OnRemoteAudioReceived(self, user_id, f):
        self.frames += 1
        if self.frames == COUNT:
            self.done.set()


for _name in CALLBACKS:
    if _name != "OnRemoteAudioReceived":
        setattr(Counting, _name, lambda self, *args: None)


def plain_delegate():
    listener = Counting()
    session = v.KWIXCloud(listener)
    session.EnterRoom(enter_params("bob", "bench-plain"))
    peer = v.KWIXCloud(Counting())
    peer.EnterRoom(enter_params("alice", "bench-plain"))
    peer.CreateLocalAudioChannel(v.AudioEncodeParams())
    sample = frame()
    started = time.perf_counter()
    for _ in range(COUNT):
        peer.SendAudioFrame(sample)
    listener.done.wait(60)
    return time.perf_counter() - started, listener.frames


async def through_aio():
    async with Room(enter_params("bob", "bench-aio"), media_queue=COUNT) as bob:
        stream = bob.audio("alice", maxlen=COUNT)
        async with Room(enter_params("alice", "bench-aio")) as alice:
            created = alice.wait_for("OnLocalAudioChannelCreated")
            alice.session.CreateLocalAudioChannel(v.AudioEncodeParams())
            await created
            sample = frame()
            started = time.perf_counter()
            read = 0

            async def reader():
                nonlocal read
                async for _ in stream:
                    read += 1
                    if read + stream.dropped + bob.dropped_in_transit >= COUNT:
                        return

            task = asyncio.ensure_future(reader())
            for index in range(COUNT):
                alice.session.SendAudioFrame(sample)
                if index % 64 == 0:
                    await asyncio.sleep(0)
            await asyncio.wait_for(task, 60)
            return time.perf_counter() - started, read, bob.dropped_in_transit


def main():
    # The engine's own bound on a slow receiver's queue would drop frames before either
    # receiver sees them; lift it so both are measured on every frame.
    control.set_media_queue_limit(COUNT + 1024)
    try:
        run_both()
    finally:
        control.reset_faults()


def run_both():
    seconds, frames = plain_delegate()
    print(f"plain delegate:  {frames} frames in {seconds:.3f} s = {frames / seconds:,.0f} frames/s")
    seconds, frames, dropped = asyncio.run(through_aio())
    print(f"velmora.aio:     {frames} frames in {seconds:.3f} s = {frames / seconds:,.0f} frames/s "
          f"({dropped} dropped in transit)")


if __name__ == "__main__":
    main()
