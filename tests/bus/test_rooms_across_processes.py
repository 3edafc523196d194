"""Rooms that span processes through Redis: a bot here, participants in a child process."""
import os
import signal
import struct
import subprocess
import sys
import time

import pytest

import _velmora as v
from helpers_bus import (ANCHOR, AUDIO, AUDIO_CHANNEL, BYE, CUSTOM_CMD, ENTER, EXIT, HEARTBEAT, VIDEO_CHANNEL, WIRE, Bot,
                         BusWatcher, FakeProcess, FrameCounter, Member, claim_key, enter_bot, leave, room_channel,
                         room_name, stop, wire_message, write_scenario)
from velmora.testing import control, load_scenario, run
from velmora.testing.media import tone
from velmora.testing.participants import enter_params
from velmora.testing.processes import run_participants, spawn_participants, wait_for

pytestmark = [pytest.mark.skipif(not control.available(), reason="needs the loopback engine"),
              pytest.mark.slow]

TIMED_OUT = 1  # OnRemoteUserExitRoom's reason for a member whose process went silent


def sender_script(who, commands):
    """Speech, a video stream with a SEI message, and `commands` numbered custom commands."""
    return [
        # Room-wide, and played in the participants' process: it must not disturb the bot's.
        (0, None, "custom_cmd_loss", {"share": 1.0}),
        (50, who, "speak", {"source": "tone", "duration_ms": 400, "sample_rate": 16000}),
        (60, who, "open_video", {"stream": "high", "fps": 20}),
        (300, who, "sei", {"message": f"sei of {who}"}),
        (320, who, "custom_cmd", {"message": who + " {n}", "cmd_id": 9, "count": commands, "every_ms": 10}),
    ]


@pytest.mark.parametrize("senders", [["alice"], ["alice", "bob", "carol"]])
def test_bot_here_sees_participants_of_another_process(velmora_bus, tmp_path, senders):
    commands = 12
    events = [e for who in senders for e in sender_script(who, commands)]
    path = write_scenario(tmp_path, senders, events, duration_ms=900)
    room = room_name()
    bot, cloud = enter_bot(room)
    try:
        run_participants(path, velmora_bus.url, room)
        wait_for(lambda: len(bot.events("exit")) == len(senders), what="every participant's exit")
    finally:
        leave(bot, cloud)
    # The same scenario within one process: what the bot must hear of each sender.
    local = run(load_scenario(path), FrameCounter).bot.frames
    for who in senders:
        mine = [e for e in bot.events() if e[1] == who]
        kinds = [e[0] for e in mine]
        assert kinds[0] == "enter" and mine[-1] == ("exit", who, 0)
        assert ("audio", who, True) in mine and ("video", who, True, int(v.STREAM_TYPE_VIDEO_HIGH)) in mine
        assert kinds.index("audio") < kinds.index("frame")
        # Channels close before the exit, as for a member of this process.
        assert kinds[-3:-1] == ["audio", "video"] or kinds[-3:-1] == ["video", "audio"]
        frames = [e[2] for e in mine if e[0] == "frame"]
        assert len(frames) == local[who]
        assert frames == list(range(frames[0], frames[0] + 20 * len(frames), 20))
        pictures = [e[2] for e in mine if e[0] == "picture"]
        assert pictures and pictures == sorted(set(pictures))
        assert [e[2:] for e in mine if e[0] == "sei"] == [(242, f"sei of {who}".encode())]
        assert [e[2:] for e in mine if e[0] == "cmd"] == [(9, n, f"{who} {n}".encode()) for n in range(1, commands + 1)]


def hold_room(tmp_path, url, room, members=("alice",), duration_ms=60000, **popen):
    """A child process whose members join, speak and open video, then stay."""
    events = []
    for who in members:
        events += [(0, who, "speak", {"source": "silence", "duration_ms": duration_ms - 100, "sample_rate": 16000}),
                   (0, who, "open_video", {"stream": "low", "fps": 1})]
    path = write_scenario(tmp_path, list(members), events, duration_ms)
    return spawn_participants(path, url, room, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **popen)


