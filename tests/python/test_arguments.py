"""Every public entry point against bad arguments, one rule for all: a value of the wrong kind
raises TypeError, a wrong value ValueError, a frame number outside the video IndexError, and
the message starts with the argument's name and says what it allows. The command line says the
same in one line with status 2."""
import pathlib
import re

import numpy as np
import pytest

import lorvex
from lorvex import options
from lorvex.cli.main import main

COUNT = 12

POSITIVE = [(2.0, TypeError), ("2", TypeError), (True, TypeError),
            (0, ValueError), (-1, ValueError)]
PATH = [(3, TypeError), (None, TypeError)]
FRAME_NUMBERS = [(5, TypeError), ("0", TypeError), ([1.5], TypeError), ([True], TypeError),
                 (np.array([0.5]), TypeError), ([COUNT], IndexError), ([-COUNT - 1], IndexError)]
BAD = {
    "source": PATH,
    "size": [(224, TypeError), ((1.5, 2), TypeError), ("8x8", TypeError), ((0, 5), ValueError),
             ((1, 2, 3), ValueError)],
    "threads": POSITIVE,
    "interpolation": [(3, TypeError), ("cubic", ValueError)],
    "index": [(1.0, TypeError), ("1", TypeError), (COUNT, IndexError), (-COUNT - 1, IndexError),
              (slice(0, 4, 0), ValueError)],
    "indices": FRAME_NUMBERS,
    "chunk": POSITIVE,
    "seconds": [(0.5, TypeError), (["1"], TypeError), ([float("nan")], ValueError),
                ([-0.1], ValueError), ([1e9], ValueError)],
    "videos": [("clip.mp4", TypeError), ([3], TypeError), ([], ValueError)],
    "clip_length": POSITIVE,
    "stride": POSITIVE,
    "clips_per_video": POSITIVE,
    "sampler": [(None, TypeError), ("dense", ValueError)],
    "seed": [(1.0, TypeError), (-1, ValueError)],
    "transform": [("resize", TypeError)],
    "start_seconds": [("0", TypeError), (None, TypeError), (-0.5, ValueError),
                      (1e9, ValueError), (float("nan"), ValueError), (0.4, ValueError)],
    "stop_seconds": [(True, TypeError), (1e9, ValueError), (float("inf"), ValueError)],
    "fps": [("10", TypeError), (0, ValueError), (-1.0, ValueError), (float("inf"), ValueError)],
    "paths": PATH + [(b"clip.mp4", TypeError), ([b"clip.mp4"], TypeError)],
    "ray_remote_args": [("SPREAD", TypeError), ({1: 2}, TypeError)],
    "frames": FRAME_NUMBERS[:5] + [(slice(0.5, 2), TypeError)],
    "timeout": [("1", TypeError), (True, TypeError), (0, ValueError), (float("inf"), ValueError)],
    "layout": [(3, TypeError), ("NCWH", ValueError)],
    "apply_rotation": [(1, TypeError), ("yes", TypeError)],
    "dtype": [(object(), TypeError), ("float32", ValueError), (np.int16, ValueError)],
}
OUTPUT = ("timeout", "layout", "apply_rotation", "dtype")


def video_call(clip, argument, value):
    arguments = {"source": clip, "size": (8, 16), "threads": 1, argument: value}
    return lorvex.Video(arguments.pop("source"), **arguments)


def method_call(method, **others):
    def call(clip, argument, value):
        with lorvex.Video(clip, (8, 16), threads=1) as video:
            if method == "__getitem__":
                return video[value]
            return getattr(video, method)(**{**others, argument: value})
    return call


def dataset_call(clip, argument, value):
    from lorvex.torch import ClipDataset
    arguments = {"videos": [clip], "clip_length": 2, argument: value}
    return ClipDataset(arguments.pop("videos"), arguments.pop("clip_length"), **arguments)


