"""lorvex.Video: one video file, its frames by number, by slice and by time."""
from __future__ import annotations

import enum
import weakref
from collections.abc import Iterator
from types import TracebackType
from typing import Any, BinaryIO, NamedTuple, Union, overload

import numpy as np
import numpy.typing as npt

from lorvex import WORKER_DIR, _engine, _extension_calls, options, sources, time_ranges
from lorvex.metadata import VideoMetadata, read_metadata, relative_seconds
from lorvex.options import INTERPOLATIONS, PathLike
from lorvex.streaming import FrameStream

__all__ = ["Video", "TimedFrames", "INTERPOLATIONS"]

Frames = npt.NDArray[Any]
# What Video takes as a video: a path, bytes or a binary file object.
Source = Union[PathLike, bytes, bytearray, memoryview, BinaryIO]


class _VideoDefault(enum.Enum):
    VIDEO_DEFAULT = enum.auto()


# An argument left out: the video's own setting applies.
VIDEO_DEFAULT = _VideoDefault.VIDEO_DEFAULT

# Frames per step of the stream behind `for frame in video`.
ITERATION_CHUNK = 32


class TimedFrames(NamedTuple):
    """Frames with their numbers and times, as `Video.frames_in_range` returns them."""

    frames: Frames
    """(k, 3, H, W) RGB planes, or (k, H, W, 3) with layout "NHWC"."""
    numbers: npt.NDArray[np.int64]
    """(k,) the frame numbers."""
    seconds: npt.NDArray[np.float64]
    """(k,) each frame's own time, seconds after frame 0 (its start on screen)."""


