"""The asyncio bridge (velmora.aio) on the loopback engine: order, the queue policy,
cancellation, time-outs, and a loop that closes while a session is alive."""
import asyncio
import concurrent.futures
import os
import subprocess
import sys
import threading
import time
import uuid

import pytest

import _velmora as v
from velmora import aio
from velmora.aio import Room, VelmoraError
from paths import ROOT
from velmora.testing import control
from velmora.testing.participants import enter_params

FRAME_BYTES = 1920  # 20 ms of 48 kHz mono 16-bit PCM, the default channel's frame


def params(user, room, sig="sig"):
    # Asks for audio in the format the tests send, so an engine that converts passes frames
    # one for one.
    return enter_params(user, room, user_sig=sig, output_sample_rate=48000)


@pytest.fixture
def room_name():
    return "aio-" + uuid.uuid4().hex[:8]


def run(coroutine, timeout=30):
    async def bounded():
        return await asyncio.wait_for(coroutine, timeout)
    return asyncio.run(bounded())


def audio_frame(index):
    frame = v.AudioFrame()
    frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
    frame.codec = v.AUDIO_CODEC_TYPE_PCM
    frame.pts = index * 20
    frame.SetData(bytes([index % 256]) * FRAME_BYTES)
    return frame


def offsets(received):
    """Frame times relative to the first: 20 ms steps for frames that follow one another,
    whether the engine keeps the sender's pts or counts on the receiver's clock."""
    return [r.frame.pts - received[0].frame.pts for r in received]


async def until(predicate, timeout=10):
    deadline = asyncio.get_running_loop().time() + timeout
    while not predicate():
        assert asyncio.get_running_loop().time() < deadline, "timed out"
        await asyncio.sleep(0.005)


async def open_audio(room):
    created = room.wait_for("OnLocalAudioChannelCreated", timeout=5)
    aio.check("CreateLocalAudioChannel", room.session.CreateLocalAudioChannel(v.AudioEncodeParams()))
    await created


async def send_marker(room, peer, number):
    """Sends a custom command and waits for `room` to hear it: every frame `peer` sent before
    has then been routed."""
    heard = room.wait_for("OnReceiveCustomCmdMsg", where=lambda e: e.args[3] == number, timeout=5)
    assert peer.session.SendCustomCmdMsg(9, number, True, True) == 1
    await heard


def test_events_and_frames_arrive_in_engine_order(room_name):
    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            events = bob.events()
            frames = bob.audio("alice")
            async with Room(params("alice", room_name)) as alice:
                await open_audio(alice)
                for index in range(40):
                    aio.check("SendAudioFrame", alice.session.SendAudioFrame(audio_frame(index)))
                    assert alice.session.SendCustomCmdMsg(1, b"%d" % index, True, True) == 1
                await send_marker(bob, alice, b"end")
                await until(lambda: frames.received == 40)
        # Leaving ended both streams: they give what they hold, then stop.
        return [event async for event in events], [r async for r in frames], frames

    events, received, frames = run(scenario())
    names = [event.name for event in events]
    assert names.index("OnRemoteUserEnterRoom") < names.index("OnRemoteAudioAvailable") \
        < names.index("OnReceiveCustomCmdMsg") < names.index("OnRemoteUserExitRoom")
    assert names[-1] == "OnExitRoom"
    commands = [event.args[3] for event in events if event.name == "OnReceiveCustomCmdMsg"]
    assert commands == [b"%d" % index for index in range(40)] + [b"end"]
    assert offsets(received) == [20 * index for index in range(40)] and frames.dropped == 0


async def _sequence_numbers(events, count):
    seqs = []
    async for event in events:
        seqs.append(event.args[2])
        if len(seqs) == count:
            return seqs


def test_command_events_carry_every_sequence_number_in_order(room_name):
    async def scenario():
        async with Room(params("bob", room_name), media_queue=1) as bob:
            commands = bob.events("OnReceiveCustomCmdMsg")
            async with Room(params("alice", room_name)) as alice:
                for index in range(300):
                    assert alice.session.SendCustomCmdMsg(3, b"x", True, True) == 1
                # The loop is held up until they have all arrived: events still are not dropped.
                control.wait_idle(control.find_session("bob"))
                return await _sequence_numbers(commands, 300)

    assert run(scenario()) == list(range(1, 301))


