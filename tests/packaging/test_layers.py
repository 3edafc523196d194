"""The engine's folders keep to their layers: tools/check_layers.py passes on the engine and
names each kind of include that breaks the order."""
import os
import subprocess
import sys

import pytest

from paths import ROOT

CHECK = os.path.join(ROOT, "tools", "check_layers.py")
LAYERS = "# top to bottom\ncore   rooms\nmedia  audio\nlog    the log\n"


def check(src):
    return subprocess.run([sys.executable, CHECK, str(src)], capture_output=True, text=True)


def test_the_engine_keeps_to_its_layers():
    result = check(os.path.join(ROOT, "engine", "src"))
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("path, text, complaint", [
    ("media/mix.cpp", '#include "core/room.h"\n', "media/ must not include core/"),
    ("core/room.cpp", '#include "room.h"\n', "write includes from engine/src/"),
    ("core/room.cpp", '#include "bus/bus.h"\n', "bus/ is not a layer"),
    ("media/mix.cpp", '#include "velmora_loopback.h"\n', "only control/ includes"),
    ("stray.cpp", "int x;\n", "not in a folder of layers.txt"),
])
def test_an_include_that_breaks_the_order_fails_the_check(tmp_path, path, text, complaint):
    (tmp_path / "layers.txt").write_text(LAYERS)
    for folder in ("core", "media", "log"):
        (tmp_path / folder).mkdir()
    (tmp_path / "core" / "room.h").write_text('#include "media/mix.h"\n#include "log/log.h"\n')
    (tmp_path / "media" / "mix.h").write_text('#include "log/log.h"\n#include "kwix/velmora_kwix_cloud.h"\n')
    (tmp_path / "log" / "log.h").write_text("")
    assert check(tmp_path).returncode == 0
    (tmp_path / path).write_text(text)
    result = check(tmp_path)
    assert result.returncode == 1
    assert complaint in result.stdout
