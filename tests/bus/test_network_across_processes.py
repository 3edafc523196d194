"""Network faults across processes: a setting made in one process acts in every other one."""
import uuid

import pytest

import _velmora as v
from helpers_bus import (BANDWIDTH, DISCONNECT, DOWN, DOWNLINK, EXCELLENT, FORGET, GOOD, POOR, QUALITY, SEED, TIMEOUT,
                         UNRESPONSIVE, UPLINK, VERY_BAD, Bot, FrameCounter, enter_bot, leave, room_name, setting,
                         write_scenario)
from helpers_rooms import settle
from velmora.testing import control, load_scenario, run
from velmora.testing.participants import enter_params
from velmora.testing.processes import run_participants, wait_for

pytestmark = [pytest.mark.skipif(not control.available(), reason="needs the loopback engine"),
              pytest.mark.slow]

CHANNEL = "velmora:network"
CONNECTED, DISCONNECTED, CONNECTING = (int(v.CONNECTION_STATE_CONNECTED), int(v.CONNECTION_STATE_DISCONNECTED),
                                       int(v.CONNECTION_STATE_CONNECTING))


class StateBot(Bot):
    def OnConnectionStateChanged(self, old, new):
        self._add("state", int(old), int(new))

    def OnError(self, error):
        self._add("error", int(error))


def frames_heard(tmp_path, events):
    """alice speaks 600 ms after `events`; what a bot in this process hears of her when she is
    in another process, and what it hears in a run of the same scenario within one process."""
    events = list(events) + [(50, "alice", "speak", {"source": "tone", "duration_ms": 600, "sample_rate": 16000})]
    path = write_scenario(tmp_path, ["alice"], events, duration_ms=900)
    return path, run(load_scenario(path), FrameCounter).bot.frames.get("alice", 0)


@pytest.mark.parametrize("audio_loss", [0.3, 1.0])
def test_a_lossy_uplink_set_in_the_participants_process_thins_what_the_bot_hears(velmora_bus, tmp_path, audio_loss):
    _, clean = frames_heard(tmp_path, [])
    path, local = frames_heard(tmp_path, [(0, "alice", "network", {"direction": "uplink", "audio_loss": audio_loss})])
    room = room_name()
    bot, cloud = enter_bot(room)
    try:
        run_participants(path, velmora_bus.url, room)
        wait_for(lambda: bot.events("exit"), what="alice's exit")
    finally:
        leave(bot, cloud)
    heard = len(bot.events("frame"))
    assert ("audio", "alice", True) in bot.events()
    # The pair's draws are made here from the seed the scenario set there: the same losses.
    assert heard == local
    assert heard == 0 if audio_loss == 1.0 else 0 < heard < clean
    # The participants' process forgot its settings when it ended, here too.
    assert control.network_quality_of("alice") == EXCELLENT


@pytest.mark.parametrize("who, seen", [
    # The bot's own connection drops: its delegate hears what a real service reports.
    ("bot", [("state", CONNECTED, DISCONNECTED), ("error", int(v.ERR_NETWORK_UNREACHABLE)),
             ("state", DISCONNECTED, CONNECTING), ("state", CONNECTING, CONNECTED)]),
    # A member of the other process drops for longer than the time-out: the bot sees her leave
    # and come back, and its own connection is untouched.
    ("alice", [("exit", "alice", 1), ("enter", "alice")]),
])
def test_a_drop_set_in_the_participants_process_reaches_the_bot(velmora_bus, tmp_path, who, seen):
    path = write_scenario(tmp_path, ["alice"], [(100, who, "disconnect", {"duration_ms": 500})], duration_ms=1000)
    path.write_text("network_timeout_ms = 200\n" + path.read_text())
    room = room_name()
    bot = StateBot()
    cloud = v.KWIXCloud(bot)
    bot.cloud = cloud
    assert cloud.EnterRoom(enter_params("bot", room)) == 0
    try:
        run_participants(path, velmora_bus.url, room)
        wait_for(lambda: ("exit", "alice", 0) in bot.events(), what="alice leaving at the end")
        got = [e for e in bot.events("state", "error", "enter", "exit") if e != ("exit", "alice", 0)]
        # From alice's arrival on: before it, the bot's own entry reports its connecting.
        assert got[got.index(("enter", "alice")):] == [("enter", "alice")] + seen
    finally:
        leave(bot, cloud)


@pytest.mark.parametrize("message, quality", [
    (setting(UPLINK, "zed", audio=0.5), VERY_BAD),
    (setting(DOWNLINK, "zed", latency=150), GOOD),
    (setting(QUALITY, "zed", value=POOR), POOR),
    (setting(UNRESPONSIVE, "zed", value=1), DOWN),
    (setting(DISCONNECT, "zed", value=60000), DOWN),
], ids=["uplink", "downlink", "quality", "unresponsive", "disconnect"])
def test_a_setting_from_another_process_applies_here_and_is_not_sent_back(velmora_bus, message, quality):
    published = control.bus_counter("published")
    velmora_bus.command("PUBLISH", CHANNEL, message)
    wait_for(lambda: control.network_quality_of("zed") == quality, what="the setting applied")
    velmora_bus.command("PUBLISH", CHANNEL, setting(FORGET, "zed"))
    wait_for(lambda: control.network_quality_of("zed") == EXCELLENT, what="the forget applied")
    # One publisher sends in order: once this marker is out, any echo would be out too.
    control.set_network_quality("marker", POOR)
    try:
        wait_for(lambda: control.bus_counter("published") > published, what="the marker published")
        assert control.bus_counter("published") == published + 1
    finally:
        control.forget_network("marker")


