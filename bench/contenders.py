"""Each contender's way of loading frames to uint8 (N, 3, H, W) RGB planes.

A contender has `batch(path, indices, size)` (frames of an open reader, for the all, first300,
uniform16, random16 and one rows), `clip(path, indices, size)` (a new reader, probed, then the
frames: the data loader's pattern) and, where it has readers, `open(path, size)` (a new reader,
nothing loaded). `size` is the side of the square frames asked for (224), or None for the
video's own size. Readers of `batch` are opened once per video and size and kept, as a user
keeps them. Only contenders whose packages import in this environment are offered.
"""
import os
import subprocess

import numpy as np

SIZE = 224  # the scaled rows' frames are SIZE x SIZE
CORES = os.cpu_count() or 1


def _planes(frames_hwc):
    """(N, H, W, 3) to (N, 3, H, W), contiguous."""
    return np.ascontiguousarray(np.asarray(frames_hwc).transpose(0, 3, 1, 2))


class Lorvex:
    """lorvex.Video: the engine, warm decoders kept while a video is open."""

    def __init__(self, threads=None, name=None):
        import lorvex
        self.lorvex = lorvex
        self.threads = threads
        self.name = name or ("lorvex" if threads is None else f"lorvex, {threads} decoders")
        self.readers = {}

    def _open(self, path, size):
        return self.lorvex.Video(str(path), None if size is None else (size, size),
                                 threads=self.threads)

    def batch(self, path, indices, size=SIZE):
        # A video refuses a file changed since it was opened, as the clip rows change theirs.
        key = (path, size, os.stat(path).st_mtime_ns)
        if key not in self.readers:
            self.readers[key] = self._open(path, size)
        return self.readers[key].get_batch(list(indices))

    def clip(self, path, indices, size=SIZE):
        with self._open(_new_state(path), size) as video:
            return video.get_batch(list(indices))

    def open(self, path, size=SIZE):
        return self._open(_new_state(path), size)


class LorvexTandry(Lorvex):
    """lorvex.tandry.VideoReader: a worker program per interval for every load, the frames
    copied out of a shared block (what lorvex.Video loaded through before the engine)."""

    def __init__(self, threads=None, name=None):
        super().__init__(threads, name or "lorvex tandry")
        from lorvex import tandry
        self.tandry = tandry

    def _open(self, path, size):
        side = size or 0  # 0: the video's own size
        if self.threads is None:
            return self.tandry.VideoReader(str(path), side, side)
        return self.tandry.VideoReader(str(path), side, side, num_threads=self.threads)

    def clip(self, path, indices, size=SIZE):
        return self._open(_new_state(path), size).get_batch(list(indices))


def _new_state(path):
    """A new state of the file (its modification time a nanosecond on, its bytes and the page
    cache as they were): this process has not probed or opened it yet, as a data loader has
    not the next file of its list."""
    status = os.stat(path)
    os.utime(path, ns=(status.st_atime_ns, status.st_mtime_ns + 1))
    return path


class LorvexStream:
    """Seconds until frames 0 to 31 are in hand from Video.stream, and until all are."""
    name = "lorvex stream"

    def __init__(self):
        import lorvex
        self.lorvex = lorvex

    def first_and_all(self, path, count, first=32):
        import time
        with self.lorvex.Video(str(path), (SIZE, SIZE)) as video:
            started = time.perf_counter()
            chunks = []
            first_seconds = None
            with video.stream(range(count), chunk=first) as frames:
                for chunk in frames:
                    chunks.append(chunk)
                    if first_seconds is None:
                        first_seconds = time.perf_counter() - started
            all_seconds = time.perf_counter() - started
        return first_seconds, all_seconds, np.concatenate(chunks)


class Decord:
    name = "decord"

    def __init__(self):
        import decord
        self.decord = decord
        self.readers = {}

    def _open(self, path, size):
        if size is None:
            return self.decord.VideoReader(str(path), num_threads=0)
        return self.decord.VideoReader(str(path), width=size, height=size, num_threads=0)

    def batch(self, path, indices, size=SIZE):
        if (path, size) not in self.readers:
            self.readers[path, size] = self._open(path, size)
        return _planes(self.readers[path, size].get_batch(list(indices)).asnumpy())

    def clip(self, path, indices, size=SIZE):
        return _planes(self._open(path, size).get_batch(list(indices)).asnumpy())

    def open(self, path, size=SIZE):
        return self._open(path, size)


