# Types of the lorvex.tandry extension: parallel decoding of a video's frames into numpy.
import base64 as base64
import bisect as bisect
import pickle as pickle
import subprocess as subprocess
import time as time
from multiprocessing import shared_memory as shared_memory
from collections.abc import Sequence
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from lorvex.container import open as open

_Item = TypeVar("_Item")

# The probe's record: keys kf, start, end, num_frames, height, width, fps, in that order.
Record = dict[str, Any]
# (start pts, end pts, number of requested frames in the interval)
Interval = tuple[int, int, int]
Frames = npt.NDArray[np.uint8]

__test__: dict[str, Any]

def tandry_load(video_path: str, indices: list[int] | None = None, height: int = 0,
                width: int = 0, num_threads: int = 1, d: Record | None = None,
                interpolation: str = "BILINEAR") -> Frames: ...
def split_by_stride(lst: Sequence[_Item], n: int) -> list[list[_Item]]: ...
def tandry_interleaved_load(
    video_path: str, indices: list[int] | None = None, height: int = 0, width: int = 0,
    num_threads: int = 1, num_intervals: int = 1, d: Record | None = None,
    interpolation: str = "BILINEAR",
) -> tuple[str, str, tuple[int, int, int, int], int, list[subprocess.Popen[bytes]]]: ...
def get_stats(video_path: str) -> Record: ...
def compute_parellelized_intervals(
    video_path: str, indicies: list[int] | None, num_threads: int = 1, d: Record | None = None
) -> tuple[list[Interval], Record, list[int]]: ...
def estimate_frame_location(pts: int, pts_start: int, pts_end: int, num_frames: int) -> int: ...

class VideoReader:
    video_path: str
    num_threads: int
    video_metadata: Record
    height: int
    width: int
    interpolation: str
    def __init__(self, video_path: str, height: int = 0, width: int = 0,
                 num_threads: int = 4) -> None: ...
    def framecount(self) -> int: ...
    def __len__(self) -> int: ...
    def get_fps(self) -> Any: ...
    def get_batch(self, indices: list[int]) -> Frames: ...

class InterleavedVideoReader:
    video_path: str
    num_threads: int
    num_intervals: int
    video_metadata: Record
    height: int
    width: int
    interpolation: str
    p: list[subprocess.Popen[bytes]]
    frames_handle: str | None
    check_handle: str | None
    frames_shape: tuple[int, int, int, int] | None
    check_shape: int | None
    frame_iter: int
    pos: int
    finished: bool
    def __init__(self, video_path: str, height: int = 0, width: int = 0, num_threads: int = 4,
                 num_intervals: int = 16) -> None: ...
    def framecount(self) -> int: ...
    def __len__(self) -> int: ...
    def get_fps(self) -> Any: ...
    def process(self, indices: list[int]) -> None: ...
    def __del__(self) -> None: ...
    def all_loaded(self) -> np.bool_: ...
    def get_frames(self, start: int | None, end: int | None) -> Frames: ...
    def __iter__(self) -> InterleavedVideoReader: ...
    def __next__(self) -> Frames: ...
