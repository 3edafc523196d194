"""velmora.aio bots in the room simulator: an async function given the Room, run on the
manual clock as repeatably as a delegate class."""
import asyncio

import pytest

from velmora import aio
from velmora.testing import BotError, SimulationError, parse_scenario, run

SCENARIO = parse_scenario("""
quality_report_ms = 200

[[participant]]
id = "alice"
join_ms = 20

[[participant]]
id = "bob"
join_ms = 150
leave_ms = 500

[[event]]
at_ms = 40
who = "alice"
action = "speak"
duration_ms = 400

[[event]]
at_ms = 60
who = "alice"
action = "open_video"

[[event]]
at_ms = 100
who = "alice"
action = "network"
latency_ms = 30
jitter_ms = 25
audio_loss = 0.2

[[event]]
at_ms = 200
who = "alice"
action = "custom_cmd"
message = "ping {n}"
count = 3
every_ms = 40
""")


async def answering_bot(room, seen):
    """Subscribes to the video it sees, answers each command 30 ms later, and notes what it
    read with the loop's time."""
    loop = asyncio.get_running_loop()

    async def audio():
        async for received in room.audio():
            seen.append(("audio", received.user_id, received.frame.pts, loop.time()))

    reader = asyncio.ensure_future(audio())
    async for event in room.events(aio.OnRemoteVideoAvailable, aio.OnReceiveCustomCmdMsg,
                                   aio.OnRemoteUserExitRoom):
        seen.append((event.name, loop.time()))
        if isinstance(event, aio.OnRemoteVideoAvailable) and event.available:
            aio.check("Subscribe", room.session.Subscribe(event.user_id, event.stream_type))
        elif isinstance(event, aio.OnReceiveCustomCmdMsg):
            await asyncio.sleep(0.03)
            room.session.SendCustomCmdMsg(9, b"re: " + event.message, True, True)
    await reader


def test_an_async_bot_gets_the_same_run_every_time(velmora_runner):
    runs = []
    for _ in range(3):
        seen = []
        result = velmora_runner(SCENARIO, answering_bot, seen)
        runs.append((result.recording.stream(), result.recording.sends(), seen))
    assert runs[0] == runs[1] == runs[2]
    recording, sends, seen = runs[0]
    commands = [e for e in result.recording.callbacks("OnReceiveCustomCmdMsg")]
    # Each answer went out 30 ms of engine time after its command: sleeps count engine time.
    assert [e["t"] + 30 for e in commands] == [e["t"] for e in sends if e["name"] == "SendCustomCmdMsg"]
    assert {e["name"] for e in sends} == {"Subscribe", "SendCustomCmdMsg"}  # the room's entry is not the bot's
    assert len(commands) == 3 and result.recording.callbacks("OnRemoteVideoFrameReceived")
    assert ("OnRemoteUserExitRoom", 0.5) in seen
    heard = [entry for entry in seen if entry[0] == "audio"]
    assert 0 < len(heard) < 20 and {entry[1] for entry in heard} == {"alice"}  # 20 % lost


async def greet_and_go(room):
    joined = await room.wait_for(aio.OnRemoteUserEnterRoom, where=lambda e: e.user_id == "bob")
    return f"greeted {joined.user_id} at {asyncio.get_running_loop().time():g} s"


async def stay(room):
    await asyncio.Event().wait()


@pytest.mark.parametrize("bot, leave_ms, left_at, value", [
    (greet_and_go, None, 150, "greeted bob at 0.15 s"),     # returns: leaves at once
    (stay, 300, 300, None),                                 # cancelled at its leave time
    (stay, None, 940, None),                                # cancelled at the scenario's end
])
def test_an_async_bot_leaves_when_it_returns_or_its_time_is_up(bot, leave_ms, left_at, value):
    scenario = parse_scenario(SCENARIO_WITH_BOT.format(leave="" if leave_ms is None else f"leave_ms = {leave_ms}"))
    result = run(scenario, bot)
    assert result.value == value
    leaves = [e["t"] for e in result.recording.of_kind("room") if e["who"] == "bot" and e["what"] == "leave"]
    assert leaves == [left_at] and result.received("OnExitRoom") == [()]
    alice_saw = result.participants["alice"].received.args("OnRemoteUserExitRoom")
    assert [info.user_id.GetValue() for info, _ in alice_saw] == ["bot"]


SCENARIO_WITH_BOT = """
duration_ms = 940
[bot]
user_id = "bot"
{leave}
[[participant]]
id = "alice"
[[participant]]
id = "bob"
join_ms = 150
"""


async def raising(room):
    await room.wait_for("OnRemoteUserEnterRoom")
    raise ValueError("no greeting for you")


async def busy(room):
    while True:
        await asyncio.sleep(0)


async def deaf_to_cancelling(room):
    while True:
        try:
            await asyncio.Event().wait()
        except asyncio.CancelledError:
            pass


@pytest.mark.parametrize("bot, error, message", [
    (raising, BotError, r"(?s)the first, in raising:.*ValueError: no greeting for you"),
    (busy, SimulationError, "kept the event loop busy"),
    (deaf_to_cancelling, SimulationError, "did not end when cancelled"),
    (object(), TypeError, "a KWIXCloudDelegate subclass or an async function"),
])
def test_a_failing_async_bot_fails_the_run(bot, error, message):
    with pytest.raises(error, match=message):
        run(parse_scenario(SCENARIO_WITH_BOT.format(leave="leave_ms = 300")), bot)


def test_an_async_bot_in_a_room_entered_by_hand(velmora_room):
    alice = velmora_room.participant("alice")

    async def main():
        async with aio.Room(velmora_room.enter_params("bot")) as room:
            command = room.wait_for(aio.OnReceiveCustomCmdMsg, timeout=10)
            alice.send_command(3, b"hi", True, True)
            return (await command).message

    assert asyncio.run(main()) == b"hi"
