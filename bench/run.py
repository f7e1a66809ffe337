"""The benchmark against every peer: `make bench` (quick) or `make bench FULL=1` (README figures).

    build/bench-env-py311/bin/python bench/run.py [--full] [--repeat N] [--out build/bench]

bench/setup_envs.sh builds the two environments first (make bench runs it). Then, side by side
on this machine: the limits of the work (the ffmpeg CLI decoding the row's frames and converting
them to planar RGB at the row's size, to -f null: two single-threaded processes over the two
halves at once, and one with all threads), bench/measure.py in each environment (CPython 3.10:
lorvex and decord; CPython 3.11: lorvex, PyAV, OpenCV, torchcodec, the ffmpeg CLI pipe), and
the peak memory of one load by each contender in a process of its own. Prints the table, writes
results.json and chart.png. Machines here are shared: read the ratios, which come from one run,
not seconds across runs.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from datetime import date
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from videos import VIDEOS  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
ENVS = {"3.10": ROOT / "build" / "bench-env-py310", "3.11": ROOT / "build" / "bench-env-py311"}
# The peers each environment runs in a quick run; a full run has every peer run in both.
QUICK_PEERS = {"3.10": ["decord"], "3.11": ["PyAV", "OpenCV", "torchcodec", "ffmpeg CLI pipe"]}
MIB = 1 << 20


def ffprobe_duration(path):
    out = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                          "csv=p=0", str(path)], check=True, capture_output=True, text=True)
    return float(out.stdout)


def null_decode(path, threads, size, start=None, seconds=None):
    """The ffmpeg CLI decoding and converting to planar RGB (at size x size, or the video's own
    size for None), writing nothing."""
    command = ["ffmpeg", "-v", "error", "-threads", str(threads)]
    if start is not None:
        command += ["-ss", f"{start:.3f}", "-t", f"{seconds:.3f}"]
    command += ["-i", str(path), "-map", "0:v:0", "-sws_flags", "bilinear"]
    if size is not None:
        command += ["-vf", f"scale={size}:{size}:flags=bilinear"]
    return subprocess.Popen(command + ["-pix_fmt", "gbrp", "-f", "null", "-"])


def limits(key, seconds, size, repeat):
    """Seconds for two single-threaded processes over the halves of the video's first `seconds`
    (None: all of it) at once, and for one with all threads."""
    path = VIDEOS[key].ensure()
    span = seconds or ffprobe_duration(path)
    half = span / 2
    two, one = [], []
    for attempt in range(repeat + 1):
        started = time.perf_counter()
        # The second half of a whole video runs on to its end.
        rest = half + (1 if seconds is None else 0)
        halves = [null_decode(path, 1, size, 0, half), null_decode(path, 1, size, half, rest)]
        if any(p.wait() for p in halves):
            raise RuntimeError("ffmpeg failed")
        if attempt:
            two.append(time.perf_counter() - started)
        started = time.perf_counter()
        if null_decode(path, 0, size, 0, span).wait():
            raise RuntimeError("ffmpeg failed")
        if attempt:
            one.append(time.perf_counter() - started)
    return {"two_halves": min(two), "two_halves_median": statistics.median(two),
            "all_threads": min(one), "all_threads_median": statistics.median(one)}


# The rows with a limit: (video, workload, size) and the seconds of video the workload spans.
LIMITS = [("h264-720p-g60", "all", "224x224", None), ("h264-720p-g60", "first300", "224x224", 10),
          ("h264-720p-g60", "first300", "own", 10), ("h264-720p-20s", "all", "own", None),
          ("h264-360p", "first300", "own", 10), ("h264-360p", "all", "own", None)]


def limit_key(video, workload, size):
    return f"{video} {workload} {size}"


def tree_pss(pid):
    """Proportional set size of a process and its descendants, in bytes (shared pages once)."""
    total = 0
    pending = [pid]
    while pending:
        current = pending.pop()
        try:
            for line in Path(f"/proc/{current}/smaps_rollup").read_text().splitlines():
                if line.startswith("Pss:"):
                    total += int(line.split()[1]) * 1024
                    break
            for task in Path(f"/proc/{current}/task").iterdir():
                pending += [int(c) for c in (task / "children").read_text().split()]
        except (FileNotFoundError, ProcessLookupError, ValueError):
            continue
    return total


def peak_memory(python, contender, key, workload, size):
    """Peak of the load's process tree (sampled every 5 ms) and the process's own high mark."""
    process = subprocess.Popen([str(python), str(ROOT / "bench" / "measure.py"), "--memory",
                                contender, key, workload, size], stdout=subprocess.PIPE,
                               text=True)
    peak = 0
    done = threading.Event()

    def sample():
        nonlocal peak
        while not done.is_set():
            peak = max(peak, tree_pss(process.pid))
            time.sleep(0.005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    out, _ = process.communicate()
    done.set()
    sampler.join()
    if process.returncode:
        return None
    figures = json.loads(out.strip().splitlines()[-1])
    figures["tree_peak"] = peak
    figures["peak"] = max(peak, figures["self_peak"])
    return figures


def run_env(version, args, out_dir):
    python = ENVS[version] / "bin" / "python"
    out = out_dir / f"measured-py{version}.json"
    command = [str(python), str(ROOT / "bench" / "measure.py"), "--out", str(out),
               "--repeat", str(args.repeat)]
    command += ["--full"] if args.full else ["--peers", *QUICK_PEERS[version]]
    if args.only:
        command += ["--only", *args.only]
    subprocess.run(command, check=True)
    return json.loads(out.read_text())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--full", action="store_true")
    parser.add_argument("--repeat", type=int)
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--only", nargs="*", help="only the rows whose 'video workload size' "
                        "text holds one of these (see measure.py)")
    args = parser.parse_args()
    args.repeat = args.repeat or (5 if args.full else 2)
    args.out.mkdir(parents=True, exist_ok=True)
    for video in VIDEOS.values():
        video.ensure()

    started = time.perf_counter()
    report = {"date": date.today().isoformat(), "cores": os.cpu_count(), "full": args.full,
              "repeat": args.repeat, "videos": {k: v.label for k, v in VIDEOS.items()},
              "limits": {}, "envs": {}, "memory": []}
    for video, workload, size, seconds in LIMITS:
        key = limit_key(video, workload, size)
        if args.only and not any(text in key for text in args.only):
            continue
        side = None if size == "own" else int(size.split("x")[0])
        report["limits"][key] = limits(video, seconds, side, args.repeat)
        print(f"bench: limits {key}: {report['limits'][key]}", flush=True)
    for version in ENVS:
        report["envs"][version] = run_env(version, args, args.out)

    memory_rows = [("h264-720p-g60", "all", "224"), ("h264-720p-10min", "clip16", "224"),
                   ("h264-720p-g60", "first300", "own")]
    for version, measured in report["envs"].items():
        names = ["lorvex"] + [n for n in dict.fromkeys(r["contender"] for r in measured["rows"])
                              if not n.startswith("lorvex")]
        for name in names:
            for key, workload, size in memory_rows:
                if args.only and not any(text in f"{key} {workload} {size}"
                                         for text in args.only):
                    continue
                if name == "ffmpeg CLI pipe" and workload not in ("all", "first300"):
                    continue
                figures = peak_memory(ENVS[version] / "bin" / "python", name, key, workload,
                                      size)
                if figures:
                    figures.update(python=version, contender=name, video=key, workload=workload,
                                   size="own" if size == "own" else f"{size}x{size}")
                    report["memory"].append(figures)
                    print(f"bench: memory {name} {key} {workload}: peak "
                          f"{figures['peak'] / MIB:.0f} MiB for an array of "
                          f"{figures['array_bytes'] / MIB:.0f} MiB", flush=True)
    report["seconds"] = time.perf_counter() - started

    import table
    (args.out / "results.json").write_text(json.dumps(report, indent=1))
    text = table.render(report)
    (args.out / "table.md").write_text(text)
    print(text)
    table.chart(report, args.out / "chart.png")
    print(f"bench: wrote {args.out / 'results.json'}, {args.out / 'table.md'} and "
          f"{args.out / 'chart.png'} in {report['seconds']:.0f} s")


if __name__ == "__main__":
    main()
