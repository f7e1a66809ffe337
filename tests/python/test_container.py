"""lorvex.container against ffprobe, and how it fails on files it cannot read."""
import gc
import json
import os
import random
import shutil
import subprocess
import threading
from fractions import Fraction

import pytest

from conftest import pictures_shown
from lorvex import container

X264 = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "20")
# name -> make_numbered_video arguments: the shapes the loaders meet most.
GENERATED = {
    "h264_bframes_aac.mp4": dict(codec_args=X264 + ("-bf", "2"), audio=True),
    "vp9.webm": dict(codec_args=("-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                                 "-b:v", "0", "-crf", "40", "-g", "12")),
    "offset.ts": dict(codec_args=X264 + ("-g", "16"), audio=True,
                      extra_args=("-output_ts_offset", "10")),
    "h264.mkv": dict(codec_args=X264 + ("-g", "10")),
}
GENERATED_FRAMES = 48  # make_numbered_video's default


def ffprobe(path):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_packets", "-show_streams", "-of", "json", str(path)],
        check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def optional_int(value):
    return None if value is None else int(value)


def open_unprivileged(path):
    """What container.open(path) raises for a user without root's access to every file."""
    if os.geteuid() != 0:
        try:
            container.open(path)
            return "opened"
        except OSError as error:
            return f"{type(error).__name__} {error.errno} {error.filename}"
    # Root reads any file: a forked child gives up root first.
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.setgid(65534)
            os.setuid(65534)
            os.write(write_end, open_unprivileged(path).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as result:
        outcome = result.read()
    os.waitpid(pid, 0)
    return outcome


@pytest.fixture(params=sorted(GENERATED))
def generated_video(request, numbered_video):
    return numbered_video(request.param, **GENERATED[request.param])


@pytest.fixture
def mkv_video(numbered_video):
    return numbered_video("h264.mkv", **GENERATED["h264.mkv"])


def packet_rows(path):
    return [(p.stream.index, p.pts, p.dts, p.is_keyframe, p.size)
            for p in container.open(path).demux()]


def check_against_ffprobe(path):
    reference = ffprobe(path)
    opened = container.open(str(path))

    expected = []
    for packet in reference["packets"]:
        dts = optional_int(packet.get("dts"))
        # ffprobe shows pts N/A where the container stores only decode times (AVI, ASF, some
        # MPEG program streams); there the dts is the presentation time the probe works with.
        pts = optional_int(packet.get("pts", dts))
        expected.append((packet["stream_index"], pts, dts, "K" in packet["flags"],
                         int(packet["size"])))
    assert packet_rows(path) == expected  # every stream's packets, in file order

    streams = reference["streams"]
    assert [s.index for s in opened.streams] == [s["index"] for s in streams]
    assert opened.streams.video == tuple(s for s in opened.streams if s.type == "video")
    for ours, theirs in zip(opened.streams, streams):
        assert ours.type == theirs["codec_type"]
        assert ours.time_base == Fraction(theirs["time_base"])
        assert ours.duration == optional_int(theirs.get("duration_ts"))
        assert ours.start_time == optional_int(theirs.get("start_pts"))
        if ours.type == "video":
            # Pictures, not samples: edit lists, hidden frames and dropped frames included.
            assert ours.frames == len(ours.frame_timestamps) == pictures_shown(path, ours.index)
            assert list(ours.frame_timestamps) == sorted(ours.frame_timestamps)
        elif "nb_frames" in theirs:
            assert ours.frames == int(theirs["nb_frames"])
        else:  # no count recorded: the packets are counted instead
            assert ours.frames == sum(1 for row in expected if row[0] == ours.index)
        if ours.type == "video":
            assert (ours.width, ours.height) == (theirs["width"], theirs["height"])
            rate = theirs["avg_frame_rate"]
            assert ours.average_rate == (None if rate.startswith("0/") or rate.endswith("/0")
                                         else Fraction(rate))
    return opened


class TestAgainstFfprobe:
    def test_shared_videos(self, shared_videos):
        for path in shared_videos:
            check_against_ffprobe(path)

    def test_generated_videos(self, generated_video):
        opened = check_against_ffprobe(generated_video)
        video = opened.streams.video[0]
        assert video.frames == GENERATED_FRAMES
        assert video.average_rate == 25
        assert (video.width, video.height) == (160, 96)
        if generated_video.suffix == ".ts":
            assert video.start_time >= 10 * 90000  # the -output_ts_offset survived
        if generated_video.suffix in (".mp4", ".ts"):
            assert len(opened.streams.audio) == 1


class TestObjects:
    def test_stream_views(self, generated_video, tmp_path):
        opened = container.open(generated_video)  # os.PathLike
        streams = opened.streams
        assert isinstance(streams.video, tuple) and len(streams.video) == 1
        assert len(streams) == len(list(streams)) == len(streams.video) + len(streams.audio)
        assert streams[0] is streams.video[0] and streams[-1] is list(streams)[-1]

        audio_only = tmp_path / "tone.m4a"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.5", "-c:a", "aac",
                        str(audio_only)], check=True)
        audio = container.open(os.fsencode(audio_only))  # bytes paths too
        assert audio.streams.video == ()
        with pytest.raises(IndexError):
            audio.streams.video[0]
        assert audio.streams.audio[0].average_rate is None

    def test_packets_know_their_stream_and_keep_the_file_alive(self, mkv_video):
        video = container.open(mkv_video).streams.video[0]
        packets = list(container.open(mkv_video).demux())
        gc.collect()  # the containers are gone; streams and packets must still work
        assert {p.stream.type for p in packets} == {"video"}
        assert len({id(p.stream) for p in packets}) == 1
        assert video.frames == len(packets) == GENERATED_FRAMES
        assert packets[0].is_keyframe and packets[0].pts is not None

    def test_counting_and_repeated_demux_do_not_disturb_each_other(self, mkv_video):
        opened = container.open(mkv_video)
        full = [(p.pts, p.size) for p in opened.demux()]
        iterator = opened.demux()
        first = next(iterator)
        assert opened.streams.video[0].frames == len(full)  # counted mid-iteration
        assert [(first.pts, first.size)] + [(p.pts, p.size) for p in iterator] == full
        assert next(iterator, None) is None

    def test_threads_demux_the_same_container(self, mkv_video):
        opened = container.open(mkv_video)
        expected = [(p.pts, p.size) for p in opened.demux()]
        results = [None] * 4

        def run(slot):
            results[slot] = [(p.pts, p.size) for p in opened.demux()]

        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [expected] * 4

    def test_no_file_descriptors_left_open(self, mkv_video):
        before = len(os.listdir("/proc/self/fd"))
        for _ in range(5):
            opened = container.open(mkv_video)
            assert opened.streams.video[0].frames > 0
            unfinished = opened.demux()
            next(unfinished)
            del opened, unfinished
            list(container.open(mkv_video).demux())
        gc.collect()
        assert len(os.listdir("/proc/self/fd")) == before


class TestErrors:
    def test_unreachable_files(self, tmp_path, capfd):
        missing = tmp_path / "missing.mp4"
        with pytest.raises(FileNotFoundError) as caught:
            container.open(str(missing))
        assert caught.value.errno == 2 and caught.value.filename == str(missing)
        with pytest.raises(IsADirectoryError):
            container.open(tmp_path)
        assert capfd.readouterr().err == ""

    def test_no_permission(self, tmp_path, mkv_video):
        locked = tmp_path / "locked.mkv"
        shutil.copy(mkv_video, locked)
        locked.chmod(0)
        assert open_unprivileged(str(locked)) == f"PermissionError 13 {locked}"

    def test_unreadable_contents(self, tmp_path, numbered_video, capfd):
        garbage = tmp_path / "garbage.mp4"
        # Fixed bytes: now and then fresh random bytes probe as a lyrics file or raw H.263.
        garbage.write_bytes(random.Random(0).randbytes(64 * 1024))
        empty = tmp_path / "empty.mkv"
        empty.touch()
        for path in (garbage, empty):
            with pytest.raises(ValueError, match=f"^Could not open {path}: "):
                container.open(str(path))

        # moov at the end: cut off, the file has no index left to read.
        tail_index = numbered_video("tail.mp4", codec_args=X264)
        cut = tmp_path / "cut_tail.mp4"
        cut.write_bytes(tail_index.read_bytes()[: tail_index.stat().st_size // 2])
        with pytest.raises(ValueError, match="^Could not open "):
            container.open(cut)
        assert capfd.readouterr().err == ""

    def test_messages_name_the_file_as_its_caller_knows_it(self, tmp_path):
        # A video in memory or behind a URL is opened by a path that means nothing to its
        # caller: the calls that take a name say it where the path would stand.
        missing, garbage = tmp_path / "missing.mkv", tmp_path / "garbage.mkv"
        garbage.write_bytes(random.Random(0).randbytes(64 * 1024))
        audio_only = tmp_path / "tone.m4a"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.5", "-c:a", "aac",
                        str(audio_only)], check=True)
        with pytest.raises(FileNotFoundError) as caught:
            container._frame_table(str(missing), "<the clip>")
        assert caught.value.filename == "<the clip>"
        with pytest.raises(ValueError, match="^Could not open <the clip>: "):
            container._open_named(str(garbage), "<the clip>")
        with pytest.raises(ValueError, match="^<the clip> has no video stream$"):
            container._picture_format(str(audio_only), "<the clip>")
        with pytest.raises(ValueError, match="^<the clip> has no video stream$"):
            container._frame_table(str(audio_only), "<the clip>")
        # Unnamed, the same files are said by their paths.
        with pytest.raises(ValueError, match=f"^Could not open {garbage}: "):
            container.open(str(garbage))
        with pytest.raises(ValueError, match=f"^{audio_only} has no video stream$"):
            container._picture_format(str(audio_only))

    @pytest.mark.parametrize("name,extra", [("front.mp4", ("-movflags", "+faststart")),
                                            ("cut.mkv", ()), ("cut.ts", ())])
    def test_truncated_files_give_fewer_packets_or_value_error(
            self, tmp_path, numbered_video, capfd, name, extra):
        whole = numbered_video(name, codec_args=X264, extra_args=extra)
        full = len(packet_rows(whole))
        cut = tmp_path / name
        cut.write_bytes(whole.read_bytes()[: whole.stat().st_size * 2 // 3])
        try:
            opened = container.open(cut)
            count = 0
            for _ in opened.demux():
                count += 1
        except ValueError as error:
            assert str(cut) in str(error)
        else:
            assert 0 < count < full
            assert 0 < opened.streams.video[0].frames <= full
        assert capfd.readouterr().err == ""

    @pytest.mark.parametrize("suffix", [".mkv", ".ts", ".nut", ".flv"])
    def test_corrupted_middles(self, tmp_path, numbered_video, capfd, suffix):
        whole = numbered_video("whole" + suffix, codec_args=X264).read_bytes()
        rng = random.Random(suffix)
        damaged = tmp_path / ("damaged" + suffix)
        for _ in range(12):
            start = rng.randrange(len(whole) // 4, len(whole) - 64)
            damaged.write_bytes(whole[:start] + rng.randbytes(64) + whole[start + 64:])
            try:
                for packet in container.open(damaged).demux():
                    assert packet.size >= 0 and packet.stream.type == "video"
            except ValueError as error:
                assert str(error).startswith((f"Could not open {damaged}: ",
                                              f"Could not demux {damaged}: "))
        assert capfd.readouterr().err == ""
