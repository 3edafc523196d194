"""Network faults of the loopback engine on the manual clock: latency and jitter, loss,
reordering, dropped connections, members that stop answering, time-outs, the network quality
that follows, seeded determinism and reset."""
import sys

import numpy as np
import pytest

import _velmora as v
from helpers_rooms import samples, settle, tone, voice_channel, voice_frame, video_frame
from velmora.testing import control, network, parse_scenario, run

UP, DOWN, BOTH = "uplink", "downlink", "both"
INVALID = control.INVALID
CONNECTED, DISCONNECTED, CONNECTING = (int(v.CONNECTION_STATE_CONNECTED), int(v.CONNECTION_STATE_DISCONNECTED),
                                       int(v.CONNECTION_STATE_CONNECTING))
TIMEOUT_REASON = 1


def link(user, direction=BOTH, latency=0, jitter=0, audio=0.0, video=0.0, command=0.0, reorder=0.0):
    control.set_link(user, direction, latency_ms=latency, jitter_ms=jitter, audio_loss=audio, video_loss=video,
                     command_loss=command, reorder=reorder)


def commands(member):
    return [args for _, args in member.events("OnReceiveCustomCmdMsg")]


def tick_until(clock, members, predicate, limit_ms=2000):
    """Advances the manual clock 10 ms at a time until predicate() holds; the time it took."""
    for elapsed in range(0, limit_ms + 1, 10):
        settle(*members)
        if predicate():
            return elapsed
        clock(10)
    pytest.fail(f"nothing happened within {limit_ms} ms")


# ---- Latency and jitter ---------------------------------------------------------------------

@pytest.mark.parametrize("uplink, downlink, arrives_ms", [
    (0, 0, 0),
    (30, 0, 30),
    (0, 40, 40),
    (20, 25, 50),   # 45 ms is released on the tick at 50
])
def test_latency_adds_the_senders_uplink_and_the_receivers_downlink(room, clock, uplink, downlink, arrives_ms):
    alice, bob = room.of("alice", "bob")
    link("alice", UP, latency=uplink)
    link("bob", DOWN, latency=downlink)
    assert alice.cloud.SendCustomCmdMsg(1, b"hi", True, True)
    assert tick_until(clock, [alice, bob], lambda: commands(bob)) == arrives_ms
    # The other way round only the other two directions count: none are set.
    assert bob.cloud.SendCustomCmdMsg(2, b"back", True, True)
    settle(alice, bob)
    assert commands(alice) == [("bob", 2, 1, b"back")]


def test_jitter_spreads_arrivals_but_never_reorders_a_pair(room, clock):
    alice, bob = room.of("alice", "bob")
    link("alice", UP, latency=20, jitter=80)
    arrivals = {}
    for i in range(40):
        assert alice.cloud.SendCustomCmdMsg(1, b"%d" % i, True, True)
        clock(10)
        for _, _, seq, _ in commands(bob):
            arrivals.setdefault(seq, i)
    clock(200)
    assert [seq for _, _, seq, _ in commands(bob)] == list(range(1, 41))
    delays = [arrivals[seq] - (seq - 1) for seq in arrivals]
    assert min(delays) >= 1 and max(delays) <= 11
    assert len(set(delays)) > 2, "jitter drew the same delay every time"


def test_events_about_a_member_travel_its_path_in_order(room, clock):
    alice, bob = room.of("alice", "bob")
    link("alice", UP, latency=100)
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    assert alice.cloud.SendCustomCmdMsg(1, b"after the channel", True, True)
    settle(alice, bob)
    assert bob.events() == []
    clock(100)
    assert bob.events() == [("OnRemoteAudioAvailable", ("alice", True)),
                            ("OnReceiveCustomCmdMsg", ("alice", 1, 1, b"after the channel"))]


# ---- Loss -----------------------------------------------------------------------------------

def _send_video(alice, bob, clock, n):
    assert bob.cloud.Subscribe("alice", v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
    settle(alice, bob)
    for i in range(n):
        assert alice.cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"f%d" % i, pts=i)) == 0
        if i % 50 == 49:
            settle(alice, bob)  # within the media queue's bound
    settle(alice, bob)
    return len(bob.events("OnRemoteVideoFrameReceived"))


