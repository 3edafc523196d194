"""Testing the meeting recorder (examples/meeting_recorder.py) with velmora.testing: run with

    python -m pytest examples/test_meeting_recorder.py

The recorder is a velmora.aio program; the runner gives it a Room in a scripted room on the
engine's manual clock, so every run of the first test is the same. The second test runs the
program itself, in its own process, in a room it shares through Redis with participants
played by another process, and ends it with SIGTERM.
"""
import array
import os
import signal
import subprocess
import sys
import wave

import pytest

from velmora.testing import parse_scenario
from velmora.testing.assertions import assert_sent
from velmora.testing.processes import run_participants

from meeting_recorder import REPLY_CMD_ID, MeetingRecorder

HERE = os.path.dirname(os.path.abspath(__file__))

MEETING = """
name = "stand-up"
duration_ms = 3000

[bot]
user_id = "recorder"

[[participant]]
id = "alice"

[[participant]]
id = "bob"
join_ms = 400
leave_ms = 2800

[[event]]
at_ms = 200
who = "alice"
action = "speak"
duration_ms = 1000
frequency_hz = 440

[[event]]
at_ms = 1500
who = "bob"
action = "speak"
duration_ms = 1000
frequency_hz = 1000

[[event]]
at_ms = 1800
who = "bob"
action = "custom_cmd"
message = "!status"

[[event]]
at_ms = 1900
who = "alice"
action = "custom_cmd"
message = "hello, recorder"
"""


async def recording_bot(room, recorder):
    """The recorder as an async bot: it records until the scenario ends."""
    await recorder.run(room)


def levels(path, window_ms=100):
    """(sample rate, the RMS level of each window of the WAV file)."""
    with wave.open(str(path)) as source:
        rate = source.getframerate()
        samples = array.array("h", source.readframes(source.getnframes()))
    step = rate * window_ms // 1000
    return rate, [(sum(s * s for s in samples[i:i + step]) / step) ** 0.5 for i in range(0, len(samples), step)]


def loud(level):
    return level > 300    # the tones are at -20 dBFS: about 2300


def test_each_participant_and_the_mix_get_their_own_file(velmora_runner, tmp_path):
    recorder = MeetingRecorder(str(tmp_path))

    def per_user_at_48_khz(params):
        params.audio_obtain_params.output_sample_rate = 48000

    result = velmora_runner(parse_scenario(MEETING), recording_bot, recorder, enter=per_user_at_48_khz)
    assert sorted(os.listdir(tmp_path)) == ["alice.wav", "bob.wav", "mix.wav"]
    _, alice = levels(tmp_path / "alice.wav")
    _, bob = levels(tmp_path / "bob.wav")
    rate, mix = levels(tmp_path / "mix.wav")
    assert rate == 48000
    # Windows of 100 ms from the recorder's entry: alice speaks from 0.2 to 1.2 s, bob from
    # 1.5 to 2.5 s (each arrives a little later); every file keeps that time.
    assert not any(map(loud, alice[:2])) and all(map(loud, alice[3:11])) and len(alice) < 15
    assert not any(map(loud, bob[:14])) and all(map(loud, bob[16:25]))
    assert all(map(loud, mix[3:11] + mix[16:25])) and not any(map(loud, mix[13:15]))
    # Only the status command is answered, to everyone, with what is being recorded.
    sent = assert_sent(result, "SendCustomCmdMsg", count=1)
    assert sent[0][0] == REPLY_CMD_ID and sent[0][1].startswith(b"recording ")
    heard_by_bob = [message for _, cmd, _, message in result.participants["bob"].received.args(
        "OnReceiveCustomCmdMsg") if cmd == REPLY_CMD_ID]
    assert heard_by_bob == [sent[0][1]] and b"alice, bob" in heard_by_bob[0]


@pytest.mark.slow
def test_sigterm_leaves_the_room_with_every_file_complete(velmora_bus, tmp_path):
    scenario = tmp_path / "meeting.toml"
    scenario.write_text(MEETING.replace('[bot]\nuser_id = "recorder"\n', ""))
    out = tmp_path / "recordings"
    env = dict(os.environ, VELMORA_LOOPBACK_REDIS=velmora_bus.url,
               PYTHONPATH=os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")])))
    child = subprocess.Popen([sys.executable, os.path.join(HERE, "meeting_recorder.py"), "--room", "stand-up",
                              "--out", str(out)], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().startswith("recording room stand-up")
        run_participants(scenario, velmora_bus.url, room="stand-up")
        child.send_signal(signal.SIGTERM)
        output, errors = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, errors
    assert "left the room" in output and "answered 1 status command(s)" in output, output + errors
    for name in ("alice.wav", "bob.wav", "mix.wav"):
        rate, windows = levels(out / name)
        assert rate == 48000 and any(map(loud, windows)), name
