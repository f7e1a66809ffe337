"""Videos kept elsewhere: behind an http(s) URL, in an object store (any fsspec URL, with its
`storage_options`), or in a pyarrow or fsspec filesystem. Read in ranges, never whole.

The process that opens such a video fetches its bytes; its probe (in this process) and its
decoders (each a process of its own) read them over channels, stream sockets that one thread of
this process serves, each read asking for a range. Credentials stay in this process. Bytes are
fetched in blocks and kept while they are read, so that the index each decoder reads again
after the probe comes from the server once; reads that follow one another fetch further ahead.
"""
from __future__ import annotations

import collections
import hashlib
import http.client
import os
import re
import selectors
import socket
import struct
import threading
import urllib.parse
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Protocol

# Whatever names a scheme: "s3://bucket/key", "https://host/video.mp4", "memory://v.mp4".
URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://")
# Locators of remote videos, as every part of lorvex opens them (the C++ side reads the same
# text: size, version hash, then the URL, whose extension guides the choice of demuxer).
LOCATOR_PREFIX = "lorvex-remote:"

BLOCK = 256 * 1024  # bytes fetched at the least
AHEAD = 32  # blocks fetched at most in one request, for reads that follow one another
KEPT = 1024  # blocks kept by this process (256 MiB), whichever videos they belong to
# How long a server may go without sending before a fetch fails, where the load gives no limit.
DEFAULT_TIMEOUT = 60.0

_READ = struct.Struct("<QII")  # offset, size, magic: a decoder's read
_READ_MAGIC = 0x4C565252
_REPLY = struct.Struct("<q")  # bytes that follow, or minus the length of the reason


def is_url(source: object) -> bool:
    """Whether `source` names a video by URL (a local path never does: file:// is a path)."""
    return (isinstance(source, str) and bool(URL.match(source))
            and not source.lower().startswith("file://"))


class Backend(Protocol):
    """What a kind of store does: say how large the object is and which version, fetch a
    range. Errors are raised as the built-in exceptions a user can act on, naming the URL."""

    def stat(self) -> tuple[int, str]: ...

    def fetch(self, offset: int, length: int) -> bytes: ...

    def close(self) -> None: ...


