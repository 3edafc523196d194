"""The documentation site: it builds in strict mode, a broken link fails the build, and the
generated reference pages cover the module and the control header."""
import importlib.util
import os
import re
import subprocess
import sys

import pytest

import _velmora
from paths import ROOT


pytest.importorskip("mkdocs", reason="mkdocs is not installed (pip install mkdocs)")
yaml = pytest.importorskip("yaml")


def load_generator():
    spec = importlib.util.spec_from_file_location("api_reference",
                                                  os.path.join(ROOT, "tools", "api_reference.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def build(config, site):
    return subprocess.run([sys.executable, "-m", "mkdocs", "build", "--strict", "-f", str(config),
                           "-d", str(site)], capture_output=True, text=True, timeout=300, cwd=ROOT)


def test_site_builds_strictly_with_its_generated_pages(tmp_path):
    result = build(os.path.join(ROOT, "mkdocs.yml"), tmp_path / "site")
    assert result.returncode == 0, result.stderr
    for page in ("reference", "control-api", "threading", "asyncio", "quickstart", "testing", "testing-reference"):
        assert (tmp_path / "site" / page / "index.html").is_file(), page


@pytest.mark.parametrize("link, builds", [
    ("[threading](threading.md#what-a-callback-must-not-do)", True),
    ("[gone](nowhere.md)", False),
    ("[gone](threading.md#no-such-part)", False),
    ("[gone](reference.md#no-such-class)", False),
])
def test_a_broken_link_fails_the_build(tmp_path, link, builds):
    docs = tmp_path / "docs"
    subprocess.run(["cp", "-r", os.path.join(ROOT, "docs"), str(docs)], check=True)
    (docs / "extra.md").write_text(f"# Extra\n\nSee {link}.\n")
    with open(os.path.join(ROOT, "mkdocs.yml")) as source:
        config = yaml.safe_load(source)
    config["docs_dir"] = str(docs)
    config["hooks"] = [os.path.join(ROOT, hook) for hook in config["hooks"]]
    config["nav"].append({"Extra": "extra.md"})
    (tmp_path / "mkdocs.yml").write_text(yaml.safe_dump(config))
    result = build(tmp_path / "mkdocs.yml", tmp_path / "site")
    assert (result.returncode == 0) == builds, result.stderr
    if not builds:
        assert link.split("(")[1].rstrip(")").split("#")[-1] in result.stderr


def test_reference_names_every_class_member_enumerator_and_function():
    page = load_generator().reference_page()
    missing = []
    for name, value in vars(_velmora).items():
        if name.startswith("_") or not (isinstance(value, type) or callable(value)):
            continue
        if f"### {name}\n" not in page and not re.search(rf"^{name}\(", page, re.M):
            missing.append(name)
        if isinstance(value, type):
            members = getattr(value, "__members__", None) or {
                n: m for n, m in vars(value).items() if not n.startswith("_")}
            missing += [f"{name}.{member}" for member in members
                        if not re.search(rf"(`{member}`|^{member}\()", page, re.M)]
    assert not missing


def test_control_page_lists_every_function_of_the_header():
    with open(os.path.join(ROOT, "engine", "include", "velmora_loopback.h")) as header:
        declared = set(re.findall(r"\b(vlb_\w+)\(", header.read()))
    page = load_generator().control_page()
    listed = set(re.findall(r"^\S.*\b(vlb_\w+)\(", page, re.M))
    assert declared and declared == listed


def test_testing_reference_names_every_public_name_field_and_action():
    generator = load_generator()
    page = generator.testing_page()
    from velmora.testing import (assertions, clock, control, participants, processes, recording, runner,
                                 scenario, values)
    missing = [f"{module.__name__}.{name}" for module in (assertions, clock, control, participants, processes,
                                                          recording, runner, values)
               for name in generator.module_names(module) if f"### {name}\n" not in page]
    for fields in (scenario.TOP_FIELDS, scenario.BOT_FIELDS, scenario.PARTICIPANT_FIELDS):
        missing += [field for field in fields if f"| `{field}` |" not in page]
    for action, fields in scenario.ACTIONS.items():
        block = page[page.index(f"\n{action} ("if action not in scenario.ROOM_WIDE_ACTIONS else f"\n{action}\n"):]
        missing += [f"{action}.{field}" for field in fields if f"\n    {field}: " not in block[:4000]]
        meaning = scenario.ACTION_HELP.get(action, ("", {}))[0]
        if meaning and f"# {meaning}\n{action}" not in page:
            missing.append(f"{action} (its meaning)")
    assert not missing
    # Each field of a non-network action says its allowed values and, where it has one, its unit.
    assert "    duration_ms: default None\n        an integer from 1 to 86400000, in ms: how long" in page
