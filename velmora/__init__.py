"""Pure-Python companions of the `_velmora` module: `velmora.aio`, the asyncio bridge, and
`velmora.testing`, the room simulator for testing bots (with its pytest plugin); here, the
names of the delegate's callbacks, a delegate that accepts all of them, and frames made from
and read as arrays (`velmora.frames`)."""
from typing import FrozenSet, Tuple

import _velmora

from .frames import audio_samples, make_audio_frame, make_pixel_frame, pixel_array

__all__ = ["CALLBACKS", "MEDIA_CALLBACKS", "QuietDelegate", "audio_samples", "make_audio_frame",
           "make_pixel_frame", "pixel_array"]

# Every callback of KWIXCloudDelegate that Python can define, in the class's own order.
CALLBACKS: Tuple[str, ...] = (
    "OnError", "OnConnectionStateChanged", "OnEnterRoom", "OnExitRoom",
    "OnLocalAudioChannelCreated", "OnLocalAudioChannelDestroyed",
    "OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed",
    "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom", "OnRemoteAudioAvailable",
    "OnRemoteVideoAvailable", "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived",
    "OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived", "OnRequestKeyFrame",
    "OnRequestChangeVideoEncodeBitrate", "OnSeiMessageReceived", "OnReceiveCustomCmdMsg",
    "OnMissCustomCmdMsg", "OnNetworkQuality",
)
# The callbacks that carry remote audio and video frames.
MEDIA_CALLBACKS: FrozenSet[str] = frozenset((
    "OnRemoteAudioReceived", "OnRemoteMixedAudioReceived", "OnRemoteVideoFrameReceived",
    "OnRemotePixelFrameReceived"))


class QuietDelegate(_velmora.KWIXCloudDelegate):
    """A delegate that accepts every callback and does nothing with it: subclass it and
    define the callbacks you use. (A callback that a plain KWIXCloudDelegate subclass does not
    define fails with the pure-virtual error when the engine makes it.)"""


def _ignore(self: QuietDelegate, *args: object) -> None:
    return None


for _name in CALLBACKS:
    setattr(QuietDelegate, _name, _ignore)
