"""A room simulator for testing bots against the loopback engine, in-process and without a
server.

    from velmora.testing import load_scenario, run

    result = run(load_scenario("late_joiner.toml"), MyBot)     # a KWIXCloudDelegate, or an
                                                               # async function taking a Room
    assert result.received("OnRemoteUserEnterRoom")
    assert result.sent("SendCustomCmdMsg")

- scenario files (TOML or JSON) describe a room's timeline: scripted participants that join
  and leave, speak (tone, silence, WAV), open video streams, send SEI messages and custom
  commands, and change their network quality (velmora.testing.scenario);
- the runner plays a scenario with the bot's delegate class, or with a velmora.aio bot (an
  async function given the Room, its event loop stepped with the room), on the engine's
  manual clock (the same callbacks in the same order every run) or on the real clock;
- recordings of what the bot received, replayable into a fresh delegate, saved as versioned
  JSON lines and drawn as a self-contained HTML timeline; outside a scenario,
  `bot, recording = recorded(MyBot)` records any session's delegate, and a `RecordingDelegate`
  keeps every callback's arguments themselves with the thread that delivered them;
- a pytest plugin (velmora.testing.pytest_plugin) with fixtures and assertion helpers;
- rooms across processes through Redis: a private redis-server and participants played in
  another process (velmora.testing.processes);
- the engine's control API (velmora.testing.control): sessions, their journals, emitted
  callbacks, fault switches, the simulated network, the engine clock and the log.

Command line: python -m velmora.testing record|replay|timeline|check|participants ... (--help for each).
"""
from .clock import ManualClock, RealClock, best_clock
from .recording import Recording, RecordingDelegate, RecordingFormatError, recorded, recording_class, replay
from .runner import BotError, RunResult, Runner, run
from .scenario import Scenario, ScenarioError, load as load_scenario, parse as parse_scenario
from .participants import Participant, SimulationError

__all__ = [
    "ManualClock", "RealClock", "best_clock", "Recording", "RecordingDelegate", "RecordingFormatError",
    "recorded", "recording_class", "replay", "BotError", "RunResult", "Runner", "run",
    "Scenario", "ScenarioError", "load_scenario", "parse_scenario", "Participant", "SimulationError",
]
