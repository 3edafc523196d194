"""The clocks a scenario runs on: the real one, or the engine's manual clock that only the
runner moves, so a minute of a room passes in as long as the machine needs for its work.

A clock counts milliseconds from its start(); advance(ms) returns once that much time has
passed on it. The runner waits for the sessions to settle after each step itself."""
import time

from . import control


class RealClock:
    """Wall time: advance() sleeps. The engine's own timers (network quality reports) run
    on their own, so what they deliver depends on the machine's speed. `max_lag_ms` is how
    far the run fell behind the wall clock at worst (0 when it kept up)."""

    name = "real"
    deterministic = False

    def __init__(self):
        self._origin = None
        self._target = 0
        self.max_lag_ms = 0

    def start(self):
        self._origin = time.monotonic()
        self._target = 0
        self.max_lag_ms = 0

    def stop(self):
        pass

    def now_ms(self):
        return int((time.monotonic() - self._origin) * 1000)

    def advance(self, ms):
        self._target += ms
        delay = self._origin + self._target / 1000 - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        else:
            self.max_lag_ms = max(self.max_lag_ms, int(-delay * 1000))


class ManualClock:
    """The engine's manual clock: time stands still but for advance(), and every timed thing
    in the engine (mixing, paced sends, reports) runs on it."""

    name = "manual"
    deterministic = True

    def __init__(self):
        self._origin = 0

    def start(self):
        control.clock_manual(True)
        self._origin = control.clock_now()

    def stop(self):
        control.clock_manual(False)

    def now_ms(self):
        return control.clock_now() - self._origin

    def advance(self, ms):
        control.clock_advance(ms)


def best_clock():
    """The clock a scenario runs on unless told otherwise: the manual one, for repeatable runs."""
    return ManualClock()
