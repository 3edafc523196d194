"""The room simulator (velmora.testing): scenario files and their errors, runs of a bot in a
scenario, recordings and their replay, the timeline page, the command line and the pytest
plugin."""
import json
import os
import re
import struct
import time
import wave

import pytest

import _velmora as v
from velmora.testing import (BotError, ManualClock, RealClock, Recording, RecordingFormatError, ScenarioError,
                             SimulationError, control, parse_scenario, recorded, recording_class, replay, run)
from velmora.testing import values
from velmora.testing.assertions import assert_order, assert_received, assert_sent
from velmora.testing.participants import Participant, enter_params
from velmora.testing.recording import Recorder
from velmora.testing.timeline import render
from paths import ROOT


BUSY = """
name = "busy"

[bot]
user_id = "bot"

[[participant]]
id = "alice"

[[participant]]
id = "bob"
join_ms = 200
leave_ms = 500

[[event]]
at_ms = 40
who = "alice"
action = "speak"
duration_ms = 120

[[event]]
at_ms = 60
who = "alice"
action = "open_video"
fps = 25

[[event]]
at_ms = 100
who = "alice"
action = "sei"
message = "caption"

[[event]]
at_ms = 150
who = "alice"
action = "custom_cmd"
message = "hello {n}"
count = 3
every_ms = 20

[[event]]
at_ms = 250
who = "alice"
action = "close_video"

[[event]]
at_ms = 300
who = "alice"
action = "reconnect"
gap_ms = 100
"""


class WatchingBot(v.KWIXCloudDelegate):
    """Subscribes to every video stream it sees and answers every command."""

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        if available:
            self.cloud.Subscribe(user_id, stream_type)

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        self.cloud.SendCustomCmdMsg(9, b"re: " + message, True, True)


@pytest.fixture(scope="module")
def busy_run():
    return run(parse_scenario(BUSY), WatchingBot, clock=RealClock())


# ---- scenario files -------------------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ('[[participant]]\nid = "a"\njoin = 5\n', "<s>:3: participant #1: unknown field 'join'"),
    ('[[participant]]\nid = "a"\njoin_ms = "soon"\n', "<s>:3: participant #1: field 'join_ms' must be an integer"),
    ('[[participant]]\njoin_ms = 1\n', "<s>:1: participant #1: field 'id' is missing"),
    ('[[participant]]\nid = "a"\n[[participant]]\nid = "a"\n', "<s>:4: participant #2: id 'a' is already taken"),
    ('[[participant]]\nid = "a"\njoin_ms = 50\nleave_ms = 10\n', "<s>:4: participant #1: field 'leave_ms' must be after"),
    ('[[participant]]\nid = "a"\n\n[[event]]\nat_ms = 0\nwho = "a"\naction = "dance"\n',
     "<s>:7: event #1: field 'action' must be one of"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "b"\naction = "leave"\n',
     "<s>:5: event #1: field 'who' names 'b'"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "speak"\n',
     "<s>:3: event #1: a tone source needs field 'duration_ms'"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "speak"\nsource = "wav"\npath = "nope.wav"\n',
     "<s>:8: event #1: field 'path': no such file"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "network_quality"\nquality = "meh"\n',
     "<s>:7: event #1: field 'quality' must be one of"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "open_video"\nwidth = 161\n',
     "<s>:7: event #1: field 'width' must be an even integer from 16 to 1920"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "bandwidth"\nkbps = -1\n',
     "<s>:7: event #1: field 'kbps' must be an integer from 0 to 10000000"),
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "custom_cmd"\nmessage = "m"\nreliable = 1\n',
     "<s>:8: event #1: field 'reliable' must be true or false"),
    ('duration_ms = 100\n[[participant]]\nid = "a"\n[[event]]\nat_ms = 200\nwho = "a"\naction = "leave"\n',
     "<s>:4: an event at 200 ms comes after the scenario's end"),
    ('[bot]\nuser_id = "a"\n[[participant]]\nid = "a"\n', "<s>:4: participant #1: id 'a' is already taken"),
    ('version = 2\n', "<s>:1: scenario format version 2 is newer"),
    ('participant = 3\n', "<s>:1: 'participant' must be a list of tables"),
    ('name = \n', "<s>:1: not valid TOML"),
])
def test_toml_scenario_errors_name_the_line_and_field(text, expected):
    with pytest.raises(ScenarioError) as error:
        parse_scenario(text, source="<s>")
    assert expected in str(error.value)