def test_late_joining_process_sees_members_already_there(velmora_bus, tmp_path):
    room = room_name()
    watcher = BusWatcher(velmora_bus, room)
    child = hold_room(tmp_path, velmora_bus.url, room, members=("alice", "bob"))
    try:
        wait_for(lambda: velmora_bus.command("EXISTS", claim_key(room, "bob")) == 1, what="bob entering")
        # Their channels are open before the bot enters: it learns of them as a late joiner.
        wait_for(lambda: all(watcher.seen(kind, who) for kind in (AUDIO_CHANNEL, VIDEO_CHANNEL)
                             for who in ("alice", "bob")), what="alice's and bob's channels opening")
        bot, cloud = enter_bot(room)
        try:
            for who in ("alice", "bob"):
                state = [("enter", who), ("audio", who, True), ("video", who, True, int(v.STREAM_TYPE_VIDEO_LOW))]
                wait_for(lambda: all(s in bot.events() for s in state), what=f"{who}'s state")
            assert not bot.events("exit")
        finally:
            leave(bot, cloud)
    finally:
        watcher.close()
        stop(child)


def test_members_of_a_killed_process_time_out(velmora_redis, tmp_path):
    url = velmora_redis.url + "?expiry_ms=600"
    control.bus_connect(url)
    room = room_name()
    child = hold_room(tmp_path, url, room)
    try:
        bot, cloud = enter_bot(room)
        wait_for(lambda: ("audio", "alice", True) in bot.events(), what="alice's audio")
        child.send_signal(signal.SIGKILL)
        killed = time.monotonic()
        wait_for(lambda: bot.events("exit"), timeout_s=6, what="alice's exit")
        waited = time.monotonic() - killed
        assert bot.events("exit") == [("exit", "alice", TIMED_OUT)]
        assert ("audio", "alice", False) in bot.events()
        assert 0.4 < waited < 4.0
        # Her user id is free again once her claim has expired too.
        wait_for(lambda: velmora_bus_free(velmora_redis, room, "alice"), timeout_s=5, what="alice's claim expiring")
        alice, alice_cloud = enter_bot(room, "alice")
        leave(alice, alice_cloud)
        leave(bot, cloud)
    finally:
        stop(child)
        control.bus_disconnect()


def velmora_bus_free(server, room, user_id):
    return server.command("EXISTS", claim_key(room, user_id)) == 0


@pytest.mark.parametrize("first", ["here", "there"])
def test_a_user_id_is_in_a_room_once_across_processes(velmora_bus, tmp_path, first):
    room = room_name()
    if first == "here":
        bot, cloud = enter_bot(room, "alice")
        try:
            path = write_scenario(tmp_path, ["alice"], [], duration_ms=100)
            with pytest.raises(RuntimeError, match="ERR_ENTER_ROOM_FAILED"):
                run_participants(path, velmora_bus.url, room)
        finally:
            leave(bot, cloud)
        return
    child = hold_room(tmp_path, velmora_bus.url, room)
    try:
        wait_for(lambda: velmora_bus.command("EXISTS", claim_key(room, "alice")) == 1, what="alice entering")
        second_bot = Member()
        second = v.KWIXCloud(second_bot)
        # EnterRoom does not wait for Redis: the claim's answer takes the session out again.
        assert second.EnterRoom(enter_params("alice", room)) == 0
        wait_for(lambda: second_bot.events("exitroom"), what="the second alice taken out")
        assert second_bot.events("error", "exitroom") == [("error", int(v.ERR_ENTER_ROOM_FAILED)), ("exitroom",)]
        assert control.bus_counter("expelled") == 1 and control.bus_counter("claiming") == 0
        # The refused entry gave back nothing it did not own: alice's claim stays hers.
        assert velmora_bus.command("EXISTS", claim_key(room, "alice")) == 1
    finally:
        stop(child)


