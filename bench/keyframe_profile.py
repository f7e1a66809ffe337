"""Where a one-keyframe load of an open reader spends its time, lorvex.Video (the engine)
beside lorvex.tandry.VideoReader and, where installed, torchcodec:

    build/bench-env-py311/bin/python bench/keyframe_profile.py [--loads 39]

The video is 320x240 H.264, a keyframe every 250 frames, no B-frames (made once with the
ffmpeg CLI in build/bench); each load asks for one keyframe, after a warm-up load. Prints
medians in milliseconds: the engine's load split into the Python layer's checks, the
session's load (plan, memory file, job to a warm decoder, its decode and row, the wait) and
the array; tandry's load with the time spent starting its worker programs.
"""
import argparse
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np

import lorvex
from lorvex import options, tandry

ROOT = Path(__file__).resolve().parents[1]
HEIGHT, WIDTH = 240, 320


def video() -> str:
    path = ROOT / "build" / "bench" / "keyframe-320x240-g250.mp4"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        f"testsrc2=size={WIDTH}x{HEIGHT}:rate=30", "-t", "120", "-c:v", "libx264",
                        "-preset", "veryfast", "-g", "250", "-keyint_min", "250",
                        "-sc_threshold", "0", "-bf", "0", str(path)], check=True)
    return str(path)


def ms(seconds: list[float]) -> float:
    return statistics.median(seconds) * 1e3


def engine(path: str, keys: list[int]) -> None:
    opened = lorvex.Video(path, (HEIGHT, WIDTH))
    opened.get_batch([0])
    session = opened._session
    checks, loads, arrays, totals = [], [], [], []
    for key in keys:
        started = time.perf_counter()
        numbers = options.frame_numbers([key], len(opened))
        checked = time.perf_counter()
        rows = session.load(numbers, height=HEIGHT, width=WIDTH, layout="NCHW", dtype="uint8",
                            quarter_turns=0, interpolation=opened.interpolation, timeout=None)
        loaded = time.perf_counter()
        frames = np.frombuffer(rows, dtype=np.uint8).reshape(1, 3, HEIGHT, WIDTH)
        arrays.append(time.perf_counter() - loaded)
        checks.append(checked - started)
        loads.append(loaded - checked)
        del frames, rows
        started = time.perf_counter()
        opened.get_batch([key])
        totals.append(time.perf_counter() - started)
    opened.close()
    print(f"lorvex.Video.get_batch      {ms(totals):6.2f} ms = checks {ms(checks):.3f} + "
          f"session.load {ms(loads):.2f} + array {ms(arrays):.3f}")


def through_tandry(path: str, keys: list[int]) -> None:
    real = tandry.subprocess
    starts: list[float] = [0.0]

    class TimedStarts:
        TimeoutExpired = real.TimeoutExpired

        @staticmethod
        def Popen(*arguments, **keywords):
            started = time.perf_counter()
            process = real.Popen(*arguments, **keywords)
            starts[-1] += time.perf_counter() - started
            return process

    tandry.subprocess = TimedStarts
    try:
        reader = tandry.VideoReader(path, HEIGHT, WIDTH)
        reader.get_batch([0])
        starts.clear()
        totals = []
        for key in keys:
            starts.append(0.0)
            started = time.perf_counter()
            reader.get_batch([key])
            totals.append(time.perf_counter() - started)
    finally:
        tandry.subprocess = real
    print(f"tandry.VideoReader.get_batch {ms(totals):6.2f} ms, of which starting its worker "
          f"programs {ms(starts):.2f} ms")


def torchcodec(path: str, keys: list[int]) -> None:
    try:
        from torchcodec.decoders import VideoDecoder
    except ImportError:
        return
    decoder = VideoDecoder(path, seek_mode="exact")
    decoder.get_frames_at([0])
    totals = []
    for key in keys:
        started = time.perf_counter()
        decoder.get_frames_at([key])
        totals.append(time.perf_counter() - started)
    print(f"torchcodec get_frames_at     {ms(totals):6.2f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--loads", type=int, default=39)
    loads = parser.parse_args().loads
    path = video()
    keys = [250 * (1 + k % 13) for k in range(loads)]
    engine(path, keys)
    through_tandry(path, keys)
    torchcodec(path, keys)


if __name__ == "__main__":
    main()
