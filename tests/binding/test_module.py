"""The module as a whole: its attributes and registration order, generated signatures,
where it finds the engine, and the interpreters it refuses."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

import _velmora

CLASSES = ["KWIXCloud", "KWIXCloudDelegate", "KwixString", "RoomParams", "EnterRoomParams",
           "AudioEncodeParams", "VideoEncodeParams", "NetworkQualityInfo", "UserInfo",
           "AudioObtainParams", "VADParams", "AudioFrame", "VideoFrame", "PixelFrame"]
ENUMERATIONS = ["Error", "VideoCodecType", "AudioCodecType", "KWIXRole", "KWIXScene",
                "StreamType", "AudioObtainMethod", "NetworkQuality", "ConnectionState",
                "VideoRotation", "VideoPixelFormat"]
FUNCTIONS = ["SetLogPath", "SetLogLevel", "EnableConsoleLog", "DisableConsoleLog",
             "DisableLogCompress", "DisableLogFile", "SetSocks5Proxy", "SetEnvironment"]
IMPORT_SYSTEM_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__",
                            "__file__"}
ENGINE = os.path.join(os.path.dirname(_velmora.__file__), "libvelmora.so")


def test_docstring():
    assert _velmora.__doc__ == "KWIX Velmora Python API (bind with C++ API by pybind11)"


def test_attributes_in_registration_order_and_nothing_else():
    expected = list(CLASSES)
    for name in ENUMERATIONS:
        expected.append(name)
        expected.extend(getattr(_velmora, name).__members__)
    expected.extend(FUNCTIONS)
    names = [n for n in vars(_velmora) if n not in IMPORT_SYSTEM_ATTRIBUTES]
    assert names == expected


@pytest.mark.parametrize("function, signature", [
    ("SetLogPath", "SetLogPath(path: str) -> bool"),
    ("SetLogLevel", "SetLogLevel(level: typing.SupportsInt | typing.SupportsIndex) -> None"),
    ("EnableConsoleLog", "EnableConsoleLog() -> None"),
    ("DisableConsoleLog", "DisableConsoleLog() -> None"),
    ("DisableLogCompress", "DisableLogCompress(disabled: bool) -> None"),
    ("DisableLogFile", "DisableLogFile(disabled: bool) -> None"),
    ("SetSocks5Proxy", "SetSocks5Proxy(ip: str, port: typing.SupportsInt | typing.SupportsIndex, "
                       "username: str, password: str) -> bool"),
    ("SetEnvironment", "SetEnvironment(env: str) -> bool"),
])
def test_generated_signatures(function, signature):
    assert getattr(_velmora, function).__doc__.splitlines()[0] == signature


@pytest.mark.parametrize("member, signature", [
    (_velmora.KWIXCloud.__init__,
     "__init__(self: _velmora.KWIXCloud, arg0: PyKWIXCloudDelegate) -> None"),
    (_velmora.KWIXCloud.Subscribe,
     "Subscribe(self: _velmora.KWIXCloud, user_id: str, type: velmora::kwix::StreamType) -> int"),
    (_velmora.KWIXCloud.EnterRoom,
     "EnterRoom(self: _velmora.KWIXCloud, params: velmora::kwix::EnterRoomParams) -> int"),
    (_velmora.KwixString.GetValue, "GetValue(self: _velmora.KwixString) -> str"),
])
def test_types_registered_later_are_named_by_their_cpp_names(member, signature):
    assert member.__doc__.splitlines()[0] == signature


def readelf(path):
    if shutil.which("readelf") is None:
        pytest.skip("readelf is not installed")
    return subprocess.run(["readelf", "-d", path], check=True, capture_output=True,
                          text=True).stdout


def test_module_finds_the_engine_beside_it_or_in_the_library_folder():
    dynamic = readelf(_velmora.__file__)
    paths = [line.split("[", 1)[1].rstrip("]") for line in dynamic.splitlines()
             if "(RUNPATH)" in line or "(RPATH)" in line]
    assert paths == ["$ORIGIN:$ORIGIN/../velmora.libs"]
    assert "Shared library: [libvelmora.so]" in dynamic
    assert "Library soname: [libvelmora.so]" in readelf(ENGINE)


def test_imports_from_any_directory(tmp_path):
    site = os.path.dirname(_velmora.__file__)
    result = subprocess.run(
        [sys.executable, "-c", "import _velmora; print(_velmora.__file__)"],
        cwd=tmp_path, capture_output=True, text=True, timeout=60,
        env=dict(os.environ, PYTHONPATH=site))
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == _velmora.__file__


def other_interpreters():
    roots = [os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))]
    found = {}
    for root in roots:
        for python in sorted(glob.glob(os.path.join(root, "versions", "3.*", "bin", "python3"))):
            version = os.path.basename(os.path.dirname(os.path.dirname(python)))
            if not version.startswith("3.9") and os.access(python, os.X_OK):
                found.setdefault(".".join(version.split(".")[:2]), python)
    return sorted(found.items())


@pytest.mark.parametrize("version, python", other_interpreters() or [
    pytest.param(None, None, marks=pytest.mark.skip(reason="no CPython other than 3.9 here"))])
def test_other_interpreters_are_refused_with_a_clear_message(tmp_path, version, python):
    # Under a plain module name any CPython tries to load the file. Lazy symbol binding lets
    # interpreters that lack some 3.9 function (3.8) reach the module's own version check.
    shutil.copy(_velmora.__file__, tmp_path / "_velmora.so")
    shutil.copy(ENGINE, tmp_path / "libvelmora.so")
    code = ("import os, sys; sys.setdlopenflags(os.RTLD_LAZY)\n"
            "try:\n    import _velmora\nexcept ImportError as e:\n    print(e)\n"
            "else:\n    print('imported')")
    result = subprocess.run([python, "-c", code], cwd=tmp_path, capture_output=True, text=True,
                            timeout=60)
    full_version = subprocess.run([python, "-c", "import sys; print(sys.version)"],
                                  capture_output=True, text=True, timeout=60).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.9, but the interpreter "
        f"version is incompatible: {full_version}.")
