"""The command line's options, and how a mistyped one is reported: one line, status 2."""
from __future__ import annotations

import argparse
import json
import math
import re
import sys
from collections.abc import Sequence
from typing import Any, Callable, NoReturn, TypeVar

from lorvex import __version__, options
from lorvex.options import INTERPOLATIONS, LAYOUTS, SAMPLE_TYPES

Value = TypeVar("Value")

DESCRIPTION = """Load the frames of a video into one array (frames, 3, height, width) and
say how fast that went; optionally save the array, draw a contact sheet of the frames, or just
describe the video. Without VIDEO it uses the small sample video bundled with lorvex."""

EPILOG = f"""frame numbers run from 0 to N-1 in presentation order; negative ones count from the
end. --frames takes: all | START:STOP:STEP (Python slice rules) | A,B,C | uniform:K.
interpolation names: {", ".join(INTERPOLATIONS)} (any case). errors print one line and exit
with status 2."""


class OneLineErrors(argparse.ArgumentParser):
    """argparse, with usage mistakes said in one line instead of a usage block."""

    def error(self, message: str) -> NoReturn:
        print(f"lorvex: {message} (see python -m lorvex --help)", file=sys.stderr)
        sys.exit(2)


# The options' values are checked by lorvex.options, as the Python arguments are; these read
# the text and say what was wrong in the command line's terms (argparse names the option).

def frame_size(text: str) -> tuple[int, int]:
    match = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    try:
        return options.frame_size((int(match[1]), int(match[2])) if match else text)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError(
            f"{text!r} is no size: expected HEIGHTxWIDTH, two positive integers, such as "
            f"224x224") from None


def interpolation(text: str) -> str:
    return _checked(options.interpolation_name, text, "interpolation")


def positive_integer(text: str) -> int:
    if not re.fullmatch(r"\s*[+-]?\d+\s*", text):
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return _checked(lambda number: options.positive_integer(number, "N"), int(text), "N")


def _checked(check: Callable[[Any], Value], value: object, argument: str) -> Value:
    try:
        return check(value)
    except (TypeError, ValueError) as error:
        raise argparse.ArgumentTypeError(str(error).removeprefix(f"{argument}: ")) from None


def storage_option(text: str) -> tuple[str, Any]:
    """KEY=VALUE, the value read as JSON where it is JSON (true, 3, {"a": 1}), else as text."""
    key, equals, value = text.partition("=")
    if not equals or not key:
        raise argparse.ArgumentTypeError(f"{text!r} is no option: expected KEY=VALUE")
    try:
        return key, json.loads(value)
    except json.JSONDecodeError:
        return key, value


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive number of seconds, got {text!r}")
    return value


def values_kept_whole(argv: Sequence[str]) -> list[str]:
    """The arguments, with a --frames value that starts with "-" (-10:, -1:5:-2) attached to
    its option: argparse would take it for an option of its own."""
    joined: list[str] = []
    arguments = iter(argv)
    for argument in arguments:
        if argument == "--frames":
            value = next(arguments, None)
            if value is not None and value.startswith("-"):
                joined.append(f"--frames={value}")
                continue
            joined.extend([argument] if value is None else [argument, value])
        else:
            joined.append(argument)
    return joined


def build_parser() -> argparse.ArgumentParser:
    parser = OneLineErrors(prog="python -m lorvex", description=DESCRIPTION, epilog=EPILOG)
    parser.add_argument("video", nargs="?", metavar="VIDEO",
                        help="the video: a file, an http(s) URL, or an object store's URL such "
                             "as s3://bucket/key.mp4 (default: the bundled sample)")
    parser.add_argument("--storage-option", metavar="KEY=VALUE", dest="storage_options",
                        type=storage_option, action="append",
                        help="an option of the object store's filesystem (fsspec's "
                             "storage_options), such as anon=true or endpoint_url=http://...; "
                             "values in JSON are read as JSON; repeat for more")
    parser.add_argument("--info", action="store_true",
                        help="describe the video (codec, size, frames, rate, times, keyframes, "
                             "rotation, pixel format) instead of loading it")
    parser.add_argument("--json", action="store_true",
                        help="print the description or the summary as JSON")
    parser.add_argument("--frames", metavar="WHICH", default="all",
                        help="which frames: all (default), START:STOP:STEP, A,B,C or uniform:K")
    parser.add_argument("--size", metavar="HxW", type=frame_size,
                        help="output height x width (default: the video's own)")
    parser.add_argument("--threads", metavar="N", type=positive_integer,
                        help="worker programs decoding at once (default: one per processor)")
    parser.add_argument("--interpolation", metavar="NAME", type=interpolation, default="BILINEAR",
                        help=f"scaling method: {', '.join(INTERPOLATIONS)} (default BILINEAR)")
    parser.add_argument("--timeout", metavar="SECONDS", type=seconds,
                        help="give up when the load takes longer (with --stream: when no frame "
                             "arrives for that long), ending its workers (default: wait)")
    parser.add_argument("--layout", choices=LAYOUTS, type=str.upper, default="NCHW",
                        help="NCHW: frames of planes (3, height, width) (default); NHWC: "
                             "frames of pixels (height, width, 3)")
    parser.add_argument("--rotate", action="store_true",
                        help="turn the frames as a player shows them (the video's rotation); "
                             "--size is then the turned size")
    parser.add_argument("--dtype", choices=SAMPLE_TYPES, type=str.lower, default="uint8",
                        help="uint8 (default), or uint16: samples at the video's full "
                             "precision, carried to 16 bits by repeating their bits")
    parser.add_argument("--stream", action="store_true",
                        help="interleaved mode: take the frames in chunks while the workers "
                             "decode the rest")
    parser.add_argument("--chunk", metavar="N", type=positive_integer, default=32,
                        help="frames per chunk with --stream (default 32)")
    parser.add_argument("--out", metavar="FILE.npy",
                        help="save the array with numpy.save")
    parser.add_argument("--sheet", metavar="FILE.png",
                        help="draw a contact sheet of the loaded frames (an even 50 of more), "
                             "each labelled with its frame number and time")
    parser.add_argument("--version", action="version", version=f"lorvex {__version__}")
    return parser
