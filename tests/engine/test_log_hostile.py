"""The engine's log against what a careless or hostile host leaves in its way: unusable and
overlong paths, files planted under the log's name, a folder removed or unwritable while in
use, many threads and several processes on one folder, and secrets in the proxy settings."""
import gzip
import os
import pathlib
import shutil
import tempfile
import threading

import pytest

import _velmora
from helpers_log import DEBUG, ERROR, INFO, ROTATED, all_lines, all_texts, parse, read, rotated, write
from velmora.testing import control

PATH_MAX = os.pathconf("/", "PC_PATH_MAX")
# Room the engine keeps in the folder's path for its longest file name (a rotated file of the
# highest generation being compressed).
LONGEST_NAME = "velmora.log.18446744073709551615.gz.tmp"
LONGEST_FOLDER = PATH_MAX - 2 - len(LONGEST_NAME)


def tree(root):
    return sorted(os.path.join(d, n) for d, dirs, files in os.walk(root) for n in dirs + files)


def folder_of_length(base, length):
    """A path below `base` (not created) whose absolute form is exactly `length` bytes."""
    path = os.path.realpath(base)
    while len(path) < length:
        room = length - len(path) - 1
        path += "/" + "d" * (200 if room > 201 else room)
    assert len(path) == length
    return path


@pytest.fixture
def current(tmp_path):
    """A log already in use, which a refused path must leave as it was."""
    directory = tmp_path / "current"
    assert _velmora.SetLogPath(str(directory)) is True
    return directory


def _symlink_loop(tmp_path):
    os.symlink(tmp_path / "loop-b", tmp_path / "loop-a")
    os.symlink(tmp_path / "loop-a", tmp_path / "loop-b")
    return str(tmp_path / "loop-a" / "below")


def _plain_file(tmp_path):
    (tmp_path / "plain").write_text("")
    return str(tmp_path / "plain" / "new" / "folders")


@pytest.mark.parametrize("make_path", [
    _symlink_loop,
    _plain_file,
    lambda tmp_path: str(tmp_path / "new" / ("x" * 256)),
    lambda tmp_path: str(tmp_path / "new") + ("/" + "y" * 200) * 20,
    lambda tmp_path: folder_of_length(tmp_path / "new", LONGEST_FOLDER + 1),
    lambda tmp_path: str(tmp_path / "dangling"),
], ids=["symlink-loop", "below-a-file", "long-name", "4000-bytes", "no-room-for-rotation",
        "dangling-link"])
def test_refused_path_creates_nothing_and_says_why_in_the_current_log(tmp_path, current, make_path):
    os.symlink(tmp_path / "nowhere", tmp_path / "dangling")
    path = make_path(tmp_path)
    before = tree(tmp_path)
    assert _velmora.SetLogPath(path) is False
    assert tree(tmp_path) == before
    assert control.log_file() == str(current / "velmora.log")
    write(INFO, "kept")
    refusal, kept = all_texts(current)
    assert refusal.startswith(f'log: SetLogPath("{path}") refused: ') and kept == "kept"


def test_the_longest_accepted_folder_still_rotates(tmp_path):
    folder = folder_of_length(tmp_path, LONGEST_FOLDER)
    assert _velmora.SetLogPath(folder) is True
    control.log_set_rotation(300, 1000)
    expected = [f"deep {i}" for i in range(40)]
    for text in expected:
        write(INFO, text)
    directory = type(tmp_path)(folder)
    assert len(rotated(directory)) >= 3
    assert all_texts(directory) == expected


def test_dot_dot_cancels_a_folder_that_would_be_made(tmp_path, monkeypatch):
    (tmp_path / "real").mkdir()
    os.symlink(tmp_path / "real", tmp_path / "link")
    monkeypatch.chdir(tmp_path / "link")
    assert _velmora.SetLogPath("never/made/../../logs/./here/..") is True
    assert control.log_file() == str(tmp_path / "real" / "logs" / "velmora.log")
    assert sorted(os.listdir(tmp_path / "real")) == ["logs"]
    # The folder is held by its absolute path: a later chdir of the host does not move it.
    monkeypatch.chdir(tmp_path)
    write(INFO, "after chdir")
    assert all_texts(tmp_path / "real" / "logs") == ["after chdir"]


