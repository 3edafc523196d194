"""Command line of the room simulator.

    python -m velmora.testing actions
    python -m velmora.testing check SCENARIO
    python -m velmora.testing record SCENARIO -o run.jsonl [--bot module:Class] [--clock manual]
    python -m velmora.testing replay run.jsonl [--bot module:Class] [--speed recorded]
    python -m velmora.testing timeline run.jsonl -o run.html
    python -m velmora.testing participants SCENARIO --redis URL [--room NAME]

A bot is named as "package.module:Class" or "path/to/file.py:Class"; without one, a bot
that only listens records the room (record) or every callback is printed (replay)."""
import argparse
import importlib
import importlib.util
import os
import sys

import _velmora as v

from . import control, scenario, values
from .clock import ManualClock, RealClock, best_clock
from .recording import CALLBACKS, Recording, RecordingFormatError, replay
from .runner import run
from .scenario import ScenarioError, load
from .participants import SimulationError


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


def load_bot(spec):
    """The class named by "module:Class" or "file.py:Class"."""
    module_name, _, class_name = spec.rpartition(":")
    if not module_name or not class_name:
        raise SystemExit(f'--bot {spec}: name a class as "module:Class" or "file.py:Class"')
    if module_name.endswith(".py"):
        if not os.path.isfile(module_name):
            raise SystemExit(f"--bot {spec}: no such file {module_name}")
        loaded = importlib.util.spec_from_file_location("velmora_bot_under_test", module_name)
        module = importlib.util.module_from_spec(loaded)
        loaded.loader.exec_module(module)
    else:
        module = importlib.import_module(module_name)
    bot = getattr(module, class_name, None)
    if not (isinstance(bot, type) and issubclass(bot, v.KWIXCloudDelegate)):
        raise SystemExit(f"--bot {spec}: {class_name} is not a KWIXCloudDelegate subclass in {module_name}")
    return bot


def print_actions():
    """Every event action and its fields beyond at_ms, who and action, with defaults."""
    for action, fields in scenario.ACTIONS.items():
        if action in scenario.ROOM_WIDE_ACTIONS:
            who = ""
        elif action in scenario.NETWORK_ACTIONS:
            who = " (needs who: a participant or the bot)"
        else:
            who = " (needs who)"
        print(f"{action}{who}")
        for field, (_, default) in fields.items():
            shown = "required" if default is scenario.REQUIRED else f"default {default!r}"
            print(f"    {field}: {shown}")


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
    record.add_argument("--bot", help="the bot's delegate class (default: one that only listens)")
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
    others.add_argument("--start-at", type=float, help="wall time (seconds since the epoch) of the scenario's 0 ms")
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
            result = run(load(args.scenario), bot, clock=_clock(args.clock))
            result.save(args.output)
            print(f"recorded {len(result.recording.callbacks())} callbacks to {args.output}")
            if args.timeline:
                result.timeline(args.timeline)
                print(f"timeline written to {args.timeline}")
        elif args.command == "replay":
            recording = Recording.load(args.recording)
            bot = load_bot(args.bot) if args.bot else PrintingBot
            calls = replay(recording, bot(), speed=args.speed)
            print(f"replayed {calls} callbacks from {args.recording}")
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
    except (ScenarioError, RecordingFormatError, SimulationError, OSError, control.ControlError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
