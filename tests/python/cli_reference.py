"""The ffmpeg CLI's decode of a file's first video stream: picture i is the i-th picture that
`ffmpeg -i F -map 0:v:0 -fps_mode passthrough` emits, and the loaders are held to it.

The workers convert each picture straight to planar RGB: with swscale (bilinear) when scaled,
and at a picture's own size (8-bit 4:2:0, 4:2:2, 4:4:4 of even size) with a converter of their
own that does swscale's planar arithmetic integer for integer. Either way the CLI's planar
`gbrp` output under `-sws_flags bilinear` (and `scale=...:flags=bilinear` when scaled) is what
they must match to the last bit. The packed `rgb24` output rounds differently
and samples chroma without interpolating; it is matched within COLOUR_TOLERANCE.
"""
import functools
import subprocess

import numpy as np

from case_videos import ffprobe
from conftest import frame_numbers

# Mean absolute difference per picture that colour conversion alone can explain; a wrong
# picture of a moving video differs by tens.
COLOUR_TOLERANCE = 3.0
WHOLE_LOAD_TOLERANCE = 2.5
# How far around the wanted picture a tolerant comparison looks for a nearer one.
NEAR_WINDOW = 32


def coded_size(path):
    """(height, width) of the first video stream, as stored (rotation tags not applied)."""
    stream = ffprobe(path, "stream=width,height")["streams"][0]
    return stream["height"], stream["width"]


@functools.lru_cache(maxsize=None)
def cli_pictures(path, size=None, pix_fmt="gbrp"):
    """Every picture the CLI shows, as a read-only (n, 3, h, w) uint8 array of R, G, B planes,
    at coded size or at `size` = (height, width). Cached for the session."""
    path = str(path)
    h, w = size or coded_size(path)
    cmd = ["ffmpeg", "-v", "error", "-noautorotate", "-i", path, "-map", "0:v:0",
           "-fps_mode", "passthrough", "-sws_flags", "bilinear"]
    if size:
        cmd += ["-vf", f"scale={w}:{h}:flags=bilinear"]
    cmd += ["-f", "rawvideo", "-pix_fmt", pix_fmt, "-"]
    raw = subprocess.run(cmd, check=True, capture_output=True).stdout
    assert len(raw) % (3 * h * w) == 0, f"{path}: the CLI's output is not whole pictures"
    if pix_fmt == "gbrp":  # planes G, B, R
        pictures = np.frombuffer(raw, np.uint8).reshape(-1, 3, h, w)[:, [2, 0, 1]]
    else:
        assert pix_fmt == "rgb24"
        pictures = np.frombuffer(raw, np.uint8).reshape(-1, h, w, 3).transpose(0, 3, 1, 2)
    pictures = np.ascontiguousarray(pictures)
    pictures.flags.writeable = False
    return pictures


@functools.lru_cache(maxsize=None)
def cli_numbers(path, size=None):
    """The barcode number of every picture the CLI shows (numbered test videos only)."""
    return frame_numbers(cli_pictures(path, size))


def _mean_difference(a, b):
    return float(np.abs(a.astype(np.int16) - b.astype(np.int16)).mean())


@functools.lru_cache(maxsize=None)
def _picture_keys(path, size):
    """Picture position by content, for naming the picture a wrong row holds."""
    keys = {}
    for k, picture in enumerate(cli_pictures(path, size)):
        keys.setdefault(picture.tobytes(), k)
    return keys


def wrong_rows(rows, path, indices, size=None, exact=True):
    """The rows that do not hold the CLI's picture `indices[k]`, each described.

    exact: every row must equal its picture bit for bit. Otherwise a row that is not
    bit-identical must be within COLOUR_TOLERANCE of its picture, must not be bit-identical
    to a different picture, and no picture near it may be closer."""
    reference = cli_pictures(path, size)
    keys = _picture_keys(path, size)
    wrong = []
    for k, (row, index) in enumerate(zip(rows, indices)):
        wanted = reference[index]
        if np.array_equal(row, wanted):
            continue
        found = keys.get(row.tobytes())
        if found is not None and not np.array_equal(reference[found], wanted):
            wrong.append(f"row {k}: picture {found} instead of {index}")
            continue
        difference = _mean_difference(row, wanted)
        if exact:
            wrong.append(f"row {k}: picture {index} differs (mean {difference:.2f})")
            continue
        if difference > COLOUR_TOLERANCE:
            wrong.append(f"row {k}: picture {index} differs by {difference:.2f}")
            continue
        low, high = max(0, index - NEAR_WINDOW), min(len(reference), index + NEAR_WINDOW + 1)
        nearer = [j for j in range(low, high)
                  if _mean_difference(row, reference[j]) < difference]
        if nearer:
            wrong.append(f"row {k}: nearer to picture {nearer[0]} than to {index}")
    return wrong


def packed_rgb_differences(rows, path, indices):
    """(mean over the load, largest per-picture mean) against the CLI's rgb24 decode."""
    packed = cli_pictures(path, None, "rgb24")[list(indices)]
    difference = np.abs(rows.astype(np.int16) - packed.astype(np.int16))
    per_picture = difference.reshape(len(rows), -1).mean(axis=1)
    return float(difference.mean()), float(per_picture.max())
