"""Sessions meeting in rooms of the loopback engine: entering and leaving, media, SEI and
custom commands, network quality, failing delegates, calls from inside callbacks, and the
journal of what the engine received from Python."""
import threading

import pytest

import _velmora as v
from helpers_rooms import (APP, HERE, audio_frame, level, pattern_frame, picture, pixel_frame, settle,
                           video_frame, voice_channel, voice_frame)
from velmora.testing import control
from velmora.testing.participants import enter_params
from velmora.testing.recording import RecordingDelegate

HIGH, LOW, AUX, AUDIO = (int(v.STREAM_TYPE_VIDEO_HIGH), int(v.STREAM_TYPE_VIDEO_LOW),
                         int(v.STREAM_TYPE_VIDEO_AUX), int(v.STREAM_TYPE_AUDIO))


ENTERED = [("OnConnectionStateChanged", (0, 2)), ("OnConnectionStateChanged", (2, 3)),
           ("OnEnterRoom", ())]


# ---- Entering and leaving -----------------------------------------------------------------

@pytest.mark.parametrize("user, sig, room_name, room_id, app, expected", [
    ("alice", "sig", HERE, 0, APP, 0),
    ("alice", "sig", "", 42, APP, 0),
    ("alice", "sig", None, 42, APP, 0),
    ("alice", "sig", HERE, 0, 0, v.ERR_INVALID_SDK_APP_ID),
    (None, "sig", HERE, 0, APP, v.ERR_INVALID_USER_ID),
    ("", "sig", HERE, 0, APP, v.ERR_INVALID_USER_ID),
    ("alice", None, HERE, 0, APP, v.ERR_INVALID_USER_SIG),
    ("alice", "", HERE, 0, APP, v.ERR_INVALID_USER_SIG),
    ("alice", "sig", "", 0, APP, v.ERR_INVALID_ROOM_ID),
    ("alice", "sig", None, 0, APP, v.ERR_INVALID_ROOM_ID),
    (None, None, None, 0, 0, v.ERR_INVALID_SDK_APP_ID),
])
def test_enter_room_checks_its_parameters(room, user, sig, room_name, room_id, app, expected):
    m = room.member(user)
    assert m.cloud.EnterRoom(room.params(user, room_name, user_sig=sig, room_id=room_id, app_id=app)) == expected
    settle(m)
    # The journal has the call even when it is refused.
    operation, items = control.last_call(m.engine, "EnterRoom")
    assert items["room.sdk_app_id"] == app and items["room.room_id"] == room_id
    if expected == 0:
        assert m.events() == ENTERED
        where = f"{APP}/s:{room.name}" if room_name else f"{APP}/n:{room_id}"
        assert control.session_room(m.engine) == where.encode()
        assert control.session_user(m.engine) == b"alice"
        assert control.find_session("alice") == m.engine
    else:
        assert m.events() == []
        assert control.session_room(m.engine) == control.ABSENT


def test_rooms_are_told_apart_by_app_and_room(room):
    a, b, c, d = room.member("a"), room.member("b"), room.member("c"), room.member("d")
    assert a.enter() == 0
    assert b.enter(app_id=APP + 1) == 0
    assert c.enter(None, room_id=7) == 0
    assert d.enter("two") == 0
    settle(a, b, c, d)
    for m in (a, b, c, d):
        assert m.events("OnRemoteUserEnterRoom") == []


def test_enter_twice_and_duplicate_user(room):
    alice, bob = room.of("alice", "bob")
    assert alice.enter() == v.ERR_INVALID_OPERATION
    assert alice.enter("other") == v.ERR_INVALID_OPERATION
    twin = room.member("alice")
    assert twin.enter() == v.ERR_ENTER_ROOM_FAILED
    # The refused twin may still enter another room.
    assert twin.enter("two") == 0
    settle(alice, bob, twin)
    assert alice.events() == [] and bob.events() == []
    assert twin.events() == ENTERED
    assert control.find_session("alice") == twin.engine


