"""Where the clips of a video start: the samplers of lorvex.torch.ClipDataset, without torch.

A clip of `length` frames taken every `stride` frames spans (length − 1) · stride + 1 frames,
so a video of N frames has N − span + 1 possible first frames, 0 … N − span.
"""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

SAMPLERS = ("uniform", "random")

Starts = npt.NDArray[np.int64]


def clip_span(length: int, stride: int) -> int:
    """How many consecutive frames a clip covers, first and last included."""
    return (length - 1) * stride + 1


def non_overlapping_clips(frames: int, span: int) -> int:
    """How many clips fit one after another into a video of `frames` frames."""
    return frames // span


def uniform_starts(frames: int, span: int, clips: int | None) -> Starts:
    """`clips` first frames spread evenly over the possible ones (clip i starts at i · M // K
    of the M possible first frames, as `uniform:K` picks frames); every clip placed end to end
    when `clips` is None."""
    if clips is None:
        return np.arange(non_overlapping_clips(frames, span), dtype=np.int64) * span
    possible = _possible_starts(frames, span)
    return np.arange(clips, dtype=np.int64) * possible // clips


def random_starts(frames: int, span: int, clips: int, seed: int, epoch: int,
                  video: int) -> Starts:
    """`clips` first frames drawn from the possible ones. The draw depends only on the seed,
    the epoch and the video's place in the dataset, so every process draws the same clips for
    the same item, whichever worker loads it and in whatever order."""
    possible = _possible_starts(frames, span)
    generator = np.random.default_rng([seed, epoch, video])
    return generator.integers(0, possible, size=clips, dtype=np.int64)


def clip_frames(start: int, length: int, stride: int) -> Starts:
    """The frame numbers of the clip that starts at `start`."""
    return start + np.arange(length, dtype=np.int64) * stride


def _possible_starts(frames: int, span: int) -> int:
    possible = frames - span + 1
    if possible < 1:
        raise ValueError(f"the video has {frames} frames, fewer than a clip spans ({span})")
    return possible
