"""tandry_interleaved_load, split_by_stride and InterleavedVideoReader: command lines and
blocks with stand-in workers, then the real worker program on numbered videos."""
import os
import signal
import time
import types

import numpy as np
import pytest

import lorvex.tandry as tandry
from conftest import frame_numbers, worker_program
from fake_workers import FakeSubprocess, RealProgram, decode, frame_value
from multiprocessing import shared_memory

RECORD = {"kf": [0, 250, 500, 750], "start": 0, "end": 1000, "num_frames": 101,
          "height": 4, "width": 6, "fps": 25.0}
I0, I1, I2 = (0, 250), (250, 500), (500, 1000)


def bounds(shares):
    """The decoded share list without the planner's counts."""
    return [[interval[:2] for interval in share] for share in decode(shares)]


@pytest.fixture
def fake(monkeypatch, leak_check):
    workers = FakeSubprocess()
    monkeypatch.setattr(tandry, "subprocess", workers)
    return workers


@pytest.fixture
def reader(monkeypatch, fake):
    """A reader of RECORD's video whose probe is stood in for; its workers are `fake`."""
    monkeypatch.setattr(tandry, "get_stats", lambda path: RECORD)
    made = tandry.InterleavedVideoReader("clip.mp4", num_threads=2, num_intervals=4)
    yield made
    made.__del__()


def block_exists(name):
    return os.path.exists("/dev/shm/" + name.lstrip("/"))


def rows_of(frames, height=4, width=6):
    return np.stack([np.full((3, height, width), frame_value(f), np.uint8) for f in frames])


class ViewsAs:
    """numpy as the module sees it, except that `np.ndarray(...)` gives `make()`."""

    def __init__(self, make):
        self.make = make

    def __getattr__(self, name):
        return getattr(np, name)

    def ndarray(self, shape, dtype, buffer):
        return self.make()


class Opaque:
    pass


def test_split_by_stride():
    assert tandry.split_by_stride(list("abcde"), 2) == [list("ace"), list("bd")]
    assert tandry.split_by_stride(["a", "b"], 4) == [["a"], ["b"], [], []]
    assert tandry.split_by_stride([], 3) == [[], [], []]
    assert tandry.split_by_stride(None, 0) == []
    item = object()
    assert tandry.split_by_stride((item,), 1)[0][0] is item
    with pytest.raises(TypeError):
        tandry.split_by_stride([1], 1.5)


class TestLoad:
    def test_command_lines_and_result(self, fake, leak_check):
        path = "clip.mp4"
        frames, check, shape, rows, processes = tandry.tandry_interleaved_load(
            path, [3, 70, 100], 4, 6, 2, 4, RECORD)
        assert leak_check == [frames, check]
        assert shape == (3, 3, 4, 6) and type(rows) is int and rows == 3
        assert processes == fake.processes
        encoded_rows, encoded_shares = fake.commands[0][3:5]
        assert decode(encoded_rows) == {3: 0, 70: 1, 100: 2}
        assert bounds(encoded_shares) == [[I0, I2], [I1]]
        for i, command in enumerate(fake.commands):
            assert command == ["lorvex_interleaved", path, frames, encoded_rows, encoded_shares,
                               "4", "6", "101", str(i), "2", "0", "1000", "BILINEAR", check]
        assert fake.commands[0][1] is path
        self._remove(frames, check)

    def test_more_workers_than_intervals(self, fake):
        result = tandry.tandry_interleaved_load("clip.mp4", [1], 4, 6, 5, 4, RECORD)
        assert bounds(fake.commands[0][4]) == [[I0], [I1], [I2], [], []]
        assert [c[8:10] for c in fake.commands] == [[str(i), "5"] for i in range(5)]
        self._remove(*result[:2])

    def test_one_frame_video(self, fake):
        record = dict(RECORD, kf=[7], start=7, end=7, num_frames=1)
        result = tandry.tandry_interleaved_load("one.mp4", [0], 4, 6, 3, 4, record)
        assert decode(fake.commands[0][4]) == [[(7, 7, 1)], [], []]
        view = shared_memory.SharedMemory(name=result[1])
        assert bytes(view.buf) == b"\x01"
        view.close()
        self._remove(*result[:2])

    @pytest.mark.parametrize("indices, error, text", [
        ([4, 9, 4], ValueError, "4"),
        ([1, None], TypeError, "None"),
        ([False], TypeError, "False"),
        ([1, 101], IndexError, "101"),
    ])
    def test_refused_before_any_block(self, fake, leak_check, indices, error, text):
        with pytest.raises(error, match=text):
            tandry.tandry_interleaved_load("clip.mp4", indices, 4, 6, 2, 4, RECORD)
        assert fake.commands == [] and leak_check == []

    def test_check_view_without_slice_assignment(self, fake, monkeypatch, leak_check):
        monkeypatch.setattr(tandry, "np", ViewsAs(lambda: b"\0"))
        with pytest.raises(TypeError, match="^'bytes' object does not support slice assignment$"):
            tandry.tandry_interleaved_load("clip.mp4", [1], 4, 6, 2, 4, RECORD)
        assert fake.commands == [] and len(leak_check) == 2

    def test_failed_start_leaves_nothing(self, monkeypatch, leak_check):
        workers = RealProgram(lambda i, _: ["sleep", "30"], fail_start_at=1)
        monkeypatch.setattr(tandry, "subprocess", workers)
        with pytest.raises(FileNotFoundError):
            tandry.tandry_interleaved_load("clip.mp4", [1], 4, 6, 3, 4, RECORD)
        assert len(leak_check) == 2 and not any(map(block_exists, leak_check))
        assert [p.returncode for p in workers.processes] == [-15]

    @staticmethod
    def _remove(*names):
        for name in names:
            block = shared_memory.SharedMemory(name=name)
            block.close()
            block.unlink()