class Video:
    """A video whose frames load into arrays of RGB, (3, height, width) each (or (height,
    width, 3)).

    `source` is the video: a path; a URL (http:// or https://, or any fsspec URL: s3://,
    gs://, memory://, ... with `storage_options` for its filesystem), read in ranges as the
    loads need them; or its bytes (bytes, bytearray, memoryview, or a binary file object,
    read once from where it stands), which are kept in memory that the decoders read too
    (nothing is written to disk).
    `size` is the (height, width) of the frames handed out, None for the video's own (turned,
    with `apply_rotation`);
    `threads` is how many decoders decode at once (default: one per processor); they stay
    ready, with the file open, until the video is closed;
    `interpolation` is the scaling method: bilinear, nearest, bicubic, area or lanczos;
    `timeout` is how many seconds a load may take (a stream: how long it may go without a new
    frame) before its decoders are ended and TimeoutError says what was missing; None waits
    as long as it takes;
    `layout` is "NCHW" (frames of planes, (3, H, W)) or "NHWC" (frames of pixels, (H, W, 3));
    `apply_rotation` turns the frames as a player shows them (metadata.rotation);
    `dtype` is numpy.uint8, or numpy.uint16 for the samples at their full precision (a source
    of d bits per sample, carried to 16 bits by repeating its bits: v << (16 − d) | v >> (2d −
    16); 8-bit sources give their uint8 levels times 257).
    Frames are numbered 0 … len(video) − 1 in presentation order; negative numbers count from
    the end, as for a list.
    """

    def __init__(self, source: Source | sources.VideoSource,
                 size: tuple[int, int] | None = None, *, threads: int | None = None,
                 interpolation: str = "bilinear", timeout: float | None = None,
                 layout: str = "NCHW", apply_rotation: bool = False,
                 dtype: npt.DTypeLike = np.uint8,
                 storage_options: dict[str, Any] | None = None) -> None:
        self.timeout = options.timeout_seconds(timeout)
        self.layout = options.frame_layout(layout)
        self.apply_rotation = options.flag(apply_rotation, "apply_rotation")
        self.dtype = np.dtype(options.sample_type(dtype))
        self._asked_size = None if size is None else options.frame_size(size)
        self.threads = (options.default_threads() if threads is None
                        else options.positive_integer(threads, "threads"))
        self.interpolation = options.interpolation_name(interpolation)
        # A source made here from bytes is this video's to release; one handed in is not.
        self._owns_source = not isinstance(source, sources.VideoSource)
        self._source = sources.open_source(
            source, storage_options=options.mapping_or_none(storage_options, "storage_options"),
            timeout=self.timeout)
        self.path = self._source.path
        self.name = self._source.name
        try:
            # The first decoder opens the file while this process probes it.
            self._session = _engine.Session(path=self.path, name=self.name,
                                            folder=str(WORKER_DIR),
                                            inherited=self._source.inherited,
                                            decoders=self.threads, channel=self._source.channel)
            with self._source.fetch_failures():
                self._probe = _probe(self.path, self.name)
                self._quarter_turns = (_quarter_turns(self.path, self.name)
                                       if self.apply_rotation else 0)
            # The decoders read the file with the table it was probed with: a file changed
            # since is refused by them, never read with a plan made for another.
            self._session.set_frame_table(self._probe.frame_table)
        except BaseException:
            # The error may be kept (and this video with it): nothing of it stays at work.
            if hasattr(self, "_session"):
                self._session.close()
            self._release_source()
            raise
        self.size: tuple[int, int] = self._frame_size(self._quarter_turns)
        self._count: int = self._probe.frames
        self._metadata: VideoMetadata | None = None
        self._table: tuple[int, ...] = ()
        self._timestamps: npt.NDArray[np.float64] | None = None
        self._streams: weakref.WeakSet[FrameStream] = weakref.WeakSet()
        self._closed = False

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return (f"<lorvex.Video {self.name!r} {self._count} frames of "
                f"{self.size[0]}x{self.size[1]}{state}>")

    def __len__(self) -> int:
        return self._count

    @overload
    def __getitem__(self, key: int) -> Frames: ...
    @overload
    def __getitem__(self, key: slice) -> Frames: ...

    def __getitem__(self, key: int | slice) -> Frames:
        """video[i]: frame i, (3, H, W). video[a:b:c]: those frames, (k, 3, H, W). (With
        layout "NHWC", (H, W, 3) and (k, H, W, 3).)"""
        selected = options.frame_key(key, self._count)
        if not isinstance(selected, int):
            return self._load(selected)
        frame: Frames = self._load(np.array([selected], dtype=np.int64))[0]
        return frame

    def __iter__(self) -> Iterator[Frames]:
        """Every frame in order, (3, H, W) each, from one stream taken chunk by chunk while
        the decoders decode the rest. Leaving the loop (break, an error, the iterator
        dropped) or closing the video ends the load."""
        return _one_by_one(self.stream(chunk=ITERATION_CHUNK))

    def get_batch(self, indices: options.FrameNumbers) -> Frames:
        """The frames of a sequence of numbers (list, tuple, range, numpy array), in its order,
        repeats included: (len(indices), 3, H, W)."""
        return self._load(options.frame_numbers(indices, self._count))

    @property
    def metadata(self) -> VideoMetadata:
        self._read_metadata()
        assert self._metadata is not None
        return self._metadata

    @property
    def timestamps(self) -> npt.NDArray[np.float64]:
        """Seconds from frame 0 to each frame, increasing (a read-only array, one per frame)."""
        if self._timestamps is None:
            self._read_metadata()
            seconds = np.array(relative_seconds(self._table, self.metadata.time_base),
                               dtype=np.float64)
            seconds.setflags(write=False)
            self._timestamps = seconds
        return self._timestamps

    def get_frames_at(self, seconds: options.Seconds) -> Frames:
        """For each time (seconds from frame 0), the frame on screen then: (k, 3, H, W)."""
        return self._load(self._numbers_at(seconds))

    def frames_in_range(self, start_seconds: float, stop_seconds: float,
                        fps: float | None = None) -> TimedFrames:
        """The frames shown in the span [start_seconds, stop_seconds) (seconds from frame 0).

        With `fps` None, every frame on screen at some time of the span: each frame that
        starts before `stop_seconds` and ends (where the next frame starts, or the video ends)
        after `start_seconds`; an empty span gives none. With `fps`, the frame on screen at
        each of the times start_seconds, start_seconds + 1/fps, … before stop_seconds, a frame
        repeated when it stays on screen over several of them.
        """
        self._check_open()
        starts, end = self.timestamps, self._end_seconds()
        start = options.seconds(start_seconds, "start_seconds", end)
        stop = options.seconds(stop_seconds, "stop_seconds", end)
        if start > stop:
            raise ValueError(f"start_seconds: {start!r} is after stop_seconds ({stop!r}); "
                             f"expected start_seconds <= stop_seconds")
        if fps is None:
            numbers = time_ranges.frames_played(starts, end, start, stop)
        else:
            rate = options.positive_rate(fps, "fps")
            numbers = time_ranges.frames_sampled(starts, start, stop, rate)
        return TimedFrames(self._load(numbers), numbers, np.array(starts[numbers]))

    def stream(self, indices: options.FrameNumbers | None = None,
               chunk: int = 32, *, timeout: float | None | _VideoDefault = VIDEO_DEFAULT,
               layout: str | _VideoDefault = VIDEO_DEFAULT,
               apply_rotation: bool | _VideoDefault = VIDEO_DEFAULT,
               dtype: npt.DTypeLike | _VideoDefault = VIDEO_DEFAULT) -> FrameStream:
        """A load of `indices` (default: every frame) taken as it goes: a context manager whose
        value iterates arrays of up to `chunk` frames in the order asked for, handed out while
        the decoders decode the rest. `timeout` (default: the video's) is how long the stream
        may go without a new frame decoded; `layout`, `apply_rotation` and `dtype` default to
        the video's too.

            with video.stream(range(len(video))) as frames:
                for chunk in frames:
                    ...
        """
        self._check_open()
        numbers = (np.arange(self._count, dtype=np.int64) if indices is None
                   else options.frame_numbers(indices, self._count))
        limit = self.timeout if timeout is VIDEO_DEFAULT else options.timeout_seconds(timeout)
        layout = self.layout if layout is VIDEO_DEFAULT else options.frame_layout(layout)
        turns = self._quarter_turns
        if apply_rotation is not VIDEO_DEFAULT:
            turns = (_quarter_turns(self.path, self.name)
                     if options.flag(apply_rotation, "apply_rotation") else 0)
        sample = (self.dtype if dtype is VIDEO_DEFAULT
                  else np.dtype(options.sample_type(dtype)))
        size = self._frame_size(turns)
        chunk = options.positive_integer(chunk, "chunk")

        def start(distinct: npt.NDArray[np.int64], in_order: bool) -> _engine.Stream:
            self._check_open()
            return self._session.stream(distinct, height=size[0], width=size[1], layout=layout,
                                        dtype=sample.name, quarter_turns=turns,
                                        interpolation=self.interpolation, chunk=chunk,
                                        in_order=in_order, timeout=limit)

        stream = FrameStream(numbers, chunk, start,
                             lambda rows, count: _frames_of(rows, count, size, layout, sample),
                             self._source.fetch_failures)
        self._streams.add(stream)
        return stream

    def close(self) -> None:
        """Ends every stream still running and the video's decoders. The video can no longer
        load frames."""
        self._closed = True
        for stream in list(self._streams):
            stream.close()
        self._streams.clear()
        self._session.close()
        self._release_source()

    def __enter__(self) -> Video:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _load(self, numbers: npt.NDArray[np.int64]) -> Frames:
        self._check_open()
        if numbers.size == 0:
            frame = (3, *self.size) if self.layout == "NCHW" else (*self.size, 3)
            return np.zeros((0, *frame), dtype=self.dtype)
        # The engine takes distinct frames in increasing order; any other request is served
        # from those and put back in the order asked for, in one gather.
        in_order = numbers.size == 1 or bool((numbers[1:] > numbers[:-1]).all())
        distinct, order = (numbers, None) if in_order else np.unique(numbers, return_inverse=True)
        with self._source.fetch_failures():
            rows = self._session.load(np.ascontiguousarray(distinct), height=self.size[0],
                                      width=self.size[1], layout=self.layout,
                                      dtype=self.dtype.name, quarter_turns=self._quarter_turns,
                                      interpolation=self.interpolation, timeout=self.timeout)
        frames = _frames_of(rows, len(distinct), self.size, self.layout, self.dtype)
        return frames if order is None else frames[order.reshape(-1)]

    def _numbers_at(self, seconds: options.Seconds) -> npt.NDArray[np.int64]:
        times = options.times_in_video(seconds, self._end_seconds(), float(self.timestamps[-1]))
        numbers: npt.NDArray[np.int64] = np.searchsorted(self.timestamps, times, side="right") - 1
        return numbers.astype(np.int64)

    def _end_seconds(self) -> float:
        """Where the last frame leaves the screen, seconds from frame 0: the video's duration,
        or the last frame's start should the duration say less."""
        return max(self.metadata.duration, float(self.timestamps[-1]))

    def _read_metadata(self) -> None:
        if self._metadata is None:
            if self._source.in_memory_file:
                self._check_open()  # its memory is gone
            self._metadata, self._table = read_metadata(self.path, self.name,
                                                        self._probe.keyframe_timestamps)

    def _frame_size(self, quarter_turns: int) -> tuple[int, int]:
        """The size of the frames handed out when they are turned this often: the size asked
        for, else the video's own, turned."""
        if self._asked_size is not None:
            return self._asked_size
        height, width = self._probe.height, self._probe.width
        return (width, height) if quarter_turns % 2 else (height, width)

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"{self.name}: the video is closed")

    def _release_source(self) -> None:
        if self._owns_source:
            self._source.close()


