"""What a video is, in the terms a person asks about: codec, size, frames, rate, times, format."""
from __future__ import annotations

import dataclasses
from collections.abc import Iterable
from fractions import Fraction
from typing import Any

from lorvex import _extension_calls
from lorvex.frame_table import frame_timestamps


@dataclasses.dataclass(frozen=True)
class VideoMetadata:
    """The first video stream of a file, as the loaders see it.

    Times are in seconds. `first_timestamp` and `last_timestamp` are the presentation times of
    frames 0 and −1 on the file's own clock; `duration` runs from the start of frame 0 to the
    end of the last frame. `keyframes` are the frame numbers at which decoding can start.
    `rotation` is how far (degrees, clockwise) a player turns the pictures; the loaders return
    them as stored unless asked to turn them (`apply_rotation`). `width` and `height` are the
    stored size, `display_size` the (height, width) a player shows. `has_timestamps` is False
    for a stream whose file gives its pictures no timestamps (a raw elementary stream): a
    decode numbered them, and frame i is placed at i frame periods.
    """

    codec: str
    width: int
    height: int
    frames: int
    frame_rate: Fraction | None
    duration: float
    first_timestamp: float
    last_timestamp: float
    keyframes: tuple[int, ...]
    rotation: int
    pixel_format: str | None
    bit_depth: int | None
    time_base: Fraction
    has_timestamps: bool = True

    @property
    def display_size(self) -> tuple[int, int]:
        """(height, width) of the pictures as a player shows them: turned by `rotation`."""
        return (self.width, self.height) if self.rotation % 180 else (self.height, self.width)

    def keyframe_spacing(self) -> tuple[int, int] | None:
        """The smallest and largest number of frames between neighbouring keyframes."""
        gaps = [b - a for a, b in zip(self.keyframes, self.keyframes[1:])]
        return (min(gaps), max(gaps)) if gaps else None

    def to_dict(self) -> dict[str, Any]:
        """The fields as JSON-ready values (fractions as "num/den" text)."""
        fields = dataclasses.asdict(self)
        fields["frame_rate"] = None if self.frame_rate is None else str(self.frame_rate)
        fields["time_base"] = str(self.time_base)
        fields["keyframes"] = list(self.keyframes)
        return fields


def read_metadata(path: str, name: str, keyframe_timestamps: Iterable[int]
                  ) -> tuple[VideoMetadata, tuple[int, ...]]:
    """The metadata of `path` and its frame table, failures naming the file `name`;
    `keyframe_timestamps` are the timestamps of the stream's keyframe packets, as the probe
    found them."""
    stream = _extension_calls.open_named(path, name).streams.video[0]
    table = frame_timestamps(stream)
    time_base = stream.time_base
    pixel_format, bit_depth, rotation = _extension_calls.picture_format(path, name)
    frame_rate = stream.average_rate or None
    keyframes = set(keyframe_timestamps)
    metadata = VideoMetadata(
        codec=stream.codec_name,
        width=stream.width,
        height=stream.height,
        frames=len(table),
        frame_rate=frame_rate,
        duration=_duration(table, time_base, frame_rate),
        first_timestamp=_seconds(table[0], time_base) if table else 0.0,
        last_timestamp=_seconds(table[-1], time_base) if table else 0.0,
        keyframes=tuple(i for i, t in enumerate(table) if t in keyframes),
        rotation=rotation,
        pixel_format=pixel_format,
        bit_depth=bit_depth,
        time_base=time_base,
        has_timestamps=stream.has_timestamps is not False,
    )
    return metadata, table


def relative_seconds(table: tuple[int, ...], time_base: Fraction) -> list[float]:
    """Each timestamp of the table in seconds after the first one (correctly rounded)."""
    if not table:
        return []
    first = table[0]
    numerator, denominator = time_base.numerator, time_base.denominator
    return [(t - first) * numerator / denominator for t in table]


def _seconds(timestamp: int, time_base: Fraction) -> float:
    return timestamp * time_base.numerator / time_base.denominator


def _duration(table: tuple[int, ...], time_base: Fraction, frame_rate: Fraction | None) -> float:
    # The last frame stays on screen for one frame period; without a known rate, for as long
    # as the frame before it did.
    if not table:
        return 0.0
    if frame_rate:
        last_frame = Fraction(1) / frame_rate
    elif len(table) > 1:
        last_frame = (table[-1] - table[-2]) * time_base
    else:
        last_frame = Fraction(0)
    return float((table[-1] - table[0]) * time_base + last_frame)
