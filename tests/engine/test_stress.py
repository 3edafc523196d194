"""Several sessions driven by several Python threads at once: per session, events arrive
complete, once and in order, and every media frame sent is either delivered or counted as
dropped. Bounded to a few seconds; nothing here measures time."""
import threading
import time

import pytest

import _velmora as v
from helpers_rooms import level, settle, voice_channel, voice_frame
from velmora.testing import control
from velmora.testing.recording import RecordingDelegate

SENDERS = 4
FRAMES = 300
COMMANDS = 100


class SlowListener(RecordingDelegate):
    """Takes its time over audio, so that its media queue overflows."""

    def OnRemoteAudioReceived(self, user_id, frame):
        self.record("OnRemoteAudioReceived", (user_id, frame))
        time.sleep(0.0005)


def loudness(user):
    """Each sender's own level, so that a receiver can tell whose frame it got."""
    return 2000 * (int(user[len("user"):]) + 1)


@pytest.mark.parametrize("limit", [4, 256])
def test_concurrent_senders_lose_no_events_and_account_for_every_frame(room, clock, limit):
    control.set_media_queue_limit(limit)
    members = [room.member(f"user{i}", SlowListener() if i == 0 else None) for i in range(SENDERS)]
    for m in members:
        assert m.enter() == 0
        assert m.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    settle(*members)
    for m in members:
        m.clear()

    failures = []
    sending = threading.Event()

    def tick():
        # The engine clock runs on its own thread meanwhile, as the real one does.
        while not sending.is_set():
            control.clock_advance(10)
            time.sleep(0.001)

    def send(m):
        frame = voice_frame(amplitude=loudness(m.user))
        try:
            for i in range(FRAMES):
                assert m.cloud.SendAudioFrame(frame) == 0
                if i % 3 == 0 and i // 3 < COMMANDS:
                    assert m.cloud.SendCustomCmdMsg(7, str(i // 3).encode(), True, True) == 1
        except AssertionError as failure:
            failures.append(failure)

    ticker = threading.Thread(target=tick)
    ticker.start()
    threads = [threading.Thread(target=send, args=(m,)) for m in members]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    sending.set()
    ticker.join()
    assert failures == []
    clock(10)  # whatever the last sends queued goes out
    settle(*members)

    for receiver in members:
        others = [m.user for m in members if m is not receiver]
        commands = receiver.events("OnReceiveCustomCmdMsg")
        frames = receiver.events("OnRemoteAudioReceived")
        for sender in others:
            from_sender = [args for _, args in commands if args[0] == sender]
            assert from_sender == [(sender, 7, n + 1, str(n).encode()) for n in range(COMMANDS)]
            pts = [args[1][1] for _, args in frames if args[0] == sender]
            assert pts == sorted(set(pts)), "frames of one sender out of order or twice"
            heard = [frame for user, frame in receiver.delegate.named("OnRemoteAudioReceived")
                     if user == sender][2:]  # past the codec's onset
            assert all(abs(level(f) / (loudness(sender) / 2 ** 0.5) - 1) < 0.3 for f in heard)
        delivered = control.delivered_frames(receiver.engine)
        dropped = control.dropped_frames(receiver.engine)
        assert delivered == len(frames)
        assert delivered + dropped == FRAMES * (SENDERS - 1)
        assert receiver.events("OnMissCustomCmdMsg") == []
    if limit == 4:
        assert control.dropped_frames(members[0].engine) > 0


def test_churn_of_sessions_while_others_send(run_child):
    # Sessions enter, open channels, send and go (by ExitRoom or by being dropped) on several
    # threads while a steady member watches: for each visitor it sees one arrival, then one
    # departure, with the visitor's channels announced in between, and nothing afterwards.
    code = """
import threading
import _velmora as v
from velmora.testing import control
from helpers_rooms import Member, settle, voice_channel, voice_frame

steady = Member("steady")
assert steady.enter("churn") == 0
failures = []

def visit(thread, rounds):
    try:
        for i in range(rounds):
            m = Member(f"t{thread}-{i}")
            assert m.enter("churn") == 0
            assert m.cloud.CreateLocalAudioChannel(voice_channel()) == 0
            for n in range(5):
                assert m.cloud.SendAudioFrame(voice_frame(pts=n)) == 0
            assert steady.cloud.SendCustomCmdMsg(1, b"hello", True, True) == 1
            if i % 2:
                assert m.cloud.ExitRoom() == 0
            del m
    except AssertionError as failure:
        failures.append(failure)

threads = [threading.Thread(target=visit, args=(t, 25)) for t in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
assert failures == []
settle(steady)
assert control.session_count() == 1

by_user = {}
for name, args in steady.events("OnRemoteUserEnterRoom", "OnRemoteAudioAvailable",
                                 "OnRemoteAudioReceived", "OnRemoteUserExitRoom"):
    by_user.setdefault(args[0], []).append((name, args))
visitors = [f"t{t}-{i}" for t in range(4) for i in range(25)]
for user in visitors:
    names = [name for name, _ in by_user[user]]
    assert names[0] == "OnRemoteUserEnterRoom" and names[1] == "OnRemoteAudioAvailable", names
    assert names[-2:] == ["OnRemoteAudioAvailable", "OnRemoteUserExitRoom"], names
    # Frames may have been dropped for a busy steady member, never reordered or repeated.
    assert set(names[2:-2]) <= {"OnRemoteAudioReceived"}, names
    pts = [args[1][1] for name, args in by_user[user] if name == "OnRemoteAudioReceived"]
    assert pts == sorted(set(pts)), pts
    assert [args for name, args in by_user[user] if name == "OnRemoteAudioAvailable"] == [
        (user, True), (user, False)]
assert set(by_user) == set(visitors)
delivered = control.delivered_frames(steady.engine)
assert delivered == len(steady.events("OnRemoteAudioReceived"))
# Audio goes out on the engine clock's ticks: what a visitor sent in its last moments may
# leave with it, unsent, but nothing is heard twice.
assert delivered + control.dropped_frames(steady.engine) <= 5 * len(visitors)
print("ok")
"""
    result = run_child(code, timeout=120)
    assert result.stdout.strip() == "ok"
