"""lorvex.torch: clips of videos as a map-style torch Dataset, for torch.utils.data.DataLoader.

The only module of lorvex that imports torch.

    dataset = ClipDataset(paths, clip_length=16, stride=2, size=(112, 112))
    loader = DataLoader(dataset, batch_size=8, shuffle=True, num_workers=2)
    for epoch in range(epochs):
        dataset.set_epoch(epoch)
        for clips in loader:        # clips.frames: (8, 16, 3, 112, 112) uint8
            ...

Frame counts are probed lazily, once per video (from an MP4/MOV file's index, else one pass
over its packets), and kept. How many clips a video gives depends on its frame count only when
`clips_per_video` is None; then the counts are taken in the process that owns the dataset, the
first time any of these needs them: `len()`, an item, pickling the dataset (which is how
DataLoader hands it to `spawn` and `forkserver` workers) or forking the process (which is how
`fork` workers get it). Workers thus start with the counts and never probe the whole list;
each opens only the videos whose clips it loads, and pays no probe the owning process made:
a forked worker inherits the probes, a pickled dataset carries them (up to PICKLED_PROBES
bytes).
"""
from __future__ import annotations

import os
import weakref
from collections import OrderedDict
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt
import torch
from torch.utils.data import Dataset

from lorvex import _extension_calls, clip_sampling, options, remote, sources
from lorvex.video import Source, Video

__all__ = ["ClipDataset", "Clip"]

# Videos a process keeps open for the clips that follow (an open video holds no process and
# no shared memory, only its probe).
OPEN_VIDEOS = 8
# From this many videos on, counting their frames shows a progress bar on a terminal.
COUNTING_PROGRESS_FROM = 100
# The most bytes of probes a pickled dataset carries to its workers: about 16 bytes a frame,
# so some 10,000 ten-second clips or 30 half-hour videos.
PICKLED_PROBES = 64 << 20


class Clip(NamedTuple):
    """One item of a ClipDataset. DataLoader's default collation stacks each field, so a batch
    is a Clip too: frames (B, T, 3, H, W), video (B,), frame_indices and timestamps (B, T)."""

    frames: torch.Tensor
    """(T, 3, H, W) uint8 RGB planes ((T, H, W, 3) with layout "NHWC", uint16 with that
    dtype), or whatever `transform` made of them."""
    video: int
    """The position of the clip's video in the dataset's list."""
    frame_indices: torch.Tensor
    """(T,) int64: the frame numbers of the clip in its video."""
    timestamps: torch.Tensor
    """(T,) float64: each frame's time in seconds after the video's frame 0."""


