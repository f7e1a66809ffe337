"""lorvex.Video: frames by number, slice, sequence and time, read back from the frames' own
barcodes; times against the frame table; streams that always end their load."""
import io
import json
import os
import subprocess
from bisect import bisect_right
from fractions import Fraction
from time import monotonic, sleep
from pathlib import Path

import numpy as np
import pytest

import lorvex
from conftest import frame_numbers, warm_decoders
from lorvex import container, tandry

COUNT = 48
SAMPLE = Path(lorvex.__file__).parent / "data" / "sample.mp4"


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    # Short groups of pictures with B-frames: most loads cross keyframes and reorder.
    from conftest import make_numbered_video
    return make_numbered_video(tmp_path_factory.mktemp("video") / "clip.mp4", frames=COUNT,
                               extra_args=("-g", "10", "-bf", "2"))


@pytest.fixture
def video(clip):
    with lorvex.Video(clip, (48, 80), threads=2) as opened:
        yield opened


class RecordingSession:
    """A video's engine session that notes each load it starts."""

    def __init__(self, session):
        self.session = session
        self.calls = []

    def load(self, *args, **kwargs):
        self.calls.append("load")
        return self.session.load(*args, **kwargs)

    def stream(self, *args, **kwargs):
        self.calls.append("stream")
        return self.session.stream(*args, **kwargs)

    def close(self):
        self.session.close()


def only_warm_decoders_left(video, seconds=3):
    """Once a load has ended early, the decoders still working for it end: what stays is at
    most the video's warm decoders, one per thread."""
    deadline = monotonic() + seconds
    while len(warm_decoders()) > video.threads and monotonic() < deadline:
        sleep(0.02)
    return len(warm_decoders()) <= video.threads


def table_of(path):
    stream = container.open(str(path)).streams.video[0]
    return stream.frame_timestamps, stream.time_base


class TestFrameNumbers:
    def test_single_frames_and_negative_numbers(self, video):
        for number in (0, 1, 9, 10, 47, -1, -2, -48):
            frame = video[number]
            assert frame.shape == (3, 48, 80) and frame.dtype == np.uint8
            assert frame_numbers(frame[None]) == [number % COUNT]
        assert len(video) == COUNT

    @pytest.mark.parametrize("selection", [
        slice(None), slice(5, 15), slice(None, None, 7), slice(-5, None), slice(None, -40),
        slice(None, None, -1), slice(40, 3, -9), slice(-100, 100, 11), slice(10, 10),
        slice(30, 10), slice(np.int64(2), np.int32(9), np.int8(3))])
    def test_slices_select_what_a_list_would(self, video, selection):
        frames = video[selection]
        expected = list(range(COUNT))[selection]
        assert frames.shape == (len(expected), 3, 48, 80)
        assert frame_numbers(frames) == expected

    @pytest.mark.parametrize("indices", [
        [3, 1, 2], (0, 47), range(40, 48), range(47, 0, -12), np.array([5, -1, 5, 0]),
        np.array([2, 9], dtype=np.uint8), np.array([-3], dtype=np.int16), [np.int64(4), 4, -44],
        [], np.array([], dtype=np.int64), []])
    def test_batches_in_the_order_asked_repeats_included(self, video, indices):
        frames = video.get_batch(indices)
        expected = [int(i) % COUNT for i in indices]
        assert frames.shape == (len(expected), 3, 48, 80)
        assert frame_numbers(frames) == expected

    def test_batch_pixels_are_the_loaders_own(self, video, clip):
        reader = tandry.VideoReader(str(clip), 48, 80, num_threads=2)
        expected = reader.get_batch([1, 20, 33])
        assert np.array_equal(video.get_batch([33, 1, 20, 33]), expected[[2, 0, 1, 2]])

    @pytest.mark.parametrize("key, error, message", [
        (48, IndexError, "index: frame 48 is out of range for a video of 48 frames "
                         "(allowed -48 to 47)"),
        (-49, IndexError, "index: frame -49 is out of range for a video of 48 frames "
                          "(allowed -48 to 47)"),
        (True, TypeError, "index: expected an integer frame number, got bool True"),
        (1.0, TypeError, "index: expected an integer frame number, got float 1.0"),
        ("3", TypeError, "index: expected an integer frame number, got str '3'"),
        ([1, 2], TypeError, "index: expected an integer or a slice, got list; "
                            "get_batch(indices) takes a sequence of frame numbers"),
        (slice(0, 5, 0), ValueError, "slice step: must not be zero"),
        (slice(0.5, 2), TypeError, "slice start: expected an integer or None, got float 0.5"),
    ])
    def test_bad_keys(self, video, key, error, message):
        with pytest.raises(error) as info:
            video[key]
        assert str(info.value) == message

    @pytest.mark.parametrize("indices, error, message", [
        ([0, 48], IndexError, "indices: frame 48 is out of range for a video of 48 frames "
                              "(allowed -48 to 47)"),
        (np.array([2**64 - 1], dtype=np.uint64), IndexError,
         "indices: frame 18446744073709551615 is out of range for a video of 48 frames "
         "(allowed -48 to 47)"),
        ([2**70], IndexError, f"indices: frame {2**70} is out of range for a video of 48 frames "
                              "(allowed -48 to 47)"),
        ([1, 2.0], TypeError, "indices: expected integer frame numbers, got float 2.0"),
        ([False], TypeError, "indices: expected integer frame numbers, got bool False"),
        (np.array([1.0]), TypeError, "indices: expected integer frame numbers, got an array of "
                                     "float64"),
        (np.array([True]), TypeError, "indices: expected integer frame numbers, got an array of "
                                      "bool"),
        (np.zeros((2, 2), dtype=int), TypeError, "indices: expected integer frame numbers, got "
                                                 "an array of 2 dimensions"),
        (5, TypeError, "indices: expected a sequence of frame numbers (a list, tuple, range or "
                       "one-dimensional numpy array), got int"),
        ("12", TypeError, "indices: expected a sequence of frame numbers (a list, tuple, range "
                          "or one-dimensional numpy array), got str"),
        ({1, 2}, TypeError, "indices: expected a sequence of frame numbers (a list, tuple, range "
                            "or one-dimensional numpy array), got set"),
    ])
    def test_bad_batches(self, video, indices, error, message):
        with pytest.raises(error) as info:
            video.get_batch(indices)
        assert str(info.value) == message


