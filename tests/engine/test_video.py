"""Video in the loopback engine: each receiver gets the kind it asked for, coded as in
production; key frames, time stamps, refusals, undecodable payloads and the bandwidth cap. On
the manual clock, which waits for the video workers, so every run gives the same frames."""
import gc
import os
from fractions import Fraction

import av
import numpy as np
import pytest

import _velmora as v
from helpers_rooms import pattern_frame, settle, video_frame
from paths import EXAMPLES_DIR
from velmora.testing import control, media

HIGH = v.STREAM_TYPE_VIDEO_HIGH
YUV, YUVA, RGBA = v.VIDEO_PIXEL_FORMAT_YUV420p, v.VIDEO_PIXEL_FORMAT_YUVA420p, v.VIDEO_PIXEL_FORMAT_RGBA


def psnr(got, want):
    a, b = (np.frombuffer(x, np.uint8).astype(np.float64) for x in (got, want))
    return 10 * np.log10(255 ** 2 / max(((a - b) ** 2).mean(), 1e-9))


def encode_params(bitrate_bps=0, frame_rate=15, gop_in_seconds=3):
    p = v.VideoEncodeParams()
    p.bitrate_bps, p.frame_rate, p.gop_in_seconds = bitrate_bps, frame_rate, gop_in_seconds
    return p


def sending_room(room, sender="alice", *, pixel_input=True, encoded=("bob",), pixels=("carol",)):
    """The sender with its high stream open, subscribed to by encoded and pixel receivers."""
    members = {sender: room.member(sender)}
    assert members[sender].enter(pixel_input=pixel_input) == 0
    assert members[sender].cloud.CreateLocalVideoChannel(HIGH) == 0
    for names, pixel in ((encoded, False), (pixels, True)):
        for name in names:
            members[name] = room.member(name)
            assert members[name].enter(pixel_output=pixel) == 0
            assert members[name].cloud.Subscribe(sender, HIGH) == 0
    settle(*members.values())
    for m in members.values():
        m.clear()
    return members


