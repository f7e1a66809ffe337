"""Planning: pts-to-index estimates and the keyframe-aligned interval plan."""
import subprocess
import sys
import textwrap

import pytest

import lorvex.tandry as tandry

RECORD = {"kf": [0, 250, 500, 750], "start": 0, "end": 1000, "num_frames": 101}


def plan(indices, num_threads, record=RECORD):
    return tandry.compute_parellelized_intervals("unused.mp4", indices, num_threads, record)


@pytest.mark.parametrize("args, expected", [
    ((25, 0, 100, 11), 2),    # 2.5 rounds to even
    ((35, 0, 100, 11), 4),    # 3.5 rounds to even
    ((15, 0, 100, 11), 2),
    ((150, 100, 200, 11), 5),  # measured from pts_start
    ((100, 100, 200, 11), 0),
    ((200, 100, 200, 11), 10),
    ((-50, -100, 0, 3), 1),
    ((10**30 + 5, 10**30, 10**30 + 10, 3), 1),  # unbounded ints
])
def test_estimate_frame_location(args, expected):
    result = tandry.estimate_frame_location(*args)
    assert result == expected and type(result) is int


def test_estimate_frame_location_keywords_and_zero_span():
    assert tandry.estimate_frame_location(num_frames=11, pts_end=200, pts_start=100, pts=150) == 5
    with pytest.raises(ZeroDivisionError):
        tandry.estimate_frame_location(5, 7, 7, 3)


@pytest.mark.parametrize("num_threads, intervals", [
    (1, [(0, 1000, 101)]),
    (4, [(0, 250, 25), (250, 500, 25), (500, 1000, 51)]),
    (8, [(0, 250, 25), (250, 500, 25), (500, 750, 25), (750, 1000, 26)]),
])
def test_worked_example(num_threads, intervals):
    result = plan(None, num_threads)
    assert type(result) is tuple and len(result) == 3
    assert result[0] == intervals
    assert result[1] is RECORD
    assert result[2] == list(range(101))
    assert sum(count for _, _, count in result[0]) == 101


@pytest.mark.parametrize("indices, num_threads, intervals", [
    ([0, 10, 30, 100], 4, [(0, 250, 2), (250, 500, 1), (500, 1000, 1)]),
    ([7, 7, 7], 4, [(0, 250, 3), (250, 500, 0), (500, 1000, 0)]),
    ([-3, 5, 100], 1, [(0, 1000, 2)]),
    ([5, 200], 1, [(0, 1000, 1)]),
    ([100, 5, 30], 4, [(0, 250, 2), (250, 500, 1), (500, 1000, 0)]),  # unsorted: as bisected
])
def test_request_lists(indices, num_threads, intervals):
    result = plan(indices, num_threads)
    assert result[0] == intervals
    assert result[2] is indices


def test_late_start_is_split_from_its_first_pts():
    # Targets measured from the first pts land on the keyframes 125 and 150.
    record = {"kf": [100, 125, 150, 175], "start": 100, "end": 200, "num_frames": 11}
    intervals, _, indices = plan(None, 4, record)
    assert intervals == [(100, 125, 2), (125, 150, 3), (150, 200, 6)]
    assert sum(count for _, _, count in intervals) == len(indices) == 11


def test_large_offset_video_gets_every_worker():
    start = 10 * 90000
    record = {"kf": [start + 3000 * i for i in range(8)], "start": start,
              "end": start + 24000 - 1, "num_frames": 240}
    intervals, _, _ = plan(None, 4, record)
    assert [(a, b) for a, b, _ in intervals] == [
        (start, start + 6000), (start + 6000, start + 12000),
        (start + 12000, start + 18000), (start + 18000, start + 23999)]
    assert sum(count for _, _, count in intervals) == 240


def test_degenerate_records():
    single = {"kf": [0], "start": 0, "end": 0, "num_frames": 1}
    for workers in (1, 3):
        intervals, record, indices = plan(None, workers, single)
        assert (intervals, indices) == ([], [0]) and record is single
    no_keyframes = dict(RECORD, kf=[])
    assert plan(None, 4, no_keyframes)[0] == [(0, 1000, 101)]
    # Two targets picking the same keyframe collapse into one boundary.
    sparse = dict(RECORD, kf=[0, 500, 900])
    assert plan(None, 4, sparse)[0] == [(0, 500, 50), (500, 900, 40), (900, 1000, 11)]


def test_tie_takes_the_later_keyframe():
    record = {"kf": [0, 400, 600], "start": 0, "end": 1000, "num_frames": 11}
    assert [b for _, b, _ in plan(None, 2, record)[0]][:1] == [600]


@pytest.mark.parametrize("record, indices, workers, error, message", [
    (dict(RECORD, kf=(0, 250)), None, 2, TypeError, "Expected list, got tuple"),
    ({"kf": [0], "start": 0, "end": 10}, None, 1, KeyError, "'num_frames'"),
    ({"kf": [0], "num_frames": 3, "start": 0}, None, 1, KeyError, "'end'"),
    (dict(RECORD, kf=None), None, 2, TypeError, "NoneType"),
    (dict(RECORD, start=float("inf")), [1], 1, TypeError,
     "Argument 'pts_start' has incorrect type (expected int, got float)"),
    (RECORD, [], 1, IndexError, "list index out of range"),
])
def test_bad_records_and_requests(record, indices, workers, error, message):
    with pytest.raises(error, match=None) as info:
        plan(indices, workers, record)
    assert message in str(info.value)


def test_zero_workers_fail_the_assertion():
    with pytest.raises(AssertionError) as info:
        plan(None, 0)
    assert info.value.args == ()
    with pytest.raises(AssertionError):
        plan(None, -2)


def test_get_stats_result_is_type_checked(monkeypatch):
    monkeypatch.setattr(tandry, "get_stats", lambda path: [path])
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        tandry.compute_parellelized_intervals("a.mp4", None)
    monkeypatch.setattr(tandry, "get_stats", lambda path: None)
    with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
        tandry.compute_parellelized_intervals("a.mp4", None)


def test_probe_only_without_a_record(monkeypatch):
    calls = []

    def fake_stats(path):
        calls.append(path)
        return dict(RECORD)

    monkeypatch.setattr(tandry, "get_stats", fake_stats)
    plan(None, 4)
    assert calls == []
    # The probe comes before the worker-count assertion.
    with pytest.raises(AssertionError):
        tandry.compute_parellelized_intervals("probe-me.mp4", None, 0)
    assert calls == ["probe-me.mp4"]


def test_without_assertions(tmp_path):
    script = textwrap.dedent("""
        import lorvex.tandry as t
        record = {"kf": [0, 250, 500, 750], "start": 0, "end": 1000, "num_frames": 101}
        try:
            t.compute_parellelized_intervals("x", None, 0, record)
        except ZeroDivisionError as error:
            print("zero:", error)
        print("negative:", t.compute_parellelized_intervals("x", [1, 100], -3, record)[0])
        class Container:
            class streams:
                video = [type("S", (), {"frames": 0, "height": 2, "width": 4,
                                        "average_rate": 25})()]
            def demux(self):
                return iter(())
        t.open = lambda path: Container()
        print("stats:", t.get_stats("x"))
    """)
    result = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True,
                            text=True, check=True, cwd=tmp_path)
    assert result.stdout.splitlines() == [
        "zero: division by zero",
        "negative: [(0, 1000, 2)]",
        "stats: {'kf': [], 'start': inf, 'end': -1, 'num_frames': 0, 'height': 2, "
        "'width': 4, 'fps': 25}",
    ]
