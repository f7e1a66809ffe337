"""Frames handed out in order while the workers are still decoding the rest (interleaved mode)."""
from __future__ import annotations

import time
import weakref
from collections.abc import Callable, Iterator
from multiprocessing import shared_memory
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

from lorvex import _load_options, tandry
from lorvex.sources import VideoSource

# How often the ready flags are looked at; the reader's own wait looks five times a second.
POLL_SECONDS = 0.002

Frames = npt.NDArray[Any]


class FrameStream:
    """An interleaved load of some frames of a video, iterated in chunks of up to `chunk` frames.

    Use it as a context manager: the load starts on entering and always ends on leaving (the
    workers are stopped and the shared memory removed), however the block is left. Iterating
    without `with` works too; the load then ends when the iteration does, or when the stream is
    closed or collected. A stream is iterated once.
    """

    def __init__(self, numbers: npt.NDArray[np.int64], chunk: int,
                 take_reader: Callable[[], tandry.InterleavedVideoReader],
                 give_back: Callable[[tandry.InterleavedVideoReader], None], *,
                 timeout: float | None = None, source: VideoSource | None = None,
                 load_options: _load_options.LoadOptions | None = None,
                 dtype: npt.DTypeLike = np.uint8) -> None:
        self.chunk = chunk
        self.timeout = timeout
        self._source = VideoSource("") if source is None else source
        self._load_options = _load_options.LoadOptions() if load_options is None else load_options
        # The reader hands out the block's bytes; 16-bit samples are two of its last axis.
        self._dtype = np.dtype(dtype)
        self._numbers = numbers
        # The workers fill rows for distinct frames in increasing order; _rows says which row
        # each requested frame comes from.
        self._unique, self._rows = np.unique(numbers, return_inverse=True)
        self._take_reader = take_reader
        self._give_back = give_back
        self._reader: tandry.InterleavedVideoReader | None = None
        self._end_load: weakref.finalize[[tandry.InterleavedVideoReader], FrameStream] | None = None
        self._state = "new"

    def __len__(self) -> int:
        return len(self._numbers)

    def __enter__(self) -> FrameStream:
        self._start()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __iter__(self) -> Iterator[Frames]:
        if self._state == "ended":
            raise ValueError("this stream has ended; start another with video.stream(...)")
        self._start()
        return self._chunks()

    def close(self) -> None:
        """Ends the load: stops its workers and removes its shared memory. Idempotent."""
        reader, self._reader = self._reader, None
        self._state = "ended"
        if reader is not None and self._end_load is not None:
            self._end_load()
            self._give_back(reader)

    def _start(self) -> None:
        if self._state != "new":
            return
        self._state = "running"
        if len(self._unique):
            self._reader = self._take_reader()
            # A stream dropped while running still ends its load; the reader's teardown also
            # forgets the load it ended, so the reader can serve another stream.
            self._end_load = weakref.finalize(self, _tear_down, self._reader)
            try:
                with self._source.messages_named(), _load_options.applied(self._load_options):
                    self._reader.process(self._unique.tolist())
            except BaseException:
                self.close()
                raise

    def _chunks(self) -> Iterator[Frames]:
        # Ends the load when the iteration ends, whether run to its end or abandoned.
        try:
            for begin in range(0, len(self._numbers), self.chunk):
                if self._state != "running":
                    return
                yield self._rows_of(self._rows[begin:begin + self.chunk])
        finally:
            self.close()

    def _rows_of(self, rows: npt.NDArray[np.intp]) -> Frames:
        reader = self._reader
        assert reader is not None
        low, high = int(rows.min()), int(rows.max()) + 1
        stall = _wait_for_rows(reader, low, high, self.timeout)
        if stall is not None:
            missing, running = stall
            self.close()
            raise TimeoutError(
                f"{self._source.name}: the stream got no new frame within {self.timeout!r} s; frames "
                f"still missing: {_runs_of(self._unique[missing].tolist())}; workers not "
                f"finished: {', '.join(running) or 'none'}")
        with self._source.messages_named():
            frames: Frames = reader.get_frames(low, high)
        if self._dtype != np.uint8:
            frames = frames.view(self._dtype)
        if len(rows) == high - low and (rows == np.arange(low, high)).all():
            return frames
        return frames[rows - low]


def _tear_down(reader: tandry.InterleavedVideoReader) -> None:
    reader.__del__()


def _wait_for_rows(reader: tandry.InterleavedVideoReader, low: int, high: int,
                   timeout: float | None) -> tuple[npt.NDArray[np.bool_], list[str]] | None:
    """Returns once rows low … high − 1 are ready, or once no worker runs any more (the reader's
    get_frames then says which worker failed): None. When no row at all becomes ready for
    `timeout` seconds, returns which rows are still missing and which workers still run."""
    assert reader.check_handle is not None and reader.check_shape is not None
    block = shared_memory.SharedMemory(name=reader.check_handle, create=False)
    flags: Any = None
    try:
        flags = np.ndarray((reader.check_shape,), dtype=np.uint8, buffer=block.buf)
        ready = int(np.count_nonzero(flags))
        deadline = None if timeout is None else time.monotonic() + timeout
        while not (flags[low:high] == 1).all():
            if all(process.poll() is not None for process in reader.p):
                return None
            if deadline is not None:
                now_ready = int(np.count_nonzero(flags))
                if now_ready != ready:
                    ready, deadline = now_ready, time.monotonic() + timeout
                elif time.monotonic() >= deadline:
                    running = [f"lorvex_interleaved worker {i} (pid {process.pid})"
                               for i, process in enumerate(reader.p) if process.poll() is None]
                    return flags != 1, running
            time.sleep(POLL_SECONDS)
        return None
    finally:
        flags = None  # the view must go before the mapping it points into
        block.close()


def _runs_of(numbers: list[int], listed: int = 12) -> str:
    """"0-15, 40, 52-60": runs of consecutive frame numbers, the first `listed` of them."""
    runs: list[list[int]] = []
    for number in numbers:
        if runs and runs[-1][1] + 1 == number:
            runs[-1][1] = number
        else:
            runs.append([number, number])
    text = ", ".join(f"{a}-{b}" if b > a else f"{a}" for a, b in runs[:listed])
    if len(runs) > listed:
        text += f" and {len(runs) - listed} more runs"
    return text or "none"
