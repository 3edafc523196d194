"""Puts a bot into a scenario: a loopback room of its own, the scripted participants, and the
bot's delegate class, stepped through the timeline on a clock.

Each step runs the events due, sends the media frames due, waits until every session has
delivered all its callbacks, and only then moves the clock on. On the manual clock a run is
therefore a pure function of the scenario and the bot: the bot receives the same callbacks
with the same arguments in the same order every time."""
import heapq
import uuid

import _velmora as v

from . import control, media
from .clock import best_clock
from .participants import Participant, SimulationError, enter_params, error_name
from .recording import Recorder, Recording, recording_class
from . import network
from .participants import QUALITIES
from .scenario import Event

# Session calls that only read; the rest are the bot's sends.
_NOT_SENDS = frozenset(("GetAudioFrame",))


class BotError(AssertionError):
    """The bot's own callback methods raised during a run."""


class RecordingSession:
    """The bot's session as the runner hands it over (`bot.cloud`): every KWIXCloud method,
    each send noted in the run's recording."""

    def __init__(self, cloud, recorder, not_sends=_NOT_SENDS):
        self._cloud = cloud
        self._recorder = recorder
        self._not_sends = not_sends

    def __getattr__(self, name):
        method = getattr(self._cloud, name)
        if name in self._not_sends or not callable(method):
            return method

        def send(*args, **kwargs):
            result = method(*args, **kwargs)
            self._recorder.send(name, list(args) + list(kwargs.values()), result)
            return result
        send.__name__ = name
        return send


class RunResult:
    """What a run produced: `recording` (the bot's callbacks, its sends and the room's
    events), the `bot` object (the delegate, or the async bot as given), the `participants`
    by id (each with its own `received`), and `value`, what an async bot returned."""

    def __init__(self, scenario, recording, bot, participants):
        self.scenario, self.recording, self.bot, self.participants = scenario, recording, bot, participants
        self.value = None

    @property
    def errors(self):
        """[(callback name, traceback text)] of the bot's callbacks that raised."""
        return [(e["name"], e["error"]) for e in self.recording.of_kind("error")]

    def check(self):
        """Raises BotError when one of the bot's callbacks raised."""
        errors = self.errors
        if errors:
            name, text = errors[0]
            raise BotError(f"the bot's callbacks raised {len(errors)} time(s); the first, in {name}:\n{text}")

    def received(self, name):
        """Decoded arguments of every call of callback `name` the bot received, in order."""
        return self.recording.args(name)

    def sent(self, name=None):
        """The bot's sends, all or those of one session method: [(args, result)]."""
        return [(e["args"], e["result"]) for e in self.recording.sends(*([name] if name else []))]

    def stream(self, **kwargs):
        return self.recording.stream(**kwargs)

    def save(self, path):
        return self.recording.save(path)

    def timeline(self, path):
        from .timeline import write_html
        return write_html(self.recording, path)


class Runner:
    """run(bot, *args, **kwargs) plays the scenario with a bot of either kind:

    - a delegate class (a KWIXCloudDelegate subclass): built as bot(*args, **kwargs),
      wrapped so that its callbacks are recorded, given its session as `bot.cloud`;
    - a velmora.aio bot: an async function (or any callable returning an awaitable) called
      as bot(room, *args, **kwargs) with a velmora.aio Room entered at the bot's join time;
      the room is left when the function returns, or when it is cancelled at the bot's leave
      time or the scenario's end. Its event loop runs in the runner's steps, on the run's
      clock: on the manual clock a run is as repeatable as with a delegate class, and
      `asyncio.sleep` and time-outs count engine time. What the function returns is
      RunResult.value. Call run() from plain (not async) code.

    `clock` is a RealClock or ManualClock (default: manual where the engine has one).
    `enter` may adjust the bot's EnterRoomParams before it enters. When one of the bot's
    callbacks (or the async bot) raised, run() raises BotError after the run (the engine
    only logs such an exception), unless `allow_errors` is true; RunResult.errors lists
    them either way."""

    def __init__(self, scenario, clock=None, enter=None, allow_errors=False):
        self.scenario = scenario
        self.clock = clock or best_clock()
        self.enter = enter
        self.allow_errors = allow_errors

    def run(self, bot, *args, **kwargs):
        if isinstance(bot, type) and issubclass(bot, v.KWIXCloudDelegate):
            kind = _Run
        elif callable(bot) and not isinstance(bot, type):
            from .aio_bot import AioRun
            kind = AioRun
        else:
            raise TypeError(f"a bot is a KWIXCloudDelegate subclass or an async function taking a "
                            f"velmora.aio Room, not {bot!r}")
        self.clock.start()
        try:
            played = kind(self.scenario, self.clock, self.enter, bot, args, kwargs)
            try:
                played.play()
            finally:
                played.finish()
        finally:
            self.clock.stop()
        result = RunResult(self.scenario, played.recording, played.bot, played.participants)
        result.value = played.value
        if not self.allow_errors:
            result.check()
        return result


