"""Frames made from arrays and buffers, and payloads read back as arrays (velmora.frames)."""
import array
import sys

import pytest

import _velmora as v
from velmora import audio_samples, make_audio_frame, make_pixel_frame, pixel_array

np = pytest.importorskip("numpy")

RAMP = np.arange(-480, 480, dtype=np.int16)  # 960 samples


def viewed_object(array):
    """The object whose memory an array views, past the views made by reshaping."""
    while isinstance(array, np.ndarray) and array.base is not None:
        array = array.base
    return array


def fields(frame):
    return (frame.sample_rate, frame.channels, frame.bits_per_sample, frame.codec, frame.pts,
            frame.has_voice)


@pytest.mark.parametrize("samples, kwargs, expected_fields, expected_shape", [
    (RAMP, {}, (48000, 1, 16, v.AUDIO_CODEC_TYPE_PCM, 0, False), (960,)),
    (RAMP.reshape(480, 2), {"pts": 7, "has_voice": True},
     (48000, 2, 16, v.AUDIO_CODEC_TYPE_PCM, 7, True), (480, 2)),
    (RAMP.astype(np.int32).reshape(320, 3), {}, (48000, 3, 32, v.AUDIO_CODEC_TYPE_PCM, 0, False),
     (320, 3)),
    # Column-major and strided arrays are read in their logical order, interleaved.
    (np.asfortranarray(RAMP.reshape(480, 2)), {}, (48000, 2, 16, v.AUDIO_CODEC_TYPE_PCM, 0, False),
     (480, 2)),
    (RAMP.reshape(480, 2)[:, ::-1], {}, (48000, 2, 16, v.AUDIO_CODEC_TYPE_PCM, 0, False), (480, 2)),
    # Any buffer: typed ones give their width; bytes are the raw payload.
    (array.array("h", RAMP.tobytes()), {"channels": 2},
     (48000, 2, 16, v.AUDIO_CODEC_TYPE_PCM, 0, False), (480, 2)),
    (RAMP.tobytes(), {"channels": 2}, (48000, 2, 16, v.AUDIO_CODEC_TYPE_PCM, 0, False), (480, 2)),
    (bytearray(b"\x80\x81\x7f"), {"bits_per_sample": 8},
     (48000, 1, 8, v.AUDIO_CODEC_TYPE_PCM, 0, False), (3,)),
], ids=["mono", "stereo", "int32", "column-major", "strided", "array.array", "bytes", "8-bit"])
def test_audio_frames_from_arrays_and_buffers_read_back_as_they_were(
        samples, kwargs, expected_fields, expected_shape):
    frame = make_audio_frame(samples, 48000, **kwargs)
    assert fields(frame) == expected_fields
    interleaved = np.ascontiguousarray(samples) if isinstance(samples, np.ndarray) else samples
    assert frame.data == bytes(interleaved)
    read = audio_samples(frame)
    assert read.shape == expected_shape
    assert read.tobytes() == frame.data
    # A view of the bytes that frame.data returned: no copy of its own.
    assert type(viewed_object(read)) is bytes and not read.flags.writeable


def test_an_encoded_packet_is_carried_as_it_is():
    frame = make_audio_frame(b"\xfc\xff\xfe", 48000, codec=v.AUDIO_CODEC_TYPE_OPUS, channels=2)
    assert fields(frame) == (48000, 2, 16, v.AUDIO_CODEC_TYPE_OPUS, 0, False)
    assert frame.data == b"\xfc\xff\xfe"
    with pytest.raises(ValueError, match="AUDIO_CODEC_TYPE_OPUS audio, not PCM samples"):
        audio_samples(frame)


@pytest.mark.parametrize("samples, kwargs, error, message", [
    (RAMP.astype(np.float32), {}, TypeError, r"float samples: scale and convert"),
    (RAMP.astype(">i2"), {}, TypeError, "big-endian"),
    (RAMP.astype(np.int64), {}, TypeError, "use int16 or int32 samples"),
    ("samples", {}, TypeError, "buffer protocol"),
    (RAMP.reshape(480, 2), {"channels": 1}, ValueError, r"channels=1 disagrees .* \(480, 2\)"),
    (RAMP, {"bits_per_sample": 8}, ValueError, "disagrees with the samples' 16-bit items"),
    (RAMP.reshape(2, 240, 2), {}, ValueError, "one or two dimensions"),
    (b"\0\0\0", {"channels": 1}, ValueError, "3 bytes is not a whole number of samples"),
    (RAMP, {"channels": 0}, ValueError, "at least 1"),
    (b"\0\0", {"bits_per_sample": 12}, ValueError, "8, 16, 24 or 32"),
    (RAMP, {"codec": v.AUDIO_CODEC_TYPE_OPUS}, TypeError, "one-dimensional buffer of bytes"),
])
def test_audio_payloads_that_do_not_fit_their_fields_are_refused(samples, kwargs, error, message):
    with pytest.raises(error, match=message):
        make_audio_frame(samples, 48000, **kwargs)


