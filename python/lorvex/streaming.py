"""Frames handed out in order while the decoders are still decoding the rest (a stream)."""
from __future__ import annotations

import contextlib
import weakref
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Any, ContextManager

import numpy as np
import numpy.typing as npt

from lorvex import _engine

Frames = npt.NDArray[Any]
# Starts the engine's stream of distinct frames in increasing order; whether the rows are read
# in their own order (each once, so that each gives its memory back once it is dropped).
StartStream = Callable[[npt.NDArray[np.int64], bool], _engine.Stream]
# The array over some rows the engine handed out, and how many frames they hold.
FramesOf = Callable[[_engine.Rows, int], Frames]


class FrameStream:
    """A load of some frames of a video, iterated in chunks of up to `chunk` frames while the
    decoders decode the rest.

    Use it as a context manager: the load starts on entering and always ends on leaving (its
    decoders stop), however the block is left. Iterating without `with` works too; the load
    then ends when the iteration does, or when the stream is closed or collected. A stream is
    iterated once. Chunks of frames asked for in increasing order are the memory the decoders
    wrote, never copied; each gives that memory back once nothing refers to it.
    """

    def __init__(self, numbers: npt.NDArray[np.int64], chunk: int, start: StartStream,
                 frames_of: FramesOf,
                 failures: Callable[[], ContextManager[None]] = contextlib.nullcontext) -> None:
        self.chunk = chunk
        self._numbers = numbers
        self._in_order = numbers.size < 2 or bool((numbers[1:] > numbers[:-1]).all())
        # The engine decodes distinct frames in increasing order; _rows says which of its rows
        # each requested frame comes from.
        if self._in_order:
            self._distinct, self._rows = numbers, None
        else:
            self._distinct, self._rows = np.unique(numbers, return_inverse=True)
        self._start = start
        self._frames_of = frames_of
        self._failures = failures  # what a failed take says (a remote video's fetch)
        self._stream: _engine.Stream | None = None
        self._end_load: weakref.finalize[[_engine.Stream], None] | None = None
        self._state = "new"

    def __len__(self) -> int:
        return len(self._numbers)

    def __enter__(self) -> FrameStream:
        self._begin()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def __iter__(self) -> Iterator[Frames]:
        if self._state == "ended":
            raise ValueError("this stream has ended; start another with video.stream(...)")
        self._begin()
        return self._chunks()

    def close(self) -> None:
        """Ends the load: its decoders stop. Idempotent."""
        self._state = "ended"
        self._stream = None
        if self._end_load is not None:
            self._end_load()

    def _begin(self) -> None:
        if self._state != "new":
            return
        self._state = "running"
        if len(self._distinct):
            stream = self._start(np.ascontiguousarray(self._distinct), self._in_order)
            self._stream = stream
            # A stream dropped while running still ends its load.
            self._end_load = weakref.finalize(self, _engine.Stream.close, stream)

    def _chunks(self) -> Iterator[Frames]:
        # Ends the load when the iteration ends, whether run to its end or abandoned.
        try:
            for begin in range(0, len(self._numbers), self.chunk):
                if self._state != "running":
                    return
                yield self._chunk_at(begin)
        finally:
            self.close()

    def _chunk_at(self, begin: int) -> Frames:
        stream = self._stream
        assert stream is not None
        if self._rows is None:
            low, high = begin, min(begin + self.chunk, len(self._numbers))
        else:
            rows = self._rows[begin:begin + self.chunk].reshape(-1)
            low, high = int(rows.min()), int(rows.max()) + 1
        with self._failures():
            frames = self._frames_of(stream.take(low, high), high - low)
        return frames if self._rows is None else frames[rows - low]
