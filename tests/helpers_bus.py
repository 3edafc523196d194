"""Rooms across processes, for the tests of tests/bus: a bot here that notes what it hears of
the others in order, scenario files for the participants' process, messages of the room bus
and network settings made up byte for byte, and another process faked with them."""
import socket
import struct
import threading
import uuid

import _velmora as v
from velmora import QuietDelegate
from velmora.testing.participants import APP_ID, enter_params


class Bot(QuietDelegate):
    """Notes what matters here, in order; subscribes to every video stream it sees."""

    def __init__(self):
        super().__init__()
        self.cloud = None
        self._lock = threading.Lock()
        self._events = []

    def _add(self, *event):
        with self._lock:
            self._events.append(event)

    def events(self, *kinds):
        with self._lock:
            return [e for e in self._events if not kinds or e[0] in kinds]

    def OnRemoteUserEnterRoom(self, info):
        self._add("enter", info.user_id.GetValue())

    def OnRemoteUserExitRoom(self, info, reason):
        self._add("exit", info.user_id.GetValue(), reason)

    def OnRemoteAudioAvailable(self, user_id, available):
        self._add("audio", user_id, available)

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        self._add("video", user_id, available, int(stream_type))
        if available and self.cloud is not None:
            self.cloud.Subscribe(user_id, stream_type)

    def OnRemoteAudioReceived(self, user_id, frame):
        self._add("frame", user_id, frame.pts)

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        self._add("picture", user_id, frame.pts)

    def OnSeiMessageReceived(self, user_id, stream_type, message_type, message):
        self._add("sei", user_id, message_type, message)

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        self._add("cmd", user_id, cmd_id, seq, message)


class Member(Bot):
    """Also notes its own errors, exits and connection states."""

    def OnError(self, error):
        self._add("error", int(error))

    def OnExitRoom(self):
        self._add("exitroom")

    def OnConnectionStateChanged(self, old, new):
        self._add("state", int(old), int(new))


def enter_bot(room, user_id="bot"):
    bot = Bot()
    cloud = v.KWIXCloud(bot)
    bot.cloud = cloud
    assert cloud.EnterRoom(enter_params(user_id, room)) == 0
    return bot, cloud


def leave(bot, cloud):
    bot.cloud = None
    cloud.ExitRoom()


def room_name():
    return f"across-{uuid.uuid4().hex[:10]}"


def write_scenario(tmp_path, participants, events, duration_ms):
    lines = [f"name = \"across\"\nduration_ms = {duration_ms}\ntick_ms = 10\n\n[bot]\nuser_id = \"bot\"\n"]
    for pid in participants:
        lines.append(f"[[participant]]\nid = \"{pid}\"\njoin_ms = 0\n")
    for at_ms, who, action, fields in events:
        extra = "".join(f"{k} = {v!r}\n".replace("'", '"') for k, v in fields.items())
        member = f"who = \"{who}\"\n" if who else ""
        lines.append(f"[[event]]\nat_ms = {at_ms}\n{member}action = \"{action}\"\n{extra}")
    path = tmp_path / "scenario.toml"
    path.write_text("\n".join(lines).replace("True", "true").replace("False", "false"))
    return path


class FrameCounter(QuietDelegate):
    def __init__(self):
        super().__init__()
        self.frames = {}

    def OnRemoteAudioReceived(self, user_id, frame):
        self.frames[user_id] = self.frames.get(user_id, 0) + 1


WIRE = 3  # the wire version this engine reads


def wire_message(version, kind, user_id, fields=b"", origin=0x1234, sender=7, seq=1):
    user = user_id if isinstance(user_id, bytes) else user_id.encode()
    return struct.pack("<BBQQQH", version, kind, origin, sender, seq, len(user)) + user + fields


# Wire kinds, and the role an entering member's message carries.
HEARTBEAT, BYE, ENTER, EXIT, AUDIO_CHANNEL, VIDEO_CHANNEL, SUBSCRIBE, AUDIO, CUSTOM_CMD = 2, 3, 4, 5, 6, 7, 8, 9, 13
ANCHOR = struct.pack("<i", 0)


def room_channel(room):
    """The bus channel of `room` on the Redis server."""
    return f"velmora:room:{APP_ID}/s:{room}"


def claim_key(room, user_id):
    """The Redis key that holds `user_id`'s claim in `room`."""
    return f"velmora:user:{APP_ID}/s:{room}:{user_id}"


def stop(child):
    """Ends a child process (killing it if it still runs) and reads what it wrote."""
    if child.poll() is None:
        child.kill()
    child.communicate()


class FakeProcess:
    """Publishes what another process's bus would, as the test scripts it."""

    def __init__(self, server, room, origin=0xFEED):
        self.server, self.origin = server, origin
        self.channel = room_channel(room)

    def send(self, kind, user_id="", fields=b"", sender=0, seq=0):
        self.server.command("PUBLISH", self.channel,
                            wire_message(WIRE, kind, user_id, fields, origin=self.origin, sender=sender, seq=seq))

    def enter(self, user_id, sender, seq=1):
        self.send(ENTER, user_id, ANCHOR, sender, seq)

    def command(self, user_id, sender, seq, text, ordered=True):
        body = text.encode()
        self.send(CUSTOM_CMD, user_id, struct.pack("<I??I", 3, True, ordered, len(body)) + body, sender, seq)