class TestOptions:
    def test_path_like_sources(self, clip):
        # bytes are the video itself, not its name (test_frame_options.py)
        for source in (clip, str(clip)):
            with lorvex.Video(source, threads=1) as video:
                assert video.path == video.name == str(clip)
                assert frame_numbers(video[[3, 4][0]][None]) == [3]

    def test_size_interpolation_and_threads(self, clip):
        with lorvex.Video(clip, (20, 36), threads=3, interpolation="Lanczos") as video:
            assert (video.size, video.threads, video.interpolation) == ((20, 36), 3, "LANCZOS")
            reader = tandry.VideoReader(str(clip), 20, 36, num_threads=3)
            reader.interpolation = "LANCZOS"
            assert np.array_equal(video[0:5], reader.get_batch(list(range(5))))
            reader.interpolation = "NEAREST"
            assert not np.array_equal(video[0:5], reader.get_batch(list(range(5))))
        with lorvex.Video(clip) as video:
            assert video.size == (96, 160) and video.interpolation == "BILINEAR"
            assert video.threads == len(os.sched_getaffinity(0))

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(path=3), TypeError, "source: expected a path (str or path-like), bytes, "
                                  "bytearray, memoryview or a binary file object, got int"),
        (dict(path=b""), ValueError,
         "source: the video has no bytes (an empty bytes object or file)"),
        (dict(path=io.StringIO("x")), TypeError,
         "source: the file object gave str, not bytes; open the file in binary mode ('rb')"),
        (dict(layout=None), TypeError, 'layout: expected "NCHW" or "NHWC", got NoneType'),
        (dict(layout="CHW"), ValueError, 'layout: unknown layout \'CHW\' (allowed: "NCHW", '
                                         'planes (3, height, width), or "NHWC", pixels '
                                         '(height, width, 3))'),
        (dict(dtype=np.float32), ValueError,
         "dtype: expected numpy.uint8 or numpy.uint16, got <class 'numpy.float32'>"),
        (dict(dtype="u16"), ValueError, "dtype: expected numpy.uint8 or numpy.uint16, got 'u16'"),
        (dict(dtype=16), TypeError, "dtype: expected numpy.uint8 or numpy.uint16, got int 16"),
        (dict(apply_rotation=1), TypeError, "apply_rotation: expected True or False, got int 1"),
        (dict(size=(0, 10)), ValueError, "size: expected (height, width), two positive integers, "
                                         "or None for the video's own size; got (0, 10)"),
        (dict(size=224), TypeError, "size: expected (height, width), two positive integers, or "
                                    "None for the video's own size; got int 224"),
        (dict(size=(True, 4)), TypeError, "size: expected (height, width), two positive "
                                          "integers, or None for the video's own size; got "
                                          "tuple (True, 4)"),
        (dict(threads=0), ValueError, "threads: expected a positive integer, got 0"),
        (dict(threads=2.0), TypeError, "threads: expected a positive integer, got float 2.0"),
        (dict(interpolation="cubic"), ValueError,
         "interpolation: unknown name 'cubic' (allowed: BILINEAR, NEAREST, BICUBIC, AREA, "
         "LANCZOS, in any case)"),
    ])
    def test_bad_options(self, clip, kwargs, error, message):
        arguments = dict(path=clip) | kwargs
        with pytest.raises(error) as info:
            lorvex.Video(arguments.pop("path"), **arguments)
        assert str(info.value) == message

    def test_files_that_are_no_video(self, tmp_path):
        with pytest.raises(FileNotFoundError):
            lorvex.Video(tmp_path / "missing.mp4")
        text = tmp_path / "notes.mp4"
        text.write_text("not a video")
        with pytest.raises(ValueError, match="Could not open .*notes.mp4: Invalid data"):
            lorvex.Video(text)
        audio = tmp_path / "tone.m4a"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.3", "-c:a", "aac",
                        str(audio)], check=True)
        with pytest.raises(ValueError) as info:
            lorvex.Video(audio)
        assert str(info.value) == f"{audio}: the file has no video stream"

    def test_closed_video(self, clip):
        video = lorvex.Video(clip, threads=1)
        video.close()
        with pytest.raises(ValueError) as info:
            video[0]
        assert str(info.value) == f"{clip}: the video is closed"
        assert repr(video).endswith("closed>")