class PyAV:
    """Codec threading on; sparse frames by a seek to the keyframe before each target's pts
    (unless the target is a little ahead of where decoding stands), then decoding forward."""
    name = "PyAV"
    near = 30  # frames ahead that are decoded on rather than sought

    def __init__(self):
        import av
        self.av = av

    @staticmethod
    def _rgb(frame, size):
        if size is None:
            return frame.to_ndarray(format="rgb24").transpose(2, 0, 1)
        picture = frame.reformat(width=size, height=size, format="rgb24")
        return picture.to_ndarray().transpose(2, 0, 1)

    @staticmethod
    def _out(stream, count, size):
        height, width = (stream.height, stream.width) if size is None else (size, size)
        return np.empty((count, 3, height, width), np.uint8)

    def _frames(self, container, stream, indices, size):
        rate = stream.average_rate
        base = stream.time_base
        start = stream.start_time or 0
        out = self._out(stream, len(indices), size)
        decoder = None
        last = None
        for row, index in enumerate(indices):
            pts = start + round(index / rate / base)
            if decoder is None or last is None or not (last < index <= last + self.near):
                container.seek(pts, backward=True, any_frame=False, stream=stream)
                decoder = container.decode(stream)
            for frame in decoder:
                if frame.pts is None or frame.pts < pts:
                    continue
                out[row] = self._rgb(frame, size)
                last = index
                break
            else:
                raise RuntimeError(f"PyAV: frame {index} not found")
        return out

    def _open(self, path):
        container = self.av.open(str(path))
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        return container, stream

    def batch(self, path, indices, size=SIZE):
        container, stream = self._open(path)
        with container:
            if list(indices) == list(range(len(indices))):
                out = self._out(stream, len(indices), size)
                row = 0
                for frame in container.decode(stream):
                    if row == len(indices):
                        break
                    out[row] = self._rgb(frame, size)
                    row += 1
                return out[:row]
            return self._frames(container, stream, indices, size)

    clip = batch  # PyAV has no reader to keep: every call opens the file


class OpenCV:
    name = "OpenCV"

    def __init__(self):
        import cv2
        self.cv2 = cv2
        self.captures = {}

    def _read(self, capture, size):
        ok, frame = capture.read()
        if not ok:
            raise RuntimeError("OpenCV: read failed")
        if size is not None:
            frame = self.cv2.resize(frame, (size, size), interpolation=self.cv2.INTER_LINEAR)
        return self.cv2.cvtColor(frame, self.cv2.COLOR_BGR2RGB).transpose(2, 0, 1)

    def _load(self, capture, indices, size):
        out = None
        position = None
        for row, index in enumerate(indices):
            if position != index:
                capture.set(self.cv2.CAP_PROP_POS_FRAMES, index)
            frame = self._read(capture, size)
            if out is None:
                out = np.empty((len(indices), *frame.shape), np.uint8)
            out[row] = frame
            position = index + 1
        return out

    def batch(self, path, indices, size=SIZE):
        if path not in self.captures:
            self.captures[path] = self.cv2.VideoCapture(str(path))
        capture = self.captures[path]
        capture.set(self.cv2.CAP_PROP_POS_FRAMES, 0)
        return self._load(capture, indices, size)

    def clip(self, path, indices, size=SIZE):
        capture = self.cv2.VideoCapture(str(path))
        try:
            return self._load(capture, indices, size)
        finally:
            capture.release()


class TorchCodec:
    name = "torchcodec"

    def __init__(self):
        import torch
        from torchcodec.decoders import VideoDecoder
        from torchcodec.transforms import Resize
        torch.set_num_threads(CORES)

        def make(path, size):
            transforms = [] if size is None else [Resize((size, size))]
            return VideoDecoder(str(path), num_ffmpeg_threads=CORES, transforms=transforms)

        self.make = make
        self.decoders = {}

    @staticmethod
    def _get(decoder, indices):
        indices = list(indices)
        if indices == list(range(indices[0], indices[0] + len(indices))):
            frames = decoder.get_frames_in_range(indices[0], indices[-1] + 1)
        else:
            frames = decoder.get_frames_at(indices)
        return frames.data.numpy()

    def batch(self, path, indices, size=SIZE):
        if (path, size) not in self.decoders:
            self.decoders[path, size] = self.make(path, size)
        return self._get(self.decoders[path, size], indices)

    def clip(self, path, indices, size=SIZE):
        return self._get(self.make(path, size), indices)

    def open(self, path, size=SIZE):
        return self.make(path, size)


class FfmpegPipe:
    """The ffmpeg CLI piping rgb24 (the first frames only: all, or the first 300)."""
    name = "ffmpeg CLI pipe"
    from_start_only = True

    def batch(self, path, indices, size=SIZE):
        indices = list(indices)
        if indices != list(range(len(indices))):
            raise ValueError("the ffmpeg CLI pipe reads from the first frame on")
        command = ["ffmpeg", "-v", "error", "-i", str(path), "-map", "0:v:0",
                   "-frames:v", str(len(indices))]
        if size is not None:
            command += ["-vf", f"scale={size}:{size}"]
        raw = subprocess.run(command + ["-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             check=True, capture_output=True).stdout
        if size is None:
            stream = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                                     "-show_entries", "stream=width,height", "-of", "csv=p=0",
                                     str(path)], check=True, capture_output=True, text=True)
            width, height = map(int, stream.stdout.strip().split(","))
        else:
            width = height = size
        return _planes(np.frombuffer(raw, np.uint8).reshape(-1, height, width, 3))


PEERS = (Decord, PyAV, OpenCV, TorchCodec, FfmpegPipe)


def available(kinds=PEERS):
    """The contenders that import here, and the names of those that do not."""
    found, missing = [], []
    for kind in kinds:
        try:
            found.append(kind())
        except ImportError:
            missing.append(kind.name)
    return found, missing
