"""asyncio bridge: a room as an `async with` block, its events and remote media as async
iterators, and a paced audio sender, built only on the public `_velmora` API.

The engine calls its delegate on its own threads, holding the interpreter lock. The delegate
made here never blocks such a thread and never raises into it: it hands every callback to the
event loop with `loop.call_soon_threadsafe` and returns.

Queue policy:

* Events (every callback but the four media ones) are never dropped. Each `EventStream` keeps
  all events from its creation on until they are read or the stream is closed.
* Media frames are bounded. Frames wait in one bounded hand-off queue per room until the loop
  routes them, then in one bounded queue per `MediaStream`. A full queue drops its oldest
  frame and counts it (`Room.dropped_in_transit`, `MediaStream.dropped`).
* Events are routed in the engine's order, and the frames of each stream in the engine's order;
  no order is promised between an event and a frame.
* A callback that arrives after the loop was closed cannot reach it: it is counted in
  `Room.lost_callbacks` and logged on the `velmora.aio` logger.

    async with Room(params) as room:
        async for received in room.audio("alice"):
            pcm = received.frame.data
"""
from __future__ import annotations

import asyncio
import collections
import dataclasses
import logging
import threading
from concurrent.futures import Executor
from dataclasses import dataclass
from types import TracebackType
from typing import (Any, AsyncIterable, AsyncIterator, Callable, ClassVar, Deque, Dict, FrozenSet, Generic,
                    Iterable, List, Optional, Tuple, Type, TypeVar, Union, overload)

import _velmora as v
from velmora import CALLBACKS as _ALL_CALLBACKS, MEDIA_CALLBACKS as _MEDIA_CALLBACKS

__all__ = [
    "AudioSender", "CALLBACKS", "DEFAULT_MEDIA_QUEUE", "EVENT_TYPES", "Event", "EventStream", "MediaStream",
    "Received", "Room", "RoomClosedError", "VelmoraError", "check", "pcm_frame_bytes",
    # one class per event, named as its callback
    "OnError", "OnConnectionStateChanged", "OnEnterRoom", "OnExitRoom", "OnLocalAudioChannelCreated",
    "OnLocalAudioChannelDestroyed", "OnLocalVideoChannelCreated", "OnLocalVideoChannelDestroyed",
    "OnRemoteUserEnterRoom", "OnRemoteUserExitRoom", "OnRemoteAudioAvailable", "OnRemoteVideoAvailable",
    "OnRequestKeyFrame", "OnRequestChangeVideoEncodeBitrate", "OnSeiMessageReceived",
    "OnReceiveCustomCmdMsg", "OnMissCustomCmdMsg", "OnNetworkQuality",
]

logger = logging.getLogger("velmora.aio")

# The delegate's callbacks that carry remote media (velmora.MEDIA_CALLBACKS); every other
# callback is an event.
MEDIA_CALLBACKS: FrozenSet[str] = _MEDIA_CALLBACKS
EVENT_CALLBACKS: Tuple[str, ...] = tuple(name for name in _ALL_CALLBACKS if name not in MEDIA_CALLBACKS)
CALLBACKS: FrozenSet[str] = frozenset(_ALL_CALLBACKS)

# Frames a media queue holds by default: about 5 s of 20 ms audio, like the engine's own bound.
DEFAULT_MEDIA_QUEUE = 256

T = TypeVar("T")
FrameT = TypeVar("FrameT")


def _error_name(code: int) -> str:
    return v.Error(code).name


class VelmoraError(Exception):
    """An engine operation failed; `code` is the engine's result (an `Error` value)."""

    def __init__(self, operation: str, code: int, detail: str = "") -> None:
        self.operation = operation
        self.code = code
        text = f"{operation} failed: {_error_name(code)} ({code})"
        super().__init__(f"{text}; {detail}" if detail else text)

    @property
    def error(self) -> v.Error:
        return v.Error(self.code)


class RoomClosedError(RuntimeError):
    """A wait for an event that can no longer come: the room was left."""


def check(operation: str, code: int) -> None:
    """Raises VelmoraError when an engine result is not ERR_OK."""
    if code != v.ERR_OK:
        raise VelmoraError(operation, code)


