"""Loads every frame of every video in a folder with the worker programs built under
AddressSanitizer and UndefinedBehaviorSanitizer, one-shot and interleaved, and checks that
no sanitizer speaks and that the frames equal those of the installed workers.

    run_sanitized_workers.py WORKER_DIR VIDEO_DIR

Skips (exit 0) when VIDEO_DIR does not exist. Each video runs in a child interpreter with a
time limit; the whole run is bounded by the number of videos times that limit."""
import json
import os
import subprocess
import sys
import time
from pathlib import Path

VIDEO_TIME_LIMIT = 300  # seconds, for the three loads of one video
HEIGHT = 72  # output height; the width keeps the picture's shape
SANITIZER_SIGNS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "SUMMARY: UndefinedBehaviorSanitizer")

CHILD = r"""
import hashlib, json, os, sys
import lorvex.tandry as tandry

path, sanitized = sys.argv[1], sys.argv[2]

def digest(frames):
    return [list(frames.shape), hashlib.sha256(frames.tobytes()).hexdigest()]

def attempt(call):
    try:
        return digest(call())
    except Exception as error:
        return {"error": f"{type(error).__name__}: {error}"}

def interleaved(height, width, frames):
    reader = tandry.InterleavedVideoReader(path, height, width, num_threads=2, num_intervals=4)
    reader.process(list(range(frames)))
    try:
        return reader.get_frames(0, frames)
    finally:
        del reader

try:
    record = tandry.get_stats(path)
except Exception as error:
    print(json.dumps({"unloadable": f"{type(error).__name__}: {error}"}))
    sys.exit()
height = HEIGHT
width = max(2, round(record["width"] * height / max(1, record["height"]) / 2) * 2)
frames = record["num_frames"]
import subprocess

# The loaders' subprocess, starting the sanitized build of each worker program instead of the
# package's.
class Sanitized:
    TimeoutExpired = subprocess.TimeoutExpired

    @staticmethod
    def Popen(command, executable=None, **options):
        return subprocess.Popen(command, executable=os.path.join(sanitized, command[0]), **options)

tandry.subprocess = Sanitized
report = {
    "frames": frames,
    "one_shot": attempt(lambda: tandry.tandry_load(path, None, height, width, 2, record)),
    "interleaved": attempt(lambda: interleaved(height, width, frames)),
}
tandry.subprocess = subprocess
report["release"] = attempt(lambda: tandry.tandry_load(path, None, height, width, 2, record))
print(json.dumps(report))
""".replace("HEIGHT", str(HEIGHT))


def check_video(path, worker_dir):
    """The problems found with one video; empty when there are none."""
    environment = dict(os.environ,
                       ASAN_OPTIONS="detect_leaks=1:exitcode=86",
                       UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=86")
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, str(path), str(worker_dir)],
                              capture_output=True, text=True, timeout=VIDEO_TIME_LIMIT,
                              env=environment)
    except subprocess.TimeoutExpired:
        return [f"still loading after {VIDEO_TIME_LIMIT} s"], None
    problems = [line for line in done.stderr.splitlines()
                if any(sign in line for sign in SANITIZER_SIGNS)]
    if done.returncode != 0 or not done.stdout.strip():
        return problems + [f"the loading interpreter failed:\n{done.stderr[-2000:]}"], None
    report = json.loads(done.stdout.splitlines()[-1])
    if "unloadable" in report:
        return problems, report
    for way in ("one_shot", "interleaved"):
        result = report[way]
        if "error" in result and "status 86" in result["error"]:
            problems.append(f"{way}: a sanitizer stopped a worker: {result['error']}")
        elif "error" in result and "error" in report["release"]:
            continue  # a video that no worker loads, sanitized or not
        elif result != report["release"]:
            problems.append(f"{way}: {result} differs from the installed workers' "
                            f"{report['release']}")
    return problems, report


def main():
    worker_dir, video_dir = Path(sys.argv[1]).resolve(), Path(sys.argv[2])
    if not video_dir.is_dir():
        print(f"sanitized workers: skipped, no folder {video_dir}")
        return 0
    for program in ("lorvex", "lorvex_interleaved"):
        if not os.access(worker_dir / program, os.X_OK):
            print(f"sanitized workers: no {program} in {worker_dir}", file=sys.stderr)
            return 1
    videos = sorted(p for p in video_dir.iterdir() if p.is_file() and p.suffix != ".tsv")
    failed = 0
    started = time.monotonic()
    for number, video in enumerate(videos, 1):
        begun = time.monotonic()
        problems, report = check_video(video, worker_dir)
        if problems:
            failed += 1
            outcome = "FAILED\n    " + "\n    ".join(problems)
        elif "unloadable" in report:
            outcome = f"not loadable: {report['unloadable']}"
        else:
            errors = [report[w]["error"] for w in ("release",) if "error" in report[w]]
            outcome = (f"{report['frames']} frames, equal" if not errors
                       else f"every worker failed alike: {errors[0]}")
        print(f"[{number}/{len(videos)}] {video.name}: {outcome} "
              f"({time.monotonic() - begun:.1f} s)", flush=True)
    print(f"sanitized workers: {len(videos)} videos, {failed} failed, "
          f"{time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
