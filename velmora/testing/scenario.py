"""Scenario files: a room's timeline in TOML or JSON, checked field by field, with errors that
name the file, the line and the field.

    version = 1                  # format version of the file (1, the default)
    name = "late joiner"
    duration_ms = 4000           # default: the last event plus half a second
    tick_ms = 10                 # the runner's step
    quality_report_ms = 500      # network quality reports' interval (default: the engine's)
    seed = 0                     # seeds the network's loss, jitter and reordering draws
    network_timeout_ms = 10000   # silence after which the others see a member leave

    [bot]
    user_id = "bot"              # join_ms, leave_ms, pixel_output

    [[participant]]
    id = "alice"                 # join_ms (0), leave_ms, role ("anchor"), network_quality,
                                 # hears_audio (false: it stops the others' audio)
    join_ms = 0

    [[event]]
    at_ms = 500
    who = "alice"
    action = "speak"             # see ACTIONS for each action's fields
    source = "tone"
    duration_ms = 1000

A JSON file holds the same keys in one object ("participant" and "event" are arrays).
"""
import json
import json.decoder
import math
import json.scanner
import os
import re

from . import files, media, network
from .participants import QUALITIES, ROLES, STREAMS

VERSION = 1


class ScenarioError(ValueError):
    """A scenario file that cannot be run; the message says where and what to fix."""


# ---- field kinds ----------------------------------------------------------------------------

def _allowing(text):
    """Gives a check the text of what it allows (for `python -m velmora.testing actions`)."""
    def mark(check):
        check.allowed = text
        return check
    return mark


def _integer(low=None, high=None):
    if low is None:
        allowed = "an integer"
    elif high is None:
        allowed = f"an integer of at least {low}"
    else:
        allowed = f"an integer from {low} to {high}"

    @_allowing(allowed)
    def check(value):
        if not isinstance(value, int) or isinstance(value, bool):
            return "an integer"
        if (low is not None and value < low) or (high is not None and value > high):
            return allowed
        return None
    return check


def _even(low, high):
    within = _integer(low, high)

    def check(value):
        wrong = within(value)
        if wrong is None and value % 2:
            return f"an even integer from {low} to {high} (pictures are coded in 2x2 chroma blocks)"
        return wrong
    return check


def _number(low=None, high=None):
    allowed = (f"a number from {low} to {high}" if high is not None
               else f"a number of at least {low}" if low is not None else "a number")

    @_allowing(allowed)
    def check(value):
        if not isinstance(value, (int, float)) or isinstance(value, bool) or not math.isfinite(value):
            return "a finite number"
        if (low is not None and value < low) or (high is not None and value > high):
            return allowed
        return None
    return check


@_allowing("a non-empty text")
def _text(value):
    return None if isinstance(value, str) and value else "a non-empty text"


@_allowing("true or false")
def _boolean(value):
    return None if isinstance(value, bool) else "true or false"


def _one_of(*choices):
    allowed = "one of " + ", ".join(f'"{c}"' if isinstance(c, str) else str(c) for c in choices)

    @_allowing(allowed)
    def check(value):
        # bool is an int: true must not pass for 1
        if isinstance(value, bool) or not any(value == c and type(value) is type(c) for c in choices):
            return allowed
        return None
    return check


@_allowing("a text of at most 1024 bytes (UTF-8)")
def _message(value):
    if not isinstance(value, str):
        return "a text"
    return None if len(value.encode()) <= 1024 else "a text of at most 1024 bytes"


# A day: no scenario step lies further out, so a mistyped time cannot make a run last forever.
MAX_MS = 24 * 60 * 60 * 1000
TIME = _integer(0, MAX_MS)
LENGTH = _integer(1, MAX_MS)

# Field: (check, default); a default of REQUIRED must be given.
REQUIRED = network.REQUIRED


