"""Rooms across processes: a Redis server of a test's own, and a scenario's participants
played in another process, so that a bot runs in its own process as it would in production.

The loopback engine mirrors, through Redis, the members other processes have in its rooms
(see the bus section of engine/include/velmora_loopback.h): a process joins by connecting
its bus (`control.bus_connect(url)`) or by being started with VELMORA_LOOPBACK_REDIS=url.

    with RedisServer() as redis:
        control.bus_connect(redis.url)
        ...  # the bot enters room "demo"
        run_participants("scenario.toml", redis.url, room="demo")

Each process runs its own engine clock: a room that spans processes runs on the real clock
(a manual clock moves one process's time only).
"""
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

from . import control
from .clock import RealClock
from .recording import Recorder, Recording
from .runner import _Run


# How far from now a start time may lie: processes meant to start together start within this.
MAX_START_DELAY_S = 24 * 60 * 60


class RedisError(RuntimeError):
    """redis-server missing, not starting, or answering a command with an error."""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _encode_command(args):
    parts = [b"*%d\r\n" % len(args)]
    for arg in args:
        data = arg if isinstance(arg, bytes) else str(arg).encode()
        parts.append(b"$%d\r\n%s\r\n" % (len(data), data))
    return b"".join(parts)


class _Replies:
    def __init__(self, sock):
        self.file = sock.makefile("rb")

    def read(self):
        line = self.file.readline()
        if not line:
            raise RedisError("the Redis server closed the connection")
        kind, rest = line[:1], line[1:-2]
        if kind == b"+":
            return rest.decode()
        if kind == b"-":
            raise RedisError(rest.decode())
        if kind == b":":
            return int(rest)
        if kind == b"$":
            length = int(rest)
            if length < 0:
                return None
            data = self.file.read(length + 2)
            return data[:-2]
        if kind == b"*":
            return [self.read() for _ in range(int(rest))]
        raise RedisError(f"unexpected reply {line!r}")


class RedisServer:
    """A redis-server of its own on a free local port, without persistence; stopped by
    stop() or at the end of a `with` block. With `password` it asks every client for it
    (requirepass), and `url` carries it; `users` are ACL rules of further users, as
    redis-server's `user` directive reads them ("alice on >secret ~* &* +@all")."""

    def __init__(self, executable=None, port=None, password=None, users=()):
        self.executable = executable or shutil.which("redis-server")
        if self.executable is None:
            raise RedisError("redis-server was not found on PATH; install it (Debian: sudo apt-get install "
                             "redis-server) to run rooms across processes")
        self.port = port or free_port()
        self.password = password
        self.users = list(users)
        self.address = f"127.0.0.1:{self.port}"
        login = f":{urllib.parse.quote(password, safe='')}@" if password is not None else ""
        self.url = f"redis://{login}{self.address}"
        self._process = None
        self._folder = None

    def start(self, timeout_s=10.0):
        self._folder = tempfile.mkdtemp(prefix="velmora-redis-")
        command = [self.executable, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
                   "--appendonly", "no", "--dir", self._folder, "--loglevel", "warning"]
        if self.password is not None:
            command += ["--requirepass", self.password]
        for rule in self.users:
            command += ["--user", *rule.split()]
        self._process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout_s
        while True:
            if self._process.poll() is not None:
                output = self._process.stdout.read().decode(errors="replace")
                raise RedisError(f"redis-server on port {self.port} ended at once: {output.strip()}")
            try:
                if self.command("PING") == "PONG":
                    return self
            except OSError:
                pass
            if time.monotonic() > deadline:
                self.stop()
                raise RedisError(f"redis-server on port {self.port} did not answer within {timeout_s} s")
            time.sleep(0.02)

    def command(self, *args):
        """One command on a connection of its own (logged in with the server's password); its
        reply (bytes, str, int, list or None)."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as sock:
            replies = _Replies(sock)
            if self.password is not None:
                sock.sendall(_encode_command(["AUTH", self.password]))
                replies.read()
            sock.sendall(_encode_command(args))
            return replies.read()

    def pause(self):
        """Stops the server's process (SIGSTOP): connections stay open, nothing is answered."""
        self._process.send_signal(signal.SIGSTOP)

    def resume(self):
        self._process.send_signal(signal.SIGCONT)

    def restart(self, timeout_s=10.0):
        """Stops the server and starts a new one on the same port: every connection drops and
        whatever it kept is gone."""
        self.stop()
        return self.start(timeout_s)

    def stop(self):
        if self._process is not None:
            self._process.send_signal(signal.SIGCONT)  # a paused server cannot end
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            self._process.stdout.close()
            self._process = None
        if self._folder is not None:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class _ParticipantsRun(_Run):
    """A scenario's participants without its bot (the bot runs in another process)."""

    def __init__(self, scenario, clock, room):
        self.scenario, self.clock = scenario, clock
        self.room = room
        # What the participants did, as the in-process runner notes it for the bot's timeline.
        self.recording = Recording({"clock": clock.name, "scenario": scenario.name, "room": room})
        self.recorder = Recorder(self.recording, clock)
        self.bot_in_room = False
        self.cast(scenario.events)

    def bot_sessions(self):
        return []

    def release_bot(self):
        pass