def test_enter_and_exit_order_for_newcomer_and_members(room):
    alice, carol = room.of("alice", "carol")
    assert alice.cloud.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_AUX) == 0
    settle(alice, carol)
    assert alice.events() == [("OnLocalAudioChannelCreated", ()),
                              ("OnLocalVideoChannelCreated", (HIGH,)),
                              ("OnLocalVideoChannelCreated", (AUX,))]
    assert carol.events() == [("OnRemoteAudioAvailable", ("alice", True)),
                              ("OnRemoteVideoAvailable", ("alice", True, HIGH)),
                              ("OnRemoteVideoAvailable", ("alice", True, AUX))]
    alice.clear()
    carol.clear()

    bob = room.member("bob")
    assert bob.enter() == 0
    settle(alice, bob, carol)
    assert bob.events() == ENTERED + [
        ("OnRemoteUserEnterRoom", ("alice",)),
        ("OnRemoteAudioAvailable", ("alice", True)),
        ("OnRemoteVideoAvailable", ("alice", True, HIGH)),
        ("OnRemoteVideoAvailable", ("alice", True, AUX)),
        ("OnRemoteUserEnterRoom", ("carol",)),
    ]
    assert alice.events() == [("OnRemoteUserEnterRoom", ("bob",))]
    assert carol.events() == [("OnRemoteUserEnterRoom", ("bob",))]
    bob.clear()
    carol.clear()
    alice.clear()

    assert alice.cloud.ExitRoom() == 0
    settle(alice, bob, carol)
    assert alice.events() == [("OnExitRoom", ())]
    for m in (bob, carol):
        assert m.events() == [("OnRemoteAudioAvailable", ("alice", False)),
                              ("OnRemoteVideoAvailable", ("alice", False, HIGH)),
                              ("OnRemoteVideoAvailable", ("alice", False, AUX)),
                              ("OnRemoteUserExitRoom", ("alice", 0))]
    assert alice.cloud.ExitRoom() == v.ERR_INVALID_OPERATION
    assert control.session_room(alice.engine) == control.ABSENT
    # Local channels closed with the exit: entering again starts without them.
    assert alice.enter() == 0
    assert alice.cloud.DestroyLocalAudioChannel() == v.ERR_INVALID_OPERATION


def test_destroying_a_member_leaves_the_room_silently(room):
    alice, bob = room.of("alice", "bob")
    assert bob.cloud.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
    settle(alice, bob)
    alice.clear()
    bob_delegate = bob.delegate
    bob_delegate.calls.clear()
    del bob
    settle(alice)
    assert alice.events() == [("OnRemoteAudioAvailable", ("bob", False)),
                              ("OnRemoteUserExitRoom", ("bob", 0))]
    assert bob_delegate.calls == []
    # The emptied room is gone; a new "bob" may enter, and alice hears of him.
    again = room.member("bob")
    assert again.enter() == 0
    settle(alice, again)
    assert ("OnRemoteUserEnterRoom", ("bob",)) in alice.events()


def test_session_without_delegate_is_a_silent_member(room, clock):
    alice, = room.of("alice")
    cloud = v.KWIXCloud(None)
    engine = control.newest_session()
    assert control.session_delegate(engine) is None
    assert cloud.EnterRoom(room.params("ghost")) == 0
    assert cloud.CreateLocalAudioChannel(voice_channel()) == 0
    assert cloud.SendAudioFrame(voice_frame()) == 0
    clock(10)
    control.wait_idle(engine, 1000)
    assert engine in control.sessions()
    settle(alice)
    assert [(name, args[0]) for name, args in alice.events()] == [
        ("OnRemoteUserEnterRoom", "ghost"), ("OnRemoteAudioAvailable", "ghost"),
        ("OnRemoteAudioReceived", "ghost")]


# ---- Channels -------------------------------------------------------------------------------

CHANNEL_CALLS = {
    "CreateLocalAudioChannel": lambda c: c.CreateLocalAudioChannel(v.AudioEncodeParams()),
    "CreateLocalVideoChannel": lambda c: c.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH),
    "SendAudioFrame": lambda c: c.SendAudioFrame(voice_frame()),
    "SendContinuousAudioFrame": lambda c: c.SendContinuousAudioFrame(voice_frame(), True),
    "SendVideoFrame": lambda c: c.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"v")),
    "SendPixelFrame": lambda c: c.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, pattern_frame()),
    "DestroyLocalAudioChannel": lambda c: c.DestroyLocalAudioChannel(),
    "DestroyLocalVideoChannel": lambda c: c.DestroyLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH),
    "Subscribe": lambda c: c.Subscribe("x", v.STREAM_TYPE_VIDEO_HIGH),
    "Unsubscribe": lambda c: c.Unsubscribe("x", v.STREAM_TYPE_AUDIO),
    "SendSeiMessage": lambda c: c.SendSeiMessage(1, b"s"),
    "GetAudioFrame": lambda c: c.GetAudioFrame(v.AudioFrame()),
}


@pytest.mark.parametrize("call", sorted(CHANNEL_CALLS))
@pytest.mark.parametrize("situation", ["outside a room", "after leaving", "as audience"])
def test_operations_refused_without_a_room_or_as_audience(room, situation, call):
    m = room.member("alice")
    if situation == "after leaving":
        assert m.enter() == 0
        assert m.cloud.ExitRoom() == 0
    elif situation == "as audience":
        assert m.enter(role=v.KWIX_ROLE_AUDIENCE) == 0
    audience_may = situation == "as audience" and call in ("Subscribe", "Unsubscribe")
    assert CHANNEL_CALLS[call](m.cloud) == (0 if audience_may else v.ERR_INVALID_OPERATION)
    assert m.cloud.SendCustomCmdMsg(1, b"c", True, True) == (1 if situation == "as audience" else 0)
    settle(m)
    assert not [e for e in m.events() if e[0].startswith("OnLocal")]


