"""How a loopback room sounds, per path, against what a listener would get from the codec and
resampler on their own (audio_yardstick.py): for each path, averaged over four synthetic
voices, the PESQ of the room and of the reference (libopus's own defaults at the channel's
bitrate, soxr for every change of rate), the delay of the heard audio behind the sent audio
(room and reference), and the room's longest send-to-delivery time with the bound it is held
to (one tick, the codec's and the resamplers' delay, one frame). Runs on the manual clock, so
the figures do not depend on the machine's load. "delay" is the send-to-delivery time less
one tick and one frame: what the codec, the resamplers and any waiting add.

Run in the project's virtual environment: python benchmarks/bench_audio_quality.py
"""
import numpy as np

from audio_yardstick import PATHS, VOICES, latency_bound_ms, measure
from velmora.testing import control


def main():
    control.clock_manual(True)
    print(f"{'path':<31} {'PESQ room':>9} {'PESQ ref':>9} {'delay ms':>9} {'ref ms':>7} "
          f"{'send>delivery ms':>17} {'bound':>6}")
    for path in PATHS:
        figures = [measure(path, voice) for voice in VOICES]
        mean = lambda i: float(np.mean([f[i] for f in figures]))  # noqa: E731
        latency = max(f.latency_ms for f in figures)
        print(f"{path.name:<31} {mean(0):>9.2f} {mean(1):>9.2f} {mean(2):>9.1f} {mean(3):>7.1f} {latency:>17.1f} "
              f"{latency_bound_ms(path):>6.1f}", flush=True)
    control.clock_manual(False)


if __name__ == "__main__":
    main()
