"""--frames WHICH: every form against what Python itself would select, and every malformed one."""
import pytest

from lorvex.cli.errors import UserError
from lorvex.cli.frame_selection import parse_frame_selection

COUNT = 250


@pytest.mark.parametrize("selection, expected", [
    ("all", list(range(COUNT))),
    (" ALL ", list(range(COUNT))),
    (":", list(range(COUNT))),
    ("::25", list(range(0, COUNT, 25))),
    ("10:20", list(range(10, 20))),
    ("-5:", list(range(245, 250))),
    (":-245", list(range(5))),
    ("::-1", list(range(249, -1, -1))),
    ("-1:-11:-3", [249, 246, 243, 240]),
    ("240:1000", list(range(240, 250))),  # stop clamped as Python does
    ("+3:6", [3, 4, 5]),
    ("7", [7]),
    ("-1", [249]),
    ("0, 10 ,-1,10", [0, 10, 249, 10]),  # order and repeats kept
    ("uniform:10", list(range(0, 250, 25))),
    ("uniform:1", [0]),
    ("uniform:250", list(range(COUNT))),
    ("uniform:3", [0, 83, 166]),
])
def test_forms(selection, expected):
    assert parse_frame_selection(selection, COUNT) == expected


def test_slices_follow_python_exactly():
    frames = list(range(COUNT))
    for start in (None, -300, -250, -1, 0, 5, 249, 250, 400):
        for stop in (None, -300, -1, 0, 7, 250, 400):
            for step in (None, -7, -1, 1, 3):
                selection = ":".join("" if part is None else str(part) for part in (start, stop, step))
                expected = frames[start:stop:step]
                if expected:
                    assert parse_frame_selection(selection, COUNT) == expected, selection
                else:
                    with pytest.raises(UserError, match="selects no frame"):
                        parse_frame_selection(selection, COUNT)


@pytest.mark.parametrize("selection, message", [
    ("", "--frames '': expected all, START:STOP:STEP, a comma list of frame numbers or "
         "uniform:K"),
    ("1:2:3:4", "--frames '1:2:3:4': expected all, START:STOP:STEP, a comma list of frame "
                "numbers or uniform:K"),
    ("a:b", "--frames 'a:b': expected all, START:STOP:STEP, a comma list of frame numbers or "
            "uniform:K"),
    ("1,,2", "--frames '1,,2': expected all, START:STOP:STEP, a comma list of frame numbers "
             "or uniform:K"),
    ("1.5", "--frames '1.5': expected all, START:STOP:STEP, a comma list of frame numbers or "
            "uniform:K"),
    ("uniform:x", "--frames 'uniform:x': expected all, START:STOP:STEP, a comma list of frame "
                  "numbers or uniform:K"),
    ("uniform:0", "--frames 'uniform:0': uniform:K needs K from 1 to 250, the video's frame "
                  "count"),
    ("uniform:251", "--frames 'uniform:251': uniform:K needs K from 1 to 250, the video's "
                    "frame count"),
    ("::0", "--frames '::0': the step must not be 0"),
    ("300:", "--frames '300:' selects no frame of a video of 250 frames"),
    ("250", "--frames '250': frame 250 is out of range for a video of 250 frames "
            "(allowed -250 to 249)"),
    ("0,-251", "--frames '0,-251': frame -251 is out of range for a video of 250 frames "
               "(allowed -250 to 249)"),
])
def test_malformed_selections(selection, message):
    with pytest.raises(UserError) as info:
        parse_frame_selection(selection, COUNT)
    assert str(info.value) == message
