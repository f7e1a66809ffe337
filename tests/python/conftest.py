"""Test videos made with the ffmpeg CLI.

Every frame carries its own number twice: as a 12-bit barcode of black and white
stripes across the top half (read back by `frame_numbers`, at any output size), and
drawn as text in the bottom half for a person looking at a frame.
"""
import hashlib
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest


BARCODE_BITS = 12
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
SHARED_VIDEOS = Path(__file__).resolve().parents[2].parent / "shared" / "videos"
# Files others made, which players show and the simple reckoning does not: raw elementary
# streams (interlaced ones among them), packed B-frames, files cut mid-stream or short.
EXTRA_VIDEOS = SHARED_VIDEOS.parent / "videos-ext"


def _numbered_filter(width, height, pix_fmt):
    barcode = (
        f"geq=lum='if(lt(Y,H/2),if(bitand(floor(N/pow(2,floor(X*{BARCODE_BITS}/W))),1),235,16),"
        f"96)':cb=128:cr=128"
    )
    text = (
        f"drawtext=fontfile={FONT}:text='%{{frame_num}}':x=(w-tw)/2:y=h*3/4-th/2"
        f":fontsize=h/5:fontcolor=white"
    )
    return f"format=yuv420p,{barcode},{text},format={pix_fmt}"


def make_numbered_video(path, *, frames=48, width=160, height=96, rate=25,
                        codec_args=("-c:v", "libx264", "-preset", "veryfast", "-crf", "12"),
                        pix_fmt="yuv420p", audio=False, extra_args=(), input_args=()):
    """Writes a video whose frame k shows the number k; returns the path."""
    path = Path(path)
    cmd = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
           "-i", f"color=c=gray:s={width}x{height}:r={rate}"]
    if audio:
        cmd += ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"]
    cmd += list(input_args)
    cmd += ["-vf", _numbered_filter(width, height, pix_fmt), "-frames:v", str(frames)]
    if audio:
        cmd += ["-c:a", "aac", "-shortest"]
    cmd += list(codec_args) + list(extra_args) + [str(path)]
    subprocess.run(cmd, check=True)
    return path


def frame_numbers(frames):
    """Reads the barcode of each row of a (n, 3, h, w) uint8 array."""
    frames = np.asarray(frames)
    n, _, h, w = frames.shape
    luma = frames.astype(np.float32).mean(axis=1)  # (n, h, w)
    band = luma[:, h // 8: (3 * h) // 8, :].mean(axis=1)  # (n, w)
    numbers = np.zeros(n, dtype=np.int64)
    for bit in range(BARCODE_BITS):
        centre = int((bit + 0.5) * w / BARCODE_BITS)
        numbers |= (band[:, centre] > 128).astype(np.int64) << bit
    return numbers.tolist()


def reference_decode(path, width=None, height=None):
    """The ffmpeg CLI's own decode as (n, 3, h, w) RGB planes."""
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "stream=width,height", "-of", "csv=p=0", str(path)],
        check=True, capture_output=True, text=True).stdout.split(",")
    w = width or int(probe[0])
    h = height or int(probe[1])
    cmd = ["ffmpeg", "-v", "error", "-i", str(path), "-map", "0:v:0", "-vsync", "passthrough"]
    if width or height:
        cmd += ["-vf", f"scale={w}:{h}"]
    cmd += ["-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    raw = subprocess.run(cmd, check=True, capture_output=True).stdout
    frames = np.frombuffer(raw, dtype=np.uint8).reshape(-1, h, w, 3)
    return frames.transpose(0, 3, 1, 2)


def pictures_shown(path, stream="v:0"):
    """How many pictures the ffmpeg CLI's decode of a video stream shows."""
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-count_frames", "-select_streams", str(stream),
         "-show_entries", "stream=nb_read_frames", "-of", "csv=p=0", str(path)],
        check=True, capture_output=True, text=True).stdout
    return int(out.split()[0].split(",")[0])  # a transport stream lists its streams twice


@pytest.fixture(scope="session")
def video_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("videos")


@pytest.fixture(scope="session")
def numbered_video(video_dir):
    """A factory: numbered_video(name, **make_numbered_video kwargs), cached per session."""
    cache = {}

    def make(name, **kwargs):
        key = name + hashlib.sha1(repr(sorted(kwargs.items())).encode()).hexdigest()[:8]
        if key not in cache:
            suffix = Path(name).suffix
            cache[key] = make_numbered_video(video_dir / (Path(name).stem + "-" + key[-8:] + suffix),
                                             **kwargs)
        return cache[key]

    return make


