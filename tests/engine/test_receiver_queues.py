"""What waits for a receiver that does not keep up is bounded, whatever its senders send: in
bytes (media drop their oldest frames, unreliable commands are dropped, reliable ones are
lost and told with OnMissCustomCmdMsg), and in time on the real clock (frames that waited too
long are skipped, and none are made while the receiver is that far behind, so that it is
current again as soon as it keeps up). Every drop is counted."""
import threading
import time

import pytest

from helpers_rooms import settle, voice_channel, voice_frame
from velmora.testing import RecordingDelegate, control

KIB = 1024
CHARGE = 256  # each queued callback counts for this besides its payload
VOICE_BYTES = 640  # a voice_frame() as a default listener hears it: 20 ms of 16 kHz mono


class Held(RecordingDelegate):
    """Records every callback; holds its engine thread in the first OnRemoteUserEnterRoom
    until released, so that what others send meanwhile waits in its queue."""

    def __init__(self):
        super().__init__()
        self.holding = threading.Event()
        self.release = threading.Event()

    def OnRemoteUserEnterRoom(self, info):
        self.record("OnRemoteUserEnterRoom", (info,))
        self.holding.set()
        self.release.wait(30)


def held_pair(room):
    """(alice, bob): bob's thread is held by alice's arrival."""
    bob = room.member("bob", Held())
    alice = room.member("alice")
    assert bob.enter() == 0 and alice.enter() == 0
    assert bob.delegate.holding.wait(10)
    return alice, bob


@pytest.mark.parametrize("reliable", [True, False])
def test_commands_past_the_byte_bound(room, reliable):
    bound = 16 * KIB
    control.set_receiver_queue_bytes(bound)
    alice, bob = held_pair(room)
    sent = 40
    for i in range(sent):
        assert alice.cloud.SendCustomCmdMsg(7, bytes([i]) * KIB, reliable, True) == 1
    # Whatever was sent, what waits stays within the bound (a loss notice is one more charge).
    assert control.queue_counters(bob.engine)["queued_bytes"] <= bound + CHARGE
    bob.delegate.release.set()
    assert alice.cloud.SendCustomCmdMsg(8, b"after", reliable, True) == 1
    settle(alice, bob)

    fitted = bound // (KIB + CHARGE)
    lost = sent - fitted
    expected = [("OnReceiveCustomCmdMsg", ("alice", 7, i + 1, bytes([i]) * KIB)) for i in range(fitted)]
    if reliable:
        # One notice for the run of losses, in order between the sender's commands.
        expected.append(("OnMissCustomCmdMsg", ("alice", 7, control.MISS_QUEUE_FULL, lost)))
    expected.append(("OnReceiveCustomCmdMsg", ("alice", 8, sent + 1, b"after")))
    assert bob.events("OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg") == expected
    assert control.queue_counters(bob.engine) == {
        "queued_bytes": 0, "unreliable_dropped": 0 if reliable else lost, "reliable_lost": lost if reliable else 0}


def test_losses_of_each_sender_and_command_are_told_apart(room):
    # Room for carol's arrival and two commands.
    control.set_receiver_queue_bytes(CHARGE + 2 * (KIB + CHARGE))
    carol = room.member("carol")
    alice, bob = held_pair(room)
    assert carol.enter() == 0
    for sender, cmd_id in [(alice, 1), (carol, 1), (alice, 1), (alice, 2), (alice, 2), (carol, 1)]:
        assert sender.cloud.SendCustomCmdMsg(cmd_id, b"x" * KIB, True, True) == 1
    bob.delegate.release.set()
    settle(alice, bob, carol)
    # Each (sender, command id) has a notice of its own; a later loss of the same one is
    # counted in it.
    assert [(name, args if name == "OnMissCustomCmdMsg" else args[:3])
            for name, args in bob.events("OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg")] == [
        ("OnReceiveCustomCmdMsg", ("alice", 1, 1)),
        ("OnReceiveCustomCmdMsg", ("carol", 1, 1)),
        ("OnMissCustomCmdMsg", ("alice", 1, control.MISS_QUEUE_FULL, 1)),
        ("OnMissCustomCmdMsg", ("alice", 2, control.MISS_QUEUE_FULL, 2)),
        ("OnMissCustomCmdMsg", ("carol", 1, control.MISS_QUEUE_FULL, 1)),
    ]


