"""Where the package reads the frame table: the presentation timestamps of a stream's pictures.

Frame i of every load is the picture whose timestamp is item i of this table, so everything
that maps between frame numbers and times starts here, and only here.
"""
from __future__ import annotations

from lorvex import container


def frame_timestamps(stream: container.Stream) -> tuple[int, ...]:
    """One timestamp per frame, in presentation order, in units of `stream.time_base`."""
    timestamps = stream.frame_timestamps
    if timestamps is None:
        raise ValueError(f"stream #{stream.index} is a {stream.type} stream, not a video stream")
    return timestamps