@pytest.mark.parametrize("message, accepted", [
    (wire_message(WIRE, ENTER, "mallory", ANCHOR), True),
    (wire_message(0, ENTER, "mallory", ANCHOR), False),
    (wire_message(WIRE - 1, ENTER, "mallory", ANCHOR), False),  # an older engine's
    (wire_message(WIRE + 1, ENTER, "mallory", ANCHOR), False),
    (wire_message(255, ENTER, "mallory", ANCHOR), False),
    (wire_message(WIRE, ENTER, "mallory", ANCHOR)[:-1], False),  # cut short
    (wire_message(WIRE, ENTER, "mallory", ANCHOR) + b"\0", False),  # trailing byte
    (wire_message(WIRE, 99, "mallory"), False),  # unknown kind
    (b"", False),
], ids=["current", "v0", "older", "newer", "v255", "short", "long", "kind", "empty"])
def test_messages_of_unknown_versions_or_forms_are_refused(velmora_bus, capfd, message, accepted):
    room = room_name()
    bot, cloud = enter_bot(room)
    v.EnableConsoleLog()
    try:
        refused = control.bus_counter("refused")
        velmora_bus.command("PUBLISH", room_channel(room), message)
        if accepted:
            wait_for(lambda: ("enter", "mallory") in bot.events(), what="mallory entering")
            assert control.bus_counter("refused") == refused
        else:
            wait_for(lambda: control.bus_counter("refused") == refused + 1, what="the refusal")
            # A member entering after it: once the bot hears of it, it would have heard of mallory.
            FakeProcess(velmora_bus, room, origin=0xBEEF).enter("marker", sender=9)
            wait_for(lambda: ("enter", "marker") in bot.events(), what="the member entering after it")
            assert bot.events("enter") == [("enter", "marker")]
            if message and message[0] != WIRE:
                assert f"refused a message of wire version {message[0]} " in capfd.readouterr().err
    finally:
        v.DisableConsoleLog()
        leave(bot, cloud)


@pytest.mark.parametrize("url, says", [
    ("redis://:6379", "no host"),
    ("127.0.0.1:http", "port must be a number"),
    ("127.0.0.1:0", "port must be a number"),
    ("127.0.0.1:6379?expiry_ms=50", "expiry_ms=N with N >= 100"),
    ("127.0.0.1:6379?db=2", "the only option"),
    ("127.0.0.1:1", "cannot reach Redis at 127.0.0.1:1"),
    ("rediss://127.0.0.1:6379", "is not available: this engine's hiredis was built without TLS"),
    ("http://127.0.0.1:6379", "unknown scheme 'http'"),
    ("127.0.0.1:70000", "the port must be a number from 1 to 65535"),
    ("127.0.0.1:6379?expiry_ms=99", "option expiry_ms is out of its range"),
    ("127.0.0.1:6379?expiry_ms=86400001", "option expiry_ms is out of its range"),
    ("127.0.0.1:6379?expiry_ms=500&expiry_ms=600", "option expiry_ms is given twice"),
    ("127.0.0.1:6379?key=too-short", "the room-bus key from the URL's option key has 9 bytes; give 16 to 1024"),
    ("127.0.0.1:6379?key_file=/nonexistent/key", "option key_file: cannot open the key file /nonexistent/key"),
    ("127.0.0.1:6379?key_file=/dev/zero", "the key file /dev/zero is not a regular file"),
    ("127.0.0.1:6379?key=0123456789abcdef&key_file=/x", "give the key once"),
    ("redis://alice@127.0.0.1:6379", "a user name needs its password"),
])
def test_connecting_to_a_bad_address_says_what_is_wrong(url, says):
    with pytest.raises(control.ControlError, match=says.replace("?", r"\?")):
        control.bus_connect(url)
    assert control.bus_counter("published") is None


def test_disconnecting_lets_the_other_process_members_leave(velmora_redis, tmp_path):
    control.bus_connect(velmora_redis.url)
    room = room_name()
    child = hold_room(tmp_path, velmora_redis.url, room)
    try:
        bot, cloud = enter_bot(room)
        wait_for(lambda: ("enter", "alice") in bot.events(), what="alice entering")
        assert control.bus_counter("ghosts") == 1
        assert control.bus_disconnect() is True
        wait_for(lambda: bot.events("exit"), what="alice's exit")
        assert bot.events("exit") == [("exit", "alice", 0)]
        assert control.bus_counter("ghosts") is None and control.bus_disconnect() is False
        leave(bot, cloud)
    finally:
        stop(child)
        control.bus_disconnect()


