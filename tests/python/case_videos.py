"""Numbered test videos (conftest's barcode in every picture) for the kinds of file whose
pictures are not one per packet at a steady rate: irregular timestamps, dropped frames,
discarded edit-list samples, hidden frames, missing pts, gaps, open groups of pictures, files cut
at the start of one, fields, and a first video stream that is not the main one.

Each recipe makes its file with the ffmpeg CLI and then checks, with ffprobe, that the file has
the property it is made for, so a recipe that stops producing it fails loudly instead of
testing nothing.
"""
import json
import subprocess
from pathlib import Path

from conftest import _numbered_filter

X264 = ("-c:v", "libx264", "-preset", "veryfast", "-crf", "12")
PASSTHROUGH = ("-fps_mode", "passthrough")
# Timestamps in milliseconds: 40 ms steps, a pause of 440 ms after the tenth picture, 60 ms
# steps from the thirtieth on, and every third picture 11 ms late.
IRREGULAR_MS = (r"settb=1/1000,setpts='N*40+400*gte(N\,10)+20*max(N-30\,0)"
                r"+11*eq(mod(N\,3)\,2)'")
# Timestamps in ticks of the 1/25 s source: whole frames missing here and there.
GAPS = r"setpts='N+2*floor(N/7)+if(gte(N\,30)\,5\,0)'"
# One gap of three frames right after the first picture, another of seven later on.
GAP_AFTER_FIRST = r"setpts='N+if(gte(N\,1)\,3\,0)+if(gte(N\,20)\,7\,0)'"


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, args)], check=True)


def numbered(path, *, frames=48, width=160, height=96, rate=25, after="", codec_args=X264,
             output_args=(), log=None):
    """conftest's numbered video with filters `after` the numbering; `log` makes it in two
    passes with that pass log file."""
    filters = _numbered_filter(width, height, "yuv420p") + ("," + after if after else "")
    command = ["-f", "lavfi", "-i", f"color=c=gray:s={width}x{height}:r={rate}", "-vf", filters,
               "-frames:v", frames, *codec_args]
    if log:
        ffmpeg(*command, "-passlogfile", log, "-pass", "1", "-f", "null", "/dev/null")
        command += ["-passlogfile", log, "-pass", "2"]
    ffmpeg(*command, *output_args, path)
    return path


def ffprobe(path, *entries, stream="v:0"):
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", ",".join(entries),
         "-of", "json", str(path)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def packets(path):
    return ffprobe(path, "packet=pts,dts,flags,size")["packets"]


def shown_count(path):
    return len(ffprobe(path, "frame=pkt_size")["frames"])


def header_count(path):
    count = ffprobe(path, "stream=nb_frames")["streams"][0].get("nb_frames", "N/A")
    return None if count == "N/A" else int(count)


# --- what each kind of file must show ----------------------------------------------------

def irregular(path):
    times = sorted(p["pts"] for p in packets(path))
    steps = {b - a for a, b in zip(times, times[1:])}
    assert len(steps) > 1, f"{path}: timestamps are regular ({steps})"
    return path


def dropped(path):
    # The AVI muxer fills each gap with empty chunks, which the header counts as frames.
    assert header_count(path) > shown_count(path), f"{path}: no dropped frames in the header"
    return path


def without_pts(path):
    assert not any("pts" in p for p in packets(path)), f"{path}: packets carry pts"
    return path


def some_without_pts(path):
    # A program stream leaves out a pts wherever two pictures start in one PES packet.
    listed = packets(path)
    assert any("pts" not in p for p in listed[:-1]), f"{path}: every packet carries a pts"
    assert any("pts" in p for p in listed), f"{path}: no packet carries a pts"
    return path


def gap_after_first(path):
    times = sorted(p["pts"] for p in packets(path))
    first_step, usual = times[1] - times[0], times[-1] - times[-2]
    assert first_step > 2 * usual, f"{path}: no gap after the first picture"
    return path


def open_groups(path):
    # Leading pictures: after a keyframe (not the first) in decode order, shown before it.
    listed = packets(path)
    leading = sum(any(p["pts"] < packet["pts"] for p in listed[k + 1:k + 4])
                  for k, packet in enumerate(listed) if k and "K" in packet["flags"])
    assert leading, f"{path}: no open group of pictures"
    return path


def starts_open_group(path):
    # A keyframe first, and pictures after it that are shown before it (leading pictures,
    # which refer to pictures before the cut).
    listed = packets(path)
    assert "K" in listed[0]["flags"], f"{path}: does not start at a keyframe"
    assert any(p["pts"] < listed[0]["pts"] for p in listed[1:5]), f"{path}: no leading pictures"
    return path


