"""Which frames a span of time shows, from the frames' start times alone.

Frame i is on screen from its own start until the next frame's start (the last one until the
end of the video), whatever durations the file records for them, as a player shows them.
"""
from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

Numbers = npt.NDArray[np.int64]
Seconds = npt.NDArray[np.float64]


def frames_played(starts: Seconds, end: float, start: float, stop: float) -> Numbers:
    """Every frame on screen at some time of [start, stop): those that start before `stop`
    and end after `start`. An empty span shows none."""
    if start >= stop:
        return np.zeros(0, dtype=np.int64)
    ends = np.append(starts[1:], end)
    first = int(np.searchsorted(ends, start, side="right"))
    after = int(np.searchsorted(starts, stop, side="left"))
    return np.arange(first, after, dtype=np.int64)


def frames_sampled(starts: Seconds, start: float, stop: float, fps: float) -> Numbers:
    """The frame on screen at each of the times start, start + 1/fps, … before `stop`; a frame
    on screen at several of them is there several times."""
    steps = np.arange(max(0, math.ceil((stop - start) * fps)), dtype=np.float64)
    times = start + steps / fps
    times = times[times < stop]
    numbers: Numbers = np.searchsorted(starts, times, side="right").astype(np.int64) - 1
    return numbers
