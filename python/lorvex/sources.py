"""Where a video's bytes come from: a file named by its path, or bytes held in memory that the
worker programs can open as well.

Bytes (and what a file object reads) go once into a memory file of this process (memfd,
sealed against change), which /proc/self/fd/N opens here and in the workers, which inherit
the descriptor under the same number with each load. Nothing is written to disk; the memory
goes with the last descriptor: closed by `close()`, by the garbage collector, or at exit.
"""
from __future__ import annotations

import fcntl
import os
import weakref
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from lorvex import options

# How the memory files show in /proc/<pid>/fd.
MEMORY_FILE_NAME = "lorvex-video"


class VideoSource:
    """A video as the loaders read it: `path` opens it, `name` says it in messages,
    `inherited` are the descriptors a load's workers must inherit to open `path`."""

    def __init__(self, path: str, name: str | None = None) -> None:
        self.path = path
        self.name = path if name is None else name
        self.inherited: tuple[int, ...] = ()
        self._close = lambda: None

    @classmethod
    def in_memory(cls, data: memoryview, name: str) -> VideoSource:
        descriptor = _memory_file(data)
        source = cls(f"/proc/self/fd/{descriptor}", name)
        source.inherited = (descriptor,)
        source._close = weakref.finalize(source, os.close, descriptor)
        return source

    @property
    def in_memory_file(self) -> bool:
        return bool(self.inherited)

    def close(self) -> None:
        """Releases the memory file (a path source has none). Idempotent."""
        self._close()

    @contextmanager
    def messages_named(self) -> Iterator[None]:
        """Errors raised inside name the source as `name` says instead of by its path."""
        try:
            yield
        except Exception as error:
            if self.in_memory_file:
                _rename(error, self.path, self.name)
            raise

    def __repr__(self) -> str:
        return f"<lorvex VideoSource {self.name!r}>"

    def __reduce__(self) -> tuple[Any, ...]:
        # A memory file does not travel: its bytes do, into one of the receiving process's own.
        if not self.in_memory_file:
            return VideoSource, (self.path, self.name)
        return _from_bytes, (_read_back(self.inherited[0]), self.name)


def open_source(source: object, argument: str = "source") -> VideoSource:
    """The VideoSource of a path, bytes, bytearray, memoryview or binary file object (see
    options.video_source); a VideoSource is taken as it is."""
    if isinstance(source, VideoSource):
        return source
    given, name = options.video_source(source, argument)
    if isinstance(given, str):
        return VideoSource(given)
    return VideoSource.in_memory(given, name)


def _from_bytes(data: bytes, name: str) -> VideoSource:
    return VideoSource.in_memory(memoryview(data), name)


def _memory_file(data: memoryview) -> int:
    descriptor = os.memfd_create(MEMORY_FILE_NAME, os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
    try:
        written = 0
        while written < len(data):
            written += os.write(descriptor, data[written:])
        # The workers and the probe take the file for unchanged by its size and time; sealed,
        # it is.
        fcntl.fcntl(descriptor, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW
                    | fcntl.F_SEAL_WRITE | fcntl.F_SEAL_SEAL)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def _read_back(descriptor: int) -> bytes:
    size = os.fstat(descriptor).st_size
    parts, done = [], 0
    while done < size:
        part = os.pread(descriptor, size - done, done)
        if not part:
            break
        parts.append(part)
        done += len(part)
    return b"".join(parts)


def _rename(error: BaseException, path: str, name: str) -> None:
    """The message of `error` with `path` said as `name`, where the message is one text."""
    if len(error.args) == 1 and isinstance(error.args[0], str) and path in error.args[0]:
        error.args = (error.args[0].replace(path, name),)
