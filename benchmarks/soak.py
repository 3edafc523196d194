"""Soak: long runs of every kind of work, sampling the Python object count
(len(gc.get_objects())), sys.getallocatedblocks() and the resident set size as they go. Each
figure should level off after warm-up; a steady climb is a leak.

Work, at scale 1: 10^6 callbacks of each kind the engine delivers, 10^5 session calls,
10^4 session create/enter/exit/destroy cycles, 10^4 log rotations.

Run in the project's virtual environment:  python benchmarks/soak.py [--scale 0.01]
tests/engine/test_soak.py runs a short version with a bound on the growth.
"""
import argparse
import gc
import os
import shutil
import sys
import tempfile
import time

import _velmora as v
from velmora import CALLBACKS
from velmora.testing import control
from velmora.testing.participants import enter_params

PAYLOAD = bytes(range(256)) * 15  # 3840 bytes: 20 ms of 48 kHz 16-bit stereo
BATCH = 2000  # callbacks queued before waiting for the engine thread to drain them


class Counting(v.KWIXCloudDelegate):
    """Counts every callback and reads what a bot reads (frame payloads, user ids)."""

    def __init__(self):
        super().__init__()
        self.count = 0


def _counting(name):
    def on_callback(self, *args):
        self.count += 1
        for arg in args:
            if hasattr(arg, "data"):
                arg.data  # a new bytes copy each time, as a bot's read makes
            elif hasattr(arg, "user_id"):
                arg.user_id.GetValue()
    on_callback.__name__ = name
    return on_callback


for _name in CALLBACKS:
    setattr(Counting, _name, _counting(_name))


_REMOTE = [("bob", 1), ("carol", 1)]

# One emitter per callback kind the module carries into Python.
EMITTERS = {
    "OnError": lambda s: control.emit_error(s, -1),
    "OnConnectionStateChanged": lambda s: control.emit_connection_state(s, 2, 3),
    "OnEnterRoom": lambda s: control.emit_event(s, "OnEnterRoom"),
    "OnExitRoom": lambda s: control.emit_event(s, "OnExitRoom"),
    "OnLocalAudioChannelCreated": lambda s: control.emit_event(s, "OnLocalAudioChannelCreated"),
    "OnLocalAudioChannelDestroyed": lambda s: control.emit_event(s, "OnLocalAudioChannelDestroyed"),
    "OnLocalVideoChannelCreated": lambda s: control.emit_stream_event(s, "OnLocalVideoChannelCreated", 2),
    "OnLocalVideoChannelDestroyed": lambda s: control.emit_stream_event(s, "OnLocalVideoChannelDestroyed", 2),
    "OnRequestKeyFrame": lambda s: control.emit_stream_event(s, "OnRequestKeyFrame", 2),
    "OnRequestChangeVideoEncodeBitrate": lambda s: control.emit_bitrate_request(s, 2, 500000),
    "OnRemoteUserEnterRoom": lambda s: control.emit_user(s, "OnRemoteUserEnterRoom", "bob"),
    "OnRemoteUserExitRoom": lambda s: control.emit_user(s, "OnRemoteUserExitRoom", "bob"),
    "OnRemoteAudioAvailable": lambda s: control.emit_audio_available(s, "bob", True),
    "OnRemoteVideoAvailable": lambda s: control.emit_video_available(s, "bob", True, 2),
    "OnRemoteAudioReceived": lambda s: control.emit_audio_frame(
        s, "bob", PAYLOAD, channels=2, pts=1, has_voice=True),
    "OnRemoteMixedAudioReceived": lambda s: control.emit_audio_frame(
        s, None, PAYLOAD, mixed=True, channels=2, pts=1, has_voice=True),
    "OnRemoteVideoFrameReceived": lambda s: control.emit_video_frame(
        s, "bob", 2, PAYLOAD, pts=1, dts=1, is_key_frame=True),
    "OnRemotePixelFrameReceived": lambda s: control.emit_pixel_frame(
        s, "bob", 2, PAYLOAD[:1024], pts=1, width=16, height=16, format=2),
    "OnSeiMessageReceived": lambda s: control.emit_sei(s, "bob", 2, 5, b"sei"),
    "OnReceiveCustomCmdMsg": lambda s: control.emit_custom_cmd(s, "bob", 1, 1, b"cmd"),
    "OnMissCustomCmdMsg": lambda s: control.emit_miss_custom_cmd(s, "bob", 1, 0, 2),
    "OnNetworkQuality": lambda s: control.emit_network_quality(s, "alice", 1, _REMOTE),
}
assert set(EMITTERS) == set(CALLBACKS)


# ---- Sampling -----------------------------------------------------------------------------

_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * _PAGE


def sample():
    """(Python objects, allocated blocks, RSS bytes), after a full collection."""
    gc.collect()
    return len(gc.get_objects()), sys.getallocatedblocks(), rss_bytes()


