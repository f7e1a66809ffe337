"""Opening costs, one measurement per fresh process (so no probe is remembered): get_stats and
lorvex.Video(path) on each video given, for each interpreter given (an interpreter per
checkout, to compare two builds in one run). Prints medians in milliseconds.

    python bench/measure_open.py --python .venv/bin/python ../main/.venv/bin/python -- a.mp4 b.mp4
"""
import argparse
import statistics
import subprocess

PROGRAM = r"""
import sys, time
import lorvex, lorvex.tandry as tandry
what, path = sys.argv[1], sys.argv[2]
start = time.perf_counter()
if what == "get_stats":
    tandry.get_stats(path)
else:
    lorvex.Video(path)
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