def play_participants(scenario, room, url=None, start_at=None):
    """Plays `scenario`'s participants (not its bot) in `room` on the real clock, in this
    process, connected to the Redis at `url` when given. `start_at` (time.time() seconds):
    the scenario's time 0, for processes that start together. Returns the participants."""
    if start_at is not None and not (math.isfinite(start_at) and abs(start_at - time.time()) <= MAX_START_DELAY_S):
        raise ValueError(f"start_at {start_at!r} is not a wall time (time.time() seconds) within a day of now")
    if url is not None:
        control.bus_connect(url)
    if start_at is not None:
        time.sleep(max(0.0, start_at - time.time()))
    clock = RealClock()
    clock.start()
    played = _ParticipantsRun(scenario, clock, room)
    try:
        played.play()
    finally:
        played.finish()
    return played.participants


def spawn_participants(scenario_path, url, room, start_at=None, env=None, **popen):
    """`python -m velmora.testing participants` in a child process: the scenario's
    participants in `room`, through the Redis at `url`. Returns the Popen. The URL goes to the
    child in VELMORA_LOOPBACK_REDIS, not on its command line, where every user of the machine
    could read a password in it."""
    command = [sys.executable, "-m", "velmora.testing", "participants", os.fspath(scenario_path),
               "--room", room]
    if start_at is not None:
        command += ["--start-at", repr(start_at)]
    env = dict(os.environ if env is None else env, VELMORA_LOOPBACK_REDIS=url)
    return subprocess.Popen(command, env=env, **popen)


def run_participants(scenario_path, url, room, timeout_s=120, **popen):
    """spawn_participants and wait for it; raises RuntimeError with its output when it fails."""
    child = spawn_participants(scenario_path, url, room, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **popen)
    try:
        output, _ = child.communicate(timeout=timeout_s)
    except subprocess.TimeoutExpired:
        child.kill()
        output, _ = child.communicate()
        raise RuntimeError(f"the participants' process did not end within {timeout_s} s:\n"
                           f"{output.decode(errors='replace')}") from None
    if child.returncode != 0:
        raise RuntimeError(f"the participants' process ended with status {child.returncode}:\n"
                           f"{output.decode(errors='replace')}")
    return output.decode(errors="replace")


def wait_for(predicate, timeout_s=10.0, what="the condition"):
    """Polls `predicate` until it is true; raises TimeoutError naming `what` otherwise.
    Deliveries from another process arrive when they arrive: tests wait for them."""
    deadline = time.monotonic() + timeout_s
    while not predicate():
        if time.monotonic() > deadline:
            raise TimeoutError(f"{what} did not happen within {timeout_s} s")
        time.sleep(0.02)