@pytest.mark.parametrize("data, expected", [
    ('{\n  "participant": [\n    {"id": "a"},\n    {"id": "b",\n     "role": "king"}\n  ]\n}',
     "s.json:5: participant #2: field 'role' must be one of"),
    ('{\n  "event": [\n    {\n      "at_ms": -1\n    }\n  ]\n}', "s.json:4: event #1: field 'at_ms' must be"),
    ('{\n  "name": "x",\n}', "s.json:3: not valid JSON"),
    ('[1, 2]', "s.json: a scenario is a table of fields"),
])
def test_json_scenario_errors_name_the_line_and_field(data, expected):
    with pytest.raises(ScenarioError) as error:
        parse_scenario(data, source="s.json")
    assert expected in str(error.value)


def test_scenario_timeline_order_and_expansion():
    scenario = parse_scenario(BUSY)
    steps = [(e.at_ms, e.who, e.action) for e in scenario.events]
    assert steps[:2] == [(0, "alice", "join"), (40, "alice", "speak")]
    # Repeated commands are spread out, their messages numbered.
    commands = [(e.at_ms, e.params["message"]) for e in scenario.events if e.action == "custom_cmd"]
    assert commands == [(150, "hello 1"), (170, "hello 2"), (190, "hello 3")]
    assert (500, "bob", "leave") in steps
    # Without duration_ms the scenario ends half a second after its last step.
    assert scenario.duration_ms == 1000


# ---- values and recordings ------------------------------------------------------------------

def _frame(cls, data, **fields):
    frame = cls()
    for name, value in fields.items():
        setattr(frame, name, value)
    frame.SetData(data)
    return frame


def _user_info(user):
    info = v.UserInfo()
    if user is not None:
        info.user_id.SetValue(user)
    return info


def _quality(user, quality):
    info = v.NetworkQualityInfo()
    info.user_id.SetValue(user)
    info.quality = quality
    return info


@pytest.mark.parametrize("value", [
    None, True, 0, -5, 4294967295, "", "ユーザー", b"", b"a\x00b\xff",
    v.CONNECTION_STATE_CONNECTED, v.STREAM_TYPE_VIDEO_AUX, v.ERR_ENTER_ROOM_FAILED,
    _frame(v.AudioFrame, b"\x01\x00" * 320, sample_rate=16000, channels=1, pts=40, has_voice=True,
           codec=v.AUDIO_CODEC_TYPE_OPUS),
    _frame(v.VideoFrame, b"\x00\x00\x01key", pts=7, dts=6, is_key_frame=True, codec=v.VIDEO_CODEC_TYPE_H265,
           rotation=list(v.VideoRotation.__members__.values())[-1]),
    _frame(v.PixelFrame, bytes(range(24)), width=4, height=4, pts=3, format=v.VIDEO_PIXEL_FORMAT_RGBA),
    _user_info("carol"), _user_info(None),
    [_quality("a", v.NETWORK_QUALITY_BAD), _quality("b", v.NETWORK_QUALITY_GOOD)],
])
def test_recorded_values_come_back_equal(value):
    encoded = values.encode(value)
    decoded = values.decode(json.loads(json.dumps(encoded)))
    assert type(decoded) is type(value)
    # Encoding is complete: the decoded object encodes to the very same form.
    assert values.encode(decoded) == encoded
    if isinstance(value, (v.AudioFrame, v.VideoFrame, v.PixelFrame)):
        assert decoded.data == value.data and decoded.pts == value.pts


def test_recording_file_round_trip(busy_run, tmp_path):
    path = busy_run.save(tmp_path / "run.jsonl")
    loaded = Recording.load(path)
    assert loaded.header["version"] == 1 and loaded.header["user_id"] == "bot"
    assert loaded.entries == busy_run.recording.entries


