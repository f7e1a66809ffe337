"""The frame options of lorvex.Video held to their stated equivalences over every shared video:
layout "NHWC" is the planes transposed, uint16 is the uint8 levels times 257 for 8-bit
sources (and the ffmpeg CLI's planar RGB at the source's depth, its bits repeated, for deeper
ones), apply_rotation is numpy.rot90 of the unturned frames in the direction the ffmpeg CLI
turns them, and a video given as bytes loads as its file does."""
import io
import pickle
import subprocess

import numpy as np
import pytest

from lorvex import sources
from lorvex.video import Video

SCALED = (30, 28)  # narrow enough that 8-bit rows go through the scaler's padded scratch


def nhwc(frames):
    return frames.transpose(0, 2, 3, 1)


def widened(levels, depth):
    """Samples of `depth` bits carried to 16 by repeating their bits."""
    levels = levels.astype(np.uint32)
    return ((levels << (16 - depth)) | (levels >> (2 * depth - 16))).astype(np.uint16)


def load(source, frames, **options):
    with Video(source, threads=2, **options) as video:
        return video.get_batch(frames)


def ffmpeg_frame(path, number, pix_fmt, shape, dtype, flags="bilinear"):
    """Frame `number` as the ffmpeg CLI decodes it (turned as it turns it) in `pix_fmt`."""
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", str(path), "-vf", f"select=eq(n\\,{number})",
         "-fps_mode", "passthrough", "-frames:v", "1", "-sws_flags", flags,
         "-pix_fmt", pix_fmt, "-f", "rawvideo", "-"], check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=dtype).reshape(shape)


