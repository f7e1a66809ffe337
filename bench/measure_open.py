"""Opening costs: get_stats and lorvex.Video(path) on each video given, for each interpreter
given (an interpreter per checkout, to compare two builds in one run). Each measurement runs in
a fresh process after one warm-up open (so libraries are loaded, as in a data loader that has
opened files before), of a new state of the file (its modification time a nanosecond on), so
no probe of it is remembered. Prints medians in milliseconds.

    python bench/measure_open.py --python .venv/bin/python ../main/.venv/bin/python -- a.mp4 b.mp4
"""
import argparse
import statistics
import subprocess

PROGRAM = r"""
import os, sys, time
import lorvex, lorvex.tandry as tandry
what, path = sys.argv[1], sys.argv[2]
open_one = tandry.get_stats if what == "get_stats" else lorvex.Video

def new_state():
    status = os.stat(path)
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns + 1))

new_state()
open_one(path)  # the warm-up
new_state()
start = time.perf_counter()
open_one(path)
print(time.perf_counter() - start)
"""


def measure(python, what, path):
    out = subprocess.run([python, "-c", PROGRAM, what, path], check=True, capture_output=True,
                         text=True).stdout
    return float(out) * 1e3


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", nargs="+", required=True)
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("videos", nargs="+")
    args = parser.parse_args()
    for path in args.videos:
        for what in ("get_stats", "Video"):
            times = {python: [] for python in args.python}
            for _ in range(args.repeat):  # interleaved, so that load on the machine hits all
                for python in args.python:
                    times[python].append(measure(python, what, path))
            cells = "  ".join(f"{python}: {statistics.median(t):7.1f} ms"
                              for python, t in times.items())
            print(f"{path:30} {what:9} {cells}", flush=True)


if __name__ == "__main__":
    main()
