"""Servers on the loopback address for the tests of remote videos: an http server that answers
range requests (and, by path, refuses, misses or stalls), and an S3-compatible object store
(moto's server mode). Each is started by a fixture of conftest.py and stopped with it."""
from __future__ import annotations

import http.server
import logging
import os
import re
import select
import socket
import threading
import time
from pathlib import Path


class RangeServer:
    """Serves the files of `folder` at http://127.0.0.1:<port>/<name>, ranges and all, and
    counts the bytes it sends of each. Paths under /missing/ answer 404, under /forbidden/
    403; under /stall/ the server sends a range's first bytes, then nothing for a minute."""

    def __init__(self, folder: Path) -> None:
        self.folder = Path(folder)
        self.sent: dict[str, int] = {}
        self.requests = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: object) -> None:
                pass

            def do_HEAD(self) -> None:
                server._answer(self, body=False)

            def do_GET(self) -> None:
                server._answer(self, body=True)

        self._http = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._http.daemon_threads = True
        self.port = self._http.server_address[1]
        self._thread = threading.Thread(target=self._http.serve_forever, daemon=True)
        self._thread.start()

    def url(self, name: str) -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self) -> None:
        self._stop.set()
        self._http.shutdown()
        self._http.server_close()

    def _answer(self, request: http.server.BaseHTTPRequestHandler, body: bool) -> None:
        path = request.path.lstrip("/")
        kind, _, name = path.partition("/") if "/" in path else ("", "", path)
        if kind == "missing":
            return self._refuse(request, 404, "Not Found")
        if kind == "forbidden":
            return self._refuse(request, 403, "Forbidden")
        file = self.folder / name
        if not file.is_file():
            return self._refuse(request, 404, "Not Found")
        size = file.stat().st_size
        etag = f'"{size}-{file.stat().st_mtime_ns}"'
        if request.headers.get("If-Match", etag) != etag:
            return self._refuse(request, 412, "Precondition Failed")
        start, end = 0, size - 1
        asked = request.headers.get("Range")
        if asked:
            match = re.fullmatch(r"bytes=(\d+)-(\d*)", asked)
            if not match:
                return self._refuse(request, 416, "Range Not Satisfiable")
            start = int(match.group(1))
            end = min(int(match.group(2)) if match.group(2) else size - 1, size - 1)
        request.send_response(206 if asked else 200)
        request.send_header("Accept-Ranges", "bytes")
        request.send_header("ETag", etag)
        request.send_header("Content-Length", str(end - start + 1))
        if asked:
            request.send_header("Content-Range", f"bytes {start}-{end}/{size}")
        request.end_headers()
        if not body:
            return
        with open(file, "rb") as opened:
            opened.seek(start)
            data = opened.read(end - start + 1)
        if kind == "stall":
            request.wfile.write(data[:1024])
            request.wfile.flush()
            # Nothing more, until the client gives up (or the server stops).
            connection = request.connection
            while not self._stop.is_set():
                readable, _, _ = select.select([connection], [], [], 0.05)
                if readable and not connection.recv(1, socket.MSG_PEEK):
                    break
            request.close_connection = True
            return
        request.wfile.write(data)
        with self._lock:
            self.sent[name] = self.sent.get(name, 0) + len(data)
            self.requests += 1

    @staticmethod
    def _refuse(request: http.server.BaseHTTPRequestHandler, status: int, reason: str) -> None:
        request.send_response(status, reason)
        request.send_header("Content-Length", "0")
        request.end_headers()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ObjectStore:
    """An S3-compatible store (moto in server mode) on the loopback address, with a bucket of
    the given files; `storage_options` reach it through s3fs. Moto keeps the buckets of every
    server of a process in one place: each store has a bucket named after its port."""

    def __init__(self, files: dict[str, Path]) -> None:
        from moto.server import ThreadedMotoServer

        logging.getLogger("werkzeug").setLevel(logging.ERROR)  # a line per request otherwise
        self.port = free_port()
        self._server = ThreadedMotoServer(ip_address="127.0.0.1", port=self.port, verbose=False)
        self._server.start()
        self.endpoint = f"http://127.0.0.1:{self.port}"
        self.bucket = bucket = f"videos-{self.port}"
        # A region other than us-east-1, where S3 takes no location for a new bucket.
        self.storage_options = {"key": "testing", "secret": "testing",
                                "client_kwargs": {"endpoint_url": self.endpoint,
                                                  "region_name": "eu-west-1"}}
        filesystem = self.filesystem()
        deadline = time.monotonic() + 10
        while True:
            try:
                filesystem.mkdir(bucket)
                break
            except Exception:  # noqa: BLE001 - the server is still starting
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        for key, path in files.items():
            filesystem.put_file(str(path), f"{bucket}/{key}")

    def filesystem(self):  # an s3fs.S3FileSystem of its own, no cache
        import s3fs

        return s3fs.S3FileSystem(skip_instance_cache=True, **self.storage_options)

    def url(self, key: str) -> str:
        return f"s3://{self.bucket}/{key}"

    def stop(self) -> None:
        self._server.stop()


def environment_without_credentials() -> dict[str, str]:
    """The environment with no AWS credentials or configuration that could reach a real store."""
    return {key: value for key, value in os.environ.items() if not key.startswith("AWS_")}
