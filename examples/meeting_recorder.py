"""A meeting recorder built on velmora.aio: each participant's audio to a WAV file of its own,
the room's mix to another, a reply to the chat command "!status", and a clean exit (files
complete, room left) on SIGTERM or Ctrl-C.

A member gets per-user audio or the engine's mix, not both, so the recorder takes per-user
audio and mixes it itself. Every file starts when the recorder entered the room and keeps
time: silence fills what a participant did not say, or what was lost on the way.

    python examples/meeting_recorder.py --room standup --out recordings/
    # another member sends the custom command "!status"; the recorder answers with command 2

examples/test_meeting_recorder.py tests it with velmora.testing.
"""
import argparse
import asyncio
import audioop  # part of Python until 3.13; the module runs on 3.9
import os
import re
import signal
import sys
import wave
from typing import Dict, List, Optional, Sequence, Tuple

import _velmora as v
from velmora import aio

STATUS_COMMAND = b"!status"
REPLY_CMD_ID = 2
# Frames of one moment from different speakers arrive within this much of each other; the mix
# of a moment is written once frames this much later have come.
MIX_DELAY_MS = 200


class Track:
    """One WAV file that keeps time: a frame stamped `pts` ms after the recorder entered is
    written at that place, with silence before it where nothing came."""

    def __init__(self, path: str, sample_rate: int, channels: int) -> None:
        self.path = path
        self.bytes_per_ms = sample_rate * channels * 2 // 1000
        self.written_ms = 0
        self._file = wave.open(path, "wb")
        self._file.setnchannels(channels)
        self._file.setsampwidth(2)
        self._file.setframerate(sample_rate)

    def write(self, pts: int, pcm: bytes) -> None:
        if pts < self.written_ms:  # a frame of a moment already written: keep the file in order
            return
        if pts > self.written_ms:
            self._file.writeframes(bytes((pts - self.written_ms) * self.bytes_per_ms))
        self._file.writeframes(pcm)
        self.written_ms = pts + len(pcm) // self.bytes_per_ms

    def close(self) -> None:
        self._file.close()


class MeetingRecorder:
    """Writes what a room says into `folder`: <user id>.wav per participant and mix.wav. Run
    it with `await recorder.run(room)` in an entered room; it ends, with every file complete,
    when `stop` is set or it is cancelled."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.tracks: Dict[str, Track] = {}
        self.mix: Optional[Track] = None
        self.replies = 0
        self._moments: Dict[int, bytes] = {}   # pts -> the sum of what was heard then
        self._newest_pts = 0

    def file_of(self, user_id: str) -> str:
        safe = re.sub(r"[^A-Za-z0-9_.-]", "_", user_id) or "_"
        return os.path.join(self.folder, f"{safe}.wav")

    async def run(self, room: aio.Room, stop: Optional[asyncio.Event] = None) -> None:
        os.makedirs(self.folder, exist_ok=True)
        tasks: List["asyncio.Future[object]"] = [asyncio.ensure_future(self._record(room)),
                                                 asyncio.ensure_future(self._answer(room))]
        if stop is not None:
            tasks.append(asyncio.ensure_future(stop.wait()))
        try:
            done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
            for task in done:
                task.result()  # a reader that failed raises here
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            self.close()

    async def _record(self, room: aio.Room) -> None:
        async for received in room.audio():
            frame = received.frame
            user = received.user_id or "unknown"
            track = self.tracks.get(user)
            if track is None:
                track = self.tracks[user] = Track(self.file_of(user), frame.sample_rate, frame.channels)
            if self.mix is None:
                self.mix = Track(os.path.join(self.folder, "mix.wav"), frame.sample_rate, frame.channels)
            pcm = frame.data
            track.write(frame.pts, pcm)
            self._add_to_mix(frame.pts, pcm)

    def _add_to_mix(self, pts: int, pcm: bytes) -> None:
        heard = self._moments.get(pts)
        self._moments[pts] = pcm if heard is None else audioop.add(heard, pcm, 2)  # clips, as a mixer does
        self._newest_pts = max(self._newest_pts, pts)
        self._flush_mix(self._newest_pts - MIX_DELAY_MS)

    def _flush_mix(self, before_pts: Optional[int]) -> None:
        assert self.mix is not None
        for pts in sorted(self._moments):
            if before_pts is not None and pts >= before_pts:
                break
            self.mix.write(pts, self._moments.pop(pts))

    async def _answer(self, room: aio.Room) -> None:
        async for event in room.events(aio.OnReceiveCustomCmdMsg):
            if not isinstance(event, aio.OnReceiveCustomCmdMsg) or event.message.strip() != STATUS_COMMAND:
                continue
            reply = self.status().encode()
            if not room.session.SendCustomCmdMsg(REPLY_CMD_ID, reply, True, True):
                print(f"meeting_recorder: could not answer {event.user_id}", file=sys.stderr)
                continue
            self.replies += 1

    def status(self) -> str:
        seconds = max((track.written_ms for track in self.tracks.values()), default=0) / 1000
        who = ", ".join(sorted(self.tracks)) or "nobody yet"
        return f"recording {seconds:.1f} s: {who}"

    def close(self) -> None:
        """Writes what is left of the mix and completes every file."""
        if self.mix is not None:
            self._flush_mix(None)
            self.mix.close()
        for track in self.tracks.values():
            track.close()

    def files(self) -> List[Tuple[str, int]]:
        """(path, milliseconds written) of every file."""
        tracks = list(self.tracks.values()) + ([self.mix] if self.mix is not None else [])
        return [(track.path, track.written_ms) for track in tracks]


def enter_params(args: argparse.Namespace) -> v.EnterRoomParams:
    params = v.EnterRoomParams()
    params.room.sdk_app_id = args.app_id
    params.room.user_id = v.KwixString(args.user_id)
    params.room.user_sig = v.KwixString(args.user_sig)
    params.room.str_room_id = v.KwixString(args.room)
    params.role = v.KWIX_ROLE_AUDIENCE  # it only listens
    # Per-user audio (the default): the recorder makes the mix itself.
    params.audio_obtain_params.enable_remote_audio_mix = False
    params.audio_obtain_params.output_sample_rate = args.sample_rate
    return params


async def main_async(args: argparse.Namespace) -> int:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    recorder = MeetingRecorder(args.out)
    async with aio.Room(enter_params(args)) as room:
        print(f"recording room {args.room} into {args.out} (SIGTERM or Ctrl-C ends it)", flush=True)
        await recorder.run(room, stop)
    print("left the room", flush=True)
    for path, ms in recorder.files():
        print(f"  {path}: {ms / 1000:.1f} s")
    print(f"  answered {recorder.replies} status command(s)")
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--room", default="velmora-meeting", help="room name (default: %(default)s)")
    parser.add_argument("--out", default="recordings", help="folder for the WAV files (default: %(default)s)")
    parser.add_argument("--user-id", default="recorder", help="the recorder's user id")
    parser.add_argument("--app-id", type=int, default=1400000001, help="application id")
    parser.add_argument("--user-sig", default="loopback-signature", help="user signature")
    parser.add_argument("--sample-rate", type=int, default=48000, help="rate of the files (Hz)")
    args = parser.parse_args(argv)
    try:
        return asyncio.run(main_async(args))
    except (asyncio.TimeoutError, aio.VelmoraError, OSError) as error:
        print(f"meeting_recorder: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
