"""Simulated participants: each is a real session in a loopback room, driven by the scenario
runner on its clock, and records what it received like the bot does."""
import time

import _velmora as v

from . import control, media
from .recording import Recorder, Recording, recording_class

APP_ID = 1400000001

STREAMS = {"high": v.STREAM_TYPE_VIDEO_HIGH, "low": v.STREAM_TYPE_VIDEO_LOW,
           "aux": v.STREAM_TYPE_VIDEO_AUX}
QUALITIES = {name[len("NETWORK_QUALITY_"):].lower(): member
             for name, member in v.NetworkQuality.__members__.items()}
ROLES = {"anchor": v.KWIX_ROLE_ANCHOR, "audience": v.KWIX_ROLE_AUDIENCE}


class SimulationError(RuntimeError):
    """A scripted step the engine refused; the message names who, when and what to fix."""


def error_name(code):
    try:
        return f"{v.Error(code).name} ({code})"
    except ValueError:
        return str(code)


def enter_params(user_id, room, *, role="anchor", pixel_output=False, pixel_input=False, app_id=APP_ID,
                 user_sig="simulated", room_id=0, **audio_obtain):
    """EnterRoomParams for `user_id` into the room named `room` (its str_room_id) of `app_id`.
    `role` is "anchor", "audience" or a KwixRole member. None for user_id, room or user_sig
    leaves that text unset, as a program that forgets it would. pixel_output: the member gets
    video as pixel frames; pixel_input: it sends pixel frames. Further keywords set fields of
    audio_obtain_params by name (output_sample_rate=16000,
    audio_obtain_method=AUDIO_OBTAIN_METHOD_GET, ...)."""
    params = v.EnterRoomParams()
    params.room.sdk_app_id = app_id
    for field, text in (("user_id", user_id), ("user_sig", user_sig), ("str_room_id", room)):
        if text is not None:
            getattr(params.room, field).SetValue(text)
    params.room.room_id = room_id
    params.role = ROLES[role] if isinstance(role, str) else role
    params.use_pixel_frame_output = pixel_output
    params.use_pixel_frame_input = pixel_input
    for field, value in audio_obtain.items():
        if not hasattr(params.audio_obtain_params, field):
            raise TypeError(f"enter_params: AudioObtainParams has no field {field!r}")
        setattr(params.audio_obtain_params, field, value)
    return params


class _MemberDelegate(v.KWIXCloudDelegate):
    """Notes key frame requests; unless it hears audio, stops every other member's audio
    as soon as it sees them, so that the room's cost grows with its speakers, not with
    speakers times members."""

    def __init__(self, hears_audio):
        super().__init__()
        self.key_frame_wanted = set()
        self.bitrate_wanted = {}  # stream type: the bitrate the room asked for
        self.hears_audio = hears_audio
        self.cloud = None

    def OnRequestKeyFrame(self, stream_type):
        self.key_frame_wanted.add(int(stream_type))

    def OnRequestChangeVideoEncodeBitrate(self, stream_type, bitrate_bps):
        self.bitrate_wanted[int(stream_type)] = bitrate_bps

    def OnRemoteUserEnterRoom(self, info):
        cloud = self.cloud
        if not self.hears_audio and cloud is not None:
            cloud.Unsubscribe(info.user_id.GetValue(), v.STREAM_TYPE_AUDIO)


_ParticipantDelegate = recording_class(_MemberDelegate)


class _Video:
    """A stream of the moving test pattern: pixel frames, or H.264 from the engine's own
    encoder, which follows the room's key frame and bitrate requests."""

    def __init__(self, stream, fps, width, height, pixel, started_ms):
        self.stream, self.fps, self.width, self.height = stream, fps, width, height
        self.pixel, self.started_ms, self.sent = pixel, started_ms, 0
        self.encoder = None if pixel else control.VideoEncoder()

    def due(self, now_ms):
        return now_ms >= self.started_ms + self.sent * 1000 // self.fps