def send_pattern(clock, member, count, *, width=64, height=48, fps=15, first=0, **fields):
    for i in range(first, first + count):
        assert member.cloud.SendPixelFrame(HIGH, pattern_frame(i, pts=i, width=width, height=height, **fields)) == 0
        clock(1000 // fps, settle=False)


def received(member, pixels):
    return [args[2] for args in member.delegate.named(
        "OnRemotePixelFrameReceived" if pixels else "OnRemoteVideoFrameReceived")]


def raw_frame(fmt, width, height, data, pts=0):
    f = v.PixelFrame()
    f.format, f.width, f.height, f.pts = fmt, width, height, pts
    f.SetData(data)
    return f


# Measured on this pattern (320x240, 15 frames/s, 45 frames): 150 kbit/s gives 24.1 dB at
# worst (27.1 on average), 600 kbit/s 41.8 dB (47.5); the floors leave room for encoder builds.
@pytest.mark.parametrize("bitrate_bps, floor_db", [(150000, 22.0), (600000, 38.0)])
def test_a_pixel_receiver_sees_the_pattern_through_h264_within_its_psnr(room, clock, bitrate_bps, floor_db):
    m = sending_room(room, encoded=())
    m["alice"].cloud.SetVideoEncodeParam(HIGH, encode_params(bitrate_bps))
    send_pattern(clock, m["alice"], 45, width=320, height=240)
    settle(*m.values())
    frames = received(m["carol"], pixels=True)
    assert [f.pts for f in frames] == list(range(45))
    scores = [psnr(f.data, media.test_pattern(f.pts, 320, 240)) for f in frames]
    assert min(scores) >= floor_db
    assert max(scores) < 99  # coded, not passed through


def test_the_rate_decides_the_quality(room, clock):
    means = []
    for n, bitrate in enumerate((150000, 600000)):
        m = sending_room(room, f"s{n}", encoded=(), pixels=(f"r{n}",))
        m[f"s{n}"].cloud.SetVideoEncodeParam(HIGH, encode_params(bitrate))
        send_pattern(clock, m[f"s{n}"], 30, width=320, height=240)
        settle(*m.values())
        means.append(np.mean([psnr(f.data, media.test_pattern(f.pts, 320, 240))
                              for f in received(m[f"r{n}"], pixels=True)]))
    assert means[1] > means[0] + 10


def test_an_encoded_receivers_h264_decodes_elsewhere_to_the_pixel_receivers_picture(room, clock):
    m = sending_room(room)
    send_pattern(clock, m["alice"], 20, width=96, height=64)
    send_pattern(clock, m["alice"], 5, width=64, height=96, first=20)  # a new size: a new key frame
    settle(*m.values())
    coded, pictures = received(m["bob"], pixels=False), received(m["carol"], pixels=True)
    assert [f.pts for f in coded] == [f.pts for f in pictures] == list(range(25))
    assert [f.pts for f in coded if f.is_key_frame] == [0, 20]
    assert {(f.codec, f.dts == f.pts) for f in coded} == {(v.VIDEO_CODEC_TYPE_H264, True)}
    decoder = av.CodecContext.create("h264", "r")
    for f, picture in zip(coded, pictures):
        decoded, = decoder.decode(av.Packet(f.data))
        assert (decoded.width, decoded.height) == (picture.width, picture.height)
        assert decoded.to_ndarray(format="yuv420p").tobytes() == picture.data
    assert control.video_counters(m["alice"].engine)["encoded"] == 25
    assert control.video_counters(m["carol"].engine)["decoded"] == 25


def test_key_frames_at_the_gop_and_when_a_receiver_starts(room, clock):
    m = sending_room(room, pixels=())
    alice = m["alice"]
    alice.cloud.SetVideoEncodeParam(HIGH, encode_params(frame_rate=10, gop_in_seconds=1))
    alice.cloud.SetVideoEncodeParam(HIGH, encode_params(frame_rate=10, gop_in_seconds=0))  # refused: kept
    send_pattern(clock, alice, 15, fps=10)
    dave = room.member("dave")
    assert dave.enter() == 0 and dave.cloud.Subscribe("alice", HIGH) == 0
    send_pattern(clock, alice, 15, fps=10, first=15)
    settle(alice, m["bob"], dave)
    keys = [f.pts for f in received(m["bob"], pixels=False) if f.is_key_frame]
    assert keys == [0, 10, 15, 25]  # the GOP restarts at the key frame dave's subscription made
    assert [f.pts for f in received(dave, pixels=False)][:1] == [15]
    # A member that entered with use_pixel_frame_input is not asked: its engine encoder answers.
    assert alice.events("OnRequestKeyFrame") == []
    assert control.video_counters(alice.engine)["key_frames"] == 4


def test_encode_params_set_before_entering_hold_in_the_room(room, clock):
    alice = room.member("alice")
    alice.cloud.SetVideoEncodeParam(HIGH, encode_params(frame_rate=10, gop_in_seconds=1))
    assert alice.enter(pixel_input=True) == 0 and alice.cloud.CreateLocalVideoChannel(HIGH) == 0
    bob = room.member("bob")
    assert bob.enter() == 0 and bob.cloud.Subscribe("alice", HIGH) == 0
    send_pattern(clock, alice, 25, fps=10)
    settle(alice, bob)
    assert [f.pts for f in received(bob, False) if f.is_key_frame] == [0, 10, 20]


def test_a_stream_nobody_takes_is_not_coded_and_the_first_taker_starts_at_a_key_frame(room, clock):
    m = sending_room(room, encoded=(), pixels=())
    send_pattern(clock, m["alice"], 5)
    settle(m["alice"])
    assert control.video_counters(m["alice"].engine)["encoded"] == 0
    carol = room.member("carol")
    assert carol.enter(pixel_output=True) == 0 and carol.cloud.Subscribe("alice", HIGH) == 0
    send_pattern(clock, m["alice"], 3, first=5)
    settle(m["alice"], carol)
    assert [f.pts for f in received(carol, True)] == [5, 6, 7]
    assert control.video_counters(carol.engine)["undecodable"] == 0
    assert control.video_counters(m["alice"].engine) == {
        "encoded": 3, "key_frames": 1, "skipped": 0, "decoded": 0, "undecodable": 0}


def test_a_capped_downlink_delays_and_loses_video_for_its_receiver_only(room, clock):
    m = sending_room(room, pixel_input=False, encoded=("bob", "carol"), pixels=())
    control.set_bandwidth("bob", "downlink", kbps=100)
    for i in range(25):  # 2000-byte frames at 25 a second: 400 kbit/s
        assert m["alice"].cloud.SendVideoFrame(HIGH, video_frame(bytes(2000), pts=i)) == 0
        clock(40, settle=False)
    settle(*m.values())
    to_carol, to_bob = [f.pts for f in received(m["carol"], False)], [f.pts for f in received(m["bob"], False)]
    assert to_carol == list(range(25))
    assert 0 < len(to_bob) < 15 and to_bob == sorted(to_bob)  # 160 ms a frame, 500 ms of buffer
    assert control.network_quality_of("bob") > control.network_quality_of("carol")
    assert m["alice"].events("OnRequestChangeVideoEncodeBitrate") == []  # only an uplink asks the sender


def test_the_engines_encoder_for_tools_checks_what_it_is_given():
    encoder = control.VideoEncoder()
    with pytest.raises(ValueError, match="even sides from 16 to 4096"):
        encoder.encode(bytes(100), 16, 16)
    with pytest.raises(ValueError):
        encoder.encode(bytes(15 * 16 * 3 // 2), 15, 16)
    data, key = encoder.encode(media.test_pattern(0, 16, 16), 16, 16)
    assert key and data.startswith(b"\0\0\0\1")
    encoder.close()
    encoder.close()  # ended once: the engine is not asked again
    with pytest.raises(control.ControlError, match="closed"):
        encoder.encode(media.test_pattern(0, 16, 16), 16, 16)
    # A pointer that names no encoder, which VideoEncoder never hands the engine: raw calls.
    lib = control.library()
    assert lib.vlb_video_encoder_free(12345) == control.ABSENT
    assert lib.vlb_video_encoded_key(12345) == control.ABSENT


@pytest.mark.parametrize("counters", [control.video_counters, control.audio_counters])
def test_the_counters_of_a_session_that_is_gone_are_refused(counters):
    cloud = v.KWIXCloud(v.KWIXCloudDelegate())
    engine = control.newest_session()
    assert set(counters(engine).values()) == {0}
    del cloud
    gc.collect()
    with pytest.raises(control.ControlError, match="no live engine session") as refused:
        counters(engine)
    assert refused.value.status == control.ABSENT


def test_pts_and_rotation_carry_over_to_every_receiver(room, clock):
    m = sending_room(room)
    rot = v.VIDEO_ROTATION_270
    assert m["alice"].cloud.SendPixelFrame(HIGH, pattern_frame(pts=4242, rotation=rot)) == 0
    with control.VideoEncoder() as encoder:
        frame = media.h264_frame(encoder, 0, 777, 32, 32, True)
    frame.dts, frame.rotation = 770, v.VIDEO_ROTATION_90
    erin = sending_room(room, "erin", pixel_input=False, encoded=("fay",), pixels=("gus",))
    assert erin["erin"].cloud.SendVideoFrame(HIGH, frame) == 0
    settle(*m.values(), *erin.values())
    got = [(f.pts, f.rotation) for who in ("bob", "carol") for f in received(m[who], who == "carol")]
    assert got == [(4242, rot), (4242, rot)]
    assert received(m["bob"], False)[0].dts == 4242
    as_sent, = received(erin["fay"], False)
    assert (as_sent.pts, as_sent.dts, as_sent.rotation, as_sent.data) == (777, 770, v.VIDEO_ROTATION_90, frame.data)
    decoded, = received(erin["gus"], True)
    assert (decoded.pts, decoded.rotation, decoded.width, decoded.format) == (777, v.VIDEO_ROTATION_90, 32, YUV)


@pytest.mark.parametrize("fmt, width, height, size", [
    (YUV, 16, 16, 16 * 16 * 3 // 2 - 1),   # a byte short
    (YUV, 16, 16, 16 * 16 * 3 // 2 + 1),   # a byte over
    (YUV, 17, 16, 17 * 16 * 3 // 2),       # odd width
    (YUV, 16, 15, 16 * 15 * 3 // 2),       # odd height
    (YUV, 14, 16, 14 * 16 * 3 // 2),       # below 16
    (YUV, 4098, 16, 4098 * 16 * 3 // 2),   # beyond 4096
    (YUVA, 16, 16, 16 * 16 * 3 // 2),      # no alpha plane
    (RGBA, 16, 16, 16 * 16 * 3),           # three bytes a pixel
    (RGBA, 16, 4097, 16 * 4097 * 4),
])
def test_pixel_frames_the_engine_cannot_take_are_refused(room, clock, fmt, width, height, size):
    m = sending_room(room)
    assert m["alice"].cloud.SendPixelFrame(HIGH, raw_frame(fmt, width, height, bytes(size))) == v.ERR_INVALID_PARAMETER
    clock(100)
    settle(*m.values())
    assert received(m["bob"], False) == [] and received(m["carol"], True) == []
    assert control.video_counters(m["alice"].engine)["encoded"] == 0


def test_alpha_is_dropped_and_rgba_converted(room, clock):
    yuva = media.test_pattern(0, 32, 16) + bytes(range(256)) * 2  # the pattern with an alpha plane
    rgba = b"".join(b"\xff\xff\xff\x80" * 8 + b"\x00\x00\x00\xff" * 9 for _ in range(17))  # white | black
    decoded = {}
    for sender, frame in (("yuv", pattern_frame(width=32, height=16)), ("yuva", raw_frame(YUVA, 32, 16, yuva)),
                          ("rgba", raw_frame(RGBA, 17, 17, rgba))):
        m = sending_room(room, sender, encoded=(), pixels=(sender + "-r",))
        assert m[sender].cloud.SendPixelFrame(HIGH, frame) == 0
        settle(*m.values())
        decoded[sender], = received(m[sender + "-r"], True)
    assert decoded["yuva"].data == decoded["yuv"].data
    rgb = decoded["rgba"]
    assert (rgb.width, rgb.height, rgb.format) == (18, 18, YUV)  # odd sides grow by their last pixel
    luma = np.frombuffer(rgb.data[:18 * 18], np.uint8).reshape(18, 18).astype(int)
    chroma = np.frombuffer(rgb.data[18 * 18:], np.uint8).astype(int)
    assert abs(luma[:, :6].mean() - 235) < 6 and abs(luma[:, 11:].mean() - 16) < 6  # BT.601, limited range
    assert abs(chroma.mean() - 128) < 4


def test_undecodable_payloads_are_counted_and_never_delivered(room, clock):
    m = sending_room(room, pixel_input=False, encoded=(), pixels=("carol",))
    alice, carol = m["alice"], m["carol"]
    with control.VideoEncoder() as encoder:
        stream = [media.h264_frame(encoder, i, i, 48, 32, key=i in (0, 6)) for i in range(9)]
    broken = video_frame(stream[3].data[:len(stream[3].data) // 2], pts=3)
    sends = [stream[1],                                   # before any key frame
             video_frame(b"\0\0\0\1\x65" + bytes(range(200)), pts=90),  # claims to be a key frame
             video_frame(bytes(range(256)) * 4, pts=91),  # no start code at all
             stream[0], stream[1], stream[2], broken,     # decoding, then a frame cut short
             stream[4], stream[5],                        # after it: waiting for a key frame
             stream[6], stream[7], stream[8]]             # the next key frame restores it
    for frame in sends:
        assert alice.cloud.SendVideoFrame(HIGH, frame) == 0
        clock(40, settle=False)
    settle(alice, carol)
    assert [f.pts for f in received(carol, True)] == [0, 1, 2, 6, 7, 8]
    assert control.video_counters(carol.engine)["undecodable"] == 6
    # The stream broke off once while it was decoding: its sender is asked for a key frame.
    assert alice.events("OnRequestKeyFrame") == [("OnRequestKeyFrame", (int(HIGH),))]


@pytest.mark.skipif("libx265" not in av.codecs_available, reason="PyAV without an H.265 encoder")
def test_h265_is_decoded_for_pixel_receivers(room, clock):
    m = sending_room(room, pixel_input=False, encoded=("bob",), pixels=("carol",))
    encoder = av.CodecContext.create("libx265", "w")
    encoder.width, encoder.height, encoder.pix_fmt = 64, 48, "yuv420p"
    encoder.time_base = Fraction(1, 15)
    encoder.options = {"x265-params": "bframes=0:keyint=30:log-level=none"}
    packets = []
    for i in range(6):
        picture = av.VideoFrame.from_ndarray(
            np.frombuffer(media.test_pattern(i, 64, 48), np.uint8).reshape(72, 64), format="yuv420p")
        picture.pts = i
        packets += encoder.encode(picture)
    packets += encoder.encode(None)
    reference = av.CodecContext.create("hevc", "r")
    for n, packet in enumerate(packets):
        frame = video_frame(bytes(packet), pts=100 + n)
        frame.codec = v.VIDEO_CODEC_TYPE_H265
        assert m["alice"].cloud.SendVideoFrame(HIGH, frame) == 0
        clock(66, settle=False)
    settle(*m.values())
    wanted = [f.to_ndarray(format="yuv420p").tobytes() for p in packets for f in reference.decode(p)]
    got = received(m["carol"], True)
    assert [f.data for f in got] == wanted and len(got) == 6
    assert [f.pts for f in got] == [100 + n for n in range(6)]
    assert len(received(m["bob"], False)) == len(packets)  # encoded receivers: as sent


def test_a_capped_uplink_asks_an_encoded_sender_for_a_rate_that_fits_and_back(room, clock):
    m = sending_room(room, pixel_input=False, encoded=("bob",), pixels=())
    alice, bob = m["alice"], m["bob"]
    control.set_bandwidth("alice", "uplink", kbps=400)

    def send(seconds, size):
        for i in range(seconds * 25):  # 25 frames a second
            assert alice.cloud.SendVideoFrame(HIGH, video_frame(bytes(size), pts=i)) == 0
            clock(40, settle=False)
        settle(alice, bob)

    send(2, 4000)  # 800 kbit/s
    assert alice.events("OnRequestChangeVideoEncodeBitrate") == [
        ("OnRequestChangeVideoEncodeBitrate", (int(HIGH), 340000))]  # 85 % of the cap
    sent, arrived = 50, len(received(bob, False))
    assert arrived < sent  # the link's buffer overflowed
    assert control.network_quality_of("alice") > int(v.NETWORK_QUALITY_GOOD)
    alice.clear()
    send(1, 1500)  # 300 kbit/s: fits, nothing more is asked
    assert alice.events("OnRequestChangeVideoEncodeBitrate") == []
    control.set_bandwidth("alice", "uplink", kbps=0)
    send(1, 1500)
    assert alice.events("OnRequestChangeVideoEncodeBitrate") == [
        ("OnRequestChangeVideoEncodeBitrate", (int(HIGH), 800000))]  # what it sent before


def test_a_capped_uplink_lowers_a_pixel_senders_own_encoder(room, clock):
    m = sending_room(room, encoded=("bob",), pixels=())
    m["alice"].cloud.SetVideoEncodeParam(HIGH, encode_params(bitrate_bps=800000))
    control.set_bandwidth("alice", "uplink", kbps=200)
    send_pattern(clock, m["alice"], 60, width=320, height=240)
    settle(*m.values())
    frames = received(m["bob"], False)

    def rate(first, last):  # b/s of the frames between key frames that arrived, at 15 a second
        sizes = [len(f.data) for f in frames if first <= f.pts < last and not f.is_key_frame]
        return sum(sizes) * 8 * 15 // len(sizes)
    assert rate(0, 15) > 400000 and rate(30, 60) < 200000
    assert m["alice"].events("OnRequestChangeVideoEncodeBitrate") == []


@pytest.mark.slow
def test_the_video_bot_example_records_an_mp4_that_plays_back(run_program, tmp_path):
    out = tmp_path / "room.mp4"
    result = run_program([os.path.join(EXAMPLES_DIR, "video_bot.py"), "--seconds", "1.5", "--size", "160x120",
                          "--out", str(out)], cwd=tmp_path, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "velmora: callback" not in result.stderr
    with av.open(str(out)) as played:
        frames = [f for f in played.decode(video=0)]
    assert len(frames) >= 20 and (frames[0].width, frames[0].height) == (160, 120)
    assert f"it plays back {len(frames)} frames" in result.stdout
