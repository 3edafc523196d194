"""Puts a bot into a scenario: a loopback room of its own, the scripted participants, and the
bot's delegate class, stepped through the timeline on a clock.

Each step runs the events due, sends the media frames due, waits until every session has
delivered all its callbacks, and only then moves the clock on. On the manual clock a run is
therefore a pure function of the scenario and the bot: the bot receives the same callbacks
with the same arguments in the same order every time."""
import bisect
import uuid

import _velmora as v

from . import control, media
from .clock import best_clock
from .participants import Participant, SimulationError, enter_params, error_name
from .recording import Recorder, Recording, recording_class
from .scenario import Event

# Session calls that only read; the rest are the bot's sends.
_NOT_SENDS = frozenset(("GetAudioFrame",))


class BotError(AssertionError):
    """The bot's own callback methods raised during a run."""


class RecordingSession:
    """The bot's session as the runner hands it over (`bot.cloud`): every KWIXCloud method,
    each send noted in the run's recording."""

    def __init__(self, cloud, recorder):
        self._cloud = cloud
        self._recorder = recorder

    def __getattr__(self, name):
        method = getattr(self._cloud, name)
        if name in _NOT_SENDS or not callable(method):
            return method

        def send(*args, **kwargs):
            result = method(*args, **kwargs)
            self._recorder.send(name, list(args) + list(kwargs.values()), result)
            return result
        send.__name__ = name
        return send


