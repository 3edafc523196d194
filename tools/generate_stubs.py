"""Writes the type stub of the _velmora module (velmora/_velmora.pyi) from the module itself.

    python tools/generate_stubs.py            # rewrite velmora/_velmora.pyi
    python tools/generate_stubs.py --check    # exit 1 if the committed stub is out of date

The module's generated signatures name the types that are registered after a function by
their C++ names (velmora::kwix::StreamType, PyKWIXCloudDelegate); the stub names them by
their Python classes. They also call every text parameter `str`, while the module takes more
there; the stub says what is accepted. And the delegate's methods are shown as what an
override receives (DELEGATE_OVERRIDES), which is what a subclass is written against.
"""
import argparse
import difflib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUB = os.path.join(ROOT, "velmora", "_velmora.pyi")

# Texts handed to the engine as C strings: a str goes as its UTF-8 encoding, a bytes or
# bytearray as its own bytes, None as a null pointer.
C_STRING = "str | bytes | bytearray | None"
# Texts the module copies into a string of its own: the same, but None is refused.
OWNED_STRING = "str | bytes | bytearray"
# KwixString holds a null pointer after SetValue(None), and GetValue gives it back as None.
NULLABLE_RESULT = ("def GetValue(self) -> str:", "def GetValue(self) -> str | None:")
# (class or None for a module function, function) -> {parameter: accepted type}. The
# delegate's callbacks keep `str`: Python subclasses override them, and an override that
# takes `str` must stay compatible with its base.
TEXT_PARAMETERS = {
    (None, "SetLogPath"): {"path": C_STRING},
    (None, "SetSocks5Proxy"): {"ip": C_STRING, "username": C_STRING, "password": C_STRING},
    (None, "SetEnvironment"): {"env": C_STRING},
    ("KwixString", "__init__"): {"arg0": C_STRING},
    ("KwixString", "SetValue"): {"arg0": C_STRING},
    ("KWIXCloud", "Subscribe"): {"user_id": OWNED_STRING},
    ("KWIXCloud", "Unsubscribe"): {"user_id": OWNED_STRING},
}


# What an override of each KWIXCloudDelegate method receives: the arguments the trampoline
# passes, named, with the types Python code gets. The module's own signatures are the
# engine's (argN, a text plus a length for the two messages, one record plus a count for the
# remote quality reports), which is what a call of the method from Python takes. Written as
# Python 3.9 code spells them; the API reference shows them so.
DELEGATE_OVERRIDES = {
    "OnError": "error: Error",
    "OnConnectionStateChanged": "old_state: ConnectionState, new_state: ConnectionState",
    "OnEnterRoom": "",
    "OnExitRoom": "",
    "OnLocalAudioChannelCreated": "",
    "OnLocalAudioChannelDestroyed": "",
    "OnLocalVideoChannelCreated": "stream_type: StreamType",
    "OnLocalVideoChannelDestroyed": "stream_type: StreamType",
    "OnRemoteUserEnterRoom": "info: UserInfo",
    "OnRemoteUserExitRoom": "info: UserInfo, reason: int",
    "OnRemoteAudioAvailable": "user_id: Optional[str], available: bool",
    "OnRemoteVideoAvailable": "user_id: Optional[str], available: bool, stream_type: StreamType",
    "OnRemoteAudioReceived": "user_id: Optional[str], frame: AudioFrame",
    "OnRemoteMixedAudioReceived": "frame: AudioFrame",
    "OnRemoteVideoFrameReceived": "user_id: Optional[str], stream_type: StreamType, frame: VideoFrame",
    "OnRemotePixelFrameReceived": "user_id: Optional[str], stream_type: StreamType, frame: PixelFrame",
    "OnRequestKeyFrame": "stream_type: StreamType",
    "OnRequestChangeVideoEncodeBitrate": "stream_type: StreamType, bitrate_bps: int",
    "OnSeiMessageReceived": "user_id: Optional[str], stream_type: StreamType, message_type: int, message: bytes",
    "OnReceiveCustomCmdMsg": "user_id: Optional[str], cmd_id: int, seq: int, message: bytes",
    "OnMissCustomCmdMsg": "user_id: Optional[str], cmd_id: int, error_code: int, missed: int",
    "OnNetworkQuality": "local_quality: NetworkQualityInfo, remote_qualities: List[NetworkQualityInfo]",
}