class ClipDataset(Dataset[Clip]):
    """Clips of `clip_length` frames taken every `stride` frames from a list of videos.

    `sampler` says where the clips start:
      "uniform"  `clips_per_video` clips spread evenly over each video (clip i of K starts at
                 i · M // K of the video's M possible first frames); when it is None, every
                 clip that fits, placed end to end from frame 0.
      "random"   `clips_per_video` clips per video (when None, as many as "uniform" would
                 place) at positions drawn from `seed` and the epoch: `set_epoch(n)` draws a
                 new set, the same for the same seed and epoch in every process.
    `size` is the (height, width) of the frames, None for each video's own (DataLoader then
    batches only clips of one size); `transform`, if given, is applied to each clip's
    (T, 3, H, W) uint8 tensor; `threads` is how many worker programs decode one clip
    (DataLoader's own workers already load clips side by side); `timeout` is how many seconds
    loading one clip may take before TimeoutError (None: as long as it takes); `layout`,
    `apply_rotation` and `dtype` are lorvex.Video's.

    A video is a path, or its bytes (bytes, bytearray, memoryview or a binary file object,
    read once), which a pickled dataset carries to its workers.

    A video shorter than a clip gives no clip when `clips_per_video` is None; with
    `clips_per_video` set, loading a clip of it raises ValueError.
    """

    def __init__(self, videos: Sequence[Source], clip_length: int, *, stride: int = 1,
                 clips_per_video: int | None = None, sampler: str = "uniform",
                 size: tuple[int, int] | None = None, seed: int = 0,
                 transform: Callable[[torch.Tensor], Any] | None = None,
                 threads: int = 1, timeout: float | None = None, layout: str = "NCHW",
                 apply_rotation: bool = False, dtype: npt.DTypeLike = np.uint8,
                 storage_options: dict[str, Any] | None = None) -> None:
        self.storage_options = options.mapping_or_none(storage_options, "storage_options")
        self._sources = _video_sources(videos)
        # How messages name each video: its path or URL, or what its bytes came from.
        self.videos: tuple[str, ...] = tuple(
            source if isinstance(source, str) else source.name for source in self._sources)
        self.clip_length = options.positive_integer(clip_length, "clip_length")
        self.stride = options.positive_integer(stride, "stride")
        self.clips_per_video = (None if clips_per_video is None
                                else options.positive_integer(clips_per_video, "clips_per_video"))
        self.sampler = options.choice(sampler, "sampler", clip_sampling.SAMPLERS, "sampler")
        self.size = None if size is None else options.frame_size(size)
        self.seed = options.non_negative_integer(seed, "seed")
        self.transform = options.callable_or_none(transform, "transform")
        self.threads = options.positive_integer(threads, "threads")
        self.timeout = options.timeout_seconds(timeout)
        self.layout = options.frame_layout(layout)
        self.apply_rotation = options.flag(apply_rotation, "apply_rotation")
        self.dtype = np.dtype(options.sample_type(dtype))
        self.epoch = 0
        self._span = clip_sampling.clip_span(self.clip_length, self.stride)
        self._frame_counts: list[int | None] = [None] * len(self.videos)
        self._clip_ends: npt.NDArray[np.int64] | None = None
        self._open: OrderedDict[int, Video] = OrderedDict()
        self._open_in = os.getpid()
        self._await_counts()

    def __repr__(self) -> str:
        each = ("every clip" if self.clips_per_video is None
                else f"{self.clips_per_video} clips")
        return (f"<lorvex.torch.ClipDataset {len(self.videos)} videos, {each} of "
                f"{self.clip_length} frames every {self.stride}, {self.sampler}>")

    def __len__(self) -> int:
        if self.clips_per_video is not None:
            return len(self.videos) * self.clips_per_video
        return int(self._ends()[-1])

    def __getitem__(self, index: int) -> Clip:
        video_index, numbers = self.clip_frames(index)
        video = self._video(video_index)
        frames = torch.from_numpy(video.get_batch(numbers))
        times = torch.from_numpy(np.array(video.timestamps[numbers], dtype=np.float64))
        return Clip(frames if self.transform is None else self.transform(frames), video_index,
                    torch.from_numpy(numbers), times)

    def clip_frames(self, index: int) -> tuple[int, npt.NDArray[np.int64]]:
        """The video and the frame numbers of item `index` in the current epoch, without
        loading it."""
        video_index, slot = self._locate(index)
        start = self._starts(video_index)[slot]
        return video_index, clip_sampling.clip_frames(int(start), self.clip_length, self.stride)

    def set_epoch(self, epoch: int) -> None:
        """The epoch whose positions the "random" sampler draws. Call it before iterating: a
        DataLoader with `persistent_workers=True` keeps the workers' copies of the dataset,
        which then do not see a later call."""
        self.epoch = options.non_negative_integer(epoch, "epoch")

    def frame_count(self, video_index: int) -> int:
        """The number of frames of video `video_index`, probed once and kept."""
        count = self._frame_counts[video_index]
        if count is None:
            count = _count_frames(self._sources[video_index], video_index, self.storage_options)
            self._frame_counts[video_index] = count
        return count

    def __getstate__(self) -> dict[str, Any]:
        # Pickled for spawn workers in the process that owns the dataset: count here, once,
        # so that every worker starts with the counts instead of probing every file itself.
        if self.clips_per_video is None:
            self._ends()
        state = self.__dict__.copy()
        state["_open"] = OrderedDict()
        state["_probes"] = _probes_made(self._sources)
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        for probe in state.pop("_probes", ()):
            _extension_calls.adopt_probe_state(probe)  # kept where the file is unchanged
        self.__dict__.update(state)
        self._open_in = os.getpid()
        self._await_counts()

    def _locate(self, index: int) -> tuple[int, int]:
        """(video, clip of that video) of item `index`; negative numbers count from the end."""
        number = options.frame_number(index, len(self), "index", "clip", "dataset")
        if self.clips_per_video is not None:
            return divmod(number, self.clips_per_video)
        ends = self._ends()
        video_index = int(np.searchsorted(ends, number, side="right"))
        first = int(ends[video_index - 1]) if video_index else 0
        return video_index, number - first

    def _starts(self, video_index: int) -> npt.NDArray[np.int64]:
        frames = self.frame_count(video_index)
        try:
            if self.sampler == "uniform":
                return clip_sampling.uniform_starts(frames, self._span, self.clips_per_video)
            clips = (clip_sampling.non_overlapping_clips(frames, self._span)
                     if self.clips_per_video is None else self.clips_per_video)
            return clip_sampling.random_starts(frames, self._span, clips, self.seed,
                                               self.epoch, video_index)
        except ValueError as error:
            raise ValueError(f"videos[{video_index}] {self.videos[video_index]!r}: {error} "
                             f"(clips of {self.clip_length} frames every {self.stride})") from None

    def _ends(self) -> npt.NDArray[np.int64]:
        """Item number just past each video's last clip (clips_per_video None)."""
        if self._clip_ends is None:
            counts = [self.frame_count(i) for i in _progress(range(len(self.videos)))]
            per_video = [clip_sampling.non_overlapping_clips(n, self._span) for n in counts]
            self._clip_ends = np.cumsum(np.array(per_video, dtype=np.int64))
            _AWAITING_COUNTS.discard(self)
        return self._clip_ends

    def _video(self, video_index: int) -> Video:
        if self._open_in != os.getpid():  # a forked copy: open its own
            self._open, self._open_in = OrderedDict(), os.getpid()
        video = self._open.pop(video_index, None)
        if video is None:
            video = Video(self._sources[video_index], self.size, threads=self.threads,
                          timeout=self.timeout, layout=self.layout,
                          apply_rotation=self.apply_rotation, dtype=self.dtype,
                          storage_options=self.storage_options)
        self._open[video_index] = video
        while len(self._open) > OPEN_VIDEOS:
            self._open.popitem(last=False)[1].close()
        return video

    def _await_counts(self) -> None:
        if self.clips_per_video is None and self._clip_ends is None:
            _AWAITING_COUNTS.add(self)


