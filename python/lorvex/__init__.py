"""lorvex: decoded video frames into numpy arrays, decoded in parallel worker processes.

`lorvex.Video` is the friendly way in; `lorvex.tandry` is the loader underneath, and
`lorvex.container` probes files. Importing the package loads neither: it only makes the worker
programs findable.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

__all__ = ["Video", "VideoMetadata", "FrameStream", "INTERPOLATIONS", "SAMPLE_VIDEO",
           "__version__"]

# A 10-second 320x240 video whose every frame shows its own number (scripts/make_sample.sh).
SAMPLE_VIDEO = Path(__file__).resolve().parent / "data" / "sample.mp4"
# The worker programs are installed inside the package; the loaders start them by name.
WORKER_DIR = Path(__file__).resolve().parent / "bin"


def _put_worker_programs_on_path() -> None:
    # Ahead of everything else, so that a package imported from one install never starts the
    # workers of another (say a --user install shadowed by a venv's).
    folder = str(WORKER_DIR)
    # An unset PATH means the default search path to subprocess; keep it searched.
    entries = [entry for entry in os.environ.get("PATH", os.defpath).split(os.pathsep) if entry]
    if entries[:1] != [folder]:
        os.environ["PATH"] = os.pathsep.join([folder] + [e for e in entries if e != folder])


_put_worker_programs_on_path()

if TYPE_CHECKING:
    from lorvex.streaming import FrameStream
    from lorvex.video import INTERPOLATIONS, Video
    from lorvex.metadata import VideoMetadata

_LAZY = {"Video": "lorvex.video", "INTERPOLATIONS": "lorvex.video",
         "VideoMetadata": "lorvex.metadata", "FrameStream": "lorvex.streaming"}


def __getattr__(name: str) -> Any:
    # Loaded on first use, so that `import lorvex.tandry` imports nothing beyond the extension.
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(_LAZY[name]), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'lorvex' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(list(globals()) + list(_LAZY))
