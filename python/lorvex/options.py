"""The options a load takes, checked once, with errors that name the option and what it allows."""
from __future__ import annotations

import math
import os
from typing import Union

# The scaling methods the worker programs know, best known first.
INTERPOLATIONS = ("BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS")

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def video_path(path: object) -> str:
    """`path` (str, bytes or path-like) as the str the loaders take."""
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"path: expected a str or path-like object, got {type(path).__name__}")
    return os.fsdecode(path)


def interpolation_name(name: object) -> str:
    """The workers' name for a scaling method, given in any case."""
    if isinstance(name, str) and name.upper() in INTERPOLATIONS:
        return name.upper()
    allowed = ", ".join(INTERPOLATIONS[:-1]) + " or " + INTERPOLATIONS[-1]
    raise ValueError(f"interpolation: unknown name {name!r} (allowed: {allowed}, in any case)")


def positive_integer(value: object, argument: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{argument}: expected a positive integer, got {value!r}")
    return value


def frame_size(size: object) -> tuple[int, int]:
    """(height, width) as the loaders take it: (0, 0), the video's own size, for None."""
    if size is None:
        return 0, 0
    if (isinstance(size, (tuple, list)) and len(size) == 2
            and all(isinstance(n, int) and not isinstance(n, bool) and n > 0 for n in size)):
        return size[0], size[1]
    raise ValueError(f"size: expected (height, width), two positive integers, or None for the "
                     f"video's own size; got {size!r}")


def timeout_seconds(timeout: object) -> float | None:
    """A load's time limit in seconds: None (wait as long as it takes) or a positive number."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout: expected a number of seconds or None, "
                        f"got {type(timeout).__name__}")
    if not math.isfinite(timeout) or timeout <= 0:
        raise ValueError(f"timeout: expected a positive, finite number of seconds or None, "
                         f"got {timeout!r}")
    return float(timeout)


def default_threads() -> int:
    """One worker per processor this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1
