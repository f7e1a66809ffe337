"""tandry_load: the plan it hands to the workers, the rows it returns, and what it leaves
behind (nothing) on every path. The workers are stood in for through the module's
`subprocess`; the end-to-end runs with the real programs are in test_readers.py."""
import os
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

import lorvex.tandry as tandry
from fake_workers import FakeSubprocess, RealProgram, decode, frame_value

# kf/start/end/num_frames of a video whose plan for 4 workers is
# [(0, 250, .), (250, 500, .), (500, 1000, .)].
RECORD = {"kf": [0, 250, 500, 750], "start": 0, "end": 1000, "num_frames": 101,
          "height": 6, "width": 4, "fps": 25.0}


@pytest.fixture
def fake(monkeypatch, leak_check):
    workers = FakeSubprocess()
    monkeypatch.setattr(tandry, "subprocess", workers)
    return workers


def expected_rows(frames, height=4, width=6):
    return np.stack([np.full((3, height, width), frame_value(f), np.uint8) for f in frames])


class TestCommandLines:
    def test_one_per_interval_in_documented_order(self, fake, leak_check):
        path = "clip.mp4"
        out = tandry.tandry_load(path, [3, 60, 100, 30], 4, 6, 4, RECORD, "AREA")
        assert len(fake.commands) == 3
        name = leak_check[0]
        encoded = fake.commands[0][3]
        assert decode(encoded) == {3: 0, 60: 1, 100: 2, 30: 3}
        bounds = [("0", "250"), ("250", "500"), ("500", "1000")]
        for k, (command, (low, high)) in enumerate(zip(fake.commands, bounds)):
            assert command == ["lorvex", path, name, encoded, low, high, "4", "6", "101",
                               str(k), "3", "0", "1000", "AREA"]
        assert all(command[1] is path for command in fake.commands)
        np.testing.assert_array_equal(out, expected_rows([3, 60, 100, 30]))
        assert out.dtype == np.uint8 and out.flags.c_contiguous

    def test_every_worker_starts_before_any_is_waited_for(self, fake):
        tandry.tandry_load("clip.mp4", None, 2, 2, 4, RECORD)
        kinds = [kind for kind, _ in fake.events]
        assert kinds[:3] == ["Popen"] * 3 and "Popen" not in kinds[3:]
        assert {n for kind, n in fake.events if kind == "poll"} == {0, 1, 2}

    def test_record_start_and_end_reach_the_workers(self, fake):
        record = dict(RECORD, kf=[1000], start=1000, end=2000, num_frames=11)
        out = tandry.tandry_load("clip.mp4", [10, 0, 5], 2, 3, 1, record)
        [command] = fake.commands
        assert command[4:6] == ["1000", "2000"] and command[8:13] == ["11", "0", "1", "1000",
                                                                       "2000"]
        np.testing.assert_array_equal(out, expected_rows([10, 0, 5], 2, 3))

    def test_all_frames_when_indices_is_none(self, fake):
        out = tandry.tandry_load("clip.mp4", height=1, width=1, num_threads=4, d=RECORD)
        assert out.shape == (101, 3, 1, 1)
        assert decode(fake.commands[0][3]) == {f: f for f in range(101)}
        np.testing.assert_array_equal(out[:, 0, 0, 0], [frame_value(f) for f in range(101)])

    def test_numpy_integers_become_plain_ints(self, fake):
        indices = [np.int64(7), np.int32(3), np.uint16(50)]
        out = tandry.tandry_load("clip.mp4", indices, 4, 6, 4, RECORD)
        rows = decode(fake.commands[0][3])
        assert rows == {7: 0, 3: 1, 50: 2} and all(type(k) is int for k in rows)
        np.testing.assert_array_equal(out, expected_rows([7, 3, 50]))

    def test_one_frame_video_gets_one_worker(self, fake):
        record = dict(RECORD, kf=[40], start=40, end=40, num_frames=1)
        out = tandry.tandry_load("one.mp4", [0], 4, 6, 4, record)
        [command] = fake.commands
        assert command[4:6] == ["40", "40"] and command[9:11] == ["0", "1"]
        np.testing.assert_array_equal(out, expected_rows([0]))

    def test_late_binding_of_the_planner(self, fake, monkeypatch):
        seen = []

        def planner(*args, **kwargs):
            seen.append((args, kwargs))
            return [(0, 1000, 2)], RECORD, [9, 4]

        monkeypatch.setattr(tandry, "compute_parellelized_intervals", planner)
        out = tandry.tandry_load("clip.mp4", [1], 4, 6, 3, RECORD)
        assert seen == [(("clip.mp4", [1], 3), {"d": RECORD})]
        np.testing.assert_array_equal(out, expected_rows([9, 4]))


