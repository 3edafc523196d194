"""A process offered more audio than it can deliver, on the real clock: the frames it drops
are spread across its receivers, and once the load falls it delivers every frame again."""
import threading
import time

import pytest

from helpers_rooms import settle, voice_channel, voice_frame
from velmora import QuietDelegate
from velmora.testing import control
from velmora.testing.processes import wait_for

SENDERS, LISTENERS = 4, 8


class Slow(QuietDelegate):
    """Counts the frames it hears; while `cost` is set, each takes that long (asleep, so the
    interpreter lock is free meanwhile): the process then delivers about 1/cost a second.
    While `gate` is an Event, its callback blocks until the Event is set (`blocked` tells
    when it has begun to)."""

    def __init__(self):
        super().__init__()
        self.cost = 0.0
        self.heard = 0
        self.gate = None
        self.blocked = threading.Event()

    def OnRemoteAudioReceived(self, user_id, frame):
        self.heard += 1
        if self.gate is not None:
            self.blocked.set()
            self.gate.wait(30)
        if self.cost:
            time.sleep(self.cost)


def send(senders, ticks):
    """One 20 ms frame from each sender every 20 ms, paced on this thread."""
    frame = voice_frame()
    start = time.perf_counter()
    for tick in range(ticks):
        pause = start + tick * 0.02 - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
        for m in senders:
            assert m.cloud.SendAudioFrame(frame) == 0


@pytest.fixture
def crowd(room):
    """SENDERS members who send and hear each other, and LISTENERS who hear them all."""
    members = [room.member(f"s{i}", Slow()) for i in range(SENDERS)]
    members += [room.member(f"l{i}", Slow()) for i in range(LISTENERS)]
    for m in members:
        assert m.enter_hearing() == 0
    for m in members[:SENDERS]:
        assert m.cloud.CreateLocalAudioChannel(voice_channel()) == 0
    settle(*members)
    yield members
    for m in members:
        m.delegate.cost = 0.0
        m.cloud.ExitRoom()


def counts(members):
    return [(m.delegate.heard, control.dropped_frames(m.engine)) for m in members]


@pytest.mark.slow
@pytest.mark.parametrize("cost_ms", [1, 3])
def test_an_overloaded_process_spreads_its_loss_and_recovers_whole(crowd, cost_ms):
    senders = crowd[:SENDERS]
    offered = [SENDERS - 1 if i < SENDERS else SENDERS for i in range(len(crowd))]  # frames per tick
    # Two to eight times what the slowed callbacks let the process deliver.
    for m in crowd:
        m.delegate.cost = cost_ms / 1000
    ticks = 100
    send(senders, ticks)
    for m in crowd:
        m.delegate.cost = 0.0
    settle(*crowd)
    shares = [heard / (ticks * n) for (heard, _), n in zip(counts(crowd), offered)]
    mean = sum(shares) / len(shares)
    assert mean < 0.9, f"not overloaded: {mean:.2f} of the frames delivered"
    assert min(shares) >= 0.5 * mean, f"a receiver got {min(shares):.2f} of its frames, the average {mean:.2f}"

    # The load falls: within a few seconds some second of sending drops nothing at all...
    for _ in range(10):
        before = counts(crowd)
        send(senders, 50)
        after = counts(crowd)
        if all(b[1] == a[1] for b, a in zip(before, after)):
            break
    else:
        pytest.fail("frames were still dropped 10 s after the load fell")
    # ...and from then on, every frame is delivered.
    settle(*crowd)
    before = counts(crowd)
    send(senders, 50)
    expected = [heard + 50 * n for (heard, _), n in zip(before, offered)]
    wait_for(lambda: [m.delegate.heard for m in crowd] == expected, what="every frame of a second under capacity")
    assert [dropped for _, dropped in counts(crowd)] == [dropped for _, dropped in before]


@pytest.mark.slow
def test_receivers_that_block_cost_those_that_keep_up_nothing(crowd):
    """Most listeners' callbacks block: that is not a process short of time, and the senders
    and the listener that keeps up hear every frame all the same."""
    senders, free_listener, stuck = crowd[:SENDERS], crowd[SENDERS], crowd[SENDERS + 1:]
    release = threading.Event()
    try:
        for m in stuck:
            m.delegate.gate = release
        # Until each is blocked: a frame may expire while the threads for the others start.
        deadline = time.monotonic() + 30
        while not all(m.delegate.blocked.is_set() for m in stuck):
            assert time.monotonic() < deadline, "a listener's callback did not begin"
            send(senders, 5)
        free = senders + [free_listener]
        settle(*free)
        before = counts(free)
        ticks = 100
        send(senders, ticks)
        expected = [heard + ticks * (SENDERS - 1 if m in senders else SENDERS) for m, (heard, _) in zip(free, before)]
        wait_for(lambda: [m.delegate.heard for m in free] == expected, what="every frame for those that keep up")
        assert [dropped for _, dropped in counts(free)] == [dropped for _, dropped in before]
    finally:
        release.set()
        for m in stuck:
            m.delegate.gate = None
