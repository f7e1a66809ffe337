"""A long mixed load with faults: what lorvex leaves behind, and whether every load that
completes has the right frames.

    .venv/bin/python bench/soak.py [--minutes 10] [--processes 2] [--threads 3] [--videos DIR]

For the time given, each of `--processes` processes runs `--threads` threads that load
without pause: one-shot and interleaved loads through lorvex.tandry, lorvex.Video's get_batch
and streams, and a Video of a file's bytes in the NHWC layout; some of every frame and some of
a few frames at random, on the sample videos at a small size. Meanwhile a thread in each process picks one of its workers (or a decoder the
decoder service forked for one) at random every fraction of a second and kills it, or stops
it for a while (longer than a Video load's timeout, at times), and some streams are abandoned
part way. A load may fail when a fault reached it; it must never return wrong frames (each is
compared with a full load made before the faults began), fail without a fault, or hang.

At the end no worker, decoder, shared-memory block or descriptor may be left, and each
process's resident memory must not have grown after the first minute (more than
GROWTH_ALLOWED_MIB). The summary is printed and the exit status is 1 when any of this fails.
"""
from __future__ import annotations

import argparse
import gc
import json
import multiprocessing
import os
import random
import signal
import sys
import tempfile
import threading
import time
from collections import Counter
from multiprocessing import shared_memory
from pathlib import Path
from typing import Any

import numpy as np

import lorvex
import lorvex.tandry as tandry

SHARED_VIDEOS = Path(__file__).resolve().parents[2] / "shared" / "videos"
SIZE = (36, 64)
VIDEO_TIMEOUT = 2.0  # seconds; a stop lasts up to STOP_SECONDS, so some loads time out
STOP_SECONDS = (0.2, 3.0)
FAULT_EVERY = (0.1, 0.8)
GROWTH_ALLOWED_MIB = 16
WORKER_NAMES = ("lorvex", "lorvex_interleav", "lorvex_decoder")  # as the kernel keeps them


class RecordingSharedMemory:
    """shared_memory as the loaders see it, noting every block they create."""

    created: list[str] = []

    @staticmethod
    def SharedMemory(*args: Any, **kwargs: Any) -> shared_memory.SharedMemory:
        block = shared_memory.SharedMemory(*args, **kwargs)
        if kwargs.get("create"):
            RecordingSharedMemory.created.append(block.name)
        return block