@pytest.mark.parametrize("reachable", [True, False])
def test_an_unchanged_program_joins_through_the_environment(velmora_bus, run_python, tmp_path, reachable):
    room = room_name()
    bot, cloud = enter_bot(room)
    url = velmora_bus.url if reachable else "redis://127.0.0.1:1"
    try:
        child = run_python(f"""
            import threading
            import _velmora as v
            from velmora.testing.participants import enter_params

            class Delegate(v.KWIXCloudDelegate):
                def __init__(self):
                    super().__init__()
                    self.errors, self.out = [], threading.Event()

                def OnError(self, error):
                    self.errors.append(int(error))

                def OnExitRoom(self):
                    self.out.set()

            v.EnableConsoleLog()
            delegate = Delegate()
            cloud = v.KWIXCloud(delegate)
            print("EnterRoom", cloud.EnterRoom(enter_params("carol", {room!r})))
            if {reachable!r}:
                assert cloud.SendCustomCmdMsg(5, b"hi", True, True)
                cloud.ExitRoom()
            else:
                # EnterRoom does not wait for the server: failing to reach it takes carol out.
                assert delegate.out.wait(60)
                print("OnError", delegate.errors)
        """, env={"VELMORA_LOOPBACK_REDIS": url})
        assert child.returncode == 0, child.stderr
        if reachable:
            assert "EnterRoom 0" in child.stdout
            wait_for(lambda: bot.events("exit"), what="carol's exit")
            assert bot.events("enter", "cmd", "exit") == [("enter", "carol"), ("cmd", "carol", 5, 1, b"hi"),
                                                          ("exit", "carol", 0)]
        else:
            assert "EnterRoom 0" in child.stdout
            assert f"OnError [{int(v.ERR_ENTER_ROOM_FAILED)}]" in child.stdout
            assert "VELMORA_LOOPBACK_REDIS=redis://127.0.0.1:1: cannot reach Redis at 127.0.0.1:1" in child.stderr
            assert bot.events() == []
    finally:
        leave(bot, cloud)


class Watcher(Bot):
    """Also notes its subscriptions, key frame requests, pixel frames and H.264 frames (pts,
    key)."""

    def __init__(self):
        super().__init__()
        self.h264 = []

    def OnRemoteVideoAvailable(self, user_id, available, stream_type):
        super().OnRemoteVideoAvailable(user_id, available, stream_type)  # subscribes
        if available and self.cloud is not None:
            self._add("subscribed", user_id, int(stream_type))

    def OnRequestKeyFrame(self, stream_type):
        self._add("key", int(stream_type))

    def OnRemotePixelFrameReceived(self, user_id, stream_type, frame):
        self._add("pixels", user_id, frame.pts, frame.width, frame.height)

    def OnRemoteVideoFrameReceived(self, user_id, stream_type, frame):
        super().OnRemoteVideoFrameReceived(user_id, stream_type, frame)
        if frame.data.startswith(b"\0\0\0\1"):
            self.h264.append((frame.pts, frame.is_key_frame))


@pytest.mark.parametrize("pixels, sends_pixels", [(False, False), (True, True), (False, True)],
                         ids=["encoded", "pixels", "pixels-as-h264"])
