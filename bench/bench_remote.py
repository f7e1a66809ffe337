"""Videos read where they are kept, against the same loads from the local file, side by side:

    python bench/bench_remote.py [--repeat 3]

- 16 consecutive frames from the middle of a long MP4 served over http with range requests (a
  server on the loopback address): the bytes the server sent, as a part of the object, and
  the time of a new video and its load against the same from the local file;
- every frame of a video in an S3-compatible store (moto's server mode on the loopback address,
  through s3fs), against the same load of the local file.
Machines here are shared: read the ratios, which come from one run.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

import lorvex  # noqa: E402
from remote_servers import ObjectStore, RangeServer  # noqa: E402
from videos import VIDEOS  # noqa: E402

CLIP = 16


def timed(load, repeat):
    """The best and median seconds of `repeat` runs after a warm-up, and the last result."""
    seconds, result = [], None
    for attempt in range(repeat + 1):
        started = time.perf_counter()
        result = load()
        if attempt:
            seconds.append(time.perf_counter() - started)
    return min(seconds), statistics.median(seconds), result


def fresh(path):
    """A new state of a local file, as a data loader meets the next file of its list."""
    status = os.stat(path)
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns + 1))
    return path


def clip_rows(folder, server, repeat):
    rows = []
    for key in ("h264-240p-30min", "h264-720p-10min"):
        source = VIDEOS[key].ensure()
        local = folder / source.name
        shutil.copyfile(source, local)
        size = local.stat().st_size
        with lorvex.Video(str(local)) as video:
            middle = len(video) // 2
        frames = list(range(middle, middle + CLIP))

        def from_local(local=local, frames=frames):
            with lorvex.Video(str(fresh(local)), (224, 224)) as video:
                return video.get_batch(frames)

        def from_http(local=local, frames=frames):
            # A new state of the served file too: its probe is not the last run's.
            fresh(local)
            with lorvex.Video(server.url(local.name), (224, 224)) as video:
                return video.get_batch(frames)

        local_best, local_median, expected = timed(from_local, repeat)
        sent = server.sent.get(local.name, 0)
        http_best, http_median, got = timed(from_http, repeat)
        per_load = (server.sent.get(local.name, 0) - sent) / (repeat + 1)
        assert (got == expected).all(), f"{key}: the frames over http differ from the file's"
        rows.append(f"| {key} | 16 frames from the middle, http | {100 * per_load / size:.2f} % "
                    f"of {size / 2**20:.0f} MiB | {http_best:.3f} / {local_best:.3f} | "
                    f"{http_best / local_best:.2f} | <= 5 %, <= 1.5 |")
    return rows


def store_rows(folder, repeat):
    rows = []
    source = VIDEOS["h264-720p-20s"].ensure()
    store = ObjectStore({source.name: source})
    try:
        def from_local():
            with lorvex.Video(str(fresh(source)), (224, 224)) as video:
                return video[:]

        def from_store():
            with lorvex.Video(store.url(source.name), (224, 224),
                              storage_options=store.storage_options) as video:
                return video[:]

        local_best, _, expected = timed(from_local, repeat)
        store_best, _, got = timed(from_store, repeat)
        assert (got == expected).all(), "the frames from the store differ from the file's"
        rows.append(f"| h264-720p-20s | every frame, S3 store | whole object | "
                    f"{store_best:.3f} / {local_best:.3f} | {store_best / local_best:.2f} | "
                    f"<= 1.2 |")
    finally:
        store.stop()
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        server = RangeServer(folder)
        try:
            rows = clip_rows(folder, server, args.repeat)
        finally:
            server.stop()
        rows += store_rows(folder, args.repeat)
    print("| video | load | read of the object | remote / local, best s | ratio | target |")
    print("|---|---|---|---|---|---|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
