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


# The rates a local audio channel takes; a WAV file of another rate is converted to 48 kHz.
CHANNEL_RATES = range(8000, 48001, 100)
_NOT_PCM = {3: "32-bit float samples", 6: "A-law samples", 7: "mu-law samples",
            0x55: "MP3 data", 0xFFFE: "the extensible format header"}


def _wav_tag(data):
    """The format tag of a RIFF WAVE file's fmt chunk, or None when there is none to read."""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    at = 12
    while at + 8 <= len(data):
        size = struct.unpack_from("<I", data, at + 4)[0]
        if data[at:at + 4] == b"fmt " and size >= 2 and at + 10 <= len(data):
            return struct.unpack_from("<H", data, at + 8)[0]
        at += 8 + size + (size & 1)
    return None


def _open_wav(path, data):
    import io
    tag = _wav_tag(data)
    if tag is None:
        raise ValueError(f"{path}: not a WAV file (no RIFF WAVE header with a format chunk)")
    if tag != 1:
        what = _NOT_PCM.get(tag, f"format {tag:#06x}")
        raise ValueError(f"{path}: the WAV file holds {what}, not PCM; save it as PCM WAV "
                         "(8, 16, 24 or 32-bit integer samples)")
    try:
        return wave.open(io.BytesIO(data), "rb")
    except (wave.Error, EOFError, struct.error) as error:
        raise ValueError(f"{path}: not a readable WAV file ({error})") from None


def _wav_bytes(path):
    """A WAV file's bytes, read within the bound on input files; ValueError naming the reason."""
    from . import files
    try:
        return files.read_bytes(path, "WAV file", files.WAV_LIMIT)
    except files.InputError as error:
        raise ValueError(str(error)) from None


def wav_format(path):
    """(sample rate, channels, bits per sample) of a PCM WAV file that wav() can speak;
    ValueError naming the reason otherwise."""
    data = _wav_bytes(path)
    with _open_wav(path, data) as source:
        rate, channels, width = source.getframerate(), source.getnchannels(), source.getsampwidth()
    if rate < 1000 or channels < 1 or width not in (1, 2, 3, 4):
        raise ValueError(f"{path}: the WAV file says {rate} Hz, {channels} channel(s), {8 * width}-bit "
                         "samples; it is damaged or not audio")
    return rate, channels, 8 * width


def wav(path, duration_ms=None):
    """A PCM WAV file as 16-bit PCM (8, 24 and 32-bit samples converted), at its own rate
    when a channel takes it (else converted to 48 kHz), mono or stereo (more channels mixed
    down to mono), cut to `duration_ms`. ValueError names what cannot be read."""
    import audioop  # part of Python until 3.13; this package runs on 3.9
    data = _wav_bytes(path)
    with _open_wav(path, data) as source:
        rate, channels, width = source.getframerate(), source.getnchannels(), source.getsampwidth()
        try:
            pcm = source.readframes(source.getnframes())
        except (wave.Error, EOFError, struct.error) as error:
            raise ValueError(f"{path}: not a readable WAV file ({error})") from None
    if rate < 1000 or channels < 1 or width not in (1, 2, 3, 4):
        raise ValueError(f"{path}: the WAV file says {rate} Hz, {channels} channel(s), {8 * width}-bit "
                         "samples; it is damaged or not audio")
    pcm = pcm[:len(pcm) // (width * channels) * width * channels]
    if sys.byteorder != "little":  # WAV samples are little-endian; audioop works in native order
        pcm = audioop.byteswap(pcm, width)
    if width == 1:
        pcm = audioop.bias(pcm, 1, -128)  # 8-bit WAV samples are unsigned
    if width != 2:
        pcm = audioop.lin2lin(pcm, width, 2)
    if channels > 2:
        pcm = _mix_down(pcm, channels)
        channels = 1
    if rate not in CHANNEL_RATES:
        pcm, _ = audioop.ratecv(pcm, 2, channels, rate, 48000, None)
        rate = 48000
    if sys.byteorder != "little":
        pcm = audioop.byteswap(pcm, 2)
    if duration_ms is not None:
        pcm = pcm[:rate * duration_ms // 1000 * channels * 2]
    return AudioSource(rate, channels, pcm)


def _mix_down(pcm, channels):
    samples = array.array("h", pcm)
    mixed = array.array("h", (max(-32768, min(32767, sum(samples[i:i + channels]) // channels))
                              for i in range(0, len(samples), channels)))
    return mixed.tobytes()


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