@dataclass(frozen=True)
class Event:
    """One delegate callback as it reached the loop. Each callback has its own subclass, named
    as the callback, whose fields are the callback's arguments with their names and types
    (`OnReceiveCustomCmdMsg(user_id, cmd_id, seq, message)`); `name` is the callback's name
    and `args` its arguments in the callback's order. Narrow an event with isinstance, or wait
    for one class: `await room.wait_for(OnRemoteUserEnterRoom)`."""
    name: ClassVar[str] = ""

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        cls.name = cls.__name__

    @property
    def args(self) -> Tuple[object, ...]:
        """The callback's arguments, in its order."""
        return tuple(getattr(self, field.name) for field in dataclasses.fields(self))


@dataclass(frozen=True)
class OnError(Event):
    """The engine reports an error: an `Error` value."""
    error: v.Error


@dataclass(frozen=True)
class OnConnectionStateChanged(Event):
    old_state: v.ConnectionState
    new_state: v.ConnectionState


@dataclass(frozen=True)
class OnEnterRoom(Event):
    """The session is in the room."""


@dataclass(frozen=True)
class OnExitRoom(Event):
    """The session has left the room."""


@dataclass(frozen=True)
class OnLocalAudioChannelCreated(Event):
    pass


@dataclass(frozen=True)
class OnLocalAudioChannelDestroyed(Event):
    pass


@dataclass(frozen=True)
class OnLocalVideoChannelCreated(Event):
    stream_type: v.StreamType


@dataclass(frozen=True)
class OnLocalVideoChannelDestroyed(Event):
    stream_type: v.StreamType


@dataclass(frozen=True)
class OnRemoteUserEnterRoom(Event):
    info: v.UserInfo

    @property
    def user_id(self) -> Optional[str]:
        return self.info.user_id.GetValue()


@dataclass(frozen=True)
class OnRemoteUserExitRoom(Event):
    """`reason`: 0 when the member left, 1 when it was lost (silent past the time-out)."""
    info: v.UserInfo
    reason: int

    @property
    def user_id(self) -> Optional[str]:
        return self.info.user_id.GetValue()


@dataclass(frozen=True)
class OnRemoteAudioAvailable(Event):
    user_id: Optional[str]
    available: bool


@dataclass(frozen=True)
class OnRemoteVideoAvailable(Event):
    user_id: Optional[str]
    available: bool
    stream_type: v.StreamType


@dataclass(frozen=True)
class OnRequestKeyFrame(Event):
    stream_type: v.StreamType


@dataclass(frozen=True)
class OnRequestChangeVideoEncodeBitrate(Event):
    stream_type: v.StreamType
    bitrate_bps: int


@dataclass(frozen=True)
class OnSeiMessageReceived(Event):
    user_id: Optional[str]
    stream_type: v.StreamType
    message_type: int
    message: bytes


@dataclass(frozen=True)
class OnReceiveCustomCmdMsg(Event):
    user_id: Optional[str]
    cmd_id: int
    seq: int
    message: bytes


@dataclass(frozen=True)
class OnMissCustomCmdMsg(Event):
    """`missed` commands of `cmd_id` from `user_id` will never arrive."""
    user_id: Optional[str]
    cmd_id: int
    error_code: int
    missed: int


@dataclass(frozen=True)
class OnNetworkQuality(Event):
    local_quality: v.NetworkQualityInfo
    remote_qualities: List[v.NetworkQualityInfo]


# Every event class by its callback's name.
EVENT_TYPES: Dict[str, Type[Event]] = {cls.name: cls for cls in (
    OnError, OnConnectionStateChanged, OnEnterRoom, OnExitRoom, OnLocalAudioChannelCreated,
    OnLocalAudioChannelDestroyed, OnLocalVideoChannelCreated, OnLocalVideoChannelDestroyed,
    OnRemoteUserEnterRoom, OnRemoteUserExitRoom, OnRemoteAudioAvailable, OnRemoteVideoAvailable,
    OnRequestKeyFrame, OnRequestChangeVideoEncodeBitrate, OnSeiMessageReceived,
    OnReceiveCustomCmdMsg, OnMissCustomCmdMsg, OnNetworkQuality)}