@pytest.mark.parametrize("plant", ["fifo", "symlink", "folder", "dangling-symlink"])
def test_a_planted_log_file_is_refused_without_blocking(tmp_path, run_python, plant):
    outside = tmp_path / "outside.txt"
    outside.write_text("precious\n")
    target = tmp_path / "target"
    target.mkdir()
    planted = target / "velmora.log"
    if plant == "fifo":
        os.mkfifo(planted)
    elif plant == "symlink":
        os.symlink(outside, planted)
    elif plant == "folder":
        planted.mkdir()
    else:
        os.symlink(tmp_path / "missing", planted)
    result = run_python(f"""
        import _velmora
        from velmora.testing import control
        assert _velmora.SetLogPath({str(tmp_path / "first")!r})
        print(_velmora.SetLogPath({str(target)!r}), control.log_file())
        control.log_write(control.LOG_INFO, "after the refusal")
    """, timeout=30)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", str(tmp_path / "first" / "velmora.log")]
    assert all_texts(tmp_path / "first")[-1] == "after the refusal"
    assert outside.read_text() == "precious\n"
    assert not (tmp_path / "missing").exists()


def test_a_file_replaced_by_a_link_while_in_use_is_not_written_through(tmp_path, capfd):
    control.log_set_retry_interval(86400000)  # no retry until the test asks for one
    assert _velmora.SetLogPath(str(tmp_path)) is True
    outside = tmp_path / "outside.txt"
    outside.write_text("precious\n")
    write(INFO, "before")
    os.rename(tmp_path / "velmora.log", tmp_path / "moved.log")
    os.symlink(outside, tmp_path / "velmora.log")
    write(INFO, "lost 1")
    write(INFO, "lost 2")
    assert outside.read_text() == "precious\n"
    err = capfd.readouterr().err
    assert err.count("cannot write") == 1 and "symbolic link" in err
    os.remove(tmp_path / "velmora.log")
    write(INFO, "lost 3")  # the way is free, but the log waits for its retry
    assert not (tmp_path / "velmora.log").exists()
    control.log_set_retry_interval(0)  # the retry is due
    write(INFO, "back")
    assert [t for _, _, t in parse(read(tmp_path / "moved.log"))] == ["before"]
    assert all_texts(tmp_path) == ["log: 3 line(s) lost while this file could not be written", "back"]


def test_a_folder_removed_while_in_use_is_made_again(tmp_path):
    directory = tmp_path / "a" / "b"
    assert _velmora.SetLogPath(str(directory)) is True
    write(INFO, "first")
    shutil.rmtree(tmp_path / "a")
    write(INFO, "second")
    assert control.log_file() == str(directory / "velmora.log")
    assert all_texts(directory) == ["second"]


def test_a_folder_without_write_permission_is_refused(run_python):
    # Under /tmp so that an unprivileged user can reach it (pytest's own folders are private).
    with tempfile.TemporaryDirectory() as base:
        base = pathlib.Path(base)
        os.chmod(base, 0o755)
        (base / "writable").mkdir(mode=0o777)
        os.chmod(base / "writable", 0o777)
        (base / "read-only").mkdir()
        os.chmod(base / "read-only", 0o555)
        drop = "os.setgid(65534); os.setuid(65534)" if os.geteuid() == 0 else "pass"
        result = run_python(f"""
            import os
            {drop}  # root writes anywhere: the check needs an unprivileged user
            try:
                import _velmora
            except Exception as error:
                raise SystemExit(f"IMPORT FAILED {{error!r}}")
            print(*[_velmora.SetLogPath(os.path.join({str(base)!r}, p))
                    for p in ["read-only", "read-only/below", "writable/below"]])
        """)
        if "IMPORT FAILED" in result.stderr:
            pytest.skip("an unprivileged user cannot import the module here: " + result.stderr.strip())
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["False", "False", "True"]
        assert os.listdir(base / "read-only") == []
        assert os.listdir(base / "writable") == ["below"]


