"""What simulated participants send: 16-bit PCM speech sources (a tone, silence, a WAV file)
cut into frames, and generated video frames. Everything is a pure function of its
parameters and the frame number, so two runs send the same bytes."""
import array
import functools
import math
import struct
import sys
import wave

import _velmora as v

FRAME_MS = 20


class AudioSource:
    """PCM frames of FRAME_MS each; `frames` of them in all."""

    def __init__(self, sample_rate, channels, pcm):
        self.sample_rate = sample_rate
        self.channels = channels
        self.pcm = pcm
        self.frame_bytes = sample_rate * FRAME_MS // 1000 * channels * 2

    @property
    def frames(self):
        return -(-len(self.pcm) // self.frame_bytes)

    def frame(self, index, pts):
        chunk = self.pcm[index * self.frame_bytes:(index + 1) * self.frame_bytes]
        chunk += bytes(self.frame_bytes - len(chunk))
        frame = v.AudioFrame()
        frame.sample_rate = self.sample_rate
        frame.channels = self.channels
        frame.bits_per_sample = 16
        frame.codec = v.AUDIO_CODEC_TYPE_PCM
        frame.pts = pts
        frame.has_voice = any(chunk)
        frame.SetData(chunk)
        return frame


def tone(duration_ms, frequency_hz=440.0, level_dbfs=-20.0, sample_rate=48000):
    """A mono sine tone."""
    return AudioSource(sample_rate, 1, _tone_pcm(duration_ms, frequency_hz, level_dbfs, sample_rate))


@functools.lru_cache(maxsize=16)
def _tone_pcm(duration_ms, frequency_hz, level_dbfs, sample_rate):
    # Cached: a room full of members saying the same tone makes it once.
    amplitude = 32767 * 10 ** (level_dbfs / 20)
    step = 2 * math.pi * frequency_hz / sample_rate
    sin = math.sin
    samples = array.array("h", [int(amplitude * sin(step * i)) for i in range(sample_rate * duration_ms // 1000)])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def silence(duration_ms, sample_rate=48000):
    return AudioSource(sample_rate, 1, bytes(sample_rate * duration_ms // 1000 * 2))


def wav(path, duration_ms=None):
    """A 16-bit PCM WAV file as it is (its own rate and channels), cut to `duration_ms`."""
    try:
        with wave.open(str(path), "rb") as source:
            if source.getsampwidth() != 2:
                raise ValueError(f"{path}: the WAV file has {8 * source.getsampwidth()}-bit "
                                 "samples; simulated speech needs 16-bit PCM")
            rate, channels = source.getframerate(), source.getnchannels()
            pcm = source.readframes(source.getnframes())
    except (wave.Error, EOFError) as error:
        raise ValueError(f"{path}: not a readable WAV file ({error})") from error
    if duration_ms is not None:
        pcm = pcm[:rate * duration_ms // 1000 * channels * 2]
    return AudioSource(rate, channels, pcm)


def pixel_frame(index, pts, width, height):
    """An I420 frame whose brightness ramps with the frame number."""
    luma = bytes(((x + y + 4 * index) % 256) for y in range(height) for x in range(width))
    chroma = bytes([128]) * ((width // 2) * (height // 2) * 2)
    frame = v.PixelFrame()
    frame.width, frame.height, frame.pts = width, height, pts
    frame.format = v.VIDEO_PIXEL_FORMAT_YUV420p
    frame.SetData(luma + chroma)
    return frame


def video_frame(index, pts, key, size=1200):
    """A stand-in for an encoded frame: its number and kind, then filler to `size` bytes."""
    head = struct.pack("<I?", index, key)
    frame = v.VideoFrame()
    frame.pts, frame.dts, frame.is_key_frame = pts, pts, key
    frame.SetData(head + bytes((index + i) % 251 for i in range(size - len(head))))
    return frame
