"""Load-speed benchmark: lorvex against the ffmpeg CLI and, when installed, PyAV and OpenCV.

    .venv/bin/python bench/bench_load.py [--video PATH] [--size 224] [--repeat 3]

Makes a 1280x720 H.264 test video (900 frames, keyframe every 60) unless one is given, then
times full and sparse loads. Machines here are shared and noisy: compare the ratios printed in
one run, not absolute seconds across runs.
"""
import argparse
import random
import resource
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

from lorvex import tandry

BENCH_DIR = Path(__file__).resolve().parents[1] / "build" / "bench"


def make_video(path):
    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=1280x720:rate=30", "-frames:v", "900", "-c:v", "libx264",
                    "-preset", "veryfast", "-g", "60", "-bf", "2", "-pix_fmt", "yuv420p",
                    str(path)], check=True)
    return path


def best_of(repeat, run):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - started)
    return min(times), statistics.median(times), result


def ffmpeg_cli(path, size):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-vf", f"scale={size}:{size}",
                          "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                         check=True, capture_output=True).stdout
    return np.frombuffer(raw, np.uint8).reshape(-1, size, size, 3).transpose(0, 3, 1, 2).copy()


def pyav(path, size):
    import av
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        frames = [f.to_ndarray(format="rgb24", width=size, height=size)
                  for f in container.decode(stream)]
    return np.stack(frames).transpose(0, 3, 1, 2).copy()


def opencv(path, size):
    import cv2
    capture = cv2.VideoCapture(str(path))
    frames = []
    while True:
        ok, frame = capture.read()
        if not ok:
            break
        frames.append(cv2.resize(cv2.cvtColor(frame, cv2.COLOR_BGR2RGB), (size, size),
                                 interpolation=cv2.INTER_LINEAR))
    capture.release()
    return np.stack(frames).transpose(0, 3, 1, 2).copy()


def interleaved_first_and_all(path, size, threads, count):
    reader = tandry.InterleavedVideoReader(str(path), size, size, num_threads=threads)
    started = time.perf_counter()
    reader.process(list(range(count)))
    first = None
    for _ in reader:
        if first is None:
            first = time.perf_counter() - started
    total = time.perf_counter() - started
    reader.__del__()
    return first, total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--video", type=Path)
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    path = args.video or make_video(BENCH_DIR / "bench_720p.mp4")
    size = args.size

    started = time.perf_counter()
    count = len(tandry.VideoReader(str(path), size, size))
    print(f"video {path.name}: {count} frames; probe {time.perf_counter() - started:.3f} s; "
          f"output {size}x{size}")

    rows = []
    for threads in (1, 2, 4):
        reader = tandry.VideoReader(str(path), size, size, num_threads=threads)
        best, median, frames = best_of(args.repeat,
                                       lambda reader=reader: reader.get_batch(list(range(count))))
        rows.append((f"lorvex full load, {threads} worker(s)", best, median, len(frames)))
    sparse = sorted(random.Random(0).sample(range(count), 32))
    reader = tandry.VideoReader(str(path), size, size, num_threads=2)
    best, median, frames = best_of(args.repeat, lambda: reader.get_batch(sparse))
    rows.append(("lorvex sparse load, 32 frames, 2 workers", best, median, len(frames)))
    best, median, frames = best_of(args.repeat, lambda: ffmpeg_cli(path, size))
    rows.append(("ffmpeg CLI pipe, rgb24", best, median, len(frames)))
    for name, loader in (("PyAV decode + reformat", pyav), ("OpenCV read + resize", opencv)):
        try:
            best, median, frames = best_of(args.repeat, lambda loader=loader: loader(path, size))
        except ImportError:
            print(f"({name}: not installed, skipped)")
            continue
        rows.append((name, best, median, len(frames)))

    baseline = next(r[1] for r in rows if r[0].startswith("ffmpeg CLI"))
    print(f"{'method':44} {'best s':>8} {'median s':>9} {'frames':>7} {'frames/s':>9} {'vs CLI':>7}")
    for name, best, median, n in rows:
        print(f"{name:44} {best:8.3f} {median:9.3f} {n:7d} {n / best:9.0f} {baseline / best:6.2f}x")

    for threads in (2, 4):
        first, total = interleaved_first_and_all(path, size, threads, count)
        print(f"interleaved, {threads} workers: first frame after {first:.3f} s, "
              f"all {count} after {total:.3f} s")
    # Children's peak RSS is not reported: a forked child counts the parent's pages it
    # inherited before exec, which says nothing about the worker programs themselves.
    self_rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak RSS of this process: {self_rss:.0f} MiB")


if __name__ == "__main__":
    main()