class TestReader:
    def test_fresh_reader(self, monkeypatch):
        monkeypatch.setattr(tandry, "get_stats", lambda path: RECORD)
        made = tandry.InterleavedVideoReader("clip.mp4", height=-3)
        assert (made.height, made.width, made.num_threads, made.num_intervals) == (4, 6, 4, 16)
        assert (made.p, made.frames_handle, made.check_handle, made.frames_shape,
                made.check_shape) == ([], None, None, None, None)
        assert (made.frame_iter, made.pos, made.finished) == (1, 0, False)
        assert len(made) == made.framecount() == 101 and made.get_fps() == 25.0
        made.__del__()

    def test_ranges(self, reader):
        frames = [10, 20, 30, 40, 50]
        reader.process(frames)
        assert reader.frames_shape == (5, 3, 4, 6) and reader.check_shape == 5
        assert reader.all_loaded()
        for start, end, picked in [(1, 3, [20, 30]), (3, 3, []), (4, 2, []),
                                   (-2, None, [40, 50]), (None, 2, [10, 20]),
                                   (0, 15, frames), (-10, 1, [10])]:
            got = reader.get_frames(start, end)
            assert got.shape == (len(picked), 3, 4, 6) and got.flags.owndata
            if picked:
                np.testing.assert_array_equal(got, rows_of(picked))

    def test_views_without_slicing(self, reader, monkeypatch):
        reader.process([1, 2])
        monkeypatch.setattr(tandry, "np", ViewsAs(Opaque))
        with pytest.raises(TypeError, match="^'Opaque' object is unsliceable$"):
            reader.get_frames(0, 1)

    def test_blocks_are_attached_before_numpy_is_consulted(self, reader, monkeypatch):
        # Before any load the attach itself fails, whatever `np` is.
        monkeypatch.setattr(tandry, "np", None)
        for look in (reader.all_loaded, lambda: reader.get_frames(0, 1)):
            with pytest.raises(ValueError, match="name"):
                look()

    @pytest.mark.parametrize("step, chunks", [(1, [1] * 7), (3, [3, 3, 1]), (7, [7]),
                                              (64, [7])])
    def test_iteration(self, reader, step, chunks):
        reader.process(list(range(7)))
        reader.frame_iter = step
        got = list(reader)
        assert [len(chunk) for chunk in got] == chunks
        np.testing.assert_array_equal(np.concatenate(got), rows_of(range(7)))
        assert list(reader) == [] and reader.finished
        with pytest.raises(StopIteration):
            next(reader)

    def test_wait_ends_when_the_rows_arrive(self, monkeypatch, reader, fake):
        fake.write, fake.running = False, True
        reader.process([5, 6, 7])
        assert not reader.all_loaded()
        sleeps = []

        class Clock:
            @staticmethod
            def sleep(seconds):
                # A worker finishing row 1 while the reader sleeps.
                sleeps.append(seconds)
                block = shared_memory.SharedMemory(name=reader.frames_handle)
                check = shared_memory.SharedMemory(name=reader.check_handle)
                block.buf[3 * 4 * 6: 2 * 3 * 4 * 6] = bytes([frame_value(6)]) * (3 * 4 * 6)
                check.buf[1] = 1
                block.close()
                check.close()

        monkeypatch.setattr(tandry, "time", Clock)
        np.testing.assert_array_equal(reader.get_frames(1, 2), rows_of([6]))
        assert sleeps == [0.2]
        assert not reader.all_loaded()

    def test_flags_other_than_one_are_not_ready(self, reader, fake):
        fake.write = False
        reader.process([5, 6])
        check = shared_memory.SharedMemory(name=reader.check_handle)
        check.buf[0] = 2
        check.buf[1] = 1
        check.close()
        assert not reader.all_loaded()
        assert reader.get_frames(1, 2).shape == (1, 3, 4, 6)
        with pytest.raises(RuntimeError, match="every lorvex_interleaved worker has exited"):
            reader.get_frames(0, 2)

    def test_failed_worker_ends_the_wait(self, reader, fake):
        fake.write = False
        fake.statuses = {1: 1, 0: -9}
        reader.process([5, 6, 80])
        with pytest.raises(RuntimeError) as caught:
            reader.get_frames(0, None)
        assert "lorvex_interleaved worker 0 was killed by signal 9" in str(caught.value)
        assert "lorvex_interleaved worker 1 exited with status 1" in str(caught.value)

    def test_process_replaces_the_previous_load(self, reader, fake, leak_check):
        fake.running = True
        reader.process([1, 2])
        first = list(reader.p)
        reader.process([3])
        assert [p.returncode for p in first] == [-15, -15]
        assert not any(map(block_exists, leak_check[:2]))
        assert all(map(block_exists, leak_check[2:]))
        np.testing.assert_array_equal(reader.get_frames(0, 1), rows_of([3]))

    def test_teardown_is_idempotent(self, reader, fake, leak_check):
        fake.running = True
        reader.process([1, 2])
        processes = list(reader.p)
        reader.__del__()
        assert [p.returncode for p in processes] == [-15, -15]
        assert (reader.p, reader.frames_handle, reader.check_handle) == ([], None, None)
        assert not any(map(block_exists, leak_check))
        reader.__del__()
        with pytest.raises(ValueError):
            reader.all_loaded()

    def test_teardown_needs_only_what_the_launcher_gave(self, monkeypatch, leak_check):
        # A launcher with nothing but Popen: workers that end when told need no more.
        monkeypatch.setattr(tandry, "get_stats", lambda path: RECORD)
        started = FakeSubprocess(running=True)
        monkeypatch.setattr(tandry, "subprocess", types.SimpleNamespace(Popen=started.Popen))
        made = tandry.InterleavedVideoReader("clip.mp4", num_threads=2, num_intervals=4)
        made.process([1, 2])
        made.__del__()
        assert [p.returncode for p in started.processes] == [-15, -15]
        assert not any(map(block_exists, leak_check))

    def test_refused_requests_keep_the_reader_usable(self, reader):
        with pytest.raises(ValueError, match="more than once"):
            reader.process([2, 2])
        reader.process([2])
        assert reader.all_loaded()

    def test_many_readers_dropped_mid_load(self, monkeypatch, leak_check):
        monkeypatch.setattr(tandry, "get_stats", lambda path: RECORD)
        workers = RealProgram(lambda i, _: ["sleep", "30"])
        monkeypatch.setattr(tandry, "subprocess", workers)
        for _ in range(10):
            made = tandry.InterleavedVideoReader("clip.mp4", num_threads=2, num_intervals=4)
            made.process([1, 2, 3])
            del made
        assert len(workers.processes) == 20
        assert all(p.returncode == -15 for p in workers.processes)


