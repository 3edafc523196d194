"""Frames from arrays and buffers, and frame payloads as arrays.

`make_audio_frame` and `make_pixel_frame` take a NumPy array or any other object with the
buffer protocol (`bytes`, `bytearray`, `memoryview`, `array.array`) and fill the frame's format
fields from its shape and item type where those say them; what they cannot say is given as
arguments and checked against the payload's size. `audio_samples` and `pixel_array` read a
frame's payload as a NumPy array over the `bytes` that `frame.data` returns, without copying
it again (the array is read-only).

Making frames needs nothing beyond the standard library; reading them as arrays needs NumPy.
"""
from __future__ import annotations

from typing import Any, Optional, Tuple

import _velmora as v

__all__ = ["make_audio_frame", "make_pixel_frame", "audio_samples", "pixel_array"]

# Item formats of the buffer protocol that PCM samples may have, with their bits per sample.
# A buffer of single bytes ("B", "b", "c": bytes, bytearray, a uint8 array) is a raw payload.
_SAMPLE_FORMATS = {"h": 16, "i": 32, "l": 32}
_RAW_FORMATS = {"B", "b", "c"}
# NumPy's types for the sample widths that `audio_samples` reads.
_SAMPLE_DTYPES = {8: "uint8", 16: "<i2", 32: "<i4"}


def _numpy() -> Any:
    try:
        import numpy
    except ImportError:
        raise ImportError("reading a frame as an array needs NumPy, which is not installed: "
                          "pip install numpy (or read the payload as bytes with frame.data)") from None
    return numpy


def _view(payload: Any, what: str) -> memoryview:
    try:
        view = memoryview(payload)
    except TypeError:
        raise TypeError(f"{what} must be a NumPy array or another object with the buffer protocol "
                        f"(bytes, bytearray, memoryview, array.array), not {type(payload).__name__}") from None
    # NumPy writes a native item type without a prefix, and "<" or "=" for an explicit order
    # that is the machine's own (little-endian here).
    if view.format.startswith((">", "!")):
        raise TypeError(f"{what} holds big-endian items ({view.format}): convert them to the machine's "
                        "order first, e.g. array.astype('<i2')")
    return view


def _bytes(view: memoryview, payload: Any) -> bytes:
    # SetData takes bytes: a bytes payload is handed over as it is, anything else copied once.
    return payload if type(payload) is bytes else view.tobytes()


def _item(view: memoryview) -> str:
    return view.format.lstrip("@=<")


def make_audio_frame(samples: Any, sample_rate: int, *, channels: Optional[int] = None,
                     bits_per_sample: Optional[int] = None,
                     codec: v.AudioCodecType = v.AUDIO_CODEC_TYPE_PCM, pts: int = 0,
                     has_voice: bool = False) -> v.AudioFrame:
    """An AudioFrame holding `samples`.

    PCM (the default codec): `samples` is an array of interleaved samples, one row per sample
    instant and one column per channel (shape `(n, channels)`), or one-dimensional for mono or
    already interleaved samples. Its item type gives `bits_per_sample`: int16 is 16, int32 is
    32. A buffer of single bytes (`bytes`, a uint8 array) is taken as the raw payload: give
    `channels` and `bits_per_sample` unless they are 1 and 16. Float samples are refused:
    scale and convert them first, e.g. `(x * 32767).astype(numpy.int16)`.

    Other codecs (`AUDIO_CODEC_TYPE_OPUS`): `samples` is the encoded packet as a buffer of
    bytes, `channels` defaults to 1 and `bits_per_sample` to 16.

    Raises TypeError for a payload of the wrong kind and ValueError for fields that disagree
    with it.
    """
    view = _view(samples, "samples")
    item = _item(view)
    shape = tuple(view.shape or ())
    if codec != v.AUDIO_CODEC_TYPE_PCM:
        if item not in _RAW_FORMATS or len(shape) != 1:
            raise TypeError(f"an encoded audio payload ({codec.name}) must be a one-dimensional buffer of bytes, "
                            f"not items of format {view.format!r} in shape {shape}")
        frame_channels, bits = channels or 1, bits_per_sample or 16
    else:
        frame_channels, bits = _pcm_layout(view, item, shape, channels, bits_per_sample)
    frame = v.AudioFrame()
    frame.sample_rate = sample_rate
    frame.channels = frame_channels
    frame.bits_per_sample = bits
    frame.codec = codec
    frame.pts = pts
    frame.has_voice = has_voice
    frame.SetData(_bytes(view, samples))
    return frame


