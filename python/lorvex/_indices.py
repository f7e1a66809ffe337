"""Frame numbers and times as callers write them, checked and turned into what the loaders take.

Errors name the argument and say what is allowed: TypeError for the wrong kind of value,
IndexError for a frame number outside the video, ValueError for a time that is no time.
"""
from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any, Union

import numpy as np
import numpy.typing as npt

FrameNumbers = Union[Sequence[int], "npt.NDArray[np.integer[Any]]"]
Seconds = Union[Sequence[float], "npt.NDArray[np.floating[Any]]", "npt.NDArray[np.integer[Any]]"]

SEQUENCE_KINDS = "a list, tuple, range or one-dimensional numpy array"


def frame_number(value: object, count: int, argument: str = "index") -> int:
    """`value` as a frame number 0 … count − 1; negative numbers count from the end."""
    return _in_range(_integer(value, argument, "an integer frame number"), count, argument)


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


def slice_numbers(selection: slice, count: int) -> npt.NDArray[np.int64]:
    """The frame numbers a slice of a video of `count` frames selects, as Python slices do."""
    for name in ("start", "stop", "step"):
        bound = getattr(selection, name)
        if bound is not None:
            _integer(bound, f"slice {name}", "an integer or None")
    if selection.step is not None and operator.index(selection.step) == 0:
        raise ValueError("slice step: must not be zero")
    picked = range(count)[selection]
    return np.arange(picked.start, picked.stop, picked.step, dtype=np.int64)


def seconds_array(values: object, argument: str = "seconds") -> npt.NDArray[np.float64]:
    """A sequence of times in seconds as a float64 array; every time must be finite."""
    if not _is_sequence(values):
        raise TypeError(f"{argument}: expected a sequence of times in seconds "
                        f"({SEQUENCE_KINDS}), got {type(values).__name__}")
    items: Any = values if isinstance(values, np.ndarray) else list(values)  # type: ignore
    for item in [] if isinstance(items, np.ndarray) else items:
        if isinstance(item, (bool, np.bool_)) or not isinstance(item, (int, float, np.number)):
            raise TypeError(f"{argument}: expected times in seconds (numbers), "
                            f"got {type(item).__name__} {item!r}")
    array = np.asarray(items)
    if array.size == 0:
        return np.zeros(0, dtype=np.float64)
    if array.ndim != 1 or array.dtype.kind not in "iuf":
        raise TypeError(f"{argument}: expected times in seconds (numbers), got {_describe(array)}")
    times = array.astype(np.float64)
    finite = np.isfinite(times)
    if not finite.all():
        raise ValueError(f"{argument}: {times[~finite][0]} is not a time")
    return times


def _integer(value: object, argument: str, expected: str) -> int:
    # bool is an int to Python, but True is no frame number anyone means.
    if isinstance(value, (bool, np.bool_)) or not hasattr(value, "__index__"):
        raise TypeError(f"{argument}: expected {expected}, got {type(value).__name__} {value!r}")
    return operator.index(value)


def _in_range(number: int, count: int, argument: str) -> int:
    if -count <= number < count:
        return number + count if number < 0 else number
    raise IndexError(f"{argument}: frame {number} is out of range for a video of {count} frames "
                     f"(allowed {-count} to {count - 1})")


def _is_sequence(values: object) -> bool:
    return isinstance(values, (Sequence, np.ndarray)) and not isinstance(values, (str, bytes))


def _describe(array: npt.NDArray[Any]) -> str:
    if array.ndim != 1:
        return f"an array of {array.ndim} dimensions"
    return f"an array of {array.dtype}"
