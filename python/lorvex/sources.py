"""Where a video's bytes come from: a file named by its path, bytes held in memory that the
decoders can open as well, or an object kept elsewhere (lorvex.remote) that this process
fetches for them.

Bytes (and what a file object reads) go once into a memory file of this process (memfd,
sealed against change), which /proc/self/fd/N opens here and in the workers, which inherit
the descriptor under the same number with each load. Nothing is written to disk; the memory
goes with the last descriptor: closed by `close()`, by the garbage collector, or at exit.
"""
from __future__ import annotations

import fcntl
import os
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

from lorvex import _extension_calls, options, remote

# How the memory files show in /proc/<pid>/fd.
MEMORY_FILE_NAME = "lorvex-video"


class VideoSource:
    """A video as the loaders read it: `path` opens it, `name` says it in messages,
    `inherited` are the descriptors its decoders must hold to open `path`, and, for a remote
    video, `remote` fetches its bytes and `channel` makes each decoder a channel to read them
    through."""

    def __init__(self, path: str, name: str | None = None) -> None:
        self.path = path
        self.name = path if name is None else name
        self.inherited: tuple[int, ...] = ()
        self.remote: remote.RemoteVideo | None = None
        self._close: Callable[[], Any] = lambda: None

    @classmethod
    def in_memory(cls, data: memoryview, name: str) -> VideoSource:
        descriptor = _memory_file(data)
        source = cls(f"/proc/self/fd/{descriptor}", name)
        source.inherited = (descriptor,)
        source._close = weakref.finalize(source, os.close, descriptor)
        return source

    @classmethod
    def from_remote(cls, video: remote.RemoteVideo) -> VideoSource:
        source = cls(video.locator, video.url)
        source.remote = video
        _use_probe_channel(video)
        source._close = weakref.finalize(source, _release_remote, video)
        return source

    @property
    def in_memory_file(self) -> bool:
        return bool(self.inherited)

    @property
    def channel(self) -> Callable[[], int] | None:
        """For a remote video, what makes a decoder's channel; None for any other."""
        return None if self.remote is None else self.remote.new_channel

    def close(self) -> None:
        """Releases the memory file, or a remote video's channel (a path source has neither).
        Idempotent."""
        self._close()

    @contextmanager
    def fetch_failures(self) -> Iterator[None]:
        """A probe or load of a remote video that fails because its bytes could not be fetched
        raises what fetching raised (naming the URL and the reason: no such object, access
        refused, a server that stopped sending), not the reader's failure that followed."""
        try:
            yield
        except (RuntimeError, ValueError, OSError) as error:
            failure = None if self.remote is None else self.remote.failure
            if failure is None or failure is error:
                raise
            assert self.remote is not None
            self.remote.failure = None
            raise type(failure)(*failure.args) from error

    def __repr__(self) -> str:
        return f"<lorvex VideoSource {self.name!r}>"

    def __reduce__(self) -> tuple[Any, ...]:
        # A memory file does not travel: its bytes do, into one of the receiving process's own.
        # A remote video travels as its URL and how to reach it.
        if self.remote is not None:
            return _from_remote, (self.remote.url, self.remote.backend)
        if not self.in_memory_file:
            return VideoSource, (self.path, self.name)
        return _from_bytes, (_read_back(self.inherited[0]), self.name)


def open_source(source: object, argument: str = "source",
                storage_options: dict[str, Any] | None = None, filesystem: Any = None,
                timeout: float | None = None) -> VideoSource:
    """The VideoSource of a path, a URL (with `storage_options`, or in `filesystem`), bytes,
    bytearray, memoryview or binary file object (see options.video_source); a VideoSource is
    taken as it is. `timeout` bounds each fetch of a remote video from a server."""
    if isinstance(source, VideoSource):
        return source
    if remote.is_url(source) or (filesystem is not None and isinstance(source, str)):
        assert isinstance(source, str)
        return VideoSource.from_remote(remote.open_remote(source, storage_options, filesystem,
                                                          timeout))
    given, name = options.video_source(source, argument)
    if isinstance(given, str):
        return VideoSource(given)
    return VideoSource.in_memory(given, name)


def _from_remote(url: str, backend: remote.Backend) -> VideoSource:
    return VideoSource.from_remote(remote.RemoteVideo(url, backend))


# How many sources of this process read each remote video: its probe's channel goes with the
# last of them.
_probe_readers: dict[tuple[int, str], int] = {}


def _use_probe_channel(video: remote.RemoteVideo) -> None:
    key = (os.getpid(), video.locator)
    if not _probe_readers.get(key):
        _extension_calls.use_channel(video.locator, video.new_channel())
    _probe_readers[key] = _probe_readers.get(key, 0) + 1


def _release_remote(video: remote.RemoteVideo) -> None:
    _drop_probe_channel(video.locator)
    video.close()


def _drop_probe_channel(locator: str) -> None:
    key = (os.getpid(), locator)
    if key not in _probe_readers:
        return  # made before a fork, in the process that owns it
    _probe_readers[key] -= 1
    if not _probe_readers[key]:
        del _probe_readers[key]
        _extension_calls.forget_channel(locator)


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