def test_video_subscriptions_and_frames_cross_processes(velmora_bus, spawn_python, pixels, sends_pixels):
    room = room_name()
    bot = Watcher()
    cloud = v.KWIXCloud(bot)
    bot.cloud = cloud
    assert cloud.EnterRoom(enter_params("bot", room, pixel_output=pixels)) == 0
    assert cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_AUX) == 0
    try:
        child = spawn_python(f"""
            import sys
            import threading
            import _velmora as v
            from velmora import QuietDelegate
            from velmora.testing.participants import enter_params
            from velmora.testing import media

            class Dora(QuietDelegate):
                def __init__(self):
                    super().__init__()
                    self.asked = threading.Event()

                def OnRequestKeyFrame(self, stream_type):
                    if stream_type == v.STREAM_TYPE_VIDEO_HIGH:
                        self.asked.set()

            dora = Dora()
            cloud = v.KWIXCloud(dora)
            assert cloud.EnterRoom(enter_params("dora", {room!r})) == 0
            # The bot's aux stream is open already: subscribing asks it for a key frame.
            assert cloud.Subscribe("bot", v.STREAM_TYPE_VIDEO_AUX) == 0
            assert cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
            sys.stdin.readline()  # the test's go-ahead: the bot has subscribed to the stream
            # The bot was in the room before this process: its subscription reaches here with
            # what its process tells a newcomer, and asks for a key frame all the same.
            assert dora.asked.wait(30), "no key frame was asked for the stream the bot subscribed to"
            for n in range(5):
                if {sends_pixels!r}:
                    frame = media.pixel_frame(n, 100 * n, 16, 16)
                    assert cloud.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, frame) == 0
                else:
                    assert cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, media.video_frame(n, 100 * n, n == 0)) == 0
            cloud.ExitRoom()
        """, env={"VELMORA_LOOPBACK_REDIS": velmora_bus.url})
        wait_for(lambda: ("subscribed", "dora", int(v.STREAM_TYPE_VIDEO_HIGH)) in bot.events("subscribed"),
                 what="the bot subscribing to dora's stream")
        output, _ = child.communicate(b"go\n", timeout=60)
        assert child.returncode == 0, output.decode(errors="replace")
        wait_for(lambda: bot.events("exit"), what="dora's exit")
        assert bot.events("key") == [("key", int(v.STREAM_TYPE_VIDEO_AUX))]
        if pixels:
            # Coded and decoded in this process, which mirrors dora's stream.
            assert bot.events("pixels", "picture") == [("pixels", "dora", 100 * n, 16, 16) for n in range(5)]
        elif sends_pixels:
            assert bot.events("pixels", "picture") == [("picture", "dora", 100 * n) for n in range(5)]
            assert [key for _, key in bot.h264] == [True, False, False, False, False]
        else:
            assert bot.events("pixels", "picture") == [("picture", "dora", 100 * n) for n in range(5)]
    finally:
        leave(bot, cloud)


def test_a_member_here_from_before_the_bus_keeps_its_user_id_here(velmora_redis, tmp_path):
    room = room_name()
    early, early_cloud = enter_bot(room, "alice")  # no bus yet: no claim of "alice" anywhere
    control.bus_connect(velmora_redis.url)
    try:
        bot, cloud = enter_bot(room)
        path = write_scenario(tmp_path, ["alice", "bob"], [], duration_ms=300)
        run_participants(path, velmora_redis.url, room)
        wait_for(lambda: ("exit", "bob", 0) in bot.events(), what="bob's exit")
        # The other process's alice could not join this process's room, where alice is
        # already; she is forgotten when she leaves, like bob.
        assert [e[1] for e in bot.events("enter", "exit")] == ["alice", "bob", "bob"]
        assert control.bus_counter("ghosts") == 0
        leave(bot, cloud)
    finally:
        control.bus_disconnect()
        leave(early, early_cloud)


# ---- Messages of a process made up here, byte for byte --------------------------------------

@pytest.mark.parametrize("seqs, delivered, gaps", [
    ([2, 3, 4], ["c2", "c3", "c4"], 0),
    ([2, 5, 6], ["c2", "c5", "c6"], 2),       # 3 and 4 never came: counted, the rest goes on
    ([2, 4, 3, 5], ["c2", "c4", "c5"], 1),    # 3 after 4 is stale: dropped, not reordered
    ([3, 3, 2], ["c3"], 1),                   # a repeat and an older one: dropped
])
def test_each_senders_messages_apply_once_and_in_order(velmora_bus, seqs, delivered, gaps):
    room = room_name()
    bot, cloud = enter_bot(room)
    try:
        other = FakeProcess(velmora_bus, room)
        before = control.bus_counter("gaps")
        other.enter("zed", sender=1, seq=1)
        for seq in seqs:
            other.command("zed", 1, seq, f"c{seq}")
        other.command("zed", 1, 100, "last")
        wait_for(lambda: any(e[-1] == b"last" for e in bot.events("cmd")), what="the last command")
        assert [e[-1].decode() for e in bot.events("cmd")][:-1] == delivered
        # The bot counts its own sequence numbers for this sender, from 1, without holes.
        assert [e[3] for e in bot.events("cmd")] == list(range(1, len(delivered) + 2))
        assert control.bus_counter("gaps") - before == gaps + (100 - max(seqs) - 1)
    finally:
        leave(bot, cloud)