assert set(EVENT_TYPES) == set(EVENT_CALLBACKS), "an event callback without its class"
E = TypeVar("E", bound=Event)
EventName = Union[str, Type[Event]]


@dataclass(frozen=True)
class Received(Generic[FrameT]):
    """A remote frame: its sender (None for mixed audio), its stream type (None for audio)."""
    user_id: Optional[str]
    stream_type: Optional[v.StreamType]
    frame: FrameT


class _Stream(Generic[T]):
    """An async iterator over items pushed on the loop's thread. Bounded streams drop their
    oldest item when full. Ending lets a reader take what is queued, then stops it."""

    def __init__(self, maxlen: Optional[int], detach: Callable[[_Stream[T]], None]) -> None:
        if maxlen is not None and maxlen < 1:
            raise ValueError(f"a stream holds at least one item, not {maxlen}")
        self._items: Deque[T] = collections.deque()
        self._maxlen = maxlen
        self._detach = detach
        self._waiter: Optional[asyncio.Future[None]] = None
        self._ended = False
        self._received = 0
        self._dropped = 0

    @property
    def received(self) -> int:
        """Items that reached this stream, including those dropped since."""
        return self._received

    @property
    def dropped(self) -> int:
        """Items dropped, oldest first, because the stream was full."""
        return self._dropped

    @property
    def ended(self) -> bool:
        return self._ended

    def __len__(self) -> int:
        return len(self._items)

    def _push(self, item: T) -> None:
        if self._ended:
            return
        if self._maxlen is not None and len(self._items) >= self._maxlen:
            self._items.popleft()
            self._dropped += 1
        self._items.append(item)
        self._received += 1
        self._wake()

    def _end(self) -> None:
        self._ended = True
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def close(self) -> None:
        """Stops taking new items; a reader still gets those already queued."""
        self._detach(self)
        self._end()

    def __aiter__(self) -> _Stream[T]:
        return self

    async def __anext__(self) -> T:
        while not self._items:
            if self._ended:
                raise StopAsyncIteration
            if self._waiter is not None:
                raise RuntimeError("another task is already reading this stream")
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        return self._items.popleft()

    async def __aenter__(self) -> _Stream[T]:
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.close()


class EventStream(_Stream[Event]):
    """Every event of the room from the stream's creation on; never drops one."""

    def __aiter__(self) -> EventStream:
        return self

    async def __aenter__(self) -> EventStream:
        return self


class MediaStream(_Stream[Received[FrameT]]):
    """Remote frames of one kind; holds at most `maxlen` and drops the oldest beyond."""

    def __aiter__(self) -> MediaStream[FrameT]:
        return self

    async def __aenter__(self) -> MediaStream[FrameT]:
        return self


_MediaFilter = Callable[[str, "Received[Any]"], bool]


class _Waiter:
    def __init__(self, names: FrozenSet[str], where: Optional[Callable[[Event], bool]],
                 future: asyncio.Future[Event]) -> None:
        self.names = names
        self.where = where
        self.future = future

    def offer(self, event: Event) -> None:
        if self.future.done() or event.name not in self.names:
            return
        try:
            if self.where is None or self.where(event):
                self.future.set_result(event)
        except Exception as error:  # the caller's predicate failed: the waiter reports it
            self.future.set_exception(error)