@pytest.mark.parametrize("maxlen, sent", [(4, 20), (1, 5), (8, 8)])
def test_a_full_stream_drops_its_oldest_frames_and_counts_them(room_name, maxlen, sent):
    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            small, witness = bob.audio(maxlen=maxlen), bob.audio("alice", maxlen=100)
            only_carol = bob.audio("carol")
            async with Room(params("alice", room_name)) as alice:
                await open_audio(alice)
                for index in range(sent):
                    aio.check("SendAudioFrame", alice.session.SendAudioFrame(audio_frame(index)))
                await until(lambda: witness.received == sent)
        return [r async for r in small], [r async for r in witness], small, only_carol

    kept, everything, small, only_carol = run(scenario())
    assert len(kept) == min(maxlen, sent) and len(everything) == sent
    assert all(a is b for a, b in zip(kept, everything[-len(kept):]))
    assert (small.received, small.dropped) == (sent, sent - len(kept))
    assert only_carol.received == 0 and only_carol.ended


def test_a_stalled_loop_keeps_only_the_newest_frames_in_transit(room_name):
    async def scenario():
        async with Room(params("bob", room_name), media_queue=4) as bob:
            frames = bob.audio("alice", maxlen=100)
            async with Room(params("alice", room_name)) as alice:
                await open_audio(alice)
                aio.check("SendAudioFrame", alice.session.SendAudioFrame(audio_frame(0)))
                await until(lambda: frames.received == 1)
                for index in range(1, 21):
                    aio.check("SendAudioFrame", alice.session.SendAudioFrame(audio_frame(index)))
                # Nothing runs on the loop meanwhile, so frames wait in the hand-off queue.
                deadline = time.monotonic() + 10
                while bob.dropped_in_transit < 16 and time.monotonic() < deadline:
                    time.sleep(0.01)
                await until(lambda: frames.received == 5)
        return [r async for r in frames], bob.dropped_in_transit, frames.dropped

    received, in_transit, dropped = run(scenario())
    # The first frame, then the last four of the twenty that came while the loop stood still.
    assert (offsets(received), in_transit, dropped) == ([0, 340, 360, 380, 400], 16, 0)


def test_a_cancelled_reader_loses_no_frame(room_name):
    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            frames = bob.audio("alice")
            reader = asyncio.ensure_future(frames.__anext__())
            await asyncio.sleep(0)
            reader.cancel()
            with pytest.raises(asyncio.CancelledError):
                await reader
            async with Room(params("alice", room_name)) as alice:
                await open_audio(alice)
                for index in range(3):
                    aio.check("SendAudioFrame", alice.session.SendAudioFrame(audio_frame(index)))
                return [await frames.__anext__() for _ in range(3)]

    assert offsets(run(scenario())) == [0, 20, 40]


def test_cancelling_the_entry_leaves_the_room_and_frees_the_user_id(room_name):
    async def scenario():
        room = Room(params("bob", room_name))
        events = room.events()
        entering = asyncio.ensure_future(room.__aenter__())
        await asyncio.sleep(0)
        entering.cancel()
        with pytest.raises(asyncio.CancelledError):
            await entering
        with pytest.raises(RuntimeError, match="not entered"):
            room.session
        async with Room(params("bob", room_name)):
            pass
        # The cut-short entry left the room before the stream ended.
        return [event.name async for event in events]

    assert run(scenario())[-1] == "OnExitRoom"


class SilentSession(v.KWIXCloud):
    """A real engine session that ignores chosen calls, to play an engine that never answers;
    records the thread its last reference went on."""
    released_on = []

    def __init__(self, delegate, ignore):
        super().__init__(delegate)
        self.delegate = delegate
        self.ignore = ignore

    def EnterRoom(self, p):
        if "EnterRoom" in self.ignore:
            return v.ERR_OK
        if "OnError" in self.ignore:
            self.delegate.OnError(v.ERR_BANNED_BY_SERVER)
            return v.ERR_OK
        return super().EnterRoom(p)

    def ExitRoom(self):
        if "ExitRoom" in self.ignore:
            return v.ERR_OK
        return super().ExitRoom()

    def __del__(self):
        SilentSession.released_on.append(threading.get_ident())


@pytest.mark.parametrize("ignore, error, message", [
    ({"EnterRoom"}, asyncio.TimeoutError, "no OnEnterRoom or OnError within 0.2 s"),
    ({"OnError"}, VelmoraError, "EnterRoom failed: ERR_BANNED_BY_SERVER"),
    ({"ExitRoom"}, asyncio.TimeoutError, "no OnExitRoom within 0.2 s"),
])
def test_unanswered_or_failed_entry_and_exit(room_name, ignore, error, message):
    SilentSession.released_on.clear()

    async def scenario():
        room = Room(params("bob", room_name), enter_timeout=0.2, exit_timeout=0.2,
                    session_factory=lambda delegate: SilentSession(delegate, ignore))
        with pytest.raises(error, match=message):
            async with room:
                pass
        return threading.get_ident()

    loop_thread = run(scenario())
    # The engine session went, and not on the loop's thread.
    assert len(SilentSession.released_on) == 1 and SilentSession.released_on[0] != loop_thread