@pytest.mark.parametrize("content, expected", [
    ("", ":1: not a velmora recording"),
    ('{"format": "something-else", "version": 1}\n', ":1: not a velmora recording"),
    ('{"format": "velmora-recording", "version": 99}\n', "format version 99 is newer than this reader's (1)"),
    ('{"format": "velmora-recording", "version": "1"}\n', ":1: the header's version must be a positive integer"),
    ('{"format": "velmora-recording", "version": 1}\n{"t": 0, "kind": "callback", "name": "OnEnterRoom", "args": []}\n'
     'not json\n', ":3: not a velmora recording line"),
    ('{"format": "velmora-recording", "version": 1}\n{"t": 0, "kind": "callback", "name": "OnDance", "args": []}\n',
     ":2: unknown callback 'OnDance'"),
    ('{"format": "velmora-recording", "version": 1}\n{"kind": "send"}\n', ':2: an entry needs an integer "t"'),
])
def test_unreadable_recordings_are_refused(tmp_path, content, expected):
    path = tmp_path / "r.jsonl"
    path.write_text(content)
    with pytest.raises(RecordingFormatError) as error:
        Recording.load(path)
    assert expected in str(error.value)


def test_a_binary_file_is_refused(tmp_path):
    path = tmp_path / "r.jsonl"
    path.write_bytes(b"\xff\xfe\x00binary")
    with pytest.raises(RecordingFormatError, match="not UTF-8"):
        Recording.load(path)


# ---- runs -----------------------------------------------------------------------------------

@pytest.mark.parametrize("through_file", [False, True])
def test_replay_gives_the_recorded_callbacks_frame_for_frame(busy_run, tmp_path, through_file):
    recording = busy_run.recording
    if through_file:
        recording = Recording.load(busy_run.save(tmp_path / "run.jsonl"))
    replayed = Recording()
    clock = RealClock()
    clock.start()
    target = recording_class(WatchingBot)()
    target._velmora_recorder = Recorder(replayed, clock)

    class Sink:  # what the bot sends back while replayed goes nowhere
        def __getattr__(self, name):
            return lambda *args: 0
    target.cloud = Sink()
    calls = replay(recording, target)
    assert calls == len(recording.callbacks()) > 0
    assert replayed.stream() == busy_run.recording.stream()
    assert any(name == "OnRemoteVideoFrameReceived" for name, _ in replayed.stream())


def test_replay_at_recorded_speed_keeps_the_gaps():
    recording = Recording(entries=[
        {"t": 1000, "kind": "callback", "name": "OnEnterRoom", "args": []},
        {"t": 1300, "kind": "callback", "name": "OnExitRoom", "args": []}])
    seen = []

    class Bot(v.KWIXCloudDelegate):
        def OnEnterRoom(self):
            seen.append(("enter", time.monotonic()))

        def OnExitRoom(self):
            seen.append(("exit", time.monotonic()))

    assert replay(recording, Bot(), speed="recorded") == 2
    assert [name for name, _ in seen] == ["enter", "exit"]
    assert seen[1][1] - seen[0][1] >= 0.29


def test_a_run_shows_the_room_as_scripted(busy_run):
    names = [name for name, _ in busy_run.stream(media=False)]
    assert names[:3] == ["OnConnectionStateChanged", "OnConnectionStateChanged", "OnEnterRoom"]
    assert_order(busy_run, "OnRemoteUserEnterRoom", "OnRemoteAudioAvailable", "OnRemoteVideoAvailable",
                 "OnSeiMessageReceived", "OnReceiveCustomCmdMsg", "OnRemoteVideoAvailable", "OnRemoteUserExitRoom",
                 "OnRemoteUserEnterRoom", "OnExitRoom")
    commands = [(user, message) for user, _, _, message in busy_run.received("OnReceiveCustomCmdMsg")]
    assert commands == [("alice", b"hello 1"), ("alice", b"hello 2"), ("alice", b"hello 3")]
    assert [args[1] for args in assert_sent(busy_run, "SendCustomCmdMsg", count=3)] == \
        [b"re: hello 1", b"re: hello 2", b"re: hello 3"]
    # The replies reached the member that sent the commands.
    heard = busy_run.participants["alice"].received.args("OnReceiveCustomCmdMsg")
    assert [message for _, cmd_id, _, message in heard if cmd_id == 9] == \
        [b"re: hello 1", b"re: hello 2", b"re: hello 3"]
    video = busy_run.received("OnRemoteVideoFrameReceived")
    assert video and video[0][2].is_key_frame
    # 25 frames per second from 60 ms until the stream closes at 250 ms.
    assert 4 <= len(video) <= 6
    audio = busy_run.received("OnRemoteAudioReceived")
    assert 5 <= len(audio) <= 7 and all(user == "alice" for user, _ in audio)