def _send_audio(alice, bob, clock, n):
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    for i in range(n):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=i * 20)) == 0
        clock(20)
    return len(bob.events("OnRemoteAudioReceived"))


def _send_commands(alice, bob, clock, n):
    for i in range(n):
        assert alice.cloud.SendCustomCmdMsg(1, b"%d" % i, False, True)
    settle(alice, bob)
    return len(commands(bob))


@pytest.mark.parametrize("send, field, n", [
    (_send_video, "video", 400),
    (_send_audio, "audio", 150),
    (_send_commands, "command", 400),
])
@pytest.mark.parametrize("direction_of", [("alice", UP), ("bob", DOWN)])
def test_loss_share_is_kept_and_reliable_commands_are_never_lost(room, clock, send, field, n, direction_of):
    alice, bob = room.of("alice", "bob")
    user, direction = direction_of
    link(user, direction, **{field: 0.3})
    received = send(alice, bob, clock, n)
    assert 0.55 * n <= received <= 0.85 * n
    # Reliable commands are never lost to the network.
    for i in range(20):
        assert alice.cloud.SendCustomCmdMsg(9, b"r", True, True)
    settle(alice, bob)
    assert len([c for c in commands(bob) if c[1] == 9]) == 20


def test_loss_of_both_directions_and_the_room_wide_share_combine(room, clock):
    alice, bob = room.of("alice", "bob")
    link("alice", UP, command=0.5)
    control.set_custom_cmd_loss(0.5)
    received = _send_commands(alice, bob, clock, 800)
    # 1 - 0.5 * 0.5 lost: about 200 arrive.
    assert 120 <= received <= 280
    misses = sum(args[3] for _, args in bob.events("OnMissCustomCmdMsg"))
    last_seq = commands(bob)[-1][2]
    assert misses + received == last_seq


# ---- Reordering -----------------------------------------------------------------------------

@pytest.mark.parametrize("ordered", [True, False])
def test_only_unordered_commands_are_reordered(room, clock, ordered):
    alice, bob = room.of("alice", "bob")
    link("bob", DOWN, reorder=0.5)
    for i in range(60):
        assert alice.cloud.SendCustomCmdMsg(1, b"%d" % i, True, ordered)
    clock(300)
    seqs = [seq for _, _, seq, _ in commands(bob)]
    assert sorted(seqs) == list(range(1, 61))
    swapped = sum(1 for a, b in zip(seqs, seqs[1:]) if a > b)
    if ordered:
        assert swapped == 0
    else:
        assert 10 <= swapped <= 30
        # A late command arrives right after the next one.
        assert all(seqs[i] == seqs[i + 1] + 1 for i in range(len(seqs) - 1) if seqs[i] > seqs[i + 1])


def test_a_late_command_with_no_next_one_still_arrives(room, clock):
    alice, bob = room.of("alice", "bob")
    link("alice", UP, reorder=1.0)
    assert alice.cloud.SendCustomCmdMsg(1, b"alone", True, False)
    settle(alice, bob)
    assert commands(bob) == []
    clock(200)
    assert commands(bob) == [("alice", 1, 1, b"alone")]


# ---- Dropped connections and silent members -------------------------------------------------

def states(member):
    return [args for _, args in member.events("OnConnectionStateChanged", "OnError")]