needs_workers = pytest.mark.skipif(worker_program("lorvex_interleaved") is None,
                                   reason="the worker programs are not installed")


@needs_workers
class TestEndToEnd:
    @pytest.mark.parametrize("threads, intervals, step", [
        (1, 1, 1), (1, 32, 7), (2, 3, 64), (3, 16, 1), (4, 8, 7), (4, 32, 1), (2, 1, 7)])
    def test_iterates_every_frame_in_order(self, numbered_video, leak_check, threads, intervals,
                                           step):
        path = str(numbered_video("gop.mp4", frames=90, extra_args=("-g", "12", "-bf", "2")))
        made = tandry.InterleavedVideoReader(path, 48, 80, num_threads=threads,
                                             num_intervals=intervals)
        made.process(list(range(90)))
        made.frame_iter = step
        chunks, loaded = [], []
        for chunk in made:
            chunks.append(chunk)
            loaded.append(bool(made.all_loaded()))
        assert frame_numbers(np.concatenate(chunks)) == list(range(90))
        # Turns true once, and stays.
        assert loaded[-1] and loaded == sorted(loaded)
        assert made.all_loaded()
        made.__del__()

    def test_sparse_rows_follow_the_request_list(self, numbered_video, leak_check):
        path = str(numbered_video("gop.mp4", frames=90, extra_args=("-g", "12", "-bf", "2")))
        made = tandry.InterleavedVideoReader(path, 48, 80, num_threads=3, num_intervals=6)
        picked = [80, 3, 44, 45, 0, 89]
        made.process(picked)
        assert frame_numbers(made.get_frames(0, None)) == picked
        assert frame_numbers(made.get_frames(-2, 99)) == picked[-2:]
        made.__del__()

    def test_killed_worker_ends_the_wait(self, numbered_video, leak_check):
        path = str(numbered_video("long.mp4", frames=600, width=320, height=240))
        made = tandry.InterleavedVideoReader(path, num_threads=2, num_intervals=2)
        made.process(list(range(600)))
        os.kill(made.p[1].pid, signal.SIGKILL)
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="worker 1 was killed by signal 9"):
            made.get_frames(0, None)
        assert time.monotonic() - started < 3
        made.__del__()

    def test_torn_down_mid_load(self, numbered_video, leak_check):
        path = str(numbered_video("long.mp4", frames=600, width=320, height=240))
        for _ in range(5):
            made = tandry.InterleavedVideoReader(path, num_threads=2, num_intervals=4)
            made.process(list(range(600)))
            del made


def test_failed_construction_leaves_nothing_to_tear_down(tmp_path, monkeypatch):
    import gc
    import sys

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    with pytest.raises(FileNotFoundError):
        tandry.InterleavedVideoReader(str(tmp_path / "missing.mp4"))
    gc.collect()
    assert not unraisable
