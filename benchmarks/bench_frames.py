"""Cost of moving frame payloads across the binding, next to one plain copy in Python.

Reading `frame.data` makes one copy of the payload into a new bytes object and `SetData`
makes one copy into the engine, so each should cost about one copy of the same size plus a
fixed call overhead. For every payload size and frame type the table gives the best time
per call (best of several repeats) of:
  data     reading frame.data
  SetData  frame.SetData(payload)
  copy     bytes(memoryview(payload)), one plain copy of the same size in Python (the floor)
and each of the first two as a ratio to the floor. Run: python benchmarks/bench_frames.py
"""
import argparse
import timeit

import _velmora

SIZES = [160, 1920, 3840, 64 * 1024, 1024 * 1024]
FRAMES = [_velmora.AudioFrame, _velmora.VideoFrame, _velmora.PixelFrame]


def best_per_call(statement, namespace, repeat):
    timer = timeit.Timer(statement, globals=namespace)
    number, _ = timer.autorange()  # enough calls for about 0.2 s per repeat
    return min(timer.repeat(repeat=repeat, number=number)) / number


def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds / 1e-9:7.1f} ns"


def size_label(size):
    return f"{size // 1024} KiB" if size >= 1024 and size % 1024 == 0 else f"{size} B"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="repeats per measurement")
    repeat = parser.parse_args().repeat

    print(f"{'frame':<11} {'payload':>8} {'data':>11} {'SetData':>11} {'copy':>11} "
          f"{'data/copy':>10} {'SetData/copy':>13}")
    for size in SIZES:
        payload = bytes(i % 251 for i in range(size))
        floor = best_per_call("bytes(memoryview(payload))", {"payload": payload}, repeat)
        for cls in FRAMES:
            frame = cls()
            frame.SetData(payload)
            assert frame.data == payload  # measure a real payload, not an empty one
            namespace = {"frame": frame, "payload": payload}
            read = best_per_call("frame.data", namespace, repeat)
            write = best_per_call("frame.SetData(payload)", namespace, repeat)
            print(f"{cls.__name__:<11} {size_label(size):>8} {format_time(read):>11} "
                  f"{format_time(write):>11} {format_time(floor):>11} "
                  f"{read / floor:>10.2f} {write / floor:>13.2f}")


if __name__ == "__main__":
    main()
