"""Two bots in one room, written with asyncio: a speaker sends audio, a SEI message and custom
commands; a listener prints what it receives. Both leave and a short summary is printed.

The same story as examples/room_demo.py, which uses the delegate's callbacks directly; here
velmora.aio carries them onto the event loop, so no code runs on the engine's threads.

    python examples/async_bot.py --room demo-room --speaker alice --listener bob
"""
import argparse
import asyncio
import collections
import math
import struct
import sys
from typing import AsyncIterator, Callable, Counter, List, Optional, Sequence

import _velmora as v
from velmora import aio
from velmora.aio import EventStream, MediaStream, Room, VelmoraError, check

SAMPLE_RATE = 48000
CHUNK_MS = 10  # the source's chunk length; the sender re-cuts it into the channel's 20 ms


class Tally:
    """What the listener heard."""

    def __init__(self) -> None:
        self.audio_frames: Counter[str] = collections.Counter()
        self.audio_bytes: Counter[str] = collections.Counter()
        self.messages: List[str] = []
        self.quality_reports = 0


def log(who: str, text: str) -> None:
    print(f"[{who}] {text}", flush=True)


def describe(event: aio.Event) -> Optional[str]:
    """A line for an event, or None for those not worth a line. Each event is an instance of
    the class named after its callback, with the callback's arguments as typed fields."""
    if isinstance(event, aio.OnConnectionStateChanged):
        return f"connection {event.old_state.name} -> {event.new_state.name}"
    if isinstance(event, (aio.OnEnterRoom, aio.OnExitRoom)):
        return "entered the room" if isinstance(event, aio.OnEnterRoom) else "left the room"
    if isinstance(event, aio.OnRemoteUserEnterRoom):
        return f"{event.user_id} entered"
    if isinstance(event, aio.OnRemoteUserExitRoom):
        return f"{event.user_id} left (reason {event.reason})"
    if isinstance(event, aio.OnRemoteAudioAvailable):
        return f"audio of {event.user_id} {'available' if event.available else 'gone'}"
    if isinstance(event, aio.OnSeiMessageReceived):
        return f"SEI type {event.message_type} from {event.user_id}: {event.message!r}"
    if isinstance(event, aio.OnReceiveCustomCmdMsg):
        return f"command {event.cmd_id} #{event.seq} from {event.user_id}: {event.message!r}"
    if isinstance(event, aio.OnNetworkQuality):
        others = ", ".join(f"{r.user_id.GetValue()}={r.quality.name}" for r in event.remote_qualities)
        return f"network quality: local {event.local_quality.quality.name}; {others or 'no others'}"
    if isinstance(event, aio.OnError):
        return f"error {event.error.name}"
    return event.name[2:] + "".join(f" {getattr(arg, 'name', arg)}" for arg in event.args)


async def print_events(who: str, events: EventStream, tally: Optional[Tally]) -> None:
    async for event in events:
        line = describe(event)
        if line:
            log(who, line)
        if tally is None:
            continue
        if isinstance(event, (aio.OnSeiMessageReceived, aio.OnReceiveCustomCmdMsg)):
            tally.messages.append(event.name)
        elif isinstance(event, aio.OnNetworkQuality):
            tally.quality_reports += 1


async def count_audio(frames: MediaStream[v.AudioFrame], tally: Tally) -> None:
    async for received in frames:
        user = received.user_id or "(unknown)"
        tally.audio_frames[user] += 1
        tally.audio_bytes[user] += received.frame.size


