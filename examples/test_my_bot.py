"""Testing a bot with the room simulator: a pytest file, run with

    python -m pytest examples/test_my_bot.py

The bot below greets everyone who enters the room, answers "ping" with "pong", and keeps
count of the custom commands it missed. The scenario puts it into a room with an early
member, a late joiner, a member on a lossy network and a member that drops out and comes
back; the bot's own connection drops for a moment too. The fixtures (velmora_runner, ...)
come from the velmora.testing pytest plugin.
"""
import collections

import _velmora as v
from velmora.testing import parse_scenario, values
from velmora.testing.assertions import assert_order, assert_received, assert_sent

GREETING, PONG = 1, 2

SCENARIO = parse_scenario("""
name = "greeter in a busy room"
quality_report_ms = 300

[bot]
user_id = "greeter"

[[participant]]
id = "early"
join_ms = 0

[[participant]]
id = "lossy"
join_ms = 50
network_quality = "bad"

[[participant]]
id = "flaky"
join_ms = 100

[[participant]]
id = "late"
join_ms = 850             # the late joiner

[[event]]
at_ms = 150
who = "early"
action = "speak"
source = "tone"
duration_ms = 300

[[event]]
at_ms = 300
who = "early"
action = "custom_cmd"
message = "ping"

[[event]]
at_ms = 400
who = "lossy"
action = "network"        # what lossy sends: 40 % of unreliable commands lost, late
direction = "uplink"
command_loss = 0.4
latency_ms = 40
jitter_ms = 30

[[event]]
at_ms = 400
who = "lossy"
action = "custom_cmd"
message = "reading {n}"
reliable = false
ordered = false
count = 40
every_ms = 10

[[event]]
at_ms = 900
who = "flaky"
action = "reconnect"      # leaves and comes back after gap_ms
gap_ms = 200

[[event]]
at_ms = 1150
who = "late"
action = "custom_cmd"
message = "ping"

[[event]]
at_ms = 1300
who = "greeter"           # the bot itself
action = "disconnect"
duration_ms = 200

[[event]]
at_ms = 1350
who = "early"
action = "custom_cmd"     # reliable: waits for the bot to reconnect
message = "ping"
""", source="greeter scenario")


class GreeterBot(v.KWIXCloudDelegate):
    """Greets every member who enters and answers "ping" with "pong". Sends through
    `self.cloud`, the session the runner hands it (in production: its own KWIXCloud)."""

    def __init__(self):
        super().__init__()
        self.cloud = None
        self.present = set()
        self.commands = collections.Counter()
        self.missed = collections.Counter()
        self.unexplained_gaps = 0
        self._last_seq = {}
        self._missed_since = collections.Counter()
        self.connection = []
        self.errors = []

    def OnConnectionStateChanged(self, old_state, new_state):
        self.connection.append(new_state)

    def OnError(self, error):
        self.errors.append(error)

    def OnRemoteUserEnterRoom(self, info):
        user = info.user_id.GetValue()
        self.present.add(user)
        self.cloud.SendCustomCmdMsg(GREETING, f"welcome {user}".encode(), True, True)

    def OnRemoteUserExitRoom(self, info, reason):
        user = info.user_id.GetValue()
        self.present.discard(user)
        # A member that comes back starts its sequence numbers afresh.
        self._last_seq.pop(user, None)
        self._missed_since.pop(user, None)

    def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
        expected = self._last_seq.get(user_id, 0) + self._missed_since.pop(user_id, 0) + 1
        if seq != expected:
            self.unexplained_gaps += 1
        self._last_seq[user_id] = seq
        self.commands[user_id] += 1
        if message == b"ping":
            self.cloud.SendCustomCmdMsg(PONG, b"pong", True, True)

    def OnMissCustomCmdMsg(self, user_id, cmd_id, error_code, missed):
        self.missed[user_id] += missed
        self._missed_since[user_id] += missed


def test_every_member_is_greeted_even_the_late_joiner(velmora_runner):
    result = velmora_runner(SCENARIO, GreeterBot)
    greeted = [args[1] for args in assert_sent(result, "SendCustomCmdMsg",
                                               where=lambda cmd_id, *_: cmd_id == GREETING)]
    assert sorted(greeted) == sorted(b"welcome " + u.encode() for u in
                                     ["early", "late", "lossy", "flaky", "flaky"])
    # The late joiner itself heard the greeting meant for it.
    heard = result.participants["late"].received.args("OnReceiveCustomCmdMsg")
    assert ("greeter", GREETING) in [(user, cmd_id) for user, cmd_id, _, _ in heard]


def test_pings_get_pongs(velmora_runner):
    result = velmora_runner(SCENARIO, GreeterBot)
    assert_sent(result, "SendCustomCmdMsg", where=lambda cmd_id, message, *_: message == b"pong",
                count=3)


def test_the_bot_rides_out_its_own_dropped_connection(velmora_runner):
    result = velmora_runner(SCENARIO, GreeterBot)
    bot = result.bot
    assert bot.connection[-3:] == [v.CONNECTION_STATE_DISCONNECTED, v.CONNECTION_STATE_CONNECTING,
                                   v.CONNECTION_STATE_CONNECTED]
    assert bot.errors == [v.ERR_NETWORK_UNREACHABLE]
    # The ping sent while it was away (at 1350 ms) arrived once it was back (1500 ms).
    pings = [entry["t"] for entry in result.recording.callbacks("OnReceiveCustomCmdMsg")
             if values.decode(entry["args"][0]) == "early" and values.decode(entry["args"][3]) == b"ping"]
    assert pings[-1] == 1500
    # Too short a drop for the others to see it leave.
    assert_received(result, "OnRemoteUserExitRoom", count=1)


def test_lost_commands_are_accounted_for(velmora_runner):
    result = velmora_runner(SCENARIO, GreeterBot)
    bot = result.bot
    # Every command either arrived or was reported missing, except losses at the very end
    # of the burst, which no later command reveals.
    assert bot.unexplained_gaps == 0
    assert bot.commands["lossy"] + bot.missed["lossy"] <= 40
    assert bot.commands["lossy"] < 40, "with 40 % loss some of 40 commands should be lost"
    assert bot.missed["lossy"] > 0


def test_a_member_that_reconnects_is_seen_leaving_and_coming_back(velmora_runner):
    result = velmora_runner(SCENARIO, GreeterBot)
    flaky = [args for args in result.received("OnRemoteUserEnterRoom")
             if args[0].user_id.GetValue() == "flaky"]
    assert len(flaky) == 2
    assert_received(result, "OnRemoteUserExitRoom", count=1,
                    where=lambda info, reason: info.user_id.GetValue() == "flaky")
    assert "flaky" in result.bot.present


def test_the_bot_hears_the_early_member_and_sees_the_bad_network(velmora_runner):
    result = velmora_runner(SCENARIO, GreeterBot)
    assert_order(result, "OnEnterRoom", "OnRemoteUserEnterRoom", "OnRemoteAudioAvailable")
    frames = assert_received(result, "OnRemoteAudioReceived",
                             where=lambda user, frame: user == "early")
    assert sum(len(frame.data) for _, frame in frames) > 0
    reports = [{r.user_id.GetValue(): r.quality for r in remote}
               for _, remote in result.received("OnNetworkQuality")]
    assert any(report.get("lossy") == v.NETWORK_QUALITY_BAD for report in reports)
