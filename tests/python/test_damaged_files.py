"""Damaged files: empty, random bytes, cut short, a good header followed by garbage, bits
flipped in the middle. Each is opened with lorvex.container and loaded with tandry_load and
VideoReader in a child interpreter with a time limit: it must give a clear error or frames,
never hang or crash, and leave no worker, block or descriptor behind."""
import json
import os
import random
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import frame_numbers, make_numbered_video, reference_decode

TIME_LIMIT = 60  # seconds for one damaged file through all three ways in
SIZE = (48, 80)  # the loads' output height and width

X264 = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "12", "-g", "12", "-bf", "2")
WHOLE = {
    "mp4": ("whole.mp4", ()),  # the index at the end, where ffmpeg writes it
    "faststart_mp4": ("whole_faststart.mp4", ("-movflags", "+faststart")),
    "mkv": ("whole.mkv", ()),
    "ts": ("whole.ts", ()),
}

# Runs in the child: each way in on its own, reporting what came out as one JSON line.
CHILD = r"""
import json, os, sys
from multiprocessing import resource_tracker, shared_memory
import numpy as np
import lorvex.container as container
import lorvex.tandry as tandry

path, height, width = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
created = []

class Recording:
    @staticmethod
    def SharedMemory(*args, **kwargs):
        block = shared_memory.SharedMemory(*args, **kwargs)
        if kwargs.get("create"):
            created.append(block.name)
        return block

tandry.shared_memory = Recording
resource_tracker.ensure_running()  # its pipe is opened once per process, not a leak
descriptors = len(os.listdir("/proc/self/fd"))

def outcome(way, call):
    try:
        frames = call()
    except Exception as error:
        return {"error": type(error).__name__, "message": str(error)}
    if isinstance(frames, np.ndarray):
        saved = f"{path}.{way}.npy"
        np.save(saved, frames)
        return {"shape": list(frames.shape), "dtype": str(frames.dtype), "saved": saved}
    return frames

def probe():
    opened = container.open(path)
    packets = sum(1 for _ in opened.demux())
    video = opened.streams.video
    return {"packets": packets, "video_streams": len(video),
            "frames": video[0].frames if video else None}

def reader():
    video = tandry.VideoReader(path, height, width, num_threads=2)
    return video.get_batch(list(range(len(video))))

report = {
    "container": outcome("container", probe),
    "tandry_load": outcome("tandry_load", lambda: tandry.tandry_load(path, None, height, width, 2)),
    "reader": outcome("reader", reader),
}
report["blocks_left"] = [n for n in created if os.path.exists("/dev/shm/" + n.lstrip("/"))]
report["descriptors_leaked"] = len(os.listdir("/proc/self/fd")) - descriptors
print(json.dumps(report))
"""


