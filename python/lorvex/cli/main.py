"""python -m lorvex: the main job over lorvex.Video, and how it ends (status 0, 1, 2 or 130)."""
from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

from lorvex import SAMPLE_VIDEO
from lorvex.cli.arguments import build_parser, values_kept_whole
from lorvex.cli.errors import UserError
from lorvex.cli.frame_selection import parse_frame_selection
from lorvex.cli.info import info_json, info_table
from lorvex.cli.load import load_frames
from lorvex.cli.sheet import write_sheet
from lorvex.video import Video

SHEET_SUFFIXES = (".png", ".jpg", ".jpeg", ".webp")

Result = TypeVar("Result")


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(values_kept_whole(sys.argv[1:] if argv is None
                                                           else argv))
    except SystemExit as done:  # --help, --version, or a usage error already reported
        return done.code if isinstance(done.code, int) else 2
    try:
        return run(args)
    except UserError as error:
        print(f"lorvex: {error}", file=sys.stderr)
        return 2
    except TimeoutError as error:  # the load's workers were ended; the error says what was missing
        print(f"lorvex: {error}", file=sys.stderr)
        return 1
    except RuntimeError as error:  # a worker failed; its own line is on stderr already
        print(f"lorvex: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("lorvex: interrupted", file=sys.stderr)
        return 130


def run(args: argparse.Namespace) -> int:
    path = args.video or str(SAMPLE_VIDEO)
    # Checked before anything is loaded, so a typo costs no decoding.
    out = _output(args.out, "--out", (".npy",))
    sheet = _output(args.sheet, "--sheet", SHEET_SUFFIXES)
    with _open(path, args) as video:
        if args.info:
            print(info_json(path, video.metadata) if args.json
                  else info_table(path, video.metadata))
            return 0
        numbers = parse_frame_selection(args.frames, len(video))
        frames, seconds = load_frames(video, numbers, stream=args.stream, chunk=args.chunk)
        print(_summary(path, frames, seconds, args.json))
        if out is not None:
            _write(out, lambda: np.save(out, frames))
            print(f"saved the array to {out}")
        if sheet is not None:
            times = video.timestamps[numbers].tolist()
            height, width = video.size
            title = f"{Path(path).name}: {len(numbers)} frames, {height}x{width} (height x width)"
            planes = _planar_levels(frames, video)
            shown = _write(sheet, lambda: write_sheet(sheet, planes, numbers, times, title))
            print(f"wrote a contact sheet of {shown} frames to {sheet}")
    return 0


def _open(path: str, args: argparse.Namespace) -> Video:
    """The video, or the one-line reason why it cannot be loaded."""
    try:
        return Video(path, args.size, threads=args.threads, interpolation=args.interpolation,
                     timeout=args.timeout, layout=args.layout, apply_rotation=args.rotate,
                     dtype=args.dtype, storage_options=_storage_options(args))
    except (FileNotFoundError, IsADirectoryError, PermissionError, OSError) as error:
        raise UserError(_unreachable(path, error)) from None
    except ValueError as error:  # FFmpeg cannot read it, or it has no video stream or frames
        raise UserError(_unreadable(path, error)) from None


def _storage_options(args: argparse.Namespace) -> dict[str, Any] | None:
    """The --storage-option values; keys of boto's client (endpoint_url, region_name) go
    where s3fs takes them."""
    if not args.storage_options:
        return None
    given = dict(args.storage_options)
    client = {key: given.pop(key) for key in ("endpoint_url", "region_name") if key in given}
    if client:
        given.setdefault("client_kwargs", {}).update(client)
    return given


def _unreachable(path: str, error: OSError) -> str:
    # A remote video's errors name its URL and the reason already.
    if str(error).startswith(path):
        return str(error)
    if isinstance(error, FileNotFoundError):
        return f"{path}: no such file"
    if isinstance(error, IsADirectoryError):
        return f"{path}: is a directory, not a video"
    if isinstance(error, PermissionError):
        return f"{path}: permission denied"
    return f"{path}: cannot be opened ({error.strerror or error})"


def _unreadable(path: str, error: ValueError) -> str:
    reason = str(error)
    # "Could not open <path>: <FFmpeg's reason>" from the probe: keep only the reason.
    prefix = f"Could not open {path}: "
    if reason.startswith(prefix):
        return f"{path}: not a video lorvex can read ({reason[len(prefix):]})"
    return reason if reason.startswith(path) else f"{path}: {reason}"


def _planar_levels(frames: npt.NDArray[Any], video: Video) -> npt.NDArray[np.uint8]:
    """The frames as the contact sheet draws them: 8-bit planes."""
    if video.layout == "NHWC":
        frames = frames.transpose(0, 3, 1, 2)
    if frames.dtype == np.uint16:
        frames = frames >> 8
    return np.ascontiguousarray(frames, dtype=np.uint8)


def _summary(path: str, frames: npt.NDArray[Any], seconds: float, as_json: bool) -> str:
    rate = len(frames) / seconds if seconds > 0 else float("inf")
    if as_json:
        return json.dumps({"file": path, "frames": len(frames), "shape": list(frames.shape),
                           "dtype": str(frames.dtype), "seconds": seconds,
                           "frames_per_second": rate})
    return (f"{Path(path).name}: {len(frames)} frames, array {tuple(frames.shape)} {frames.dtype}, "
            f"{seconds:.3f} s, {rate:.0f} frames/s")


def _output(name: str | None, option: str, suffixes: tuple[str, ...]) -> Path | None:
    if name is None:
        return None
    path = Path(name)
    if path.suffix.lower() not in suffixes:
        allowed = " or ".join(suffixes)
        raise UserError(f"{option} {name!r}: expected a file name ending in {allowed}")
    if not path.parent.is_dir():
        raise UserError(f"{option} {name!r}: there is no folder {str(path.parent)!r}")
    return path


def _write(path: Path, write: Callable[[], Result]) -> Result:
    try:
        return write()
    except OSError as error:
        raise UserError(f"cannot write {path}: {error.strerror or error}") from None