def process_table() -> dict[int, tuple[int, str, str]]:
    """{pid: (parent pid, name, state)} of every process on the machine."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat_file:
                stat = stat_file.read()
        except OSError:
            continue
        fields = stat[stat.rindex(")") + 2:].split()
        table[int(entry)] = (int(fields[1]), stat[stat.index("(") + 1:stat.rindex(")")], fields[0])
    return table


def descendants(root: int) -> dict[int, str]:
    """{pid: name} of the living processes below `root`."""
    table = process_table()
    found: dict[int, str] = {}
    frontier = [root]
    while frontier:
        parent = frontier.pop()
        for pid, (ppid, name, state) in table.items():
            if ppid == parent and pid not in found and state != "Z":
                found[pid] = name
                frontier.append(pid)
    return found


def resident_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


class Faults:
    """Kills and stops this process's workers and decoders at random; remembers when."""

    def __init__(self, rng: random.Random, end: float) -> None:
        self.rng = rng
        self.end = end
        self.times: list[float] = []
        self.counts: Counter[str] = Counter()
        self.lock = threading.Lock()
        self.stopped: dict[int, float] = {}  # pid: when to resume it

    def run(self) -> None:
        while time.monotonic() < self.end:
            time.sleep(self.rng.uniform(*FAULT_EVERY))
            self.resume_due(time.monotonic())
            targets = [pid for pid, name in descendants(os.getpid()).items()
                       if name in WORKER_NAMES and not self.is_service(pid)]
            if not targets:
                continue
            pid = self.rng.choice(targets)
            kind = self.rng.choice(["kill", "stop"])
            with self.lock:
                self.times.append(time.monotonic())
            try:
                if kind == "kill":
                    os.kill(pid, signal.SIGKILL)
                else:
                    os.kill(pid, signal.SIGSTOP)
                    self.stopped[pid] = time.monotonic() + self.rng.uniform(*STOP_SECONDS)
            except ProcessLookupError:
                continue
            self.counts[kind] += 1
        self.resume_due(float("inf"))

    def resume_due(self, now: float) -> None:
        for pid, when in list(self.stopped.items()):
            if when <= now:
                try:
                    os.kill(pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass
                del self.stopped[pid]

    @staticmethod
    def is_service(pid: int) -> bool:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                return cmdline.read().split(b"\0")[1:2] == [b"serve"]
        except OSError:
            return True

    def reached(self, started: float, ended: float) -> bool:
        """Whether a fault was made while a load ran (a stop made just before it may still
        hold a worker of it: a second of slack)."""
        with self.lock:
            return any(started - 1.0 <= when <= ended for when in self.times)


class Loader:
    """One thread's loads, and what became of them."""

    def __init__(self, videos: dict[str, np.ndarray], faults: Faults, rng: random.Random,
                 end: float) -> None:
        self.videos = videos
        self.faults = faults
        self.rng = rng
        self.end = end
        self.outcomes: Counter[str] = Counter()
        self.problems: list[str] = []

    def run(self) -> None:
        while time.monotonic() < self.end:
            path = self.rng.choice(list(self.videos))
            expected = self.videos[path]
            count = len(expected)
            if self.rng.random() < 0.5:
                numbers = list(range(count))
                extent = "full"
            else:
                numbers = sorted(self.rng.sample(range(count), min(count, self.rng.randint(1, 8))))
                extent = "sparse"
            way = self.rng.choice(["tandry one-shot", "tandry interleaved", "Video.get_batch",
                                   "Video.stream", "Video of bytes, NHWC"])
            started = time.monotonic()
            try:
                frames, complete = self.load(way, path, numbers)
            except (RuntimeError, TimeoutError) as error:
                ended = time.monotonic()
                if self.faults.reached(started, ended):
                    self.outcomes[f"failed ({type(error).__name__}) after a fault"] += 1
                else:
                    self.problems.append(f"{way} of {path} failed with no fault: {error}")
                continue
            except Exception as error:  # anything else is a fault of lorvex's
                self.problems.append(f"{way} of {path}: {type(error).__name__}: {error}")
                continue
            wanted = expected[numbers[:len(frames)]]
            if way == "Video of bytes, NHWC":
                wanted = wanted.transpose(0, 2, 3, 1)
            if not np.array_equal(frames, wanted):
                self.problems.append(f"{way} of {path} ({extent}) gave wrong frames")
            self.outcomes["completed" if complete else "abandoned part way"] += 1

    def load(self, way: str, path: str, numbers: list[int]) -> tuple[np.ndarray, bool]:
        """The frames loaded (only the first ones when the load was abandoned) and whether the
        load ran to its end."""
        height, width = SIZE
        if way == "tandry one-shot":
            reader = tandry.VideoReader(path, height, width, num_threads=2)
            return reader.get_batch(numbers), True
        if way == "tandry interleaved":
            interleaved = tandry.InterleavedVideoReader(path, height, width, num_threads=2)
            try:
                interleaved.process(numbers)
                wanted = len(numbers) if self.rng.random() < 0.8 else len(numbers) // 2
                return interleaved.get_frames(0, wanted), wanted == len(numbers)
            finally:
                interleaved.__del__()
        if way == "Video of bytes, NHWC":
            with open(path, "rb") as file, lorvex.Video(file, SIZE, threads=2, layout="NHWC",
                                                       timeout=VIDEO_TIMEOUT) as in_memory:
                return in_memory.get_batch(numbers), True
        video = lorvex.Video(path, SIZE, threads=2, timeout=VIDEO_TIMEOUT)
        if way == "Video.get_batch":
            return video.get_batch(numbers), True
        wanted = len(numbers) if self.rng.random() < 0.8 else len(numbers) // 2
        chunks = []
        with video.stream(numbers, chunk=8) as stream:
            for chunk in stream:
                chunks.append(chunk)
                if sum(map(len, chunks)) >= wanted:
                    break
        frames = np.concatenate(chunks) if chunks else np.zeros((0, 3, *SIZE), np.uint8)
        return frames, len(frames) == len(numbers)


def soak_process(number: int, seconds: float, threads: int, references: str,
                 results: Any) -> None:
    tandry.shared_memory = RecordingSharedMemory
    with np.load(references) as archive:
        videos = {name: archive[name] for name in archive.files}
    videos = {json.loads(name): frames for name, frames in videos.items()}
    rng = random.Random(number)
    # Warm up (imports, the decoder service, numpy's pools) before the first measurements.
    path = next(iter(videos))
    lorvex.Video(path, SIZE, threads=2).get_batch([0])
    started = time.monotonic()
    end = started + seconds
    faults = Faults(random.Random(rng.random()), end)
    loaders = [Loader(videos, faults, random.Random(rng.random()), end) for _ in range(threads)]
    runners = [threading.Thread(target=loader.run) for loader in loaders]
    runners.append(threading.Thread(target=faults.run))
    for runner in runners:
        runner.start()
    memory: list[tuple[float, float]] = []
    descriptors_at_one_minute = None
    while any(runner.is_alive() for runner in runners):
        time.sleep(5)
        gc.collect()
        memory.append((time.monotonic() - started, resident_mib()))
        if descriptors_at_one_minute is None and time.monotonic() - started >= 60:
            descriptors_at_one_minute = len(os.listdir("/proc/self/fd"))
    for runner in runners:
        runner.join()
    gc.collect()
    time.sleep(1)  # workers ended by the last loads are reaped by then
    outcomes: Counter[str] = Counter()
    problems: list[str] = []
    for loader in loaders:
        outcomes.update(loader.outcomes)
        problems.extend(loader.problems)
    below = descendants(os.getpid())
    left = {pid: name for pid, name in below.items()
            if name in WORKER_NAMES and not Faults.is_service(pid)}
    service = [pid for pid, name in below.items() if name in WORKER_NAMES]
    after_minute = [mib for when, mib in memory if when >= 60] or [mib for _, mib in memory]
    results.put({
        "process": number, "outcomes": dict(outcomes), "faults": dict(faults.counts),
        "problems": problems,
        "workers left": sorted(left),
        "service": service,
        "blocks left": [name for name in RecordingSharedMemory.created
                        if os.path.exists("/dev/shm/" + name.lstrip("/"))],
        "blocks made": len(RecordingSharedMemory.created),
        "descriptors": (descriptors_at_one_minute, len(os.listdir("/proc/self/fd"))),
        "resident MiB": (round(after_minute[0], 1), round(max(after_minute), 1),
                         round(memory[-1][1], 1)),
    })


def reference_frames(paths: list[str], folder: Path) -> str:
    """Every frame of each video at the soak's size, loaded with no fault about."""
    frames = {}
    for path in paths:
        with lorvex.Video(path, SIZE, threads=2) as video:
            frames[json.dumps(path)] = video.get_batch(range(len(video)))
    archive = folder / "references.npz"
    np.savez(archive, **frames)
    return str(archive)


def sample_videos(folder: Path, limit: int) -> list[str]:
    """The folder's videos with at least 8 frames, the shortest first, `limit` of them."""
    found = []
    for path in sorted(folder.iterdir()):
        if path.suffix in (".tsv", ".txt"):
            continue
        try:
            with lorvex.Video(path, SIZE) as video:
                if len(video) >= 8:
                    found.append((len(video), str(path)))
        except (ValueError, OSError):
            continue
    return [path for _, path in sorted(found)[:limit]]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--threads", type=int, default=3)
    parser.add_argument("--videos", type=Path, default=SHARED_VIDEOS)
    parser.add_argument("--limit", type=int, default=12, help="videos used, shortest first")
    arguments = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        videos = sample_videos(arguments.videos, arguments.limit)
        print(f"soak: {len(videos)} videos, {arguments.processes} processes x "
              f"{arguments.threads} threads, {arguments.minutes} min", flush=True)
        references = reference_frames(videos, Path(folder))
        context = multiprocessing.get_context("spawn")
        results = context.Queue()
        started = time.monotonic()
        processes = [context.Process(target=soak_process,
                                     args=(n, arguments.minutes * 60, arguments.threads,
                                           references, results))
                     for n in range(arguments.processes)]
        for process in processes:
            process.start()
        reports = [results.get() for _ in processes]
        for process in processes:
            process.join()
        elapsed = time.monotonic() - started
    time.sleep(2)
    # Each process's decoder service ends with it.
    running = process_table()
    stray = [pid for report in reports for pid in report["workers left"] + report["service"]
             if pid in running and running[pid][1] in WORKER_NAMES and running[pid][2] != "Z"]
    outcomes: Counter[str] = Counter()
    faults: Counter[str] = Counter()
    problems = []
    for report in sorted(reports, key=lambda r: r["process"]):
        outcomes.update(report["outcomes"])
        faults.update(report["faults"])
        problems.extend(report["problems"])
        print(f"process {report['process']}: {report['outcomes']}, faults {report['faults']}, "
              f"{report['blocks made']} blocks made, left: {len(report['blocks left'])} blocks, "
              f"{len(report['workers left'])} workers; descriptors at 1 min / end "
              f"{report['descriptors']}; resident MiB at 1 min / peak / end "
              f"{report['resident MiB']}")
    grown = [r for r in reports
             if r["resident MiB"][2] - r["resident MiB"][0] > GROWTH_ALLOWED_MIB]
    descriptors_grown = [r for r in reports
                         if r["descriptors"][0] is not None
                         and r["descriptors"][1] > r["descriptors"][0]]
    leaks = (sum(len(r["blocks left"]) for r in reports) + len(stray) + len(descriptors_grown)
             + len(grown))
    print(f"soak: {sum(outcomes.values())} loads in {elapsed / 60:.1f} min: {dict(outcomes)}; "
          f"faults injected: {dict(faults)}; wrong frames or unexplained failures: "
          f"{len(problems)}; leaks: {leaks}")
    for problem in problems[:20]:
        print("  " + problem)
    return 1 if problems or leaks else 0


if __name__ == "__main__":
    sys.exit(main())