def ray_call(clip, argument, value):
    import lorvex.ray
    arguments = {"paths": clip, "size": None, argument: value}
    return lorvex.ray.read_videos(arguments.pop("paths"), **arguments)


# Each entry point, what it needs installed, and the arguments it takes.
ENTRY_POINTS = {
    "Video": (video_call, None, ("source", "size", "threads", "interpolation", *OUTPUT)),
    "video[...]": (method_call("__getitem__"), None, ("index",)),
    "get_batch": (method_call("get_batch"), None, ("indices",)),
    "get_frames_at": (method_call("get_frames_at"), None, ("seconds",)),
    "stream": (method_call("stream"), None, ("indices", "chunk", *OUTPUT)),
    "frames_in_range": (method_call("frames_in_range", start_seconds=0.1, stop_seconds=0.3),
                        None, ("start_seconds", "stop_seconds", "fps")),
    "ClipDataset": (dataset_call, "torch", ("videos", "clip_length", "stride", "clips_per_video",
                                            "sampler", "size", "seed", "transform", "threads",
                                            *OUTPUT)),
    "read_videos": (ray_call, "ray.data", ("paths", "size", "clip_length", "stride", "frames",
                                           "threads", "ray_remote_args", *OUTPUT)),
}
CASES = [pytest.param(entry, argument, value, error,
                      id=f"{entry}-{argument}={value!r}-{error.__name__}")
         for entry, (_, _, arguments) in ENTRY_POINTS.items()
         for argument in arguments for value, error in BAD[argument]]


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    from conftest import make_numbered_video
    return make_numbered_video(tmp_path_factory.mktemp("arguments") / "clip.mp4", frames=COUNT,
                               width=32, height=16)


@pytest.mark.parametrize("entry, argument, value, error", CASES)
def test_python_entry_points(clip, entry, argument, value, error):
    call, needs, _ = ENTRY_POINTS[entry]
    if needs:
        pytest.importorskip(needs)
    with pytest.raises(Exception) as raised:
        call(clip, argument, value)
    assert type(raised.value) is error, raised.value
    message = str(raised.value)
    # A slice's parts are named as such: "slice step", "frames slice start".
    part = r" slice (start|stop|step)" if isinstance(value, slice) else r"(\[\d+\])?"
    named = "slice step" if argument == "index" and isinstance(value, slice) else argument
    assert re.match(rf"{re.escape(named)}({part})?: ", message), message
    assert re.search(r"expected|allowed|must|run from|the list is empty", message), message


def test_bytes_are_a_videos_content_never_its_path():
    # Where only a path will do, bytes are refused with the way to give the path they hold.
    for value, named in [(b"clip.mp4", "paths"), (bytearray(b"a.mp4"), "paths"),
                         (["a.mp4", b"b.mp4"], "paths[1]")]:
        with pytest.raises(TypeError, match=rf"^{re.escape(named)}: expected a path .*"
                                            rf"video's content.*os\.fsdecode\(path\)"):
            options.video_paths(value, "paths", one_alone=True)
    assert options.video_paths([pathlib.Path("a.mp4"), "b.mp4"], "paths",
                               one_alone=True) == ["a.mp4", "b.mp4"]


@pytest.mark.parametrize("option, text", [
    ("--threads", "2.0"), ("--threads", "0"), ("--threads", "two"), ("--chunk", "-1"),
    ("--size", "224"), ("--size", "0x5"), ("--size", "1.5x2"), ("--interpolation", "cubic"),
    ("--frames", str(COUNT)), ("--frames", "1.5"), ("--frames", "::0"),
    ("--frames", "uniform:0"), ("--timeout", "0"), ("--timeout", "soon"), ("--layout", "NCWH"),
    ("--dtype", "float32"),
])
def test_command_line(clip, capsys, option, text):
    status = main([str(clip), option, text])
    out, err = capsys.readouterr()
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and err.startswith("lorvex: "), err
    assert option in err and re.search(r"expected|allowed|must|needs|choose from", err), err