async def tone(frames: int, frequency: float = 440.0) -> AsyncIterator[bytes]:
    """A 16-bit PCM sine tone, in chunks of CHUNK_MS, as a microphone or a synthesiser would
    hand it over."""
    samples = SAMPLE_RATE * CHUNK_MS // 1000
    for chunk in range(frames * 20 // CHUNK_MS):
        start = chunk * samples
        yield struct.pack(f"<{samples}h", *(
            int(8000 * math.sin(2 * math.pi * frequency * (start + i) / SAMPLE_RATE))
            for i in range(samples)))
        await asyncio.sleep(0)


def enter_params(args: argparse.Namespace, user_id: str) -> v.EnterRoomParams:
    params = v.EnterRoomParams()
    params.room.sdk_app_id = args.app_id
    params.room.user_id = v.KwixString(user_id)
    params.room.user_sig = v.KwixString(args.user_sig)
    params.room.str_room_id = v.KwixString(args.room)
    params.scene = v.KWIX_SCENE_VOICE_CHAT
    params.role = v.KWIX_ROLE_ANCHOR
    return params


def is_user(user_id: str) -> Callable[[aio.OnRemoteUserEnterRoom], bool]:
    return lambda event: event.user_id == user_id


async def run(args: argparse.Namespace) -> int:
    timeout = 10.0
    tally = Tally()
    listener = Room(enter_params(args, args.listener), enter_timeout=timeout)
    speaker = Room(enter_params(args, args.speaker), enter_timeout=timeout)
    # Streams made before entering see everything from the first event on.
    printers = [asyncio.ensure_future(print_events(args.listener, listener.events(), tally)),
                asyncio.ensure_future(print_events(args.speaker, speaker.events(), None))]
    counter = asyncio.ensure_future(count_audio(listener.audio(args.speaker), tally))

    async with listener:
        joined = listener.wait_for(aio.OnRemoteUserEnterRoom, where=is_user(args.speaker),
                                   timeout=timeout)
        async with speaker:
            await joined
            # SEI messages ride on the main video stream, so the listener watches it.
            video = speaker.wait_for("OnLocalVideoChannelCreated", timeout=timeout)
            check("CreateLocalVideoChannel",
                  speaker.session.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH))
            await video
            check("Subscribe", listener.session.Subscribe(args.speaker, v.STREAM_TYPE_VIDEO_HIGH))

            async with speaker.audio_sender(continuous=False) as sender:
                await sender.send(tone(args.frames))
            check("SendSeiMessage",
                  speaker.session.SendSeiMessage(5, b"caption: hello from " + args.speaker.encode()))
            for number in range(3):
                if not speaker.session.SendCustomCmdMsg(1, f"command {number}".encode(), True, True):
                    raise SystemExit("SendCustomCmdMsg failed")
            await asyncio.sleep(args.linger)
            check("DestroyLocalVideoChannel",
                  speaker.session.DestroyLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH))
    # Leaving ended every stream: the tasks finish once they have read what was queued.
    await asyncio.gather(counter, *printers)

    print()
    print(f"summary for {args.listener} in room {args.room}:")
    for user, count in sorted(tally.audio_frames.items()):
        print(f"  audio from {user}: {count} frames, {tally.audio_bytes[user]} bytes")
    print(f"  messages: {len(tally.messages)} "
          f"({tally.messages.count('OnSeiMessageReceived')} SEI, "
          f"{tally.messages.count('OnReceiveCustomCmdMsg')} commands)")
    print(f"  network quality reports: {tally.quality_reports}")
    if tally.audio_frames[args.speaker] == 0 or not tally.messages:
        print("the listener received no audio or no messages", file=sys.stderr)
        return 1
    return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--room", default="velmora-async-demo", help="room name (default: %(default)s)")
    parser.add_argument("--speaker", default="alice", help="user id of the sending bot")
    parser.add_argument("--listener", default="bob", help="user id of the receiving bot")
    parser.add_argument("--app-id", type=int, default=1400000001, help="application id")
    parser.add_argument("--user-sig", default="loopback-signature", help="user signature")
    parser.add_argument("--frames", type=int, default=100, help="audio frames to send (20 ms each)")
    parser.add_argument("--linger", type=float, default=2.5,
                        help="seconds to stay after sending, to hear network quality reports")
    args = parser.parse_args(argv)
    try:
        return asyncio.run(run(args))
    except (asyncio.TimeoutError, VelmoraError) as error:
        print(f"async_bot: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