def damaged_cases(directory):
    """name -> bytes of every damaged file, made from freshly encoded numbered videos."""
    rng = random.Random(9)
    cases = {"empty.mp4": b"", "random.mp4": rng.randbytes(64 * 1024),
             "random.ts": rng.randbytes(64 * 1024)}
    for kind, (name, extra) in WHOLE.items():
        whole = make_numbered_video(directory / name, codec_args=X264, extra_args=extra)
        data = whole.read_bytes()
        suffix = Path(name).suffix
        for percent in (10, 50, 90):
            cases[f"cut{percent}_{kind}{suffix}"] = data[: len(data) * percent // 100]
        head = len(data) // 10
        cases[f"header_then_garbage_{kind}{suffix}"] = data[:head] + rng.randbytes(len(data) - head)
        flipped = bytearray(data)
        for _ in range(16):
            flipped[rng.randrange(len(data) // 3, 2 * len(data) // 3)] ^= 1 << rng.randrange(8)
        cases[f"bit_flips_{kind}{suffix}"] = bytes(flipped)
    return cases


@pytest.fixture(scope="module")
def damaged(tmp_path_factory):
    directory = tmp_path_factory.mktemp("damaged")
    paths = {}
    for name, data in damaged_cases(directory).items():
        paths[name] = directory / name
        paths[name].write_bytes(data)
    return paths


def run_child(path):
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, str(path), *map(str, SIZE)],
                              capture_output=True, text=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"{path.name}: still running after {TIME_LIMIT} s")
    assert done.returncode == 0, f"{path.name}: the interpreter died:\n{done.stderr}"
    return json.loads(done.stdout.splitlines()[-1])


def check_error(name, path, way, result, probed):
    """A failure must say what went wrong with which file."""
    error, message = result["error"], result["message"]
    if error == "IndexError":
        # get_stats looks for a first video stream; the container saw none.
        assert probed.get("video_streams") == 0, (name, way, result, probed)
    elif error == "AssertionError":
        assert "0 frames" in message and probed.get("frames") == 0, (name, way, result)
    else:
        assert error in ("ValueError", "RuntimeError"), (name, way, result)
        assert message, (name, way, result)
        if error == "ValueError":
            assert message.startswith((f"Could not open {path}: ", f"Could not demux {path}: "))


CASES = ["empty.mp4", "random.mp4", "random.ts"] + [
    f"{damage}_{kind}{Path(WHOLE[kind][0]).suffix}" for kind in WHOLE
    for damage in ("cut10", "cut50", "cut90", "header_then_garbage", "bit_flips")]


@pytest.mark.parametrize("name", CASES)
def test_damaged_file_gives_frames_or_a_clear_error(damaged, name):
    path = damaged[name]
    report = run_child(path)
    assert report["blocks_left"] == [] and report["descriptors_leaked"] == 0, report
    probed = report["container"]
    if "error" in probed:
        check_error(name, path, "container", probed, probed)
        probed = {}
    else:
        assert probed["video_streams"] == 0 or 0 <= probed["frames"] <= probed["packets"], probed
    for way in ("tandry_load", "reader"):
        result = report[way]
        if "error" in result:
            check_error(name, path, way, result, probed)
            continue
        # Frames came out: as many as the container counts, at the size asked for.
        assert result["dtype"] == "uint8", (name, way, result)
        assert result["shape"] == [probed["frames"], 3, *SIZE], (name, way, result["shape"])
        if name.startswith("cut"):
            # What survives a cut are the pictures that the ffmpeg command line still shows,
            # in order: B-frames whose packets came after the cut are gone, and a picture cut
            # in half is completed from the one before it.
            numbers = frame_numbers(np.load(result["saved"]))
            assert numbers == frame_numbers(reference_decode(path, SIZE[1], SIZE[0])), (
                name, way, numbers)


def test_every_kind_of_damage_is_tried(damaged):
    assert sorted(damaged) == sorted(CASES)


PIPE_CHILD = r"""
import json, sys, threading
import lorvex.container as container
import lorvex.tandry as tandry

pipe, whole = sys.argv[1], sys.argv[2]

def feed():
    with open(pipe, "wb") as writer, open(whole, "rb") as reader:
        writer.write(reader.read())

report = {}
feeder = threading.Thread(target=feed)
feeder.start()
report["frames"] = container.open(pipe).streams.video[0].frames
feeder.join()
feeder = threading.Thread(target=feed, daemon=True)
feeder.start()
try:
    tandry.tandry_load(pipe, None, 24, 40, 2)
except Exception as error:
    report["error"] = [type(error).__name__, str(error)]
print(json.dumps(report))
"""


def test_a_pipe_is_probed_once_and_refused_by_the_workers(tmp_path):
    # A pipe gives its bytes once (process substitution hands out /dev/fd/63): the workers'
    # second opening of it used to wait for a writer forever.
    whole = make_numbered_video(tmp_path / "whole.mp4", frames=12,
                                extra_args=("-movflags", "+faststart"))
    pipe = tmp_path / "pipe.mp4"
    os.mkfifo(pipe)
    try:
        done = subprocess.run([sys.executable, "-c", PIPE_CHILD, str(pipe), str(whole)],
                              capture_output=True, text=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"a load of a pipe still ran after {TIME_LIMIT} s")
    report = json.loads(done.stdout.splitlines()[-1])
    assert report["frames"] == 12
    kind, message = report["error"]
    assert kind == "RuntimeError"
    # The worker's reason, on its stderr or in the exception.
    assert f"Could not open {pipe}: it is a pipe or a socket" in message + done.stderr