class _Probe(NamedTuple):
    """What a video's loads need of its probe."""

    frames: int
    height: int
    width: int
    keyframe_timestamps: tuple[int, ...]
    frame_table: bytes


def _probe(path: str, name: str) -> _Probe:
    """The probe of the file's first video stream (made once per file and process), with its
    failures said in a user's terms: the file called `name`."""
    opened = _extension_calls.open_named(path, name)
    streams = opened.streams.video
    if not streams:
        raise ValueError(f"{name}: the file has no video stream")
    stream = streams[0]
    if not stream.frames:
        raise ValueError(f"{name}: the video stream has no frames")
    keyframes = tuple(_extension_calls.video_summary(opened).keyframe_timestamps)
    return _Probe(stream.frames, stream.height, stream.width, keyframes,
                  _extension_calls.frame_table(path, name))


def _frames_of(rows: _engine.Rows, count: int, size: tuple[int, int], layout: str,
               dtype: np.dtype[Any]) -> Frames:
    """The array over rows the decoders wrote: (count, 3, H, W), or (count, H, W, 3)."""
    frame = (3, *size) if layout == "NCHW" else (*size, 3)
    frames: Frames = np.frombuffer(rows, dtype=dtype).reshape(count, *frame)
    return frames


def _one_by_one(stream: FrameStream) -> Iterator[Frames]:
    with stream:
        for chunk in stream:
            yield from chunk


def _quarter_turns(path: str, name: str) -> int:
    """How many quarter turns clockwise a player gives the pictures of `path` (called `name`)."""
    return _extension_calls.picture_format(path, name).rotation // 90 % 4