@pytest.fixture(scope="session")
def shared_videos():
    if not SHARED_VIDEOS.is_dir():
        pytest.skip("no shared sample videos on this machine")
    return sorted(p for p in SHARED_VIDEOS.iterdir() if p.suffix != ".tsv")


def worker_program(name):
    """The installed worker program `name` (inside the package), or None when it was not built."""
    import lorvex
    path = lorvex.WORKER_DIR / name
    return str(path) if os.access(path, os.X_OK) else None


def child_processes(parent=None):
    """{pid: program name} of the children of `parent` (this process by default), running or
    never reaped, but for the decoder service, which lives as long as its caller."""
    found = _children_of(os.getpid() if parent is None else parent)
    service = decoder_service(parent, found)
    return {pid: name for pid, name in found.items() if pid != service}


def _children_of(parent):
    """{pid: program name} of every child of `parent`, running or never reaped."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat_file:
                stat = stat_file.read()
        except OSError:
            continue
        if int(stat[stat.rindex(")") + 2:].split()[1]) == parent:
            found[int(entry)] = stat[stat.index("(") + 1: stat.rindex(")")]
    return found


def decoder_service(parent=None, children=None):
    """The pid of the decoder service that `parent` (this process by default) started, or None.
    Only a child of `parent` counts: the decoders the service forks keep its command line, and
    once pids wrap around one of them may come before it in /proc."""
    parent = os.getpid() if parent is None else parent
    for pid in _children_of(parent) if children is None else children:
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
        except OSError:
            continue
        if arguments[:3] == [b"lorvex_decoder", b"serve", str(parent).encode()]:
            return pid
    return None


def _worker_children():
    """Worker programs started by this process that still run or were never reaped."""
    # The kernel keeps 15 characters of a program name.
    return [pid for pid, name in child_processes().items()
            if name in ("lorvex", "lorvex_interleaved"[:15])]


@pytest.fixture
def leak_check(monkeypatch):
    """Fails the test when it leaves a shared-memory block that lorvex.tandry created, a worker
    child (running or zombie) or an open file descriptor behind. Yields the list of the names
    of the blocks created, in order."""
    import gc
    from multiprocessing import resource_tracker, shared_memory

    import lorvex.remote
    import lorvex.tandry as tandry

    resource_tracker.ensure_running()  # its pipe is opened once per process, not a leak
    created = []

    class RecordingSharedMemory:
        @staticmethod
        def SharedMemory(*args, **kwargs):
            block = shared_memory.SharedMemory(*args, **kwargs)
            if kwargs.get("create"):
                created.append(block.name)
            return block

    monkeypatch.setattr(tandry, "shared_memory", RecordingSharedMemory)
    gc.collect()  # what earlier tests dropped goes now, not during this one
    # The thread that serves remote videos' channels lives as long as the process.
    lorvex.remote._server()
    descriptors = _descriptors_but_sockets()
    yield created
    gc.collect()
    left = [name for name in created if os.path.exists("/dev/shm/" + name.lstrip("/"))]
    for name in left:  # do not let one failure spill into later tests
        block = shared_memory.SharedMemory(name=name)
        block.close()
        block.unlink()
    assert not left, f"blocks left behind: {left}"
    assert not _worker_children(), "worker processes left behind"
    assert _descriptors_but_sockets() == descriptors, "file descriptors leaked"


def _descriptors_but_sockets():
    """How many descriptors this process holds, the connections to warm decoders aside: an open
    lorvex.Video keeps its decoders (tests of the engine count those themselves)."""
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            count += not os.readlink(f"/proc/self/fd/{name}").startswith("socket:")
        except OSError:
            pass  # the listing's own descriptor
    return count


def warm_decoders(parent=None):
    """The decoders that the decoder service of `parent` (this process by default) forked and
    that still run: the engine's warm decoders, and those of tandry's workers."""
    service = decoder_service(parent)
    if service is None:
        return []
    return [pid for pid in child_processes(service) if _running(pid)]


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in "ZX"
    except FileNotFoundError:
        return False