def variable_rate_clip(numbered_video, tmp_path):
    """A clip whose frames are not evenly spaced: 0.5 s of nothing after frame 23."""
    even = numbered_video("even.mp4", frames=COUNT, extra_args=("-g", "12", "-bf", "0"))
    uneven = tmp_path / "uneven.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-i", str(even), "-c", "copy", "-bsf:v",
                    "setts=ts='TS+if(gte(N,24),6400,0)'", str(uneven)], check=True)
    return uneven


class TestTimes:
    @pytest.fixture(params=["even", "uneven"])
    def timed_clip(self, request, clip, numbered_video, tmp_path):
        return clip if request.param == "even" else variable_rate_clip(numbered_video, tmp_path)

    def test_timestamps_come_from_the_frame_table(self, timed_clip):
        table, time_base = table_of(timed_clip)
        with lorvex.Video(timed_clip, (24, 40), threads=2) as video:
            seconds = video.timestamps
            assert seconds.dtype == np.float64 and len(seconds) == len(table) == len(video)
            assert seconds.tolist() == [float((t - table[0]) * time_base) for t in table]
            assert (np.diff(seconds) > 0).all() and not seconds.flags.writeable

    def test_the_frame_on_screen_at_each_time(self, timed_clip):
        table, time_base = table_of(timed_clip)
        # A time is a double; so is each frame's start, the one nearest to its exact time.
        starts = [float((t - table[0]) * time_base) for t in table]
        with lorvex.Video(timed_clip, (24, 40), threads=2) as video:
            end = video.metadata.duration
            times = [0.0, *starts, (starts[5] + starts[6]) / 2, starts[24] - 1e-9,
                     starts[-1] + 1e-3, np.nextafter(end, 0)]
            expected = [bisect_right(starts, t) - 1 for t in times]
            assert expected[1:len(starts) + 1] == list(range(len(starts)))
            frames = video.get_frames_at(np.array(times))
            assert np.array_equal(frames, video.get_batch(expected))
            assert video.get_frames_at(()).shape == (0, 3, 24, 40)

    def test_frames_in_a_range_of_time(self, timed_clip):
        table, time_base = table_of(timed_clip)
        starts = [float((t - table[0]) * time_base) for t in table]
        with lorvex.Video(timed_clip, (24, 40), threads=2) as video:
            end = video.metadata.duration
            ends = starts[1:] + [end]  # a frame stays on screen until the next one starts
            spans = [(0.0, end), (0.0, 0.0), (end, end), (starts[7] + 0.01,) * 2,
                     (starts[5], starts[9]), (starts[5] + 1e-3, starts[9] - 1e-3),
                     (starts[23] + 0.1, starts[23] + 0.2), (starts[-1], end), (0.0, starts[1]),
                     (starts[10], np.nextafter(starts[11], 0)),
                     (np.nextafter(starts[30], 0), starts[30])]
            for start, stop in spans:
                shown = video.frames_in_range(start, stop)
                expected = [i for i, (a, b) in enumerate(zip(starts, ends))
                            if a < stop and b > start and start < stop]
                assert shown.numbers.tolist() == expected, (start, stop)
                assert frame_numbers(shown.frames) == expected
                assert shown.seconds.tolist() == [starts[i] for i in expected]
            assert np.array_equal(shown.frames, video.get_batch(expected))
            for start, stop, fps in [(0.0, end, 10), (starts[22], starts[26], 60), (0.5, 0.5, 5),
                                     (0.01, 0.3, 7.5), (starts[-1], end, 1000)]:
                sampled = video.frames_in_range(start, stop, fps=fps)
                times = [start + k / fps for k in range(round((stop - start) * fps) + 2)]
                expected = [bisect_right(starts, t) - 1 for t in times if t < stop]
                assert sampled.numbers.tolist() == expected, (start, stop, fps)
                assert frame_numbers(sampled.frames) == expected
                assert sampled.seconds.tolist() == [starts[i] for i in expected]

    def test_times_outside_the_video(self, video):
        end = video.metadata.duration
        assert end == pytest.approx(COUNT / 25)
        for time in (-0.001, end, 1e9):
            with pytest.raises(ValueError) as info:
                video.get_frames_at([0.5, time])
            assert str(info.value) == (f"seconds: {float(time)!r} is outside the video (times "
                                       f"run from 0 to {end!r} s, the end excluded)")
        with pytest.raises(ValueError, match="seconds: nan is not a time"):
            video.get_frames_at([float("nan")])
        with pytest.raises(TypeError, match=r"seconds: expected a sequence of times in seconds"):
            video.get_frames_at(1.5)
        with pytest.raises(TypeError, match=r"seconds: expected times in seconds \(numbers\), "
                                            r"got str '1'"):
            video.get_frames_at(["1"])


