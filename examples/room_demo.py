"""Two bots in one room: a speaker sends audio, a SEI message and custom commands; a listener
prints what it receives. Both leave and a short summary is printed.

Runs on whatever engine library sits beside the module: the loopback engine by default,
where both bots meet inside this process.

    python examples/room_demo.py --room demo-room --speaker alice --listener bob
"""
import argparse
import collections
import math
import struct
import sys
import threading
import time

import _velmora as v

SAMPLE_RATE = 48000
CHANNELS = 1
FRAME_MS = 20


def log(who, text):
    # One write per line: callbacks of both bots print from their own engine threads.
    sys.stdout.write(f"[{who}] {text}\n")
    sys.stdout.flush()


class Bot(v.KWIXCloudDelegate):
    """A delegate that prints every event and counts media per user."""

    def __init__(self, name):
        super().__init__()
        self.name = name
        self.lock = threading.Lock()
        self.entered = threading.Event()
        self.exited = threading.Event()
        self.audio_frames = collections.Counter()
        self.audio_bytes = collections.Counter()
        self.messages = []
        self.quality_reports = 0
        self.errors = []
        self.remote_users = set()
        self.peer_joined = threading.Event()

    # Room events
    def OnError(self, error):
        self.errors.append(error)
        log(self.name, f"error {error}")

    def OnConnectionStateChanged(self, old_state, new_state):
        log(self.name, f"connection {old_state.name} -> {new_state.name}")

    def OnEnterRoom(self):
        log(self.name, "entered the room")
        self.entered.set()

    def OnExitRoom(self):
        log(self.name, "left the room")
        self.exited.set()

    def OnRemoteUserEnterRoom(self, info):
        user = info.user_id.GetValue()
        with self.lock:
            self.remote_users.add(user)
        log(self.name, f"{user} entered")
        self.peer_joined.set()

    def OnRemoteUserExitRoom(self, info, reason):
        log(self.name, f"{info.user_id.GetValue()} left (reason {reason})")

    def OnRemoteAudioAvailable(self, user_id, available):
        log(self.name, f"audio of {user_id} {'available' if available else 'gone'}")

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        log(self.name, f"video {stream_type.name} of {user_id} {'available' if available else 'gone'}")

    # Local channels
    def OnLocalAudioChannelCreated(self):
        log(self.name, "local audio channel created")

    def OnLocalAudioChannelDestroyed(self):
        log(self.name, "local audio channel destroyed")

    def OnLocalVideoChannelCreated(self, stream_type):
        log(self.name, f"local video channel {stream_type.name} created")

    def OnLocalVideoChannelDestroyed(self, stream_type):
        log(self.name, f"local video channel {stream_type.name} destroyed")

    def OnRequestKeyFrame(self, stream_type):
        log(self.name, f"key frame requested for {stream_type.name}")

    def OnRequestChangeVideoEncodeBitrate(self, stream_type, bitrate_bps):
        log(self.name, f"bitrate {bitrate_bps} requested for {stream_type.name}")

    # Media
    def OnRemoteAudioReceived(self, user_id, frame):
        with self.lock:
            self.audio_frames[user_id] += 1
            self.audio_bytes[user_id] += frame.size

    def OnRemoteMixedAudioReceived(self, frame):
        with self.lock:
            self.audio_frames["(mixed)"] += 1

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        log(self.name, f"video frame from {user_id}: {frame.size} bytes")

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        log(self.name, f"pixel frame from {user_id}: {frame.width}x{frame.height}")

    # Messages and quality
    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
        with self.lock:
            self.messages.append(("sei", user_id, message))
        log(self.name, f"SEI type {message_type} from {user_id}: {message!r}")

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        with self.lock:
            self.messages.append(("cmd", user_id, message))
        log(self.name, f"command {cmd_id} #{seq} from {user_id}: {message!r}")

    def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed):
        log(self.name, f"missed {missed} of command {cmd_id} from {user_id} (error {error_code})")

    def OnNetworkQuality(self, local, remote):
        with self.lock:
            self.quality_reports += 1
        others = ", ".join(f"{r.user_id.GetValue()}={r.quality.name}" for r in remote)
        log(self.name, f"network quality: local {local.quality.name}; {others or 'no others'}")


def enter_params(args, user_id):
    params = v.EnterRoomParams()
    params.room.sdk_app_id = args.app_id
    params.room.user_id = v.KwixString(user_id)
    params.room.user_sig = v.KwixString(args.user_sig)
    params.room.str_room_id = v.KwixString(args.room)
    params.scene = v.KWIX_SCENE_VOICE_CHAT
    params.role = v.KWIX_ROLE_ANCHOR
    return params


