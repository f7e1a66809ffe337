"""The worker programs `lorvex` and `lorvex_interleaved`, run directly.

Each test plays the loader: it probes the file with ffprobe, plans keyframe-aligned
intervals, creates the frames block, starts the programs and reads the rows back.
"""
import base64
import json
import pickle
import random
import signal
import subprocess
import time
from dataclasses import dataclass
from multiprocessing import shared_memory
from pathlib import Path

import numpy as np
import pytest

import lorvex  # noqa: F401  (puts the worker programs on PATH)
from conftest import frame_numbers, pictures_shown, worker_program

WORKER = worker_program("lorvex")
INTERLEAVED = worker_program("lorvex_interleaved")
pytestmark = pytest.mark.skipif(not (WORKER and INTERLEAVED), reason="worker programs not built")

TIMEOUT = 300


@dataclass
class Record:
    start: int
    end: int
    num_frames: int
    keyframes: list  # keyframe packet pts, ascending
    dts_only: bool
    packet_times: list  # pts (dts where there is none) of every packet, decode order


def probe(path):
    """What the planner's probe reports: pts range, frame count, keyframe pts."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "packet=pts,dts,flags", "-of", "json", str(path)],
        check=True, capture_output=True, text=True).stdout
    info = json.loads(out)
    times, keyframes, dts_only = [], [], False
    for packet in info["packets"]:
        if "pts" not in packet:
            dts_only = True
        time = packet.get("pts", packet.get("dts"))
        if time is None:
            continue
        times.append(time)
        if "K" in packet.get("flags", ""):
            keyframes.append(time)
    return Record(min(times), max(times), pictures_shown(path), sorted(set(keyframes)), dts_only,
                  times)



def intervals_of(record):
    """Keyframe-aligned intervals covering the record."""
    bounds = [record.start] + [k for k in record.keyframes if record.start < k < record.end]
    return [(a, b) for a, b in zip(bounds, bounds[1:] + [record.end])]


def encode(value):
    return base64.b64encode(pickle.dumps(value, protocol=5)).decode()


class Block:
    """A shared-memory block owned by the test, always unlinked."""

    def __init__(self, size):
        self.memory = shared_memory.SharedMemory(create=True, size=max(size, 1))
        self.name = self.memory.name

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.memory.close()
        self.memory.unlink()


def one_shot_argv(path, block, row_map, interval, size, record, worker, workers, interpolation):
    h, w = size
    return [WORKER, str(path), block, encode(row_map), str(interval[0]), str(interval[1]), str(h),
            str(w), str(record.num_frames), str(worker), str(workers), str(record.start),
            str(record.end), interpolation]


def interleaved_argv(path, block, row_map, shares, i, size, record, check, interpolation):
    h, w = size
    return [INTERLEAVED, str(path), block, encode(row_map), encode(shares), str(h), str(w),
            str(record.num_frames), str(i), str(len(shares)), str(record.start),
            str(record.end), interpolation, check]


def run_all(commands):
    processes = [subprocess.Popen(c, stderr=subprocess.PIPE, text=True) for c in commands]
    results = []
    for process in processes:
        _, err = process.communicate(timeout=TIMEOUT)
        results.append((process.returncode, err))
    return results


def native_size(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "stream=width,height", "-of", "json", str(path)],
        check=True, capture_output=True, text=True).stdout
    stream = json.loads(out)["streams"][0]
    return stream["height"], stream["width"]


def load(path, indices, *, record=None, size=None, mode="single", workers=2,
         interpolation="BILINEAR"):
    """Rows for the distinct `indices` in ascending order, as the chosen plan delivers them.

    mode: "single" (one worker, one interval over the whole record), "split" (one one-shot
    worker per keyframe interval) or "interleaved" (`workers` shares of the intervals).
    """
    record = record or probe(path)
    size = size or native_size(path)
    h, w = size
    wanted = sorted(set(indices))
    row_map = {index: row for row, index in enumerate(wanted)}
    with Block(len(wanted) * 3 * h * w) as frames:
        if mode == "single":
            commands = [one_shot_argv(path, frames.name, row_map, (record.start, record.end),
                                      size, record, 0, 1, interpolation)]
            results = run_all(commands)
        elif mode == "split":
            intervals = intervals_of(record)
            commands = [one_shot_argv(path, frames.name, row_map, interval, size, record, i,
                                      len(intervals), interpolation)
                        for i, interval in enumerate(intervals)]
            results = run_all(commands)
        else:
            intervals = intervals_of(record)
            shares = [[(a, b, 0) for a, b in intervals[i::workers]] for i in range(workers)]
            with Block(len(wanted)) as check:
                commands = [interleaved_argv(path, frames.name, row_map, shares, i, size, record,
                                             check.name, interpolation)
                            for i in range(workers)]
                results = run_all(commands)
                flags = np.ndarray((len(wanted),), np.uint8, check.memory.buf).copy()
            assert flags.tolist() == [1] * len(wanted), "every row flagged ready"
        for code, err in results:
            assert code == 0, err
            assert err == ""
        rows = np.ndarray((len(wanted), 3, h, w), np.uint8, frames.memory.buf).copy()
    return rows


def numbered_kinds():
    x264 = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "12")
    return {
        "h264_bframes_short_gop.mp4": dict(frames=60, codec_args=x264 + ("-g", "12", "-bf", "3")),
        "h264_long_gop.mp4": dict(frames=130, codec_args=x264 + ("-g", "250", "-bf", "3")),
        "h264_open_gop.mkv": dict(frames=72, codec_args=x264 + (
            "-g", "16", "-bf", "3", "-x264-params", "open-gop=1:keyint=16:min-keyint=4")),
        "vp9.webm": dict(frames=50, codec_args=(
            "-c:v", "libvpx-vp9", "-crf", "20", "-b:v", "0", "-g", "10", "-deadline", "realtime",
            "-cpu-used", "8")),
        "mpeg4p2.avi": dict(frames=60, codec_args=(
            "-c:v", "mpeg4", "-q:v", "2", "-g", "12", "-bf", "2", "-f", "avi")),
        "mjpeg.avi": dict(frames=30, codec_args=("-c:v", "mjpeg", "-q:v", "2"),
                          pix_fmt="yuvj420p"),
        "offset.ts": dict(frames=60, codec_args=x264 + ("-g", "15"),
                          extra_args=("-output_ts_offset", "10")),
        "audio.mp4": dict(frames=50, audio=True, codec_args=x264 + ("-g", "20")),
        "odd.webm": dict(frames=30, width=161, height=121, codec_args=(
            "-c:v", "libvpx-vp9", "-crf", "15", "-b:v", "0", "-g", "8", "-deadline", "realtime",
            "-cpu-used", "8")),
        "ten_bit.mkv": dict(frames=40, pix_fmt="yuv420p10le", codec_args=(
            "-c:v", "libx265", "-preset", "ultrafast", "-crf", "10",
            "-x265-params", "keyint=12:min-keyint=12:bframes=2:log-level=error")),
        "one_frame.mp4": dict(frames=1, codec_args=x264),
    }


NUMBERED = numbered_kinds()


@pytest.fixture(params=sorted(NUMBERED))
def numbered(request, numbered_video):
    return numbered_video(request.param, **NUMBERED[request.param])


def test_full_and_sparse_loads_return_the_requested_frames(numbered):
    record = probe(numbered)
    every = list(range(record.num_frames))
    full = load(numbered, every, record=record)
    assert frame_numbers(full) == every
    rng = random.Random(str(numbered))
    sparse_indices = sorted(rng.sample(every, max(1, record.num_frames // 7)))
    sparse = load(numbered, sparse_indices, record=record)
    # Seeking ahead must never change a pixel.
    assert np.array_equal(sparse, full[sparse_indices])


@pytest.mark.parametrize("mode", ["split", "interleaved"])
def test_several_workers_match_one(numbered, mode):
    record = probe(numbered)
    every = list(range(record.num_frames))
    single = load(numbered, every, record=record)
    assert np.array_equal(load(numbered, every, record=record, mode=mode, workers=3), single)
    some = every[::5] + every[-1:]
    assert np.array_equal(load(numbered, some, record=record, mode=mode, workers=2),
                          single[sorted(set(some))])


def test_scaled_rows_keep_their_frames(numbered_video):
    path = numbered_video("scaled.mp4", frames=40, width=320, height=192)
    indices = [0, 7, 8, 21, 39]
    for interpolation in ["BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"]:
        rows = load(path, indices, size=(61, 97), interpolation=interpolation, mode="split")
        assert frame_numbers(rows) == indices, interpolation


def test_frames_past_the_last_picture_are_refused(numbered_video):
    # A record claiming five frames more than the stream shows (a header that counts samples
    # never shown): no row may be filled with some other picture.
    path = numbered_video("short.mp4", frames=20)
    record = probe(path)
    step = (record.end - record.start) // 19
    record.end += 5 * step
    record.num_frames = 25
    h, w = native_size(path)
    with Block(2 * 3 * h * w) as frames:
        command = one_shot_argv(path, frames.name, {0: 0, 20: 1}, (record.start, record.end),
                                (h, w), record, 0, 1, "BILINEAR")
        [result] = run_all([command])
    one_line_failure(result, str(path), "frame 20 is not in the video, which has 20 frames")


def one_line_failure(result, *words):
    code, err = result
    assert code == 1
    assert err.count("\n") == 1 and err.startswith("lorvex: "), err
    for word in words:
        assert word in err, err


def test_bad_command_lines_fail_with_one_line(numbered_video):
    path = numbered_video("errors.mp4", frames=10)
    record = probe(path)
    size = native_size(path)
    with Block(3 * size[0] * size[1]) as frames:
        good = one_shot_argv(path, frames.name, {0: 0}, (record.start, record.end), size, record,
                             0, 1, "BILINEAR")
        assert run_all([good]) == [(0, "")]
        one_line_failure(run_all([good[:-1]])[0])
        one_line_failure(run_all([good[:13] + ["SHARPEST"]])[0])
        one_line_failure(run_all([good[:3] + ["not base64!"] + good[4:]])[0])
        one_line_failure(run_all([[WORKER, "/no/such/file.mp4"] + good[2:]])[0],
                         "/no/such/file.mp4")
        one_line_failure(run_all([good[:2] + ["lorvex_test_no_such_block"] + good[3:]])[0])
        # A block of the wrong size is refused before anything is written.
        with Block(7) as small:
            one_line_failure(run_all([good[:2] + [small.name] + good[3:]])[0])
        one_line_failure(run_all([[INTERLEAVED, str(path)]])[0])
        with Block(1) as check:
            shares = [[(record.start, record.end, 1)]]
            argv = interleaved_argv(path, frames.name, {0: 0}, shares, 0, size, record,
                                    check.name, "BILINEAR")
            assert run_all([argv]) == [(0, "")]
            one_line_failure(run_all([argv[:-1] + ["lorvex_test_no_such_check"]])[0])


def test_undecodable_file_names_the_file(tmp_path):
    path = tmp_path / "garbage.mp4"
    path.write_bytes(random.Random(0).randbytes(4096))  # fixed: random bytes may probe as a format
    record = Record(0, 10, 11, [0], False, [])
    with Block(3 * 8 * 8) as frames:
        argv = one_shot_argv(path, frames.name, {0: 0}, (0, 10), (8, 8), record, 0, 1,
                             "BILINEAR")
        one_line_failure(run_all([argv])[0], str(path))


def test_interleaved_worker_stops_on_sigterm(numbered_video):
    path = numbered_video("long.mp4", frames=300, width=640, height=384)
    record = probe(path)
    size = native_size(path)
    every = list(range(record.num_frames))
    with Block(len(every) * 3 * size[0] * size[1]) as frames, Block(len(every)) as check:
        shares = [[(a, b, 0) for a, b in intervals_of(record)]]
        argv = interleaved_argv(path, frames.name, dict(zip(every, every)), shares, 0, size,
                                record, check.name, "LANCZOS")
        flags = np.ndarray((len(every),), np.uint8, check.memory.buf)
        process = subprocess.Popen(argv, stderr=subprocess.PIPE)
        try:
            deadline = time.monotonic() + TIMEOUT
            while not flags.any() and time.monotonic() < deadline:
                time.sleep(0.005)
            process.terminate()
            process.communicate(timeout=5)
        finally:
            process.kill()
            process.wait()
        assert process.returncode == -signal.SIGTERM
        assert not flags.all(), "stopped mid-way, not after finishing"
        del flags


# --- the shared real-world files --------------------------------------------------------------

def reference_frames(path, pix_fmt="rgb24", sws_flags="bicubic"):
    """The ffmpeg CLI's decode of every picture at coded size (rotation tags ignored), as
    (n, 3, h, w) R, G, B planes."""
    h, w = native_size(path)
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-noautorotate", "-i", str(path), "-map", "0:v:0",
         "-vsync", "passthrough", "-sws_flags", sws_flags, "-f", "rawvideo", "-pix_fmt", pix_fmt,
         "-"], check=True, capture_output=True).stdout
    if pix_fmt == "rgb24":
        return np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3).transpose(0, 3, 1, 2)
    assert pix_fmt == "gbrp"
    return np.frombuffer(raw, np.uint8).reshape(-1, 3, h, w)[:, [2, 0, 1]]


def shared_video_ids():
    from conftest import SHARED_VIDEOS
    if not SHARED_VIDEOS.is_dir():
        return []
    return sorted(p.name for p in SHARED_VIDEOS.iterdir() if p.suffix != ".tsv")


@pytest.mark.parametrize("name", shared_video_ids())
def test_shared_video_matches_ffmpeg(name, shared_videos):
    path = Path(shared_videos[0]).parent / name
    record = probe(path)
    every = range(record.num_frames)
    # The same conversion as ours, done by the command line: identical to the last bit.
    planar = reference_frames(path, "gbrp", "bilinear")
    assert len(planar) == record.num_frames
    for mode in ("split", "single", "interleaved"):
        rows = load(path, every, record=record, mode=mode)
        assert rows.shape == planar.shape
        mismatched = [i for i in every if not np.array_equal(rows[i], planar[i])]
        assert mismatched == [], mode
    # The command line's packed RGB conversion (`-pix_fmt rgb24`) rounds differently and
    # samples chroma without interpolating, so it differs by a little everywhere and more at
    # sharp colour edges; a wrong picture differs by tens on average.
    packed = reference_frames(path)
    difference = np.abs(rows.astype(np.int16) - packed.astype(np.int16))
    per_frame = difference.reshape(len(rows), -1).mean(axis=1)
    assert difference.mean() < 2.5
    assert per_frame.max() < 3.0, (per_frame.argmax(), per_frame.max())
    # Sparse loads are bit-identical to the same rows of the full load, one worker or several.
    some = sorted(set(range(0, record.num_frames, 7)) | {record.num_frames - 1})
    assert np.array_equal(load(path, some, record=record), rows[some])
    assert np.array_equal(load(path, some, record=record, mode="split"), rows[some])
