"""python -m lorvex [VIDEO]: probe a video, show its decode plan, load its frames.

Without VIDEO it uses the sample video bundled with the package.
"""
import argparse
import time
from pathlib import Path

from lorvex import tandry

SAMPLE = Path(__file__).resolve().parent / "data" / "sample.mp4"


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m lorvex", description=__doc__.splitlines()[0])
    parser.add_argument("video", nargs="?", default=str(SAMPLE), help="video file (default: bundled sample)")
    parser.add_argument("--height", type=int, default=0, help="output height (default: the video's)")
    parser.add_argument("--width", type=int, default=0, help="output width (default: the video's)")
    parser.add_argument("--threads", type=int, default=4, help="worker programs to run (default 4)")
    parser.add_argument("--interleaved", action="store_true",
                        help="load in the background and iterate the frames as they arrive")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    record = tandry.get_stats(args.video)
    probed = time.perf_counter()
    print(f"video     {args.video}")
    print(f"probe     {probed - started:.3f} s: {record['num_frames']} frames, "
          f"{record['width']}x{record['height']}, {record['fps']} fps, "
          f"pts {record['start']}..{record['end']}, {len(record['kf'])} keyframes")
    intervals, _, requested = tandry.compute_parellelized_intervals(args.video, None, args.threads,
                                                                    d=record)
    print(f"plan      {len(intervals)} interval(s) for {len(requested)} frames:")
    for number, (start, end, count) in enumerate(intervals):
        print(f"          worker {number}: pts {start}..{end}, {count} frames")

    if args.interleaved:
        reader = tandry.InterleavedVideoReader(args.video, args.height, args.width,
                                               num_threads=args.threads)
        started = time.perf_counter()
        reader.process(list(range(record["num_frames"])))
        first = None
        count = 0
        for chunk in reader:
            first = first or time.perf_counter() - started
            count += len(chunk)
        elapsed = time.perf_counter() - started
        reader.__del__()
        print(f"load      {count} frames of {reader.height}x{reader.width} in {elapsed:.3f} s "
              f"({count / elapsed:.0f} frames/s); first frame after {first:.3f} s")
    else:
        reader = tandry.VideoReader(args.video, args.height, args.width, num_threads=args.threads)
        started = time.perf_counter()
        frames = reader.get_batch(list(range(len(reader))))
        elapsed = time.perf_counter() - started
        print(f"load      array {frames.shape} {frames.dtype} in {elapsed:.3f} s "
              f"({len(frames) / elapsed:.0f} frames/s)")


if __name__ == "__main__":
    main()
