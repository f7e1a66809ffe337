"""The Ray reader's plan: the rows that lorvex.ray.read_videos makes of a video, planned and
loaded without ray.

A row is one frame, or one clip of `clip_length` frames taken every `stride` frames, with the
columns path, frame_index, timestamp (seconds after the video's frame 0) and frame (uint8 RGB
planes, (3, H, W) for a frame, (T, 3, H, W) for a clip).
"""
from __future__ import annotations

import contextlib
import dataclasses
from collections.abc import Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

from lorvex import _extension_calls, clip_sampling, options, sources
from lorvex.video import Video

Numbers = npt.NDArray[np.int64]
Columns = dict[str, np.ndarray]
FrameSelection = options.FrameSelection

# A row range cut elsewhere than at a keyframe makes the next load decode that group of
# pictures again; blocks are cut at keyframes unless that leaves them less than this full.
KEYFRAME_CUT_FILL = 0.5


@dataclasses.dataclass(frozen=True)
class RowPlan:
    """Which rows every video gives.

    Without `clip_length`, a row is a frame: those of `frames` (a slice or a sequence of frame
    numbers, negative ones counting from the end), or every `stride`-th frame when `frames` is
    None. With `clip_length`, a row is a clip: one starting at each frame of `frames`, or,
    when `frames` is None, every clip that fits, end to end from frame 0.
    """

    clip_length: int | None
    stride: int
    frames: FrameSelection | None

    def first_frames(self, count: int) -> Numbers:
        """The frame each row starts at, for a video of `count` frames."""
        if self.frames is None:
            if self.clip_length is None:
                return np.arange(0, count, self.stride, dtype=np.int64)
            span = clip_sampling.clip_span(self.clip_length, self.stride)
            return clip_sampling.uniform_starts(count, span, None)
        if isinstance(self.frames, slice):
            firsts = options.slice_numbers(self.frames, count, "frames slice")
        else:
            firsts = options.frame_numbers(self.frames, count, "frames")
        if self.clip_length is not None and firsts.size:
            span = clip_sampling.clip_span(self.clip_length, self.stride)
            late = firsts[firsts + span > count]
            if late.size:
                raise IndexError(f"frames: a clip of {self.clip_length} frames every "
                                 f"{self.stride} starting at frame {int(late[0])} runs past the "
                                 f"end of a video of {count} frames")
        return firsts

    def row_frames(self, firsts: Numbers) -> Numbers:
        """The frame numbers of each row: (rows,) for frames, (rows, clip_length) for clips."""
        if self.clip_length is None:
            return firsts
        return firsts[:, None] + np.arange(self.clip_length, dtype=np.int64) * self.stride

    def frames_per_row(self) -> int:
        return 1 if self.clip_length is None else self.clip_length


def keyframe_cuts(firsts: Numbers, keyframes: Sequence[int]) -> Numbers:
    """The rows before which a new group of pictures starts: where a range of rows can be cut
    without two loads decoding the same group."""
    groups = np.searchsorted(np.asarray(keyframes, dtype=np.int64), firsts, side="right")
    return np.flatnonzero(np.diff(groups)) + 1


def split_rows(rows: int, cuts: Numbers, pieces: int) -> list[tuple[int, int]]:
    """Rows 0 … rows − 1 in at most `pieces` ranges of about equal size, cut only at `cuts`."""
    if pieces <= 1 or not cuts.size:
        return [(0, rows)]
    targets = np.arange(1, pieces, dtype=np.int64) * rows // pieces
    nearest = np.abs(cuts[None, :] - targets[:, None]).argmin(axis=1)
    bounds = [0, *sorted({int(cuts[i]) for i in nearest}), rows]
    return list(zip(bounds, bounds[1:]))


def block_ranges(start: int, stop: int, cuts: Numbers, max_rows: int) -> list[tuple[int, int]]:
    """Rows start … stop − 1 in ranges of at most `max_rows`, each ending at a keyframe cut
    where one lies in the range's last half."""
    ranges = []
    while start < stop:
        end = min(start + max_rows, stop)
        if end < stop:
            lowest = start + max(1, int(max_rows * KEYFRAME_CUT_FILL))
            inside = cuts[(cuts >= lowest) & (cuts <= end)]
            if inside.size:
                end = int(inside[-1])
        ranges.append((start, end))
        start = end
    return ranges


@dataclasses.dataclass(frozen=True)
class Piece:
    """A read task's share of one video: rows `rows` of its plan (None for all of them), and
    the probe of the video that the planning process made, if it made one. `path` is a path,
    or a URL reached with `storage_options` or through `filesystem`."""

    path: str
    rows: tuple[int, int] | None = None
    probe: bytes | None = None
    storage_options: dict[str, Any] | None = None
    filesystem: Any = None

    @contextlib.contextmanager
    def opened(self, size: tuple[int, int] | None, threads: int, timeout: float | None,
               frame_options: dict[str, Any] | None) -> Iterator[Video]:
        """The video, open while the block runs."""
        source = sources.open_source(self.path, "paths", self.storage_options, self.filesystem)
        try:
            with Video(source, size, threads=threads, timeout=timeout,
                       **(frame_options or {})) as video:
                yield video
        finally:
            source.close()


def bytes_per_row(video: Video, plan: RowPlan) -> int:
    """The bytes of the frames of one row of `video`."""
    return plan.frames_per_row() * 3 * video.size[0] * video.size[1] * video.dtype.itemsize


def read_piece(piece: Piece, plan: RowPlan, size: tuple[int, int] | None, threads: int,
               max_block_bytes: int, timeout: float | None = None,
               frame_options: dict[str, Any] | None = None) -> Iterator[Columns]:
    """The rows of `piece` as column batches of at most `max_block_bytes` of frames each.
    `frame_options` are lorvex.Video's layout, apply_rotation and dtype."""
    if piece.probe is not None:
        # No probe of its own, if the file is as it was.
        _extension_calls.adopt_probe_state(piece.probe)
    with piece.opened(size, threads, timeout, frame_options) as video:
        firsts = plan.first_frames(len(video))
        start, stop = piece.rows if piece.rows is not None else (0, len(firsts))
        row_bytes = bytes_per_row(video, plan)
        max_rows = max(1, max_block_bytes // row_bytes)
        cuts = keyframe_cuts(firsts, video.metadata.keyframes)
        blocks = [plan.row_frames(firsts[low:high])
                  for low, high in block_ranges(start, stop, cuts, max_rows)]
        # The next block decodes while the caller takes this one (Ray turns it into a block of
        # its own store meanwhile): two blocks in memory at most.
        with ThreadPoolExecutor(max_workers=1) as loader:
            ahead = (loader.submit(_load_rows, video, piece.path, blocks[0]) if blocks
                     else None)
            for following in [*blocks[1:], None]:
                assert ahead is not None
                columns = ahead.result()
                ahead = (None if following is None
                         else loader.submit(_load_rows, video, piece.path, following))
                yield columns


def _load_rows(video: Video, path: str, numbers: Numbers) -> Columns:
    """The rows of `numbers`, named by the path or URL as listed."""
    flat = numbers.reshape(-1)
    loaded = video.get_batch(flat)
    frames = loaded.reshape(*numbers.shape, *loaded.shape[1:])
    return {"path": np.full(len(numbers), path, dtype=object),
            "frame_index": numbers,
            "timestamp": np.array(video.timestamps[numbers], dtype=np.float64),
            "frame": frames}
