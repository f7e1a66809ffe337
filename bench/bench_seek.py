"""Seek benchmark: what a sparse request costs against what it must cost.

    .venv/bin/python bench/bench_seek.py [--video PATH] [--size 224] [--repeat 3] [--workers 2]

Makes a 1280x720 H.264 video (30 fps, 60 s, a keyframe every 60 frames, B-frames) unless one
is given. Prints, measured side by side in one run:
- get_batch([k]) for keyframes k against get_batch([k + 1]): a keyframe's own picture must not
  cost more than the picture after it;
- 16 evenly spread and 16 random frames against the ideal-seek bound: the pictures that must be
  decoded (each target from its own keyframe, shared stretches counted once), at the cost per
  picture of a single-threaded ffmpeg decode of the whole file, spread over the workers.
Machines here are shared and noisy: compare the ratios, not the seconds.
"""
import argparse
import os
import random
import statistics
import subprocess
import time
from pathlib import Path

from lorvex import container, tandry

BENCH_DIR = Path(__file__).resolve().parents[1] / "build" / "bench"


def make_video(path):
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=1280x720:rate=30", "-t", "60", "-c:v", "libx264",
                        "-preset", "veryfast", "-g", "60", "-keyint_min", "60", "-bf", "2",
                        "-pix_fmt", "yuv420p", str(path)], check=True)
    return path


def best_of(repeat, run):
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        run()
        times.append(time.perf_counter() - started)
    return min(times)


def keyframe_ranks(path):
    """Rank of each keyframe's own picture, from the packets (as ffprobe sees them)."""
    stream = container.open(str(path)).streams.video[0]
    timestamps = stream.frame_timestamps
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=pts,flags", "-of", "csv=p=0", str(path)],
                         check=True, capture_output=True, text=True).stdout
    keyframes = [int(line.split(",")[0]) for line in out.split() if "K" in line.split(",")[1]]
    return sorted(timestamps.index(pts) for pts in keyframes if pts in timestamps)


def pictures_to_decode(targets, keyframes):
    """The pictures an ideal seeker decodes: from each target's keyframe up to the target."""
    needed = set()
    for target in targets:
        start = max(k for k in keyframes if k <= target)
        needed.update(range(start, target + 1))
    return len(needed)


def seconds_per_picture(path, count):
    started = time.perf_counter()
    subprocess.run(["ffmpeg", "-v", "error", "-threads", "1", "-i", str(path), "-map", "0:v:0",
                    "-f", "null", "-"], check=True)
    return (time.perf_counter() - started) / count


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--video", type=Path)
    parser.add_argument("--size", type=int, default=224)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    path = str(args.video or make_video(BENCH_DIR / "bench_seek_720p.mp4"))
    size, workers = args.size, args.workers

    reader = tandry.VideoReader(path, size, size, num_threads=workers)
    count = len(reader)
    keyframes = keyframe_ranks(path)
    print(f"video {Path(path).name}: {count} frames, {len(keyframes)} keyframes; output "
          f"{size}x{size}, {workers} workers")

    middle = [k for k in keyframes if 0 < k < count - 1][:: max(1, len(keyframes) // 8)][:8]
    on_keyframe = [best_of(args.repeat, lambda k=k: reader.get_batch([k])) for k in middle]
    after_keyframe = [best_of(args.repeat, lambda k=k: reader.get_batch([k + 1]))
                      for k in middle]
    ratio = statistics.median(on / after for on, after in zip(on_keyframe, after_keyframe))
    print(f"get_batch([k]) for a keyframe k: {statistics.median(on_keyframe) * 1000:.1f} ms; "
          f"get_batch([k + 1]): {statistics.median(after_keyframe) * 1000:.1f} ms; "
          f"median ratio {ratio:.2f} (at most 1.0 wanted)")

    per_picture = seconds_per_picture(path, count)
    lanes = min(workers, os.cpu_count() or 1)
    print(f"single-threaded decode: {per_picture * 1000:.2f} ms per picture")
    print(f"{'request':28} {'lorvex s':>9} {'bound s':>8} {'ratio':>6}  (at most 1.3 wanted)")
    rng = random.Random(0)
    for name, targets in (("16 evenly spread", [round(i * (count - 1) / 15) for i in range(16)]),
                          ("16 random", sorted(rng.sample(range(count), 16)))):
        seconds = best_of(args.repeat, lambda targets=targets: reader.get_batch(targets))
        bound = pictures_to_decode(targets, keyframes) * per_picture / lanes
        print(f"{name:28} {seconds:9.3f} {bound:8.3f} {seconds / bound:6.2f}")


if __name__ == "__main__":
    main()
