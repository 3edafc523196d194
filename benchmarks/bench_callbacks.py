"""Callbacks per second from an engine thread into Python, beside the floor of calling the
same Python method from Python with prebuilt arguments; and SendAudioFrame calls per second.

Run in the project's virtual environment:  python benchmarks/bench_callbacks.py
"""
import os
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import _velmora as v  # noqa: E402
import loopback  # noqa: E402
from recording import CALLBACKS  # noqa: E402

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
    engine = loopback.newest_session()
    loopback.lib.vlb_set_media_queue_limit(COUNT + 1)
    loopback.lib.vlb_emit_event(engine, loopback.ON_ENGINE_THREAD, b"OnExitRoom")
    for _ in range(COUNT):
        emit_one(loopback.lib, engine)
    start = time.perf_counter()
    delegate.gate.set()
    loopback.wait_idle(engine, timeout_ms=120000)
    elapsed = time.perf_counter() - start
    assert loopback.lib.vlb_dropped_frames(engine) == 0
    del session
    loopback.lib.vlb_reset_faults()
    return COUNT / elapsed


def python_floor(method, args):
    start = time.perf_counter()
    for _ in range(COUNT):
        method(*args)
    return COUNT / (time.perf_counter() - start)


def best(function, repeats=5):
    return max(function() for _ in range(repeats))


def enter(session, user):
    params = v.EnterRoomParams()
    params.room.sdk_app_id = 1
    params.room.user_id = v.KwixString(user)
    params.room.user_sig = v.KwixString("sig")
    params.room.str_room_id = v.KwixString("bench")
    assert session.EnterRoom(params) == 0


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
         best(lambda: delivery_rate(lambda lib, s: lib.vlb_emit_event(s, 0, b"OnEnterRoom"))),
         best(lambda: python_floor(Idle().OnEnterRoom, ()))),
        ("OnRemoteAudioReceived (20 ms, 48 kHz stereo)",
         best(lambda: delivery_rate(lambda lib, s: lib.vlb_emit_audio_frame(
             s, 0, 0, b"speaker", 48000, 2, 16, 0, 0, 1, payload, len(payload)))),
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