def interlaced(path):
    frames = ffprobe(path, "frame=interlaced_frame")["frames"]
    assert frames and all(f["interlaced_frame"] == 1 for f in frames), f"{path}: progressive"
    return path


def fields(path):
    # Each field coded as a picture of its own, half the frame's height.
    assert ffprobe(path, "stream=height")["streams"][0]["height"] == 48, f"{path}: frames"
    return interlaced(path)


# --- the recipes: each takes the directory to write into and returns the file ----------------

def plain(name, check, **numbered_args):
    """A numbered video made in one go, then checked."""
    def make(directory):
        return check(numbered(directory / name, **numbered_args))
    return make


def preroll(name, seek, bframes):
    def make(directory):
        source = numbered(directory / "source.mp4", frames=60,
                          codec_args=X264 + ("-g", "12", "-bf", bframes))
        path = directory / name
        # A copy cut between keyframes: the samples before the cut stay, behind an edit list
        # that marks them to be discarded.
        ffmpeg("-ss", seek, "-i", source, "-c", "copy", path)
        assert any("D" in p["flags"] for p in packets(path)), f"{path}: nothing to discard"
        return path
    return make


def hidden_frames(name, codec_args, output_args=()):
    """Alternate reference frames, which libvpx makes only in two passes."""
    def make(directory):
        path = numbered(directory / name, codec_args=codec_args + (
            "-b:v", "200k", "-deadline", "good", "-cpu-used", "4", "-g", "48",
            "-auto-alt-ref", "1", "-lag-in-frames", "16"),
            output_args=output_args, log=directory / "pass")
        assert len(packets(path)) > shown_count(path), f"{path}: no hidden frames"
        return path
    return make


def thumbnail_first(name):
    def make(directory):
        thumbnail = numbered(directory / "thumbnail.mp4", frames=10, width=96, height=64,
                             rate=5, codec_args=X264 + ("-g", "5"))
        main = numbered(directory / "main.mp4", frames=60, width=320, height=192,
                        codec_args=X264 + ("-g", "12", "-b:v", "2M"))
        path = directory / name
        # Both streams real video; the second is marked default and is larger in every way.
        ffmpeg("-i", thumbnail, "-i", main, "-map", "0:v", "-map", "1:v", "-c", "copy",
               "-disposition:v:0", "0", "-disposition:v:1", "default", path)
        widths = [ffprobe(path, "stream=width", stream=s)["streams"][0]["width"]
                  for s in ("v:0", "v:1")]
        assert widths[0] < widths[1], f"{path}: the first stream is the larger"
        return path
    return make


def cut_at_keyframe(name, codec_args):
    """A copy from the keyframe before 1.1 s on, as `ffmpeg -ss -c copy` cuts a file."""
    def make(directory):
        source = numbered(directory / ("source" + Path(name).suffix), frames=72,
                          codec_args=codec_args)
        path = directory / name
        ffmpeg("-ss", "1.1", "-i", source, "-c", "copy", path)
        return starts_open_group(path)
    return make


OPEN_GOP_X264 = X264 + ("-bf", "3", "-x264-params",
                        "open-gop=1:keyint=16:min-keyint=16:scenecut=0")
OPEN_GOP_X265 = ("-c:v", "libx265", "-preset", "ultrafast", "-crf", "12", "-x265-params",
                 "open-gop=1:keyint=16:min-keyint=16:bframes=3:scenecut=0:log-level=error")