@pytest.mark.parametrize("user, sig, taken, code", [
    ("bob", "", False, v.ERR_INVALID_USER_SIG),
    ("", "sig", False, v.ERR_INVALID_USER_ID),
    ("bob", "sig", True, v.ERR_ENTER_ROOM_FAILED),
])
def test_entry_fails_with_the_engines_code(room_name, user, sig, taken, code):
    async def scenario():
        if taken:
            async with Room(params(user, room_name)):
                await enter()
        else:
            await enter()

    async def enter():
        with pytest.raises(VelmoraError) as raised:
            async with Room(params(user, room_name, sig)):
                pass
        assert raised.value.code == code and raised.value.error == code
        assert raised.value.operation == "EnterRoom"

    run(scenario())


def test_wait_for_times_out_and_checks_its_names(room_name):
    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            with pytest.raises(asyncio.TimeoutError, match="no OnRemoteUserEnterRoom within"):
                await bob.wait_for("OnRemoteUserEnterRoom", timeout=0.05)
            for wrong in ("OnRemoteAudioReceived", "OnEnterRom", ()):
                with pytest.raises(ValueError):
                    bob.wait_for(wrong)

    run(scenario())


@pytest.mark.parametrize("continuous", [True, False])
def test_sender_cuts_chunks_into_channel_frames(room_name, continuous):
    # 5 whole frames and 100 bytes, in chunks that do not line up with frames.
    pcm = bytes(range(256)) * 40
    pcm = pcm[:5 * FRAME_BYTES + 100]

    async def chunks():
        for start in range(0, len(pcm), 999):
            yield pcm[start:start + 999]

    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            frames = bob.audio("alice")
            async with Room(params("alice", room_name)) as alice:
                async with alice.audio_sender(continuous=continuous) as sender:
                    sent = await sender.send(chunks())
                    received = [await frames.__anext__() for _ in range(sent)]
        return sent, len(received)

    assert run(scenario()) == (6, 6)


def test_cancelling_a_send_closes_the_channel(room_name):
    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            async with Room(params("alice", room_name)) as alice:
                gone = bob.wait_for("OnRemoteAudioAvailable", where=lambda e: not e.args[1],
                                    timeout=5)
                async with alice.audio_sender(continuous=False) as sender:
                    sending = asyncio.ensure_future(sender.send([bytes(FRAME_BYTES)] * 500))
                    await until(lambda: sender.frames_sent > 0)
                    sending.cancel()
                    with pytest.raises(asyncio.CancelledError):
                        await sending
                await gone
                return sender.frames_sent

    assert 0 < run(scenario()) < 500


LOOP_CLOSING = """
import asyncio, sys, _velmora as v
from velmora.aio import Room
from velmora.testing.participants import enter_params

def params(user):
    return enter_params(user, "closing")
"""


@pytest.mark.parametrize("code, expected", [
    # The main coroutine returns while a task is still inside its room: closing the loop
    # cancels the task, which leaves the room and destroys the session before the loop ends.
    (LOOP_CLOSING + """
left = []
async def bot(inside):
    async with Room(params("bob")) as room:
        inside.set()
        try:
            await asyncio.sleep(3600)
        finally:
            left.append(room.wait_for("OnExitRoom"))
async def main():
    inside = asyncio.Event()
    asyncio.ensure_future(bot(inside))
    await inside.wait()
asyncio.run(main())
print("left" if left and left[0].done() else "still in the room")
""", "left"),
    # The loop is closed while the room is still entered and frames keep coming: they are
    # counted as lost, nothing is raised into the engine's threads.
    (LOOP_CLOSING + """
loop = asyncio.new_event_loop()
room = Room(params("bob"))
loop.run_until_complete(room.__aenter__())
loop.close()
from velmora.aio import CALLBACKS
quiet = type("Quiet", (v.KWIXCloudDelegate,), {n: lambda self, *a: None for n in CALLBACKS})()
peer = v.KWIXCloud(quiet)
peer.EnterRoom(params("alice"))
peer.CreateLocalAudioChannel(v.AudioEncodeParams())
frame = v.AudioFrame()
frame.sample_rate, frame.channels, frame.bits_per_sample = 48000, 1, 16
frame.SetData(bytes(1920))
for _ in range(50):
    peer.SendAudioFrame(frame)
import time
deadline = time.monotonic() + 10
while room.lost_callbacks < 50 and time.monotonic() < deadline:
    time.sleep(0.01)
print("lost", min(room.lost_callbacks, 50))
del room, peer
""", "lost 50"),
], ids=["task cancelled as the loop closes", "loop closed while in the room"])
def test_a_session_outlives_its_closing_loop(run_python, code, expected):
    result = run_python("import sys; sys.path.insert(0, %r)\n" % ROOT + code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[-2] == expected
    assert "failed" not in result.stderr and "Traceback" not in result.stderr, result.stderr


@pytest.mark.parametrize("arguments, expected", [
    (["--help"], "--linger"),
    (["--frames", "10", "--linger", "0", "--room", "aio-example"], "audio from alice: "),
])
def test_async_example_runs_and_exits_0(arguments, expected):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [ROOT, os.path.dirname(os.path.abspath(v.__file__))]))
    result = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "async_bot.py")]
                            + arguments, capture_output=True, text=True, timeout=60, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    assert expected in result.stdout


