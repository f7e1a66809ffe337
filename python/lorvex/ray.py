"""lorvex.ray: videos as a Ray Data dataset of frames or clips, decoded where the tasks run.

The only module of lorvex that imports ray.

    dataset = lorvex.ray.read_videos("videos/", size=(224, 224))
    for batch in dataset.iter_batches(batch_size=64):
        batch["frame"]              # (64, 3, 224, 224) uint8

Every node that runs read tasks needs lorvex installed, and reaches the videos where they are
kept: local files at the same paths, or URLs and object stores (with the same storage_options
or filesystem, which travel with the tasks).
"""
from __future__ import annotations

import functools
import math
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
import numpy.typing as npt
import ray.data
from ray.data.block import BlockAccessor, BlockMetadata
from ray.data.datasource import Datasource, ReadTask

from lorvex import _extension_calls, options, remote, ray_plan

if TYPE_CHECKING:
    from ray.data.context import DataContext

__all__ = ["read_videos", "VideoDatasource"]

# A read task decodes at least this many frames when a long video is split among tasks: a
# task costs a Ray task and a worker program, paid for by its frames (the probe made while
# planning travels with the task).
MIN_FRAMES_PER_TASK = 256
# The size of the frames of one block when Ray's context does not say.
DEFAULT_BLOCK_BYTES = 128 * 1024 * 1024


class VideoDatasource(Datasource):
    """The frames (or clips) of a list of videos: one read task per video, or, when there are
    fewer videos than the read parallelism Ray asks for, one per run of whole groups of
    pictures of a long video. Arguments as for `read_videos`."""

    def __init__(self, paths: Sequence[str], plan: ray_plan.RowPlan,
                 size: tuple[int, int] | None, threads: int,
                 timeout: float | None = None,
                 frame_options: dict[str, Any] | None = None,
                 storage_options: dict[str, Any] | None = None, filesystem: Any = None,
                 file_sizes: Sequence[int] | None = None) -> None:
        super().__init__()
        self.paths = tuple(paths)
        self.storage_options = storage_options
        self.filesystem = filesystem
        self.file_sizes = (tuple(file_sizes) if file_sizes is not None
                           else tuple(os.path.getsize(path) for path in self.paths))
        self.plan = plan
        self.size = size
        self.threads = threads
        self.timeout = timeout
        # lorvex.Video's layout, apply_rotation and dtype, checked.
        self.frame_options = dict(frame_options or {})

    def get_name(self) -> str:
        return "LorvexVideos"

    def estimate_inmemory_data_size(self) -> Optional[int]:
        # The decoded size is known only after each file is probed, which planning avoids.
        # The files' own sizes, as Ray's file-based datasources give them: without an estimate
        # Ray asks for 200 blocks and cuts each task's output into tiny ones (4 videos of 300
        # frames at 640x360: 400 blocks of 3 frames, twice the time of the whole read).
        return sum(self.file_sizes)

    def get_read_tasks(self, parallelism: int, per_task_row_limit: Optional[int] = None,
                       data_context: Optional[DataContext] = None) -> list[ReadTask]:
        block_bytes = getattr(data_context, "target_max_block_size", None) or DEFAULT_BLOCK_BYTES
        if len(self.paths) >= parallelism:
            # Enough tasks without looking into any file: the files are probed where they
            # are read, not all on the driver.
            pieces = [self._piece(path) for path in self.paths]
            return [self._task(piece, None, block_bytes, per_task_row_limit) for piece in pieces]
        tasks = []
        pieces_each = math.ceil(parallelism / len(self.paths))
        for path in self.paths:
            with self._piece(path).opened(self.size, 1, None, self.frame_options) as video:
                firsts = self.plan.first_frames(len(video))
                cuts = ray_plan.keyframe_cuts(firsts, video.metadata.keyframes)
                row_bytes = ray_plan.bytes_per_row(video, self.plan)
                # The tasks of this video adopt the probe made here instead of making their own.
                probe = _extension_calls.probe_state(video.path)
            affordable = len(firsts) * self.plan.frames_per_row() // MIN_FRAMES_PER_TASK
            for rows in ray_plan.split_rows(len(firsts), cuts, min(pieces_each, affordable)):
                metadata = (rows[1] - rows[0], (rows[1] - rows[0]) * row_bytes)
                tasks.append(self._task(self._piece(path, rows, probe), metadata,
                                        block_bytes, per_task_row_limit))
        return tasks

    def _piece(self, path: str, rows: tuple[int, int] | None = None,
               probe: bytes | None = None) -> ray_plan.Piece:
        return ray_plan.Piece(path, rows, probe, self.storage_options, self.filesystem)

    def _task(self, piece: ray_plan.Piece, known: tuple[int, int] | None, block_bytes: int,
              per_task_row_limit: Optional[int]) -> ReadTask:
        metadata = BlockMetadata(num_rows=None if known is None else known[0],
                                 size_bytes=None if known is None else known[1],
                                 exec_stats=None, input_files=(piece.path,))
        read = functools.partial(_read_blocks, piece, self.plan, self.size, self.threads,
                                 block_bytes, self.timeout, self.frame_options)
        return ReadTask(read, metadata, per_task_row_limit=per_task_row_limit)