class _Run:
    """One play of a scenario: the room, its members, the timeline still to come, and the
    engine settings to put back afterwards."""

    def __init__(self, scenario, clock, enter, bot_class, args, kwargs):
        self.scenario, self.clock, self.enter = scenario, clock, enter
        self.room = f"{scenario.room}-{uuid.uuid4().hex[:12]}"
        self.bot_spec = scenario.bot
        self.recording = Recording({"user_id": self.bot_spec["user_id"], "clock": clock.name,
                                    "scenario": scenario.name, "room": scenario.room})
        self.recorder = Recorder(self.recording, clock)
        self.bot_in_room = False
        self.value = None
        self.make_bot(bot_class, args, kwargs)
        events = [Event(self.bot_spec["join_ms"], None, "bot_join", {}), *scenario.events]
        if self.bot_spec["leave_ms"] is not None:
            events.append(Event(self.bot_spec["leave_ms"], None, "bot_leave", {}))
        self.cast(events)

    def make_bot(self, bot_class, args, kwargs):
        self.bot = recording_class(bot_class)(*args, **kwargs)
        self.bot._velmora_recorder = self.recorder
        self.cloud = v.KWIXCloud(self.bot)
        self.bot_engine = control.newest_session()
        self.bot.cloud = RecordingSession(self.cloud, self.recorder)

    def settle(self):
        """Waits until every session of the run has delivered its callbacks."""
        control.settle(self.sessions())

    def cast(self, events):
        """The scenario's participants in this run's room, `events` as the timeline, and no
        engine setting changed yet."""
        self.participants = {pid: Participant(pid, self.room, self.clock, self.recorder, spec["role"],
                                              spec["hears_audio"])
                             for pid, spec in self.scenario.participants.items()}
        # (time, order, event): at one time, events keep the order given (the bot enters
        # first, then the file's order); an event made during the run (a rejoin) comes after
        # those already there.
        self.pending = []
        self.order = 0
        for event in events:
            self.schedule(event)
        self.changed_networks = set()  # users
        self.changed_room_wide = set()  # network actions of the whole room

    def schedule(self, event):
        heapq.heappush(self.pending, (event.at_ms, self.order, event))
        self.order += 1

    def sessions(self):
        live = self.bot_sessions()
        for participant in self.participants.values():
            live.extend(participant.sessions())
        return live

    def play(self):
        scenario = self.scenario
        # The network's top-level fields (quality_report_ms, seed: every run draws the same
        # losses, jitter and reorderings, network_timeout_ms).
        for name, setting in network.RUN_FIELDS.items():
            value = getattr(scenario, name)
            if value is not None:
                getattr(control, setting.control)(value)
        now = 0
        while True:
            while self.pending and self.pending[0][0] <= now:
                event = heapq.heappop(self.pending)[2]
                self.in_context(event.line, now, self.apply, event, now)
            # The bot answers this step's events (say, subscribing to a stream just opened)
            # before this step's media goes out, the same way every run.
            self.settle()
            for participant in self.participants.values():
                self.in_context(None, now, participant.send_due_media, now)
            self.settle()
            if now >= scenario.duration_ms:
                return
            self.clock.advance(scenario.tick_ms)
            now += scenario.tick_ms

    def in_context(self, line, now, step, *args):
        try:
            step(*args)
        except SimulationError as error:
            where = f"{self.scenario.source}:{line}" if line else self.scenario.source
            raise SimulationError(f"{where}: at {now} ms: {error}") from None

    def bot_join(self):
        params = enter_params(self.bot_spec["user_id"], self.room, pixel_output=self.bot_spec["pixel_output"])
        if self.enter is not None:
            self.enter(params)
        result = self.cloud.EnterRoom(params)
        if result != 0:
            raise SimulationError(f"the bot's EnterRoom returned {error_name(result)}")
        self.bot_in_room = True
        self.recorder.room(self.bot_spec["user_id"], "join")

    def bot_leave(self):
        if self.bot_in_room:
            self.bot_in_room = False
            self.cloud.ExitRoom()
            control.settle([self.bot_engine])
            self.recorder.room(self.bot_spec["user_id"], "leave")

    def apply(self, event, now):
        action, params = event.action, event.params
        if action == "bot_join":
            return self.bot_join()
        if action == "bot_leave":
            return self.bot_leave()
        if action in network.ACTIONS:
            return self.network(event, now)
        who = self.participants[event.who]
        if action == "join":
            who.join()
        elif action == "leave":
            who.leave()
        elif action == "reconnect":
            who.leave()
            self.schedule(Event(now + params["gap_ms"], event.who, "join", {}, event.line))
        elif action == "speak":
            who.speak(_source(params), now, params["source"])
        elif action == "stop_speaking":
            who.stop_speaking()
        elif action == "open_video":
            who.open_video(params["stream"], params["fps"], params["width"], params["height"],
                           params["frames"] == "pixel", now)
        elif action == "close_video":
            who.close_video(params["stream"])
        elif action == "sei":
            who.send_sei(params["message_type"], params["message"].encode())
        elif action == "custom_cmd":
            who.send_command(params["cmd_id"], params["message"].encode(), params["reliable"], params["ordered"])
        else:
            raise SimulationError(f"unknown action {action!r}")

    def network(self, event, now):
        """An action of velmora.testing.network's table, through its control function."""
        setting, params = network.ACTIONS[event.action], event.params
        args = setting.control_args(params)
        if setting.scope == "room":
            user = None
            self.changed_room_wide.add(event.action)
        else:
            user = event.who
            self.changed_networks.add(user)
            args = dict(args, user_id=user)
        for field in setting.fields:
            if field.kind == "quality" and field.name in args:  # scenarios name a quality
                args[field.name] = QUALITIES[args[field.name]]
        getattr(control, setting.control)(**args)
        if event.action == "unresponsive" and params["duration_ms"] is not None:
            self.schedule(Event(now + params["duration_ms"], user, "responsive", {}, event.line))
        self.recorder.room(user, event.action, setting.detail(params))

    def finish(self):
        """Everyone leaves, every callback is delivered, and the engine's switches are back
        where they were, even after a failed step."""
        try:
            self.bot_leave()
            for participant in self.participants.values():
                if participant.present:
                    participant.leave()
            self.settle()
        finally:
            # On a room bus this clears them in every process too: a run leaves no network
            # setting behind.
            for user in self.changed_networks:
                control.forget_network(user)
            for name, setting in network.RUN_FIELDS.items():
                if getattr(self.scenario, name) is not None and setting.engine_default is not None:
                    getattr(control, setting.control)(setting.engine_default)
            for name in self.changed_room_wide:
                setting = network.ACTIONS[name]
                getattr(control, setting.control)(setting.engine_default)
            self.release_bot()

    def bot_sessions(self):
        return [self.bot_engine]

    def release_bot(self):
        self.bot.cloud = None
        self.bot._velmora_recorder = None
        self.cloud = None  # destroys the bot's engine session


def _source(params):
    if params["source"] == "tone":
        return media.tone(params["duration_ms"], params["frequency_hz"], params["level_dbfs"],
                          params["sample_rate"])
    if params["source"] == "silence":
        return media.silence(params["duration_ms"], params["sample_rate"])
    try:
        return media.wav(params["path"], params["duration_ms"])
    except ValueError as error:  # the file changed since the scenario was checked
        raise SimulationError(str(error)) from None


def run(scenario, bot, *args, clock=None, enter=None, allow_errors=False, **kwargs):
    """Runner(scenario, clock, enter, allow_errors).run(bot, *args, **kwargs)."""
    return Runner(scenario, clock=clock, enter=enter, allow_errors=allow_errors).run(bot, *args, **kwargs)
