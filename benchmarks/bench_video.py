"""Cost of the loopback engine's video path, and one 1280x720 pixel sender at 30 frames/s to
ten receivers in real time.

First, measured on the engine's own video code by a native program built into
build/bench-native (benchmarks/native/video_cost.cpp, best of --repeat runs) so that no
Python call is in the figure: milliseconds per frame of
  copy      memcpy of the I420 frame (the floor)
  convert   RGBA to I420, what an RGBA sender costs on top
  encode    H.264 at the rate the engine picks for the size at 30 frames/s (OpenH264)
  decode    those frames decoded to I420 again, once per stream for all pixel receivers

Then a room on the real clock: one sender sends the moving test pattern as YUV420p pixel
frames at --fps for --seconds from a Python thread; --pixel receivers take pixels (the engine
encodes once and decodes once for all of them), --encoded receivers take H.264 (the same
encoding). Each frame's pts is its send time, so a receiver's callback measures the time from
the SendPixelFrame call to its delivery. The table gives, per kind of receiver, the share of
frames delivered and the p50/p99 of that time; the sender's SendPixelFrame call cost and its
lateness; the frames the engine's video workers skipped; the process's CPU (% of one core).
The room holds when every receiver got every frame and none was skipped.

Run: python benchmarks/bench_video.py [--size 1280x720] [--fps 30] [--seconds 10]
"""
import argparse
import os
import resource
import subprocess
import sys
import threading
import time

import _velmora as v
from native_build import ROOT, cmake_build
from velmora import QuietDelegate
from velmora.testing import control, media
from velmora.testing.participants import enter_params

NATIVE_BUILD = os.path.join(ROOT, "build", "bench-native")
HIGH = v.STREAM_TYPE_VIDEO_HIGH


def step_cost_ms(step, width, height, repeat, frames=90):
    program = os.path.join(NATIVE_BUILD, "benchmarks", "native", "velmora_video_cost")
    return min(int(subprocess.run([program, step, str(width), str(height), str(frames)], check=True,
                                  capture_output=True, text=True).stdout) for _ in range(repeat)) / 1e6


class Receiver(QuietDelegate):
    def __init__(self, t0):
        super().__init__()
        self.t0 = t0
        self.latencies = []
        self.entered = threading.Event()

    def OnEnterRoom(self):
        self.entered.set()

    def _took(self, frame):
        self.latencies.append((time.monotonic() - self.t0) * 1000 - frame.pts)

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        self._took(frame)

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self._took(frame)


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


def run_room(width, height, fps, seconds, pixel, encoded):
    t0 = time.monotonic()
    room = f"bench-video-{os.getpid()}"
    sender = Receiver(t0)
    sender_cloud = v.KWIXCloud(sender)
    assert sender_cloud.EnterRoom(enter_params("sender", room, user_sig="bench", pixel_input=True)) == 0
    assert sender_cloud.CreateLocalVideoChannel(HIGH) == 0
    encode = v.VideoEncodeParams()
    encode.frame_rate = fps
    sender_cloud.SetVideoEncodeParam(HIGH, encode)
    receivers = []
    for n in range(pixel + encoded):
        r = Receiver(t0)
        cloud = v.KWIXCloud(r)
        assert cloud.EnterRoom(enter_params(f"r{n}", room, user_sig="bench", pixel_output=n < pixel)) == 0
        assert cloud.Subscribe("sender", HIGH) == 0
        receivers.append((n < pixel, r, cloud))
    engine = control.find_session("sender")
    pictures = []
    for i in range(30):
        f = v.PixelFrame()
        f.width, f.height, f.format = width, height, v.VIDEO_PIXEL_FORMAT_YUV420p
        f.SetData(media.test_pattern(i, width, height))
        pictures.append(f)
    total = int(seconds * fps)
    call_ms, late_ms = [], []
    cpu0 = resource.getrusage(resource.RUSAGE_SELF)
    wall0 = time.monotonic()
    for i in range(total):
        due = wall0 + i / fps
        now = time.monotonic()
        if now < due:
            time.sleep(due - now)
        late_ms.append(max(0.0, (time.monotonic() - due) * 1000))
        f = pictures[i % len(pictures)]
        f.pts = int((time.monotonic() - t0) * 1000)
        before = time.perf_counter()
        assert sender_cloud.SendPixelFrame(HIGH, f) == 0
        call_ms.append((time.perf_counter() - before) * 1000)
    control.settle([engine] + [control.find_session(f"r{n}") for n in range(len(receivers))])
    wall = time.monotonic() - wall0
    cpu1 = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (cpu1.ru_utime + cpu1.ru_stime - cpu0.ru_utime - cpu0.ru_stime) / wall * 100
    skipped = control.video_counters(engine)["skipped"]
    kinds = {}
    for is_pixel, r, cloud in receivers:
        kinds.setdefault("pixels" if is_pixel else "H.264", []).append(r.latencies)
        cloud.ExitRoom()
    sender_cloud.ExitRoom()
    return total, kinds, call_ms, late_ms, skipped, cpu


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", default="1280x720", help="WIDTHxHEIGHT")
    parser.add_argument("--fps", type=int, default=30)
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--pixel", type=int, default=5, help="receivers that take pixels")
    parser.add_argument("--encoded", type=int, default=5, help="receivers that take H.264")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each native step (the best counts)")
    args = parser.parse_args(argv)
    width, height = (int(side) for side in args.size.lower().split("x"))

    cmake_build(NATIVE_BUILD, ["velmora_video_cost"], build_type="Release")
    print(f"cost per {width}x{height} frame, engine code alone (best of {args.repeat}):")
    for step in ("copy", "convert", "encode", "decode"):
        print(f"  {step:8} {step_cost_ms(step, width, height, args.repeat):7.2f} ms")

    total, kinds, call_ms, late_ms, skipped, cpu = run_room(width, height, args.fps, args.seconds, args.pixel,
                                                            args.encoded)
    print(f"\none sender, {width}x{height} at {args.fps} frames/s for {args.seconds:g} s ({total} frames), "
          f"{args.pixel} pixel and {args.encoded} H.264 receivers:")
    print(f"  {'receivers':10} {'delivered':>10} {'p50 ms':>8} {'p99 ms':>8}")
    holds = skipped == 0
    for kind, lists in kinds.items():
        got = sum(len(x) for x in lists)
        share = got / (total * len(lists))
        everything = [ms for x in lists for ms in x]
        holds = holds and share == 1.0
        print(f"  {kind:10} {share:10.1%} {percentile(everything, 0.5):8.1f} {percentile(everything, 0.99):8.1f}")
    print(f"  SendPixelFrame call: mean {sum(call_ms) / len(call_ms):.2f} ms, p99 {percentile(call_ms, 0.99):.2f} ms;"
          f" sender late p99 {percentile(late_ms, 0.99):.1f} ms")
    print(f"  skipped by the video workers: {skipped}; process CPU {cpu:.0f} % of one core")
    print(f"  the room {'holds' if holds else 'does not hold'} in real time")
    return 0


if __name__ == "__main__":
    sys.exit(main())
