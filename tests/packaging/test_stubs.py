"""The installed type stub: it matches the module, and type checkers use it."""
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import _velmora
from paths import ROOT

INSTALLED_STUB = os.path.join(os.path.dirname(_velmora.__file__), "_velmora-stubs", "__init__.pyi")


def needs_installed_stub():
    pytest.importorskip("mypy")
    if not os.path.exists(INSTALLED_STUB):
        pytest.skip("the module is not installed with its stub (pip install .)")


def test_stub_is_up_to_date():
    pytest.importorskip("pybind11_stubgen")
    result = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "generate_stubs.py"),
                             "--check"], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, "velmora/_velmora.pyi is stale; run tools/generate_stubs.py:\n" \
        + result.stdout + result.stderr


@pytest.mark.parametrize("code, error", [
    ("import _velmora as v\nv.KWIXCloud(None).Subscribe('bob', v.STREAM_TYPE_AUDIO)\n", None),
    ("import _velmora as v\nv.KWIXCloud(None).Subscribe('bob', 2)\n", 'incompatible type "int"'),
    ("import _velmora as v\nv.EnterRoomParams().room.user_id = 'alice'\n",
     'Incompatible types in assignment'),
    ("import _velmora as v\nf: bytes = v.AudioFrame().data\nn: int = v.AudioFrame().size\n", None),
    # Text parameters take what the module takes: str, bytes, bytearray, and None for a null
    # pointer; an int level is still an int.
    ("import _velmora as v\nv.SetSocks5Proxy('127.0.0.1', 1080, None, None)\n"
     "v.SetLogPath(b'/tmp/logs')\nv.KwixString(bytearray(b'id')).SetValue(None)\n"
     "v.KWIXCloud(None).Subscribe(b'bob', v.STREAM_TYPE_AUDIO)\n", None),
    ("import _velmora as v\nv.SetLogLevel('1')\n", 'incompatible type "str"'),
    # GetValue gives None back after SetValue(None).
    ("import _velmora as v\nx: str = v.KwixString().GetValue()\n", 'Incompatible types in assignment'),
    ("import _velmora as v\nv.KWIXCloud(None).Subscribe(None, v.STREAM_TYPE_AUDIO)\n",
     'incompatible type "None"'),
])
@pytest.mark.slow
def test_type_checker_sees_the_modules_types(tmp_path, code, error):
    needs_installed_stub()
    (tmp_path / "snippet.py").write_text(code)
    result = subprocess.run([sys.executable, "-m", "mypy", "--python-version", "3.9",
                             "--no-incremental", "snippet.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    if error is None:
        assert result.returncode == 0, result.stdout
    else:
        assert result.returncode == 1 and error in result.stdout, result.stdout


@pytest.mark.slow
def test_room_demo_type_checks():
    needs_installed_stub()
    result = subprocess.run([sys.executable, "-m", "mypy", "--python-version", "3.9",
                             "--no-incremental", os.path.join(ROOT, "examples", "room_demo.py")],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout


# A bot whose overrides are annotated as the API reference shows them, using what it receives.
TYPED_BOT = """
from typing import Dict, List, Optional
import _velmora as v


class Bot(v.KWIXCloudDelegate):
    def __init__(self) -> None:
        super().__init__()
        self.seen: Dict[str, int] = {}
        self.audio: List[bytes] = []

    def count(self, what: str) -> None:
        self.seen[what] = self.seen.get(what, 0) + 1

    def OnError(self, error: v.Error) -> None:
        self.count(error.name)

    def OnConnectionStateChanged(self, old_state: v.ConnectionState,
                                 new_state: v.ConnectionState) -> None:
        self.count(f"{old_state.name}->{new_state.name}")

    def OnEnterRoom(self) -> None:
        self.count("enter")

    def OnExitRoom(self) -> None:
        self.count("exit")

    def OnLocalAudioChannelCreated(self) -> None:
        self.count("audio channel")

    def OnLocalAudioChannelDestroyed(self) -> None:
        self.count("audio channel gone")

    def OnLocalVideoChannelCreated(self, stream_type: v.StreamType) -> None:
        self.count(stream_type.name)

    def OnLocalVideoChannelDestroyed(self, stream_type: v.StreamType) -> None:
        self.count(stream_type.name)

    def OnRemoteUserEnterRoom(self, info: v.UserInfo) -> None:
        self.count(str(info.user_id))

    def OnRemoteUserExitRoom(self, info: v.UserInfo, reason: int) -> None:
        self.count(str(info.user_id) + str(reason + 1))

    def OnRemoteAudioAvailable(self, user_id: Optional[str], available: bool) -> None:
        self.count(f"{user_id}:{available}")

    def OnRemoteVideoAvailable(self, user_id: Optional[str], available: bool,
                               stream_type: v.StreamType) -> None:
        self.count(f"{user_id}:{available}:{stream_type.value}")

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: v.AudioFrame) -> None:
        self.audio.append(frame.data)

    def OnRemoteMixedAudioReceived(self, frame: v.AudioFrame) -> None:
        self.audio.append(frame.data[:frame.size])

    def OnRemoteVideoFrameReceived(self, user_id: Optional[str], stream_type: v.StreamType,
                                   frame: v.VideoFrame) -> None:
        self.count("key" if frame.is_key_frame else "delta")

    def OnRemotePixelFrameReceived(self, user_id: Optional[str], stream_type: v.StreamType,
                                   frame: v.PixelFrame) -> None:
        self.count(f"{frame.width}x{frame.height}")

    def OnRequestKeyFrame(self, stream_type: v.StreamType) -> None:
        self.count("key frame")

    def OnRequestChangeVideoEncodeBitrate(self, stream_type: v.StreamType, bitrate_bps: int) -> None:
        self.count(str(bitrate_bps // 1000))

    def OnSeiMessageReceived(self, user_id: Optional[str], stream_type: v.StreamType,
                             message_type: int, message: bytes) -> None:
        self.count(message.hex() + str(message_type))

    def OnReceiveCustomCmdMsg(self, user_id: Optional[str], cmd_id: int, seq: int,
                              message: bytes) -> None:
        self.count(message.decode("utf-8", "replace") + str(cmd_id + seq))

    def OnMissCustomCmdMsg(self, user_id: Optional[str], cmd_id: int, error_code: int,
                           missed: int) -> None:
        self.count(str(cmd_id + error_code + missed))

    def OnNetworkQuality(self, local_quality: v.NetworkQualityInfo,
                         remote_qualities: List[v.NetworkQualityInfo]) -> None:
        self.count(local_quality.quality.name + str(len(remote_qualities)))


session = v.KWIXCloud(Bot())
"""


@pytest.mark.parametrize("change, error", [
    (None, None),
    # The engine-facing form (a text and a length) is not what an override receives.
    (("message: bytes) -> None:\n        self.count(message.decode",
      "message: str, length: int) -> None:\n        self.count(message.encode"),
     'Signature of "OnReceiveCustomCmdMsg" incompatible with supertype'),
    # A user id can be None: an override must accept it.
    (("def OnRemoteAudioReceived(self, user_id: Optional[str]",
      "def OnRemoteAudioReceived(self, user_id: str"),
     'Argument 1 of "OnRemoteAudioReceived" is incompatible with supertype'),
    # The remote reports come as one list.
    (("remote_qualities: List[v.NetworkQualityInfo]) -> None:",
      "remote_qualities: v.NetworkQualityInfo, count: int) -> None:"),
     'Signature of "OnNetworkQuality" incompatible with supertype'),
], ids=["as documented", "message as text", "user id never None", "remote reports not a list"])
@pytest.mark.slow
def test_a_delegate_annotated_as_documented_passes_mypy_strict(tmp_path, change, error):
    needs_installed_stub()
    code = TYPED_BOT
    if change is not None:
        assert change[0] in code
        code = code.replace(*change)
    (tmp_path / "bot.py").write_text(code)
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-version", "3.9",
                             "--no-incremental", "bot.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    if error is None:
        assert result.returncode == 0, result.stdout
    else:
        assert result.returncode == 1 and error in result.stdout, result.stdout


def test_reference_shows_the_delegate_as_the_stub_does():
    spec = importlib.util.spec_from_file_location("api_reference",
                                                  os.path.join(ROOT, "tools", "api_reference.py"))
    reference = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(reference)
    section = reference.reference_page().split("### KWIXCloudDelegate\n")[1].split("\n### ")[0]
    shown = re.findall(r"^(On\w+\(self.*\) -> None)$", section.split("Called from Python")[0], re.M)
    as_stub = [re.sub(r"List\[(\w+)\]", r"list[\1]", re.sub(r"Optional\[(\w+)\]", r"\1 | None", line))
               for line in shown]
    with open(os.path.join(ROOT, "velmora", "_velmora.pyi")) as stub:
        text = stub.read().split("class KWIXCloudDelegate:\n")[1].split("\nclass ")[0]
    in_stub = re.findall(r"^    def (On\w+\(.*\) -> None):$", text, re.M)
    assert len(shown) == 22 and sorted(as_stub) == sorted(in_stub)
    # Calls from Python take the engine's arguments where those differ.
    assert re.search(r"^OnNetworkQuality\(self: KWIXCloudDelegate, arg0: NetworkQualityInfo, "
                     r"arg1: NetworkQualityInfo, arg2: ", section, re.M)
