"""get_stats: the video statistics record, on fakes (exact call pattern) and on real files
checked against ffprobe."""
import json
import subprocess
from fractions import Fraction

import pytest

import lorvex.tandry as tandry
from conftest import make_numbered_video, pictures_shown

KEYS = ["kf", "start", "end", "num_frames", "height", "width", "fps"]


# ---- a scripted decoding library ----

class Stream:
    def __init__(self, type="video", frames=10, height=4, width=6, average_rate=Fraction(25)):
        self.type, self.frames, self.height, self.width = type, frames, height, width
        self.average_rate = average_rate


class Packet:
    def __init__(self, stream, pts, is_keyframe=False):
        self.stream, self.pts, self.is_keyframe = stream, pts, is_keyframe


class Container:
    def __init__(self, video_streams, packets, log):
        self.log = log
        self.streams = type("Streams", (), {"video": video_streams})()
        self._packets = packets

    def demux(self, *args):
        self.log.append(("demux", args))
        return iter(self._packets)


@pytest.fixture
def fake_library(monkeypatch):
    """Rebinds the module's `open` to one serving the container given to `serve`."""
    log = []

    def serve(video_streams, packets):
        def fake_open(*args, **kwargs):
            log.append(("open", args, kwargs))
            return Container(video_streams, packets, log)

        monkeypatch.setattr(tandry, "open", fake_open)
        return log

    return serve


def test_record_from_packets(fake_library):
    video = Stream(frames=7, height=2, width=3, average_rate=Fraction(30000, 1001))
    other_video = Stream(frames=99, height=1, width=1)
    audio = Stream(type="audio")
    packets = [
        Packet(audio, -500, True),          # audio never counts
        Packet(video, 40, True),
        Packet(video, None, True),          # no pts: ignored even as a keyframe
        Packet(video, 10, True),            # keyframes stay in stored order
        Packet(video, 90, False),
        Packet(other_video, 200, True),     # every video stream counts
        Packet(audio, 10**6, False),
    ]
    log = fake_library([video, other_video], packets)
    record = tandry.get_stats("clip.mkv")
    assert list(record) == KEYS
    assert record == {"kf": [40, 10, 200], "start": 10, "end": 200, "num_frames": 7,
                      "height": 2, "width": 3, "fps": Fraction(30000, 1001)}
    assert log == [("open", ("clip.mkv",), {}), ("demux", ())]


def test_record_without_counted_packets(fake_library):
    video = Stream()
    fake_library([video], [Packet(video, None, True), Packet(Stream("audio"), 3, True)])
    record = tandry.get_stats("x")
    assert record["kf"] == [] and record["end"] == -1
    assert type(record["start"]) is float and record["start"] == float("inf")


def test_pts_below_minus_one_keep_end(fake_library):
    video = Stream()
    fake_library([video], [Packet(video, -10, True), Packet(video, -3)])
    record = tandry.get_stats("x")
    assert (record["start"], record["end"], record["kf"]) == (-10, -1, [-10])


def test_zero_frames_fail_before_reading_packets(fake_library):
    log = fake_library([Stream(frames=0)], [])
    with pytest.raises(AssertionError) as info:
        tandry.get_stats("x")
    assert str(info.value) == "The metadata reported that the video stream has 0 frames"
    assert [entry[0] for entry in log] == ["open"]
    fake_library([Stream(frames=None)], [])
    with pytest.raises(TypeError, match="'>' not supported"):
        tandry.get_stats("x")


def test_library_errors_propagate(fake_library):
    fake_library([], [])
    with pytest.raises(IndexError):
        tandry.get_stats("x")
    video = Stream()
    fake_library([video], [Packet(video, "late")])
    with pytest.raises(TypeError):
        tandry.get_stats("x")


# ---- real files against ffprobe ----

