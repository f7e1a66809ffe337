"""MP4/MOV frame tables from the file's index, without reading packets: the same table as the
packet pass on every MP4/MOV the tests know, or a stated reason to read the packets; and
get_stats' record from the probe's facts, the same as the one read packet by packet."""
import os
import subprocess
import sys
from fractions import Fraction

import pytest

import case_videos
import lorvex.container as container
import lorvex.tandry as tandry

# What the index-built table leaves to the packet pass, and may say so for.
DECLINES = ("several edits", "fragmented file", "VP8/VP9", "the demuxer parses its packets",
            "a sample shown before it is decoded", "samples past the end of the file",
            "streams that are not tracks", "several sample descriptions")


def x264(*extra):
    return ("-c:v", "libx264", "-preset", "veryfast", *extra)


# Files made here for what the shared videos and the frame-exactness recipes lack.
GENERATED = {
    # Non-IDR I-pictures at scene cuts, one reference frame: the demuxer's parser calls them
    # keyframes though the sync sample table does not list them.
    "scenecut_ref1.mp4": x264("-g", "48", "-keyint_min", "48", "-sc_threshold", "100",
                              "-refs", "1", "-bf", "0", "-x264-params", "scenecut=100"),
    "scenecut_ref3.mp4": x264("-g", "48", "-keyint_min", "48", "-refs", "3", "-bf", "2",
                              "-x264-params", "scenecut=100"),
    "open_gop_ref1.mov": x264("-g", "12", "-refs", "1", "-bf", "2", "-x264-params",
                              "open-gop=1"),
    "hevc_bframes.mp4": ("-c:v", "libx265", "-preset", "ultrafast", "-x265-params",
                         "bframes=3:keyint=20:log-level=error"),
    "mpeg4_bframes.mp4": ("-c:v", "mpeg4", "-bf", "2", "-g", "10"),
    "mjpeg.mov": ("-c:v", "mjpeg",),
    "audio_first.mp4": x264("-g", "10"),
}


def generated(directory, name):
    path = directory / name
    inputs = ["-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25:duration=4"]
    maps = []
    if name == "audio_first.mp4":
        inputs = ["-f", "lavfi", "-i", "sine=duration=4", *inputs]
        maps = ["-map", "0:a", "-map", "1:v"]
    if "scenecut" in name:  # cuts between two sources every 0.7 s
        inputs = ["-f", "lavfi", "-i",
                  "testsrc2=size=160x96:rate=25:duration=4,"
                  "geq=lum='if(lt(mod(T\\,1.4)\\,0.7)\\,lum(X\\,Y)\\,255-lum(X\\,Y))'"
                  ":cb=128:cr=128"]
    subprocess.run(["ffmpeg", "-v", "error", "-y", *inputs, *maps, *GENERATED[name],
                    "-pix_fmt", "yuv420p", str(path)], check=True)
    return path


@pytest.fixture(scope="module")
def mp4_corpus(tmp_path_factory, shared_videos):
    directory = tmp_path_factory.mktemp("index")
    paths = [p for p in shared_videos if p.suffix.lower() in (".mp4", ".mov", ".3gp")]
    for name, recipe in sorted(case_videos.RECIPES.items()):
        if "mp4" in name or "mov" in name:
            paths.append(recipe(directory))
    paths.append(case_videos.truncated_faststart_mp4(directory))
    paths += [generated(directory, name) for name in GENERATED]
    return paths


def test_index_table_equals_packet_pass(mp4_corpus):
    declined, different = {}, []
    for path in mp4_corpus:
        indexed = container._build_frame_table(str(path), True)
        if isinstance(indexed, str):
            declined[path.name] = indexed
            continue
        by_packets = container._build_frame_table(str(path), False)
        # Made by a worker's reading of the file (its header alone), and by the probe's
        # (streams probed), which get_stats and the loads use.
        if indexed != by_packets or container._frame_table(str(path)) != by_packets:
            different.append(path.name)
    assert not different
    assert all(any(known in reason for known in DECLINES) for reason in declined.values()), declined
    # Most of them are read from the index alone, the common kinds among them.
    served = {p.name for p in mp4_corpus} - set(declined)
    assert len(served) >= 2 * len(declined)
    assert {"scenecut_ref1.mp4", "hevc_bframes.mp4", "open_gop_ref1.mov",
            "h264_editlist_preroll_640x360_aac.mp4"} <= served


