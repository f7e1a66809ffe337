"""lorvex.Video: one video file, its frames by number, by slice and by time."""
from __future__ import annotations

import enum
import weakref
from collections.abc import Iterator
from types import TracebackType
from typing import Any, BinaryIO, NamedTuple, Union, overload

import numpy as np
import numpy.typing as npt

from lorvex import _load_options, container, options, sources, tandry, time_ranges
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

# Frames per step of the interleaved load behind `for frame in video`.
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

    `source` is the video: a path, or its bytes (bytes, bytearray, memoryview, or a binary
    file object, read once from where it stands), which are kept in memory that the worker
    programs read too (nothing is written to disk).
    `size` is the (height, width) of the frames handed out, None for the video's own (turned,
    with `apply_rotation`);
    `threads` is how many worker programs decode at once (default: one per processor);
    `interpolation` is the scaling method: bilinear, nearest, bicubic, area or lanczos;
    `timeout` is how many seconds a load may take (a stream: how long it may go without a new
    frame) before its workers are ended and TimeoutError says what was missing; None waits
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
                 dtype: npt.DTypeLike = np.uint8) -> None:
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
        self._source = sources.open_source(source)
        self.path = self._source.path
        self.name = self._source.name
        try:
            with self._source.messages_named():
                height, width = self._asked_size or (0, 0)
                # The table of the file as probed, taken before the reader's probe: a file
                # changed between the two is then refused by the workers, never read with the
                # other's plan.
                self._frame_table = _probed_table(self.path)
                self._reader = _open_reader(self.path, self.name, height, width, self.threads)
                self._quarter_turns = _quarter_turns(self.path) if self.apply_rotation else 0
        except BaseException:
            self._release_source()
            raise
        self._reader.interpolation = self.interpolation
        self._reader.height, self._reader.width = self._frame_size(self._quarter_turns)
        self.size: tuple[int, int] = (self._reader.height, self._reader.width)
        self._count: int = self._reader.framecount()
        self._metadata: VideoMetadata | None = None
        self._table: tuple[int, ...] = ()
        self._timestamps: npt.NDArray[np.float64] | None = None
        self._idle_readers: dict[tuple[int, int], list[tandry.InterleavedVideoReader]] = {}
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
        """Every frame in order, (3, H, W) each, from one interleaved load taken chunk by chunk
        while the workers decode the rest. Leaving the loop (break, an error, the iterator
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
        """An interleaved load of `indices` (default: every frame): a context manager whose
        value iterates arrays of up to `chunk` frames in the order asked for, handed out while
        the workers decode the rest. `timeout` (default: the video's) is how long the stream
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
            turns = (_quarter_turns(self.path)
                     if options.flag(apply_rotation, "apply_rotation") else 0)
        sample = (self.dtype if dtype is VIDEO_DEFAULT
                  else np.dtype(options.sample_type(dtype)))
        size = self._frame_size(turns)
        stream = FrameStream(numbers, options.positive_integer(chunk, "chunk"),
                             lambda: self._take_interleaved_reader(size), self._give_back,
                             timeout=limit, source=self._source,
                             load_options=self._load_options(layout, sample, turns),
                             dtype=sample)
        self._streams.add(stream)
        return stream

    def close(self) -> None:
        """Ends every stream still running. The video can no longer load frames."""
        self._closed = True
        for stream in list(self._streams):
            stream.close()
        self._streams.clear()
        self._idle_readers.clear()
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
        # The loaders take distinct frames in increasing order; any other request is served
        # from those and put back in the order asked for.
        distinct, order = np.unique(numbers, return_inverse=True)
        load = self._load_options(self.layout, self.dtype, self._quarter_turns)
        with (self._source.messages_named(),
              _load_options.applied(_load_options.with_timeout(self.timeout, load))):
            frames: Frames = self._reader.get_batch(distinct.tolist())
        if len(distinct) == len(numbers) and (distinct == numbers).all():
            return frames
        return frames[order.reshape(-1)]

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
            with self._source.messages_named():
                self._metadata, self._table = read_metadata(self.path,
                                                            self._reader.video_metadata)

    def _frame_size(self, quarter_turns: int) -> tuple[int, int]:
        """The size of the frames handed out when they are turned this often: the size asked
        for, else the video's own, turned."""
        if self._asked_size is not None:
            return self._asked_size
        record = self._reader.video_metadata
        height, width = int(record["height"]), int(record["width"])
        return (width, height) if quarter_turns % 2 else (height, width)

    def _load_options(self, layout: str, dtype: np.dtype[Any],
                      quarter_turns: int) -> _load_options.LoadOptions:
        return _load_options.LoadOptions(frame_table=self._frame_table, layout=layout,
                                         dtype=dtype.name, quarter_turns=quarter_turns,
                                         inherited=self._source.inherited)

    def _take_interleaved_reader(self, size: tuple[int, int]) -> tandry.InterleavedVideoReader:
        self._check_open()
        if self._idle_readers.get(size):
            return self._idle_readers[size].pop()
        with self._source.messages_named():
            reader = tandry.InterleavedVideoReader(self.path, size[0], size[1],
                                                   num_threads=self.threads)
        reader.interpolation = self.interpolation
        return reader

    def _give_back(self, reader: tandry.InterleavedVideoReader) -> None:
        if not self._closed:
            self._idle_readers.setdefault((reader.height, reader.width), []).append(reader)

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError(f"{self.name}: the video is closed")

    def _release_source(self) -> None:
        if self._owns_source:
            self._source.close()


def _probed_table(path: str) -> bytes | None:
    """The file's frame table; None when it cannot be had (the reader's probe says why)."""
    try:
        return container._frame_table(path)
    except Exception:  # the reader's probe reports it, in its own terms
        return None


def _one_by_one(stream: FrameStream) -> Iterator[Frames]:
    with stream:
        for chunk in stream:
            yield from chunk


def _open_reader(path: str, name: str, height: int, width: int,
                 threads: int) -> tandry.VideoReader:
    """The one-shot reader, with the probe's failures said in a user's terms."""
    try:
        reader = tandry.VideoReader(path, height, width, num_threads=threads)
    except IndexError:
        raise ValueError(f"{name}: the file has no video stream") from None
    except AssertionError:
        raise ValueError(f"{name}: the video stream has no frames") from None
    if not reader.framecount():
        raise ValueError(f"{name}: the video stream has no frames")
    return reader


def _quarter_turns(path: str) -> int:
    """How many quarter turns clockwise a player gives the pictures of `path`."""
    rotation: int = container._picture_format(path)[2]
    return rotation // 90 % 4