@pytest.mark.parametrize("ordered", [True, False])
def test_a_reordering_link_here_reorders_only_unordered_commands_from_there(velmora_bus, ordered):
    room = room_name()
    bot, cloud = enter_bot(room)
    control.network_seed(7)
    control.set_link("zed", "uplink", reorder=0.5)
    try:
        other = FakeProcess(velmora_bus, room)
        other.enter("zed", sender=1, seq=1)
        for seq in range(2, 42):
            other.command("zed", 1, seq, f"c{seq}", ordered)
        wait_for(lambda: len(bot.events("cmd")) == 40, what="forty commands")
        texts = [int(e[-1][1:]) for e in bot.events("cmd")]
        assert sorted(texts) == list(range(2, 42))
        swapped = sum(1 for a, b in zip(texts, texts[1:]) if a > b)
        assert (swapped == 0) if ordered else (swapped > 0)
    finally:
        control.forget_network("zed")
        leave(bot, cloud)


SEI = 12  # the wire kind of a SEI message


def audio_channel(rate=48000, channels=1, frame_ms=20, bitrate=51200, encode=True):
    return struct.pack("<?iiii?", True, rate, channels, frame_ms, bitrate, encode)


def text(body):
    return struct.pack("<I", len(body)) + body


# What a forged member says after entering: (kind, fields, what the bot would then see).
@pytest.mark.parametrize("kind, fields, shows, accepted", [
    (AUDIO_CHANNEL, audio_channel(channels=2), ("audio", "zed", True), True),
    (AUDIO_CHANNEL, audio_channel(channels=0), ("audio", "zed", True), False),
    (AUDIO_CHANNEL, audio_channel(channels=3), ("audio", "zed", True), False),
    (AUDIO_CHANNEL, audio_channel(bitrate=0), ("audio", "zed", True), False),
    (AUDIO_CHANNEL, audio_channel(frame_ms=0), ("audio", "zed", True), False),
    (CUSTOM_CMD, struct.pack("<I??", 3, True, True) + text(b"x" * 1024), ("cmd", "zed", 3, 1, b"x" * 1024), True),
    (CUSTOM_CMD, struct.pack("<I??", 3, True, True) + text(b"x" * 100000), ("cmd", "zed", 3, 1, b"x" * 100000),
     False),
    (SEI, struct.pack("<i", 5) + text(b"y" * 100000), ("sei", "zed", 5, b"y" * 100000), False),
], ids=["stereo", "0-channels", "3-channels", "0-bps", "0-ms", "1-KiB-cmd", "100-KB-cmd", "100-KB-sei"])
def test_what_a_remote_member_does_meets_the_checks_of_a_local_one(velmora_bus, capfd, kind, fields, shows,
                                                                   accepted):
    room = room_name()
    bot, cloud = enter_bot(room)
    v.EnableConsoleLog()
    try:
        other = FakeProcess(velmora_bus, room)
        rejected = control.bus_counter("rejected")
        other.enter("zed", sender=1, seq=1)
        other.send(kind, "zed", fields, sender=1, seq=2)
        other.command("zed", 1, 3, "after")  # in order: once it is here, the one before was handled
        wait_for(lambda: any(e[-1] == b"after" for e in bot.events("cmd")), what="the command after it")
        assert (shows in bot.events()) == accepted
        assert control.bus_counter("rejected") == rejected + (0 if accepted else 1)
        if not accepted:
            assert "room bus: rejected " in capfd.readouterr().err
    finally:
        v.DisableConsoleLog()
        leave(bot, cloud)


PIXEL, VIDEO_PARAMS = 11, 15


