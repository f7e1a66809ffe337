"""Videos kept elsewhere, read by lorvex.Video, ClipDataset and the command line: behind an
http URL (a server on the loopback address that answers range requests), in an S3-compatible
store (moto's server mode on the loopback address, reached through s3fs), in an fsspec
filesystem of this process (memory://). Every kind gives the local file's frames; errors name
the URL and the reason; a short load of a long video fetches a small part of it; nothing is
left behind."""
import gc
import os
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

import lorvex
import lorvex.remote
from conftest import EXTRA_VIDEOS, SHARED_VIDEOS, frame_numbers, warm_decoders
from remote_servers import ObjectStore, RangeServer, free_port

SCALED = (48, 64)
KINDS = ("http", "s3", "memory")


def shared_names():
    names = []
    for folder in (SHARED_VIDEOS, EXTRA_VIDEOS):
        if folder.is_dir():
            names += [(folder, p.name) for p in sorted(folder.iterdir()) if p.suffix != ".tsv"]
    return names


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    """Every shared video in one folder, served over http, in an S3 bucket and in fsspec's
    memory filesystem; `served(kind, name)` gives its URL and storage options."""
    pytest.importorskip("s3fs")
    pytest.importorskip("moto")
    import fsspec

    folder = tmp_path_factory.mktemp("served")
    for source, name in shared_names():
        os.symlink(source / name, folder / name)
    http = RangeServer(folder)
    store = ObjectStore({name: folder / name for _, name in shared_names()})
    memory = fsspec.filesystem("memory")
    for _, name in shared_names():
        memory.pipe_file(f"/shared/{name}", (folder / name).read_bytes())

    def locate(kind, name):
        if kind == "http":
            return http.url(name), None
        if kind == "s3":
            return store.url(name), store.storage_options
        return f"memory://shared/{name}", None

    locate.http, locate.store, locate.folder = http, store, folder
    yield locate
    http.stop()
    store.stop()


def sparse(count):
    return sorted({0, count // 3, count // 2, count - 1})


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("folder, name", shared_names(), ids=[n for _, n in shared_names()])
def test_every_kind_of_source_gives_the_files_frames(served, kind, folder, name):
    with lorvex.Video(folder / name, SCALED, threads=2) as local:
        count = len(local)
        indices = sparse(count)
        expected = local.get_batch(indices)
    url, storage_options = served(kind, name)
    sent = served.http.sent.get(name, 0)
    with lorvex.Video(url, SCALED, threads=2, storage_options=storage_options) as video:
        assert video.name == url
        assert len(video) == count
        assert np.array_equal(video.get_batch(indices), expected), f"{kind}: {name}"
    # Each byte is fetched once at most, whoever of the probe and the decoders reads it.
    assert served.http.sent.get(name, 0) - sent <= (folder / name).stat().st_size


def test_streams_and_iteration(served, leak_check):
    url, storage_options = served("s3", "h264_bframes_3gop_320x180.flv")
    with lorvex.Video(served.folder / "h264_bframes_3gop_320x180.flv", SCALED) as local:
        expected = local[:]
    with lorvex.Video(url, SCALED, storage_options=storage_options) as video:
        with video.stream(chunk=7) as chunks:
            assert np.array_equal(np.concatenate(list(chunks)), expected)
        assert np.array_equal(np.stack(list(video)), expected)


@pytest.fixture(scope="module")
def long_mp4(tmp_path_factory):
    """Two minutes of a moving picture (ten megabytes), a keyframe every 250 frames, the index
    at the end as the ffmpeg CLI writes it."""
    path = tmp_path_factory.mktemp("long") / "long.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=320x240:rate=25", "-t", "120", "-c:v", "libx264", "-preset",
                    "ultrafast", "-g", "250", "-keyint_min", "250", "-bf", "2", str(path)],
                   check=True)
    return path


def test_a_short_load_fetches_a_small_part(long_mp4, leak_check):
    server = RangeServer(long_mp4.parent)
    try:
        size = long_mp4.stat().st_size
        with lorvex.Video(long_mp4, SCALED) as local:
            expected = local.get_batch(range(1500, 1516))
        with lorvex.Video(server.url("long.mp4"), SCALED, threads=2) as video:
            assert np.array_equal(video.get_batch(range(1500, 1516)), expected)
        first = server.sent["long.mp4"]
        # The index and the samples from the clip's keyframe on: far from the whole file.
        assert first < size / 8, (first, size)
        # The same object again: its probe and its index are kept by URL and version.
        with lorvex.Video(server.url("long.mp4"), SCALED, threads=2) as video:
            assert np.array_equal(video.get_batch([1510]), expected[10:11])
        assert server.sent["long.mp4"] - first < size / 16
    finally:
        server.stop()