# The datasets whose clips depend on frame counts not yet taken, counted before any fork of
# this process, so that DataLoader's fork workers inherit them.
_AWAITING_COUNTS: weakref.WeakSet[ClipDataset] = weakref.WeakSet()


def _count_before_fork() -> None:
    for dataset in list(_AWAITING_COUNTS):
        try:
            dataset._ends()
        except Exception:  # noqa: BLE001 - a fork must not fail for a dataset's bad file;
            pass  # the same error is raised where that dataset is used


os.register_at_fork(before=_count_before_fork)


def _count_frames(source: sources.VideoSource | str, video_index: int,
                  storage_options: dict[str, Any] | None) -> int:
    if isinstance(source, str):  # a URL, opened for as long as it is probed
        opened = sources.open_source(source, f"videos[{video_index}]", storage_options)
        try:
            return _count_frames(opened, video_index, None)
        finally:
            opened.close()
    with source.fetch_failures():
        streams = _extension_calls.open_named(source.path, source.name).streams.video
    if not streams:
        raise ValueError(f"videos[{video_index}] {source.name!r}: the file has no video stream")
    return streams[0].frames


def _probes_made(videos: Sequence[sources.VideoSource | str]) -> list[bytes]:
    """The probes this process holds of these files, as bytes, up to PICKLED_PROBES of them.
    (A video in memory is another file in the receiving process, and a remote one is probed
    anew where it is opened: their probes are not carried.)"""
    probes, size = [], 0
    for video in videos:
        if isinstance(video, str) or video.in_memory_file:
            continue
        probe = _extension_calls.probe_state(video.path)
        if probe is None:
            continue
        size += len(probe)
        if size > PICKLED_PROBES:
            break
        probes.append(probe)
    return probes


def _progress(items: range) -> Any:
    if len(items) < COUNTING_PROGRESS_FROM:
        return items
    from tqdm import tqdm

    return tqdm(items, desc="lorvex: counting frames", unit="video", leave=False, disable=None)


def _video_sources(videos: object) -> tuple[sources.VideoSource | str, ...]:
    """Each video's source: a URL stays a URL, opened when it is probed or loaded (a data set of
    many remote videos holds no connection for those it does not read)."""
    single = (str, bytes, bytearray, memoryview, os.PathLike)
    if isinstance(videos, single) or not isinstance(videos, Sequence):
        raise TypeError(f"videos: expected a list of videos (paths, bytes or binary file "
                        f"objects), got {type(videos).__name__}"
                        + ("; put one video in a list" if isinstance(videos, single) else ""))
    found: list[sources.VideoSource | str] = []
    for number, video in enumerate(videos):
        if remote.is_url(video):
            found.append(video)
            continue
        source = sources.open_source(video, f"videos[{number}]")
        if not source.in_memory_file and not os.path.exists(source.path):
            raise FileNotFoundError(f"videos[{number}]: {source.path}: no such file")
        found.append(source)
    if not found:
        raise ValueError("videos: the list is empty; a dataset needs at least one video")
    return tuple(found)