class TestDuplicates:
    def test_each_position_gets_its_frame(self, fake, leak_check):
        out = tandry.tandry_load("clip.mp4", [5, 7, 5, 100, 7, 5], 4, 6, 4, RECORD)
        assert decode(fake.commands[0][3]) == {5: 0, 7: 1, 100: 2}
        np.testing.assert_array_equal(out, expected_rows([5, 7, 5, 100, 7, 5]))

    def test_block_holds_each_frame_once(self, fake, monkeypatch):
        sizes = []
        recording = tandry.shared_memory

        class Sizes:
            @staticmethod
            def SharedMemory(**kwargs):
                sizes.append(kwargs.get("size"))
                return recording.SharedMemory(**kwargs)

        monkeypatch.setattr(tandry, "shared_memory", Sizes)
        tandry.tandry_load("clip.mp4", [1, 1, 1, 2], 4, 6, 4, RECORD)
        assert sizes == [2 * 3 * 4 * 6]


class TestRefusedRequests:
    @pytest.mark.parametrize("indices, error, text", [
        ([1, 2.5], TypeError, "2.5"),
        ([True, 2], TypeError, "True"),
        (["3"], TypeError, "'3'"),
        ([0, 101], IndexError, "101"),
        ([-1], IndexError, "-1"),
        ([np.int64(500)], IndexError, "500"),
    ])
    def test_before_any_block_or_worker(self, fake, leak_check, indices, error, text):
        with pytest.raises(error, match=text):
            tandry.tandry_load("clip.mp4", indices, 4, 6, 4, RECORD)
        assert fake.commands == [] and leak_check == []

    @pytest.mark.parametrize("height, width", [(0, 6), (4, 0), (-1, 6)])
    def test_size_must_be_known(self, fake, leak_check, height, width):
        with pytest.raises(AssertionError,
                           match="^currently we need these set up front to allocate the buffer$"):
            tandry.tandry_load("clip.mp4", [1], height, width, 4, RECORD)
        assert fake.commands == [] and leak_check == []

    def test_empty_request_list(self, fake, leak_check):
        with pytest.raises((IndexError, ValueError)):
            tandry.tandry_load("clip.mp4", [], 4, 6, 4, RECORD)
        assert fake.commands == []


class TestFailures:
    @pytest.mark.parametrize("status, text", [(1, "lorvex worker 1 exited with status 1"),
                                              (-9, "lorvex worker 1 was killed by signal 9")])
    def test_failed_worker_is_reported(self, monkeypatch, leak_check, status, text):
        workers = FakeSubprocess(statuses={1: status})
        monkeypatch.setattr(tandry, "subprocess", workers)
        with pytest.raises(RuntimeError, match=text):
            tandry.tandry_load("clip.mp4", [1, 30, 70], 4, 6, 4, RECORD)

    def test_real_worker_exiting_non_zero(self, monkeypatch, leak_check):
        workers = RealProgram(lambda k, _: ["sh", "-c", f"exit {3 if k == 2 else 0}"])
        monkeypatch.setattr(tandry, "subprocess", workers)
        with pytest.raises(RuntimeError, match="lorvex worker 2 exited with status 3"):
            tandry.tandry_load("clip.mp4", [1], 4, 6, 4, RECORD)

    def test_failed_start_stops_the_started_workers(self, monkeypatch, leak_check):
        workers = RealProgram(lambda k, _: ["sleep", "30"], fail_start_at=2)
        monkeypatch.setattr(tandry, "subprocess", workers)
        with pytest.raises(FileNotFoundError):
            tandry.tandry_load("clip.mp4", [1], 4, 6, 4, RECORD)
        assert [p.returncode for p in workers.processes] == [-15, -15]
        assert len(leak_check) == 1

    def test_interrupt_stops_real_processes(self, monkeypatch, leak_check):
        workers = RealProgram(lambda k, _: ["sleep", "30"])
        monkeypatch.setattr(tandry, "subprocess", workers)
        interrupt = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
        interrupt.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                tandry.tandry_load("clip.mp4", [1], 4, 6, 4, RECORD)
        finally:
            interrupt.cancel()
        assert [p.returncode for p in workers.processes] == [-15, -15, -15]

    def test_interpolation_that_is_not_text(self, monkeypatch, leak_check):
        monkeypatch.setattr(tandry, "subprocess", subprocess)
        with pytest.raises(TypeError):
            tandry.tandry_load("clip.mp4", [1], 4, 6, 4, RECORD, 5)
        assert len(leak_check) == 1


def test_assertions_are_skipped_under_optimisation(tmp_path):
    script = (
        "import lorvex.tandry as t\n"
        "def planner(*a, **k): raise LookupError('planned')\n"
        "t.compute_parellelized_intervals = planner\n"
        "try:\n"
        "    t.tandry_load('x', [1], 0, 0)\n"
        "except LookupError:\n"
        "    print('reached the planner')\n")
    result = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True,
                            cwd=tmp_path)
    assert result.stdout.strip() == "reached the planner", result.stderr
