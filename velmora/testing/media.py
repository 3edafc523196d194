"""What simulated participants send: 16-bit PCM speech sources (a tone, silence, a WAV file)
cut into frames, and a moving video test pattern as pixels or H.264. Everything is a pure function of its
parameters and the frame number, so two runs send the same bytes."""
import array
import functools
import hashlib
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


_RAMP = bytes(range(256)) * 17  # any row of up to 4096 pixels is one slice of it
# Texture: fixed pseudo-random bytes (the same everywhere), long enough for any row.
_NOISE = b"".join(hashlib.sha256(b"velmora %d" % i).digest() for i in range(8192 // 32)) * 2


def test_pattern(index, width, height):
    """Frame `index` of a moving test pattern as I420 bytes (even sides): bands of a diagonal
    luma ramp and of fine texture, each moving 4 pixels a frame, a bright square crossing the
    picture, and chroma that changes across it. The same arguments give the same bytes."""

    def row(y):
        if (y // 8) % 2 == 0:
            start = (y + 4 * index) % 256
            return _RAMP[start:start + width]
        start = (y * 131 + 4 * index) % 8192
        return _NOISE[start:start + width]
    luma = bytearray(b"".join(row(y) for y in range(height)))
    side = max(4, min(width, height) // 4) // 2 * 2
    left = (8 * index) % max(1, width - side)
    top = (height - side) // 2
    for y in range(top, top + side):
        luma[y * width + left:y * width + left + side] = b"\xeb" * side
    half_w, half_h = width // 2, height // 2
    u = b"".join(_RAMP[64 + y % 128:64 + y % 128 + half_w] for y in range(half_h))
    v_plane = bytes([160]) * (half_w * half_h)
    return bytes(luma) + u + v_plane


def pixel_frame(index, pts, width, height):
    """Frame `index` of the moving test pattern as a YUV420p PixelFrame."""
    frame = v.PixelFrame()
    frame.width, frame.height, frame.pts = width, height, pts
    frame.format = v.VIDEO_PIXEL_FORMAT_YUV420p
    frame.SetData(test_pattern(index, width, height))
    return frame


def video_frame(index, pts, key, size=1200):
    """A stand-in for an encoded frame: its number and kind, then filler to `size` bytes. It
    reaches receivers of encoded video as it is; pixel receivers cannot decode it."""
    head = struct.pack("<I?", index, key)
    frame = v.VideoFrame()
    frame.pts, frame.dts, frame.is_key_frame = pts, pts, key
    frame.SetData(head + bytes((index + i) % 251 for i in range(size - len(head))))
    return frame


def h264_frame(encoder, index, pts, width, height, key, bitrate_bps=0, frame_rate=15):
    """Frame `index` of the moving test pattern as H.264 from `encoder` (a
    velmora.testing.control.VideoEncoder), a key frame when `key` (or the encoder's first)."""
    data, is_key = encoder.encode(test_pattern(index, width, height), width, height, bitrate_bps=bitrate_bps,
                                  frame_rate=frame_rate, key=key)
    frame = v.VideoFrame()
    frame.pts, frame.dts, frame.is_key_frame = pts, pts, is_key
    frame.codec = v.VIDEO_CODEC_TYPE_H264
    frame.SetData(data)
    return frame