@pytest.mark.parametrize("call, expected", [
    (lambda c: c.CreateLocalAudioChannel(v.AudioEncodeParams()), v.ERR_INVALID_OPERATION),
    (lambda c: c.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH), v.ERR_INVALID_OPERATION),
    (lambda c: c.CreateLocalVideoChannel(v.STREAM_TYPE_AUDIO), v.ERR_INVALID_PARAMETER),
    (lambda c: c.CreateLocalVideoChannel(v.STREAM_TYPE_UNKNOWN), v.ERR_INVALID_PARAMETER),
    (lambda c: c.DestroyLocalVideoChannel(v.STREAM_TYPE_VIDEO_LOW), v.ERR_INVALID_OPERATION),
    (lambda c: c.SendVideoFrame(v.STREAM_TYPE_VIDEO_LOW, video_frame(b"v")), v.ERR_INVALID_OPERATION),
    (lambda c: c.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"")), v.ERR_INVALID_PARAMETER),
    (lambda c: c.SendAudioFrame(audio_frame(b"")), v.ERR_INVALID_PARAMETER),
    (lambda c: c.Subscribe("", v.STREAM_TYPE_AUDIO), v.ERR_INVALID_PARAMETER),
    (lambda c: c.Subscribe("bob", v.STREAM_TYPE_UNKNOWN), v.ERR_INVALID_PARAMETER),
])
def test_channel_misuse(room, call, expected):
    alice, = room.of("alice")
    assert alice.cloud.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert call(alice.cloud) == expected


# ---- Audio ----------------------------------------------------------------------------------

def test_audio_reaches_every_other_member_until_unsubscribed(room, clock):
    alice, bob, carol = room.of("alice", "bob", "carol")
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    loud = {1: 2000, 2: 6000, 3: 12000}
    assert alice.cloud.SendAudioFrame(voice_frame(amplitude=loud[1])) == 0
    clock(10)
    assert bob.cloud.Unsubscribe("alice", v.STREAM_TYPE_AUDIO) == 0
    assert alice.cloud.SendContinuousAudioFrame(voice_frame(amplitude=loud[2]), False) == 0
    clock(10)
    assert bob.cloud.Subscribe("alice", v.STREAM_TYPE_AUDIO) == 0
    assert alice.cloud.SendAudioFrame(voice_frame(amplitude=loud[3])) == 0
    clock(10)
    settle(alice, bob, carol)

    def received(m):
        return [frame for user, frame in m.delegate.named("OnRemoteAudioReceived") if user == "alice"]

    # Each frame is told apart by its level (Opus keeps it within a few dB).
    def which(frame):
        return min(loud, key=lambda n: abs(level(frame) - loud[n] / 2 ** 0.5))

    assert [which(f) for f in received(bob)] == [1, 3]
    assert [which(f) for f in received(carol)] == [1, 2, 3]
    assert received(alice) == [] and len(alice.events("OnRemoteAudioReceived")) == 0
    assert control.delivered_frames(bob.engine) == 2
    assert control.delivered_frames(carol.engine) == 3
    # Each listener hears its own format (the default: 16 kHz mono, 20 ms), pts advancing by
    # the frame length from one frame of a stream to the next.
    frame = received(bob)[0]
    assert (frame.sample_rate, frame.channels, frame.size) == (16000, 1, 640)
    pts = [f.pts for f in received(carol)]
    assert pts == [pts[0], pts[0] + 20, pts[0] + 40]


def test_pulled_audio_comes_in_arrival_order(room, clock):
    alice = room.member("alice")
    bob = room.member("bob")
    assert alice.enter() == 0 and bob.enter(audio_obtain_method=v.AUDIO_OBTAIN_METHOD_GET) == 0
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    frame = v.AudioFrame()
    assert bob.cloud.GetAudioFrame(frame) == v.ERR_READ_TRY_AGAIN
    for amplitude in (2000, 6000, 12000):
        assert alice.cloud.SendAudioFrame(voice_frame(amplitude=amplitude)) == 0
    clock(200)
    got = []
    while bob.cloud.GetAudioFrame(frame) == 0:
        got.append((frame.pts, level(frame), frame.sample_rate))
    # One mixed frame per 20 ms: silence, then the three frames in the order sent.
    assert len(got) == 10 and all(rate == 16000 for _, _, rate in got)
    assert [pts for pts, _, _ in got] == [got[0][0] + 20 * i for i in range(10)]
    heard = [loudness for _, loudness, _ in got if loudness > 500]
    assert len(heard) >= 3 and heard[-3:] == sorted(heard[-3:])
    assert bob.cloud.GetAudioFrame(frame) == v.ERR_READ_TRY_AGAIN
    settle(alice, bob)
    assert bob.events("OnRemoteAudioReceived", "OnRemoteMixedAudioReceived") == []
    # A member receiving audio as callbacks has nothing to pull.
    assert alice.cloud.GetAudioFrame(frame) == v.ERR_INVALID_OPERATION


