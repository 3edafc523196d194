"""Every setting and action of the loopback engine's simulated network, in one table.

Each entry names the function of velmora.testing.control that makes it, its fields (type,
unit, allowed range, default, meaning), the scenario action or top-level field that reaches
it, and the label a timeline shows. velmora.testing.control checks its arguments against the
fields here; scenario files, the runner, the timeline and `python -m velmora.testing
actions` read their lists from here. The ranges are the engine's own (engine/src/network/
network.h); a value outside them is refused there too.

Adding a network fault: its setting in the engine's network/ folder, a control function in
velmora.testing.control, and one entry here.
"""
import math
from dataclasses import dataclass, field
from typing import Dict, Optional, Tuple

REQUIRED = object()  # a field without a default: it must be given

MAX_DELAY_MS = 60000
MAX_DROP_MS = 24 * 3600 * 1000
MAX_TIMEOUT_MS = 24 * 3600 * 1000
MAX_REPORT_INTERVAL_MS = 3600 * 1000
MAX_BANDWIDTH_KBPS = 10000000
QUALITY_VALUES = (0, 6)  # NetworkQuality: UNKNOWN to DOWN


@dataclass(frozen=True)
class Field:
    name: str
    kind: str  # "int", "share" (a float from 0 to 1), "choice", "bool", "quality"
    meaning: str
    default: object = REQUIRED
    unit: str = ""
    low: Optional[int] = None
    high: Optional[int] = None
    choices: Tuple[str, ...] = ()
    scenario_only: bool = False  # the runner's business, not the control function's

    def check(self, value):
        """The value as the engine takes it; raises ValueError naming the field."""
        if self.kind == "int":
            if isinstance(value, bool) or not isinstance(value, int):
                raise ValueError(f"{self.name} is an integer ({self.unit or 'count'}), not {value!r}")
            if not self.low <= value <= self.high:
                raise ValueError(f"{self.name} is from {self.low} to {self.high}{' ' + self.unit if self.unit else ''}"
                                 f", not {value}")
            return value
        if self.kind == "share":
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise ValueError(f"{self.name} is a share from 0 to 1, not {value!r}")
            if not (math.isfinite(value) and 0.0 <= value <= 1.0):
                raise ValueError(f"{self.name} is a share from 0 to 1, not {value}")
            return float(value)
        if self.kind == "choice":
            if value not in self.choices:
                raise ValueError(f"{self.name} is one of {', '.join(self.choices)}, not {value!r}")
            return value
        if self.kind == "quality":
            try:
                number = int(value)
            except (TypeError, ValueError):
                raise ValueError(f"{self.name} is a NetworkQuality, not {value!r}") from None
            if isinstance(value, (bool, float)) or not self.low <= number <= self.high:
                raise ValueError(f"{self.name} is a NetworkQuality ({self.low} to {self.high}), not {value!r}")
            return number
        return bool(value)


@dataclass(frozen=True)
class Setting:
    """One setting or action. `scope`: "member" (a user's network: a participant or the bot),
    "participant" (a scripted participant only), "room" (the whole run, as an event), "run" (a
    top-level field of the scenario, set when the run starts and restored at its end)."""
    name: str  # the scenario's action (or, for "run", its top-level field); None: control only
    control: str  # the function of velmora.testing.control
    scope: str
    meaning: str
    fields: Tuple[Field, ...] = ()
    label: str = ""  # what a timeline writes before the details
    fixed: Dict[str, object] = field(default_factory=dict)  # arguments the action always passes
    engine_default: object = None  # "run", "room": the engine's own, which the end of a run restores

    def field_named(self, name):
        return next(f for f in self.fields if f.name == name)

    def check(self, **values):
        """The values checked against the fields named by the keywords: a dict of them as the
        engine takes them; raises ValueError naming the field."""
        return {name: self.field_named(name).check(value) for name, value in values.items()}

    def control_args(self, params):
        """The control function's keyword arguments for a scenario event's fields."""
        args = dict(self.fixed)
        args.update({f.name: params[f.name] for f in self.fields if not f.scenario_only})
        return args

    def detail(self, params):
        """What a recording notes of an event: one field's value (with its unit), or the fields
        set, or None."""
        shown = [f for f in self.fields if params.get(f.name) not in (None, 0, 0.0, False)]
        if len(self.fields) == 1:
            only = self.fields[0]
            value = params.get(only.name)
            if value is None:
                return None
            return f"{value} {only.unit}" if only.unit == "ms" else value
        return ", ".join(f"{f.name}={params[f.name]}" for f in shown) or None


