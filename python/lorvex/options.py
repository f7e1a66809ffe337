"""Every argument of the Python layer, checked in this one module.

A value of the wrong kind raises TypeError, a wrong value ValueError, a frame number outside
the video IndexError; each message starts with the argument's name and says what it allows.
"""
from __future__ import annotations

import math
import operator
import os
from collections.abc import Mapping, Sequence
from typing import Any, Union

import numpy as np
import numpy.typing as npt

# The scaling methods the worker programs know, best known first.
INTERPOLATIONS = ("BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS")

# A path; bytes are never one (see video_path).
PathLike = Union[str, "os.PathLike[str]", "os.PathLike[bytes]"]
FrameNumbers = Union[Sequence[int], "npt.NDArray[np.integer[Any]]"]
Seconds = Union[Sequence[float], "npt.NDArray[np.floating[Any]]", "npt.NDArray[np.integer[Any]]"]
FrameSelection = Union[slice, Sequence[int], "npt.NDArray[np.integer[Any]]"]

SEQUENCE_KINDS = "a list, tuple, range or one-dimensional numpy array"
SIZE = "(height, width), two positive integers, or None for the video's own size"


def video_path(path: object, argument: str = "path") -> str:
    """`path` (str or path-like) as the str the loaders take."""
    _refuse_bytes(path, argument)
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{argument}: expected a str or path-like object, got "
                        f"{type(path).__name__}")
    return os.fsdecode(path)


def video_paths(paths: object, argument: str, *, one_alone: bool) -> list[str]:
    """A list of paths as strs; with `one_alone`, a single path stands for a list of one."""
    _refuse_bytes(paths, argument)
    single = isinstance(paths, (str, os.PathLike))
    if single and one_alone:
        return [video_path(paths, argument)]
    if single or not isinstance(paths, Sequence):
        allowed = "a path or a list of paths" if one_alone else "a list of paths"
        hint = "; put one video in a list" if single else ""
        raise TypeError(f"{argument}: expected {allowed}, got {type(paths).__name__}{hint}")
    return [video_path(path, f"{argument}[{number}]") for number, path in enumerate(paths)]


def _refuse_bytes(value: object, argument: str) -> None:
    """Wherever the package takes a video, bytes are its content, never its file name: where
    only a path will do, they are refused with what to give instead."""
    if isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"{argument}: expected a path (str or path-like), got "
                        f"{type(value).__name__}, which lorvex takes as a video's content; give "
                        f"a path held as bytes as os.fsdecode(path) or a pathlib.Path")


def file_extensions(extensions: object) -> tuple[str, ...] | None:
    """File name endings ("mp4", ".MKV" alike), lower case without the dot; None for all."""
    if extensions is None:
        return None
    if isinstance(extensions, str) or not isinstance(extensions, Sequence) or not all(
            isinstance(extension, str) and extension.strip(".") for extension in extensions):
        raise TypeError(f"file_extensions: expected a list of file name endings such as "
                        f"[\"mp4\", \"mkv\"], or None, got {_kind(extensions)}")
    return tuple(extension.lower().lstrip(".") for extension in extensions)


def interpolation_name(name: object) -> str:
    """The workers' name for a scaling method, given in any case."""
    allowed = ", ".join(INTERPOLATIONS)
    if not isinstance(name, str):
        raise TypeError(f"interpolation: expected a name ({allowed}, in any case), got "
                        f"{_kind(name)}")
    if name.upper() in INTERPOLATIONS:
        return name.upper()
    raise ValueError(f"interpolation: unknown name {name!r} (allowed: {allowed}, in any case)")


def choice(value: object, argument: str, allowed: Sequence[str], noun: str = "name") -> str:
    """One of the names `allowed`, spelt exactly."""
    names = " or ".join(repr(name) for name in allowed)
    if not isinstance(value, str):
        raise TypeError(f"{argument}: expected {names}, got {_kind(value)}")
    if value not in allowed:
        raise ValueError(f"{argument}: unknown {noun} {value!r} (allowed: {names})")
    return value


def positive_integer(value: object, argument: str) -> int:
    number = _integer(value, argument, "a positive integer")
    if number < 1:
        raise ValueError(f"{argument}: expected a positive integer, got {number!r}")
    return number