def test_pull_queue_is_bounded_and_drops_the_oldest(room, clock):
    control.set_media_queue_limit(2)
    alice = room.member("alice")
    bob = room.member("bob")
    entered = control.clock_now()
    assert alice.enter() == 0 and bob.enter(audio_obtain_method=v.AUDIO_OBTAIN_METHOD_GET) == 0
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    for i in range(5):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=i)) == 0
    clock(200)  # ten mixed frames
    frame = v.AudioFrame()
    pts = []
    while bob.cloud.GetAudioFrame(frame) == 0:
        pts.append(frame.pts)
    assert len(pts) == 2 and pts[1] == pts[0] + 20
    # The newest, out on the last tick; pts counts from bob's entry on the engine clock.
    assert pts[1] == control.clock_now() - entered
    assert control.dropped_frames(bob.engine) == 8


def test_slow_receiver_drops_oldest_media_but_no_events(room, clock):
    control.set_media_queue_limit(3)
    release = threading.Event()

    class Slow(RecordingDelegate):
        def OnRemoteUserEnterRoom(self, info):
            self.record("OnRemoteUserEnterRoom", (info,))
            release.wait(10)

    alice = room.member("alice")
    bob = room.member("bob", Slow())
    assert bob.enter() == 0 and alice.enter() == 0
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    for i in range(10):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=i)) == 0
        assert alice.cloud.SendCustomCmdMsg(1, bytes([i]), True, True) == 1
    clock(10, settle=False)  # all ten frames go out on this tick
    release.set()
    settle(alice, bob)
    pts = [args[1][1] for _, args in bob.events("OnRemoteAudioReceived")]
    assert len(pts) == 3 and pts[1:] == [pts[0] + 20, pts[0] + 40]  # the newest three of ten
    assert [args[3] for _, args in bob.events("OnReceiveCustomCmdMsg")] == [bytes([i]) for i in range(10)]
    assert control.dropped_frames(bob.engine) == 7
    assert control.delivered_frames(bob.engine) == 3
    assert control.audio_counters(bob.engine) == dict(accepted=0, refused=0, delivered=3, dropped=7)
    assert control.audio_counters(alice.engine)["accepted"] == 10


# ---- Video --------------------------------------------------------------------------------

@pytest.mark.parametrize("stream", [v.STREAM_TYPE_VIDEO_HIGH, v.STREAM_TYPE_VIDEO_LOW,
                                    v.STREAM_TYPE_VIDEO_AUX])
def test_video_only_to_subscribers_in_the_kind_they_asked_for(room, stream):
    alice, bob, dave = room.member("alice"), room.member("bob"), room.member("dave")
    carol = room.member("carol")
    for m in (alice, bob, dave):
        assert m.enter() == 0
    assert carol.enter(pixel_output=True) == 0
    assert alice.cloud.CreateLocalVideoChannel(stream) == 0
    settle(alice, bob, carol, dave)
    alice.clear()
    assert bob.cloud.Subscribe("alice", stream) == 0
    assert carol.cloud.Subscribe("alice", stream) == 0
    other = v.STREAM_TYPE_VIDEO_AUX if stream != v.STREAM_TYPE_VIDEO_AUX else v.STREAM_TYPE_VIDEO_LOW
    assert dave.cloud.Subscribe("alice", other) == 0
    settle(alice)
    assert alice.events() == [("OnRequestKeyFrame", (int(stream),))] * 2

    assert alice.cloud.SendVideoFrame(stream, video_frame(b"key\0", pts=5, key=True)) == 0
    assert alice.cloud.SendPixelFrame(stream, pattern_frame(pts=6, width=32, height=16)) == 0
    settle(alice, bob, carol, dave)
    # Encoded receivers: the encoded frame as sent, the pixels as the engine's H.264. Pixel
    # receivers: the pixels through that H.264; the stand-in payload does not decode.
    assert [picture(a) for a in bob.delegate.named("OnRemoteVideoFrameReceived")[0]] == [
        "alice", int(stream), ("video", 5, b"key\0")]
    coded = bob.delegate.named("OnRemoteVideoFrameReceived")[1][2]
    assert (coded.pts, coded.is_key_frame, coded.codec) == (6, True, v.VIDEO_CODEC_TYPE_H264)
    assert bob.delegate.named("OnRemoteVideoFrameReceived")[0][2].is_key_frame is True
    assert [e[0] for e in bob.events("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived")] == [
        "OnRemoteVideoFrameReceived"] * 2
    decoded = [(a[0], a[1], a[2].pts, a[2].width, a[2].height, a[2].format)
               for a in carol.delegate.named("OnRemotePixelFrameReceived")]
    assert decoded == [("alice", int(stream), 6, 32, 16, v.VIDEO_PIXEL_FORMAT_YUV420p)]
    assert carol.events("OnRemoteVideoFrameReceived") == []
    assert control.video_counters(carol.engine)["undecodable"] == 1
    assert dave.events("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived") == []

    assert bob.cloud.Unsubscribe("alice", stream) == 0
    assert alice.cloud.SendVideoFrame(stream, video_frame(b"later")) == 0
    assert alice.cloud.SendPixelFrame(stream, pattern_frame()) == 0
    settle(alice, bob)
    assert len(bob.events("OnRemoteVideoFrameReceived")) == 2