class Participant:
    """One scripted member of a room. `room_log` (a Recorder) notes what it does, for the
    bot's timeline; `clock` stamps what it receives. It records the events and messages it
    receives in `received`; media frames only in number (`media_frames`). It hears the
    others' audio only when `hears_audio` is true."""

    def __init__(self, user_id, room, clock, room_log=None, role="anchor", hears_audio=False):
        self.user_id, self.room, self.role, self.hears_audio = user_id, room, role, hears_audio
        self.clock = clock
        self.room_log = room_log
        self.received = Recording({"user_id": user_id, "clock": clock.name})
        self.cloud = None
        self.delegate = None
        self.engine = None
        self._recorder = None
        self._media_frames_before = 0
        self._speech = None
        self._audio_open = False
        self._videos = {}

    def _note(self, what, detail=None):
        if self.room_log is not None:
            self.room_log.room(self.user_id, what, detail)

    def _require_session(self, what):
        if self.cloud is None:
            raise SimulationError(f"{self.user_id} cannot {what}: it is not in the room "
                                  "(join it first)")

    def _check(self, result, what, hint=""):
        if result != 0:
            raise SimulationError(f"{self.user_id}: {what} returned {error_name(result)}{hint}")

    # ---- presence ----------------------------------------------------------------------------

    def join(self):
        if self.cloud is not None:
            raise SimulationError(f"{self.user_id} is already in the room")
        self.delegate = _ParticipantDelegate(self.hears_audio)
        self._recorder = Recorder(self.received, self.clock, media=False)
        self.delegate._velmora_recorder = self._recorder
        self.cloud = v.KWIXCloud(self.delegate)
        self.delegate.cloud = self.cloud
        self.engine = control.newest_session()
        result = self.cloud.EnterRoom(enter_params(self.user_id, self.room, role=self.role))
        if result == 0 and not self._claimed():
            result = int(v.ERR_ENTER_ROOM_FAILED)
        if result != 0:
            self._drop_session()
            self._check(result, "EnterRoom", " (is another member of the room using this user id?)")
        self._note("join")

    def _claimed(self, timeout_s=30.0):
        """On a room bus EnterRoom returns before the user id is claimed across processes:
        waits for the answer without holding the interpreter lock. False when another process
        has the user id in this room (the engine then took the session out again)."""
        if control.bus_counter("claiming") is None:
            return True
        deadline = time.monotonic() + timeout_s
        while control.bus_counter("claiming"):
            if time.monotonic() > deadline:
                raise SimulationError(f"{self.user_id}: the room bus did not answer the claim of its user id "
                                      f"within {timeout_s:g} s (is its Redis server stalled?)")
            time.sleep(0.005)
        control.settle([self.engine])
        refused = int(v.ERR_ENTER_ROOM_FAILED)
        return not any(int(args[0]) == refused for args in self.received.args("OnError"))

    def leave(self):
        self._require_session("leave")
        self._speech = None
        self._audio_open = False
        self._close_videos()
        self._check(self.cloud.ExitRoom(), "ExitRoom")
        control.settle([self.engine])
        self._note("leave")
        self._drop_session()

    def _drop_session(self):
        self._media_frames_before = self.media_frames
        self._recorder = None
        self.delegate.cloud = None
        self.cloud = None  # destroys the engine session
        self.engine = None

    @property
    def media_frames(self):
        """Media frames received over all its sessions."""
        return self._media_frames_before + (self._recorder.media_frames if self._recorder else 0)

    @property
    def present(self):
        return self.cloud is not None

    def sessions(self):
        return [self.engine] if self.engine is not None else []

    # ---- audio -------------------------------------------------------------------------------

    def speak(self, source, now_ms, label):
        """Sends `source` (a media.AudioSource) frame by frame from `now_ms` on."""
        self._require_session("speak")
        if not self._audio_open:
            params = v.AudioEncodeParams()
            params.sample_rate, params.channels = source.sample_rate, source.channels
            params.frame_length_ms = media.FRAME_MS
            why = (" (an audience member cannot speak)" if self.role == "audience" else
                   f" (for {source.sample_rate} Hz, {source.channels} channel(s), {media.FRAME_MS} ms frames)")
            self._check(self.cloud.CreateLocalAudioChannel(params), "CreateLocalAudioChannel", why)
            self._audio_open = True
        self._speech = (source, now_ms, 0)
        self._note("speech_start", label)

    def stop_speaking(self):
        if self._speech is not None:
            self._speech = None
            self._note("speech_end")

    # ---- video -------------------------------------------------------------------------------

    def open_video(self, stream, fps, width, height, pixel, now_ms):
        self._require_session("open a video stream")
        self._check(self.cloud.CreateLocalVideoChannel(STREAMS[stream]), "CreateLocalVideoChannel",
                    " (an audience member cannot send video; a stream opens once)")
        self._videos[stream] = _Video(STREAMS[stream], fps, width, height, pixel, now_ms)
        self._note("video_open", stream)

    def _close_videos(self):
        for video in self._videos.values():
            if video.encoder is not None:
                video.encoder.close()
        self._videos.clear()

    def close_video(self, stream):
        self._require_session("close a video stream")
        video = self._videos.pop(stream, None)
        if video is not None and video.encoder is not None:
            video.encoder.close()
        self._check(self.cloud.DestroyLocalVideoChannel(STREAMS[stream]), "DestroyLocalVideoChannel",
                    f" (the {stream} stream is not open)")
        self._note("video_close", stream)

    # ---- messages and network ----------------------------------------------------------------

    def send_sei(self, message_type, message):
        self._require_session("send a SEI message")
        self._check(self.cloud.SendSeiMessage(message_type, message), "SendSeiMessage",
                    " (SEI messages ride on the high video stream: open it first)")
        self._note("sei", message.decode(errors="replace"))

    def send_command(self, cmd_id, message, reliable, ordered):
        self._require_session("send a custom command")
        if not self.cloud.SendCustomCmdMsg(cmd_id, message, reliable, ordered):
            raise SimulationError(f"{self.user_id}: SendCustomCmdMsg refused command {cmd_id} "
                                  "(at most 1024 bytes)")
        self._note("custom_cmd", message.decode(errors="replace"))

    def set_network_quality(self, quality):
        control.set_network_quality(self.user_id, QUALITIES[quality])
        self._note("network_quality", quality)

    # ---- per tick ----------------------------------------------------------------------------

    def send_due_media(self, now_ms):
        """Sends the audio and video frames due by `now_ms`."""
        if self.cloud is None:
            return
        while self._speech is not None:
            source, started, index = self._speech
            if now_ms < started + index * media.FRAME_MS:
                break
            if index >= source.frames:
                self.stop_speaking()
                break
            frame = source.frame(index, started + index * media.FRAME_MS)
            self._check(self.cloud.SendAudioFrame(frame), "SendAudioFrame")
            self._speech = (source, started, index + 1)
        for video in self._videos.values():
            while video.due(now_ms):
                pts = video.started_ms + video.sent * 1000 // video.fps
                key = video.sent == 0 or int(video.stream) in self.delegate.key_frame_wanted
                self.delegate.key_frame_wanted.discard(int(video.stream))
                if video.pixel:
                    result = self.cloud.SendPixelFrame(
                        video.stream, media.pixel_frame(video.sent, pts, video.width, video.height))
                else:
                    frame = media.h264_frame(video.encoder, video.sent, pts, video.width, video.height, key,
                                             self.delegate.bitrate_wanted.get(int(video.stream), 0), video.fps)
                    result = self.cloud.SendVideoFrame(video.stream, frame)
                self._check(result, "sending a video frame")
                video.sent += 1