def ffprobe_stream(path):
    return json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_streams", "-of", "json",
         str(path)], check=True, capture_output=True, text=True).stdout)["streams"][0]


class TestMetadata:
    def test_the_bundled_sample(self):
        with lorvex.Video(SAMPLE, threads=1) as video:
            metadata = video.metadata
        probe = ffprobe_stream(SAMPLE)
        assert (metadata.codec, metadata.width, metadata.height) == ("h264", 320, 240)
        assert metadata.frames == int(probe["nb_frames"]) == 250
        assert metadata.frame_rate == Fraction(probe["avg_frame_rate"]) == 25
        assert metadata.duration == float(probe["duration"]) == 10.0
        assert (metadata.first_timestamp, metadata.last_timestamp) == (0.0, 9.96)
        assert metadata.keyframes == (0, 50, 100, 150, 200)
        assert metadata.keyframe_spacing() == (50, 50)
        assert (metadata.rotation, metadata.pixel_format, metadata.bit_depth) == (0, "yuv420p", 8)
        assert json.loads(json.dumps(metadata.to_dict()))["time_base"] == "1/12800"

    @pytest.mark.parametrize("name", ["hevc_10bit_iphone_rot90_1280x720_aac.mov",
                                      "h264_phone_vfr_rot180_1920x1080.mp4",
                                      "h264_fragmented_rot90_1920x1080_aac.mp4",
                                      "prores422_10bit_interlaced_720x576_pcm.mov",
                                      "vp9_odd_161x121.webm"])
    def test_rotation_and_pixel_format_against_ffprobe(self, shared_videos, name):
        path = next((p for p in shared_videos if p.name == name), None)
        if path is None:
            pytest.skip(f"{name} is not among the shared videos")
        probe = ffprobe_stream(path)
        rotation = next((int(side["rotation"]) for side in probe.get("side_data_list", [])
                         if "rotation" in side), 0)
        from lorvex import container
        pixel_format, bit_depth, clockwise = container._picture_format(path)
        assert clockwise == -rotation % 360
        assert pixel_format == probe["pix_fmt"]
        assert bit_depth == (10 if "10" in pixel_format else 8)


