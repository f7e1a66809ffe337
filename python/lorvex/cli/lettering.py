"""Text in any script for the contact sheet: each character is drawn in the first font that has
it, so that a file name in any alphabet shows its letters, not boxes."""
from __future__ import annotations

import os

from PIL import Image, ImageDraw, ImageFont

# First to last: most alphabets (Latin, Greek, Cyrillic, Armenian, Georgian, Hebrew, Arabic,
# symbols; Debian's fonts-dejavu-core), then Chinese, Japanese and Korean (fonts-wqy-microhei,
# 5 MB, or fonts-noto-cjk, 90 MB, where that is installed).
FONT_FILES = (
    "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
)
# A character that no font draws (private use, plane 16): how a font looks without a glyph.
NO_GLYPH = "\U0010fffd"
# Drawn, in the first font, for a character that none of the fonts has.
REPLACEMENT = "\ufffd"

Font = ImageFont.FreeTypeFont | ImageFont.ImageFont


class Lettering:
    """Fonts of one size, tried in order for each character."""

    def __init__(self, size: int, files: tuple[str, ...] = FONT_FILES) -> None:
        self.size = size
        self.fonts: list[Font] = [ImageFont.truetype(path, size) for path in files
                                  if os.path.exists(path)]
        if not self.fonts:  # none of these fonts installed: Pillow's own, for ASCII at least
            self.fonts = [_pillow_font(size)]
        self._missing = [glyph_image(font, NO_GLYPH, size) for font in self.fonts]
        self._chosen: dict[str, tuple[str, Font]] = {}

    def runs(self, text: str) -> list[tuple[str, Font]]:
        """`text` cut into runs of characters that one font draws, in order."""
        runs: list[tuple[str, Font]] = []
        for character in text:
            drawn, font = self._choose(character)
            if runs and runs[-1][1] is font:
                runs[-1] = (runs[-1][0] + drawn, font)
            else:
                runs.append((drawn, font))
        return runs

    def length(self, text: str) -> float:
        """The width of `text` as `draw` draws it, in pixels."""
        measure = ImageDraw.Draw(Image.new("L", (1, 1)))
        return sum(measure.textlength(run, font=font) for run, font in self.runs(text))

    def draw(self, canvas: ImageDraw.ImageDraw, position: tuple[float, float], text: str,
             fill: tuple[int, int, int]) -> None:
        """Draws `text` with its top left at `position`, every run on one baseline."""
        left, top = position
        baseline = top + self.size
        for run, font in self.runs(text):
            if isinstance(font, ImageFont.FreeTypeFont):
                canvas.text((left, baseline), run, fill=fill, font=font, anchor="ls")
            else:  # a bitmap font has no anchors
                canvas.text((left, top), run, fill=fill, font=font)
            left += canvas.textlength(run, font=font)

    def _choose(self, character: str) -> tuple[str, Font]:
        chosen = self._chosen.get(character)
        if chosen is None:
            # A space is blank in any font, even one whose missing glyph is blank too.
            chosen = (character if character.isspace() else REPLACEMENT), self.fonts[0]
            for font, missing in zip(self.fonts, self._missing):
                if glyph_image(font, character, self.size) != missing:
                    chosen = character, font
                    break
            self._chosen[character] = chosen
        return chosen


def glyph_image(font: Font, character: str, size: int) -> bytes:
    """The pixels of `character` drawn alone in `font`."""
    picture = Image.new("L", (3 * size, 3 * size))
    ImageDraw.Draw(picture).text((size, size), character, fill=255, font=font)
    return picture.tobytes()


def _pillow_font(size: int) -> Font:
    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError):  # Pillow without FreeType: the small bitmap font
        return ImageFont.load_default()
