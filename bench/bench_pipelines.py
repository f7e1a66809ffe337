"""The training adapters against their peers, with whatever this environment has installed.

    python bench/bench_pipelines.py --videos build/bench-pipelines-videos

Clips: the same 32 clips (16 frames every 2, 4 drawn at random from each of 8 H.264 videos of
640x360, 300 frames, a keyframe every 50, B-frames) loaded by two worker processes per epoch,
at the videos' own size, as (16, 3, 360, 640) uint8: lorvex.torch.ClipDataset through a
DataLoader (2 workers), torchcodec's VideoDecoder through the same DataLoader loop, and, where
there is no torch, lorvex.Video and decord's VideoReader through a pool of 2 processes.
Frames: every frame of 4 of the videos read through Ray Data on a local cluster of 2 CPUs, by
lorvex.ray.read_videos and by ray.data.read_videos.
Each method runs `--repeat` times; the table shows the best and the median.
"""
from __future__ import annotations

import argparse
import importlib.util
import multiprocessing
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

from lorvex import clip_sampling, container

VIDEOS = 8
FRAMES = 300
WIDTH, HEIGHT = 640, 360
CLIP_LENGTH, STRIDE, CLIPS_PER_VIDEO, SEED = 16, 2, 4, 0
RAY_VIDEOS = 4
WORKERS = 2

Clip = tuple[str, list[int]]


def make_videos(folder: Path) -> list[str]:
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for number in range(VIDEOS):
        path = folder / f"video{number}.mp4"
        if not path.exists():
            # A moving test pattern with noise: motion and detail cost the decoder as a
            # camera's pictures do, a flat colour would not.
            subprocess.run(
                ["ffmpeg", "-v", "error", "-y", "-f", "lavfi",
                 "-i", f"testsrc2=size={WIDTH}x{HEIGHT}:rate=25,noise=alls=12:allf=t+u",
                 "-frames:v", str(FRAMES), "-c:v", "libx264", "-preset", "veryfast",
                 "-g", "50", "-bf", "2", "-pix_fmt", "yuv420p", str(path) + ".part.mp4"],
                check=True)
            Path(str(path) + ".part.mp4").rename(path)
        paths.append(str(path))
    return paths


def clip_plan(paths: list[str]) -> list[Clip]:
    """The clips that ClipDataset's random sampler draws for epoch 0."""
    span = clip_sampling.clip_span(CLIP_LENGTH, STRIDE)
    clips = []
    for video, path in enumerate(paths):
        frames = container.open(path).streams.video[0].frames
        for start in clip_sampling.random_starts(frames, span, CLIPS_PER_VIDEO, SEED, 0, video):
            clips.append((path, clip_sampling.clip_frames(int(start), CLIP_LENGTH,
                                                          STRIDE).tolist()))
    return clips


# Each worker process keeps its readers, as a training job's dataset would.
_readers: dict[str, Any] = {}


def _reader(path: str, open_reader: Callable[[str], Any]) -> Any:
    if path not in _readers:
        _readers[path] = open_reader(path)
    return _readers[path]


def lorvex_clip(clip: Clip) -> tuple[int, ...]:
    import lorvex

    frames = _reader(clip[0], lambda p: lorvex.Video(p, threads=1)).get_batch(clip[1])
    return frames.shape


def decord_clip(clip: Clip) -> tuple[int, ...]:
    import decord

    reader = _reader(clip[0], lambda p: decord.VideoReader(p, num_threads=1))
    frames = np.ascontiguousarray(reader.get_batch(clip[1]).asnumpy().transpose(0, 3, 1, 2))
    return frames.shape


def pool_epoch(load: Callable[[Clip], tuple[int, ...]], clips: list[Clip]) -> int:
    with multiprocessing.get_context("fork").Pool(WORKERS) as pool:
        shapes = pool.map(load, clips, chunksize=1)
    assert set(shapes) == {(CLIP_LENGTH, 3, HEIGHT, WIDTH)}, set(shapes)
    return len(shapes)


def dataloader_epoch(dataset: Any) -> int:
    from torch.utils.data import DataLoader

    count = 0
    for batch in DataLoader(dataset, batch_size=4, num_workers=WORKERS):
        frames = batch[0] if isinstance(batch, (tuple, list)) else batch
        assert tuple(frames.shape[1:]) == (CLIP_LENGTH, 3, HEIGHT, WIDTH), frames.shape
        count += len(frames)
    return count