def override_signature(name, stub=False):
    """`name(self, ...) -> None` as an override receives it; for the stub, in its spelling."""
    parameters = DELEGATE_OVERRIDES[name]
    if stub:
        parameters = re.sub(r"Optional\[(\w+)\]", r"\1 | None", parameters)
        parameters = re.sub(r"List\[(\w+)\]", r"list[\1]", parameters)
    return f"{name}(self{', ' if parameters else ''}{parameters}) -> None"


def parameter_count(signature):
    inside = signature[signature.index("(") + 1:signature.rindex(")")]
    return len(re.findall(r"(?:^|, )\w+:", inside)) + (inside == "self")


def type_overrides(text):
    """The delegate's methods as an override receives them. Where a call from Python takes
    other arguments, the class's docstring gives the module's own signature."""
    lines = text.splitlines(True)
    start = lines.index("class KWIXCloudDelegate:\n")
    end = next(i for i in range(start + 1, len(lines)) if not lines[i].startswith((" ", "\t")))
    found, called_otherwise = set(), []
    for index in range(start + 1, end):
        match = re.match(r"    def (On\w+)\((.*)\) -> None:$", lines[index].rstrip("\n"))
        if not match:
            continue
        name = match.group(1)
        if name not in DELEGATE_OVERRIDES:
            raise SystemExit(f"KWIXCloudDelegate.{name} has no entry in DELEGATE_OVERRIDES")
        found.add(name)
        module_signature = f"{name}({match.group(2)}) -> None"
        typed = override_signature(name, stub=True)
        if parameter_count(module_signature) != parameter_count(typed):
            called_otherwise.append(module_signature)
        lines[index] = f"    def {typed}:\n"
    if found != set(DELEGATE_OVERRIDES):
        raise SystemExit(f"not in the module's KWIXCloudDelegate: {sorted(set(DELEGATE_OVERRIDES) - found)}")
    doc = ['    """\n',
           "    Subclass it and define the callbacks you use; each is shown as an override receives it.\n"]
    if called_otherwise:
        doc.append("    Called from Python on this class, these take the engine's arguments instead:\n")
        doc.extend(f"      {signature}\n" for signature in called_otherwise)
    doc.append('    """\n')
    lines[start + 1:start + 1] = doc
    return "".join(lines)


def generate():
    with tempfile.TemporaryDirectory() as out:
        subprocess.run([sys.executable, "-m", "pybind11_stubgen", "_velmora", "-o", out,
                        "--print-invalid-expressions-as-is", "--exit-code",
                        "--ignore-invalid-expressions", r"velmora::kwix::\w+",
                        "--ignore-unresolved-names", "PyKWIXCloudDelegate"],
                       check=True, capture_output=True, text=True)
        with open(os.path.join(out, "_velmora.pyi")) as f:
            text = f.read()
    text = re.sub(r"velmora::kwix::(\w+)", r"\1", text)
    # The session also accepts None for the delegate.
    text = text.replace("PyKWIXCloudDelegate", "KWIXCloudDelegate | None")
    text = widen_text_parameters(text)
    text = type_overrides(text)
    if NULLABLE_RESULT[0] not in text:
        raise SystemExit(f"not found in the generated stub: {NULLABLE_RESULT[0]}")
    return text.replace(*NULLABLE_RESULT)


def widen_text_parameters(text):
    lines = text.splitlines(True)
    owner = None
    widened = set()
    for index, line in enumerate(lines):
        if line.startswith("class "):
            owner = re.match(r"class (\w+)", line).group(1)
        elif line.strip() and not line.startswith((" ", "\t")):
            owner = None
        match = re.match(r"\s*def (\w+)\(", line)
        if not match:
            continue
        function = (owner, match.group(1))
        for parameter, accepted in TEXT_PARAMETERS.get(function, {}).items():
            line, count = re.subn(rf"\b{parameter}: str\b(?! \|)", f"{parameter}: {accepted}", line)
            if count:
                widened.add(function + (parameter,))
        lines[index] = line
    expected = {function + (parameter,) for function, parameters in TEXT_PARAMETERS.items()
                for parameter in parameters}
    if expected - widened:
        raise SystemExit(f"text parameters not found in the generated stub: {sorted(expected - widened, key=str)}")
    return "".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    args = parser.parse_args()
    text = generate()
    if args.check:
        with open(STUB) as f:
            committed = f.read()
        if committed != text:
            sys.stdout.writelines(difflib.unified_diff(
                committed.splitlines(True), text.splitlines(True), STUB, "generated"))
            return 1
        return 0
    with open(STUB, "w") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