def non_negative_integer(value: object, argument: str) -> int:
    number = _integer(value, argument, "an integer of 0 or more")
    if number < 0:
        raise ValueError(f"{argument}: expected an integer of 0 or more, got {number}")
    return number


def frame_size(size: object) -> tuple[int, int]:
    """(height, width) as the loaders take it: (0, 0), the video's own size, for None."""
    if size is None:
        return 0, 0
    if not isinstance(size, (tuple, list)) or not all(map(_is_integer, size)):
        raise TypeError(f"size: expected {SIZE}; got {_kind(size)}")
    if len(size) != 2 or min(size) < 1:
        raise ValueError(f"size: expected {SIZE}; got {size!r}")
    return operator.index(size[0]), operator.index(size[1])


def callable_or_none(value: object, argument: str) -> Any:
    if value is not None and not callable(value):
        raise TypeError(f"{argument}: expected a callable or None, got {type(value).__name__}")
    return value


def mapping_or_none(value: object, argument: str) -> dict[str, Any] | None:
    """A dict of keyword arguments with str keys, or None."""
    if value is not None and not (isinstance(value, Mapping)
                                  and all(isinstance(key, str) for key in value)):
        raise TypeError(f"{argument}: expected a dict of keyword arguments or None, got "
                        f"{_kind(value)}")
    return None if value is None else dict(value)


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
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{argument}: expected True or False, got {type(value).__name__} "
                        f"{value!r}")
    return bool(value)


# Frame numbers and times, as callers write them, turned into what the loaders take.

def frame_number(value: object, count: int, argument: str = "index", unit: str = "frame",
                 whole: str = "video") -> int:
    """`value` as a number 0 … count − 1 of a `unit` of a `whole` of `count` of them; negative
    numbers count from the end."""
    number = _integer(value, argument, f"an integer {unit} number")
    return _in_range(number, count, argument, unit, whole)


def frame_key(key: object, count: int) -> int | npt.NDArray[np.int64]:
    """video[key]: the frame number of an integer key, the frame numbers of a slice."""
    if isinstance(key, slice):
        return slice_numbers(key, count)
    if isinstance(key, (list, tuple, range, np.ndarray)):
        raise TypeError(f"index: expected an integer or a slice, got {type(key).__name__}; "
                        f"get_batch(indices) takes a sequence of frame numbers")
    return frame_number(key, count)


def frame_numbers(values: object, count: int, argument: str = "indices") -> npt.NDArray[np.int64]:
    """A sequence of frame numbers as an int64 array of numbers 0 … count − 1, in order."""
    if isinstance(values, np.ndarray):
        if values.size and (values.ndim != 1 or values.dtype.kind not in "iu"):
            raise TypeError(f"{argument}: expected integer frame numbers, got {_describe(values)}")
        numbers = [int(values.min()), int(values.max())] if values.size else []
        array = values
    elif _is_sequence(values):
        numbers = [_integer(item, argument, "integer frame numbers")
                   for item in values]  # type: ignore[attr-defined]
        array = None
    else:
        raise TypeError(f"{argument}: expected a sequence of frame numbers ({SEQUENCE_KINDS}), "
                        f"got {type(values).__name__}")
    if numbers:
        # Checked as Python integers, before anything is narrowed to 64 bits.
        _in_range(min(numbers), count, argument)
        _in_range(max(numbers), count, argument)
    result = np.asarray(numbers if array is None else array, dtype=np.int64).reshape(-1)
    return np.where(result < 0, result + count, result)


def slice_numbers(selection: slice, count: int, argument: str = "slice") -> npt.NDArray[np.int64]:
    """The frame numbers a slice of a video of `count` frames selects, as Python slices do."""
    for name in ("start", "stop", "step"):
        bound = getattr(selection, name)
        if bound is not None:
            _integer(bound, f"{argument} {name}", "an integer or None")
    if selection.step is not None and operator.index(selection.step) == 0:
        raise ValueError(f"{argument} step: must not be zero")
    picked = range(count)[selection]
    return np.arange(picked.start, picked.stop, picked.step, dtype=np.int64)