def test_subscription_to_a_user_not_yet_in_the_room_is_remembered(room):
    bob, = room.of("bob")
    assert bob.cloud.Subscribe("erin", v.STREAM_TYPE_VIDEO_HIGH) == 0
    erin = room.member("erin")
    assert erin.enter() == 0
    assert erin.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert erin.cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"hi")) == 0
    settle(bob, erin)
    assert erin.events("OnLocalVideoChannelCreated", "OnRequestKeyFrame") == [
        ("OnLocalVideoChannelCreated", (HIGH,)), ("OnRequestKeyFrame", (HIGH,))]
    assert [args for _, args in bob.events("OnRemoteVideoFrameReceived")] == [
        ("erin", HIGH, ("video", 0, b"hi"))]


# ---- SEI and custom commands --------------------------------------------------------------

def test_sei_goes_to_subscribers_of_the_main_stream(room):
    alice, bob, carol, dave = room.of("alice", "bob", "carol", "dave")
    assert alice.cloud.SendSeiMessage(5, b"x") == v.ERR_INVALID_OPERATION
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert alice.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_LOW) == 0
    assert bob.cloud.Subscribe("alice", v.STREAM_TYPE_VIDEO_HIGH) == 0
    assert carol.cloud.Subscribe("alice", v.STREAM_TYPE_VIDEO_LOW) == 0
    assert alice.cloud.SendSeiMessage(5, b"a\0b") == 0
    assert alice.cloud.SendSeiMessage(-7, b"") == 0
    assert alice.cloud.SendSeiMessage(6, b"\xff" * 1024) == 0
    assert alice.cloud.SendSeiMessage(6, b"\xff" * 1025) == v.ERR_INVALID_PARAMETER
    settle(alice, bob, carol, dave)
    assert [args for _, args in bob.events("OnSeiMessageReceived")] == [
        ("alice", HIGH, 5, b"a\0b"), ("alice", HIGH, -7, b""), ("alice", HIGH, 6, b"\xff" * 1024)]
    assert carol.events("OnSeiMessageReceived") == []
    assert dave.events("OnSeiMessageReceived") == []


def test_custom_commands_reach_every_other_member_with_sequence_numbers(room):
    alice, bob, carol = room.of("alice", "bob", "carol")
    for i, message in enumerate([b"one", b"\0two\0", b""]):
        assert alice.cloud.SendCustomCmdMsg(10 + i, message, i % 2 == 0, True) == 1
    assert bob.cloud.SendCustomCmdMsg(-1, b"b" * 1024, True, False) == 1
    assert bob.cloud.SendCustomCmdMsg(1, b"b" * 1025, True, False) == 0
    settle(alice, bob, carol)
    from_alice = [("alice", 10, 1, b"one"), ("alice", 11, 2, b"\0two\0"), ("alice", 12, 3, b"")]
    from_bob = [("bob", -1, 1, b"b" * 1024)]
    cmds = lambda m: [args for _, args in m.events("OnReceiveCustomCmdMsg")]
    assert cmds(bob) == from_alice
    assert cmds(carol) == from_alice + from_bob
    assert cmds(alice) == from_bob


def test_lost_unreliable_commands_are_reported_before_the_next_one(room):
    alice, bob = room.of("alice", "bob")
    control.set_custom_cmd_loss(1.0)
    assert alice.cloud.SendCustomCmdMsg(3, b"lost1", False, True) == 1
    assert alice.cloud.SendCustomCmdMsg(3, b"lost2", False, False) == 1
    assert alice.cloud.SendCustomCmdMsg(4, b"safe", True, True) == 1
    control.set_custom_cmd_loss(0.0)
    assert alice.cloud.SendCustomCmdMsg(3, b"next", False, True) == 1
    settle(alice, bob)
    assert bob.events("OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg") == [
        ("OnMissCustomCmdMsg", ("alice", 4, 1, 2)),
        ("OnReceiveCustomCmdMsg", ("alice", 4, 3, b"safe")),
        ("OnReceiveCustomCmdMsg", ("alice", 3, 4, b"next")),
    ]


