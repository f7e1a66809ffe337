"""Frame i is the i-th picture that a full decode of the first video stream shows, as the
ffmpeg CLI's passthrough decode shows them; the frame count is the number of those pictures.

Held for every shared sample video (and every file of the folder of files others made: raw
streams, packed B-frames, files cut mid-stream), for numbered videos of each kind of file that
breaks the simple reckoning (one picture per packet at a steady rate), and for raw streams
copied out of them, through every way of loading: `VideoReader.get_batch`, `tandry_load`, and
the interleaved reader read with `get_frames` and by iteration, with one worker and with
several; and lorvex.Video's engine, in one load and as a stream, with two decoders. Most
checks run at a small scaled size; the numbered videos and a few small shared files are also
checked at their own size, bit for bit.
"""
import random
import subprocess

import numpy as np
import pytest

import lorvex
import lorvex.container as container
import lorvex.tandry as tandry
import case_videos
from cli_reference import (COLOUR_TOLERANCE, WHOLE_LOAD_TOLERANCE, cli_numbers, cli_pictures,
                           packed_rgb_differences, wrong_rows)
from conftest import EXTRA_VIDEOS, SHARED_VIDEOS, frame_numbers, worker_program

pytestmark = pytest.mark.skipif(
    not (worker_program("lorvex") and worker_program("lorvex_interleaved")),
    reason="the worker programs are not installed")

SCALED = (48, 64)
SPARSE = 8
# (how, num_threads): each way of loading, with one worker and with several; the engine's
# loads with two decoders.
LOADS = [("get_batch", 1), ("tandry_load", 3), ("iteration", 1), ("get_frames", 3),
         ("video", 2), ("stream", 2)]
LOAD_IDS = [f"{how}-{threads}" for how, threads in LOADS]
# Every way at the numbered videos' own (small) size, two of them scaled as well.
SIZED_LOADS = ([(None, how, threads) for how, threads in LOADS]
               + [(SCALED, how, threads) for how, threads in (LOADS[0], LOADS[3], LOADS[4])])
SIZED_IDS = [("own_size-" if size is None else "scaled-") + f"{how}-{threads}"
             for size, how, threads in SIZED_LOADS]
# Small shared files, also checked at their own size: 8-bit 4:2:0 of every common size, 4:4:4,
# full range (JPEG pictures, a phone's video), one narrower than a vector of 16 pixels, 10-bit
# and odd sizes (which take swscale's way).
NATIVE_SHARED = ["ffv1_lossless_320x180.mkv", "h264_bframes_3gop_320x180.flv",
                 "h264_editlist_preroll_640x360_aac.mp4", "mpeg2_in_avi_320x180_mp3.avi",
                 "theora_160x120_vorbis.ogv", "vp9_10bit_426x240.webm",
                 "h264_yuv444_editlist_1fps_704x576.mp4", "mjpeg_3frames_160x120.avi",
                 "h264_slowmo_vfr_1280x720.mp4", "vp8_1frame_8x8.webm", "vp9_odd_161x121.webm"]
# Small files others made, checked at their own size, bit for bit, as well: raw streams of
# field pictures, of fields and frames mixed, of B-frames; packed B-frames; WMV3.
NATIVE_EXTRA = ["HCAFF1_HHI.264", "CAPAMA3_Sand_F.264", "mpeg4_packed_bframes.avi",
                "Cisco_Men_whisper_640x320_CABAC_Bframe_9.264", "wmv3_SMM0005.rcv"]