def _read_blocks(piece: ray_plan.Piece, plan: ray_plan.RowPlan,
                 size: tuple[int, int] | None, threads: int, block_bytes: int,
                 timeout: float | None, frame_options: dict[str, Any]) -> Any:
    for columns in ray_plan.read_piece(piece, plan, size, threads, block_bytes, timeout,
                                         frame_options):
        yield BlockAccessor.batch_to_block(columns)


def read_videos(paths: options.PathLike | Sequence[options.PathLike], *,
                size: tuple[int, int] | None, clip_length: int | None = None, stride: int = 1,
                frames: ray_plan.FrameSelection | None = None,
                threads: int | None = None,
                timeout: float | None = None, layout: str = "NCHW",
                apply_rotation: bool = False,
                dtype: npt.DTypeLike = np.uint8,
                ray_remote_args: dict[str, Any] | None = None,
                filesystem: Any = None, storage_options: dict[str, Any] | None = None,
                file_extensions: Sequence[str] | None = None) -> ray.data.Dataset:
    """A ray.data.Dataset of the frames of videos, one row per frame (or per clip), with the
    columns path, frame_index, timestamp and frame.

    `paths` is a video, a folder (every file in it and its subfolders, hidden ones left out,
    in sorted order) or a list of them: local paths, URLs (http:// or https://, read in
    ranges), or paths of an object store (s3://bucket/prefix/, gs://..., any fsspec URL, with
    `storage_options` for its filesystem), or paths in `filesystem` (a pyarrow.fs.FileSystem
    or an fsspec filesystem, as Ray's own readers take it). A prefix or folder in a store
    stands for every object under it. `file_extensions` keeps only the files whose names end
    so (such as ["mp4", "mkv"]; default: every file). `size` is the (height, width) of the frames, None for
    each video's own. A row is a frame, (3, H, W) uint8 with its frame number and its time in
    seconds after the video's frame 0; with `clip_length`, a clip of that many frames taken
    every `stride` frames, (T, 3, H, W), with T frame numbers and times. `frames` picks the
    frames (or the clips' first frames) of every video: a slice or a sequence of frame
    numbers, negative ones counting from the end; by default every `stride`-th frame, or every
    clip that fits, end to end. `threads` is how many worker programs decode in each read task
    (default 1); each task asks Ray for that many CPUs. `timeout` is how many seconds one
    load of a task (a block of rows) may take before the task fails with TimeoutError.
    `layout`, `apply_rotation` and `dtype` are lorvex.Video's: frames (H, W, 3) with "NHWC",
    turned as a player shows them, uint16 samples.
    `ray_remote_args` go to Ray with every read task, as for Ray's own readers: a scheduling
    strategy (such as "SPREAD", to place tasks on every node of a cluster), resources, a
    runtime environment.
    """
    store = options.mapping_or_none(storage_options, "storage_options")
    found = remote.list_videos(options.video_paths(paths, "paths", one_alone=True), store,
                               filesystem, options.file_extensions(file_extensions))
    if not found:
        raise ValueError(f"paths: no video files in {paths!r}")
    files, sizes = [path for path, _ in found], [size for _, size in found]
    length = None if clip_length is None else options.positive_integer(clip_length,
                                                                        "clip_length")
    step = options.positive_integer(stride, "stride")
    if frames is not None and length is None and step != 1:
        raise ValueError("stride: without clip_length, stride picks every stride-th frame, "
                         "which frames already picks; give one of them")
    plan = ray_plan.RowPlan(length, step, options.frame_selection(frames))
    height_width = None if size is None else options.frame_size(size)
    workers = 1 if threads is None else options.positive_integer(threads, "threads")
    frame_options = {"layout": options.frame_layout(layout),
                     "apply_rotation": options.flag(apply_rotation, "apply_rotation"),
                     "dtype": options.sample_type(dtype)}
    source = VideoDatasource(files, plan, height_width, workers, options.timeout_seconds(timeout),
                             frame_options, store, filesystem, sizes)
    remote_args = options.mapping_or_none(ray_remote_args, "ray_remote_args")
    return ray.data.read_datasource(source, num_cpus=workers, ray_remote_args=remote_args)