def test_partial_loss_accounts_for_every_command(room):
    alice, bob = room.of("alice", "bob")
    control.set_custom_cmd_loss(0.5)
    sent = 300
    for i in range(sent - 1):
        assert alice.cloud.SendCustomCmdMsg(1, str(i).encode(), False, True) == 1
    assert alice.cloud.SendCustomCmdMsg(1, b"last", True, True) == 1
    settle(alice, bob)
    expected_seq = 1
    pending_miss = 0
    received = 0
    for name, args in bob.events("OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg"):
        if name == "OnMissCustomCmdMsg":
            assert pending_miss == 0, "two miss reports in a row"
            pending_miss = args[3]
            assert pending_miss > 0
            continue
        _, _, seq, message = args
        assert seq == expected_seq + pending_miss
        assert message == (b"last" if seq == sent else str(seq - 1).encode())
        expected_seq = seq + 1
        pending_miss = 0
        received += 1
    assert expected_seq == sent + 1
    assert 0 < received < sent


# ---- Network quality ------------------------------------------------------------------------

def test_network_quality_reports_every_member(room):
    control.set_network_quality_interval(20)
    control.set_network_quality("bob", v.NETWORK_QUALITY_POOR)
    alice, bob, carol = room.of("alice", "bob", "carol")
    excellent, poor = int(v.NETWORK_QUALITY_EXCELLENT), int(v.NETWORK_QUALITY_POOR)
    expected = {
        alice: (("alice", excellent), [("bob", poor), ("carol", excellent)]),
        bob: (("bob", poor), [("alice", excellent), ("carol", excellent)]),
        carol: (("carol", excellent), [("alice", excellent), ("bob", poor)]),
    }
    for m, report in expected.items():
        m.delegate.wait_for(lambda d: len(d.named("OnNetworkQuality")) >= 2)
        assert m.events("OnNetworkQuality", skip=())[-1] == ("OnNetworkQuality", report)
    with pytest.raises(ValueError, match="the user id is missing"):
        control.set_network_quality(None, 1)


def test_no_network_quality_outside_a_room(room):
    control.set_network_quality_interval(10)
    outside = room.member("solo")
    inside, = room.of("inside")
    inside.delegate.wait_for(lambda d: len(d.named("OnNetworkQuality")) >= 3)
    settle(outside)
    assert outside.events("OnNetworkQuality", skip=()) == []


# ---- Failing delegates and calls from callbacks ---------------------------------------------

class Raising(RecordingDelegate):
    def OnEnterRoom(self):
        raise ValueError("boom in enter")


# A recording delegate without OnEnterRoom: the engine then meets the pure-virtual error.
class Missing(RecordingDelegate):
    OnEnterRoom = v.KWIXCloudDelegate.OnEnterRoom


@pytest.mark.parametrize("delegate_class, report", [
    (Raising, "velmora: callback OnEnterRoom failed: ValueError: boom in enter"),
    (Missing, 'velmora: callback OnEnterRoom failed: Tried to call pure virtual function '
              '"KWIXCloudDelegate::OnEnterRoom"'),
])
def test_failing_callback_is_reported_and_the_thread_goes_on(room, capfd, delegate_class, report):
    bob, = room.of("bob")
    alice = room.member("alice", delegate_class())
    assert alice.enter() == 0
    settle(alice, bob)
    err = capfd.readouterr().err
    assert err.count(report) == 1, err
    # The callbacks queued after the failing one still arrive.
    assert alice.events() == ENTERED[:2] + [("OnRemoteUserEnterRoom", ("bob",))]


def test_session_calls_from_inside_callbacks(room):
    results = []

    class Busy(RecordingDelegate):
        def OnEnterRoom(self):
            self.record("OnEnterRoom", ())
            results.append(self.cloud.CreateLocalAudioChannel(voice_channel()))
            results.append(self.cloud.Subscribe("bob", v.STREAM_TYPE_VIDEO_HIGH))

        def OnLocalAudioChannelCreated(self):
            self.record("OnLocalAudioChannelCreated", ())
            results.append(self.cloud.SendAudioFrame(voice_frame()))
            results.append(self.cloud.SendCustomCmdMsg(9, b"bye", True, True))
            results.append(self.cloud.ExitRoom())

    bob, = room.of("bob")
    alice = room.member("alice", Busy())
    alice.delegate.cloud = alice.cloud
    assert alice.enter() == 0
    settle(alice, bob)
    assert results == [0, 0, 0, 1, 0]
    assert alice.events()[-2:] == [("OnLocalAudioChannelCreated", ()), ("OnExitRoom", ())]
    # The frame was accepted, but alice left before the next clock tick sent it: audio
    # still waiting to go out leaves with its sender.
    assert bob.events() == [
        ("OnRemoteUserEnterRoom", ("alice",)),
        ("OnRemoteAudioAvailable", ("alice", True)),
        ("OnReceiveCustomCmdMsg", ("alice", 9, 1, b"bye")),
        ("OnRemoteAudioAvailable", ("alice", False)),
        ("OnRemoteUserExitRoom", ("alice", 0)),
    ]
    del alice.delegate.cloud  # breaks the delegate/session cycle