def torchcodec_dataset(clips: list[Clip]) -> Any:
    from torch.utils.data import Dataset

    class TorchcodecClips(Dataset):  # type: ignore[type-arg]
        def __len__(self) -> int:
            return len(clips)

        def __getitem__(self, index: int) -> Any:
            from torchcodec.decoders import VideoDecoder

            path, numbers = clips[index]
            decoder = _reader(path, lambda p: VideoDecoder(p, num_ffmpeg_threads=1,
                                                           seek_mode="exact"))
            return decoder.get_frames_at(numbers).data

    return TorchcodecClips()


def lorvex_clip_dataset(paths: list[str], clips: list[Clip]) -> Any:
    from lorvex.torch import ClipDataset

    dataset = ClipDataset(paths, CLIP_LENGTH, stride=STRIDE, clips_per_video=CLIPS_PER_VIDEO,
                          sampler="random", seed=SEED)
    planned = [(paths[v], numbers.tolist()) for v, numbers in
               map(dataset.clip_frames, range(len(dataset)))]
    assert planned == clips, "ClipDataset draws other clips than the plan"
    return dataset


def ray_frames(read: Callable[[], Any]) -> Callable[[], int]:
    def run() -> int:
        count = 0
        for batch in read().iter_batches(batch_size=64, batch_format="numpy"):
            assert batch["frame"].shape[1:] in ((3, HEIGHT, WIDTH), (HEIGHT, WIDTH, 3))
            count += len(batch["frame"])
        assert count == RAY_VIDEOS * FRAMES, count
        return count
    return run


def measure(name: str, unit: str, run: Callable[[], int], repeat: int) -> None:
    seconds, count = [], 0
    for _ in range(repeat):
        start = time.perf_counter()
        count = run()
        seconds.append(time.perf_counter() - start)
    best, median = min(seconds), statistics.median(seconds)
    print(f"| {name} | {best:.3f} | {median:.3f} | {count} | {count / best:.1f} {unit}/s |",
          flush=True)


def installed(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--videos", type=Path, default=Path("build/bench-pipelines-videos"))
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--only", choices=("clips", "ray"), help="only the clip or the Ray rows")
    arguments = parser.parse_args()
    paths = make_videos(arguments.videos)
    clips = clip_plan(paths)
    python = f"CPython {sys.version_info[0]}.{sys.version_info[1]}"
    print(f"{python}: {len(clips)} clips of {CLIP_LENGTH} frames every {STRIDE}, "
          f"{WIDTH}x{HEIGHT}, {WORKERS} worker processes\n")
    print("| method | best s | median s | count | rate |\n|---|---:|---:|---:|---:|")
    repeat = arguments.repeat
    clip_rows = arguments.only in (None, "clips")
    if clip_rows and installed("torch"):
        dataset = lorvex_clip_dataset(paths, clips)
        measure(f"lorvex ClipDataset, DataLoader 2 workers ({python})", "clips",
                lambda: dataloader_epoch(dataset), repeat)
        if installed("torchcodec"):
            peer = torchcodec_dataset(clips)
            measure(f"torchcodec VideoDecoder, DataLoader 2 workers ({python})", "clips",
                    lambda: dataloader_epoch(peer), repeat)
    if clip_rows:
        measure(f"lorvex Video, pool of 2 processes ({python})", "clips",
                lambda: pool_epoch(lorvex_clip, clips), repeat)
    if clip_rows and installed("decord"):
        measure(f"decord VideoReader, pool of 2 processes ({python})", "clips",
                lambda: pool_epoch(decord_clip, clips), repeat)
    if arguments.only in (None, "ray") and installed("ray"):
        import ray
        import ray.data

        import lorvex.ray

        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        ray.data.DataContext.get_current().enable_progress_bars = False
        some = paths[:RAY_VIDEOS]
        measure(f"lorvex.ray.read_videos, local cluster of 2 CPUs ({python})", "frames",
                ray_frames(lambda: lorvex.ray.read_videos(some, size=None)), repeat)
        if installed("decord"):
            measure(f"ray.data.read_videos, local cluster of 2 CPUs ({python})", "frames",
                    ray_frames(lambda: ray.data.read_videos(some)), repeat)
        ray.shutdown()


if __name__ == "__main__":
    main()
