"""Short and sparse requests: the shortcuts they take must not change a single pixel.

A worker drops pictures no other picture refers to when they come before the frame it is
after, opens the file only when it owns frames, and reads only an MP4's header before
decoding. Each case here loads frames sparsely and checks them, bit for bit, against the same
frames of a full load (which takes none of the shortcuts), and their numbers.
"""
import shutil
import subprocess
import types

import pytest

from conftest import frame_numbers, make_numbered_video
from lorvex import tandry

FRAMES = 120
# A B-frame pyramid on every group (no adaptive choice): a quarter of the pictures are
# referenced B-frames, half are unreferenced, and the rest I- and P-frames.
PYRAMID = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "18", "-g", "40",
           "-keyint_min", "40", "-bf", "3", "-x264-params", "b-adapt=0:b-pyramid=normal:scenecut=0")
SPARSE = [[39], [40], [41], [79, 80], [5, 6, 7, 8], [1, 38, 77, 119],
          [3, 11, 19, 27, 35, 43, 51, 59, 67, 75, 83, 91, 99, 107, 115]]


@pytest.fixture(scope="module", params=["mp4", "mkv"])
def pyramid(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("pyramid") / f"pyramid.{request.param}"
    make_numbered_video(path, frames=FRAMES, width=192, height=112, codec_args=PYRAMID)
    full = tandry.VideoReader(str(path), 56, 64, num_threads=1).get_batch(list(range(FRAMES)))
    assert frame_numbers(full) == list(range(FRAMES))
    return str(path), full


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("indices", SPARSE, ids=lambda i: ",".join(map(str, i)))
def test_sparse_rows_equal_full_load_rows(pyramid, indices, threads):
    path, full = pyramid
    rows = tandry.VideoReader(path, 56, 64, num_threads=threads).get_batch(indices)
    assert frame_numbers(rows) == indices
    assert (rows == full[indices]).all()


def test_pyramid_video_has_unreferenced_pictures(pyramid):
    """Guards the case above against a recipe that stops making what it is for."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "frame=pict_type", "-of", "csv=p=0", pyramid[0]],
                         check=True, capture_output=True, text=True).stdout.split()
    assert out.count("B") >= FRAMES // 2


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
@pytest.mark.parametrize("mode", ["one-shot", "interleaved"])
def test_only_workers_that_own_frames_load_the_decoder_and_open_the_video(
        pyramid, tmp_path, monkeypatch, mode):
    path, full = pyramid
    traces = []

    class Popen(subprocess.Popen):
        def __init__(self, args, executable, **kwargs):
            trace = tmp_path / f"trace{len(traces)}"
            traces.append(trace)
            # strace runs the worker program the loader names, by its path.
            super().__init__(["strace", "-f", "-qq", "-e", "trace=openat,execve", "-o",
                              str(trace), executable, *args[1:]], **kwargs)

    wanted = [5, 6]  # the first interval's: the planner splits at keyframes
    if mode == "one-shot":
        reader = tandry.VideoReader(path, 56, 64, num_threads=4)
    else:
        reader = tandry.InterleavedVideoReader(path, 56, 64, num_threads=4)
    monkeypatch.setattr(tandry, "subprocess",
                        types.SimpleNamespace(Popen=Popen,
                                              TimeoutExpired=subprocess.TimeoutExpired))
    if mode == "one-shot":
        rows = reader.get_batch(wanted)
    else:
        reader.process(wanted)
        rows = reader.get_frames(0, len(wanted))
        for process in reader.p:
            process.wait()
    assert (rows == full[wanted]).all()
    assert len(traces) >= 2
    texts = [trace.read_text() for trace in traces]
    decoders = ["lorvex_decoder" in text for text in texts]
    opened = [path in text for text in texts]
    assert decoders.count(True) == 1, decoders
    assert opened == decoders