def test_index_keyframes_follow_the_parser_not_the_sync_table(mp4_corpus):
    # The scene-cut I-pictures are keyframes of the probe (as ffprobe says) though the sync
    # sample table leaves them out: the table must know them to start decoding there.
    path = next(p for p in mp4_corpus if p.name == "scenecut_ref1.mp4")
    flagged = [p for p in case_videos.packets(path) if "K" in p["flags"]]
    assert len(flagged) > 2  # more than the IDR pictures at 0 and 48
    assert tandry.get_stats(str(path))["kf"] == [p["pts"] for p in flagged]


def slow_record(monkeypatch, path):
    """get_stats packet by packet: an `open` other than the module's own takes the path that
    reads every packet object."""
    with monkeypatch.context() as patch:
        patch.setattr(tandry, "open", lambda video_path: container.open(video_path))
        return tandry.get_stats(path)


def test_fast_record_equals_packet_by_packet(monkeypatch, shared_videos, mp4_corpus):
    for path in [*shared_videos, *mp4_corpus]:
        try:
            slow = slow_record(monkeypatch, str(path))
        except Exception as error:  # noqa: BLE001 - the fast path must fail alike
            with pytest.raises(type(error)):
                tandry.get_stats(str(path))
            continue
        fast = tandry.get_stats(str(path))
        assert fast == slow, path.name
        assert list(fast) == list(slow)
        assert [type(v) for v in fast.values()] == [type(v) for v in slow.values()], path.name
        assert [type(v) for v in fast["kf"]] == [type(v) for v in slow["kf"]]


CARRIED = r"""
import sys
import lorvex.container as container
import lorvex.tandry as tandry
path, state = sys.argv[1], open(sys.argv[2], "rb").read()
assert container._probe_state(path) is None  # nothing probed in this process
assert container._adopt_probe_state(state)
assert container._probe_state(path) == state  # adopted, not probed again
print(repr(tandry.get_stats(path)))
"""


def test_a_probe_travels_to_another_process(tmp_path, shared_videos):
    for name in ("h264_sar2x1_640x360.mp4", "h264_bframes_1080x720_ac3.mkv"):
        path = str(next(p for p in shared_videos if p.name == name))
        record = tandry.get_stats(path)
        state = container._probe_state(path)
        carried = tmp_path / "state"
        carried.write_bytes(state)
        done = subprocess.run([sys.executable, "-c", CARRIED, path, str(carried)],
                              capture_output=True, text=True, check=True)
        assert done.stdout.strip() == repr(record)
    # Another file state, or bytes that are no probe, are not taken.
    copy = tmp_path / "copy.mp4"
    copy.write_bytes(open(path, "rb").read())
    assert tandry.get_stats(str(copy)) == record
    state = container._probe_state(str(copy))
    copy.write_bytes(copy.read_bytes() + b"\0")
    assert container._probe_state(str(copy)) is None
    assert not container._adopt_probe_state(state)
    for damaged in (state[:-1], state + b"\0", b"LVXPROB2" + b"\xff" * 64):
        with pytest.raises(ValueError, match="bad probe state"):
            container._adopt_probe_state(damaged)


KEPT = r"""
import os, sys
import lorvex.container as container
import lorvex.tandry as tandry
path = sys.argv[1]
opened = container.open(path)
holds_file = any(os.path.realpath(f"/proc/self/fd/{fd}") == os.path.realpath(path)
                 for fd in os.listdir("/proc/self/fd"))
print(repr((holds_file, tandry.get_stats(path))))
"""


def test_the_cache_folder_keeps_probes_for_later_processes(tmp_path, shared_videos):
    folder = tmp_path / "probes"
    folder.mkdir()
    environment = {**os.environ, "LORVEX_PROBE_CACHE": str(folder),
                   "LORVEX_PROBE_CACHE_MIN_MS": "0"}

    def fresh_process(path):
        done = subprocess.run([sys.executable, "-c", KEPT, str(path)], env=environment,
                              capture_output=True, text=True, check=True)
        return eval(done.stdout, {"Fraction": Fraction, "inf": float("inf")})  # our child's repr

    for name in ("h264_sar2x1_640x360.mp4", "mpeg2_1920x1080_mp2.ts"):
        video = tmp_path / name
        video.write_bytes(next(p for p in shared_videos if p.name == name).read_bytes())
        record = tandry.get_stats(str(video))
        assert fresh_process(video) == (True, record)  # probed, and kept
        assert fresh_process(video) == (False, record)  # taken from the folder, file unopened
        # A changed file is probed again.
        os.utime(video, ns=(video.stat().st_atime_ns, video.stat().st_mtime_ns + 1))
        assert fresh_process(video)[0]
    assert len(list(folder.iterdir())) == 4
    # A damaged entry is probed again and replaced.
    for entry in folder.iterdir():
        entry.write_bytes(entry.read_bytes()[:-5])
    assert fresh_process(video) == (True, record)
    assert fresh_process(video) == (False, record)