def run_sampled(work, total, samples):
    """Runs work(count) in `samples` equal chunks; the samples after each chunk."""
    chunk = max(1, total // samples)
    taken = []
    for _ in range(samples):
        work(chunk)
        taken.append(sample())
    return taken


def growth(samples):
    """Growth of each figure from the second sample (after warm-up) to the last."""
    second, last = samples[1], samples[-1]
    return tuple(b - a for a, b in zip(second, last))


# ---- Work ---------------------------------------------------------------------------------

class Soak:
    """The sessions and the log folder that the phases share; close() ends them."""

    def __init__(self, room="soak"):
        self.room = room
        self.delegate = Counting()
        self.session = v.KWIXCloud(self.delegate)
        self.engine = control.newest_session()
        self.log_dir = tempfile.mkdtemp(prefix="velmora-soak-")

    def close(self):
        del self.session
        control.reset_faults()
        control.settings_reset()
        shutil.rmtree(self.log_dir, ignore_errors=True)

    def callbacks(self, kind):
        emit = EMITTERS[kind]

        def work(count):
            # Room for a whole batch, so that every frame is delivered and counted.
            control.set_media_queue_limit(BATCH + 1)
            before = self.delegate.count
            done = 0
            while done < count:
                batch = min(BATCH, count - done)
                for _ in range(batch):
                    emit(self.engine)
                control.wait_idle(self.engine, timeout_ms=120000)
                done += batch
            assert self.delegate.count - before == count, f"{kind}: callbacks lost"
        return work

    def session_calls(self, count):
        """A member in a room with a listener calls what a bot calls, round robin."""
        listener_delegate = Counting()
        listener = v.KWIXCloud(listener_delegate)
        listener_engine = control.newest_session()
        assert listener.EnterRoom(enter_params("listener", self.room)) == 0
        speaker = v.KWIXCloud(Counting())
        speaker_engine = control.newest_session()
        assert speaker.EnterRoom(enter_params("speaker", self.room)) == 0
        assert speaker.CreateLocalAudioChannel(v.AudioEncodeParams()) == 0
        assert speaker.CreateLocalVideoChannel(v.STREAM_TYPE_VIDEO_HIGH) == 0
        assert listener.Subscribe("speaker", v.STREAM_TYPE_VIDEO_HIGH) == 0
        audio, video = v.AudioFrame(), v.VideoFrame()
        audio.channels = 2
        audio.SetData(PAYLOAD)
        video.SetData(PAYLOAD)
        encode = v.VideoEncodeParams()
        calls = [
            lambda: speaker.SendAudioFrame(audio),
            lambda: speaker.SendContinuousAudioFrame(audio, False),
            lambda: speaker.SendVideoFrame(v.STREAM_TYPE_VIDEO_HIGH, video),
            lambda: speaker.SendSeiMessage(5, b"sei message"),
            lambda: speaker.SendCustomCmdMsg(1, b"command", True, True),
            lambda: speaker.Subscribe("listener", v.STREAM_TYPE_VIDEO_LOW),
            lambda: speaker.Unsubscribe("listener", v.STREAM_TYPE_VIDEO_LOW),
            lambda: speaker.SetVideoEncodeParam(v.STREAM_TYPE_VIDEO_HIGH, encode),
        ]
        for index in range(count):
            calls[index % len(calls)]()
            if index % BATCH == BATCH - 1:
                control.wait_idle(listener_engine, timeout_ms=120000)
        control.wait_idle(speaker_engine, timeout_ms=120000)
        control.wait_idle(listener_engine, timeout_ms=120000)
        del speaker, listener

    def lifecycles(self, count):
        """Sessions created, entered, exited and destroyed, watched by a member in the room."""
        watcher = v.KWIXCloud(Counting())
        watcher_engine = control.newest_session()
        assert watcher.EnterRoom(enter_params("watcher", self.room)) == 0
        for index in range(count):
            session = v.KWIXCloud(Counting())
            assert session.EnterRoom(enter_params(f"visitor{index % 7}", self.room)) == 0
            assert session.ExitRoom() == 0
            del session
        control.wait_idle(watcher_engine, timeout_ms=120000)
        del watcher

    def rotations(self, count):
        """Each line is longer than the rotation limit, so every line starts a new file."""
        assert v.SetLogPath(self.log_dir)
        control.log_set_rotation(512, 2)
        line = b"soak " + b"x" * 600
        for _ in range(count):
            control.log_write(1, line)  # info
        control.log_flush()


def phases(soak, scale):
    """(name, work, total) for every phase, counts scaled."""
    def scaled(n):
        return max(1, int(n * scale))
    for kind in EMITTERS:
        yield f"callback {kind}", soak.callbacks(kind), scaled(10 ** 6)
    yield "session calls", soak.session_calls, scaled(10 ** 5)
    yield "create/enter/exit/destroy", soak.lifecycles, scaled(10 ** 4)
    yield "log rotations", soak.rotations, scaled(10 ** 4)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0,
                        help="share of the full counts to run (default 1)")
    parser.add_argument("--samples", type=int, default=10, help="samples per phase")
    args = parser.parse_args()
    soak = Soak()
    print(f"{'phase':42} {'count':>9} {'objects':>18} {'blocks':>20} {'RSS MiB':>18} {'s':>6}")
    print(f"{'':42} {'':>9} {'2nd -> last':>18} {'2nd -> last':>20} {'2nd -> last':>18}")
    try:
        for name, work, total in phases(soak, args.scale):
            start = time.perf_counter()
            samples = run_sampled(work, total, args.samples)
            elapsed = time.perf_counter() - start
            (o1, b1, r1), (o2, b2, r2) = samples[1], samples[-1]
            print(f"{name:42} {total:9,} {o1:8,} -> {o2:7,} {b1:9,} -> {b2:8,} "
                  f"{r1 / 2**20:7.1f} -> {r2 / 2**20:7.1f} {elapsed:6.1f}", flush=True)
    finally:
        soak.close()


if __name__ == "__main__":
    main()
