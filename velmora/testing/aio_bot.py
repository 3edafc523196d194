"""velmora.aio bots in a scenario: the bot is an async function given a `velmora.aio.Room`,
and its event loop runs only inside the runner's steps, on the run's clock.

Why this is as repeatable as a delegate class: the loop's time is the run's clock (on the
manual clock, engine time), so `asyncio.sleep`, time-outs and the audio sender's pacing wait
for the steps that move it; and the loop runs only while the engine's sessions are settled.
Each step alternates "run every ready callback and due timer" with "wait until every session
has delivered its callbacks" until neither has anything left, so the bot sees the engine's
callbacks in the engine's order and answers them before the step ends, the same way every
run. Work handed to an executor (the room destroying its session, `run_in_executor` in the
bot) runs at once on the runner's thread, where it cannot race with anything."""
import asyncio
import heapq
import traceback

import _velmora as v
from velmora import CALLBACKS

from . import control
from .participants import SimulationError, enter_params
from .runner import _NOT_SENDS, RecordingSession, _Run

# Loop iterations one step may take before the bot counts as never waiting.
MAX_ITERATIONS_PER_STEP = 10_000


class SteppedLoop(asyncio.SelectorEventLoop):
    """An event loop that runs only when step() is called, with `clock`'s time."""

    def __init__(self, clock):
        super().__init__()
        self._run_clock = clock

    def time(self):
        return self._run_clock.now_ms() / 1000

    def run_in_executor(self, executor, func, *args):
        # At once, on this thread: a worker thread would finish at a moment no step controls.
        future = self.create_future()
        try:
            future.set_result(func(*args))
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            future.set_exception(error)
        return future

    def idle(self):
        """Nothing ready and no timer due."""
        if self._ready:
            return False
        due = self.time() + self._clock_resolution
        scheduled = self._scheduled
        while scheduled and scheduled[0]._cancelled:
            heapq.heappop(scheduled)
            self._timer_cancelled_count = max(0, self._timer_cancelled_count - 1)
        return not scheduled or scheduled[0]._when >= due

    def step(self):
        """Runs ready callbacks and due timers, and those they make ready, until idle."""
        for _ in range(MAX_ITERATIONS_PER_STEP):
            if self.idle():
                return
            self.call_soon(self.stop)
            self.run_forever()
        raise SimulationError(f"the async bot kept the event loop busy for {MAX_ITERATIONS_PER_STEP} "
                              "iterations in one step without waiting for anything")


class _RecordingDelegate(v.KWIXCloudDelegate):
    """Stands between the engine and the room's own delegate: notes each callback in the
    run's recording, then hands it on."""

    def __init__(self, inner, recorder):
        super().__init__()
        self._inner = inner
        self._recorder = recorder


def _forwarder(name):
    def forward(self, *args):
        self._recorder.callback(name, args)
        getattr(self._inner, name)(*args)
    forward.__name__ = name
    return forward


for _name in CALLBACKS:
    setattr(_RecordingDelegate, _name, _forwarder(_name))


class AioRun(_Run):
    """One play of a scenario with an async bot."""

    def make_bot(self, bot, args, kwargs):
        from velmora.aio import Room
        self.bot = bot
        self.bot_engine = None
        self.task = None
        self.room_object = None
        self.loop = SteppedLoop(self.clock)
        self._args, self._kwargs = args, kwargs
        self._Room = Room

    def _session(self, delegate):
        """The room's session: recorded callbacks, recorded sends, its engine session known."""
        recorded = _RecordingDelegate(delegate, self.recorder)
        cloud = v.KWIXCloud(recorded)
        self.bot_engine = control.newest_session()
        # The room enters and leaves for the bot, as the runner does for a delegate class:
        # those calls are not the bot's sends.
        session = RecordingSession(cloud, self.recorder, _NOT_SENDS | {"EnterRoom", "ExitRoom"})
        session._delegate = recorded  # lives as long as the session
        return session

    def bot_sessions(self):
        return [self.bot_engine] if self.bot_engine is not None else []

    async def _main(self, room):
        user_id = self.bot_spec["user_id"]
        entered = False
        try:
            async with room:
                entered = True
                self.recorder.room(user_id, "join")
                self.value = await self.bot(room, *self._args, **self._kwargs)
        finally:
            if entered:
                self.recorder.room(user_id, "leave")
            self.bot_engine = None

    def bot_join(self):
        params = enter_params(self.bot_spec["user_id"], self.room, pixel_output=self.bot_spec["pixel_output"])
        if self.enter is not None:
            self.enter(params)
        room = self._Room(params, session_factory=self._session)
        self.room_object = room
        self.task = self.loop.create_task(self._main(room))
        self.task.add_done_callback(self._ended)
        self.bot_in_room = True

    def _ended(self, task):
        if task.cancelled():
            return
        error = task.exception()
        if error is not None:
            name = getattr(self.bot, "__qualname__", None) or type(self.bot).__name__
            text = "".join(traceback.format_exception(type(error), error, error.__traceback__))
            self.recorder.error(name, text)

    def settle(self):
        for _ in range(MAX_ITERATIONS_PER_STEP):
            self.loop.step()
            control.settle(self.sessions())
            if self.loop.idle():
                return
        raise SimulationError("the async bot and the engine kept answering each other without end")

    def bot_leave(self):
        if self.task is None or self.task.done():
            return
        self.task.cancel()
        self.settle()
        if not self.task.done():
            raise SimulationError("the async bot did not end when cancelled at its leave time: it "
                                  "waits for something that cannot come (catching CancelledError?)")

    def release_bot(self):
        loop = self.loop
        if loop.is_closed():
            return
        try:
            # Normally the bot has left by now; after a failed step it leaves here. Its own
            # tasks go with it.
            for task in asyncio.all_tasks(loop):
                task.cancel()
            self.settle()
            stuck = [task for task in asyncio.all_tasks(loop) if not task.done()]
            if stuck and self.task is not None:
                # Tasks that ignore cancelling: the room is left for them (its session must
                # not outlive the run), then they are closed where they wait.
                loop.create_task(self.room_object._close(leave=True, raise_errors=False))
                self.settle()
                for task in stuck:
                    task._log_destroy_pending = False  # reported already, as a SimulationError
                    task.get_coro().close()
            loop.run_until_complete(loop.shutdown_asyncgens())
        finally:
            loop.close()