class SteppedClock:
    """Time that moves only when the runner steps it, at once: what the runner itself makes
    of a scenario, without the engine's own timers (network quality reports)."""

    name = "stepped"

    def start(self):
        self.now = 0

    def stop(self):
        pass

    def now_ms(self):
        return self.now

    def advance(self, ms):
        self.now += ms


@pytest.mark.slow
@pytest.mark.parametrize("clock", ["real", "stepped", "manual"])
def test_a_scenario_gives_the_same_callbacks_every_run(clock):
    make = {"real": RealClock, "stepped": SteppedClock, "manual": ManualClock}[clock]
    scenario = parse_scenario(BUSY)
    first, second = (run(scenario, WatchingBot, clock=make()) for _ in range(2))
    if clock == "real":
        # On the real clock the engine's timers (reports, paced media) run on their own.
        assert first.stream(media=False, skip=("OnNetworkQuality",)) == \
            second.stream(media=False, skip=("OnNetworkQuality",))
    else:
        # Everything, frames and times included; the stepped clock leaves the engine's
        # timers out of step (its reports, and audio, which goes out on the engine clock's
        # ticks), so those are left out there.
        skip = ("OnNetworkQuality", "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived") \
            if clock == "stepped" else ()
        assert [(e["t"], e["name"], e["args"]) for e in first.recording.callbacks() if e["name"] not in skip] == \
            [(e["t"], e["name"], e["args"]) for e in second.recording.callbacks() if e["name"] not in skip]
    assert len(first.stream()) > 20