class RunResult:
    """What a run produced: `recording` (the bot's callbacks, its sends and the room's
    events), the `bot` object, the `participants` by id (each with its own `received`)."""

    def __init__(self, scenario, recording, bot, participants):
        self.scenario, self.recording, self.bot, self.participants = scenario, recording, bot, participants

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
    """run(bot_class, *args, **kwargs) builds the bot as bot_class(*args, **kwargs) (wrapped
    so that its callbacks are recorded), gives it its session as `bot.cloud`, and plays the
    scenario. `clock` is a RealClock or ManualClock (default: manual where the engine has
    one). `enter` may adjust the bot's EnterRoomParams before it enters. When one of the
    bot's callbacks raised, run() raises BotError after the run (the engine only logs such
    an exception), unless `allow_errors` is true; RunResult.errors lists them either way."""

    def __init__(self, scenario, clock=None, enter=None, allow_errors=False):
        self.scenario = scenario
        self.clock = clock or best_clock()
        self.enter = enter
        self.allow_errors = allow_errors

    def run(self, bot_class, *args, **kwargs):
        scenario, clock = self.scenario, self.clock
        room = f"{scenario.room}-{uuid.uuid4().hex[:12]}"
        bot_spec = scenario.bot
        clock.start()
        recording = Recording({"user_id": bot_spec["user_id"], "clock": clock.name,
                               "scenario": scenario.name, "room": scenario.room})
        recorder = Recorder(recording, clock)
        bot = recording_class(bot_class)(*args, **kwargs)
        bot._velmora_recorder = recorder
        cloud = v.KWIXCloud(bot)
        bot_engine = control.newest_session()
        bot.cloud = RecordingSession(cloud, recorder)
        participants = {pid: Participant(pid, room, clock, recorder, spec["role"])
                        for pid, spec in scenario.participants.items()}
        pending = list(scenario.events)
        pending.append(Event(bot_spec["join_ms"], None, "bot_join", {}))
        if bot_spec["leave_ms"] is not None:
            pending.append(Event(bot_spec["leave_ms"], None, "bot_leave", {}))
        pending.sort(key=lambda e: e.at_ms)
        state = {"bot_in_room": False, "qualities": set(), "loss": False}

        def sessions():
            live = [bot_engine]
            for participant in participants.values():
                live.extend(participant.sessions())
            return live

        def bot_join():
            params = enter_params(bot_spec["user_id"], room, pixel_output=bot_spec["pixel_output"])
            if self.enter is not None:
                self.enter(params)
            result = cloud.EnterRoom(params)
            if result != 0:
                raise SimulationError(f"the bot's EnterRoom returned {error_name(result)}")
            state["bot_in_room"] = True
            recorder.room(bot_spec["user_id"], "join")

        def bot_leave():
            if state["bot_in_room"]:
                state["bot_in_room"] = False
                cloud.ExitRoom()
                control.settle([bot_engine])
                recorder.room(bot_spec["user_id"], "leave")

        def apply(event, now):
            if event.action == "bot_join":
                return bot_join()
            if event.action == "bot_leave":
                return bot_leave()
            if event.action == "custom_cmd_loss":
                control.set_custom_cmd_loss(event.params["share"])
                state["loss"] = True
                return recorder.room(None, "custom_cmd_loss", event.params["share"])
            who = participants[event.who]
            params = event.params
            if event.action == "join":
                who.join()
            elif event.action == "leave":
                who.leave()
            elif event.action == "reconnect":
                who.leave()
                # After the events already due at that time, like a file's later line.
                later = Event(now + params["gap_ms"], event.who, "join", {}, event.line)
                pending.insert(bisect.bisect_right([e.at_ms for e in pending], later.at_ms), later)
            elif event.action == "speak":
                who.speak(_source(params), now, params["source"])
            elif event.action == "stop_speaking":
                who.stop_speaking()
            elif event.action == "open_video":
                who.open_video(params["stream"], params["fps"], params["width"], params["height"],
                               params["frames"] == "pixel", now)
            elif event.action == "close_video":
                who.close_video(params["stream"])
            elif event.action == "sei":
                who.send_sei(params["message_type"], params["message"].encode())
            elif event.action == "custom_cmd":
                who.send_command(params["cmd_id"], params["message"].encode(), params["reliable"],
                                 params["ordered"])
            elif event.action == "network_quality":
                who.set_network_quality(params["quality"])
                state["qualities"].add(event.who)
            else:
                raise SimulationError(f"unknown action {event.action!r}")

        if scenario.quality_report_ms is not None:
            control.set_network_quality_interval(scenario.quality_report_ms)
        now = 0
        try:
            while True:
                while pending and pending[0].at_ms <= now:
                    event = pending.pop(0)
                    try:
                        apply(event, now)
                    except SimulationError as error:
                        where = f"{scenario.source}:{event.line}" if event.line else scenario.source
                        raise SimulationError(f"{where}: at {now} ms: {error}") from None
                for participant in participants.values():
                    participant.send_due_media(now)
                control.settle(sessions())
                if now >= scenario.duration_ms:
                    break
                clock.advance(scenario.tick_ms)
                now += scenario.tick_ms
        finally:
            try:
                bot_leave()
                for participant in participants.values():
                    if participant.present:
                        participant.leave()
                control.settle(sessions())
            finally:
                for user in state["qualities"]:
                    control.set_network_quality(user, v.NETWORK_QUALITY_EXCELLENT)
                if scenario.quality_report_ms is not None:
                    control.set_network_quality_interval(control.DEFAULT_QUALITY_REPORT_MS)
                if state["loss"]:
                    control.set_custom_cmd_loss(0.0)
                clock.stop()
        bot.cloud = None
        bot._velmora_recorder = None
        del cloud
        result = RunResult(scenario, recording, bot, participants)
        if not self.allow_errors:
            result.check()
        return result


def _source(params):
    if params["source"] == "tone":
        return media.tone(params["duration_ms"], params["frequency_hz"], params["level_dbfs"],
                          params["sample_rate"])
    if params["source"] == "silence":
        return media.silence(params["duration_ms"], params["sample_rate"])
    return media.wav(params["path"], params["duration_ms"])


def run(scenario, bot_class, *args, clock=None, enter=None, allow_errors=False, **kwargs):
    """Runner(scenario, clock, enter, allow_errors).run(bot_class, *args, **kwargs)."""
    return Runner(scenario, clock=clock, enter=enter, allow_errors=allow_errors).run(bot_class, *args, **kwargs)
