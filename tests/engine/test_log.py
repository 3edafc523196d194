"""The engine's log as a user sees it: the file under SetLogPath, its lines, the level filter,
the console copy, rotation, and what the proxy and environment settings leave in it."""
import threading

import pytest

import _velmora
from helpers_log import DEBUG, ERROR, INFO, NAMES, WARNING, all_texts, parse, read, rotated, write
from velmora.testing import control

PASSWORD = "pa55-w0rd-XYZ"


@pytest.fixture
def log_dir(tmp_path):
    directory = tmp_path / "not" / "yet" / "there"
    assert _velmora.SetLogPath(str(directory)) is True
    return directory


def test_lines_carry_level_thread_and_text_in_a_created_directory(log_dir):
    write(WARNING, "from main")
    worker = threading.Thread(target=write, args=(ERROR, "from worker\nsecond line"))
    worker.start()
    worker.join()
    control.log_flush()
    assert control.log_file() == str(log_dir / "velmora.log")
    assert parse(read(log_dir / "velmora.log")) == [
        ("WARNING", threading.get_native_id(), "from main"),
        ("ERROR", worker.native_id, r"from worker\nsecond line"),
    ]


def test_nothing_is_written_before_a_log_path_is_set(tmp_path):
    write(ERROR, "too early")
    assert control.log_file() is None
    assert _velmora.SetLogPath(str(tmp_path)) is True
    write(ERROR, "in time")
    assert all_texts(tmp_path) == ["in time"]


@pytest.mark.parametrize("bad", ["", "{file}", "{file}/below"])
def test_unusable_log_path_is_refused_and_the_current_log_kept(log_dir, tmp_path, bad):
    blocker = tmp_path / "plain-file"
    blocker.write_text("")
    assert _velmora.SetLogPath(bad.format(file=blocker)) is False
    write(INFO, "still here")
    assert control.log_file() == str(log_dir / "velmora.log")
    refusal, kept = all_texts(log_dir)
    assert refusal.startswith(f'log: SetLogPath("{bad.format(file=blocker)}") refused: ')
    assert kept == "still here"


@pytest.mark.parametrize("level, shown", [
    (-7, NAMES), (DEBUG, NAMES), (INFO, NAMES[1:]), (WARNING, NAMES[2:]), (ERROR, NAMES[3:]),
    (4, []), (1000, []), (-2 ** 31, NAMES), (2 ** 31 - 1, []),
])
def test_level_filter(log_dir, level, shown):
    _velmora.SetLogLevel(level)
    for each in range(4):
        write(each, f"probe {NAMES[each]}")
    assert [t for t in all_texts(log_dir) if t.startswith("probe")] == [f"probe {n}" for n in shown]


@pytest.mark.parametrize("with_file", [True, False])
def test_console_copy_goes_to_stderr_while_enabled(tmp_path, capfd, with_file):
    if with_file:
        assert _velmora.SetLogPath(str(tmp_path)) is True
    write(INFO, "before")
    _velmora.EnableConsoleLog()
    write(INFO, "shown")
    _velmora.DisableConsoleLog()
    write(INFO, "after")
    assert [text for _, _, text in parse(capfd.readouterr().err)] == ["shown"]
    assert all_texts(tmp_path) == (["before", "shown", "after"] if with_file else [])


@pytest.mark.parametrize("compress", [True, False])
def test_rotation_keeps_every_line_in_order_within_the_size_limit(log_dir, compress):
    _velmora.DisableLogCompress(not compress)
    control.log_set_rotation(2000, 100)
    expected = [f"line {i:03d} " + "x" * 20 for i in range(200)]
    for text in expected:
        write(INFO, text)
    assert all_texts(log_dir) == expected
    files = rotated(log_dir)
    assert len(files) >= 4
    for path in files:
        assert path.name.endswith(".gz") is compress
        assert len(read(path).encode()) <= 2000
        with open(path, "rb") as f:
            assert (f.read(2) == b"\x1f\x8b") is compress


@pytest.mark.parametrize("keep", [0, 1, 3])
def test_only_the_newest_rotated_files_are_kept(log_dir, keep):
    control.log_set_rotation(500, keep)
    expected = [f"entry {i:03d}" for i in range(150)]
    for text in expected:
        write(INFO, text)
    kept = all_texts(log_dir)
    assert len(rotated(log_dir)) == keep
    assert kept == expected[len(expected) - len(kept):]


def test_a_new_run_does_not_overwrite_earlier_rotated_files(tmp_path):
    control.log_set_rotation(300, 100)
    assert _velmora.SetLogPath(str(tmp_path)) is True
    for i in range(30):
        write(INFO, f"first run {i}")
    control.log_flush()
    first = {path.name: read(path) for path in rotated(tmp_path)}
    control.settings_reset()
    control.log_set_rotation(300, 100)
    assert _velmora.SetLogPath(str(tmp_path)) is True
    for i in range(30):
        write(INFO, f"second run {i}")
    control.log_flush()
    assert first and all(read(tmp_path / name) == data for name, data in first.items())
    assert [t for t in all_texts(tmp_path) if t.startswith("second")] == [f"second run {i}" for i in range(30)]


def test_disabled_log_file_writes_nothing_and_resumes_on_the_same_path(tmp_path):
    _velmora.DisableLogFile(True)
    assert _velmora.SetLogPath(str(tmp_path / "logs")) is True
    write(ERROR, "suppressed")
    control.log_flush()
    assert control.log_file() is None
    assert not (tmp_path / "logs" / "velmora.log").exists()
    _velmora.DisableLogFile(False)
    write(ERROR, "resumed")
    _velmora.DisableLogFile(True)
    write(ERROR, "suppressed again")
    _velmora.DisableLogFile(False)
    write(ERROR, "resumed again")
    assert all_texts(tmp_path / "logs") == ["resumed", "resumed again"]