def _write_wav(path, rate, channels, samples):
    with wave.open(str(path), "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(struct.pack(f"<{len(samples)}h", *samples))


def test_a_wav_file_is_spoken_in_20_ms_frames(tmp_path):
    _write_wav(tmp_path / "hello.wav", 16000, 1, [(i * 37) % 2000 - 1000 for i in range(16000 * 250 // 1000)])
    (tmp_path / "s.toml").write_text(
        '[[participant]]\nid = "a"\n[[participant]]\nid = "b"\nhears_audio = true\n[[participant]]\nid = "c"\n'
        '[[event]]\nat_ms = 20\nwho = "a"\naction = "speak"\nsource = "wav"\npath = "hello.wav"\n')
    from velmora.testing import load_scenario
    result = run(load_scenario(tmp_path / "s.toml"), WatchingBot, clock=RealClock())
    frames = [frame for _, frame in result.received("OnRemoteAudioReceived")]
    # 250 ms make 13 frames, the last one padded with silence (an engine that re-chunks
    # what it hears may hold back or add one).
    assert 12 <= len(frames) <= 14
    assert {(f.sample_rate, f.channels, f.size) for f in frames} == {(16000, 1, 640)}
    # Members count the frames they hear rather than keep them.
    listener = result.participants["b"]
    assert listener.media_frames == len(frames) and not listener.received.callbacks("OnRemoteAudioReceived")
    assert result.participants["c"].media_frames == 0
    assert [room["what"] for room in result.recording.of_kind("room") if room["who"] == "a"][:3] == \
        ["join", "speech_start", "speech_end"]


@pytest.mark.parametrize("kind", ["encoded", "pixel"])
def test_video_streams_send_generated_frames(kind):
    scenario = parse_scenario(
        f'[bot]\npixel_output = {str(kind == "pixel").lower()}\n[[participant]]\nid = "a"\n'
        f'[[event]]\nat_ms = 0\nwho = "a"\naction = "open_video"\nfps = 20\nwidth = 16\nheight = 16\n'
        f'frames = "{kind}"\n[[event]]\nat_ms = 200\nwho = "a"\naction = "close_video"\n')
    result = run(scenario, WatchingBot, clock=RealClock())
    name = "OnRemotePixelFrameReceived" if kind == "pixel" else "OnRemoteVideoFrameReceived"
    frames = [frame for _, _, frame in result.received(name)]
    assert 3 <= len(frames) <= 5
    pts = [f.pts for f in frames]
    assert pts == sorted(pts) and len(set(f.data for f in frames)) == len(frames)
    if kind == "pixel":
        assert {(f.width, f.height, f.size) for f in frames} == {(16, 16, 16 * 16 * 3 // 2)}
    else:
        assert frames[0].is_key_frame and {f.codec for f in frames} == {v.VIDEO_CODEC_TYPE_H264}


def test_a_capped_participant_follows_the_rooms_bitrate_request_and_the_timeline_shows_its_video():
    scenario = parse_scenario(
        'duration_ms = 3500\n[[participant]]\nid = "a"\n'
        '[[event]]\nat_ms = 0\nwho = "a"\naction = "open_video"\nfps = 25\nwidth = 160\nheight = 120\n'
        '[[event]]\nat_ms = 0\nwho = "a"\naction = "bandwidth"\ndirection = "uplink"\nkbps = 60\n'
        '[[event]]\nat_ms = 2500\nwho = "a"\naction = "close_video"\n')
    result = run(scenario, WatchingBot)
    # 160x120 at 25 frames/s: the engine's 64 kbit/s floor, over a 60 kbit/s cap; asked for 85 %.
    assert result.participants["a"].received.args("OnRequestChangeVideoEncodeBitrate") == [
        (v.STREAM_TYPE_VIDEO_HIGH, 51000)]
    frames = result.received("OnRemoteVideoFrameReceived")
    assert frames and all(f.codec == v.VIDEO_CODEC_TYPE_H264 for _, _, f in frames)
    page = render(result.recording)
    for seen in ("the bot receiving a&#x27;s video", "bandwidth direction=uplink, kbps=60"):
        assert seen in page
    # The closing waits behind what the capped link still holds: at most its 500 ms buffer.
    offered, = re.findall(r"a offering video 0-(\d+) ms", page)
    assert 2500 <= int(offered) <= 3020


@pytest.mark.parametrize("text, expected", [
    ('[[participant]]\nid = "a"\n[[event]]\nat_ms = 10\nwho = "a"\naction = "sei"\nmessage = "x"\n',
     r"<s>:3: at 10 ms: a: SendSeiMessage returned ERR_INVALID_OPERATION \(-3\) \(SEI messages ride on the high"),
    ('[[participant]]\nid = "a"\nrole = "audience"\n[[event]]\nat_ms = 0\nwho = "a"\naction = "speak"\n'
     'duration_ms = 40\n', r"<s>:4: at 0 ms: a: CreateLocalAudioChannel returned .*audience member cannot speak"),
    ('[[participant]]\nid = "a"\njoin_ms = 100\n[[event]]\nat_ms = 10\nwho = "a"\naction = "leave"\n',
     r"<s>:4: at 10 ms: a cannot leave: it is not in the room"),
])
def test_steps_the_engine_refuses_stop_the_run_with_their_line(text, expected):
    with pytest.raises(SimulationError, match=expected):
        run(parse_scenario(text, source="<s>"), WatchingBot, clock=RealClock())


def test_the_room_fixture_enters_members_and_bots_by_hand(velmora_room):
    alice = velmora_room.participant("alice")
    bot = velmora_room.bot(WatchingBot)
    alice.send_command(4, b"hi", True, True)
    velmora_room.settle()
    assert bot.recording.args("OnReceiveCustomCmdMsg") == [("alice", 4, 1, b"hi")]
    assert [e["name"] for e in bot.recording.sends()] == ["SendCustomCmdMsg"]


def test_assertions_say_what_was_received_instead(busy_run):
    with pytest.raises(AssertionError, match=r"(?s)expected 2 OnEnterRoom callbacks, got 1:\n.*OnEnterRoom\(\)"):
        assert_received(busy_run, "OnEnterRoom", count=2)
    with pytest.raises(AssertionError, match="OnEnterRoom did not follow"):
        assert_order(busy_run, "OnExitRoom", "OnEnterRoom")
    with pytest.raises(AssertionError, match="expected at least 1 SendSeiMessage calls, got 0"):
        assert_sent(busy_run, "SendSeiMessage")


# ---- the timeline page ----------------------------------------------------------------------

def test_the_timeline_is_one_self_contained_page(busy_run):
    page = render(busy_run.recording)
    assert page.startswith("<!DOCTYPE html>") and page.rstrip().endswith("</html>")
    for outside in ("<script", "src=", "href=", "@import", "url("):
        assert outside not in page
    for seen in ("alice speaking", "alice in the room", "bob in the room", "OnSeiMessageReceived: b&#x27;caption&#x27;",
                 "SendCustomCmdMsg -&gt; 1"):
        assert seen in page


def test_the_timeline_shows_network_quality_and_missed_commands():
    recording = Recording({"user_id": "me"}, [
        {"t": 0, "kind": "room", "who": "a", "what": "join", "detail": None},
        {"t": 10, "kind": "callback", "name": "OnNetworkQuality",
         "args": [values.encode(_quality("me", v.NETWORK_QUALITY_GOOD)),
                  values.encode([_quality("a", v.NETWORK_QUALITY_VERY_BAD)])]},
        {"t": 20, "kind": "callback", "name": "OnMissCustomCmdMsg", "args": ["a", 1, 0, 3]},
    ])
    page = render(recording)
    assert "a network quality very_bad from 10 ms" in page and "me network quality good from 10 ms" in page
    assert "20 ms: missed 3 command(s)" in page


# ---- command line and plugin ----------------------------------------------------------------

@pytest.mark.slow
def test_command_line_records_replays_and_draws(tmp_path, run_program):
    (tmp_path / "s.toml").write_text(BUSY)
    (tmp_path / "bot.py").write_text(
        "import _velmora as v\nclass Bot(v.KWIXCloudDelegate):\n"
        "    def OnReceiveCustomCmdMsg(self, user, cmd, seq, message):\n        print('got', message)\n")
    recorded = run_program(["-m", "velmora.testing", "record", "s.toml", "-o", "run.jsonl", "--clock", "real",
                        "--timeline", "run.html"], tmp_path)
    assert recorded.returncode == 0, recorded.stderr
    assert "recorded" in recorded.stdout and (tmp_path / "run.html").is_file()
    replayed = run_program(["-m", "velmora.testing", "replay", "run.jsonl", "--bot", "bot.py:Bot"], tmp_path)
    assert replayed.returncode == 0, replayed.stderr
    assert replayed.stdout.splitlines()[:3] == ["got b'hello 1'", "got b'hello 2'", "got b'hello 3'"]
    drawn = run_program(["-m", "velmora.testing", "timeline", "run.jsonl", "-o", "again.html"], tmp_path)
    assert drawn.returncode == 0 and (tmp_path / "again.html").read_text() == (tmp_path / "run.html").read_text()
    listed = run_program(["-m", "velmora.testing", "actions"], tmp_path).stdout.splitlines()
    assert "custom_cmd_loss" in listed and "sei (needs who)" in listed
    assert listed[listed.index("sei (needs who)") + 1] == "    message: required"


@pytest.mark.parametrize("args, expected", [
    (["check", "bad.toml"], "bad.toml:2: participant #1: field 'id' must be a non-empty text"),
    (["replay", "bad.toml"], "bad.toml:1: not a velmora recording"),
    (["record", "bad.toml", "-o", "x.jsonl", "--bot", "nowhere.py:Bot"], "no such file nowhere.py"),
])
def test_command_line_errors(tmp_path, run_program, args, expected):
    (tmp_path / "bad.toml").write_text('[[participant]]\nid = ""\n')
    if args[0] == "record":
        (tmp_path / "bad.toml").write_text('[[participant]]\nid = "a"\n')
    completed = run_program(["-m", "velmora.testing"] + args, tmp_path)
    assert completed.returncode != 0
    assert expected in completed.stderr


@pytest.mark.slow
def test_a_failing_test_gets_its_timeline_written(tmp_path, run_pytest):
    (tmp_path / "test_bot.py").write_text(
        "import _velmora as v\nfrom velmora.testing import parse_scenario\n"
        "S = parse_scenario('[[participant]]\\nid = \"alice\"\\n')\n"
        "class Bot(v.KWIXCloudDelegate):\n    pass\n"
        "def test_bot(velmora_runner):\n    velmora_runner(S, Bot)\n    assert False, 'bot failed'\n"
        "def test_fine(velmora_runner):\n    velmora_runner(S, Bot)\n")
    completed = run_pytest(["--basetemp", str(tmp_path / "base"), "test_bot.py"], tmp_path)
    assert "1 failed, 1 passed" in completed.stdout, completed.stdout + completed.stderr
    paths = [line.split(":", 1)[1].strip() for line in completed.stdout.splitlines()
             if line.startswith(("timeline:", "recording:"))]
    assert len(paths) == 2 and all(os.path.isfile(p) for p in paths)
    assert "test_bot" in paths[0] and Recording.load(paths[1]).callbacks("OnRemoteUserEnterRoom")


@pytest.mark.slow
@pytest.mark.parametrize("example, passed", [("test_my_bot.py", 6), ("test_meeting_recorder.py", 2)])
def test_the_example_bot_tests_pass(tmp_path, run_pytest, example, passed):
    completed = run_pytest(["-q", "--rootdir", str(tmp_path), os.path.join(ROOT, "examples", example)], tmp_path)
    assert completed.returncode == 0, completed.stdout + completed.stderr
    assert f"{passed} passed" in completed.stdout


class BrokenBot(v.KWIXCloudDelegate):
    def OnRemoteUserEnterRoom(self, info):
        raise ValueError("cannot greet " + info.user_id.GetValue())


@pytest.mark.parametrize("allow_errors", [False, True])
def test_a_bot_that_raises_fails_the_run(allow_errors, capfd):
    scenario = parse_scenario('[[participant]]\nid = "a"\n[[participant]]\nid = "b"\njoin_ms = 50\n')
    if not allow_errors:
        with pytest.raises(BotError, match=r"(?s)raised 2 time\(s\); the first, in OnRemoteUserEnterRoom:.*"
                                           r"ValueError: cannot greet a"):
            run(scenario, BrokenBot, clock=RealClock())
    else:
        result = run(scenario, BrokenBot, clock=RealClock(), allow_errors=True)
        assert [name for name, _ in result.errors] == ["OnRemoteUserEnterRoom"] * 2
        assert "cannot greet b" in result.errors[1][1]
    # The engine still saw the exception leave the callback, as without the simulator.
    assert "cannot greet a" in capfd.readouterr().err


def test_any_session_can_be_recorded_and_replayed(velmora_room, tmp_path):
    bot, recording = recorded(WatchingBot, header={"user_id": "me"})
    cloud = v.KWIXCloud(bot)
    engine = control.newest_session()
    bot.cloud = cloud
    assert cloud.EnterRoom(enter_params("me", velmora_room.name)) == 0
    alice = velmora_room.participant("alice")
    alice.open_video("high", 10, 8, 6, False, 0)
    control.settle([engine])  # the bot subscribes when it sees the stream
    alice.send_sei(5, b"\x00sei")
    alice.send_command(3, b"hi", False, False)
    cloud.ExitRoom()
    control.settle([engine] + velmora_room.sessions())
    loaded = Recording.load(recording.save(tmp_path / "me.jsonl"))
    assert loaded.header["user_id"] == "me"
    again, replayed = recorded(WatchingBot)
    again.cloud = cloud  # out of the room: what the replayed bot sends goes nowhere
    assert replay(loaded, again) == len(recording.callbacks())
    assert replayed.stream() == recording.stream()
    assert ("OnSeiMessageReceived", ["alice", values.encode(v.STREAM_TYPE_VIDEO_HIGH), 5,
                                     values.encode(b"\x00sei")]) in replayed.stream()


def test_the_runner_drives_the_manual_clock(monkeypatch):
    """The runner's use of the engine's manual clock, watched through its control functions
    (which still reach the engine)."""
    engine = {"manual": False, "advanced": []}
    clock_manual, clock_advance = control.clock_manual, control.clock_advance

    def manual(on):
        engine["manual"] = bool(on)
        return clock_manual(on)

    def advance(ms):
        assert engine["manual"], "advanced while the manual clock was off"
        engine["advanced"].append(ms)
        return clock_advance(ms)
    monkeypatch.setattr(control, "clock_manual", manual)
    monkeypatch.setattr(control, "clock_advance", advance)
    result = run(parse_scenario(BUSY), WatchingBot, clock=ManualClock())
    assert not engine["manual"]
    assert sum(engine["advanced"]) == 1000 and set(engine["advanced"]) == {10}
    room = [(e["t"], e["who"], e["what"]) for e in result.recording.of_kind("room")]
    assert (200, "bob", "join") in room and (500, "bob", "leave") in room and (300, "alice", "leave") in room
    assert (400, "alice", "join") in room
    assert result.recording.header["clock"] == "manual"


def test_a_member_that_cannot_enter_is_not_left_half_in(velmora_room):
    first = velmora_room.participant("twin")
    second = Participant("twin", velmora_room.name, velmora_room.clock)
    with pytest.raises(SimulationError, match="twin: EnterRoom returned ERR_ENTER_ROOM_FAILED"):
        second.join()
    assert not second.present and second.sessions() == []
    with pytest.raises(SimulationError, match="twin cannot leave: it is not in the room"):
        second.leave()
    assert first.present
