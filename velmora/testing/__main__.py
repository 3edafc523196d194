"""Command line of the room simulator.

    python -m velmora.testing actions
    python -m velmora.testing check SCENARIO
    python -m velmora.testing record SCENARIO -o run.jsonl [--bot module:Name] [--clock manual]
    python -m velmora.testing replay run.jsonl [--bot module:Class] [--speed recorded]
    python -m velmora.testing timeline run.jsonl -o run.html
    python -m velmora.testing participants SCENARIO --redis URL [--room NAME]

A bot is named as "package.module:Name" or "path/to/file.py:Name": a delegate class, or for
record also an async function taking a velmora.aio Room; without one, a bot that only
listens records the room (record) or every callback is printed (replay). Bad input ends
with exit status 2 and an "error:" line naming the file, the line and the field."""
import argparse
import collections
import importlib
import importlib.util
import math
import os
import sys
import time
import traceback

import _velmora as v

from . import control, scenario, values
from .clock import ManualClock, RealClock, best_clock
from .recording import CALLBACKS, Recording, RecordingFormatError, ReplaySession, replay
from .runner import run
from .scenario import ScenarioError, load
from .participants import SimulationError
from .processes import MAX_START_DELAY_S


class ListeningBot(v.KWIXCloudDelegate):
    """Receives everything and does nothing (the runner records what it gets)."""


class PrintingBot(v.KWIXCloudDelegate):
    """Prints one line per callback."""


def _printer(name):
    def method(self, *args):
        print(name, " ".join(values.brief(values.encode(a)) for a in args))
    method.__name__ = name
    return method


for _name in CALLBACKS:
    setattr(PrintingBot, _name, _printer(_name))


class UsageError(ValueError):
    """A command line that cannot be carried out; the message says what to change."""


def load_bot(spec, delegate_only=False):
    """The bot named by "module:Name" or "file.py:Name": a KWIXCloudDelegate subclass, or
    (unless `delegate_only`) an async function taking a velmora.aio Room."""
    module_name, _, name = spec.rpartition(":")
    if not module_name or not name:
        raise UsageError(f'--bot {spec}: name a bot as "module:Name" or "file.py:Name"')
    try:
        if module_name.endswith(".py"):
            if not os.path.isfile(module_name):
                raise UsageError(f"--bot {spec}: no such file {module_name}")
            loaded = importlib.util.spec_from_file_location("velmora_bot_under_test", module_name)
            module = importlib.util.module_from_spec(loaded)
            loaded.loader.exec_module(module)
        else:
            module = importlib.import_module(module_name)
    except UsageError:
        raise
    except Exception as error:  # the bot's own module failed to load: say where
        place = error.filename if isinstance(error, SyntaxError) and error.filename else module_name
        line = f":{error.lineno}" if isinstance(error, SyntaxError) and error.lineno else ""
        raise UsageError(f"--bot {spec}: {place}{line}: cannot load it: {type(error).__name__}: {error}") from None
    bot = getattr(module, name, None)
    if isinstance(bot, type) and issubclass(bot, v.KWIXCloudDelegate):
        return bot
    if not delegate_only and callable(bot) and not isinstance(bot, type):
        return bot
    wanted = "a KWIXCloudDelegate subclass" if delegate_only else \
        "a KWIXCloudDelegate subclass or an async function taking a velmora.aio Room"
    raise UsageError(f"--bot {spec}: {name} in {module_name} is not {wanted}")