def ffprobe_record(path):
    """What the record must hold, from ffprobe: packets of every video stream, pts (or dts
    where the container stores none), the first video stream's metadata."""
    info = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries",
         "stream=index,codec_type,width,height,avg_frame_rate"
         ":packet=stream_index,pts,dts,flags", "-of", "json", str(path)],
        capture_output=True, text=True, check=True).stdout)
    video = [stream for stream in info["streams"] if stream["codec_type"] == "video"]
    indices = {stream["index"] for stream in video}
    first = video[0]
    keyframes, timestamps = [], []
    for packet in info.get("packets", []):
        if packet["stream_index"] not in indices:
            continue
        pts = packet.get("pts", packet.get("dts"))
        if pts is None:
            continue
        timestamps.append(pts)
        if "K" in packet["flags"]:
            keyframes.append(pts)
    return {"kf": keyframes, "start": min(timestamps, default=float("inf")),
            "end": max(timestamps, default=-1),
            # Pictures shown, not samples stored.
            "num_frames": pictures_shown(path, first["index"]),
            "height": first["height"], "width": first["width"],
            # ffprobe's 0/0 means no rate is known; the library says None.
            "fps": None if first["avg_frame_rate"] == "0/0" else Fraction(first["avg_frame_rate"])}


def assert_matches_ffprobe(path):
    record = tandry.get_stats(str(path))
    assert list(record) == KEYS
    assert record == ffprobe_record(path)
    assert all(type(value) is int for value in record["kf"])
    return record


def test_shared_videos_match_ffprobe(shared_videos):
    mismatched = {}
    for path in shared_videos:
        try:
            assert_matches_ffprobe(path)
        except AssertionError as error:
            mismatched[path.name] = str(error).splitlines()[0]
    assert not mismatched


GENERATED = {
    "bframes_audio.mp4": dict(frames=60, audio=True, codec_args=(
        "-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-g", "12")),
    "vp9.webm": dict(frames=30, codec_args=("-c:v", "libvpx-vp9", "-g", "10", "-deadline",
                                            "realtime", "-cpu-used", "8")),
    "offset.ts": dict(frames=50, codec_args=("-c:v", "libx264", "-preset", "veryfast", "-g",
                                             "10"), extra_args=("-output_ts_offset", "10")),
    "matroska.mkv": dict(frames=40, audio=True, codec_args=(
        "-c:v", "libx264", "-preset", "veryfast", "-g", "8")),
}


@pytest.mark.parametrize("name", GENERATED)
def test_generated_videos_match_ffprobe(numbered_video, name):
    record = assert_matches_ffprobe(numbered_video(name, **GENERATED[name]))
    assert record["num_frames"] == GENERATED[name]["frames"]
    assert record["kf"] == sorted(record["kf"]) and record["kf"][0] == record["start"]
    if name == "offset.ts":
        assert record["start"] >= 10 * 90000


def test_two_video_streams(video_dir):
    path = video_dir / "two_streams.mkv"
    subprocess.run(["ffmpeg", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "testsrc=s=64x48:r=10:d=2",
                    "-f", "lavfi", "-i", "testsrc=s=32x16:r=5:d=3",
                    "-map", "0:v", "-map", "1:v", "-c:v", "libx264", "-g", "5", str(path)],
                   check=True)
    record = assert_matches_ffprobe(path)
    assert (record["width"], record["height"], record["fps"]) == (64, 48, Fraction(10))
    assert record["end"] > 2000  # the second stream runs longer


@pytest.mark.parametrize("content, error", [
    (None, FileNotFoundError),
    (b"", ValueError),
    (b"\x00garbage, not a video\xff" * 200, ValueError),
])
def test_bad_files(tmp_path, content, error):
    path = tmp_path / "bad.mp4"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error) as info:
        tandry.get_stats(str(path))
    assert str(path) in str(info.value)


def test_audio_only_and_truncated_files(video_dir, tmp_path):
    audio = video_dir / "tone.m4a"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=1", "-c:a", "aac", str(audio)], check=True)
    with pytest.raises(IndexError):
        tandry.get_stats(str(audio))
    whole = make_numbered_video(tmp_path / "whole.mkv", frames=30)
    cut = tmp_path / "cut.mkv"
    cut.write_bytes(whole.read_bytes()[: whole.stat().st_size // 2])
    try:
        record = tandry.get_stats(str(cut))
    except ValueError:
        return
    assert 0 < len(record["kf"]) and record["end"] < tandry.get_stats(str(whole))["end"]
