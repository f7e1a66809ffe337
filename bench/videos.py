"""The benchmark's videos, made by the ffmpeg CLI on first use and cached in build/bench/videos.

Each is described by the command that makes it; a changed command makes a new file, since the
name carries a hash of it.
"""
import hashlib
import subprocess
from dataclasses import dataclass
from pathlib import Path

VIDEO_DIR = Path(__file__).resolve().parents[1] / "build" / "bench" / "videos"

# Frame k shows k as a 12-bit barcode of stripes across the top half (bit b is the b-th of
# twelve columns, white for 1), readable after any scaling to 224x224.
BARCODE_BITS = 12
_BARCODE = ("geq=lum='if(lt(Y,H/2),if(bitand(floor(N/pow(2,floor(X*12/W))),1),235,16),96)'"
            ":cb=128:cr=128")


@dataclass(frozen=True)
class Video:
    key: str
    label: str
    source: tuple  # lavfi input arguments
    codec: tuple   # encoder arguments
    suffix: str = ".mp4"
    filters: str = ""

    def command(self, path):
        command = ["ffmpeg", "-v", "error", "-y", *self.source]
        if self.filters:
            command += ["-vf", self.filters]
        return command + [*self.codec, "-pix_fmt", "yuv420p", "-map_metadata", "-1", str(path)]

    @property
    def path(self):
        digest = hashlib.sha1(" ".join(self.command("OUT")).encode()).hexdigest()[:10]
        return VIDEO_DIR / f"{self.key}-{digest}{self.suffix}"

    def ensure(self):
        path = self.path
        if not path.exists():
            path.parent.mkdir(parents=True, exist_ok=True)
            partial = path.with_name("partial-" + path.name)
            print(f"bench: making {self.label} ({path.name})", flush=True)
            subprocess.run(self.command(partial), check=True)
            partial.rename(path)
        return path


def _lavfi(size, rate, seconds):
    return ("-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}", "-t", str(seconds))


def _x264(keyint, preset="medium"):
    return ("-c:v", "libx264", "-preset", preset, "-g", str(keyint), "-keyint_min", str(keyint),
            "-bf", "3")


VIDEOS = {
    video.key: video
    for video in (
        Video("h264-720p-g60", "1280x720 H.264 30 fps 60 s, keyframe every 60",
              _lavfi("1280x720", 30, 60), _x264(60)),
        Video("h264-720p-g250", "1280x720 H.264 30 fps 60 s, keyframe every 250",
              _lavfi("1280x720", 30, 60), _x264(250)),
        Video("h264-720p-20s", "1280x720 H.264 30 fps 20 s, keyframe every 60",
              _lavfi("1280x720", 30, 20), _x264(60)),
        Video("h264-360p", "640x360 H.264 30 fps 60 s, keyframe every 60",
              _lavfi("640x360", 30, 60), _x264(60)),
        Video("h264-1080p", "1920x1080 H.264 30 fps 20 s, keyframe every 250",
              _lavfi("1920x1080", 30, 20), _x264(250)),
        Video("vp9-360p", "640x360 VP9 WebM 30 fps 30 s",
              _lavfi("640x360", 30, 30),
              ("-c:v", "libvpx-vp9", "-b:v", "1M", "-deadline", "realtime", "-cpu-used", "8",
               "-row-mt", "1"), suffix=".webm"),
        # x264's fastest sensible preset: ten minutes at medium would take longer to make
        # than the whole benchmark runs.
        Video("h264-720p-10min", "1280x720 H.264 30 fps 10 min, keyframe every 250",
              _lavfi("1280x720", 30, 600), _x264(250, preset="veryfast")),
        # The data loader's long file: its index holds 54,000 samples.
        Video("h264-240p-30min", "320x240 H.264 30 fps 30 min, keyframe every 250",
              _lavfi("320x240", 30, 1800), _x264(250, preset="ultrafast")),
        Video("numbered", "640x360 H.264 30 fps 20 s, keyframe every 60, frame numbers drawn",
              ("-f", "lavfi", "-i", "color=c=gray:s=640x360:r=30", "-frames:v", "600"),
              _x264(60), filters=f"format=yuv420p,{_BARCODE},format=yuv420p"),
    )
}


def read_numbers(frames):
    """The number each (3, H, W) frame of `frames` shows in its barcode."""
    frames = frames.reshape(len(frames), 3, *frames.shape[-2:])
    height, width = frames.shape[-2:]
    luma = frames[:, 1, height // 8: 3 * height // 8].mean(axis=1)  # the green plane's rows
    numbers = []
    for line in luma:
        value = 0
        for bit in range(BARCODE_BITS):
            left = (2 * bit + 1) * width // (2 * BARCODE_BITS)
            if line[left - 2: left + 3].mean() > 128:
                value |= 1 << bit
        numbers.append(value)
    return numbers
