"""The simulator's files and commands against hostile input: every command ends bad input
with exit 2 and an `error:` line naming the file, the line and the field; WAV files are
converted where they can be, and refused with the real reason otherwise."""
import json
import os
import struct
import wave

import pytest

from velmora.testing import ScenarioError, load_scenario, media, run
from velmora.testing.__main__ import main
from velmora.testing.recording import Recording

EVENT = '[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\n'


@pytest.mark.parametrize("name, content, expected", [
    ("deep.json", "[" * 100000 + "]" * 100000, "deep.json:1: nested more than 32 levels deep"),
    ("deep.toml", 'name = "x"\nseed = ' + "[" * 100000 + "]" * 100000, "deep.toml:2: nested more than"),
    ("list.toml", EVENT + 'action = ["speak"]\n', "list.toml:6: event #1: field 'action' must be one of"),
    ("latin.toml", 'name = "caf\xe9"\n'.encode("latin-1"), "latin.toml:1: the scenario is not UTF-8 text"),
    ("nan.toml", EVENT + 'action = "custom_cmd_loss"\nshare = nan\n', "nan.toml:7: event #1: field 'share' must be a finite"),
    ("inf.json", '{"participant": [{"id": "a"}],\n "event": [{"at_ms": 0, "who": "a", "action": "speak",\n'
     ' "duration_ms": 9, "frequency_hz": Infinity}]}', "inf.json:3: event #1: field 'frequency_hz' must be a finite"),
    ("long.toml", "duration_ms = 100000000000000\n", "long.toml:1: the scenario: field 'duration_ms' must be an integer from 1 to"),
    ("table.toml", 'name = "x"\n\n[bott]\nuser_id = "b"\n', "table.toml:3: the scenario: unknown field 'bott'"),
    ("wav.toml", EVENT + 'action = "speak"\nsource = "wav"\npath = "wav.toml"\n',
     "wav.toml:8: event #1: field 'path': " ),
    ("big.toml", "#" * (5 * 1024 * 1024), "big.toml: the scenario is 5242880 bytes; at most"),
    ("folder", None, "folder: the scenario must be a regular file, not a folder"),
    ("/dev/zero", None, "/dev/zero: the scenario must be a regular file, not a device"),
], ids=lambda value: value if isinstance(value, str) and len(value) < 20 else "")
@pytest.mark.parametrize("command", ["check", "record", "participants"])
def test_bad_scenarios_end_with_exit_2_naming_the_place(tmp_path, capsys, monkeypatch, name, content, expected, command):
    monkeypatch.chdir(tmp_path)
    if content is None and not name.startswith("/"):
        os.mkdir(name)
    elif content is not None:
        (tmp_path / name).write_bytes(content if isinstance(content, bytes) else content.encode())
    args = {"check": [], "record": ["-o", "out.jsonl"],
            "participants": ["--room", "r", "--redis", "redis://127.0.0.1:1"]}[command]
    assert main([command, name] + args) == 2
    err = capsys.readouterr().err
    assert err.startswith("error: ") and expected in err, err
    assert not (tmp_path / "out.jsonl").exists()


GOOD = {"t": 0, "kind": "callback", "name": "OnReceiveCustomCmdMsg",
        "args": ["a", 1, 1, {"bytes": "aGk="}]}


@pytest.mark.parametrize("change, expected", [
    ({"t": -5}, 'an entry needs an integer "t"'),
    ({"t": 1.5}, 'an entry needs an integer "t"'),
    ({"args": "x"}, '"args", a list'),
    ({"args": ["a", 1, 1]}, "OnReceiveCustomCmdMsg takes 4 argument(s), not 3"),
    ({"args": ["a", 1, 1, {"bytes": 5}]}, "argument 4 cannot be read"),
    ({"args": ["a", "1", 1, {"bytes": "aGk="}]}, "argument 2 is '1', not of the callback's type"),
    ({"args": [5, 1, 1, {"bytes": "aGk="}]}, "argument 1 is 5"),
    ({"name": "OnNetworkQuality", "args": [{"NetworkQualityInfo": {"user_id": "a", "quality": 1}}, {"list": [3]}]},
     "argument 2 must be a list of NetworkQualityInfo"),
    ({"name": "OnRemoteAudioReceived", "args": ["a", {"AudioFrame": {"sample_rate": 1}}]}, "argument 2 cannot be read"),
    ({"name": "OnError", "args": [{"enum": "Nope", "value": 1}]}, "argument 1 cannot be read"),
    ({"name": "OnRemoteUserEnterRoom", "args": [{"UserInfo": {"user_id": ["x"]}}]}, "argument 1 cannot be read"),
    ({"kind": "room", "who": ["a"], "what": "join"}, 'a room entry has "who"'),
    ({"kind": "error", "name": "OnEnterRoom"}, 'an error entry needs an "error" text'),
    ({"kind": "send", "name": 7}, 'a send entry needs a "name" text'),
    ({"kind": "send", "name": "SendCustomCmdMsg"}, 'a send entry needs a "result"'),
    ("[" * 5000 + "]" * 5000, "a recording line nested too deeply"),
], ids=lambda value: value if isinstance(value, str) and len(value) < 40 else None)
@pytest.mark.parametrize("command", ["replay", "timeline"])
def test_a_malformed_recording_entry_is_named_not_crashed_on(tmp_path, capsys, change, expected, command):
    entry = change if isinstance(change, str) else json.dumps(dict(GOOD, **change))
    header = json.dumps({"format": "velmora-recording", "version": 1, "user_id": "bot"})
    path = tmp_path / "r.jsonl"
    path.write_text(f"{header}\n{json.dumps(GOOD)}\n{entry}\n")
    assert main([command, str(path)] + (["-o", str(tmp_path / "r.html")] if command == "timeline" else [])) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"error: {path}:3: ") and expected in err, err