def load(path, indices, size, how, threads):
    """The rows for `indices` (None: every frame) at `size` (None: the video's own size)."""
    if how in ("video", "stream"):
        with lorvex.Video(path, size, threads=threads) as video:
            numbers = list(range(len(video)) if indices is None else indices)
            if how == "video":
                return video.get_batch(numbers)
            with video.stream(numbers, chunk=5) as chunks:
                return np.concatenate(list(chunks))
    record = tandry.get_stats(path)
    # tandry_load needs the size spelt out; the readers take 0 for the video's own.
    height, width = size or ((record["height"], record["width"]) if how == "tandry_load"
                             else (0, 0))
    if how == "tandry_load":
        return tandry.tandry_load(path, None if indices is None else list(indices), height,
                                  width, threads)
    if indices is None:
        indices = range(record["num_frames"])
    if how == "get_batch":
        return tandry.VideoReader(path, height, width, num_threads=threads).get_batch(
            list(indices))
    reader = tandry.InterleavedVideoReader(path, height, width, num_threads=threads)
    try:
        reader.process(list(indices))
        if how == "get_frames":
            return reader.get_frames(0, None)
        assert how == "iteration"
        reader.frame_iter = 5
        return np.concatenate(list(reader))
    finally:
        reader.__del__()


def sparse_indices(path):
    """A fixed random choice of distinct pictures, in no order."""
    count = len(cli_pictures(path, SCALED))
    return random.Random(str(path).rsplit("/", 1)[-1]).sample(range(count), min(SPARSE, count))


def assert_rows_are_pictures(rows, path, indices, size, numbered=False):
    """Row k holds the CLI's picture indices[k]: bit for bit at the video's own size, within
    the colour tolerance (and nearest) when scaled; by barcode too for numbered videos."""
    expected = cli_pictures(path, size)
    indices = list(range(len(expected)) if indices is None else indices)
    assert rows.shape[1:] == expected.shape[1:], "rows of the wrong size"
    problems = []
    if len(rows) != len(indices):
        problems.append(f"{len(rows)} rows for {len(indices)} pictures")
    shown = min(len(rows), len(indices))
    wrong = wrong_rows(rows[:shown], path, indices[:shown], size, exact=size is None)
    if wrong:
        problems.append(f"{len(wrong)} of {shown} rows wrong: " + "; ".join(wrong[:4]))
    if numbered:
        numbers = cli_numbers(path, size)
        got = frame_numbers(rows[:shown])
        misplaced = [k for k in range(shown) if got[k] != numbers[indices[k]]]
        if misplaced:
            k = misplaced[0]
            problems.append(f"{len(misplaced)} barcodes misplaced, first row {k}: number "
                            f"{got[k]} instead of {numbers[indices[k]]}")
    assert not problems, f"{path}: " + ", ".join(problems)


def assert_count(path):
    shown = len(cli_pictures(path, SCALED))
    assert tandry.get_stats(path)["num_frames"] == shown, f"{path}: the CLI shows {shown}"
    assert len(tandry.VideoReader(path, *SCALED)) == shown


def assert_near_packed_rgb(path):
    rows = load(path, None, None, "get_batch", 3)
    shown = min(len(rows), len(cli_pictures(path)))
    whole, worst = packed_rgb_differences(rows[:shown], path, range(shown))
    assert whole < WHOLE_LOAD_TOLERANCE and worst < COLOUR_TOLERANCE, (whole, worst)


# --- the shared sample videos ----------------------------------------------------------------

def shared_files():
    """Every shared sample video and every file others made, by name."""
    return {p.name: p for folder in (SHARED_VIDEOS, EXTRA_VIDEOS) if folder.is_dir()
            for p in folder.iterdir() if p.suffix != ".tsv"}


@pytest.fixture(params=sorted(shared_files()))
def shared(request, shared_videos):
    return str(shared_files()[request.param])


@pytest.fixture(params=[n for n in NATIVE_SHARED + NATIVE_EXTRA if n in shared_files()])
def small_shared(request, shared_videos):
    return str(shared_files()[request.param])


@pytest.fixture(params=sorted(p.name for p in shared_files().values()
                              if p.parent == EXTRA_VIDEOS))
def extra(request, shared_videos):
    return str(EXTRA_VIDEOS / request.param)


# The colours of packed RGB: NATIVE_SHARED covers every pixel format and size it tells apart.
@pytest.fixture(params=[n for n in NATIVE_SHARED if n in shared_files()])
def colour_shared(request, shared_videos):
    return str(shared_files()[request.param])


