"""The package's one way to the private functions of its extensions: what lorvex.container
keeps of the probes this process made, the frame table and picture format it reads, the
channels through which it reads remote videos, and files opened under the name their messages
use. Every other module calls these, never the extensions' underscored names."""
from __future__ import annotations

from typing import NamedTuple

from lorvex import container


class PictureFormat(NamedTuple):
    """How the pictures of a file's first video stream are stored and meant to be shown."""

    pixel_format: str | None
    bit_depth: int | None
    rotation: int
    """Degrees clockwise a player turns the pictures."""


class VideoSummary(NamedTuple):
    """What the probe read of the packets of every video stream that carry a timestamp."""

    keyframe_timestamps: list[int]
    lowest: int | float
    """The smallest timestamp, float("inf") when none has one."""
    highest: int
    """The largest timestamp, -1 when none has one."""


def open_named(path: str, name: str) -> container.Container:
    """`container.open(path)`, with messages (a file that will not open or read) naming the
    file `name`: a video in memory or behind a URL is opened by a path that means nothing to
    its caller."""
    return container._open_named(path, name)


def frame_table(path: str, name: str) -> bytes:
    """The frame table of the first video stream, encoded as the decoders take it."""
    return container._frame_table(path, name)


def picture_format(path: str, name: str) -> PictureFormat:
    return PictureFormat(*container._picture_format(path, name))


def video_summary(opened: container.Container) -> VideoSummary:
    return VideoSummary(*opened._video_summary())


def probe_state(path: str) -> bytes | None:
    """The probe this process made of the file as it is now, as bytes for another process;
    None when it made none."""
    return container._probe_state(path)


def adopt_probe_state(state: bytes) -> bool:
    """Keeps a probe another process made (probe_state) while its file is unchanged; whether
    it is kept."""
    return container._adopt_probe_state(state)


def use_channel(locator: str, channel: int) -> None:
    """The probe reads the remote video `locator` through `channel`, a descriptor it now owns."""
    container._use_channel(locator, channel)


def forget_channel(locator: str) -> None:
    container._forget_channel(locator)