RGBA = np.arange(2 * 3 * 4, dtype=np.uint8).reshape(2, 3, 4)
I420 = np.arange(6 * 4, dtype=np.uint8).reshape(6, 4)  # a 4x4 picture: 4 rows of Y, 2 of U and V


@pytest.mark.parametrize("pixels, kwargs, expected", [
    (RGBA, {}, (v.VIDEO_PIXEL_FORMAT_RGBA, 3, 2, (2, 3, 4))),
    (I420, {"format": v.VIDEO_PIXEL_FORMAT_YUV420p}, (v.VIDEO_PIXEL_FORMAT_YUV420p, 4, 4, (6, 4))),
    (np.zeros((10, 4), np.uint8), {"format": v.VIDEO_PIXEL_FORMAT_YUVA420p, "height": 4},
     (v.VIDEO_PIXEL_FORMAT_YUVA420p, 4, 4, (10, 4))),
    # Odd sizes only as a flat buffer: chroma planes round up.
    (bytes(3 * 3 + 2 * 2 * 2), {"format": v.VIDEO_PIXEL_FORMAT_YUV420p, "width": 3, "height": 3},
     (v.VIDEO_PIXEL_FORMAT_YUV420p, 3, 3, (17,))),
    (memoryview(RGBA.tobytes()), {"format": v.VIDEO_PIXEL_FORMAT_RGBA, "width": 3, "height": 2},
     (v.VIDEO_PIXEL_FORMAT_RGBA, 3, 2, (2, 3, 4))),
], ids=["RGBA", "YUV420p", "YUVA420p", "odd-sized bytes", "memoryview"])
def test_pixel_frames_from_arrays_and_buffers_read_back_as_they_were(pixels, kwargs, expected):
    frame = make_pixel_frame(pixels, pts=9, rotation=v.VIDEO_ROTATION_90, **kwargs)
    assert (frame.format, frame.width, frame.height) == expected[:3]
    assert (frame.pts, frame.rotation) == (9, v.VIDEO_ROTATION_90)
    assert frame.data == bytes(pixels)
    read = pixel_array(frame)
    assert read.shape == expected[3] and read.tobytes() == frame.data
    assert type(viewed_object(read)) is bytes and not read.flags.writeable


@pytest.mark.parametrize("pixels, kwargs, error, message", [
    (np.zeros((2, 3, 3), np.uint8), {}, ValueError, r"RGBA, \(height, width, 4\)"),
    (I420, {}, ValueError, "planar: give format="),
    (I420[:5], {"format": v.VIDEO_PIXEL_FORMAT_YUV420p}, ValueError, "multiple of 3"),
    (RGBA, {"width": 2}, ValueError, "width=2 disagrees"),
    (RGBA, {"format": v.VIDEO_PIXEL_FORMAT_YUV420p}, ValueError, "format=.* disagrees"),
    (bytes(16), {"format": v.VIDEO_PIXEL_FORMAT_RGBA}, ValueError, "needs format, width and height"),
    (bytes(16), {"format": v.VIDEO_PIXEL_FORMAT_RGBA, "width": 2, "height": 3}, ValueError,
     "is 24 bytes, not 16"),
    (RGBA.astype(np.uint16), {}, TypeError, "uint8 items"),
    (np.zeros((1, 1, 1, 4), np.uint8), {}, ValueError, "one, two or three dimensions"),
])
def test_pixel_payloads_that_do_not_fit_their_fields_are_refused(pixels, kwargs, error, message):
    with pytest.raises(error, match=message):
        make_pixel_frame(pixels, **kwargs)


@pytest.mark.parametrize("change, message", [
    (lambda f: setattr(f, "channels", 3), "not a whole number of samples of 3 channel"),
    (lambda f: setattr(f, "bits_per_sample", 24), "no array type for 24-bit samples"),
])
def test_frames_whose_fields_do_not_fit_their_payload_are_not_read(change, message):
    frame = make_audio_frame(RAMP[:4], 16000)
    change(frame)
    with pytest.raises(ValueError, match=message):
        audio_samples(frame)
    pixels = make_pixel_frame(RGBA)
    pixels.width = 4
    with pytest.raises(ValueError, match="4x2 VIDEO_PIXEL_FORMAT_RGBA, which is 32 bytes, but holds 24"):
        pixel_array(pixels)


def test_frames_are_made_without_numpy_and_reading_them_says_what_is_missing(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)  # import numpy now fails
    frame = make_audio_frame(array.array("h", [1, -1]), 8000)
    assert (frame.bits_per_sample, frame.data) == (16, array.array("h", [1, -1]).tobytes())
    with pytest.raises(ImportError, match="needs NumPy, which is not installed: pip install numpy"):
        audio_samples(frame)
    with pytest.raises(ImportError, match="pip install numpy"):
        pixel_array(make_pixel_frame(bytes(4), format=v.VIDEO_PIXEL_FORMAT_RGBA, width=1, height=1))
