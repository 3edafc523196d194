"""Writes the synthetic speech the audio quality tests listen to: one sentence in each of four
espeak-ng voices, as 16 kHz mono 16-bit WAV files in benchmarks/data/ (speech-<voice>.wav),
beside the audio quality yardstick that benchmarks and tests share.

The files are committed, so the tests never need espeak-ng; run this only to make them again
(needs espeak-ng from Debian and the soxr package):
    python tools/make_speech_samples.py
"""
import io
import os
import subprocess
import wave

import numpy as np
import soxr

DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "benchmarks", "data")
RATE = 16000
# Active speech at about -26 dB below full scale, the level speech quality measures expect.
LEVEL_DB = -26.0

VOICES = {
    "us-male": ("en-us+m3", "The birch canoe slid on the smooth planks."),
    "us-female": ("en-us+f3", "Glue the sheet to the dark blue background."),
    "gb-male": ("en-gb+m1", "It is easy to tell the depth of a well."),
    "scottish-female": ("en-gb-scotland+f4", "These days a chicken leg is a rare dish."),
}


def synthesize(voice, text):
    wav = subprocess.run(["espeak-ng", "-v", voice, "-s", "150", "--stdout", text], check=True,
                         capture_output=True).stdout
    with wave.open(io.BytesIO(wav)) as w:
        rate = w.getframerate()
        x = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).astype(np.float64)
    return soxr.resample(x, rate, RATE, quality="VHQ")


def trimmed(x, margin_ms=100):
    """Without the silence around the sentence, less a short margin."""
    loud = np.flatnonzero(np.abs(x) > 0.01 * np.max(np.abs(x)))
    margin = RATE * margin_ms // 1000
    return x[max(0, loud[0] - margin):loud[-1] + margin]


def levelled(x):
    active = x[np.abs(x) > 0.05 * np.max(np.abs(x))]
    gain = 10 ** (LEVEL_DB / 20) * 32768 / np.sqrt(np.mean(active ** 2))
    return np.clip(np.round(x * gain), -32768, 32767).astype(np.int16)


def main():
    for name, (voice, text) in VOICES.items():
        x = levelled(trimmed(synthesize(voice, text)))
        path = os.path.join(DATA_DIR, f"speech-{name}.wav")
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(x.tobytes())
        print(f"wrote {path} ({len(x) / RATE:.2f} s)")


if __name__ == "__main__":
    main()
