"""Requests too long for one command-line item (Linux caps each at 128 KiB, an encoded row map
of about 16,000 frames) reach the workers through an inherited memory file."""
import subprocess

import numpy as np
import pytest

from conftest import worker_program

import lorvex.tandry as tandry

FRAMES = 18000


@pytest.fixture(scope="module")
def long_video(tmp_path_factory):
    path = tmp_path_factory.mktemp("long") / "long.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=32x32:rate=250", "-frames:v", str(FRAMES), "-c:v", "libx264",
                    "-preset", "ultrafast", "-g", "600", str(path)], check=True)
    return str(path)


class RecordingSubprocess:
    TimeoutExpired = subprocess.TimeoutExpired

    def __init__(self):
        self.calls = []

    def Popen(self, command, **kwargs):
        # The worker's stderr file is the loader's to close: keep only what it was.
        self.calls.append((list(command), dict(kwargs, stderr=type(kwargs.get("stderr")))))
        return subprocess.Popen(command, **kwargs)


def test_every_frame_of_a_long_video(long_video, monkeypatch, leak_check):
    recorder = RecordingSubprocess()
    monkeypatch.setattr(tandry, "subprocess", recorder)
    reader = tandry.VideoReader(long_video, 16, 16, num_threads=2)
    frames = reader.get_batch(list(range(FRAMES)))

    command, kwargs = recorder.calls[0]
    assert command[3].startswith("@fd:") and kwargs["pass_fds"]
    # The same frames loaded with a short request list, whose row map stays on the command line.
    for first in (0, 9000, FRAMES - 500):
        part = reader.get_batch(list(range(first, first + 500)))
        command, kwargs = recorder.calls[-1]
        assert not command[3].startswith("@fd:")
        # Only the frame table is inherited.
        assert len(kwargs["pass_fds"]) == 1, "a short row map needs no inherited descriptor"
        np.testing.assert_array_equal(frames[first:first + 500], part)


def test_interleaved_long_request(long_video, monkeypatch, leak_check):
    recorder = RecordingSubprocess()
    monkeypatch.setattr(tandry, "subprocess", recorder)
    reader = tandry.InterleavedVideoReader(long_video, 16, 16, num_threads=2, num_intervals=4)
    reader.process(list(range(FRAMES)))
    try:
        everything = reader.get_frames(0, None)
    finally:
        reader.__del__()
    assert all(command[3].startswith("@fd:") for command, _ in recorder.calls)
    one_shot = tandry.VideoReader(long_video, 16, 16, num_threads=2)
    np.testing.assert_array_equal(everything[-300:],
                                  one_shot.get_batch(list(range(FRAMES - 300, FRAMES))))


@pytest.mark.parametrize("reference", ["@fd:", "@fd:2", "@fd:x", "@fd:999"])
def test_worker_refuses_bad_inherited_references(reference):
    command = ["lorvex", "video.mp4", "block", reference, "0", "1", "2", "2", "10", "0", "1",
               "0", "1", "BILINEAR"]
    result = subprocess.run(command, executable=worker_program("lorvex"), capture_output=True,
                            text=True)
    assert result.returncode == 1
    assert result.stderr.startswith("lorvex: bad encoded row map") and "inherited" in result.stderr
    assert result.stderr.count("\n") == 1