def test_a_changed_object(numbered_video, long_mp4, tmp_path, leak_check):
    server = RangeServer(tmp_path)
    try:
        # Opened again, it is read as it is now: nothing kept of the old one is taken.
        shutil.copyfile(numbered_video("first.mp4", frames=30), tmp_path / "v.mp4")
        with lorvex.Video(server.url("v.mp4"), SCALED) as video:
            assert len(video) == 30
        shutil.copyfile(numbered_video("second.mp4", frames=45), tmp_path / "v.mp4")
        with lorvex.Video(server.url("v.mp4"), SCALED) as video:
            assert len(video) == 45
            assert frame_numbers(video.get_batch([44])) == [44]
        # Replaced while open, its next fetch fails rather than mix two objects.
        shutil.copyfile(long_mp4, tmp_path / "long.mp4")
        with lorvex.Video(server.url("long.mp4"), SCALED) as video:
            video[:4]
            shutil.copyfile(numbered_video("second.mp4", frames=45), tmp_path / "long.mp4")
            with pytest.raises(OSError, match="long.mp4: the object changed while it was read"):
                video[-4:]
    finally:
        server.stop()


@pytest.fixture(scope="module")
def refusing(tmp_path_factory, numbered_video):
    folder = tmp_path_factory.mktemp("refusing")
    shutil.copyfile(numbered_video("stalled.mp4", frames=30), folder / "v.mp4")
    server = RangeServer(folder)
    yield server
    server.stop()


@pytest.mark.parametrize("where, error, reason", [
    ("unreachable", ConnectionError, "could not connect"),
    ("missing", FileNotFoundError, "no such object"),
    ("forbidden", PermissionError, "access refused"),
    ("stall", TimeoutError, "the server sent nothing for 1 s"),
])
def test_errors_name_the_url_and_the_reason(refusing, where, error, reason, leak_check):
    url = (f"http://127.0.0.1:{free_port()}/v.mp4" if where == "unreachable"
           else refusing.url(f"{where}/v.mp4"))
    sockets = sockets_held()
    started = time.monotonic()
    with pytest.raises(error) as raised:
        lorvex.Video(url, SCALED, timeout=1.0)
    assert time.monotonic() - started < 3
    assert str(raised.value).startswith(f"{url}: ") and reason in str(raised.value)
    # Connections closed (the server here closes its ends once it sees that).
    assert wait_until(lambda: sockets_held() == sockets, 3), (sockets_held(), sockets)
    assert wait_until(lambda: not warm_decoders(), 3)


def test_a_missing_object_in_the_store(served):
    url, storage_options = served("s3", "no_such_video.mp4")
    with pytest.raises(FileNotFoundError, match=f"^{url}: no such object"):
        lorvex.Video(url, storage_options=storage_options)


def test_nothing_is_left_behind(served, leak_check):
    gc.collect()  # videos of earlier tests, dropped without closing, end first
    sockets = sockets_held()
    for kind in KINDS:
        url, storage_options = served(kind, "h264_bframes_3gop_320x180.flv")
        video = lorvex.Video(url, SCALED, threads=2, storage_options=storage_options)
        video.get_batch([1, 30])
        video.close()
    assert wait_until(lambda: not warm_decoders(), 3), "decoders outlived their videos"
    assert sockets_held() == sockets, "channels outlived their videos"


def test_the_command_line_takes_urls(served, capsys):
    from lorvex.cli.main import main

    url, storage_options = served("s3", "h264_bframes_3gop_320x180.flv")
    endpoint = storage_options["client_kwargs"]["endpoint_url"]
    assert main([url, "--frames", "0,5", "--size", "48x64", "--storage-option", "key=testing",
                 "--storage-option", "secret=testing", "--storage-option",
                 f"endpoint_url={endpoint}", "--storage-option", "region_name=eu-west-1"]) == 0
    assert "2 frames, array (2, 3, 48, 64)" in capsys.readouterr().out
    http_url, _ = served("http", "h264_bframes_3gop_320x180.flv")
    run = subprocess.run([sys.executable, "-m", "lorvex", http_url, "--info"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and "h264" in run.stdout, run.stderr


def test_clip_dataset_over_a_store(served):
    torch_adapter = pytest.importorskip("lorvex.torch")
    name = "h264_bframes_3gop_320x180.flv"
    url, storage_options = served("s3", name)
    remote = torch_adapter.ClipDataset([url], 8, size=SCALED, storage_options=storage_options)
    local = torch_adapter.ClipDataset([served.folder / name], 8, size=SCALED)
    assert len(remote) == len(local)
    for index in (0, len(local) - 1):
        assert np.array_equal(remote[index].frames.numpy(), local[index].frames.numpy())


def sockets_held():
    return sum(os.readlink(f"/proc/self/fd/{fd}").startswith("socket:")
               for fd in os.listdir("/proc/self/fd") if os.path.exists(f"/proc/self/fd/{fd}"))


def wait_until(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not condition():
        time.sleep(0.02)
    return condition()