class RemoteVideo:
    """One object in one version, read through a cache of blocks."""

    def __init__(self, url: str, backend: Backend) -> None:
        self.url = url
        self.backend = backend
        self.size, self.version = backend.stat()
        digest = hashlib.sha256(f"{url}\0{self.version}".encode()).hexdigest()[:16]
        self.locator = f"{LOCATOR_PREFIX}{self.size}:{digest}:{url}"
        self.fetched = 0  # bytes the store sent
        self.failure: BaseException | None = None  # the last fetch that failed, as raised
        self._next_ahead: dict[int, int] = {}  # block a run of reads reaches next: its run
        self._underway: dict[int, _Fetch] = {}  # blocks being fetched
        self._lock = threading.Lock()

    def read(self, offset: int, size: int) -> bytes:
        """Up to `size` bytes from `offset` (fewer at the end, none past it)."""
        end = min(offset + size, self.size)
        if offset >= end:
            return b""
        first, last = offset // BLOCK, (end - 1) // BLOCK
        parts = [self._block(index) for index in range(first, last + 1)]
        data = b"".join(parts)
        start = offset - first * BLOCK
        return data[start:start + (end - offset)]

    def close(self) -> None:
        """Closes the store's connections this video keeps open."""
        self.backend.close()

    def new_channel(self) -> int:
        """A channel this process serves for this video: the other end's descriptor, for the
        caller to hand over and close."""
        return _server().open_channel(self)

    def _block(self, index: int) -> bytes:
        while True:
            block = _blocks.get(self.locator, index)
            if block is not None:
                return block
            with self._lock:
                underway = self._underway.get(index)
                if underway is None:
                    # A read that goes on where the last fetch ended fetches further ahead.
                    run = min(self._next_ahead.pop(index, 0) * 2 or 1, AHEAD)
                    count = min(run, (self.size - 1) // BLOCK - index + 1)
                    # A block kept already, or fetched by another reader (a decoder and the
                    # probe open a file at once), ends this fetch.
                    count = next((k for k in range(1, count) if index + k in self._underway
                                  or _blocks.holds(self.locator, index + k)), count)
                    fetch = _Fetch()
                    for k in range(count):
                        self._underway[index + k] = fetch
            if underway is not None:
                underway.done.wait()
                if underway.failure is not None:
                    raise underway.failure  # one failure for every reader that waited on it
                continue  # kept now (or dropped from the cache meanwhile, and fetched again)
            try:
                return self._fetch(index, count, run)
            except BaseException as error:
                fetch.failure = error
                raise
            finally:
                with self._lock:
                    for k in range(count):
                        del self._underway[index + k]
                fetch.done.set()

    def _fetch(self, index: int, count: int, run: int) -> bytes:
        try:
            data = self.backend.fetch(index * BLOCK, min(count * BLOCK, self.size - index * BLOCK))
        except BaseException as error:
            self.failure = error
            raise
        with self._lock:
            self.fetched += len(data)
            self._next_ahead[index + count] = run
        for k in range(count):
            _blocks.put(self.locator, index + k, data[k * BLOCK:(k + 1) * BLOCK])
        return data[:BLOCK]


class _Fetch:
    """A fetch under way, which other readers of its blocks wait for."""

    def __init__(self) -> None:
        self.done = threading.Event()
        self.failure: BaseException | None = None


class _Blocks:
    """The blocks this process fetched, by video and place, the least recently read going
    first: a video opened again (a data set's next epoch, another process's pickled copy
    here) reads its index from memory."""

    def __init__(self) -> None:
        self._kept: collections.OrderedDict[tuple[str, int], bytes] = collections.OrderedDict()
        self._lock = threading.Lock()

    def get(self, locator: str, index: int) -> bytes | None:
        with self._lock:
            block = self._kept.get((locator, index))
            if block is not None:
                self._kept.move_to_end((locator, index))
            return block

    def holds(self, locator: str, index: int) -> bool:
        with self._lock:
            return (locator, index) in self._kept

    def put(self, locator: str, index: int, block: bytes) -> None:
        with self._lock:
            self._kept[locator, index] = block
            self._kept.move_to_end((locator, index))
            while len(self._kept) > KEPT:
                self._kept.popitem(last=False)


_blocks = _Blocks()


# ---- the stores ------------------------------------------------------------------------------

class HttpBackend:
    """An http(s) server that answers range requests (as every object store's web gateway and
    static file server does), with Python's own client: no library beyond the standard one."""

    def __init__(self, url: str, timeout: float | None = None,
                 headers: dict[str, str] | None = None) -> None:
        self.url = url
        self.timeout = DEFAULT_TIMEOUT if timeout is None else timeout
        self.headers = dict(headers or {})
        # The version seen by stat(), which every range is asked on condition of: an object
        # replaced meanwhile is refused by the server, never read half old, half new.
        self._unchanged: dict[str, str] = {}
        # A connection kept open per thread and server, for the next range.
        self._connections: dict[tuple[int, str, str], http.client.HTTPConnection] = {}
        self._lock = threading.Lock()

    def stat(self) -> tuple[int, str]:
        response, _ = self._request("HEAD", {})
        length = response.getheader("Content-Length")
        if length is None or response.getheader("Accept-Ranges", "").lower() != "bytes":
            raise OSError(f"{self.url}: the server does not answer range requests, so the "
                          f"video cannot be read in part")
        etag, modified = response.getheader("ETag"), response.getheader("Last-Modified")
        if etag and not etag.startswith("W/"):  # If-Match compares strong tags only
            self._unchanged = {"If-Match": etag}
        elif modified:
            self._unchanged = {"If-Unmodified-Since": modified}
        return int(length), etag or modified or length

    def fetch(self, offset: int, length: int) -> bytes:
        response, body = self._request("GET", {"Range": f"bytes={offset}-{offset + length - 1}",
                                               **self._unchanged})
        if response.status != 206 or len(body) != length:
            raise OSError(f"{self.url}: the server sent {len(body)} bytes for a range of "
                          f"{length} (HTTP {response.status})")
        return body

    def _request(self, method: str, headers: dict[str, str]
                 ) -> tuple[http.client.HTTPResponse, bytes]:
        url = self.url
        for _ in range(5):  # redirections
            parts = urllib.parse.urlsplit(url)
            target = parts.path + (f"?{parts.query}" if parts.query else "")
            for attempt in (0, 1):  # a kept connection the server closed meanwhile
                connection = self._connection(parts, fresh=attempt == 1)
                try:
                    connection.request(method, target or "/", headers={**self.headers, **headers})
                    response = connection.getresponse()
                    body = response.read()
                    break
                except socket.timeout:
                    connection.close()
                    raise TimeoutError(f"{self.url}: the server sent nothing for "
                                       f"{self.timeout:g} s") from None
                except (http.client.RemoteDisconnected, ConnectionResetError,
                        BrokenPipeError, http.client.IncompleteRead) as error:
                    connection.close()
                    if attempt:
                        raise ConnectionError(f"{self.url}: the server stopped sending: "
                                              f"{error}") from None
                except OSError as error:
                    connection.close()
                    raise ConnectionError(f"{self.url}: could not connect: "
                                          f"{error.strerror or error}") from None
            if response.status in (301, 302, 303, 307, 308) and response.getheader("Location"):
                url = urllib.parse.urljoin(url, response.getheader("Location"))
                continue
            if response.status >= 400:
                # An object that cannot be read holds no connection, whoever keeps the error.
                response.close()
                connection.close()
                _raise_for_status(self.url, response.status, response.reason)
            return response, body
        raise OSError(f"{self.url}: too many redirections")

    def _connection(self, parts: urllib.parse.SplitResult,
                    fresh: bool) -> http.client.HTTPConnection:
        key = (threading.get_ident(), parts.scheme, parts.netloc)
        with self._lock:
            connection = self._connections.get(key)
            if fresh or connection is None:
                kind = (http.client.HTTPSConnection if parts.scheme == "https"
                        else http.client.HTTPConnection)
                connection = self._connections[key] = kind(parts.netloc, timeout=self.timeout)
            return connection

    def close(self) -> None:
        """Closes the connections kept open; a later fetch opens another."""
        with self._lock:
            kept, self._connections = self._connections, {}
        for connection in kept.values():
            connection.close()

    def __getstate__(self) -> dict[str, Any]:
        return {"url": self.url, "timeout": self.timeout, "headers": self.headers}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__init__(**state)  # type: ignore[misc]


def _raise_for_status(url: str, status: int, reason: str) -> None:
    if status < 400:
        return
    if status == 404:
        raise FileNotFoundError(f"{url}: no such object (HTTP 404 {reason})")
    if status in (401, 403):
        raise PermissionError(f"{url}: access refused (HTTP {status} {reason})")
    if status == 412:
        raise OSError(f"{url}: the object changed while it was read (HTTP 412 {reason}); "
                      f"open it again to read it as it is now")
    raise OSError(f"{url}: the server answered HTTP {status} {reason}")


class FsspecBackend:
    """An object of an fsspec filesystem (s3://, gs://, memory://, ...), fetched in ranges."""

    def __init__(self, url: str, filesystem: Any, path: str) -> None:
        self.url = url
        self.filesystem = filesystem
        self.path = path

    @classmethod
    def from_url(cls, url: str, storage_options: dict[str, Any] | None) -> FsspecBackend:
        try:
            import fsspec
        except ImportError:
            raise ImportError(f"{url}: reading videos from object stores needs fsspec and the "
                              f"store's own package (s3fs for s3://, gcsfs for gs://); pip "
                              f"install lorvex[remote]") from None
        filesystem, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
        return cls(url, filesystem, path)

    def stat(self) -> tuple[int, str]:
        info = self._call(self.filesystem.info, self.path)
        if info.get("type") == "directory":
            raise IsADirectoryError(f"{self.url}: a folder, not a video")
        version = next((str(info[key]) for key in ("ETag", "etag", "VersionId", "generation",
                                                     "md5Hash", "LastModified", "mtime",
                                                     "created") if info.get(key)), "")
        return int(info["size"]), version or str(info["size"])

    def fetch(self, offset: int, length: int) -> bytes:
        data = self._call(self.filesystem.cat_file, self.path, start=offset,
                          end=offset + length)
        return bytes(data)

    def close(self) -> None:
        pass  # the filesystem's connections are its own

    def _call(self, function: Any, *args: Any, **kwargs: Any) -> Any:
        try:
            return function(*args, **kwargs)
        except FileNotFoundError:
            raise FileNotFoundError(f"{self.url}: no such object") from None
        except PermissionError as error:
            raise PermissionError(f"{self.url}: access refused: {error}") from None
        except (TimeoutError, ConnectionError, OSError) as error:
            raise type(error)(f"{self.url}: {error}") from None
        except Exception as error:  # noqa: BLE001 - a store's own errors (botocore's, say)
            raise OSError(f"{self.url}: {type(error).__name__}: {error}") from None


class ArrowBackend:
    """An object of a pyarrow filesystem (pyarrow.fs.S3FileSystem, ...), read in ranges."""

    def __init__(self, url: str, filesystem: Any, path: str) -> None:
        self.url = url
        self.filesystem = filesystem
        self.path = path

    def stat(self) -> tuple[int, str]:
        info = self.filesystem.get_file_info(self.path)
        if info.size is None:
            raise FileNotFoundError(f"{self.url}: no such object")
        return int(info.size), str(info.mtime_ns or info.size)

    def fetch(self, offset: int, length: int) -> bytes:
        try:
            with self.filesystem.open_input_file(self.path) as file:
                return bytes(file.read_at(length, offset))
        except OSError as error:
            raise type(error)(f"{self.url}: {error}") from None

    def close(self) -> None:
        pass  # the filesystem's connections are its own


def open_remote(url: str, storage_options: dict[str, Any] | None = None,
                filesystem: Any = None, timeout: float | None = None) -> RemoteVideo:
    """The remote video `url` names: through `filesystem` (pyarrow or fsspec) where one is
    given, else an http(s) server, else the fsspec filesystem of its scheme."""
    if filesystem is not None:
        return RemoteVideo(url, filesystem_backend(url, filesystem))
    scheme = url.split("://", 1)[0].lower()
    if scheme in ("http", "https") and not storage_options:
        return RemoteVideo(url, HttpBackend(url, timeout))
    return RemoteVideo(url, FsspecBackend.from_url(url, storage_options))


def filesystem_backend(url: str, filesystem: Any) -> Backend:
    """`url` (a path of `filesystem`, or a URL of its scheme) in `filesystem`."""
    path = url.split("://", 1)[1] if "://" in url else url
    if hasattr(filesystem, "get_file_info") and hasattr(filesystem, "open_input_file"):
        return ArrowBackend(url, filesystem, path)
    if hasattr(filesystem, "cat_file"):
        return FsspecBackend(url, filesystem, filesystem._strip_protocol(url))
    raise TypeError(f"filesystem: expected a pyarrow.fs.FileSystem or an fsspec filesystem, "
                    f"got {type(filesystem).__name__}")


# ---- the channels ----------------------------------------------------------------------------

class _ChannelServer:
    """The thread that answers the reads of every channel of this process. A read is fetched
    on a small pool of threads, so that a slow store holds up only its own reader."""

    def __init__(self) -> None:
        self._selector = selectors.DefaultSelector()
        self._wake_read, self._wake_write = socket.socketpair()
        self._selector.register(self._wake_read, selectors.EVENT_READ, None)
        self._pending: list[tuple[socket.socket, RemoteVideo]] = []
        self._lock = threading.Lock()
        self._fetchers = ThreadPoolExecutor(max_workers=8, thread_name_prefix="lorvex-fetch")
        self._thread = threading.Thread(target=self._serve, name="lorvex-channels", daemon=True)
        self._thread.start()

    def open_channel(self, video: RemoteVideo) -> int:
        mine, theirs = socket.socketpair()
        self._listen(mine, video)
        return theirs.detach()

    def _listen(self, channel: socket.socket, video: RemoteVideo) -> None:
        with self._lock:
            self._pending.append((channel, video))
        self._wake_write.send(b"\0")

    def _serve(self) -> None:
        while True:
            for key, _ in self._selector.select():
                if key.data is None:
                    self._wake_read.recv(4096)
                    with self._lock:
                        added, self._pending = self._pending, []
                    for channel, video in added:
                        self._selector.register(channel, selectors.EVENT_READ, video)
                    continue
                channel, video = key.fileobj, key.data
                request = _receive_exactly(channel, _READ.size)
                # Until its reply has gone, a channel asks nothing more.
                self._selector.unregister(channel)
                if request is None:
                    channel.close()  # its reader is gone
                    continue
                self._fetchers.submit(self._answer, channel, video, request)

    def _answer(self, channel: socket.socket, video: RemoteVideo, request: bytes) -> None:
        offset, size, magic = _READ.unpack(request)
        try:
            if magic != _READ_MAGIC:
                raise ValueError("a read that is not lorvex's")
            data = video.read(offset, size)
            reply = _REPLY.pack(len(data)) + data
        except Exception as error:  # noqa: BLE001 - said to the reader, kept for the caller
            reason = str(error).encode("utf-8", "replace")[:64 * 1024]
            reply = _REPLY.pack(-len(reason)) + reason
        try:
            channel.sendall(reply)
        except OSError:
            channel.close()
            return
        self._listen(channel, video)


def _receive_exactly(channel: Any, size: int) -> bytes | None:
    data = b""
    while len(data) < size:
        try:
            part = channel.recv(size - len(data))
        except OSError:
            return None
        if not part:
            return None
        data += part
    return data


_servers: dict[int, _ChannelServer] = {}
_servers_lock = threading.Lock()


def _server() -> _ChannelServer:
    """This process's server: a fork starts its own, its parent's thread not being there."""
    with _servers_lock:
        server = _servers.get(os.getpid())
        if server is None:
            server = _servers[os.getpid()] = _ChannelServer()
        return server


# ---- listing ---------------------------------------------------------------------------------

def list_videos(paths: list[str], storage_options: dict[str, Any] | None, filesystem: Any,
                extensions: tuple[str, ...] | None) -> list[tuple[str, int]]:
    """Every file that `paths` name, with its size: a file or object as it is, a folder or a
    prefix as every file under it (hidden ones left out, in sorted order), where the files are
    kept (this machine, a URL, a store by its URL's scheme, `filesystem`). With `extensions`,
    only the files whose names end with one of them."""
    found: list[tuple[str, int]] = []
    for path in paths:
        if filesystem is not None:
            found += _listed_in(filesystem, path)
        elif is_url(path) and path.split("://", 1)[0].lower() in ("http", "https"):
            found.append((path, open_remote(path, storage_options).size))
        elif is_url(path):
            backend = FsspecBackend.from_url(path, storage_options)
            found += [(f"{path.split('://', 1)[0]}://{name}", size)
                      for name, size in _listed_in(backend.filesystem, backend.path)]
        else:
            found += _local_files(path)
    if extensions is not None:
        found = [(name, size) for name, size in found
                 if name.rsplit(".", 1)[-1].lower() in extensions]
    return found


def _local_files(path: str) -> list[tuple[str, int]]:
    if os.path.isdir(path):
        names = []
        for root, folders, files in os.walk(path):
            folders[:] = [name for name in folders if not name.startswith(".")]
            names += [os.path.join(root, name) for name in files if not name.startswith(".")]
        return [(name, os.path.getsize(name)) for name in sorted(names)]
    if os.path.exists(path):
        return [(path, os.path.getsize(path))]
    raise FileNotFoundError(f"paths: {path}: no such file or folder")


def _listed_in(filesystem: Any, path: str) -> list[tuple[str, int]]:
    """The files at or under `path` in a pyarrow or fsspec filesystem."""
    if hasattr(filesystem, "get_file_info"):  # pyarrow
        import pyarrow.fs

        stripped = path.split("://", 1)[1] if "://" in path else path
        info = filesystem.get_file_info(stripped)
        if info.type == pyarrow.fs.FileType.NotFound:
            raise FileNotFoundError(f"paths: {path}: no such file or folder")
        if info.type != pyarrow.fs.FileType.Directory:
            return [(stripped, int(info.size))]
        selector = pyarrow.fs.FileSelector(stripped, recursive=True)
        return sorted((entry.path, int(entry.size)) for entry in filesystem.get_file_info(selector)
                      if entry.type == pyarrow.fs.FileType.File
                      and not _hidden(entry.path, stripped))
    stripped = filesystem._strip_protocol(path)
    if not filesystem.exists(stripped):
        raise FileNotFoundError(f"paths: {path}: no such file or folder")
    if not filesystem.isdir(stripped):
        return [(stripped, int(filesystem.info(stripped)["size"]))]
    listed = filesystem.find(stripped, detail=True)
    return sorted((name, int(entry["size"])) for name, entry in listed.items()
                  if entry.get("type", "file") == "file" and not _hidden(name, stripped))


def _hidden(path: str, under: str) -> bool:
    """Whether a file or folder of `path` below the folder `under` is hidden (its name starts
    with a dot)."""
    below = path[len(under):] if path.startswith(under) else path
    return any(part.startswith(".") for part in below.split("/") if part)