def _pcm_layout(view: memoryview, item: str, shape: Tuple[int, ...], channels: Optional[int],
                bits_per_sample: Optional[int]) -> Tuple[int, int]:
    if item in _SAMPLE_FORMATS and view.itemsize * 8 == _SAMPLE_FORMATS[item]:
        bits = _SAMPLE_FORMATS[item]
        if bits_per_sample is not None and bits_per_sample != bits:
            raise ValueError(f"bits_per_sample={bits_per_sample} disagrees with the samples' {bits}-bit items")
    elif item in _RAW_FORMATS:
        bits = 16 if bits_per_sample is None else bits_per_sample
        if bits not in (8, 16, 24, 32):
            raise ValueError(f"bits_per_sample must be 8, 16, 24 or 32, not {bits}")
    elif item in ("e", "f", "d"):
        raise TypeError("float samples: scale and convert them to integers first, "
                        "e.g. (x * 32767).astype(numpy.int16)")
    else:
        raise TypeError(f"samples of item format {view.format!r} ({view.itemsize} bytes): "
                        "use int16 or int32 samples, or a buffer of bytes")
    if len(shape) == 2:
        if channels is not None and channels != shape[1]:
            raise ValueError(f"channels={channels} disagrees with the samples' shape {shape} "
                             "(one column per channel)")
        channels = shape[1]
    elif len(shape) != 1:
        raise ValueError(f"samples must have one or two dimensions (instants, channels), not shape {shape}")
    channels = 1 if channels is None else channels
    if channels < 1:
        raise ValueError(f"channels must be at least 1, not {channels}")
    block = channels * bits // 8
    if view.nbytes % block:
        raise ValueError(f"a payload of {view.nbytes} bytes is not a whole number of samples of "
                         f"{channels} channel(s) at {bits} bits")
    return channels, bits


