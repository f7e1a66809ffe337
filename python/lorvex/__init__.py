"""lorvex: decoded video frames into numpy arrays, decoded in parallel worker processes.

`lorvex.Video` is the friendly way in; `lorvex.tandry` is the loader underneath, and
`lorvex.container` probes files. Importing the package loads neither, and changes nothing
outside it: the loaders start the worker programs from the package's own folder.
"""
from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

__version__ = "0.1.0"

__all__ = ["Video", "VideoMetadata", "FrameStream", "TimedFrames", "INTERPOLATIONS",
           "SAMPLE_VIDEO", "__version__"]

# A 10-second 320x240 video whose every frame shows its own number (scripts/make_sample.sh).
SAMPLE_VIDEO = Path(__file__).resolve().parent / "data" / "sample.mp4"
# The worker programs are installed inside the package, where the loaders start them from.
WORKER_DIR = Path(__file__).resolve().parent / "bin"

if TYPE_CHECKING:
    from lorvex.streaming import FrameStream
    from lorvex.video import INTERPOLATIONS, TimedFrames, Video
    from lorvex.metadata import VideoMetadata

_LAZY = {"Video": "lorvex.video", "INTERPOLATIONS": "lorvex.video", "TimedFrames": "lorvex.video",
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