# ---- Network settings as another process's bus publishes them --------------------------------

NETWORK = 14  # the wire kind of a network setting
# Each setting's index in the engine's network::Setting; a link is one of them, by direction.
LINK, DISCONNECT, UNRESPONSIVE, TIMEOUT, SEED, FORGET, QUALITY = range(7)
BANDWIDTH = 9
UPLINK, DOWNLINK = "uplink", "downlink"
EXCELLENT, GOOD, POOR, VERY_BAD, DOWN = (int(v.NETWORK_QUALITY_EXCELLENT), int(v.NETWORK_QUALITY_GOOD),
                                         int(v.NETWORK_QUALITY_POOR), int(v.NETWORK_QUALITY_VERY_BAD),
                                         int(v.NETWORK_QUALITY_DOWN))


def setting(what, user_id="", value=0, latency=0, jitter=0, audio=0.0, video=0.0, command=0.0, reorder=0.0):
    """A network setting as another process's bus publishes it: its index, then its fields."""
    user = struct.pack("<I", len(user_id.encode())) + user_id.encode()
    if what in (UPLINK, DOWNLINK):
        index, fields = LINK, user + struct.pack("<iqqdddd", what == DOWNLINK, latency, jitter, audio, video,
                                                 command, reorder)
    else:
        packs = {DISCONNECT: lambda: user + struct.pack("<q", value),
                 UNRESPONSIVE: lambda: user + struct.pack("<?", bool(value)),
                 TIMEOUT: lambda: struct.pack("<q", value), SEED: lambda: struct.pack("<Q", value % 2 ** 64),
                 FORGET: lambda: user, BANDWIDTH: lambda: user + struct.pack("<iq", 0, value)}  # uplink
        index, fields = what, packs.get(what, lambda: user + struct.pack("<i", value))()
    return wire_message(WIRE, NETWORK, "", struct.pack("<B", index) + fields, origin=0xFEED, sender=0, seq=0)


class BusWatcher:
    """Every message published on a room's bus channel from its making on, as (kind, user id,
    the fields after the user id), read on a connection and a thread of its own; close() ends
    both."""

    def __init__(self, server, room):
        self._sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        self._file = self._sock.makefile("rb")
        channel = room_channel(room).encode()
        self._sock.sendall(b"*2\r\n$9\r\nSUBSCRIBE\r\n$%d\r\n%s\r\n" % (len(channel), channel))
        assert self._read()[0] == b"subscribe"  # subscribed: nothing published from now on is missed
        self._sock.settimeout(None)
        self._lock = threading.Lock()
        self._seen = []
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _read(self):
        line = self._file.readline()
        if not line:
            raise EOFError("the Redis server closed the connection")
        kind, rest = line[:1], line[1:-2]
        if kind == b"*":
            return [self._read() for _ in range(int(rest))]
        if kind == b"$":
            return self._file.read(int(rest) + 2)[:-2]
        if kind == b":":
            return int(rest)
        raise ValueError(f"unexpected reply {line!r}")

    def _run(self):
        try:
            while True:
                reply = self._read()
                if reply[0] == b"message" and len(reply[2]) >= 28:
                    payload = reply[2]
                    (length,) = struct.unpack_from("<H", payload, 26)
                    with self._lock:
                        self._seen.append((payload[1], payload[28:28 + length].decode(errors="replace"),
                                           payload[28 + length:]))
        except (OSError, EOFError, ValueError):
            pass  # closed

    def seen(self, kind, user_id):
        return bool(self.fields(kind, user_id))

    def fields(self, kind, user_id):
        """The fields of each such message so far, in order."""
        with self._lock:
            return [fields for k, who, fields in self._seen if (k, who) == (kind, user_id)]

    def kinds(self, user_id, kinds):
        """The kinds among `kinds` of user_id's messages so far, in order."""
        with self._lock:
            return [k for k, who, _ in self._seen if who == user_id and k in kinds]

    def audio(self, user_id):
        """The audio frames user_id's process published so far: (codec, sample rate, channels, payload)."""
        frames = []
        # continuous, clear (1 byte each), rate, channels, bits, codec, pts (4 each), has_voice
        # (1), then the payload's length (4) and bytes.
        for fields in self.fields(AUDIO, user_id):
            rate, channels, _, codec = struct.unpack_from("<iiii", fields, 2)
            (size,) = struct.unpack_from("<I", fields, 23)
            frames.append((codec, rate, channels, fields[27:27 + size]))
        return frames

    def close(self):
        try:
            self._sock.shutdown(socket.SHUT_RDWR)  # wakes the reading thread; close() alone would not
        except OSError:
            pass  # closed already
        self._thread.join(10)
        assert not self._thread.is_alive(), "the bus watcher's thread did not end"
        self._file.close()
        self._sock.close()