def _network_field(field):
    """(check, default) of a field of velmora.testing.network's table."""
    if field.kind == "int":
        check = _integer(field.low, field.high)
    elif field.kind == "share":
        check = _number(0, 1)
    elif field.kind == "choice":
        check = _one_of(*field.choices)
    elif field.kind == "quality":
        check = _one_of(*QUALITIES)
    else:
        check = _boolean
    return check, field.default


def _network_fields(setting):
    return {field.name: _network_field(field) for field in setting.fields}


TOP_FIELDS = {"version": (_integer(1), VERSION), "name": (_text, "scenario"),
              "room": (_text, "scenario"), "duration_ms": (LENGTH, None),
              "tick_ms": (_integer(1, 1000), 10),
              # quality_report_ms, seed, network_timeout_ms: the network's, from its table
              **{name: _network_field(setting.fields[0]) for name, setting in network.RUN_FIELDS.items()},
              "bot": (None, None),
              "participant": (None, None), "event": (None, None)}
BOT_FIELDS = {"user_id": (_text, "bot"), "join_ms": (TIME, 0), "leave_ms": (LENGTH, None),
              "pixel_output": (_boolean, False)}
PARTICIPANT_FIELDS = {"id": (_text, REQUIRED), "join_ms": (TIME, 0), "leave_ms": (LENGTH, None),
                      "role": (_one_of(*ROLES), "anchor"),
                      "network_quality": (_one_of(*QUALITIES), None), "hears_audio": (_boolean, False)}
EVENT_FIELDS = {"at_ms": (TIME, REQUIRED), "action": (None, REQUIRED), "who": (_text, REQUIRED)}
# The fields each action takes beyond at_ms, action and who.
ACTIONS = {
    "join": {},
    "leave": {},
    "reconnect": {"gap_ms": (TIME, 500)},
    "speak": {"source": (_one_of("tone", "silence", "wav"), "tone"), "duration_ms": (LENGTH, None),
              "frequency_hz": (_number(1, 24000), 440), "level_dbfs": (_number(-120, 0), -20),
              "path": (_text, None), "sample_rate": (_one_of(8000, 16000, 24000, 32000, 44100, 48000), 48000)},
    "stop_speaking": {},
    "open_video": {"stream": (_one_of(*STREAMS), "high"), "fps": (_integer(1, 60), 15),
                   "width": (_even(16, 1920), 160), "height": (_even(16, 1080), 120),
                   "frames": (_one_of("encoded", "pixel"), "encoded")},
    "close_video": {"stream": (_one_of(*STREAMS), "high")},
    "sei": {"message": (_message, REQUIRED), "message_type": (_integer(0, 255), 242)},
    # count > 1 repeats the command every_ms apart; "{n}" in the message counts from 1.
    "custom_cmd": {"message": (_message, REQUIRED), "cmd_id": (_integer(1, 2 ** 31 - 1), 1),
                   "reliable": (_boolean, True), "ordered": (_boolean, True),
                   "count": (_integer(1, 100000), 1), "every_ms": (LENGTH, 100)},
    # The network's actions (network_quality, custom_cmd_loss, network, disconnect,
    # unresponsive, responsive), from its table.
    **{name: _network_fields(setting) for name, setting in network.ACTIONS.items()},
}
ROOM_WIDE_ACTIONS = frozenset(name for name, s in network.ACTIONS.items() if s.scope == "room")
# What each action does, and each of its fields: (unit or None, meaning). Shown by
# `python -m velmora.testing actions` with the values each field's check allows.
ACTION_HELP = {
    "join": ("the participant enters the room (again, after a leave)", {}),
    "leave": ("the participant leaves the room", {}),
    "reconnect": ("the participant leaves, and enters again gap_ms later",
                  {"gap_ms": ("ms", "time out of the room")}),
    "speak": ("the participant speaks, in 20 ms frames, from its local audio channel (opened at its "
              "first speak; an audience member cannot speak)",
              {"source": (None, "what it says: a sine tone, silence, or a PCM WAV file (8, 16, 24 or 32-bit; "
                                "a rate no channel takes is converted to 48 kHz, more than two channels "
                                "mixed to one)"),
               "duration_ms": ("ms", "how long; required for a tone or silence, cuts a WAV file short"),
               "frequency_hz": ("Hz", "the tone's pitch"),
               "level_dbfs": ("dBFS", "the tone's level; 0 is full scale"),
               "path": (None, "the WAV file, relative to the scenario file (source \"wav\" only)"),
               "sample_rate": ("Hz", "the sample rate of a tone or silence")}),
    "stop_speaking": ("the participant stops speaking; its audio channel stays open", {}),
    "open_video": ("the participant opens a video stream and sends generated frames on it",
                   {"stream": (None, "which of its streams"),
                    "fps": ("frames per second", "how often a frame goes out"),
                    "width": ("pixels", "frame width"), "height": ("pixels", "frame height"),
                    "frames": (None, "encoded: stand-in encoded frames; pixel: I420 pixel frames")}),
    "close_video": ("the participant closes a video stream", {"stream": (None, "which of its streams")}),
    "sei": ("the participant sends a SEI message on its high video stream (open that stream first)",
            {"message": ("UTF-8 bytes", "the message"), "message_type": (None, "the SEI payload type")}),
    "custom_cmd": ("the participant sends a custom command to every other member",
                   {"message": ("UTF-8 bytes", 'the command\'s payload; "{n}" in it counts repeats from 1'),
                    "cmd_id": (None, "the command's id"),
                    "reliable": (None, "false: it may be lost (see command_loss, custom_cmd_loss)"),
                    "ordered": (None, "false: it may arrive after the next one (see reorder)"),
                    "count": (None, "how many times it is sent"),
                    "every_ms": ("ms", "time between repeats")}),
}
# The same for the network's actions, from its table.
NETWORK_HELP = {name: (setting.meaning, {f.name: (f.unit or None, f.meaning) for f in setting.fields})
                for name, setting in network.ACTIONS.items()}


