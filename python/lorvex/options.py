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


# The layouts of a frame: planes (3, height, width), or R, G, B triples (height, width, 3).
LAYOUTS = ("NCHW", "NHWC")
# The sample types of a frame.
SAMPLE_TYPES = ("uint8", "uint16")


def video_source(source: object, argument: str = "source") -> tuple[str | memoryview, str]:
    """A video's path, or its bytes (a file object read once, from where it stands to its
    end), and how messages name it: the path, the file object's name, or "<bytes of N>"."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(source))
        return path, path
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = _byte_view(source)
        return data, f"<bytes of {len(data)}>"
    if callable(getattr(source, "read", None)):
        content = source.read()  # type: ignore[attr-defined]
        if not isinstance(content, (bytes, bytearray, memoryview)):
            raise TypeError(f"{argument}: the file object gave {type(content).__name__}, not "
                            f"bytes; open the file in binary mode ('rb')")
        data = _byte_view(content)
        name = getattr(source, "name", None)
        return data, (name if isinstance(name, str)
                      else f"<{type(source).__name__} of {len(data)} bytes>")
    raise TypeError(f"{argument}: expected a path (str or path-like), bytes, bytearray, "
                    f"memoryview or a binary file object, got {type(source).__name__}")


def _byte_view(data: bytes | bytearray | memoryview) -> memoryview:
    view = memoryview(data)
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    view = view.cast("B")
    if not len(view):
        raise ValueError("source: the video has no bytes (an empty bytes object or file)")
    return view


def frame_layout(layout: object) -> str:
    """"NCHW" or "NHWC", given in any case."""
    if not isinstance(layout, str):
        raise TypeError(f"layout: expected \"NCHW\" or \"NHWC\", got {type(layout).__name__}")
    if layout.upper() not in LAYOUTS:
        raise ValueError(f"layout: unknown layout {layout!r} (allowed: \"NCHW\", planes "
                         f"(3, height, width), or \"NHWC\", pixels (height, width, 3))")
    return layout.upper()


def sample_type(dtype: object) -> str:
    """The name of a frame's sample type: numpy.uint8 or numpy.uint16, as a type, a
    numpy.dtype or its name."""
    import numpy as np

    try:
        name = None if dtype is None else np.dtype(dtype).name  # type: ignore[call-overload]
    except TypeError:
        name = None
    if name is None and not isinstance(dtype, str):
        raise TypeError(f"dtype: expected numpy.uint8 or numpy.uint16, got "
                        f"{type(dtype).__name__} {dtype!r}")
    if name not in SAMPLE_TYPES:
        raise ValueError(f"dtype: expected numpy.uint8 or numpy.uint16, got {dtype!r}")
    return name


def flag(value: object, argument: str) -> bool:
    """True or False (a numpy bool too); no other value stands for either."""
    import numpy as np

    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{argument}: expected True or False, got {type(value).__name__} "
                        f"{value!r}")
    return bool(value)