@pytest.mark.slow
@pytest.mark.parametrize("path", ["velmora/aio.py", "examples/async_bot.py", "examples/meeting_recorder.py"])
def test_bridge_and_example_pass_strict_type_checks(path):
    pytest.importorskip("mypy")
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-version", "3.9",
                             "--no-incremental", os.path.join(ROOT, path)],
                            capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert result.returncode == 0, result.stdout


def test_events_carry_named_typed_fields(room_name):
    async def scenario():
        async with Room(params("bob", room_name)) as bob:
            joined = bob.wait_for(aio.OnRemoteUserEnterRoom, where=lambda e: e.user_id == "alice")
            async with Room(params("alice", room_name)) as alice:
                entered = await joined
                command = bob.wait_for(aio.OnReceiveCustomCmdMsg)
                assert alice.session.SendCustomCmdMsg(7, b"hi", True, True) == 1
                return entered, await command

    entered, command = run(scenario())
    assert isinstance(entered.info, v.UserInfo) and entered.user_id == "alice"
    assert (command.user_id, command.cmd_id, command.seq, command.message) == ("alice", 7, 1, b"hi")
    assert command.args == ("alice", 7, 1, b"hi") and command.name == "OnReceiveCustomCmdMsg"


@pytest.mark.parametrize("method, mix, pull, refused", [
    ("audio", True, False, "only the mix comes"),
    ("mixed_audio", False, False, "only per-user audio comes"),
    ("audio", False, True, "GetAudioFrame"),
    ("mixed_audio", True, True, "GetAudioFrame"),
    ("audio", False, False, None),
    ("mixed_audio", True, False, None),
])
def test_a_stream_the_room_never_fills_is_refused(room_name, method, mix, pull, refused):
    p = params("bob", room_name)
    p.audio_obtain_params.enable_remote_audio_mix = mix
    if pull:
        p.audio_obtain_params.audio_obtain_method = v.AUDIO_OBTAIN_METHOD_GET
    room = Room(p)
    if refused is None:
        getattr(room, method)()
    else:
        with pytest.raises(ValueError, match=refused):
            getattr(room, method)()


class GatedExecutor(concurrent.futures.ThreadPoolExecutor):
    """Holds the session's destruction until `release` is set; `started` once it waits."""

    def __init__(self):
        super().__init__(max_workers=1)
        self.started, self.release = threading.Event(), threading.Event()

    def submit(self, fn, *args, **kwargs):
        def gated():
            self.started.set()
            self.release.wait(10)
            return fn(*args, **kwargs)
        return super().submit(gated)


def test_a_leave_cancelled_while_the_session_is_destroyed_ends_streams_and_waits(room_name):
    executor = GatedExecutor()

    async def scenario():
        room = Room(params("bob", room_name), executor=executor)
        await room.__aenter__()
        events, audio = room.events(), room.audio()
        never = room.wait_for("OnReceiveCustomCmdMsg")
        leaving = asyncio.ensure_future(room.__aexit__(None, None, None))
        await asyncio.get_running_loop().run_in_executor(None, executor.started.wait, 10)
        leaving.cancel()
        with pytest.raises(asyncio.CancelledError):
            await leaving
        # Readers stop at once, with what their streams held; the wait fails.
        names = [event.name async for event in events]
        assert [frame async for frame in audio] == []
        with pytest.raises(aio.RoomClosedError, match="OnReceiveCustomCmdMsg"):
            await never
        with pytest.raises(aio.RoomClosedError):
            await room.wait_for("OnEnterRoom")
        return names

    try:
        assert run(scenario())[-1] == "OnExitRoom"
    finally:
        executor.release.set()
        executor.shutdown(wait=True)


def test_leaving_from_another_loop_is_refused_at_once(room_name):
    room = Room(params("bob", room_name))
    entered_on, other = asyncio.new_event_loop(), asyncio.new_event_loop()
    try:
        entered_on.run_until_complete(room.__aenter__())
        with pytest.raises(RuntimeError, match="entered on another one"):
            other.run_until_complete(asyncio.wait_for(room.__aexit__(None, None, None), 5))
        # The room is still there for the loop that entered it.
        entered_on.run_until_complete(room.__aexit__(None, None, None))
    finally:
        other.close()
        entered_on.close()