def describe_actions():
    """Lines describing every action: what it does, then each field with its default, the
    values it allows, its unit and its meaning."""
    for action, fields in ACTIONS.items():
        meaning, field_help = ACTION_HELP.get(action) or NETWORK_HELP[action]
        if action in ROOM_WIDE_ACTIONS:
            who = ""
        elif action in NETWORK_ACTIONS:
            who = " (needs who: a participant or the bot)"
        else:
            who = " (needs who)"
        yield ""
        yield f"# {meaning}"
        yield f"{action}{who}"
        for field, (check, default) in fields.items():
            yield f"    {field}: " + ("required" if default is REQUIRED else f"default {default!r}")
            unit, explained = field_help.get(field, (None, None))
            detail = getattr(check, "allowed", "any value")
            if unit:
                detail += f", in {unit}"
            yield f"        {detail}" + (f": {explained}" if explained else "")

# Actions on a member's network, which the bot's user id may be the `who` of too.
NETWORK_ACTIONS = frozenset(name for name, s in network.ACTIONS.items() if s.scope == "member")


class Event:
    """One step of the timeline: at `at_ms`, `who` (None for the room) does `action` with
    `params`; `line` is where the file says so."""

    def __init__(self, at_ms, who, action, params, line=None):
        self.at_ms, self.who, self.action, self.params, self.line = at_ms, who, action, params, line

    def __repr__(self):
        return f"Event({self.at_ms}, {self.who!r}, {self.action!r}, {self.params!r})"


class Scenario:
    def __init__(self, name, room, duration_ms, tick_ms, bot, participants, events, source):
        self.name, self.room, self.duration_ms, self.tick_ms = name, room, duration_ms, tick_ms
        self.bot, self.participants, self.events, self.source = bot, participants, events, source
        self.quality_report_ms = None
        self.seed = 0
        self.network_timeout_ms = None


# ---- where things are in the file -----------------------------------------------------------