def _archives_are_valid(directory):
    names = os.listdir(directory)
    assert not [n for n in names if n.endswith(".tmp")]
    for name in names:
        if name.endswith(".gz"):
            with gzip.open(directory / name) as f:
                f.read()
    return [n for n in names if ROTATED.fullmatch(n)]


def test_ten_threads_lose_no_line_across_rotations(tmp_path):
    assert _velmora.SetLogPath(str(tmp_path)) is True
    control.log_set_rotation(3000, 100000)
    count = 300

    def burst(tag):
        for i in range(count):
            write(INFO, f"{tag} {i}")

    threads = [threading.Thread(target=burst, args=(f"t{n}",)) for n in range(10)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    texts = all_texts(tmp_path)
    for n in range(10):
        assert [t for t in texts if t.startswith(f"t{n} ")] == [f"t{n} {i}" for i in range(count)]
    assert len(_archives_are_valid(tmp_path)) >= 10


WRITER = """
    import os
    import _velmora
    from velmora.testing import control
    assert _velmora.SetLogPath({folder!r})
    control.log_set_rotation(4000, 100000)
    pid = os.fork() if {fork} else None
    tag = "{tag}" if pid != 0 else "child"
    # Both writers start together, or the second would find the first done.
    open(os.path.join({gate!r}, tag), "w").close()
    while len(os.listdir({gate!r})) < 2:
        pass
    for i in range({count}):
        control.log_write(control.LOG_INFO, f"{{tag}} {{i}}")
    control.log_flush()
    if pid == 0:
        os._exit(0)
    if pid:
        assert os.waitpid(pid, 0)[1] == 0
"""


@pytest.mark.parametrize("fork", [False, True], ids=["two-processes", "forked-child"])
def test_processes_sharing_a_folder_keep_every_line_and_valid_archives(tmp_path, run_python, fork):
    count = 4000
    (tmp_path / "gate").mkdir()
    tags = ["parent", "child"] if fork else ["first", "second"]
    writers = [tags[0]] if fork else tags
    results = [None] * len(writers)

    def run(index):
        results[index] = run_python(WRITER.format(folder=str(tmp_path / "logs"), gate=str(tmp_path / "gate"),
                                                  fork=fork, tag=writers[index], count=count), timeout=120)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(writers))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert result.returncode == 0, result.stderr
    assert len(_archives_are_valid(tmp_path / "logs")) >= 10
    lines = all_lines(tmp_path / "logs")
    for tag in tags:
        assert [t for _, _, t in lines if t.startswith(tag + " ")] == [f"{tag} {i}" for i in range(count)]
    if fork:
        # Each process names its own threads: the child's are not the parent's.
        parent_tids = {tid for _, tid, t in lines if t.startswith("parent ")}
        child_tids = {tid for _, tid, t in lines if t.startswith("child ")}
        assert len(child_tids) == 1 and not parent_tids & child_tids


@pytest.mark.parametrize("level", [DEBUG, INFO, ERROR, 4])
@pytest.mark.parametrize("port, username, accepted", [
    (1080, "user", True), (0, "user", False), (1080, None, False), (1080, "u" * 256, False),
])
def test_the_proxy_password_never_reaches_log_or_stderr(tmp_path, capfd, level, port, username, accepted):
    password = 'se"cr%s\n3t'
    assert _velmora.SetLogPath(str(tmp_path)) is True
    _velmora.SetLogLevel(level)
    _velmora.EnableConsoleLog()
    assert _velmora.SetSocks5Proxy("192.0.2.1", port, username, password) is accepted
    texts = all_texts(tmp_path)
    err = capfd.readouterr().err
    assert bool(texts) is (level <= INFO if accepted else level == DEBUG)
    for secret in [password, 'se"cr', r"cr%s\n3t"]:
        assert secret not in err and all(secret not in t for t in texts)
