"""--info: what a video is, as a table for people or JSON for programs."""
from __future__ import annotations

import json
from typing import Any

from lorvex.metadata import VideoMetadata


def info_table(path: str, metadata: VideoMetadata) -> str:
    rows = [
        ("file", path),
        ("codec", metadata.codec),
        ("size", f"{metadata.width}x{metadata.height} (width x height)"),
        ("frames", str(metadata.frames)),
        ("frame rate", _rate(metadata)),
        ("duration", f"{metadata.duration:.3f} s"),
        ("first timestamp", f"{metadata.first_timestamp:.3f} s"),
        ("last timestamp", f"{metadata.last_timestamp:.3f} s"),
        *_timestamps(metadata),
        ("keyframes", _keyframes(metadata)),
        ("rotation", f"{metadata.rotation} degrees clockwise" if metadata.rotation else "none"),
        ("pixel format", _pixel_format(metadata)),
        ("time base", f"{metadata.time_base} s"),
    ]
    width = max(len(name) for name, _ in rows)
    return "\n".join(f"{name:<{width}}  {value}" for name, value in rows)


def info_json(path: str, metadata: VideoMetadata) -> str:
    fields: dict[str, Any] = {"file": path, **metadata.to_dict()}
    return json.dumps(fields, indent=2)


def _timestamps(metadata: VideoMetadata) -> list[tuple[str, str]]:
    """A row for a file that gives its pictures no timestamps (a raw stream), else none."""
    if metadata.has_timestamps:
        return []
    return [("timestamps", "none in the file: a decode numbered the frames, and frame i is "
                           "placed at i frame periods")]


def _rate(metadata: VideoMetadata) -> str:
    if metadata.frame_rate is None:
        return "unknown"
    rate = metadata.frame_rate
    exact = "" if rate.denominator == 1 else f" ({rate})"
    return f"{float(rate):.3f} frames/s{exact}".replace(".000 ", " ")


def _keyframes(metadata: VideoMetadata) -> str:
    count = len(metadata.keyframes)
    spacing = metadata.keyframe_spacing()
    if spacing is None:
        return f"{count}"
    low, high = spacing
    every = f"every {low} frames" if low == high else f"every {low} to {high} frames"
    return f"{count}, {every}"


def _pixel_format(metadata: VideoMetadata) -> str:
    if metadata.pixel_format is None:
        return "unknown"
    return f"{metadata.pixel_format} ({metadata.bit_depth} bits per sample)"