def apply_from_bus(server, message):
    """Publishes `message` as another process would and waits until it has been applied."""
    server.command("PUBLISH", CHANNEL, message)
    server.command("PUBLISH", CHANNEL, setting(QUALITY, "marker", value=GOOD))
    wait_for(lambda: control.network_quality_of("marker") == GOOD, what="the settings applied")
    control.forget_network("marker")


def commands_through(alice, bob, n=100):
    bob.clear()
    for i in range(n):
        assert alice.cloud.SendCustomCmdMsg(1, b"%d" % i, False, True)
    settle(alice, bob)
    return [args[3] for _, args in bob.events("OnReceiveCustomCmdMsg")]


# `room` before `velmora_bus`: its members are this process's alone, on its manual clock.
def test_a_seed_from_another_process_draws_as_the_same_seed_set_here(room, velmora_bus):
    alice, bob = room.of("alice", "bob")
    seed = 2 ** 63 + 5  # all 64 bits travel
    control.set_link("alice", "uplink", command_loss=0.5)
    apply_from_bus(velmora_bus, setting(SEED, value=seed))
    from_there = commands_through(alice, bob)
    control.network_seed(seed)
    assert commands_through(alice, bob) == from_there
    control.network_seed(seed + 1)
    assert commands_through(alice, bob) != from_there
    assert 20 < len(from_there) < 80


def test_a_time_out_from_another_process_applies_here(room, clock, velmora_bus):
    alice, bob = room.of("alice", "bob")
    apply_from_bus(velmora_bus, setting(TIMEOUT, value=200))
    control.disconnect("bob", 500)
    clock(190)
    settle(alice, bob)
    assert alice.events("OnRemoteUserExitRoom") == []
    clock(10)
    settle(alice, bob)
    assert alice.events("OnRemoteUserExitRoom") == [("OnRemoteUserExitRoom", ("bob", 1))]


def test_a_bandwidth_cap_from_another_process_asks_a_sender_here_to_send_less(room, clock, velmora_bus):
    alice, bob = room.of("alice", "bob")
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert bob.cloud.Subscribe("alice", v.STREAM_TYPE_VIDEO_HIGH) == 0
    apply_from_bus(velmora_bus, setting(BANDWIDTH, "alice", value=400))
    frame = v.VideoFrame()
    frame.SetData(bytes(4000))
    for _ in range(50):  # 800 kbit/s for 2 s
        assert alice.cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, frame) == 0
        clock(40, settle=False)
    settle(alice, bob)
    assert alice.events("OnRequestChangeVideoEncodeBitrate") == [
        ("OnRequestChangeVideoEncodeBitrate", (int(v.STREAM_TYPE_VIDEO_HIGH), 340000))]


@pytest.mark.parametrize("channel, message", [
    ("velmora:room:elsewhere", setting(QUALITY, "zed", value=POOR)),  # a room's channel is no place for it
    (CHANNEL, setting(QUALITY, "zed", value=POOR)[:-1]),              # cut short
    (CHANNEL, setting(10, "zed", value=POOR)),                         # no such setting
    (CHANNEL, setting(UPLINK, "zed", audio=1.5)),                      # a share beyond 1
])
def test_settings_out_of_place_or_form_are_not_applied(velmora_bus, channel, message):
    velmora_bus.command("PUBLISH", channel, message)
    velmora_bus.command("PUBLISH", CHANNEL, setting(QUALITY, "marker", value=GOOD))
    try:
        wait_for(lambda: control.network_quality_of("marker") == GOOD, what="the setting after it")
        assert control.network_quality_of("zed") == EXCELLENT
    finally:
        control.forget_network("marker")


def make(what, user):
    if what == "link":
        control.set_link(user, "both", audio_loss=0.5)
    elif what == "quality":
        control.set_network_quality(user, GOOD)
    elif what == "forgotten":
        control.set_link(user, "uplink", latency_ms=300)
        control.forget_network(user)
    elif what == "drop":
        control.disconnect(user, 60000)
    return {"link": 2, "quality": 1, "forgotten": 2, "drop": 1}[what]


@pytest.mark.parametrize("what, here, later", [
    ("link", VERY_BAD, VERY_BAD),
    ("quality", GOOD, GOOD),
    ("forgotten", EXCELLENT, EXCELLENT),
    ("drop", DOWN, EXCELLENT),  # an event of its moment, not a lasting setting
])
def test_a_process_that_connects_later_gets_the_current_settings(velmora_bus, run_python, what, here, later):
    user = f"late-{uuid.uuid4().hex[:8]}"
    published = control.bus_counter("published")
    try:
        sent = make(what, user)
        wait_for(lambda: control.bus_counter("published") == published + sent, what="the settings published")
        assert control.network_quality_of(user) == here
        child = run_python(f"""
            from velmora.testing import control
            control.bus_connect({velmora_bus.url!r})
            print("quality", control.network_quality_of({user!r}))
        """)
        assert child.returncode == 0, child.stderr
        assert f"quality {later}" in child.stdout
    finally:
        control.forget_network(user)