class _Router:
    """Loop-thread side: hands events and frames to the streams and waiters that want them."""

    def __init__(self) -> None:
        self.event_streams: List[Tuple[Optional[FrozenSet[str]], EventStream]] = []
        self.media_streams: List[Tuple[_MediaFilter, _Stream[Any]]] = []
        self.waiters: List[_Waiter] = []

    def event(self, name: str, args: Tuple[Any, ...]) -> None:
        event = EVENT_TYPES[name](*args)
        for waiter in list(self.waiters):
            waiter.offer(event)
        for names, stream in list(self.event_streams):
            if names is None or name in names:
                stream._push(event)

    def media(self, name: str, item: Received[Any]) -> None:
        for accepts, stream in self.media_streams:
            if accepts(name, item):
                stream._push(item)

    def forget(self, waiter: _Waiter) -> None:
        if waiter in self.waiters:
            self.waiters.remove(waiter)

    def detach(self, stream: _Stream[Any]) -> None:
        self.event_streams = [e for e in self.event_streams if e[1] is not stream]
        self.media_streams = [m for m in self.media_streams if m[1] is not stream]

    def end_all(self, why: str) -> None:
        """Ends every stream, and fails every waiter: nothing more can come."""
        for _, stream in self.event_streams:
            stream._end()
        for _, media in self.media_streams:
            media._end()
        self.event_streams = []
        self.media_streams = []
        for waiter in list(self.waiters):
            if not waiter.future.done():
                waiter.future.set_exception(RoomClosedError(
                    f"{why} before {' or '.join(sorted(waiter.names))} came"))
                # A waiter nobody awaits any more is not worth a "never retrieved" report;
                # one that is awaited still raises.
                waiter.future.exception()
        self.waiters = []