class _Locator:
    """Line numbers of tables and of their fields: `table` is "top", "bot", or
    ("participant", index) / ("event", index)."""

    def __init__(self, source):
        self.source = source
        self.spans = {}  # table -> [(line, key or None)]

    def line(self, table, field=None):
        entries = self.spans.get(table)
        if not entries:
            return None
        for line, key in entries:
            if key == field:
                return line
        return entries[0][0]

    def where(self, table, field=None):
        line = self.line(table, field)
        return f"{self.source}:{line}" if line is not None else self.source


_TOML_ARRAY = re.compile(r"^\s*\[\[\s*([A-Za-z0-9_-]+)\s*\]\]")
_TOML_TABLE = re.compile(r"^\s*\[\s*([A-Za-z0-9_-]+)\s*\]")
_TOML_KEY = re.compile(r'^\s*"?([A-Za-z0-9_-]+)"?\s*=')


def _locate_toml(text, source):
    locator = _Locator(source)
    counts = {}
    table = "top"
    locator.spans[table] = [(1, None)]
    for number, line in enumerate(text.splitlines(), start=1):
        array, plain = _TOML_ARRAY.match(line), _TOML_TABLE.match(line)
        if array:
            name = array.group(1)
            table = (name, counts.get(name, 0))
            counts[name] = counts.get(name, 0) + 1
            locator.spans[table] = [(number, None)]
            if counts[name] == 1:  # where the scenario's field of that name begins
                locator.spans["top"].append((number, name))
        elif plain:
            table = plain.group(1)
            locator.spans[table] = [(number, None)]
            locator.spans["top"].append((number, table))
        else:
            key = _TOML_KEY.match(line)
            if key:
                locator.spans[table].append((number, key.group(1)))
    return locator


def _parse_json(text, source):
    """The parsed object, and a locator built from where each JSON object starts and ends."""
    spans = {}
    decoder = json.JSONDecoder()

    def parse_object(s_and_end, *args):
        _, start = s_and_end
        parsed, end = json.decoder.JSONObject(s_and_end, *args)
        spans[id(parsed)] = (parsed, start - 1, end)
        return parsed, end

    decoder.parse_object = parse_object
    decoder.scan_once = json.scanner.py_make_scanner(decoder)
    try:
        data = decoder.decode(text)
    except json.JSONDecodeError as error:
        raise ScenarioError(f"{source}:{error.lineno}: not valid JSON: {error.msg} "
                            f"(column {error.colno})") from None

    def line_of(offset):
        return text.count("\n", 0, offset) + 1

    locator = _Locator(source)

    def add(table, obj):
        if id(obj) not in spans:
            return
        _, start, end = spans[id(obj)]
        entries = [(line_of(start), None)]
        for key in obj:
            match = re.search(r'"' + re.escape(key) + r'"\s*:', text[start:end])
            if match:
                entries.append((line_of(start + match.start()), key))
        locator.spans[table] = entries

    if isinstance(data, dict):
        add("top", data)
        add("bot", data.get("bot"))
        for name in ("participant", "event"):
            items = data.get(name)
            if isinstance(items, list):
                for index, item in enumerate(items):
                    add((name, index), item)
    return data, locator


# ---- checking -------------------------------------------------------------------------------

def _describe(table):
    if table == "top":
        return "the scenario"
    if table == "bot":
        return "[bot]"
    name, index = table
    return f"{name} #{index + 1}"


def _fields(raw, spec, table, locator):
    """The checked fields of one table, with defaults filled in."""
    if not isinstance(raw, dict):
        raise ScenarioError(f"{locator.where(table)}: {_describe(table)} must be a table of fields")
    for key in raw:
        if key not in spec:
            raise ScenarioError(
                f"{locator.where(table, key)}: {_describe(table)}: unknown field '{key}' "
                f"(known: {', '.join(sorted(spec))})")
    checked = {}
    for key, (check, default) in spec.items():
        if key not in raw:
            if default is REQUIRED:
                raise ScenarioError(f"{locator.where(table)}: {_describe(table)}: field '{key}' is missing")
            checked[key] = default
            continue
        if check is not None:
            problem = check(raw[key])
            if problem is not None:
                raise ScenarioError(f"{locator.where(table, key)}: {_describe(table)}: field '{key}' "
                                    f"must be {problem}, not {raw[key]!r}")
        checked[key] = raw[key]
    return checked