def _start_at(text):
    """--start-at: a wall time near now, so that a typo cannot wait for ages or overflow."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or abs(value - time.time()) > MAX_START_DELAY_S:
        raise argparse.ArgumentTypeError(
            f"{text} is not a wall time (seconds since the epoch) within a day of now")
    return value


def print_actions():
    """Every event action: what it does, and its fields beyond at_ms, who and action, with
    their defaults, allowed values, units and meanings."""
    for line in scenario.describe_actions():
        print(line)


def _clock(name):
    return {"manual": ManualClock, "real": RealClock, "best": best_clock}[name]()


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m velmora.testing", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("actions", help="list what scenario events can do, with their fields")
    check = commands.add_parser("check", help="validate a scenario file and print its timeline")
    check.add_argument("scenario")
    record = commands.add_parser("record", help="run a scenario with a bot and record what it received")
    record.add_argument("scenario")
    record.add_argument("-o", "--output", required=True, help="recording file to write (JSON lines)")
    record.add_argument("--bot", help="the bot: a delegate class or an async function taking a Room "
                                      "(default: one that only listens)")
    record.add_argument("--clock", choices=("best", "manual", "real"), default="best",
                        help="manual: the engine's manual clock; best: manual where the engine has it")
    record.add_argument("--timeline", help="also draw the recording as an HTML page here")
    play = commands.add_parser("replay", help="replay a recording into a fresh bot")
    play.add_argument("recording")
    play.add_argument("--bot", help="the bot's delegate class (default: print every callback)")
    play.add_argument("--speed", choices=("fast", "recorded"), default="fast")
    others = commands.add_parser("participants",
                                 help="play a scenario's participants (not its bot) in rooms shared through Redis")
    others.add_argument("scenario")
    others.add_argument("--redis", default=os.environ.get("VELMORA_LOOPBACK_REDIS"),
                        help="the Redis server's URL (default: $VELMORA_LOOPBACK_REDIS)")
    others.add_argument("--room", help="the room's name (default: the scenario's room)")
    others.add_argument("--start-at", type=_start_at,
                        help="wall time (seconds since the epoch, within a day of now) of the scenario's 0 ms")
    draw = commands.add_parser("timeline", help="draw a recording as a self-contained HTML page")
    draw.add_argument("recording")
    draw.add_argument("-o", "--output", required=True)
    args = parser.parse_args(argv)
    try:
        if args.command == "actions":
            print_actions()
        elif args.command == "check":
            checked = load(args.scenario)
            print(f"{checked.name}: {len(checked.participants)} participant(s), "
                  f"{len(checked.events)} step(s), {checked.duration_ms} ms")
            for event in checked.events:
                print(f"  {event.at_ms:>7} ms  {event.who or '(room)'}: {event.action} {event.params or ''}")
        elif args.command == "record":
            bot = load_bot(args.bot) if args.bot else ListeningBot
            result = run(load(args.scenario), bot, clock=_clock(args.clock), allow_errors=True)
            result.save(args.output)
            print(f"recorded {len(result.recording.callbacks())} callbacks to {args.output}")
            if args.timeline:
                result.timeline(args.timeline)
                print(f"timeline written to {args.timeline}")
            if result.errors:
                name, text = result.errors[0]
                print(f"error: the bot raised {len(result.errors)} time(s); the first, in {name}:\n{text}",
                      file=sys.stderr)
                return 1
        elif args.command == "replay":
            recording = Recording.load(args.recording)
            bot = load_bot(args.bot, delegate_only=True)() if args.bot else PrintingBot()
            try:
                calls = replay(recording, bot, speed=args.speed)
            except Exception:
                print(f"error: the bot raised while {args.recording} was replayed into it:\n"
                      f"{traceback.format_exc()}", file=sys.stderr)
                return 1
            print(f"replayed {calls} callbacks from {args.recording}")
            sends = bot.cloud.recording.sends() if isinstance(bot.cloud, ReplaySession) else []
            if sends:
                counts = collections.Counter(e["name"] for e in sends)
                print("the bot sent " + ", ".join(f"{name} x{n}" for name, n in counts.items()))
        elif args.command == "participants":
            if not args.redis:
                raise SystemExit("participants: give --redis URL (or set VELMORA_LOOPBACK_REDIS)")
            from .processes import play_participants
            checked = load(args.scenario)
            played = play_participants(checked, args.room or checked.room, args.redis, args.start_at)
            print(f"played {len(played)} participant(s) of {checked.name} in {args.room or checked.room}")
        else:
            from .timeline import write_html
            write_html(Recording.load(args.recording), args.output)
            print(f"timeline written to {args.output}")
    except (ScenarioError, RecordingFormatError, SimulationError, UsageError, OSError, ValueError,
            control.ControlError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