def pixel_fields(width, height, size, fmt=0):
    """op::Pixels on the wire: stream type, pts, width, height, format, rotation, payload."""
    return struct.pack("<iIIIii", 2, 0, width, height, fmt, 0) + text(bytes(size))


@pytest.mark.parametrize("kind, fields, accepted", [
    (VIDEO_PARAMS, struct.pack("<iiii", 2, 30, 500000, 2), True),
    (VIDEO_PARAMS, struct.pack("<iiii", 2, 0, 500000, 2), False),
    (VIDEO_PARAMS, struct.pack("<iiii", 2, 30, 1, 2), False),
    (VIDEO_PARAMS, struct.pack("<iiii", 5, 30, 500000, 2), False),
    (PIXEL, pixel_fields(8, 6, 72), False),
    (PIXEL, pixel_fields(16, 16, 100), False),
], ids=["params", "0-fps", "1-bps", "not-video", "8x6-pixels", "short-pixels"])
def test_remote_video_meets_the_checks_of_a_local_sender(velmora_bus, kind, fields, accepted):
    room = room_name()
    bot, cloud = enter_bot(room)
    try:
        other = FakeProcess(velmora_bus, room)
        rejected = control.bus_counter("rejected")
        other.enter("zed", sender=1, seq=1)
        other.send(kind, "zed", fields, sender=1, seq=2)
        other.command("zed", 1, 3, "after")
        wait_for(lambda: any(e[-1] == b"after" for e in bot.events("cmd")), what="the command after it")
        assert control.bus_counter("rejected") == rejected + (0 if accepted else 1)
    finally:
        leave(bot, cloud)


@pytest.mark.parametrize("user_id, role, accepted", [
    ("zed", 0, True), ("", 0, False), (b"z\xffd", 0, False), (b"z\0d", 0, False), ("zed", 7, False),
], ids=["fine", "empty", "not-utf8", "zero-byte", "no-role"])
def test_a_remote_member_enters_only_as_a_local_one_could(velmora_bus, user_id, role, accepted):
    room = room_name()
    bot, cloud = enter_bot(room)
    try:
        other = FakeProcess(velmora_bus, room)
        rejected = control.bus_counter("rejected")
        other.send(ENTER, user_id, struct.pack("<i", role), sender=1, seq=1)
        other.enter("marker", sender=2)
        wait_for(lambda: ("enter", "marker") in bot.events(), what="the member entering after it")
        assert [e[1] for e in bot.events("enter")] == (["zed", "marker"] if accepted else ["marker"])
        assert control.bus_counter("rejected") == rejected + (0 if accepted else 1)
        # Nothing the refused member sends afterwards reaches anyone.
        other.command(user_id if isinstance(user_id, str) else "?", 1, 2, "from a refused member")
        other.command("marker", 2, 2, "last")
        wait_for(lambda: any(e[-1] == b"last" for e in bot.events("cmd")), what="the last command")
        assert [e[-1] for e in bot.events("cmd")] == ([b"from a refused member", b"last"] if accepted else [b"last"])
    finally:
        leave(bot, cloud)


@pytest.mark.parametrize("ending, reason", [("exit", 0), ("bye", 0), ("silence", TIMED_OUT)])
def test_a_process_that_beats_stays_and_one_that_falls_silent_times_out(velmora_redis, ending, reason):
    control.bus_connect(velmora_redis.url + "?expiry_ms=500")
    room = room_name()
    try:
        bot, cloud = enter_bot(room)
        other = FakeProcess(velmora_redis, room)
        other.enter("zed", sender=1)
        started = time.monotonic()
        while time.monotonic() - started < 1.5:  # three expiries, kept alive by heartbeats
            other.send(HEARTBEAT)
            time.sleep(0.1)
        assert bot.events("enter", "exit") == [("enter", "zed")]
        if ending == "exit":
            other.send(EXIT, "zed", sender=1, seq=2)
        elif ending == "bye":
            other.send(BYE)
        silent = time.monotonic()
        wait_for(lambda: bot.events("exit"), timeout_s=5, what="zed's exit")
        assert bot.events("exit") == [("exit", "zed", reason)]
        took = time.monotonic() - silent
        assert took < 0.4 if reason == 0 else 0.3 < took < 3.0
        leave(bot, cloud)
    finally:
        control.bus_disconnect()