class TestStreams:
    def test_every_frame_in_chunks(self, video, leak_check):
        with video.stream(range(len(video)), chunk=7) as frames:
            assert len(frames) == COUNT
            chunks = list(frames)
        assert [len(chunk) for chunk in chunks] == [7] * 6 + [6]
        assert frame_numbers(np.concatenate(chunks)) == list(range(COUNT))

    def test_any_order_with_repeats(self, video, leak_check):
        wanted = [30, 2, 2, -1, 11, 0]
        with video.stream(np.array(wanted), chunk=4) as frames:
            chunks = list(frames)
        assert [len(chunk) for chunk in chunks] == [4, 2]
        assert frame_numbers(np.concatenate(chunks)) == [n % COUNT for n in wanted]
        assert np.array_equal(np.concatenate(chunks), video.get_batch(wanted))

    def test_leaving_early_ends_the_load(self, video, leak_check):
        with video.stream(chunk=1) as frames:
            for _ in frames:
                break
        assert only_warm_decoders_left(video)
        with pytest.raises(KeyError):
            with video.stream(range(10, 40), chunk=5) as frames:
                next(iter(frames))
                raise KeyError("the caller's own error")
        assert only_warm_decoders_left(video)

    def test_without_with(self, video, leak_check):
        frames = video.stream([5, 6, 7], chunk=2)
        assert frame_numbers(np.concatenate(list(frames))) == [5, 6, 7]
        with pytest.raises(ValueError, match="this stream has ended"):
            iter(frames)
        abandoned = video.stream(chunk=3)
        next(iter(abandoned))
        del abandoned  # collected: its load ends with it
        assert only_warm_decoders_left(video)

    def test_streams_one_after_another_and_side_by_side(self, video, leak_check):
        for _ in range(2):
            with video.stream([1, 2]) as frames:
                assert frame_numbers(next(iter(frames))) == [1, 2]
        with video.stream([3]) as first, video.stream([4]) as second:
            assert frame_numbers(next(iter(second))) == [4]
            assert frame_numbers(next(iter(first))) == [3]

    def test_closing_the_video_ends_its_streams(self, clip, leak_check):
        video = lorvex.Video(clip, (24, 40), threads=2)
        frames = video.stream().__enter__()
        next(iter(frames))
        video.close()
        with pytest.raises(ValueError, match="this stream has ended"):
            iter(frames)

    def test_iterating_the_video_is_one_stream(self, video, leak_check, monkeypatch):
        expected = video[:]
        session = RecordingSession(video._session)
        monkeypatch.setattr(video, "_session", session)
        frames = [frame for frame in video]
        assert session.calls == ["stream"]
        assert all(frame.shape == (3, 48, 80) for frame in frames)
        assert np.array_equal(np.stack(frames), expected)
        assert frame_numbers(np.stack(frames)) == list(range(COUNT))

        for number, frame in enumerate(video):
            if frame_numbers(frame[None]) != [number] or number == 40:  # beyond the first chunk
                break
        assert only_warm_decoders_left(video)
        assert number == 40
        with pytest.raises(KeyError):
            for _ in video:
                raise KeyError("the caller's own error")
        assert only_warm_decoders_left(video)
        frames = iter(video)
        assert frame_numbers(next(frames)[None]) == [0]
        del frames
        assert only_warm_decoders_left(video)
        assert session.calls == ["stream"] * 4

    def test_nothing_to_stream_and_bad_chunks(self, video, leak_check, monkeypatch):
        session = RecordingSession(video._session)
        monkeypatch.setattr(video, "_session", session)
        with video.stream([]) as frames:
            assert list(frames) == []
        assert session.calls == []
        for chunk, error in ((0, ValueError), (-3, ValueError), (2.5, TypeError),
                             (True, TypeError)):
            with pytest.raises(error) as info:
                video.stream(chunk=chunk)
            assert str(info.value).startswith("chunk: expected a positive integer, got ")