class TestSharedVideos:
    def test_count_is_the_pictures_shown(self, shared):
        assert_count(shared)

    @pytest.mark.parametrize("how, threads", LOADS, ids=LOAD_IDS)
    def test_full_load(self, shared, how, threads, leak_check):
        rows = load(shared, None, SCALED, how, threads)
        assert_rows_are_pictures(rows, shared, None, SCALED)

    @pytest.mark.parametrize("how, threads", LOADS, ids=LOAD_IDS)
    def test_sparse_load(self, shared, how, threads, leak_check):
        indices = sparse_indices(shared)
        rows = load(shared, indices, SCALED, how, threads)
        assert_rows_are_pictures(rows, shared, indices, SCALED)

    def test_frames_one_at_a_time(self, shared, leak_check):
        """Each frame a load of its own on a video kept open: a decoder that goes on from the
        last frame, or seeks and is drained after its target (the last frame of a file among
        them)."""
        count = len(cli_pictures(shared, SCALED))
        indices = sparse_indices(shared) + [count - 1, 0, count - 1]
        with lorvex.Video(shared, size=SCALED, threads=1) as video:
            rows = np.stack([video[i] for i in indices])
        assert_rows_are_pictures(rows, shared, indices, SCALED)

    @pytest.mark.parametrize("how, threads", LOADS, ids=LOAD_IDS)
    def test_own_size(self, small_shared, how, threads, leak_check):
        full = how in ("get_batch", "iteration", "stream")
        indices = None if full else sparse_indices(small_shared)
        rows = load(small_shared, indices, None, how, threads)
        assert_rows_are_pictures(rows, small_shared, indices, None)

    def test_own_size_near_packed_rgb(self, colour_shared):
        assert_near_packed_rgb(colour_shared)

    def test_video_its_iteration_and_streams(self, extra, leak_check):
        indices = sparse_indices(extra)
        with lorvex.Video(extra, size=SCALED, threads=3) as video:
            assert len(video) == len(cli_pictures(extra, SCALED))
            assert_rows_are_pictures(video[:], extra, None, SCALED)
            assert_rows_are_pictures(np.stack(list(video)), extra, None, SCALED)
            with video.stream(indices, chunk=3) as chunks:
                assert_rows_are_pictures(np.concatenate(list(chunks)), extra, indices, SCALED)
        # Given as bytes, which the probe and the workers read from memory.
        with open(extra, "rb") as file, lorvex.Video(file.read(), size=SCALED) as video:
            assert_rows_are_pictures(video.get_batch(indices), extra, indices, SCALED)


# --- numbered videos of each kind ------------------------------------------------------------

@pytest.fixture(scope="session")
def made(tmp_path_factory):
    """made(recipe name) -> path of that case video, made once per session."""
    paths = {}

    def make(name):
        if name not in paths:
            directory = tmp_path_factory.mktemp(name)
            paths[name] = str(case_videos.RECIPES[name](directory))
        return paths[name]

    return make


@pytest.fixture(params=sorted(case_videos.RECIPES))
def case(request, made):
    return made(request.param)


class TestKindsOfFile:
    def test_count_is_the_pictures_shown(self, case):
        numbers = cli_numbers(case, SCALED)
        # The barcodes survive the recipe: fields repeat their frame's number, nothing else
        # does, and nothing goes backwards.
        assert numbers == sorted(numbers) and len(set(numbers)) >= len(numbers) // 2, numbers
        assert_count(case)

    @pytest.mark.parametrize("size, how, threads", SIZED_LOADS, ids=SIZED_IDS)
    def test_full_load(self, case, size, how, threads, leak_check):
        rows = load(case, None, size, how, threads)
        assert_rows_are_pictures(rows, case, None, size, numbered=True)

    @pytest.mark.parametrize("size, how, threads", SIZED_LOADS, ids=SIZED_IDS)
    def test_sparse_load(self, case, size, how, threads, leak_check):
        indices = sparse_indices(case)
        rows = load(case, indices, size, how, threads)
        assert_rows_are_pictures(rows, case, indices, size, numbered=True)

    def test_near_packed_rgb(self, case):
        assert_near_packed_rgb(case)