def test_a_drop_gives_the_state_sequence_and_holds_or_loses_what_travels(room, clock):
    alice, bob = room.of("alice", "bob")
    control.disconnect("bob", 300)
    clock(10)
    assert states(bob) == [(CONNECTED, DISCONNECTED), (int(v.ERR_NETWORK_UNREACHABLE),),
                           (DISCONNECTED, CONNECTING)]
    assert alice.cloud.SendCustomCmdMsg(1, b"reliable", True, True)
    assert alice.cloud.SendCustomCmdMsg(2, b"unreliable", False, True)
    # The dropped member's sends succeed and are lost, but use up their numbers.
    assert bob.cloud.SendCustomCmdMsg(3, b"into the void", True, True)
    clock(280)
    assert commands(bob) == [] and commands(alice) == []
    assert len(states(bob)) == 3
    clock(10)
    assert states(bob)[3:] == [(CONNECTING, CONNECTED)]
    assert bob.events("OnConnectionStateChanged", "OnReceiveCustomCmdMsg")[2:] == [
        ("OnConnectionStateChanged", (CONNECTING, CONNECTED)),
        ("OnReceiveCustomCmdMsg", ("alice", 1, 1, b"reliable"))]
    assert bob.cloud.SendCustomCmdMsg(4, b"back", True, True)
    assert alice.cloud.SendCustomCmdMsg(5, b"again", True, True)
    settle(alice, bob)
    assert alice.events("OnMissCustomCmdMsg", "OnReceiveCustomCmdMsg") == [
        ("OnMissCustomCmdMsg", ("bob", 4, 1, 1)), ("OnReceiveCustomCmdMsg", ("bob", 4, 2, b"back"))]
    assert bob.events("OnMissCustomCmdMsg", "OnReceiveCustomCmdMsg")[-2:] == [
        ("OnMissCustomCmdMsg", ("alice", 5, 1, 1)), ("OnReceiveCustomCmdMsg", ("alice", 5, 3, b"again"))]
    # Shorter than the time-out: alice never saw bob leave.
    assert alice.events("OnRemoteUserExitRoom", "OnRemoteUserEnterRoom") == []


@pytest.mark.parametrize("fault", ["disconnect", "unresponsive"])
def test_a_member_silent_past_the_timeout_leaves_and_enters_again(room, clock, fault):
    alice, bob, carol = room.of("alice", "bob", "carol")
    assert bob.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    settle(alice, bob, carol)
    alice.clear()
    control.set_network_timeout(200)
    if fault == "disconnect":
        control.disconnect("bob", 500)
    else:
        control.set_unresponsive("bob", True)
    clock(190)
    assert alice.events("OnRemoteUserExitRoom") == []
    clock(10)
    gone = [("OnRemoteAudioAvailable", ("bob", False)), ("OnRemoteUserExitRoom", ("bob", TIMEOUT_REASON))]
    assert alice.events() == gone
    # What it sends while gone is not counted; nor is it reported to the others.
    assert bob.cloud.SendCustomCmdMsg(7, b"lost", True, True)
    control.set_network_quality_interval(50)
    clock(50)
    report = alice.events("OnNetworkQuality", skip=())[-1]
    assert [user for user, _ in report[1][1]] == ["carol"]
    if fault == "unresponsive":
        assert states(bob) == []
        control.set_unresponsive("bob", False)
    clock(300)
    assert alice.events("OnRemoteUserExitRoom", "OnRemoteUserEnterRoom", "OnRemoteAudioAvailable") == gone + [
        ("OnRemoteUserEnterRoom", ("bob",)), ("OnRemoteAudioAvailable", ("bob", True))]
    assert bob.cloud.SendCustomCmdMsg(8, b"fresh", True, True)
    settle(alice, bob, carol)
    assert commands(alice) == [("bob", 8, 1, b"fresh")]
    # Leaving later tells the others once more, normally.
    assert bob.cloud.ExitRoom() == 0
    settle(alice, bob, carol)
    assert alice.events("OnRemoteUserExitRoom")[-1] == ("OnRemoteUserExitRoom", ("bob", 0))


def test_a_member_that_leaves_while_timed_out_is_not_announced_twice(room, clock):
    alice, bob = room.of("alice", "bob")
    control.set_network_timeout(100)
    control.set_unresponsive("bob", True)
    clock(110)
    assert bob.cloud.ExitRoom() == 0
    settle(alice, bob)
    assert alice.events("OnRemoteUserExitRoom") == [("OnRemoteUserExitRoom", ("bob", TIMEOUT_REASON))]


def test_a_dropped_member_neither_hears_nor_is_heard(room, clock):
    alice, bob = room.of("alice", "bob")
    for m in (alice, bob):
        assert m.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    settle(alice, bob)

    def talk(frames):
        for m in (alice, bob):
            m.clear()
        for i in range(frames):
            for m in (alice, bob):
                assert m.cloud.SendAudioFrame(voice_frame(pts=i * 20)) == 0
            clock(20)
        return [len(m.events("OnRemoteAudioReceived")) for m in (alice, bob)]

    control.disconnect("bob", 200)
    assert talk(10) == [0, 0]
    assert talk(5) == [5, 5]