def frame_selection(frames: object, argument: str = "frames") -> FrameSelection | None:
    """A selection of frames of videos not yet opened (None, a slice or a sequence of frame
    numbers), checked for its kind; its numbers are checked against each video's count."""
    if isinstance(frames, slice):
        slice_numbers(frames, 0, f"{argument} slice")
    elif frames is not None:
        frame_numbers(frames, np.iinfo(np.int64).max, argument)
    return frames  # type: ignore[return-value]


def seconds_array(values: object, argument: str = "seconds") -> npt.NDArray[np.float64]:
    """A sequence of times in seconds as a float64 array; every time must be finite."""
    if not _is_sequence(values):
        raise TypeError(f"{argument}: expected a sequence of times in seconds "
                        f"({SEQUENCE_KINDS}), got {type(values).__name__}")
    items: Any = values if isinstance(values, np.ndarray) else list(values)  # type: ignore
    for item in [] if isinstance(items, np.ndarray) else items:
        if not _is_number(item):
            raise TypeError(f"{argument}: expected times in seconds (numbers), "
                            f"got {_kind(item)}")
    array = np.asarray(items)
    if array.size == 0:
        return np.zeros(0, dtype=np.float64)
    if array.ndim != 1 or array.dtype.kind not in "iuf":
        raise TypeError(f"{argument}: expected times in seconds (numbers), got {_describe(array)}")
    times = array.astype(np.float64)
    finite = np.isfinite(times)
    if not finite.all():
        raise ValueError(f"{argument}: {times[~finite][0]} is not a time (expected finite "
                         f"numbers)")
    return times


def times_in_video(values: object, end: float, last_start: float,
                   argument: str = "seconds") -> npt.NDArray[np.float64]:
    """Times in seconds from frame 0 up to the end of the video, `end` excluded (the last
    frame's start is in, even where the video lasts no longer)."""
    times = seconds_array(values, argument)
    outside = (times < 0) | ((times >= end) & (times > last_start))
    if outside.any():
        raise ValueError(f"{argument}: {float(times[outside][0])!r} is outside the video "
                         f"(times run from 0 to {end!r} s, the end excluded)")
    return times


def seconds(value: object, argument: str, end: float) -> float:
    """One time in seconds from frame 0, from 0 up to `end` (the end included)."""
    if not _is_number(value):
        raise TypeError(f"{argument}: expected a time in seconds (a number), got {_kind(value)}")
    time = float(value)  # type: ignore[arg-type]
    if not 0 <= time <= end:  # false for nan too
        raise ValueError(f"{argument}: {time!r} is outside the video (times run from 0 to "
                         f"{end!r} s)")
    return time


def positive_rate(value: object, argument: str) -> float:
    """A finite rate above zero, such as frames per second."""
    if not _is_number(value):
        raise TypeError(f"{argument}: expected a positive number, got {_kind(value)}")
    rate = float(value)  # type: ignore[arg-type]
    if not 0 < rate < float("inf"):
        raise ValueError(f"{argument}: expected a positive number, got {rate!r}")
    return rate


def _integer(value: object, argument: str, expected: str) -> int:
    if not _is_integer(value):
        raise TypeError(f"{argument}: expected {expected}, got {_kind(value)}")
    return operator.index(value)  # type: ignore[arg-type]


def _is_integer(value: object) -> bool:
    # bool is an int to Python, but True is no number anyone means.
    return not isinstance(value, (bool, np.bool_)) and hasattr(value, "__index__")


def _is_number(value: object) -> bool:
    return (not isinstance(value, (bool, np.bool_))
            and isinstance(value, (int, float, np.integer, np.floating)))


def _in_range(number: int, count: int, argument: str, unit: str = "frame",
              whole: str = "video") -> int:
    if -count <= number < count:
        return number + count if number < 0 else number
    raise IndexError(f"{argument}: {unit} {number} is out of range for a {whole} of {count} "
                     f"{unit}s (allowed {-count} to {count - 1})")


def _is_sequence(values: object) -> bool:
    return isinstance(values, (Sequence, np.ndarray)) and not isinstance(values, (str, bytes))


def _kind(value: object) -> str:
    return f"{type(value).__name__} {value!r}"


def _describe(array: npt.NDArray[Any]) -> str:
    if array.ndim != 1:
        return f"an array of {array.ndim} dimensions"
    return f"an array of {array.dtype}"
