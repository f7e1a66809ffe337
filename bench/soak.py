"""Many loads in one process: what they leave behind (descriptors, shared-memory blocks,
child processes, resident memory).

    .venv/bin/python bench/soak.py [--loads 300] [--readers 100]
"""
import argparse
import gc
import os
import subprocess
import tempfile
from pathlib import Path

from multiprocessing import shared_memory

import lorvex.tandry as tandry

CREATED: list = []


class RecordingSharedMemory:
    """shared_memory as the loaders see it, noting the name of every block they create (other
    programs on the machine have blocks of their own)."""

    @staticmethod
    def SharedMemory(*args, **kwargs):
        block = shared_memory.SharedMemory(*args, **kwargs)
        if kwargs.get("create"):
            CREATED.append(block.name)
        return block


def make_video(folder: Path) -> str:
    path = folder / "soak.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=320x240:rate=25", "-frames:v", "120", "-c:v", "libx264",
                    "-preset", "ultrafast", "-g", "30", str(path)], check=True)
    return str(path)


def children() -> int:
    me = str(os.getpid())
    count = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        count += fields[1] == me
    return count


def resident_mib() -> float:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def counts() -> dict:
    gc.collect()
    return {"descriptors": len(os.listdir("/proc/self/fd")),
            "blocks": sum(os.path.exists("/dev/shm/" + name.lstrip("/")) for name in CREATED),
            "children": children(), "resident MiB": round(resident_mib(), 1)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loads", type=int, default=300)
    parser.add_argument("--readers", type=int, default=100)
    arguments = parser.parse_args()
    tandry.shared_memory = RecordingSharedMemory
    with tempfile.TemporaryDirectory() as folder:
        path = make_video(Path(folder))
        reader = tandry.VideoReader(path, 64, 64, num_threads=2)
        reader.get_batch([0])  # warm up: imports, the resource tracker, numpy's pools
        before = counts()
        for k in range(arguments.loads):
            reader.get_batch([k % 120, (k * 7) % 120])
        after_loads = counts()
        for k in range(arguments.readers):
            interleaved = tandry.InterleavedVideoReader(path, 64, 64, num_threads=2)
            interleaved.process(list(range(120)))
            if k % 2:
                interleaved.get_frames(0, 10)  # half are dropped with work still going on
            del interleaved
        after_readers = counts()
    print(f"{'':28}" + "".join(f"{key:>14}" for key in before))
    for label, figures in [("before", before), (f"after {arguments.loads} one-shot loads",
                                                 after_loads),
                           (f"after {arguments.readers} interleaved readers", after_readers)]:
        print(f"{label:28}" + "".join(f"{value:>14}" for value in figures.values()))


if __name__ == "__main__":
    main()