# ---- Journal --------------------------------------------------------------------------------

@pytest.mark.parametrize("call, entry", [
    (lambda c: c.ExitRoom(), "ExitRoom"),
    (lambda c: c.Subscribe("b\u00f6b", v.STREAM_TYPE_VIDEO_AUX), "Subscribe user_id=x62c3b662 type=7"),
    (lambda c: c.Unsubscribe(b"\xff", v.STREAM_TYPE_AUDIO), "Unsubscribe user_id=xff type=1"),
    (lambda c: c.GetAudioFrame(v.AudioFrame()), "GetAudioFrame frame=set"),
    (lambda c: c.DestroyLocalAudioChannel(), "DestroyLocalAudioChannel"),
    (lambda c: c.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_LOW), "CreateLocalVideoChannel type=3"),
    (lambda c: c.DestroyLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH), "DestroyLocalVideoChannel type=2"),
    (lambda c: c.SendSeiMessage(-3, b"\0\1\0"), "SendSeiMessage message_type=-3 message=x000100"),
    (lambda c: c.SendSeiMessage(0, b""), "SendSeiMessage message_type=0 message=x"),
    (lambda c: c.SendCustomCmdMsg(-1, b"\0z", True, False),
     "SendCustomCmdMsg cmd_id=4294967295 message=x007a reliable=1 ordered=0"),
    (lambda c: c.SendCustomCmdMsg(7, b"\0" * 1025, False, True),
     "SendCustomCmdMsg cmd_id=7 message=x" + "00" * 1025 + " reliable=0 ordered=1"),
])
def test_journal_records_the_call_byte_for_byte(room, call, entry):
    m = room.member("alice")  # outside a room: refused calls are journaled too
    call(m.cloud)
    assert m.journal_entries() == [entry]


@pytest.mark.parametrize("call, operation, items", [
    (lambda c: c.SendAudioFrame(audio_frame(b"\0a\0", pts=9)), "SendAudioFrame",
     {"data": b"\0a\0", "pts": 9, "sample_rate": 48000, "channels": 2}),
    (lambda c: c.SendContinuousAudioFrame(audio_frame(b"\0"), True), "SendContinuousAudioFrame",
     {"data": b"\0", "clear_send_queue": 1}),
    (lambda c: c.SendVideoFrame(v.STREAM_TYPE_VIDEO_AUX, video_frame(b"\0v", key=True)), "SendVideoFrame",
     {"type": 7, "data": b"\0v", "is_key_frame": 1}),
    (lambda c: c.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, pixel_frame(b"\0p", width=8)), "SendPixelFrame",
     {"type": 2, "data": b"\0p", "width": 8}),
    (lambda c: c.CreateLocalAudioChannel(v.AudioEncodeParams()), "CreateLocalAudioChannel",
     {"channels": 1, "sample_rate": 48000}),
    (lambda c: c.EnterRoom(enter_params("\u00e5sa", None, user_sig="\x01", room_id=77)), "EnterRoom",
     {"room.user_id": "\u00e5sa".encode(), "room.str_room_id": b"", "room.room_id": 77,
      "room.user_sig": b"\x01"}),
])
def test_journal_describes_records_and_frames(room, call, operation, items):
    control.journal_full_payloads(True)
    m = room.member("alice")
    call(m.cloud)
    name, described = control.last_call(m.engine, operation)
    assert {key: described[key] for key in items} == items


@pytest.mark.parametrize("send", [
    lambda c, data: c.SendAudioFrame(audio_frame(data)),
    lambda c, data: c.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(data)),
    lambda c, data: c.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, pixel_frame(data)),
], ids=["audio", "video", "pixel"])
def test_journal_keeps_frame_payloads_as_size_and_digest_by_default(room, send):
    m = room.member("alice")
    payloads = [b"\0" * 3000 + b"a", b"\0" * 3000 + b"a", b"\0" * 3000 + b"b", b"\0" * 3001, b""]
    for data in payloads:
        send(m.cloud, data)
    described = [items["data"] for _, items in control.journal_calls(m.engine)]
    assert [d.size for d in described] == [len(p) for p in payloads]
    digests = [d.digest for d in described]
    assert digests[0] == digests[1] and len(set(digests[1:])) == 4
    assert all(len(d) == 16 for d in digests)


