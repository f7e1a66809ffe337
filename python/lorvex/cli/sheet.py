"""--sheet: the loaded frames side by side, each labelled with its frame number and time, so a
person sees at a glance that the right frames came back."""
from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw

from lorvex.cli.lettering import Lettering

# Beyond this many frames a sheet shows an even spread of them, and says so in its title.
MAX_TILES = 50
TILE = 192  # longest side of a thumbnail, pixels
LABEL = 22  # height of the label strip under a thumbnail
TITLE = 30
GAP = 6
FONT_SIZE = 14
BACKGROUND = (24, 24, 24)
TEXT = (235, 235, 235)


@dataclasses.dataclass(frozen=True)
class Layout:
    shown: list[int]  # positions, among the loaded frames, of the frames on the sheet
    labels: list[str]
    title: str
    thumb: tuple[int, int]  # width, height
    cell: tuple[int, int]
    columns: int
    size: tuple[int, int]

    def tile_box(self, tile: int) -> tuple[int, int, int, int]:
        """(left, top, right, bottom) of the thumbnail of tile `tile`."""
        left = GAP + (tile % self.columns) * self.cell[0]
        top = TITLE + (tile // self.columns) * self.cell[1]
        return left, top, left + self.thumb[0], top + self.thumb[1]


def label(number: int, seconds: float) -> str:
    return f"#{number}  {seconds:.3f} s"


def plan_sheet(frame_size: tuple[int, int], numbers: Sequence[int], seconds: Sequence[float],
               title: str, lettering: Lettering) -> Layout:
    """Where everything goes on a sheet of frames of `frame_size` (height, width)."""
    count = len(numbers)
    shown = list(range(count)) if count <= MAX_TILES else [
        i * count // MAX_TILES for i in range(MAX_TILES)]
    labels = [label(numbers[i], seconds[i]) for i in shown]
    if len(shown) < count:
        title += f" (an even {len(shown)} of {count} frames)"
    height, width = frame_size
    # Every thumbnail has the same longest side: small frames are enlarged, pixel for pixel.
    scale = TILE / max(height, width)
    thumb = (max(1, round(width * scale)), max(1, round(height * scale)))
    label_width = math.ceil(max(lettering.length(text) for text in labels))
    cell = (max(thumb[0], label_width) + GAP, thumb[1] + LABEL + GAP)
    columns = min(len(shown), math.ceil(math.sqrt(len(shown) * 4 / 3)))
    rows = math.ceil(len(shown) / columns)
    title_width = math.ceil(lettering.length(title)) + 2 * GAP
    size = (max(columns * cell[0] + GAP, title_width), TITLE + rows * cell[1] + GAP)
    return Layout(shown, labels, title, thumb, cell, columns, size)


def write_sheet(path: Path, frames: npt.NDArray[np.uint8], numbers: Sequence[int],
                seconds: Sequence[float], title: str) -> int:
    """Writes the sheet of `frames` ((k, 3, h, w), with k frame numbers and times) to `path`,
    in the format its suffix names, and returns how many frames it shows."""
    lettering = _lettering()
    layout = plan_sheet((frames.shape[2], frames.shape[3]), numbers, seconds, title, lettering)
    sheet = Image.new("RGB", layout.size, BACKGROUND)
    draw = ImageDraw.Draw(sheet)
    lettering.draw(draw, (GAP, 8), layout.title, TEXT)
    enlarge = layout.thumb[0] >= frames.shape[3]
    resample = Image.Resampling.NEAREST if enlarge else Image.Resampling.BILINEAR
    for tile, (position, text) in enumerate(zip(layout.shown, layout.labels, strict=True)):
        left, top, _, bottom = layout.tile_box(tile)
        picture = Image.fromarray(np.ascontiguousarray(frames[position].transpose(1, 2, 0)))
        sheet.paste(picture.resize(layout.thumb, resample), (left, top))
        lettering.draw(draw, (left, bottom + 3), text, TEXT)
    sheet.save(path)
    return len(layout.shown)


def _lettering() -> Lettering:
    return Lettering(FONT_SIZE)
