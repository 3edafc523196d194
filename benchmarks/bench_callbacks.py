"""Callbacks per second from an engine thread into Python, beside the floor of calling the
same Python method from Python with prebuilt arguments; and SendAudioFrame calls per second.

Run in the project's virtual environment:  python benchmarks/bench_callbacks.py
"""
import threading
import time

import _velmora as v
from velmora import CALLBACKS
from velmora.testing import control
from velmora.testing.participants import enter_params

COUNT = 20000
STEREO_20MS_48K = 48000 * 2 * 2 // 50  # 16-bit samples: 3840 bytes


class Idle(v.KWIXCloudDelegate):
    """Does nothing with what it receives; OnExitRoom holds the engine thread at a gate."""

    def __init__(self):
        super().__init__()
        self.gate = threading.Event()

    def OnExitRoom(self):
        self.gate.wait()


for _name in CALLBACKS:
    if _name != "OnExitRoom":
        setattr(Idle, _name, lambda self, *args: None)


def delivery_rate(emit_one):
    """Queues COUNT callbacks behind one that holds the engine thread, then times the engine
    thread delivering all of them once it is let go."""
    delegate = Idle()
    session = v.KWIXCloud(delegate)
    engine = control.newest_session()
    control.set_media_queue_limit(COUNT + 1)
    control.emit_event(engine, "OnExitRoom")
    for _ in range(COUNT):
        emit_one(engine)
    start = time.perf_counter()
    delegate.gate.set()
    control.wait_idle(engine, timeout_ms=120000)
    elapsed = time.perf_counter() - start
    assert control.dropped_frames(engine) == 0
    del session
    control.reset_faults()
    return COUNT / elapsed


def python_floor(method, args):
    start = time.perf_counter()
    for _ in range(COUNT):
        method(*args)
    return COUNT / (time.perf_counter() - start)


def best(function, repeats=5):
    return max(function() for _ in range(repeats))


def enter(session, user):
    assert session.EnterRoom(enter_params(user, "bench", app_id=1)) == 0


def send_rate(receivers):
    listeners = [v.KWIXCloud(Idle()) for _ in range(receivers)]
    for index, session in enumerate(listeners):
        enter(session, f"listener{index}")
    sender = v.KWIXCloud(Idle())
    enter(sender, "speaker")
    assert sender.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
    frame = v.AudioFrame()
    frame.channels = 2
    frame.SetData(bytes(STEREO_20MS_48K))
    start = time.perf_counter()
    for _ in range(COUNT):
        sender.SendAudioFrame(frame)
    rate = COUNT / (time.perf_counter() - start)
    del sender, listeners
    return rate


def main():
    frame = v.AudioFrame()
    frame.channels = 2
    frame.SetData(bytes(STEREO_20MS_48K))
    payload = bytes(STEREO_20MS_48K)
    rows = [
        ("OnEnterRoom (no arguments)",
         best(lambda: delivery_rate(lambda s: control.emit_event(s, "OnEnterRoom"))),
         best(lambda: python_floor(Idle().OnEnterRoom, ()))),
        ("OnRemoteAudioReceived (20 ms, 48 kHz stereo)",
         best(lambda: delivery_rate(lambda s: control.emit_audio_frame(
             s, "speaker", payload, channels=2, has_voice=True))),
         best(lambda: python_floor(Idle().OnRemoteAudioReceived, ("speaker", frame)))),
    ]
    print(f"{'callback':46} {'engine thread/s':>16} {'Python call/s':>14} {'floor/engine':>13}")
    for name, engine_rate, floor in rows:
        print(f"{name:46} {engine_rate:16,.0f} {floor:14,.0f} {floor / engine_rate:12.1f}x")
    print()
    for receivers in (0, 1):
        rate = best(lambda: send_rate(receivers), repeats=3)
        print(f"SendAudioFrame, 3840-byte frames, {receivers} receiver(s): {rate:,.0f} calls/s")


if __name__ == "__main__":
    main()