# Bytes of a picture of each format, and how its rows stack in a two-dimensional array.
def _picture_bytes(format: v.VideoPixelFormat, width: int, height: int) -> int:
    chroma = 2 * ((width + 1) // 2) * ((height + 1) // 2)
    if format == v.VIDEO_PIXEL_FORMAT_RGBA:
        return 4 * width * height
    if format == v.VIDEO_PIXEL_FORMAT_YUV420p:
        return width * height + chroma
    if format == v.VIDEO_PIXEL_FORMAT_YUVA420p:
        return 2 * width * height + chroma
    raise ValueError(f"unknown pixel format {format!r}")


# Planar formats as one array of rows `width` wide: the planes one after another, so the
# array has this many rows per two rows of the picture (even sizes only).
_PLANAR_ROWS_PER_TWO = {v.VIDEO_PIXEL_FORMAT_YUV420p: 3, v.VIDEO_PIXEL_FORMAT_YUVA420p: 5}


def make_pixel_frame(pixels: Any, *, format: Optional[v.VideoPixelFormat] = None,
                     width: Optional[int] = None, height: Optional[int] = None, pts: int = 0,
                     rotation: v.VideoRotation = v.VIDEO_ROTATION_0) -> v.PixelFrame:
    """A PixelFrame holding `pixels`, an array or buffer of bytes (uint8).

    - Shape `(height, width, 4)`: RGBA, one pixel per position.
    - Shape `(rows, width)` with `format` YUV420p or YUVA420p: the planes stacked (Y, then U,
      V and for YUVA A), as OpenCV's I420 layout; `rows` is `height * 3 / 2` (YUVA:
      `height * 5 / 2`), so width and height are even.
    - One dimension (`bytes` and the like): give `format`, `width` and `height`; the size must
      be the picture's (chroma planes of `ceil(width / 2) * ceil(height / 2)`).

    `width`, `height` and `format` given beside a shape that says them must agree with it.
    Raises TypeError for a payload of the wrong kind and ValueError for fields that disagree
    with it.
    """
    view = _view(pixels, "pixels")
    if _item(view) not in _RAW_FORMATS:
        raise TypeError(f"pixels must be bytes (uint8 items), not items of format {view.format!r}")
    shape = tuple(view.shape or ())
    if len(shape) == 3:
        if shape[2] != 4:
            raise ValueError(f"a three-dimensional picture is RGBA, (height, width, 4), not shape {shape}")
        found = (v.VIDEO_PIXEL_FORMAT_RGBA, shape[1], shape[0])
    elif len(shape) == 2:
        if format not in _PLANAR_ROWS_PER_TWO:
            raise ValueError(f"a two-dimensional picture {shape} is planar: give format=VIDEO_PIXEL_FORMAT_YUV420p "
                             "or VIDEO_PIXEL_FORMAT_YUVA420p")
        rows_per_two = _PLANAR_ROWS_PER_TWO[format]
        if shape[0] % rows_per_two or shape[1] % 2:
            raise ValueError(f"a {format.name} array of shape {shape} does not hold whole planes of an "
                             f"even-sized picture: its rows must be a multiple of {rows_per_two} and its "
                             "width even")
        found = (format, shape[1], shape[0] // rows_per_two * 2)
    elif len(shape) == 1:
        if format is None or width is None or height is None:
            raise ValueError("a one-dimensional buffer of pixels needs format, width and height")
        found = (format, width, height)
        expected = _picture_bytes(format, width, height)
        if view.nbytes != expected:
            raise ValueError(f"a {width}x{height} {format.name} picture is {expected} bytes, "
                             f"not {view.nbytes}")
    else:
        raise ValueError(f"pixels must have one, two or three dimensions, not shape {shape}")
    for name, given, value in (("format", format, found[0]), ("width", width, found[1]),
                               ("height", height, found[2])):
        if given is not None and given != value:
            raise ValueError(f"{name}={given!r} disagrees with the pixels' shape {shape}, which says {value!r}")
    frame = v.PixelFrame()
    frame.format, frame.width, frame.height = found
    frame.pts = pts
    frame.rotation = rotation
    frame.SetData(_bytes(view, pixels))
    return frame


def audio_samples(frame: v.AudioFrame) -> Any:
    """The PCM samples of `frame` as a read-only NumPy array over `frame.data`: shape
    `(n,)` for one channel, `(n, channels)` for more; int16 for 16 bits, int32 for 32, uint8
    for 8."""
    numpy = _numpy()
    if frame.codec != v.AUDIO_CODEC_TYPE_PCM:
        raise ValueError(f"the frame holds {frame.codec.name} audio, not PCM samples: read frame.data")
    dtype = _SAMPLE_DTYPES.get(frame.bits_per_sample)
    if dtype is None:
        raise ValueError(f"no array type for {frame.bits_per_sample}-bit samples (8, 16 and 32 are read)")
    if frame.channels < 1:
        raise ValueError(f"the frame says it has {frame.channels} channels")
    data = frame.data
    block = frame.channels * frame.bits_per_sample // 8
    if len(data) % block:
        raise ValueError(f"a payload of {len(data)} bytes is not a whole number of samples of "
                         f"{frame.channels} channel(s) at {frame.bits_per_sample} bits")
    samples = numpy.frombuffer(data, dtype=dtype)
    return samples if frame.channels == 1 else samples.reshape(-1, frame.channels)


def pixel_array(frame: v.PixelFrame) -> Any:
    """The pixels of `frame` as a read-only NumPy array of uint8 over `frame.data`, in the
    shapes `make_pixel_frame` takes: `(height, width, 4)` for RGBA; the planes stacked as rows
    `width` wide for YUV420p and YUVA420p of even size, and one dimension for odd sizes."""
    numpy = _numpy()
    data = frame.data
    expected = _picture_bytes(frame.format, frame.width, frame.height)
    if len(data) != expected:
        raise ValueError(f"the frame says {frame.width}x{frame.height} {frame.format.name}, which is "
                         f"{expected} bytes, but holds {len(data)}")
    pixels = numpy.frombuffer(data, dtype=numpy.uint8)
    if frame.format == v.VIDEO_PIXEL_FORMAT_RGBA:
        return pixels.reshape(frame.height, frame.width, 4)
    if frame.width % 2 == 0 and frame.height % 2 == 0 and frame.width > 0:
        return pixels.reshape(-1, frame.width)
    return pixels