def test_journal_of_calls_without_results(room):
    m = room.member("alice")
    param = v.VideoEncodeParams()
    param.bitrate_bps = 800000
    vad = v.VADParams()
    vad.enable = True
    assert m.cloud.SetVideoEncodeParam(v.STREAM_TYPE_VIDEO_LOW, param) is None
    assert m.cloud.EnableVoiceActivityDetection(vad) is None
    entries = control.journal_calls(m.engine)
    assert entries[0][0] == "SetVideoEncodeParam"
    assert entries[0][1]["type"] == 3 and entries[0][1]["bitrate_bps"] == 800000
    assert entries[1][0] == "EnableVoiceActivityDetection" and entries[1][1]["enable"] == 1
    control.journal_clear(m.engine)
    assert control.journal_calls(m.engine) == []


# ---- End to end -----------------------------------------------------------------------------

def test_two_sessions_exchange_everything(room, clock):
    alice, bob = room.member("alice"), room.member("bob")
    assert alice.enter("call", pixel_output=True) == 0
    assert bob.enter("call") == 0
    for m, other in ((alice, "bob"), (bob, "alice")):
        assert m.cloud.CreateLocalAudioChannel(voice_channel()) == 0
        assert m.cloud.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
        assert m.cloud.Subscribe(other, v.STREAM_TYPE_VIDEO_HIGH) == 0
    settle(alice, bob)
    alice.clear()
    bob.clear()

    assert alice.cloud.SendAudioFrame(voice_frame(amplitude=3000)) == 0
    assert bob.cloud.SendAudioFrame(voice_frame(amplitude=9000)) == 0
    assert bob.cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"bob's face")) == 0
    assert bob.cloud.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, pattern_frame(pts=3)) == 0
    assert alice.cloud.SendPixelFrame(v.STREAM_TYPE_VIDEO_HIGH, pattern_frame(pts=4)) == 0
    assert alice.cloud.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video_frame(b"alice's face")) == 0
    assert alice.cloud.SendSeiMessage(242, b"caption\0") == 0
    assert bob.cloud.SendSeiMessage(5, b"\x01") == 0
    assert alice.cloud.SendCustomCmdMsg(1, b"ping", True, True) == 1
    assert bob.cloud.SendCustomCmdMsg(1, b"pong", True, True) == 1
    clock(10)  # the audio goes out on the clock's next tick
    settle(alice, bob)
    # Coded frames come from the video workers, in their own time: apart from the rest.
    coded = ("OnRemotePixelFrameReceived", "OnRemoteVideoFrameReceived")
    # Alice takes pixels: bob's stand-in frame does not decode, his pixels come through H.264.
    bobs_pixels, = [args[2] for args in alice.delegate.named("OnRemotePixelFrameReceived")]
    assert alice.events("OnRemoteVideoFrameReceived") == []
    assert [e for e in alice.events() if e[0] not in coded] == [
        ("OnSeiMessageReceived", ("bob", HIGH, 5, b"\x01")),
        ("OnReceiveCustomCmdMsg", ("bob", 1, 1, b"pong")),
        ("OnRemoteAudioReceived", ("bob", alice.events()[-1][1][1])),
    ]
    assert [e for e in bob.events() if e[0] not in coded] == [
        ("OnSeiMessageReceived", ("alice", HIGH, 242, b"caption\0")),
        ("OnReceiveCustomCmdMsg", ("alice", 1, 1, b"ping")),
        ("OnRemoteAudioReceived", ("alice", bob.events()[-1][1][1])),
    ]
    # Bob takes encoded video: alice's H.264 of her pixels, and her encoded frame as sent.
    alices_h264, alices_face = sorted((args[2] for args in bob.delegate.named("OnRemoteVideoFrameReceived")),
                                      key=lambda f: f.data == b"alice's face")
    assert bob.events("OnRemotePixelFrameReceived") == []
    assert (alices_face.pts, alices_h264.pts) == (0, 4)
    assert alices_h264.is_key_frame and alices_h264.data.startswith(b"\0\0\0\1")
    assert (bobs_pixels.pts, bobs_pixels.width, bobs_pixels.height) == (3, 16, 16)
    # Each heard the other's frame, told apart by its level.
    heard_by_alice = alice.delegate.named("OnRemoteAudioReceived")[0][1]
    heard_by_bob = bob.delegate.named("OnRemoteAudioReceived")[0][1]
    assert level(heard_by_alice) > 2 * level(heard_by_bob) > 0