def _list_of_tables(data, name, locator):
    items = data.get(name, [])
    if not isinstance(items, list):
        raise ScenarioError(f"{locator.where('top', name)}: '{name}' must be a list of tables "
                            f"([[{name}]] in TOML)")
    return items


def _event(raw, index, participants, locator, base_dir, bot_id):
    table = ("event", index)
    action = raw.get("action") if isinstance(raw, dict) else None
    if isinstance(raw, dict) and "action" in raw and not (isinstance(action, str) and action in ACTIONS):
        raise ScenarioError(f"{locator.where(table, 'action')}: event #{index + 1}: field 'action' "
                            f"must be one of {', '.join(ACTIONS)}, not {action!r}")
    spec = dict(EVENT_FIELDS, **ACTIONS.get(action, {}))
    if action in ROOM_WIDE_ACTIONS:
        spec["who"] = (_text, None)
    fields = _fields(raw, spec, table, locator)
    who = fields.pop("who")
    if who is not None and who not in participants and not (action in NETWORK_ACTIONS and who == bot_id):
        bot_too = f" or, for {action}, the bot ({bot_id!r})" if action in NETWORK_ACTIONS else ""
        raise ScenarioError(f"{locator.where(table, 'who')}: event #{index + 1}: field 'who' names "
                            f"{who!r}, who is not a [[participant]]{bot_too} "
                            f"(known: {', '.join(participants) or 'none'})")
    if action == "speak":
        if fields["source"] == "wav":
            if fields["path"] is None:
                raise ScenarioError(f"{locator.where(table)}: event #{index + 1}: a wav source needs "
                                    "field 'path'")
            fields["path"] = os.path.join(base_dir, fields["path"])
            if not os.path.isfile(fields["path"]):
                raise ScenarioError(f"{locator.where(table, 'path')}: event #{index + 1}: field 'path': "
                                    f"no such file {fields['path']}")
            try:
                media.wav_format(fields["path"])
            except ValueError as error:
                raise ScenarioError(f"{locator.where(table, 'path')}: event #{index + 1}: field 'path': "
                                    f"{error}") from None
        elif fields["duration_ms"] is None:
            raise ScenarioError(f"{locator.where(table)}: event #{index + 1}: a {fields['source']} "
                                "source needs field 'duration_ms'")
    return Event(fields.pop("at_ms"), who, fields.pop("action"), fields, locator.line(table))


