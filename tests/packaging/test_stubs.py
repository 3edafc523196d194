"""The installed type stub: it matches the module, and type checkers use it."""
import os
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