def tone_frame(index, frequency=440.0):
    """One 20 ms frame of a 16-bit PCM sine tone."""
    samples = SAMPLE_RATE * FRAME_MS // 1000
    start = index * samples
    pcm = struct.pack(f"<{samples}h", *(
        int(8000 * math.sin(2 * math.pi * frequency * (start + i) / SAMPLE_RATE))
        for i in range(samples)))
    frame = v.AudioFrame()
    frame.sample_rate = SAMPLE_RATE
    frame.channels = CHANNELS
    frame.bits_per_sample = 16
    frame.codec = v.AUDIO_CODEC_TYPE_PCM
    frame.pts = index * FRAME_MS
    frame.has_voice = True
    frame.SetData(pcm)
    return frame


def check(result, what):
    if result != 0:
        raise SystemExit(f"{what} failed with {v.Error(result).name} ({result})")


def wait(event, what, timeout):
    if not event.wait(timeout):
        raise SystemExit(f"timed out waiting for {what}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--room", default="velmora-demo", help="room name (default: %(default)s)")
    parser.add_argument("--speaker", default="alice", help="user id of the sending bot")
    parser.add_argument("--listener", default="bob", help="user id of the receiving bot")
    parser.add_argument("--app-id", type=int, default=1400000001, help="application id")
    parser.add_argument("--user-sig", default="loopback-signature", help="user signature")
    parser.add_argument("--frames", type=int, default=100, help="audio frames to send (20 ms each)")
    parser.add_argument("--linger", type=float, default=2.5,
                        help="seconds to stay after sending, to hear network quality reports")
    parser.add_argument("--log-dir", help="engine log directory (default: no log file)")
    args = parser.parse_args(argv)
    timeout = 10.0

    if args.log_dir and not v.SetLogPath(args.log_dir):
        raise SystemExit(f"the engine cannot write its log under {args.log_dir}")

    speaker, listener = Bot(args.speaker), Bot(args.listener)
    speaker_session, listener_session = v.KWIXCloud(speaker), v.KWIXCloud(listener)

    check(listener_session.EnterRoom(enter_params(args, args.listener)), "listener EnterRoom")
    wait(listener.entered, "the listener to enter", timeout)
    check(speaker_session.EnterRoom(enter_params(args, args.speaker)), "speaker EnterRoom")
    wait(speaker.entered, "the speaker to enter", timeout)
    wait(listener.peer_joined, "the listener to see the speaker", timeout)

    # SEI messages ride on the main video stream, so the listener watches it.
    check(speaker_session.CreateLocalAudioChannel(v.AudioEncodeParams()), "CreateLocalAudioChannel")
    check(speaker_session.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH), "CreateLocalVideoChannel")
    check(listener_session.Subscribe(args.speaker, v.STREAM_TYPE_VIDEO_HIGH), "Subscribe")

    started = time.monotonic()
    for index in range(args.frames):
        check(speaker_session.SendAudioFrame(tone_frame(index)), "SendAudioFrame")
        # Real time pacing: one frame every 20 ms.
        time.sleep(max(0.0, started + (index + 1) * FRAME_MS / 1000 - time.monotonic()))
    check(speaker_session.SendSeiMessage(5, b"caption: hello from " + args.speaker.encode()),
          "SendSeiMessage")
    for number in range(3):
        if not speaker_session.SendCustomCmdMsg(1, f"command {number}".encode(), True, True):
            raise SystemExit("SendCustomCmdMsg failed")
    time.sleep(args.linger)

    speaker_session.DestroyLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH)
    speaker_session.DestroyLocalAudioChannel()
    check(speaker_session.ExitRoom(), "speaker ExitRoom")
    check(listener_session.ExitRoom(), "listener ExitRoom")
    wait(speaker.exited, "the speaker to leave", timeout)
    wait(listener.exited, "the listener to leave", timeout)
    del speaker_session, listener_session

    with listener.lock:
        print()
        print(f"summary for {args.listener} in room {args.room}:")
        for user, count in sorted(listener.audio_frames.items()):
            print(f"  audio from {user}: {count} frames, {listener.audio_bytes[user]} bytes")
        print(f"  messages: {len(listener.messages)} "
              f"({sum(kind == 'sei' for kind, _, _ in listener.messages)} SEI, "
              f"{sum(kind == 'cmd' for kind, _, _ in listener.messages)} commands)")
        print(f"  network quality reports: {listener.quality_reports}")
        received_audio = listener.audio_frames[args.speaker]
    if received_audio == 0 or not listener.messages:
        print("the listener received no audio or no messages", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
