"""Two bots in one room: a painter draws a moving picture with numpy and sends it as pixels
(RGBA), with a tone as its audio; a recorder takes the room's H.264 video and Opus audio and
writes them to an MP4 file with PyAV, then plays the file back and checks its frame count.

The painter never encodes anything: the engine encodes its pixels to H.264 once for every
receiver that takes encoded video, as a production room does. Runs on whatever engine
library sits beside the module: the loopback engine by default, where both bots meet inside
this process. Needs numpy and PyAV (pip install numpy av).

    python examples/video_bot.py --seconds 3 --size 320x240 --fps 15 --out recording.mp4
"""
import argparse
import math
import struct
import sys
import threading
import time
from fractions import Fraction

import av
import numpy as np

import _velmora as v
from velmora import QuietDelegate  # answers every callback; the bots define what they use

AUDIO_RATE = 48000
FRAME_MS = 20
HIGH = v.STREAM_TYPE_VIDEO_HIGH


class Recorder(QuietDelegate):
    """Subscribes to every video stream it sees; keeps the H.264 frames and Opus packets."""

    def __init__(self):
        super().__init__()
        self.cloud = None
        self.lock = threading.Lock()
        self.arrived = threading.Condition(self.lock)  # notified at each video frame
        self.entered = threading.Event()
        self.subscribed = threading.Event()
        self.video = []  # (pts in ms, key frame, Annex B bytes)
        self.audio = []  # Opus packets of 20 ms

    def OnEnterRoom(self):
        self.entered.set()

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        if available:
            self.cloud.Subscribe(user_id, stream_type)
            self.subscribed.set()

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        with self.lock:
            self.video.append((frame.pts, frame.is_key_frame, frame.data))
            self.arrived.notify_all()

    def wait_for_frame(self, pts, timeout):
        """Waits until the frame stamped `pts` (or a later one) has arrived: whether it did."""
        with self.lock:
            return self.arrived.wait_for(lambda: any(p >= pts for p, _, _ in self.video), timeout)

    def OnRemoteAudioReceived(self, user_id, frame):
        with self.lock:
            self.audio.append(frame.data)