@pytest.mark.parametrize("arguments, env, says", [
    ([], {"VELMORA_LOOPBACK_REDIS": ""}, "give --redis URL"),
    (["--redis", "redis://127.0.0.1:1"], {}, "cannot connect the room bus to redis://127.0.0.1:1"),
    (["--redis", "127.0.0.1:6379?nope=1"], {}, "unknown option 'nope'; the only options are expiry_ms"),
])
def test_the_participants_command_says_what_is_wrong(tmp_path, arguments, env, says):
    path = write_scenario(tmp_path, ["alice"], [], duration_ms=100)
    child = subprocess.run([sys.executable, "-m", "velmora.testing", "participants", str(path), *arguments],
                           capture_output=True, text=True, timeout=60, env=dict(os.environ, **env))
    assert child.returncode != 0
    assert says in child.stderr


def test_losing_the_server_ends_the_other_processes_members_and_is_counted(velmora_redis):
    control.bus_connect(velmora_redis.url)
    room = room_name()
    try:
        bot, cloud = enter_bot(room)
        FakeProcess(velmora_redis, room).enter("zed", sender=1)
        wait_for(lambda: bot.events("enter"), what="zed entering")
        velmora_redis.stop()
        wait_for(lambda: bot.events("exit"), what="zed's exit")
        assert bot.events("exit") == [("exit", "zed", TIMED_OUT)]
        assert cloud.SendCustomCmdMsg(1, b"anyone?", True, True)
        wait_for(lambda: control.bus_counter("lost") >= 1, what="the command counted as lost")
        leave(bot, cloud)
        # The bus keeps trying to reconnect: a session entering meanwhile enters here at once,
        # its claim waiting for the server.
        again, again_cloud = enter_bot(room_name())
        assert control.bus_counter("claiming") == 1 and control.bus_counter("reconnects") == 0
        leave(again, again_cloud)
    finally:
        control.bus_disconnect()


@pytest.mark.parametrize("frame_ms, continuous", [(20, False), (60, False), (20, True)])
def test_a_carried_senders_audio_leaves_its_process_coded(velmora_bus, frame_ms, continuous):
    """Coded once, by the sender's own process, even with nobody there to hear it: the bus
    carries Opus frames of the channel's stream (its rate, not the frames') and length, never
    the PCM sent, and none after the channel closed."""
    room = room_name()
    watcher = BusWatcher(velmora_bus, room)
    alice, cloud = enter_bot(room, "alice")
    try:
        params = v.AudioEncodeParams()
        params.sample_rate, params.channels, params.frame_length_ms = 16000, 1, 20
        assert cloud.CreateLocalAudioChannel(params) == 0
        send = (lambda f: cloud.SendContinuousAudioFrame(f, False)) if continuous else cloud.SendAudioFrame
        pcm = tone(600, sample_rate=32000).pcm
        step = 32000 * 2 * frame_ms // 1000
        for offset in range(0, len(pcm), step):
            frame = v.AudioFrame()
            frame.sample_rate, frame.channels, frame.bits_per_sample = 32000, 1, 16
            frame.SetData(pcm[offset:offset + step])
            assert send(frame) == 0
        wait_for(lambda: len(watcher.audio("alice")) == 30, what="alice's 600 ms of audio as 20 ms Opus frames")
        assert cloud.DestroyLocalAudioChannel() == 0
        wait_for(lambda: len(watcher.fields(AUDIO_CHANNEL, "alice")) == 2, what="alice's channel closing")
    finally:
        leave(alice, cloud)
        watcher.close()
    frames = watcher.audio("alice")
    assert {(codec, rate, channels) for codec, rate, channels, _ in frames} == {(int(v.AUDIO_CODEC_TYPE_OPUS), 16000, 1)}
    assert all(0 < len(payload) < 16000 * 2 // 50 for *_, payload in frames)
    assert watcher.kinds("alice", (AUDIO, AUDIO_CHANNEL)) == [AUDIO_CHANNEL] + [AUDIO] * 30 + [AUDIO_CHANNEL]
