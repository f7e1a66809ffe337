"""VideoReader: its attributes, what get_batch hands to tandry_load, and end to end with
the real worker program: exactly the frames asked for, across codecs and containers."""
import random

import numpy as np
import pytest

import lorvex.tandry as tandry
from conftest import frame_numbers, worker_program

RECORD = {"kf": [0], "start": 0, "end": 1000, "num_frames": 101, "height": 48, "width": 64,
          "fps": 25.0}


class TestAttributes:
    def test_size_from_the_record_unless_given(self, monkeypatch):
        probed = []
        monkeypatch.setattr(tandry, "get_stats", lambda path: probed.append(path) or RECORD)
        reader = tandry.VideoReader("clip.mp4")
        assert (reader.height, reader.width, reader.num_threads) == (48, 64, 4)
        assert reader.interpolation == "BILINEAR" and reader.video_metadata is RECORD
        assert len(reader) == reader.framecount() == 101 and reader.get_fps() == 25.0
        sized = tandry.VideoReader("clip.mp4", 10, -2, num_threads=7)
        assert (sized.height, sized.width, sized.num_threads) == (10, 64, 7)
        assert probed == ["clip.mp4", "clip.mp4"]

    def test_get_batch_hands_over_the_current_attributes(self, monkeypatch):
        monkeypatch.setattr(tandry, "get_stats", lambda path: RECORD)
        calls = []
        monkeypatch.setattr(tandry, "tandry_load", lambda *args, **kw: calls.append((args, kw))
                            or "loaded")
        reader = tandry.VideoReader("clip.mp4", 12, 16, 3)
        reader.interpolation = "AREA"
        indices = [4, 2]
        assert reader.get_batch(indices) == "loaded"
        assert calls == [(("clip.mp4", indices, 12, 16, 3, RECORD, "AREA"), {})]
        assert calls[0][0][1] is indices and calls[0][0][5] is RECORD

    def test_missing_size_in_the_record(self, monkeypatch):
        monkeypatch.setattr(tandry, "get_stats", lambda path: {"height": 5})
        with pytest.raises(KeyError, match="width"):
            tandry.VideoReader("clip.mp4")


needs_workers = pytest.mark.skipif(worker_program("lorvex") is None,
                                   reason="the worker programs are not installed")

X264 = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "12")
VIDEOS = {
    "h264 short gop": ("a.mp4", dict(frames=60, extra_args=("-g", "5", "-bf", "3"))),
    "h264 long gop": ("b.mp4", dict(frames=120, extra_args=("-g", "300", "-bf", "2"))),
    "h264 open gop": ("c.mkv", dict(frames=80, extra_args=(
        "-bf", "3", "-x264-params", "open-gop=1:keyint=20:min-keyint=20:scenecut=0"))),
    "vp9 webm": ("d.webm", dict(frames=50, codec_args=(
        "-c:v", "libvpx-vp9", "-crf", "20", "-b:v", "0", "-deadline", "realtime",
        "-cpu-used", "8", "-g", "16"))),
    "mpeg-4 avi": ("e.avi", dict(frames=50, codec_args=("-c:v", "mpeg4", "-q:v", "2",
                                                        "-g", "12"))),
    "mjpeg": ("f.avi", dict(frames=40, codec_args=("-c:v", "mjpeg", "-q:v", "2"),
                            pix_fmt="yuvj420p")),
    "mpeg-ts offset": ("g.ts", dict(frames=60, extra_args=("-g", "10", "-bf", "2",
                                                           "-output_ts_offset", "10"))),
    "audio track": ("h.mp4", dict(frames=50, audio=True, extra_args=("-g", "10"))),
    "odd size": ("i.mp4", dict(frames=40, width=161, height=97, pix_fmt="yuv444p",
                               extra_args=("-g", "8"))),
    "10-bit": ("j.mp4", dict(frames=40, pix_fmt="yuv420p10le", extra_args=("-g", "8"))),
    "one frame": ("k.mp4", dict(frames=1)),
}


@pytest.fixture(params=sorted(VIDEOS))
def video(request, numbered_video):
    name, kwargs = VIDEOS[request.param]
    return str(numbered_video(name, **kwargs)), kwargs["frames"]


@needs_workers
class TestEndToEnd:
    def test_every_frame_and_random_batches(self, video, leak_check):
        path, count = video
        reader = tandry.VideoReader(path, 48, 80, num_threads=3)
        assert reader.framecount() == count
        everything = reader.get_batch(list(range(count)))
        assert everything.shape == (count, 3, 48, 80)
        assert frame_numbers(everything) == list(range(count))
        chance = random.Random(count)
        for threads in (1, 2, 5, 8):
            reader.num_threads = threads
            batch = [chance.randrange(count) for _ in range(min(count, 9))]
            got = reader.get_batch(batch)
            assert frame_numbers(got) == batch
            # Seeking to a later keyframe must not change a pixel.
            np.testing.assert_array_equal(got, everything[batch])

    @pytest.mark.parametrize("threads", [1, 4, 8])
    def test_duplicates_and_any_order(self, numbered_video, leak_check, threads):
        path = str(numbered_video("gop.mp4", frames=90, extra_args=("-g", "12", "-bf", "2")))
        reader = tandry.VideoReader(path, 48, 80, num_threads=threads)
        batch = [89, 0, 45, 45, 12, 89, 13, 0]
        assert frame_numbers(reader.get_batch(batch)) == batch

    def test_default_size_is_the_video_size(self, numbered_video, leak_check):
        path = str(numbered_video("gop.mp4", frames=90, extra_args=("-g", "12", "-bf", "2")))
        reader = tandry.VideoReader(path)
        assert reader.get_batch([5]).shape == (1, 3, 96, 160)

    def test_out_of_range_index(self, numbered_video, leak_check):
        path = str(numbered_video("gop.mp4", frames=90, extra_args=("-g", "12", "-bf", "2")))
        with pytest.raises(IndexError, match="90"):
            tandry.VideoReader(path).get_batch([1, 90])
        assert leak_check == []