class _Bridge(v.KWIXCloudDelegate):
    """The delegate the engine calls. Runs on engine threads: it only posts to the loop.

    Events go to the loop one `call_soon_threadsafe` each. Frames go into a bounded hand-off
    queue, drained on the loop by one scheduled call per batch, so a stalled loop costs at most
    `media_queue` frames of memory. `_lock` guards only that queue and the counters; it is
    never held while anything else runs.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop, router: _Router, media_queue: int) -> None:
        super().__init__()
        self._loop = loop
        self._router = router
        self._lock = threading.Lock()
        self._pending: Deque[Tuple[str, Received[Any]]] = collections.deque()
        self._media_queue = media_queue
        self._drain_scheduled = False
        self.dropped_in_transit = 0
        self.lost_callbacks = 0

    def _post(self, callback: Callable[..., None], *args: Any) -> bool:
        try:
            self._loop.call_soon_threadsafe(callback, *args)
            return True
        except Exception as error:  # a closed loop: the engine thread must not see it
            with self._lock:
                self.lost_callbacks += 1
                first = self.lost_callbacks == 1
            (logger.warning if first else logger.debug)(
                "velmora.aio: a callback could not reach the event loop (%s); "
                "counted in Room.lost_callbacks", error)
            return False

    def _forward_event(self, name: str, args: Tuple[Any, ...]) -> None:
        self._post(self._router.event, name, args)

    def _forward_media(self, name: str, item: Received[Any]) -> None:
        with self._lock:
            if len(self._pending) >= self._media_queue:
                self._pending.popleft()
                self.dropped_in_transit += 1
            self._pending.append((name, item))
            if self._drain_scheduled:
                return
            self._drain_scheduled = True
        if not self._post(self.drain):
            with self._lock:
                # The frames waiting now can never be routed: count them with the lost ones.
                self.lost_callbacks += len(self._pending) - 1
                self._pending.clear()
                self._drain_scheduled = False

    def drain(self) -> None:
        """Routes the frames waiting in the hand-off queue (on the loop's thread)."""
        with self._lock:
            batch, self._pending = self._pending, collections.deque()
            self._drain_scheduled = False
        for name, item in batch:
            self._router.media(name, item)

    def OnRemoteAudioReceived(self, user_id: Optional[str], frame: v.AudioFrame) -> None:
        self._forward_media("OnRemoteAudioReceived", Received(user_id, None, frame))

    def OnRemoteMixedAudioReceived(self, frame: v.AudioFrame) -> None:
        self._forward_media("OnRemoteMixedAudioReceived", Received(None, None, frame))

    def OnRemoteVideoFrameReceived(self, user_id: Optional[str], stream_type: v.StreamType,
                                   frame: v.VideoFrame) -> None:
        self._forward_media("OnRemoteVideoFrameReceived", Received(user_id, stream_type, frame))

    def OnRemotePixelFrameReceived(self, user_id: Optional[str], stream_type: v.StreamType,
                                   frame: v.PixelFrame) -> None:
        self._forward_media("OnRemotePixelFrameReceived", Received(user_id, stream_type, frame))


def _event_forwarder(name: str) -> Callable[..., None]:
    def forward(self: _Bridge, *args: Any) -> None:
        self._forward_event(name, args)
    forward.__name__ = name
    return forward


for _name in EVENT_CALLBACKS:
    setattr(_Bridge, _name, _event_forwarder(_name))


def _release(holder: List[Any]) -> None:
    # The last reference goes here, so the engine's Destroy (which joins its threads) runs on
    # this executor thread.
    holder.clear()


class Room:
    """One session in one room, for the span of an `async with` block.

    Entering creates the session, calls EnterRoom and waits for OnEnterRoom (VelmoraError with
    the engine's code when EnterRoom or an OnError fails it, asyncio.TimeoutError after
    `enter_timeout` seconds). Leaving calls ExitRoom, waits for OnExitRoom up to
    `exit_timeout` seconds, ends every stream and destroys the session on an executor thread,
    so the loop never waits for the engine's threads to stop. `session` gives the
    `_velmora.KWIXCloud` for every other call; do not keep references to it beyond the block.
    """

    def __init__(self, params: v.EnterRoomParams, *, enter_timeout: float = 10.0,
                 exit_timeout: float = 10.0, media_queue: int = DEFAULT_MEDIA_QUEUE,
                 session_factory: Callable[[v.KWIXCloudDelegate], v.KWIXCloud] = v.KWIXCloud,
                 executor: Optional[Executor] = None) -> None:
        if media_queue < 1:
            raise ValueError(f"media_queue holds at least one frame, not {media_queue}")
        self._params = params
        self._enter_timeout = enter_timeout
        self._exit_timeout = exit_timeout
        self._media_queue = media_queue
        self._session_factory = session_factory
        self._executor = executor
        self._router = _Router()
        self._bridge: Optional[_Bridge] = None
        self._session: Optional[v.KWIXCloud] = None
        self._used = False

    # ---- state ---------------------------------------------------------------------------

    @property
    def session(self) -> v.KWIXCloud:
        if self._session is None:
            raise RuntimeError("the room is not entered: use it inside `async with Room(...)`")
        return self._session

    @property
    def dropped_in_transit(self) -> int:
        """Frames dropped, oldest first, while the loop was too busy to take them."""
        return self._bridge.dropped_in_transit if self._bridge else 0

    @property
    def lost_callbacks(self) -> int:
        """Callbacks that arrived after the event loop was closed."""
        return self._bridge.lost_callbacks if self._bridge else 0

    # ---- events --------------------------------------------------------------------------

    def events(self, *names: EventName) -> EventStream:
        """A stream of the room's events from now on (only those named, by callback name or
        event class, when names are given)."""
        wanted = _event_names(names) if names else None
        stream = EventStream(None, self._router.detach)
        if self._used and self._session is None:
            stream._end()
        else:
            self._router.event_streams.append((wanted, stream))
        return stream

    @overload
    def wait_for(self, names: Type[E], *, where: Optional[Callable[[E], bool]] = None,
                 timeout: Optional[float] = None) -> asyncio.Future[E]: ...

    @overload
    def wait_for(self, names: Union[str, Iterable[EventName]], *,
                 where: Optional[Callable[[Event], bool]] = None,
                 timeout: Optional[float] = None) -> asyncio.Future[Event]: ...

    def wait_for(self, names: Union[EventName, Iterable[EventName]], *,
                 where: Optional[Callable[[Any], bool]] = None,
                 timeout: Optional[float] = None) -> asyncio.Future[Any]:
        """A future for the next event of these names or classes (for which `where` is true)
        that arrives after this call; given one event class, the future's result has that
        class's type. It is registered at once, so call it before the action that causes the
        event and await it after. asyncio.TimeoutError after `timeout` seconds."""
        single = isinstance(names, (str, type))
        wanted = _event_names((names,) if single else tuple(names))  # type: ignore[arg-type]
        loop = self._loop_check("wait for an event")
        future: asyncio.Future[Event] = loop.create_future()
        if self._used and self._session is None:
            future.set_exception(RoomClosedError(
                f"the room was left: no {' or '.join(sorted(wanted))} can come"))
            return future
        waiter = _Waiter(wanted, where, future)
        self._router.waiters.append(waiter)
        future.add_done_callback(lambda _: self._router.forget(waiter))
        if timeout is not None:
            what = " or ".join(sorted(wanted))
            expiry = loop.call_later(timeout, _expire, future,
                                     f"no {what} within {timeout:g} s")
            future.add_done_callback(lambda _: expiry.cancel())
        return future

    def _loop_check(self, what: str) -> asyncio.AbstractEventLoop:
        """The running loop, which must be the one the room was entered on: callbacks reach
        only that one, so waiting on another would never end."""
        loop = asyncio.get_running_loop()
        entered_on = self._bridge._loop if self._bridge is not None else None
        if entered_on is not None and loop is not entered_on:
            state = "closed" if entered_on.is_closed() else "still running"
            raise RuntimeError(
                f"cannot {what} on this event loop: the room was entered on another one (now "
                f"{state}), and its callbacks reach only that loop; use the room from the task "
                "that entered it, or from the same loop")
        return loop

    # ---- media ---------------------------------------------------------------------------

    def _media_stream(self, accepts: _MediaFilter, maxlen: Optional[int]) -> MediaStream[Any]:
        stream: MediaStream[Any] = MediaStream(maxlen or self._media_queue, self._router.detach)
        if self._used and self._session is None:
            stream._end()
        else:
            self._router.media_streams.append((accepts, stream))
        return stream

    def audio(self, user_id: Optional[str] = None, *,
              maxlen: Optional[int] = None) -> MediaStream[v.AudioFrame]:
        """Remote audio of one user, or of every user when user_id is None. Raises ValueError
        when the room's audio_obtain_params deliver the mix instead (see `mixed_audio`)."""
        self._check_listening("audio", "per-user")
        return self._media_stream(
            lambda name, item: name == "OnRemoteAudioReceived"
            and (user_id is None or item.user_id == user_id), maxlen)

    def mixed_audio(self, *, maxlen: Optional[int] = None) -> MediaStream[v.AudioFrame]:
        """The engine's mix of the room's audio. Raises ValueError unless the room's
        audio_obtain_params ask for it (enable_remote_audio_mix, with the callback method)."""
        self._check_listening("mixed_audio", "mixed")
        return self._media_stream(lambda name, _: name == "OnRemoteMixedAudioReceived", maxlen)

    def _check_listening(self, method: str, wanted: str) -> None:
        """A member gets per-user audio, or the mix, or pulls the mix with GetAudioFrame: one
        of them, as its audio_obtain_params say. A stream the engine never fills would leave
        its reader waiting forever, so it is refused when asked for."""
        obtain = self._params.audio_obtain_params
        pulled = obtain.audio_obtain_method == v.AUDIO_OBTAIN_METHOD_GET
        delivered = "pulled" if pulled else ("mixed" if obtain.enable_remote_audio_mix else "per-user")
        if delivered == wanted:
            return
        how = {"pulled": "audio_obtain_method is AUDIO_OBTAIN_METHOD_GET: the mix is pulled with "
                         "room.session.GetAudioFrame() and no audio callback comes",
               "mixed": "enable_remote_audio_mix is on: only the mix comes (room.mixed_audio())",
               "per-user": "enable_remote_audio_mix is off: only per-user audio comes "
                           "(room.audio())"}[delivered]
        raise ValueError(f"room.{method}() would never receive a frame: this room's "
                         f"audio_obtain_params ask for {delivered} audio ({how}); a member gets "
                         "per-user audio, the mix, or the pulled mix, one of them")

    def video(self, user_id: Optional[str] = None, stream_type: Optional[v.StreamType] = None,
              *, maxlen: Optional[int] = None) -> MediaStream[Union[v.VideoFrame, v.PixelFrame]]:
        """Remote video (encoded or pixel frames, as the room asked) of subscribed streams."""
        return self._media_stream(
            lambda name, item: name in ("OnRemoteVideoFrameReceived", "OnRemotePixelFrameReceived")
            and (user_id is None or item.user_id == user_id)
            and (stream_type is None or item.stream_type == stream_type), maxlen)

    def audio_sender(self, params: Optional[v.AudioEncodeParams] = None, *,
                     continuous: bool = True, lead: Optional[float] = None) -> AudioSender:
        """An `async with` block holding the local audio channel open (see AudioSender)."""
        return AudioSender(self, params or v.AudioEncodeParams(), continuous=continuous, lead=lead)

    # ---- lifetime ------------------------------------------------------------------------

    async def __aenter__(self) -> Room:
        if self._used:
            raise RuntimeError("a Room is entered once; make a new one to enter again")
        self._used = True
        loop = asyncio.get_running_loop()
        self._bridge = _Bridge(loop, self._router, self._media_queue)
        self._session = self._session_factory(self._bridge)
        try:
            outcome = self.wait_for((OnEnterRoom, OnError), timeout=self._enter_timeout)
            code = self._session.EnterRoom(self._params)
            if code != v.ERR_OK:
                outcome.cancel()
                raise VelmoraError("EnterRoom", code)
            event = await outcome
            if isinstance(event, OnError):
                raise VelmoraError("EnterRoom", int(event.error), "reported by OnError")
        except BaseException:
            await self._close(leave=True, raise_errors=False)
            raise
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        await self._close(leave=True, raise_errors=exc_type is None)

    async def _close(self, leave: bool, raise_errors: bool) -> None:
        session = self._session
        if session is None:
            return
        self._loop_check("leave the room")
        problem: Optional[Exception] = None
        left: Optional[asyncio.Future[Event]] = None
        try:
            if leave:
                left = self.wait_for("OnExitRoom", timeout=self._exit_timeout)
                code = session.ExitRoom()
                if code == v.ERR_OK:
                    await left
                # Not in the room (entering failed or was cut short) is what leaving wants.
                elif code != v.ERR_INVALID_OPERATION:
                    problem = VelmoraError("ExitRoom", code)
        except asyncio.TimeoutError as timeout:
            problem = timeout
        finally:
            if left is not None and not left.done():
                left.cancel()
            del session
            await self._destroy()
        if problem is not None:
            if raise_errors:
                raise problem
            logger.warning("velmora.aio: leaving the room: %s", problem)

    async def _destroy(self) -> None:
        holder: List[Any] = [self._session]
        self._session = None
        loop = asyncio.get_running_loop()
        try:
            done = loop.run_in_executor(self._executor, _release, holder)
        except RuntimeError as error:  # executor already shut down
            logger.warning("velmora.aio: destroying the session on the loop's thread (%s)", error)
            _release(holder)
        else:
            try:
                # Shielded: a cancelled leave still finishes destroying the session.
                await asyncio.shield(done)
            except BaseException:
                # Cancelled while the engine destroys the session: the streams end now, with
                # what they hold; callbacks that still come are dropped with them.
                self._end_all()
                raise
        # Destroy has returned, and every callback it let through was posted before the
        # executor's answer, so the loop has already routed them.
        self._end_all()

    def _end_all(self) -> None:
        if self._bridge is not None:
            self._bridge.drain()
        self._router.end_all("the room was left")


def _expire(future: asyncio.Future[Event], message: str) -> None:
    if not future.done():
        future.set_exception(asyncio.TimeoutError(message))


def _event_names(names: Tuple[EventName, ...]) -> FrozenSet[str]:
    wanted = frozenset(name.name if isinstance(name, type) and issubclass(name, Event) else name
                       for name in names)
    unknown = wanted - frozenset(EVENT_CALLBACKS)
    if unknown:
        media = unknown & MEDIA_CALLBACKS
        hint = ("media frames arrive through audio(), mixed_audio() and video()" if media
                else "known events: " + ", ".join(EVENT_CALLBACKS))
        raise ValueError(f"not an event: {', '.join(sorted(unknown))} ({hint})")
    if not wanted:
        raise ValueError("name at least one event")
    return wanted


def pcm_frame_bytes(params: v.AudioEncodeParams) -> int:
    """Bytes of one frame of 16-bit PCM in the channel's format."""
    return params.sample_rate * params.channels * 2 * params.frame_length_ms // 1000


class AudioSender:
    """Holds the room's local audio channel open and sends 16-bit PCM into it in real time.

    `send` cuts the chunks it is given (of any size) into frames of the channel's length
    (`frame_length_ms` of `sample_rate` and `channels`), pads the last one with silence, and
    sends one frame per frame length of the loop's clock: with SendContinuousAudioFrame when
    `continuous` (the default), else SendAudioFrame. Up to `lead` seconds of audio go out
    ahead of the clock (default: three frames when continuous, none otherwise); a source that
    falls behind does not cause a burst afterwards.
    """

    def __init__(self, room: Room, params: v.AudioEncodeParams, *, continuous: bool = True,
                 lead: Optional[float] = None) -> None:
        self.frame_bytes = pcm_frame_bytes(params)
        if self.frame_bytes <= 0 or params.channels < 1:
            raise ValueError(f"audio channel parameters give no frame: {params.sample_rate} Hz, "
                             f"{params.channels} channels, {params.frame_length_ms} ms")
        self.frame_seconds = params.frame_length_ms / 1000
        self.continuous = continuous
        self.lead = (3 * self.frame_seconds if continuous else 0.0) if lead is None else lead
        self.frames_sent = 0
        self._room = room
        self._params = params
        self._open = False

    async def __aenter__(self) -> AudioSender:
        created = self._room.wait_for("OnLocalAudioChannelCreated",
                                      timeout=self._room._enter_timeout)
        code = self._room.session.CreateLocalAudioChannel(self._params)
        if code != v.ERR_OK:
            created.cancel()
            raise VelmoraError("CreateLocalAudioChannel", code)
        await created
        self._open = True
        return self

    async def __aexit__(self, exc_type: Optional[Type[BaseException]],
                        exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        if not self._open:
            return
        self._open = False
        code = self._room.session.DestroyLocalAudioChannel()
        if code != v.ERR_OK:
            if exc_type is None:
                raise VelmoraError("DestroyLocalAudioChannel", code)
            logger.warning("velmora.aio: DestroyLocalAudioChannel failed: %s (%d)",
                           _error_name(code), code)

    def _frame(self, pcm: bytes) -> v.AudioFrame:
        frame = v.AudioFrame()
        frame.sample_rate = self._params.sample_rate
        frame.channels = self._params.channels
        frame.bits_per_sample = 16
        frame.codec = v.AUDIO_CODEC_TYPE_PCM
        frame.pts = (self.frames_sent * self._params.frame_length_ms) & 0xFFFFFFFF
        frame.SetData(pcm)
        return frame

    async def send(self, chunks: Union[AsyncIterable[bytes], Iterable[bytes]], *,
                   clear_send_queue: bool = False) -> int:
        """Sends all of `chunks` paced in real time; returns the number of frames sent.
        `clear_send_queue` asks the engine to drop audio still queued from before (continuous
        sends only). Raises VelmoraError when the engine refuses a frame."""
        if not self._open:
            raise RuntimeError("the audio channel is not open: use `async with room.audio_sender()`")
        loop = asyncio.get_running_loop()
        buffer = bytearray()
        sent = 0
        start = loop.time()

        async def send_one(pcm: bytes) -> None:
            nonlocal sent, start
            due = start + sent * self.frame_seconds - self.lead
            now = loop.time()
            if now > due + self.frame_seconds:
                start += now - due  # the source was late: restart the clock instead of bursting
            elif due > now:
                await asyncio.sleep(due - now)
            frame = self._frame(pcm)
            session = self._room.session
            if self.continuous:
                code = session.SendContinuousAudioFrame(frame, clear_send_queue and sent == 0)
                check("SendContinuousAudioFrame", code)
            else:
                check("SendAudioFrame", session.SendAudioFrame(frame))
            sent += 1
            self.frames_sent += 1

        async for chunk in _aiter(chunks):
            buffer += chunk
            while len(buffer) >= self.frame_bytes:
                pcm = bytes(buffer[:self.frame_bytes])
                del buffer[:self.frame_bytes]
                await send_one(pcm)
        if buffer:
            await send_one(bytes(buffer) + bytes(self.frame_bytes - len(buffer)))
        return sent


async def _aiter(chunks: Union[AsyncIterable[bytes], Iterable[bytes]]) -> AsyncIterator[bytes]:
    if isinstance(chunks, AsyncIterable):
        async for chunk in chunks:
            yield chunk
    else:
        for chunk in chunks:
            yield chunk