class Painter(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.entered = threading.Event()

    def OnEnterRoom(self):
        self.entered.set()


def picture(index, width, height, fps):
    """Frame `index` as RGBA: colour bars drifting sideways and a white disc circling."""
    x = np.arange(width)
    bars = np.array([[235, 235, 16], [16, 235, 235], [16, 235, 16], [235, 16, 235], [235, 16, 16],
                     [16, 16, 235]], np.uint8)
    columns = bars[((x + 3 * index) * len(bars) // width) % len(bars)]
    rgba = np.empty((height, width, 4), np.uint8)
    rgba[:, :, :3] = columns[None, :, :]
    rgba[:, :, 3] = 255
    angle = 2 * math.pi * index / (4 * fps)  # one turn in 4 seconds
    cx, cy = width / 2 + width / 4 * math.cos(angle), height / 2 + height / 4 * math.sin(angle)
    yy, xx = np.ogrid[:height, :width]
    rgba[(xx - cx) ** 2 + (yy - cy) ** 2 <= (min(width, height) / 8) ** 2, :3] = 255
    return rgba


def enter_params(args, user_id, pixel_input=False):
    p = v.EnterRoomParams()
    p.room.sdk_app_id = args.app_id
    p.room.user_id.SetValue(user_id)
    p.room.user_sig.SetValue("loopback-signature")
    p.room.str_room_id.SetValue(args.room)
    p.use_pixel_frame_input = pixel_input
    # Opus as the room codes it: 48 kHz mono, 20 ms packets, one per speaker.
    p.audio_obtain_params.output_sample_rate = AUDIO_RATE
    p.audio_obtain_params.output_channels = 1
    p.audio_obtain_params.output_frame_length_ms = FRAME_MS
    p.audio_obtain_params.output_audio_codec_type = v.AUDIO_CODEC_TYPE_OPUS
    return p


def check(result, what):
    if result != 0:
        raise SystemExit(f"{what} failed with {v.Error(result).name} ({result})")


def tone(index):
    """20 ms of a 440 Hz tone at 48 kHz mono, 16-bit PCM."""
    n = AUDIO_RATE * FRAME_MS // 1000
    start = index * n
    frame = v.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = AUDIO_RATE, 1, 16
    frame.SetData(struct.pack(f"<{n}h", *(int(6000 * math.sin(2 * math.pi * 440 * (start + i) / AUDIO_RATE))
                                          for i in range(n))))
    return frame


def paint(session, args, width, height):
    """Sends --seconds of frames at --fps and 20 ms tone frames, on wall-clock time."""
    frames = int(args.seconds * args.fps)
    started = time.monotonic()
    sent_audio = 0
    for index in range(frames):
        due = started + index / args.fps
        while time.monotonic() < due:
            time.sleep(min(0.005, max(0.0, due - time.monotonic())))
        frame = v.PixelFrame()
        frame.width, frame.height, frame.format = width, height, v.VIDEO_PIXEL_FORMAT_RGBA
        frame.pts = round(index * 1000 / args.fps)
        frame.SetData(picture(index, width, height, args.fps).tobytes())
        check(session.SendPixelFrame(HIGH, frame), "SendPixelFrame")
        while sent_audio * FRAME_MS <= (time.monotonic() - started) * 1000:
            check(session.SendAudioFrame(tone(sent_audio)), "SendAudioFrame")
            sent_audio += 1
    return frames


def opus_head(channels):
    """The Opus identification header an MP4 file keeps for its Opus track (RFC 7845)."""
    return b"OpusHead" + struct.pack("<BBHIhB", 1, channels, 312, AUDIO_RATE, 0, 0)


def write_mp4(path, video, audio, width, height, fps):
    """Muxes the received H.264 (Annex B) and Opus packets as they are: nothing is re-encoded."""
    with av.open(path, "w", format="mp4") as out:
        vs = out.add_stream("h264", rate=fps)
        vs.width, vs.height = width, height
        vs.time_base = Fraction(1, 1000)
        first_key = next(data for _, key, data in video if key)
        # The parameter sets that open every key frame the engine makes: the file's avcC.
        vs.codec_context.extradata = first_key[:first_key.find(b"\0\0\0\1\x65")]
        as_ = out.add_stream("opus", rate=AUDIO_RATE)
        as_.time_base = Fraction(1, AUDIO_RATE)
        as_.codec_context.extradata = opus_head(1)
        start = next(i for i, (_, key, _) in enumerate(video) if key)
        for pts, key, data in video[start:]:
            packet = av.Packet(data)
            packet.stream, packet.time_base = vs, vs.time_base
            packet.pts = packet.dts = pts
            packet.is_keyframe = key
            out.mux(packet)
        samples = AUDIO_RATE * FRAME_MS // 1000
        for n, data in enumerate(audio):
            packet = av.Packet(data)
            packet.stream, packet.time_base = as_, as_.time_base
            packet.pts = packet.dts = n * samples
            packet.duration = samples
            out.mux(packet)
    return len(video) - start


def played_frames(path):
    """Video frames and audio seconds PyAV decodes from the file."""
    with av.open(path) as f:
        frames = sum(1 for _ in f.decode(video=0))
    with av.open(path) as f:
        seconds = sum(frame.samples for frame in f.decode(audio=0)) / AUDIO_RATE
    return frames, seconds


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="how long the painter paints")
    parser.add_argument("--size", default="320x240", help="picture size WIDTHxHEIGHT (16 to 4096 each)")
    parser.add_argument("--fps", type=int, default=15, help="frames per second")
    parser.add_argument("--out", default="video_bot.mp4", help="the MP4 file to write")
    parser.add_argument("--room", default="video-bot", help="room name")
    parser.add_argument("--app-id", type=int, default=1400000001, help="application id")
    args = parser.parse_args(argv)
    width, height = (int(side) for side in args.size.lower().split("x"))

    recorder, painter = Recorder(), Painter()
    recorder_session, painter_session = v.KWIXCloud(recorder), v.KWIXCloud(painter)
    recorder.cloud = recorder_session
    check(recorder_session.EnterRoom(enter_params(args, "recorder")), "recorder EnterRoom")
    check(painter_session.EnterRoom(enter_params(args, "painter", pixel_input=True)), "painter EnterRoom")
    for bot in (recorder, painter):
        if not bot.entered.wait(10):
            raise SystemExit("timed out entering the room")
    check(painter_session.CreateLocalAudioChannel(v.AudioEncodeParams()), "CreateLocalAudioChannel")
    check(painter_session.CreateLocalVideoChannel(HIGH), "CreateLocalVideoChannel")
    if not recorder.subscribed.wait(10):
        raise SystemExit("timed out waiting for the recorder to subscribe to the painter's video")
    sent = paint(painter_session, args, width, height)
    # The engine codes pixels on its own threads: the last frames arrive a little later.
    if not recorder.wait_for_frame(round((sent - 1) * 1000 / args.fps), timeout=10):
        print("the painter's last frame did not reach the recorder within 10 s", file=sys.stderr)
    check(painter_session.ExitRoom(), "painter ExitRoom")
    check(recorder_session.ExitRoom(), "recorder ExitRoom")
    del painter_session, recorder_session

    with recorder.lock:
        video, audio = list(recorder.video), list(recorder.audio)
    if not any(key for _, key, _ in video) or not audio:
        print(f"the recorder got {len(video)} video frames and {len(audio)} audio packets", file=sys.stderr)
        return 1
    written = write_mp4(args.out, video, audio, width, height, args.fps)
    frames, seconds = played_frames(args.out)
    print(f"painter sent {sent} frames; recorder got {len(video)}; wrote {args.out}: {written} H.264 frames, "
          f"{len(audio)} Opus packets; it plays back {frames} frames and {seconds:.2f} s of audio")
    if frames != written:
        print(f"{args.out} plays back {frames} frames, not the {written} written", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