@pytest.mark.parametrize("method", ["per user", "mixed", "pulled"])
@pytest.mark.parametrize("fault", ["disconnect", "unresponsive"])
def test_a_silent_speaker_is_heard_in_no_way_until_it_is_back(room, clock, method, fault):
    alice, bob = room.member("alice"), room.member("bob")
    assert alice.enter_hearing() == 0 and bob.enter_hearing(method=method) == 0
    assert alice.open_channel(16000, 1, 20) == 0
    heard_before = []

    def energy_of_next(ms):
        for step in range(ms // 20):
            alice.send_pcm(tone(440, 16000, 1, 20, start=step * 320), 16000, 1, 20)
            clock(20)
        frames = bob.heard(method)[len(heard_before):]
        heard_before.extend(frames)
        return float(np.sum(samples(frames, 1) ** 2)) if frames else 0.0

    try:
        assert energy_of_next(200) > 0
        if fault == "disconnect":
            control.disconnect("alice", 400)
        else:
            control.set_unresponsive("alice", True)
        energy_of_next(100)  # what was on its way
        assert energy_of_next(200) == 0
        if fault == "unresponsive":
            control.set_unresponsive("alice", False)
        energy_of_next(200)
        assert energy_of_next(200) > 0
    finally:
        for m in (alice, bob):
            m.cloud.ExitRoom()


# ---- Network quality ------------------------------------------------------------------------

@pytest.mark.parametrize("settings, quality", [
    ({}, v.NETWORK_QUALITY_EXCELLENT),
    ({"latency": 60}, v.NETWORK_QUALITY_GOOD),                      # 60 up + 60 down
    ({"video": 0.02}, v.NETWORK_QUALITY_GOOD),                      # 1 - 0.98 * 0.98 lost
    ({"video": 0.03}, v.NETWORK_QUALITY_POOR),
    ({"audio": 0.04, "latency": 100}, v.NETWORK_QUALITY_POOR),
    ({"command": 0.06}, v.NETWORK_QUALITY_BAD),
    ({"jitter": 500}, v.NETWORK_QUALITY_BAD),                        # half of 500 + 500
    ({"jitter": 900}, v.NETWORK_QUALITY_VERY_BAD),
    ({"audio": 0.5}, v.NETWORK_QUALITY_VERY_BAD),
])
def test_quality_follows_the_links(settings, quality):
    link("dana", BOTH, **settings)
    assert control.network_quality_of("dana") == int(quality)


def test_quality_is_down_while_silent_and_an_explicit_one_wins(room, clock):
    alice, bob = room.of("alice", "bob")
    control.set_network_quality_interval(50)
    link("bob", UP, audio=0.3)
    control.set_unresponsive("bob", True)
    clock(50)
    local, remote = alice.events("OnNetworkQuality", skip=())[-1][1]
    assert remote == [("bob", int(v.NETWORK_QUALITY_DOWN))]
    # It does not know it is not heard.
    assert bob.events("OnNetworkQuality", skip=())[-1][1][0] == ("bob", int(v.NETWORK_QUALITY_VERY_BAD))
    control.set_network_quality("bob", v.NETWORK_QUALITY_GOOD)
    clock(50)
    assert alice.events("OnNetworkQuality", skip=())[-1][1][1] == [("bob", int(v.NETWORK_QUALITY_GOOD))]
    control.forget_network("bob")
    control.disconnect("alice", 100)
    clock(50)
    assert alice.events("OnNetworkQuality", skip=())[-1][1] == (("alice", int(v.NETWORK_QUALITY_DOWN)),
                                                                 [("bob", int(v.NETWORK_QUALITY_EXCELLENT))])


# ---- Control API, reset ---------------------------------------------------------------------

# The C functions themselves, given what velmora.testing.control refuses before calling them
# (directions: 0 uplink, 1 downlink, 2 both).
@pytest.mark.parametrize("call, expected", [
    (lambda lib: lib.vlb_network_link(None, 2, 0, 0, 0, 0, 0, 0), control.NULL),
    (lambda lib: lib.vlb_network_link(b"x", 3, 0, 0, 0, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 0, -1, 0, 0, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 1, 0, -5, 0, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 2, 0, 0, 1.5, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 2, 0, 0, 0, float("nan"), 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 2, 0, 0, 0, 0, 0, -0.1), INVALID),
    (lambda lib: lib.vlb_network_disconnect(b"x", 0), INVALID),
    (lambda lib: lib.vlb_network_disconnect(None, 10), control.NULL),
    (lambda lib: lib.vlb_network_unresponsive(None, 1), control.NULL),
    (lambda lib: lib.vlb_network_timeout(0), INVALID),
    (lambda lib: lib.vlb_network_forget(None), control.NULL),
    # Beyond the ranges, where sums of times would overflow or a time means nothing any more.
    (lambda lib: lib.vlb_network_link(b"x", 0, sys.maxsize, 0, 0, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 1, 0, sys.maxsize, 0, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_link(b"x", 2, network.MAX_DELAY_MS + 1, 0, 0, 0, 0, 0), INVALID),
    (lambda lib: lib.vlb_network_disconnect(b"x", sys.maxsize), INVALID),
    (lambda lib: lib.vlb_network_timeout(sys.maxsize), INVALID),
    (lambda lib: lib.vlb_set_network_quality(b"x", 7), INVALID),
    (lambda lib: lib.vlb_set_network_quality(b"x", -1), INVALID),
    (lambda lib: lib.vlb_set_custom_cmd_loss(float("nan")), INVALID),
    (lambda lib: lib.vlb_set_custom_cmd_loss(1.5), INVALID),
    (lambda lib: lib.vlb_set_network_quality_interval(0), INVALID),
])
def test_control_refuses_bad_arguments(call, expected):
    assert call(control.library()) == expected
    assert control.network_quality_of("x") == int(v.NETWORK_QUALITY_EXCELLENT)


@pytest.mark.parametrize("jitter", [0, network.MAX_DELAY_MS])
def test_the_longest_delays_add_up_without_overflowing(room, clock, jitter):
    alice, bob = room.of("alice", "bob")
    link("alice", UP, latency=network.MAX_DELAY_MS, jitter=jitter)
    link("bob", DOWN, latency=network.MAX_DELAY_MS, jitter=jitter)
    assert alice.cloud.SendCustomCmdMsg(1, b"far", True, True)
    clock(2 * network.MAX_DELAY_MS - 10)
    assert commands(bob) == []
    clock(10 + 2 * jitter)
    assert commands(bob) == [("alice", 1, 1, b"far")]


@pytest.mark.parametrize("call, field", [
    (lambda: control.set_link("x", latency_ms=sys.maxsize), "latency_ms"),
    (lambda: control.set_link("x", "uplink", jitter_ms=2 ** 64), "jitter_ms"),
    (lambda: control.set_link("x", audio_loss=float("nan")), "audio_loss"),
    (lambda: control.set_link("x", reorder=True), "reorder"),
    (lambda: control.set_link("x", direction="sideways"), "direction"),
    (lambda: control.disconnect("x", sys.maxsize), "duration_ms"),
    (lambda: control.disconnect("x", 2 ** 64 + 5), "duration_ms"),
    (lambda: control.set_network_timeout(2 ** 64), "timeout_ms"),
    (lambda: control.network_seed(2 ** 64), "seed"),
    (lambda: control.network_seed(-1), "seed"),
    (lambda: control.set_network_quality("x", 99), "quality"),
    (lambda: control.set_network_quality_interval(2 ** 31), "interval_ms"),
    (lambda: control.set_custom_cmd_loss(float("inf")), "share"),
])
def test_the_control_wrapper_names_the_field_out_of_range(call, field):
    with pytest.raises(ValueError, match=field):
        call()
    assert control.network_quality_of("x") == int(v.NETWORK_QUALITY_EXCELLENT)


# Every bounded number the table lists, with how to call its control function.
BOUNDED = [(s, f) for s in network.SETTINGS for f in s.fields
           if f.kind in ("int", "quality") and not f.scenario_only and f.name != "seed"]


@pytest.mark.parametrize("setting, field", BOUNDED, ids=[f"{s.control}-{f.name}" for s, f in BOUNDED])
def test_the_table_and_the_engine_agree_on_each_range(monkeypatch, setting, field):
    call = getattr(control, setting.control)
    user = {"user_id": "x"} if setting.scope in ("member", "participant") else {}
    call(**user, **{field.name: field.high})
    # Past the table's check, the engine's own status is what the wrapper reports.
    monkeypatch.setattr(network.Field, "check", lambda self, value: value)
    for beyond in (field.low - 1, field.high + 1):
        with pytest.raises(ValueError, match="the engine refused"):
            call(**user, **{field.name: beyond})


def test_reset_clears_every_fault_and_reconnects(room, clock):
    alice, bob = room.of("alice", "bob")
    link("alice", BOTH, latency=500, command=1.0)
    control.disconnect("bob", 100000)
    clock(10)
    assert states(bob)[-1] == (DISCONNECTED, CONNECTING)
    control.reset_faults()
    control.clock_manual(True)
    clock(10)
    assert states(bob)[-1] == (CONNECTING, CONNECTED)
    assert alice.cloud.SendCustomCmdMsg(1, b"now", False, True)
    settle(alice, bob)
    assert commands(bob) == [("alice", 1, 1, b"now")]


# ---- Scenarios ------------------------------------------------------------------------------

FAULTY = """
name = "faulty"
seed = {seed}
network_timeout_ms = 300

[bot]
user_id = "bot"

[[participant]]
id = "alice"

[[participant]]
id = "bob"

[[event]]
at_ms = 0
who = "alice"
action = "network"
latency_ms = 30
jitter_ms = 40
command_loss = 0.3
reorder = 0.3

[[event]]
at_ms = 20
who = "alice"
action = "custom_cmd"
message = "m{{n}}"
reliable = false
ordered = false
count = 40
every_ms = 10

[[event]]
at_ms = 100
who = "bot"
action = "disconnect"
duration_ms = 150

[[event]]
at_ms = 300
who = "bob"
action = "unresponsive"
duration_ms = 400
"""


class EchoBot(v.KWIXCloudDelegate):
    def __init__(self):
        super().__init__()
        self.cloud = None

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        self.cloud.SendCustomCmdMsg(cmd_id, message, False, False)


def _callbacks(result):
    return [(e["name"], e["args"]) for e in result.recording.snapshot() if e["kind"] == "callback"]


def test_a_faulty_scenario_gives_the_same_callbacks_every_run_for_its_seed():
    first, second, other = (run(parse_scenario(FAULTY.format(seed=seed)), EchoBot) for seed in (7, 7, 8))
    assert _callbacks(first) == _callbacks(second)
    assert _callbacks(first) != _callbacks(other)
    names = [name for name, _ in _callbacks(first)]
    assert "OnMissCustomCmdMsg" in names
    # The bot's own drop, and bob's silence past the time-out.
    states_seen = [tuple(a["value"] for a in args) for name, args in _callbacks(first)
                   if name == "OnConnectionStateChanged"]
    assert states_seen[-3:] == [(CONNECTED, DISCONNECTED), (DISCONNECTED, CONNECTING), (CONNECTING, CONNECTED)]
    assert [args[1] for name, args in _callbacks(first) if name == "OnRemoteUserExitRoom"] == [TIMEOUT_REASON]
    # The run leaves no fault behind.
    assert control.network_quality_of("alice") == int(v.NETWORK_QUALITY_EXCELLENT)


@pytest.mark.parametrize("event, problem", [
    ('who = "alice"\naction = "network"\ncommand_loss = 2', "field 'command_loss' must be a number from 0 to 1"),
    ('who = "alice"\naction = "network"\ndirection = "sideways"', "field 'direction' must be one of"),
    ('who = "alice"\naction = "disconnect"', "field 'duration_ms' is missing"),
    ('who = "nobody"\naction = "unresponsive"', "or, for unresponsive, the bot ('bot')"),
    ('who = "bot"\naction = "speak"\nduration_ms = 5', "'bot', who is not a [[participant]] (known"),
])
def test_network_events_are_checked(event, problem):
    text = f'[bot]\nuser_id = "bot"\n[[participant]]\nid = "alice"\n[[event]]\nat_ms = 5\n{event}\n'
    with pytest.raises(Exception) as raised:
        parse_scenario(text, source="s.toml")
    assert problem in str(raised.value)
    assert str(raised.value).startswith("s.toml:")