def build(data, locator, base_dir="."):
    """A Scenario from parsed data; raises ScenarioError naming the line and field."""
    if not isinstance(data, dict):
        raise ScenarioError(f"{locator.source}: a scenario is a table of fields at its top level")
    top = _fields(data, TOP_FIELDS, "top", locator)
    if top["version"] > VERSION:
        raise ScenarioError(f"{locator.where('top', 'version')}: scenario format version "
                            f"{top['version']} is newer than this package's ({VERSION}); update velmora")
    bot = _fields(data.get("bot", {}), BOT_FIELDS, "bot", locator)
    participants = {}
    events = []
    for index, raw in enumerate(_list_of_tables(data, "participant", locator)):
        fields = _fields(raw, PARTICIPANT_FIELDS, ("participant", index), locator)
        table = ("participant", index)
        if fields["id"] in participants or fields["id"] == bot["user_id"]:
            raise ScenarioError(f"{locator.where(table, 'id')}: participant #{index + 1}: id "
                                f"{fields['id']!r} is already taken; every member needs its own")
        if fields["leave_ms"] is not None and fields["leave_ms"] <= fields["join_ms"]:
            raise ScenarioError(f"{locator.where(table, 'leave_ms')}: participant #{index + 1}: "
                                f"field 'leave_ms' must be after join_ms ({fields['join_ms']})")
        participants[fields["id"]] = fields
        line = locator.line(table)
        if fields["network_quality"] is not None:
            events.append(Event(fields["join_ms"], fields["id"], "network_quality",
                                {"quality": fields["network_quality"]}, line))
        events.append(Event(fields["join_ms"], fields["id"], "join", {}, line))
        if fields["leave_ms"] is not None:
            events.append(Event(fields["leave_ms"], fields["id"], "leave", {}, line))
    for index, raw in enumerate(_list_of_tables(data, "event", locator)):
        events.extend(_repeated(_event(raw, index, participants, locator, base_dir, bot["user_id"])))
    # Stable: at one time, members join first, then the events in the file's order.
    events.sort(key=lambda e: e.at_ms)
    end = max([_end_of(e) for e in events] + [bot["join_ms"], bot["leave_ms"] or 0]) + 500
    duration = top["duration_ms"] if top["duration_ms"] is not None else end
    late = [e for e in events if e.at_ms > duration]
    if late:
        raise ScenarioError(f"{locator.source}:{late[0].line}: an event at {late[0].at_ms} ms comes after "
                            f"the scenario's end (duration_ms = {duration})")
    scenario = Scenario(top["name"], top["room"], duration, top["tick_ms"], bot, participants, events,
                        locator.source)
    scenario.quality_report_ms = top["quality_report_ms"]
    scenario.seed = top["seed"]
    scenario.network_timeout_ms = top["network_timeout_ms"]
    return scenario


def _repeated(event):
    if event.action != "custom_cmd":
        return [event]
    params = dict(event.params)
    count, every = params.pop("count"), params.pop("every_ms")
    return [Event(event.at_ms + n * every, event.who, event.action,
                  dict(params, message=params["message"].replace("{n}", str(n + 1))), event.line)
            for n in range(count)]


def _end_of(event):
    if event.action == "speak":
        return event.at_ms + (event.params["duration_ms"] or 0)
    if event.action == "reconnect":
        return event.at_ms + event.params["gap_ms"]
    if event.action in network.ACTIONS:
        return event.at_ms + (event.params.get("duration_ms") or 0)
    return event.at_ms


def parse(text, source="<scenario>", fmt=None, base_dir="."):
    """A Scenario from the text of a file; fmt is "toml" or "json" (default: by the source's
    extension, TOML unless it ends in .json)."""
    fmt = fmt or ("json" if str(source).endswith(".json") else "toml")
    if fmt not in ("json", "toml"):
        raise ValueError(f'a scenario format is "toml" or "json", not {fmt!r}')
    try:
        files.check_nesting(text, source, comments=fmt == "toml")
    except files.InputError as error:
        raise ScenarioError(str(error)) from None
    try:
        return _parse(text, source, fmt, base_dir)
    except RecursionError:
        raise ScenarioError(f"{source}: nested too deeply to read") from None


def _parse(text, source, fmt, base_dir):
    if fmt == "json":
        data, locator = _parse_json(text, source)
    elif fmt == "toml":
        try:
            import tomli
        except ImportError:
            raise ScenarioError(f"{source}: reading TOML scenarios needs the tomli package "
                                "(pip install tomli), or write the scenario as JSON") from None
        try:
            data = tomli.loads(text)
        except tomli.TOMLDecodeError as error:
            at = re.search(r"\(at line (\d+), column \d+\)", str(error))
            raise ScenarioError(f"{source}:{at.group(1)}: not valid TOML: {error}" if at
                                else f"{source}: not valid TOML: {error}") from None
        locator = _locate_toml(text, source)
    return build(data, locator, base_dir)


def load(path):
    """The Scenario in a .toml or .json file; WAV paths in it are relative to the file."""
    path = os.fspath(path)
    try:
        text = files.read_text(path, "scenario", files.SCENARIO_LIMIT)
    except files.InputError as error:
        raise ScenarioError(str(error)) from None
    return parse(text, path, base_dir=os.path.dirname(os.path.abspath(path)))