def test_media_past_the_byte_bound_drop_their_oldest_and_make_room_for_commands(room, clock):
    frames_fitting = 3
    # Room for alice's channel opening and three frames.
    control.set_receiver_queue_bytes(CHARGE + frames_fitting * (VOICE_BYTES + CHARGE))
    alice, bob = held_pair(room)
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    for i in range(10):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=i)) == 0
    clock(10, settle=False)  # all ten go out on this tick; three fit
    # A command needs room: the oldest queued frame makes it.
    assert alice.cloud.SendCustomCmdMsg(1, b"c" * 300, True, True) == 1
    bob.delegate.release.set()
    settle(alice, bob)
    pts = [args[1][1] for _, args in bob.events("OnRemoteAudioReceived")]
    assert len(pts) == frames_fitting - 1 and pts[1] == pts[0] + 20  # the newest of ten
    assert [args[3] for _, args in bob.events("OnReceiveCustomCmdMsg")] == [b"c" * 300]
    assert control.dropped_frames(bob.engine) == 10 - len(pts)
    assert control.audio_counters(bob.engine)["dropped"] == 10 - len(pts)


def wait_for_clock(ms):
    """Waits until the real engine clock reads at least `ms` (looking at it every tick)."""
    tick = threading.Event()
    while control.clock_now() < ms:
        tick.wait(0.01)


def test_frames_that_waited_too_long_are_skipped_and_delivery_is_current_again(room):
    max_wait_ms = 30
    control.set_media_max_wait_ms(max_wait_ms)
    alice, bob = held_pair(room)
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    sent_at = control.clock_now()
    stale = 5
    for i in range(stale):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=i)) == 0
    # Out on the next tick, then older than the bound by the time bob is free again.
    wait_for_clock(sent_at + 20 + 2 * max_wait_ms)
    # Bob is behind now: frames for him are not even made, only counted.
    queued = control.queue_counters(bob.engine)["queued_bytes"]
    shed_at = control.clock_now()
    for i in range(2):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=stale + i)) == 0
    wait_for_clock(shed_at + 20)
    assert control.queue_counters(bob.engine)["queued_bytes"] == queued
    stale += 2
    bob.delegate.release.set()
    settle(bob)
    assert bob.events("OnRemoteAudioReceived") == []
    assert control.audio_counters(bob.engine)["dropped"] == stale
    assert control.dropped_frames(bob.engine) == stale

    # Keeping up again, bob hears what is sent from now on, none of it dropped (no bound
    # now, whatever the machine's speed).
    control.set_media_max_wait_ms(0)
    for i in range(3):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=stale + i)) == 0
    bob.delegate.wait_for(lambda d: len(d.named("OnRemoteAudioReceived")) == 3)
    pts = [args[1][1] for _, args in bob.events("OnRemoteAudioReceived")]
    assert pts == [pts[0], pts[0] + 20, pts[0] + 40]
    assert control.audio_counters(bob.engine)["dropped"] == stale


def wait_until(condition):
    """Waits until `condition()` holds, looking every 10 ms for up to 10 s."""
    look = threading.Event()
    for _ in range(1000):
        if condition():
            return True
        look.wait(0.01)
    return condition()


def test_sends_that_waited_too_long_to_go_out_are_dropped_before_they_are_made(room, clock):
    """A clock that falls behind its sends drops what would be heard late, before coding it:
    every listener counts those frames as dropped and their pts are used up; later sends are
    heard again."""
    alice, bob = room.member("alice"), room.member("bob")
    assert alice.enter() == 0 and bob.enter() == 0
    assert alice.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    clock(20)
    assert alice.cloud.SendAudioFrame(voice_frame(pts=0)) == 0
    clock(20)
    assert len(bob.events("OnRemoteAudioReceived")) == 1

    # Stale once queued for more than 1 ms; on the manual clock nothing ever is, on the real
    # one they are by the time its first tick takes them.
    control.set_media_max_wait_ms(2)
    stale = 3
    for i in range(stale):
        assert alice.cloud.SendAudioFrame(voice_frame(pts=1 + i)) == 0
    queued_at = time.monotonic()
    assert wait_until(lambda: time.monotonic() > queued_at + 0.005)
    control.clock_manual(False)
    assert wait_until(lambda: control.audio_counters(bob.engine)["dropped"] == stale)
    control.clock_manual(True)
    settle(bob)
    assert len(bob.events("OnRemoteAudioReceived")) == 1
    assert control.dropped_frames(bob.engine) == stale

    control.set_media_max_wait_ms(0)
    assert alice.cloud.SendAudioFrame(voice_frame(pts=9)) == 0
    clock(20)
    first, then = [args[1][1] for _, args in bob.events("OnRemoteAudioReceived")]
    # At least the three dropped and one frame on: more only if the clock ran that much
    # longer (pts then follows the clock).
    assert then - first >= (stale + 1) * 20
    assert control.audio_counters(bob.engine)["dropped"] == stale


@pytest.mark.parametrize("value", [-1, 2 ** 64, 1.5, True])
@pytest.mark.parametrize("setter", [control.set_media_max_wait_ms, control.set_receiver_queue_bytes,
                                    control.set_media_queue_limit])
def test_bounds_out_of_range_are_refused(setter, value):
    with pytest.raises(ValueError):
        setter(value)
    assert control.library().vlb_set_media_max_wait_ms(-1) == control.INVALID