def check_video(path):
    with Video(path, threads=2) as video:
        count, metadata = len(video), video.metadata
        frames = sorted({0, count // 2, count - 1})
        planes = video.get_batch(frames)
    depth = metadata.bit_depth or 8
    what = f"{path.name} (frames {frames})"

    assert np.array_equal(load(path, frames, layout="NHWC"), nhwc(planes)), what

    scaled = load(path, frames, size=SCALED)
    # Bytes, a different layout and 16 bits in one load: equal to the file's planes only when
    # every one of them holds.
    from_bytes = load(path.read_bytes(), frames, size=SCALED, layout="nhwc", dtype=np.uint16)
    if depth <= 8:
        assert np.array_equal(from_bytes, nhwc(scaled).astype(np.uint16) * 257), what
    else:
        deep = load(path, frames, size=SCALED, dtype="uint16")
        assert np.array_equal(from_bytes, nhwc(deep)), what
        assert np.array_equal(deep, widened(deep >> (16 - depth), depth)), what
        # uint8 is rounded where the top 8 bits are cut: at most one level apart.
        assert np.abs((deep >> 8).astype(int) - scaled).max() <= 1, what

    if metadata.rotation:
        turns = metadata.rotation // 90
        turned = load(path, frames, apply_rotation=True)
        assert turned.shape[2:] == metadata.display_size, what
        assert np.array_equal(turned, np.rot90(planes, -turns, axes=(2, 3))), what
        # The size asked for is the turned one; layout and depth apply after turning.
        sideways = SCALED[::-1] if turns % 2 else SCALED
        small = load(path, frames, size=SCALED, apply_rotation=True, layout="NHWC",
                     dtype=np.uint16)
        unturned = load(path, frames, size=sideways)
        expected = nhwc(np.rot90(unturned, -turns, axes=(2, 3)))
        if depth <= 8:
            assert np.array_equal(small, expected.astype(np.uint16) * 257), what
        else:
            assert np.abs((small >> 8).astype(int) - expected).max() <= 1, what
        # The direction the ffmpeg CLI turns them (-autorotate), and not the other one.
        shown = ffmpeg_frame(path, frames[-1], "rgb24", (*turned.shape[2:], 3), np.uint8)
        other = np.rot90(planes[-1], -turns + 2 if turns == 2 else turns, axes=(1, 2))
        ours_off = np.abs(shown.astype(int) - nhwc(turned[-1:])[0]).mean()
        assert ours_off < np.abs(shown.astype(int) - nhwc(other[None])[0]).mean(), what
        assert ours_off < 3, what
    return metadata.rotation, depth


def test_every_shared_video(shared_videos):
    seen = [check_video(path) for path in shared_videos]
    # The equivalences above were held on turned videos and on deep ones too.
    assert {rotation for rotation, _ in seen} >= {0, 90, 180}
    assert max(depth for _, depth in seen) > 8


@pytest.mark.parametrize("pix_fmt, codec_args", [
    ("yuv420p10le", ("-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=0")),
    ("yuv444p12le", ("-c:v", "ffv1")),
])
def test_deep_samples_are_the_ffmpeg_cli_planes_widened(numbered_video, pix_fmt, codec_args):
    path = numbered_video(f"deep-{pix_fmt}.mkv", frames=8, pix_fmt=pix_fmt, codec_args=codec_args)
    depth = int(pix_fmt[7:9])
    deep = load(path, [5], dtype=np.uint16, layout="NHWC")
    planes = ffmpeg_frame(path, 5, f"gbrp{depth}le", (3, 96, 160), np.uint16)
    assert np.array_equal(deep[0], widened(planes[[2, 0, 1]], depth).transpose(1, 2, 0))


def test_streams_take_the_options(shared_videos):
    path = next(p for p in shared_videos if p.name.startswith("hevc_10bit_iphone_rot90"))
    options = dict(apply_rotation=True, layout="NHWC", dtype=np.uint16)
    with Video(io.BytesIO(path.read_bytes()), threads=2) as video:
        # The stream's own options, not the video's; the size is the turned one.
        with video.stream([3, 0, 2], chunk=2, **options) as chunks:
            streamed = np.concatenate(list(chunks))
        assert video.size == (720, 1280) and streamed.shape == (3, 1280, 720, 3)
    assert np.array_equal(streamed, load(path, [3, 0, 2], **options))


def test_a_video_in_memory_leaves_nothing_behind(numbered_video, leak_check):
    path = numbered_video("memory.mp4", frames=30)
    data = path.read_bytes()
    expected = load(path, [4, 20])
    with open(path, "rb") as file, Video(file) as video:
        assert video.name == str(path) and video.path.startswith("/proc/self/fd/")
        assert np.array_equal(video.get_batch([4, 20]), expected)
        with video.stream([4, 20]) as chunks:
            assert np.array_equal(np.concatenate(list(chunks)), expected)
        # Carried to another process as its bytes, into a memory file of its own.
        copy = pickle.loads(pickle.dumps(sources.open_source(bytearray(data))))
        assert np.array_equal(load(copy, [4, 20]), expected)
        copy.close()
    with pytest.raises(ValueError, match=r"^Could not open <bytes of 21>: "):
        Video(b"not a video at all...")
    # The loader's own messages name the bytes too, not their memory file.
    with Video(memoryview(data), timeout=1e-6) as video, pytest.raises(TimeoutError) as failure:
        video.get_batch(list(range(len(video))))
    assert f"<bytes of {len(data)}>" in str(failure.value) and "/proc/" not in str(failure.value)


def test_the_command_line_takes_the_options(shared_videos, tmp_path, capsys):
    from lorvex.cli.main import main

    path = next(p for p in shared_videos if p.name.startswith("h264_phone_vfr_rot180"))
    out, sheet = tmp_path / "frames.npy", tmp_path / "sheet.png"
    assert main([str(path), "--frames", "0,5", "--size", "36x64", "--layout", "nhwc",
                 "--dtype", "uint16", "--rotate", "--out", str(out), "--sheet", str(sheet)]) == 0
    assert "array (2, 36, 64, 3) uint16" in capsys.readouterr().out and sheet.exists()
    assert np.array_equal(np.load(out), load(path, [0, 5], size=(36, 64), layout="NHWC",
                                             dtype=np.uint16, apply_rotation=True))
