"""Stands in for the frame table of lorvex.container until the container has its own.

`Stream.frame_timestamps` (one timestamp per picture, presentation order, in the stream's
time_base) is being added to lorvex.container separately. Until it is there, `install()` wraps
`lorvex.container.open` so that the first video stream carries the table ffprobe decodes; once
it is there, `install()` does nothing and the tests use the real one. Delete this file then.
Subprocesses get it through the `sitecustomize` that `site_folder()` writes.
"""
import functools
import subprocess
from pathlib import Path

from lorvex import container


def needed():
    return not hasattr(container.Stream, "frame_timestamps")


@functools.cache
def ffprobe_timestamps(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
         "frame=best_effort_timestamp", "-of", "csv=p=0", str(path)],
        check=True, capture_output=True, text=True).stdout
    return tuple(int(line.split(",")[0]) for line in out.split())


class _Forward:
    def __init__(self, real):
        self._real = real

    def __getattr__(self, name):
        return getattr(self._real, name)


class _Stream(_Forward):
    def __init__(self, real, path):
        super().__init__(real)
        self.frame_timestamps = ffprobe_timestamps(path)


class _Streams(_Forward):
    def __init__(self, real, path):
        super().__init__(real)
        self.video = tuple(_Stream(stream, path) for stream in real.video)


class _Container(_Forward):
    def __init__(self, real, path):
        super().__init__(real)
        self.streams = _Streams(real.streams, path)


def open_with_table(path, _open=container.open):
    return _Container(_open(path), path)


def install(monkeypatch=None):
    if not needed():
        return
    if monkeypatch is None:
        container.open = open_with_table
    else:
        monkeypatch.setattr(container, "open", open_with_table)


def site_folder(folder):
    """A folder whose sitecustomize installs the stand-in in every Python started with it on
    PYTHONPATH; None when no stand-in is needed."""
    if not needed():
        return None
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    here = Path(__file__).resolve().parent
    (folder / "sitecustomize.py").write_text(
        f"import sys\nsys.path.insert(0, {str(here)!r})\n"
        "import frame_table_stand_in\nframe_table_stand_in.install()\nsys.path.pop(0)\n")
    return folder