def test_lines_of_concurrent_threads_stay_whole_across_rotations(log_dir):
    control.log_set_rotation(4000, 1000)

    def burst():
        for i in range(200):
            write(INFO, f"{threading.get_native_id()} {i}")

    threads = [threading.Thread(target=burst) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    control.log_flush()
    lines = [line for path in rotated(log_dir) + [log_dir / "velmora.log"] for line in parse(read(path))]
    assert all(text.split()[0] == str(tid) for _, tid, text in lines)
    for thread in threads:
        assert [t for _, tid, t in lines if tid == thread.native_id] == [f"{thread.native_id} {i}" for i in range(200)]


@pytest.mark.parametrize("ip, port, username, password, accepted", [
    ("192.0.2.1", 1080, None, None, True),
    ("2001:db8::1", 1, "user", PASSWORD, True),
    ("proxy-1.example.com.", 65535, "", "", True),
    ("", 1080, None, None, False),
    ("256.1.1.1", 1080, None, None, False),
    ("bad host", 1080, None, None, False),
    ("-edge.example", 1080, None, None, False),
    ("a" * 64 + ".example", 1080, None, None, False),
    ("192.0.2.1", 0, None, None, False),
    ("192.0.2.1", 1080, "user", None, False),
    ("192.0.2.1", 1080, None, PASSWORD, False),
    ("192.0.2.1", 1080, "u" * 256, PASSWORD, False),
])
def test_proxy_is_validated_and_its_password_never_shown(log_dir, capfd, ip, port, username, password, accepted):
    _velmora.SetLogLevel(DEBUG)
    _velmora.EnableConsoleLog()
    assert _velmora.SetSocks5Proxy(ip, port, username, password) is accepted
    control.log_flush()
    console = capfd.readouterr().err
    logged = read(log_dir / "velmora.log")
    assert PASSWORD not in logged and PASSWORD not in console
    assert f'ip="{ip}" port={port}' in logged


@pytest.mark.parametrize("env, accepted", [
    ("production", True), ("staging", True), ("test", True),
    ("Production", False), ("", False), ("prod", False), (None, False),
])
def test_environment_values(log_dir, env, accepted):
    assert _velmora.SetEnvironment(env) is accepted
    assert (f"environment: {env}" in all_texts(log_dir)) is accepted


def test_reset_restores_level_console_and_compression(tmp_path, capfd):
    _velmora.SetLogLevel(ERROR)
    _velmora.EnableConsoleLog()
    _velmora.DisableLogCompress(True)
    control.log_set_rotation(100, 0)
    assert _velmora.SetLogPath(str(tmp_path)) is True
    control.settings_reset()
    assert control.log_file() is None
    assert _velmora.SetLogPath(str(tmp_path)) is True
    write(INFO, "info again")
    assert all_texts(tmp_path) == ["info again"]
    assert capfd.readouterr().err == ""
    control.log_set_rotation(1, 100)
    for i in range(5):
        write(INFO, f"rotating {i}")
    control.log_flush()
    assert [p.suffix for p in rotated(tmp_path)] == [".gz"] * 5


def test_entering_and_leaving_are_logged_at_the_default_level(log_dir, room):
    alice = room.member("alice")
    assert alice.enter() == 0
    assert alice.cloud.ExitRoom() == 0
    control.log_flush()
    texts = [text for text in all_texts(log_dir) if text.startswith(("EnterRoom", "ExitRoom"))]
    assert texts == [f"EnterRoom: user alice entered room 1400000001/s:{room.name} as anchor",
                     f"ExitRoom: user alice left room 1400000001/s:{room.name}"]


REFUSED = """
    import _velmora as v
    from velmora import QuietDelegate
    from velmora.testing import control
    from velmora.testing.participants import enter_params
    {setup}
    cloud = v.KWIXCloud({delegate}())
    print("EnterRoom", cloud.EnterRoom(enter_params("alice", "refusals")))
    for engine in control.sessions():
        control.wait_idle(engine)
"""


@pytest.mark.parametrize("setup, env, delegate, report, times", [
    # A taken user id and an unreachable room bus give the same code: the report says which.
    ("first = v.KWIXCloud(QuietDelegate()); first.EnterRoom(enter_params('alice', 'refusals'))", {}, "QuietDelegate",
     "velmora: EnterRoom refused (ERR_ENTER_ROOM_FAILED): user alice is already in room 1400000001/s:refusals", 1),
    ("", {"VELMORA_LOOPBACK_REDIS": "redis://127.0.0.1:1"}, "QuietDelegate",
     "velmora: EnterRoom: VELMORA_LOOPBACK_REDIS=redis://127.0.0.1:1: ", 1),
    # A delegate without a callback's method: the report says how to quiet it.
    ("", {}, "v.KWIXCloudDelegate",
     "velmora: callback OnConnectionStateChanged failed: Tried to call pure virtual function "
     '"KWIXCloudDelegate::OnConnectionStateChanged" (the delegate does not define OnConnectionStateChanged: '
     "define it, or derive the delegate from one that accepts every callback, in Python velmora.QuietDelegate)",
     2),  # INIT to CONNECTING, CONNECTING to CONNECTED
], ids=["user id taken", "bus unreachable", "callback missing"])
def test_what_the_user_must_act_on_reaches_stderr_without_the_console_log(run_python, setup, env, delegate,
                                                                        report, times):
    child = run_python(REFUSED.format(setup=setup, delegate=delegate), env=env)
    assert child.returncode == 0, child.stderr
    assert child.stderr.count(report) == times, child.stderr
