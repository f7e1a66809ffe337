"""--frames WHICH: which frames to load, written the way a person thinks of them.

    all             every frame (the default)
    START:STOP:STEP a slice with Python's rules: parts may be left out, negative numbers count
                    from the end (::10, -50:, 100:200:2)
    A,B,C           these frames, in this order (0,10,-1); one number alone is a list of one
    uniform:K       K frames spread evenly from the first: frame i * N // K for i = 0 … K − 1
"""
from __future__ import annotations

import re

from lorvex import options
from lorvex.cli.errors import UserError

FORMS = "all, START:STOP:STEP, a comma list of frame numbers or uniform:K"
_INTEGER = re.compile(r"[+-]?\d+")


def parse_frame_selection(selection: str, count: int) -> list[int]:
    """The frame numbers 0 … count − 1 that `selection` names, in the order they are loaded."""
    text = selection.strip().lower()
    if text == "all":
        return list(range(count))
    if text.startswith("uniform:"):
        return _uniform(text[len("uniform:"):], selection, count)
    if ":" in text:
        return _slice(text, selection, count)
    return _list(text, selection, count)


def _uniform(text: str, selection: str, count: int) -> list[int]:
    if not _INTEGER.fullmatch(text.strip()):
        raise _malformed(selection)
    wanted = int(text)
    if not 1 <= wanted <= count:
        raise UserError(f"--frames {selection!r}: uniform:K needs K from 1 to {count}, "
                        f"the video's frame count")
    return [i * count // wanted for i in range(wanted)]


def _slice(text: str, selection: str, count: int) -> list[int]:
    parts = [part.strip() for part in text.split(":")]
    if len(parts) > 3 or not all(part == "" or _INTEGER.fullmatch(part) for part in parts):
        raise _malformed(selection)
    bounds = [int(part) if part else None for part in parts] + [None] * (3 - len(parts))
    if bounds[2] == 0:
        raise UserError(f"--frames {selection!r}: the step must not be 0")
    numbers = list(range(count)[slice(*bounds)])
    if not numbers:
        raise UserError(f"--frames {selection!r} selects no frame of a video of {count} frames")
    return numbers


def _list(text: str, selection: str, count: int) -> list[int]:
    parts = [part.strip() for part in text.split(",")]
    if not all(_INTEGER.fullmatch(part) for part in parts):
        raise _malformed(selection)
    try:
        return [options.frame_number(int(part), count, f"--frames {selection!r}")
                for part in parts]
    except IndexError as error:
        raise UserError(str(error)) from None


def _malformed(selection: str) -> UserError:
    return UserError(f"--frames {selection!r}: expected {FORMS}")
