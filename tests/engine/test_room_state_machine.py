"""Sessions in a room under random enter, exit, subscribe, send and destroy, some of it from
several threads at once. After every step, once the engine threads are idle, three pictures
of the room must agree: the model kept here, the engine's (control API) and each member's
own (replayed from its callbacks); and every custom command a member was sent while in the
room reached it exactly once, in its sender's order."""
import itertools
import os
import threading
import weakref

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import _velmora as v
from velmora.testing import control
from velmora.testing.participants import APP_ID as APP, enter_params
from velmora.testing.recording import RecordingDelegate
SLOTS = 4
_rooms = itertools.count()


def user(slot):
    return f"member{slot}"


LEAVE = "leave now"


class LeavingDelegate(RecordingDelegate):
    """Records every callback; told to leave, it drops its own session inside the callback,
    as a bot that obeys a command does."""

    def __init__(self, seat):
        super().__init__()
        # Weak, so that the session is not part of a cycle through its own delegate.
        self.seat = weakref.ref(seat)
        self.obeys = False
        self.dropped = False

    def OnReceiveCustomCmdMsg(self, *args):
        self.record("OnReceiveCustomCmdMsg", args)
        seat = self.seat()
        if self.obeys and args[3] == LEAVE.encode() and seat is not None:
            seat.cloud = None
            # Only now has the drop finished handing the room's news to the others: until then
            # this thread may still be posting them, which no wait on their queues covers.
            with self.changed:
                self.dropped = True
                self.changed.notify_all()


class Seat:
    """One live session: its delegate and its engine pointer."""

    def __init__(self, slot):
        self.slot = slot
        self.delegate = LeavingDelegate(self)
        self.cloud = v.KWIXCloud(self.delegate)
        self.engine = control.newest_session()
        self.expected = []  # (sender, message) this member must receive, in send order
        self.sent = 0

    def calls(self):
        with self.delegate.changed:
            return list(self.delegate.calls)

    def view(self):
        """The other members as this member's callbacks tell it, or None when outside."""
        present = None
        for name, args, _ in self.calls():
            if name == "OnEnterRoom":
                present = set()
            elif name == "OnExitRoom":
                present = None
            elif name == "OnRemoteUserEnterRoom" and present is not None:
                present.add(args[0].user_id.GetValue())
            elif name == "OnRemoteUserExitRoom" and present is not None:
                present.discard(args[0].user_id.GetValue())
        return present

    def received(self):
        return [(args[0], args[3].decode()) for name, args, _ in self.calls()
                if name == "OnReceiveCustomCmdMsg"]


def run_on_threads(functions):
    errors = []

    def guarded(function):
        try:
            function()
        except BaseException as error:  # reported on the test's thread below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(f,)) for f in functions]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a session call on a thread never returned"
    if errors:
        raise errors[0]


class RoomMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.room = f"state-machine-{os.getpid()}-{next(_rooms)}"
        self.seats = {}      # slot -> Seat
        self.inside = set()  # slots in the room, as the model has it

    # ---- helpers ----

    def enter(self, slot):
        result = self.seats[slot].cloud.EnterRoom(enter_params(user(slot), self.room))
        assert result == (v.ERR_INVALID_OPERATION if slot in self.inside else v.ERR_OK)

    def exit(self, slot):
        result = self.seats[slot].cloud.ExitRoom()
        assert result == (v.ERR_OK if slot in self.inside else v.ERR_INVALID_OPERATION)

    def post(self, slot, count):
        seat = self.seats[slot]
        for _ in range(count):
            message = f"{user(slot)}:{seat.sent}"
            seat.sent += 1
            delivered = seat.cloud.SendCustomCmdMsg(1, message.encode(), True, True)
            assert delivered == (1 if slot in self.inside else 0)

    def expect(self, slot, count):
        """What post(slot, count) owes every other member in the room."""
        seat = self.seats[slot]
        if slot not in self.inside:
            return
        for index in range(seat.sent, seat.sent + count):
            for other in self.inside - {slot}:
                self.seats[other].expected.append((user(slot), f"{user(slot)}:{index}"))

    def settle(self):
        for _ in range(3):
            for seat in self.seats.values():
                control.wait_idle(seat.engine)

    # ---- rules ----

    @precondition(lambda self: len(self.seats) < SLOTS)
    @rule(data=st.data())
    def create(self, data):
        slot = data.draw(st.sampled_from(sorted(set(range(SLOTS)) - set(self.seats))))
        self.seats[slot] = Seat(slot)

    @precondition(lambda self: self.seats)
    @rule(data=st.data())
    def enter_or_exit(self, data):
        slot = data.draw(st.sampled_from(sorted(self.seats)))
        if data.draw(st.booleans(), label="enter"):
            self.enter(slot)
            self.inside.add(slot)
        else:
            self.exit(slot)
            self.inside.discard(slot)

    @precondition(lambda self: len(self.seats) >= 2)
    @rule(data=st.data())
    def enter_or_exit_on_threads(self, data):
        """Several members enter (or leave) at once, each from its own thread."""
        slots = data.draw(st.sets(st.sampled_from(sorted(self.seats)), min_size=2))
        entering = data.draw(st.booleans(), label="enter")
        action = self.enter if entering else self.exit
        run_on_threads([lambda s=s: action(s) for s in slots])
        if entering:
            self.inside |= slots
        else:
            self.inside -= slots

    @precondition(lambda self: self.seats)
    @rule(data=st.data(), count=st.integers(1, 5))
    def send(self, data, count):
        slot = data.draw(st.sampled_from(sorted(self.seats)))
        self.expect(slot, count)
        self.post(slot, count)

    @precondition(lambda self: len(self.inside) >= 2)
    @rule(data=st.data(), count=st.integers(1, 20))
    def send_on_threads(self, data, count):
        """Members in the room send at the same time, each from its own thread."""
        slots = data.draw(st.sets(st.sampled_from(sorted(self.inside)), min_size=2))
        for slot in slots:
            self.expect(slot, count)
        run_on_threads([lambda s=s: self.post(s, count) for s in slots])

    @precondition(lambda self: self.seats)
    @rule(data=st.data(), other=st.integers(0, SLOTS - 1),
          stream=st.sampled_from([v.STREAM_TYPE_VIDEO_HIGH, v.STREAM_TYPE_VIDEO_LOW,
                                  v.STREAM_TYPE_AUDIO]),
          subscribe=st.booleans())
    def subscribe(self, data, other, stream, subscribe):
        slot = data.draw(st.sampled_from(sorted(self.seats)))
        cloud = self.seats[slot].cloud
        call = cloud.Subscribe if subscribe else cloud.Unsubscribe
        result = call(user(other), stream)
        if slot not in self.inside:
            assert result == v.ERR_INVALID_OPERATION
        else:
            assert result in (v.ERR_OK, v.ERR_INVALID_PARAMETER)

    @precondition(lambda self: len(self.inside) >= 2)
    @rule(data=st.data())
    def told_to_leave(self, data):
        """A member drops its own session inside the callback that tells it to."""
        leaver = data.draw(st.sampled_from(sorted(self.inside)), label="leaver")
        sender = data.draw(st.sampled_from(sorted(self.inside - {leaver})), label="sender")
        seat = self.seats.pop(leaver)
        self.inside.discard(leaver)
        seat.delegate.obeys = True
        for other in self.inside - {sender}:
            self.seats[other].expected.append((user(sender), LEAVE))
        assert self.seats[sender].cloud.SendCustomCmdMsg(2, LEAVE.encode(), True, True) == 1
        seat.delegate.wait_for(lambda d: d.dropped)
        assert seat.engine not in control.sessions(), "the session outlived its own drop"

    @precondition(lambda self: self.seats)
    @rule(data=st.data())
    def destroy(self, data):
        slot = data.draw(st.sampled_from(sorted(self.seats)))
        seat = self.seats.pop(slot)
        self.inside.discard(slot)
        engine = seat.engine
        del seat
        assert engine not in control.sessions(), "the engine session outlived its Python session"

    # ---- invariants ----

    @invariant()
    def views_agree(self):
        self.settle()
        engine_room = {}
        for slot, seat in self.seats.items():
            user_id = control.session_user(seat.engine)
            room = control.session_room(seat.engine)
            if isinstance(user_id, bytes):
                engine_room[user_id.decode()] = room
        inside = {user(s) for s in self.inside}
        assert {u for u, r in engine_room.items() if r == f"{APP}/s:{self.room}".encode()} \
            == inside, "the engine's room differs from the model's"
        for slot, seat in self.seats.items():
            expected_view = inside - {user(slot)} if slot in self.inside else None
            assert seat.view() == expected_view, \
                f"{user(slot)} sees {seat.view()}, the room holds {expected_view}; {seat.calls()}"

    @invariant()
    def commands_arrive_once_in_order(self):
        self.settle()
        for slot, seat in self.seats.items():
            received = seat.received()
            for sender in {s for s, _ in seat.expected} | {s for s, _ in received}:
                got = [m for s, m in received if s == sender]
                owed = [m for s, m in seat.expected if s == sender]
                assert got == owed, f"{user(slot)} from {sender}: got {got}, owed {owed}"

    def teardown(self):
        self.seats.clear()


RoomMachine.TestCase.settings = settings(
    max_examples=int(os.environ.get("VELMORA_STATE_MACHINE_EXAMPLES", "50")),
    stateful_step_count=25, derandomize=True, database=None, deadline=None,
    suppress_health_check=list(HealthCheck))
test_sessions_in_a_room = RoomMachine.TestCase