MPEG2 = ("-c:v", "mpeg2video", "-q:v", "3", "-g", "12")
VFR_MS = PASSTHROUGH + ("-enc_time_base", "1/1000")
RECIPES = {
    "vfr_h264_mp4": plain("vfr_h264.mp4", irregular, after=IRREGULAR_MS,
                          codec_args=X264 + ("-g", "12", "-bf", "2"), output_args=VFR_MS),
    "vfr_vp8_webm": plain("vfr_vp8.webm", irregular, after=IRREGULAR_MS, output_args=VFR_MS,
                          codec_args=("-c:v", "libvpx", "-crf", "10", "-b:v", "1M", "-g", "12")),
    "vfr_theora_ogv": plain("vfr_theora.ogv", irregular, after=GAPS, output_args=PASSTHROUGH,
                            codec_args=("-c:v", "libtheora", "-q:v", "8", "-g", "12")),
    # Pictures 3, 10 to 13 and 20 to 27 dropped after numbering; the others keep their
    # timestamps.
    "vfr_select_mkv": plain(
        "vfr_select.mkv", irregular, frames=60, output_args=PASSTHROUGH,
        after=r"select='not(eq(n\,3)+between(n\,10\,13)+between(n\,20\,27))'",
        codec_args=X264 + ("-g", "12", "-bf", "2")),
    "avi_dropped_mpeg4": plain("dropped_mpeg4.avi", dropped, after=GAPS, output_args=PASSTHROUGH,
                               codec_args=("-c:v", "mpeg4", "-q:v", "2", "-g", "12")),
    "avi_dropped_mpeg2": plain("dropped_mpeg2.avi", dropped, after=GAPS, output_args=PASSTHROUGH,
                               codec_args=MPEG2),
    "avi_bframes_h264": plain("bframes_h264.avi", without_pts,
                              codec_args=X264 + ("-g", "24", "-bf", "3")),
    # Reference pictures without pts among pictures with it, in the middle and at the end.
    "ps_mpeg1_bframes": plain("bframes_mpeg1.mpg", some_without_pts, frames=53,
                              codec_args=("-c:v", "mpeg1video", "-q:v", "3", "-g", "12", "-bf", "2"),
                              output_args=("-f", "mpeg")),
    "ps_mpeg2_bframes": plain("bframes_mpeg2.mpg", some_without_pts, frames=59,
                              codec_args=MPEG2 + ("-bf", "2"), output_args=("-f", "mpeg")),
    "mp4_preroll": preroll("preroll.mp4", "0.2", "0"),
    "mp4_preroll_bframes": preroll("preroll_bframes.mp4", "0.5", "2"),
    # libvpx packs each hidden VP9 frame with the next shown one; split them into packets of
    # their own and keep the muxer from packing them again.
    "vp9_altref_webm": hidden_frames("altref_vp9.webm", ("-c:v", "libvpx-vp9"),
                                     ("-bsf:v", "vp9_superframe_split", "-fflags", "-autobsf")),
    "vp8_altref_webm": hidden_frames("altref_vp8.webm", ("-c:v", "libvpx")),
    "ts_gap_mpeg2": plain("gap_mpeg2.ts", gap_after_first, after=GAP_AFTER_FIRST,
                          codec_args=MPEG2 + ("-bf", "0"), output_args=PASSTHROUGH),
    "ts_gap_h264": plain("gap_h264.ts", gap_after_first, after=GAP_AFTER_FIRST,
                         codec_args=X264 + ("-g", "12", "-bf", "2"), output_args=PASSTHROUGH),
    "open_gop_h264_mp4": plain("open_gop_h264.mp4", open_groups, frames=72,
                               codec_args=OPEN_GOP_X264),
    # Cut at a keyframe whose leading pictures refer to pictures before the cut: decoders
    # drop them (H.264 at its recovery point, HEVC the RASL pictures of its first CRA).
    "cut_open_gop_h264_ts": cut_at_keyframe("cut_open_gop_h264.ts", OPEN_GOP_X264),
    "cut_open_gop_hevc_ts": cut_at_keyframe("cut_open_gop_hevc.ts", OPEN_GOP_X265),
    # Without +cgop the B-pictures after each I-picture lean on the group before.
    "open_gop_mpeg2_ts": plain("open_gop_mpeg2.ts", open_groups, frames=72,
                               codec_args=MPEG2 + ("-bf", "2")),
    "interlaced_mpeg2_ts": plain("interlaced_mpeg2.ts", interlaced, codec_args=MPEG2 + (
        "-bf", "2", "-flags", "+ilme+ildct", "-top", "1")),
    "interlaced_h264_mp4": plain("interlaced_h264.mp4", interlaced, codec_args=X264 + (
        "-g", "12", "-bf", "2", "-flags", "+ildct", "-x264-params", "interlaced=1:tff=1")),
    "fields_hevc_mkv": plain("fields_hevc.mkv", fields, after="separatefields", codec_args=(
        "-c:v", "libx265", "-preset", "ultrafast", "-crf", "12",
        "-x265-params", "interlace=tff:keyint=24:log-level=error")),
    "thumbnail_first_mp4": thumbnail_first("thumbnail_first.mp4"),
    "thumbnail_first_mkv": thumbnail_first("thumbnail_first.mkv"),
}


def truncated_faststart_mp4(directory, keep=0.4):
    """An MP4 with its index at the front, cut after `keep` of its bytes: the index still
    lists every sample, most of them are gone."""
    whole = numbered(directory / "faststart.mp4", frames=100,
                     codec_args=X264 + ("-g", "24", "-bf", "2"),
                     output_args=("-movflags", "+faststart"))
    data = Path(whole).read_bytes()
    path = directory / "truncated.mp4"
    path.write_bytes(data[:int(len(data) * keep)])
    assert header_count(path) == 100 and len(packets(path)) < 50, f"{path}: not cut short"
    return path
