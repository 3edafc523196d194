"""Losing the Redis server: a stalled or restarted server is a dropped connection the room
comes back from, and no call waits for the server."""
import pytest

import _velmora as v
from helpers_bus import Member, claim_key, leave, room_name, stop
from velmora.testing import control
from velmora.testing.participants import enter_params
from velmora.testing.processes import wait_for

pytestmark = [pytest.mark.skipif(not control.available(), reason="needs the loopback engine"),
              pytest.mark.slow]

INIT, CONNECTING, CONNECTED, DISCONNECTED = (int(v.CONNECTION_STATE_INIT), int(v.CONNECTION_STATE_CONNECTING),
                                             int(v.CONNECTION_STATE_CONNECTED),
                                             int(v.CONNECTION_STATE_DISCONNECTED))
ENTERED = [("state", INIT, CONNECTING), ("state", CONNECTING, CONNECTED)]
DROPPED = [("state", CONNECTED, DISCONNECTED), ("error", int(v.ERR_NETWORK_UNREACHABLE)),
           ("state", DISCONNECTED, CONNECTING)]
BACK = [("state", CONNECTING, CONNECTED)]


def spawn_alice(spawn_python, url, room):
    """alice, in another process, sends a numbered command every 50 ms until she hears
    "after" from the bot; then she leaves and her process ends with 0."""
    return spawn_python(f"""
        import threading
        import _velmora as v
        from velmora import QuietDelegate
        from velmora.testing.participants import enter_params

        class Alice(QuietDelegate):
            def __init__(self):
                super().__init__()
                self.after = threading.Event()

            def OnReceiveCustomCmdMsg(self, user_id, cmd_id, seq, message):
                if message == b"after":
                    self.after.set()

        alice = Alice()
        cloud = v.KWIXCloud(alice)
        assert cloud.EnterRoom(enter_params("alice", {room!r})) == 0
        n = 0
        while not alice.after.wait(0.05):
            n += 1
            cloud.SendCustomCmdMsg(7, str(n).encode(), True, True)
        cloud.ExitRoom()
    """, {"VELMORA_LOOPBACK_REDIS": url})


@pytest.mark.parametrize("outage", ["pause", "restart"])
def test_the_room_carries_on_after_its_server_stalls_or_restarts(velmora_redis, spawn_python, outage):
    # An expiry beyond the outage: the members must come through it, not leave and come back.
    url = velmora_redis.url + "?expiry_ms=30000"
    control.bus_connect(url)
    room = room_name()
    bot = Member()
    cloud = v.KWIXCloud(bot)
    bot.cloud = cloud
    assert cloud.EnterRoom(enter_params("bot", room)) == 0
    child = spawn_alice(spawn_python, url, room)
    try:
        wait_for(lambda: bot.events("cmd"), timeout_s=30, what="alice's commands")
        getattr(velmora_redis, outage)()
        # What the bot sends meets the lost server at once; it hears a dropped connection (a
        # restarted server may be back already by the time this looks: the whole order is
        # checked once the connection is back).
        dropped = slice(len(ENTERED), len(ENTERED) + len(DROPPED))
        wait_for(lambda: cloud.SendCustomCmdMsg(1, b"during", True, True) and
                 bot.events("state", "error")[dropped] == DROPPED, timeout_s=30, what="the dropped connection")
        wait_for(lambda: cloud.SendCustomCmdMsg(1, b"during", True, True) and control.bus_counter("lost") > 0,
                 timeout_s=30, what="a command counted as lost")
        if outage == "pause":
            velmora_redis.resume()
        wait_for(lambda: bot.events("state", "error") == ENTERED + DROPPED + BACK, timeout_s=30,
                 what="the connection coming back")
        heard = len(bot.events("cmd"))
        wait_for(lambda: len(bot.events("cmd")) > heard + 2, timeout_s=30, what="alice's commands after the outage")
        # Both processes hold their user ids again (a restarted server had forgotten them).
        for who in ("bot", "alice"):
            wait_for(lambda: velmora_redis.command("EXISTS", claim_key(room, who)) == 1, timeout_s=30,
                     what=f"{who}'s claim")
        # And the bot reaches alice's process again.
        wait_for(lambda: cloud.SendCustomCmdMsg(9, b"after", True, True) and child.poll() is not None,
                 timeout_s=30, what="alice hearing the bot")
        assert child.returncode == 0, child.stdout.read().decode(errors="replace")
        wait_for(lambda: bot.events("exit"), what="alice leaving")
        assert bot.events("enter", "exit") == [("enter", "alice"), ("exit", "alice", 0)]
        assert control.bus_counter("reconnects") == 1
        leave(bot, cloud)
    finally:
        velmora_redis.resume()
        stop(child)
        control.bus_disconnect()


def test_enter_room_returns_at_once_while_the_server_is_stalled(velmora_bus):
    room = room_name()
    bot = Member()
    cloud = v.KWIXCloud(bot)
    velmora_bus.pause()
    try:
        assert cloud.EnterRoom(enter_params("bot", room)) == 0
        # Returned while the server could not answer: the claim waits in the background.
        assert control.bus_counter("claiming") == 1
        assert control.find_session("bot") is not None
    finally:
        velmora_bus.resume()
    wait_for(lambda: control.bus_counter("claiming") == 0, timeout_s=30, what="the claim's answer")
    assert velmora_bus.command("EXISTS", claim_key(room, "bot")) == 1
    assert ("error", int(v.ERR_ENTER_ROOM_FAILED)) not in bot.events() and not bot.events("exitroom")
    leave(bot, cloud)