@pytest.mark.parametrize("value", ["inf", "nan", "1e30", "-1e30", "soon"])
def test_participants_refuse_a_start_time_that_is_not_near_now(tmp_path, capsys, value):
    (tmp_path / "s.toml").write_text('[[participant]]\nid = "a"\n')
    with pytest.raises(SystemExit) as ended:
        main(["participants", str(tmp_path / "s.toml"), "--redis", "redis://127.0.0.1:1", f"--start-at={value}"])
    assert ended.value.code == 2 and "error: argument --start-at" in capsys.readouterr().err


@pytest.mark.parametrize("source, expected", [
    ("import nothing_here_at_all\nclass Bot: pass\n", "cannot load it: ModuleNotFoundError"),
    ("def broken(:\n", "bot.py:1: cannot load it: SyntaxError"),
    ("Bot = 5\n", "bot.py is not a KWIXCloudDelegate subclass"),
])
def test_a_bot_that_cannot_be_loaded_ends_with_exit_2(tmp_path, capsys, source, expected):
    (tmp_path / "bot.py").write_text(source)
    (tmp_path / "s.toml").write_text('[[participant]]\nid = "a"\n')
    assert main(["record", str(tmp_path / "s.toml"), "-o", str(tmp_path / "o.jsonl"),
                 "--bot", f"{tmp_path / 'bot.py'}:Bot"]) == 2
    assert expected in capsys.readouterr().err


def _wav(path, rate, channels, width, frames, value, tag=None):
    """A WAV file whose samples are all `value` (in the file's own sample format)."""
    sample = value.to_bytes(width, "little", signed=width > 1)
    with wave.open(str(path), "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(width)
        out.setframerate(rate)
        out.writeframes(sample * channels * frames)
    if tag is not None:  # another format in the fmt chunk
        data = bytearray(path.read_bytes())
        struct.pack_into("<H", data, 20, tag)
        path.write_bytes(bytes(data))


@pytest.mark.parametrize("rate, channels, width, value, spoken", [
    (8000, 1, 1, 0xC0, (8000, 1, 16384)),          # unsigned 8-bit
    (96000, 2, 2, 1000, (48000, 2, 1000)),         # above any channel's rate: converted
    (22050, 1, 3, -(1 << 20), (48000, 1, -4096)),  # 24-bit, at a rate of no whole hundred
    (16000, 6, 4, 1 << 28, (16000, 1, 4096)),      # 32-bit, six channels mixed to one
])
def test_wav_files_are_converted_to_what_a_channel_takes(tmp_path, rate, channels, width, value, spoken):
    _wav(tmp_path / "in.wav", rate, channels, width, rate // 2, value)
    source = media.wav(tmp_path / "in.wav")
    middle = source.frame(10, 0).data
    assert (source.sample_rate, source.channels, struct.unpack_from("<h", middle, 200)[0]) == spoken
    assert abs(len(source.pcm) // (2 * source.channels) - source.sample_rate // 2) <= 2  # still half a second


@pytest.mark.parametrize("tag, expected", [
    (3, "holds 32-bit float samples, not PCM"), (7, "holds mu-law samples, not PCM"),
    (None, "not a WAV file (no RIFF WAVE header"),
])
def test_wav_files_that_cannot_be_converted_name_the_reason(tmp_path, tag, expected):
    path = tmp_path / "in.wav"
    if tag is None:
        path.write_bytes(b"ID3\x03 an mp3, really")
    else:
        _wav(path, 16000, 1, 4 if tag == 3 else 1, 100, 0, tag)
    (tmp_path / "s.toml").write_text(EVENT + 'action = "speak"\nsource = "wav"\npath = "in.wav"\n')
    with pytest.raises(ScenarioError, match=f"s.toml:8: event #1: field 'path': .*in.wav: the WAV file "
                                            if tag else "s.toml:8: .*in.wav: not a WAV file") as error:
        load_scenario(tmp_path / "s.toml")
    assert expected in str(error.value)


def test_a_96_khz_wav_file_is_heard(tmp_path):
    _wav(tmp_path / "in.wav", 96000, 1, 2, 96000 // 5, 3000)
    (tmp_path / "s.toml").write_text('[[participant]]\nid = "a"\n[[event]]\nat_ms = 0\nwho = "a"\n'
                                     'action = "speak"\nsource = "wav"\npath = "in.wav"\n')
    from velmora import QuietDelegate
    result = run(load_scenario(tmp_path / "s.toml"), QuietDelegate)
    frames = [frame for _, frame in result.received("OnRemoteAudioReceived")]
    assert 9 <= len(frames) <= 11 and any(frame.data.count(0) < len(frame.data) for frame in frames)
    assert Recording  # the import is used by the recording tests above
