"""Loading the frames the command line asked for, with a progress bar on a terminal."""
from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
from tqdm import tqdm

from lorvex.video import Video

Result = TypeVar("Result")
Frames = npt.NDArray[Any]


def progress_bar(total: int) -> tqdm[Any]:
    """A bar on standard error when it is a terminal; none otherwise (logs, pipes, tests)."""
    return tqdm(total=total, unit="frame", file=sys.stderr, leave=False,
                disable=not sys.stderr.isatty(), dynamic_ncols=True)


def load_frames(video: Video, numbers: Sequence[int], *, stream: bool,
                chunk: int) -> tuple[Frames, float]:
    """The frames and the seconds their loading took."""
    with progress_bar(len(numbers)) as bar:
        started = time.perf_counter()
        if stream:
            frames = _load_streamed(video, numbers, chunk, bar)
        else:
            frames = _while_ticking(bar, lambda: video.get_batch(numbers))
            bar.update(len(frames))
        return frames, time.perf_counter() - started


def _load_streamed(video: Video, numbers: Sequence[int], chunk: int, bar: tqdm[Any]) -> Frames:
    frame = (3, *video.size) if video.layout == "NCHW" else (*video.size, 3)
    frames = np.empty((len(numbers), *frame), dtype=video.dtype)
    filled = 0
    with video.stream(numbers, chunk=chunk) as chunks:
        for part in chunks:
            frames[filled:filled + len(part)] = part
            filled += len(part)
            bar.update(len(part))
    return frames


def _while_ticking(bar: tqdm[Any], load: Callable[[], Result]) -> Result:
    """Runs `load`; a one-shot load hands all its frames over at the end, so on a terminal
    the bar's clock is kept running meanwhile."""
    if bar.disable:
        return load()
    outcome: dict[str, Any] = {}

    def run() -> None:
        try:
            outcome["result"] = load()
        except BaseException as error:  # handed to the caller's thread below
            outcome["error"] = error

    worker = threading.Thread(target=run, name="lorvex load")
    worker.start()
    try:
        while worker.is_alive():
            worker.join(0.1)
            bar.refresh()
    except KeyboardInterrupt:
        # Ctrl-C reached the worker programs too; let the load clean up after them.
        worker.join()
        raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]  # type: ignore[no-any-return]