# --- raw streams copied out of the corpus ---------------------------------------------------

# Streams that a raw copy keeps whole (no edit list to apply): B-frame pyramids over several
# groups, HEVC, open groups, interlaced frames and HEVC field pictures.
RAW_SOURCES = ["h264_pyramid_bframes_4gop_800x640.mp4", "hevc_bframes_854x480.mp4",
               "open_gop_h264_mp4", "interlaced_h264_mp4", "fields_hevc_mkv"]


@pytest.fixture(scope="session", params=RAW_SOURCES)
def raw_copy(request, made, tmp_path_factory):
    """(source, its first video stream as a raw elementary stream, whether it is numbered)."""
    numbered = request.param in case_videos.RECIPES
    if numbered:
        source = made(request.param)
    elif request.param in shared_files():
        source = str(shared_files()[request.param])
    else:
        pytest.skip("no shared sample videos on this machine")
    codec = case_videos.ffprobe(source, "stream=codec_name")["streams"][0]["codec_name"]
    raw = tmp_path_factory.mktemp("raw") / f"raw.{codec}"
    subprocess.run(["ffmpeg", "-v", "error", "-i", source, "-map", "0:v:0", "-c", "copy",
                    "-bsf:v", f"{codec}_mp4toannexb", "-f", codec, str(raw)], check=True)
    return source, str(raw), numbered


def keyframe_numbers(path):
    """The frames the planner may split a load at."""
    kf = set(tandry.get_stats(path)["kf"])
    return [i for i, t in enumerate(container.open(path).streams.video[0].frame_timestamps)
            if t in kf]


class TestRawStreams:
    def test_numbered_by_their_decode_with_the_sources_keyframes(self, raw_copy):
        source, raw, _ = raw_copy
        assert container.open(raw).streams.video[0].has_timestamps is False
        assert container.open(source).streams.video[0].has_timestamps is True
        assert_count(raw)
        assert len(cli_pictures(raw, SCALED)) == len(cli_pictures(source, SCALED))
        # Every packet carries its picture's time, so the record spans the frames.
        record = tandry.get_stats(raw)
        times = container.open(raw).streams.video[0].frame_timestamps
        assert (record["start"], record["end"]) == (times[0], times[-1])
        assert keyframe_numbers(raw) == keyframe_numbers(source)

    @pytest.mark.parametrize("how, threads", LOADS, ids=LOAD_IDS)
    def test_same_frames_as_the_source(self, raw_copy, how, threads, leak_check):
        source, raw, numbered = raw_copy
        rows = load(raw, None, SCALED, how, threads)
        assert_rows_are_pictures(rows, source, None, SCALED, numbered=numbered)
        indices = sparse_indices(source)
        rows = load(raw, indices, SCALED, how, threads)
        assert_rows_are_pictures(rows, source, indices, SCALED, numbered=numbered)


@pytest.fixture(scope="session")
def truncated(tmp_path_factory):
    return str(case_videos.truncated_faststart_mp4(tmp_path_factory.mktemp("truncated")))


@pytest.mark.parametrize("how, threads", LOADS, ids=LOAD_IDS)
def test_truncated_file_gives_only_pictures_that_exist(truncated, how, threads, leak_check):
    path = truncated
    shown = len(cli_pictures(path, SCALED))
    try:
        count = tandry.get_stats(path)["num_frames"]
        rows = load(path, range(count), SCALED, how, threads)
    except AssertionError:
        raise
    except Exception as error:  # a clear error is an answer too
        assert str(error), f"{type(error).__name__} without a message"
        return
    assert count <= shown, f"{count} frames claimed, {shown} pictures exist"
    assert_rows_are_pictures(rows, path, range(count), SCALED, numbered=True)