def _ms(name, meaning, low, high, default=REQUIRED, **more):
    return Field(name, "int", meaning, default, "ms", low, high, **more)


def _share(name, meaning, default=0.0):
    return Field(name, "share", meaning, default, "share", 0, 1)


SETTINGS = (
    Setting("network_quality", "set_network_quality", "participant",
            "the network quality reported for the member, whatever its network does",
            (Field("quality", "quality", "a NetworkQuality (in scenarios its name: excellent, good, ...)",
                   low=QUALITY_VALUES[0], high=QUALITY_VALUES[1]),),
            label="network quality set to"),
    Setting("custom_cmd_loss", "set_custom_cmd_loss", "room",
            "share of every unreliable custom command lost on the way, on top of each link's own",
            (_share("share", "share lost", REQUIRED),), label="custom command loss", engine_default=0.0),
    Setting("network", "set_link", "member",
            "the faults of the member's link from now on, replacing what was set there",
            (Field("direction", "choice", "uplink: what it sends; downlink: what it receives", "both",
                   choices=("both", "uplink", "downlink")),
             _ms("latency_ms", "added delay", 0, MAX_DELAY_MS, 0),
             _ms("jitter_ms", "a further delay from 0 to this, drawn per delivery", 0, MAX_DELAY_MS, 0),
             _share("audio_loss", "share of audio frames lost"),
             _share("video_loss", "share of video frames (and their SEI messages) lost"),
             _share("command_loss", "share of unreliable custom commands lost"),
             _share("reorder", "share of unordered custom commands that arrive after the next one")),
            label="network"),
    Setting("bandwidth", "set_bandwidth", "member",
            "a cap on the member's link from now on: video queues and is lost past 500 ms, and a sender "
            "over its uplink's cap is asked to send less",
            (Field("direction", "choice", "uplink: what it sends; downlink: what it receives", "both",
                   choices=("both", "uplink", "downlink")),
             Field("kbps", "int", "the cap; 0 removes it", REQUIRED, "kbit/s", 0, MAX_BANDWIDTH_KBPS)),
            label="bandwidth"),
    Setting("disconnect", "disconnect", "member", "the member's connection drops now, for a while",
            (_ms("duration_ms", "how long it stays dropped", 1, MAX_DROP_MS),), label="disconnect"),
    Setting("unresponsive", "set_unresponsive", "member",
            "the member stops answering: connected, but nothing it sends arrives",
            (_ms("duration_ms", "until a responsive event or the end when left out", 1, MAX_DROP_MS, None,
                 scenario_only=True),),
            label="unresponsive", fixed={"on": True}),
    Setting("responsive", "set_unresponsive", "member", "the member answers again",
            label="responsive", fixed={"on": False}),
    Setting(None, "forget_network", "member", "every setting of the user goes, its network quality too"),
    Setting("seed", "network_seed", "run", "seeds every loss, jitter and reordering draw of the network",
            (Field("seed", "int", "the seed", 0, "", 0, 2 ** 64 - 1),)),
    Setting("network_timeout_ms", "set_network_timeout", "run",
            "silence after which the others see a member leave",
            (_ms("timeout_ms", "the time-out", 1, MAX_TIMEOUT_MS, None),), engine_default=10000),
    Setting("quality_report_ms", "set_network_quality_interval", "run", "interval of network quality reports",
            (_ms("interval_ms", "the interval", 1, MAX_REPORT_INTERVAL_MS, None),), engine_default=2000),
)

BY_CONTROL = {s.control: s for s in SETTINGS if s.fixed.get("on") is not False}
ACTIONS = {s.name: s for s in SETTINGS if s.name is not None and s.scope != "run"}
RUN_FIELDS = {s.name: s for s in SETTINGS if s.scope == "run"}
