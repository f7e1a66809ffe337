"""python -m lorvex: user errors (one pinned line, status 2), and real runs on a small video
whose frames are read back from the array, the contact sheet and the summary."""
import fcntl
import json
import os
import pty
import re
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest
from PIL import Image, ImageDraw

from conftest import frame_numbers, make_numbered_video
from lorvex.cli import lettering as lettering_module
from lorvex.cli import sheet as contact_sheet
from lorvex.cli.main import main

COUNT = 60
SUMMARY = re.compile(r"(?P<name>\S+): (?P<frames>\d+) frames, array \((?P<shape>[\d, ]+)\) uint8, "
                     r"(?P<seconds>\d+\.\d{3}) s, (?P<rate>\d+) frames/s")


@pytest.fixture(scope="module")
def clip(tmp_path_factory):
    return make_numbered_video(tmp_path_factory.mktemp("cli") / "clip.mp4", frames=COUNT,
                               extra_args=("-g", "15", "-sc_threshold", "0", "-bf", "2"))


def cli_command(arguments, tmp_path):
    """python -m lorvex in a process of its own, as a user starts it: (command, environment)."""
    return [sys.executable, "-m", "lorvex", *map(str, arguments)], dict(os.environ)


def run_cli(arguments, tmp_path, **options):
    command, env = cli_command(arguments, tmp_path)
    return subprocess.run(command, env=env, cwd=tmp_path, **options)


def start_cli(arguments, tmp_path, **options):
    command, env = cli_command(arguments, tmp_path)
    return subprocess.Popen(command, env=env, cwd=tmp_path, **options)


def user_error(capsys, *arguments):
    status = main([str(argument) for argument in arguments])
    out, err = capsys.readouterr()
    assert (status, out) == (2, "")
    assert err.count("\n") == 1 and err.endswith("\n"), err
    return err.rstrip("\n")


class TestUserErrors:
    def test_files_that_cannot_be_loaded(self, capsys, tmp_path):
        missing = tmp_path / "missing.mp4"
        assert user_error(capsys, missing) == f"lorvex: {missing}: no such file"
        assert user_error(capsys, tmp_path) == f"lorvex: {tmp_path}: is a directory, not a video"
        notes = tmp_path / "notes.mp4"
        notes.write_text("no video in here")
        assert user_error(capsys, notes) == (f"lorvex: {notes}: not a video lorvex can read "
                                             f"(Invalid data found when processing input)")
        tone = tmp_path / "tone.m4a"
        subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=0.3", "-c:a",
                        "aac", str(tone)], check=True)
        assert user_error(capsys, tone) == f"lorvex: {tone}: the file has no video stream"

    @pytest.mark.parametrize("arguments, message", [
        (["--frames", "1:x"], "lorvex: --frames '1:x': expected all, START:STOP:STEP, a comma "
                              "list of frame numbers or uniform:K"),
        (["--frames", "60"], "lorvex: --frames '60': frame 60 is out of range for a video of 60 "
                             "frames (allowed -60 to 59)"),
        (["--frames", "uniform:61"], "lorvex: --frames 'uniform:61': uniform:K needs K from 1 "
                                     "to 60, the video's frame count"),
        (["--size", "224"], "lorvex: argument --size: '224' is no size: expected HEIGHTxWIDTH, "
                            "two positive integers, such as 224x224 (see python -m lorvex --help)"),
        (["--size", "0x5"], "lorvex: argument --size: '0x5' is no size: expected HEIGHTxWIDTH, "
                            "two positive integers, such as 224x224 (see python -m lorvex --help)"),
        (["--interpolation", "cubic"], "lorvex: argument --interpolation: unknown name 'cubic' "
                                       "(allowed: BILINEAR, NEAREST, BICUBIC, AREA, LANCZOS, in "
                                       "any case) (see python -m lorvex --help)"),
        (["--threads", "0"], "lorvex: argument --threads: expected a positive integer, got 0 "
                             "(see python -m lorvex --help)"),
        (["--chunk", "-2"], "lorvex: argument --chunk: expected a positive integer, got -2 "
                            "(see python -m lorvex --help)"),
        (["--bogus"], "lorvex: unrecognized arguments: --bogus (see python -m lorvex --help)"),
        (["--out", "frames.png"], "lorvex: --out 'frames.png': expected a file name ending in "
                                  ".npy"),
        (["--sheet", "sheet.gif"], "lorvex: --sheet 'sheet.gif': expected a file name ending in "
                                   ".png or .jpg or .jpeg or .webp"),
        (["--sheet", "no/such/folder/sheet.png"], "lorvex: --sheet 'no/such/folder/sheet.png': "
                                                  "there is no folder 'no/such/folder'"),
    ])
    def test_options(self, capsys, clip, arguments, message):
        assert user_error(capsys, clip, *arguments) == message

    def test_no_traceback_from_the_program_either(self, tmp_path):
        result = run_cli([tmp_path / "gone.mp4", "--sheet", "s.png"], tmp_path,
                         capture_output=True, text=True)
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr == f"lorvex: {tmp_path / 'gone.mp4'}: no such file\n"


WHITE = (255, 255, 255)


def ink(draw):
    """The pixels that `draw(canvas)` inks on a blank canvas, cropped to them (None if none)."""
    picture = Image.new("RGB", (96, 64))
    draw(ImageDraw.Draw(picture))
    picture = picture.convert("L")
    box = picture.getbbox()
    return None if box is None else (picture.crop(box).size, picture.crop(box).tobytes())


def tiles_of(sheet_path, frame_shape, numbers, seconds):
    """The thumbnails of a sheet as (k, 3, h, w), and the layout that placed them."""
    layout = contact_sheet.plan_sheet(frame_shape, numbers, seconds, "", contact_sheet._lettering())
    image = np.asarray(Image.open(sheet_path).convert("RGB"))
    tiles = []
    for tile in range(len(layout.shown)):
        left, top, right, bottom = layout.tile_box(tile)
        tiles.append(image[top:bottom, left:right].transpose(2, 0, 1))
    return np.stack(tiles), layout


class TestRuns:
    @pytest.mark.parametrize("mode", [[], ["--stream", "--chunk", "4"]])
    def test_frames_array_sheet_and_summary(self, clip, tmp_path, mode):
        result = run_cli([clip, "--frames", "-1:5:-6", "--size", "48x80", "--threads", "2",
                          "--interpolation", "area", "--out", "frames.npy", "--sheet",
                          "sheet.png", *mode], tmp_path, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert result.stderr == ""  # no progress bar: standard error is not a terminal
        summary, saved, drawn = result.stdout.splitlines()
        match = SUMMARY.fullmatch(summary)
        wanted = list(range(COUNT))[-1:5:-6]
        assert match and match["name"] == "clip.mp4" and int(match["frames"]) == len(wanted)
        assert match["shape"] == f"{len(wanted)}, 3, 48, 80"
        assert int(match["rate"]) == pytest.approx(len(wanted) / float(match["seconds"]), rel=0.2,
                                                   abs=1)
        assert saved == "saved the array to frames.npy"
        assert drawn == f"wrote a contact sheet of {len(wanted)} frames to sheet.png"
        frames = np.load(tmp_path / "frames.npy")
        assert frames.shape == (len(wanted), 3, 48, 80) and frame_numbers(frames) == wanted
        seconds = [n / 25 for n in wanted]
        tiles, layout = tiles_of(tmp_path / "sheet.png", (48, 80), wanted, seconds)
        assert frame_numbers(tiles) == wanted
        assert layout.labels == [f"#{n}  {n / 25:.3f} s" for n in wanted]

    def test_a_sheet_of_many_frames_shows_an_even_spread(self, tmp_path):
        numbers = list(range(250))
        frames = np.zeros((250, 3, 8, 8), dtype=np.uint8)
        shown = contact_sheet.write_sheet(tmp_path / "s.png", frames, numbers,
                                          [n / 25 for n in numbers], "title")
        layout = contact_sheet.plan_sheet((8, 8), numbers, [n / 25 for n in numbers], "title",
                                          contact_sheet._lettering())
        assert shown == 50 and layout.shown == list(range(0, 250, 5))
        assert layout.title == "title (an even 50 of 250 frames)"
        assert Image.open(tmp_path / "s.png").size == layout.size

    @pytest.mark.parametrize("title", ["-phone ü 1.mp4", "Ελληνικά Кириллица שלום Ωmega",
                                       "中文 日本語 한국어"])
    def test_a_title_in_any_script_shows_its_letters(self, title):
        lettering = contact_sheet._lettering()
        if not title.isascii() and ord(max(title)) > 0x2E80 and len(lettering.fonts) < 2:
            pytest.skip("no font for Chinese, Japanese and Korean (scripts/setup.sh installs one)")
        # What a font draws for a character it lacks: the box of its missing glyph.
        boxes = [ink(lambda canvas, f=font: canvas.text((8, 8), lettering_module.NO_GLYPH,
                                                           font=f, fill=WHITE))
                 for font in lettering.fonts]
        for letter in set(title) - {" "}:
            drawn = ink(lambda canvas, t=letter: lettering.draw(canvas, (8, 8), t, WHITE))
            assert drawn and drawn not in boxes, f"{letter!r} is drawn as a box"
        # A character no font has is drawn as the replacement character, not as a box.
        missing = ink(lambda canvas: lettering.draw(canvas, (8, 8), lettering_module.NO_GLYPH,
                                                    WHITE))
        assert missing == ink(lambda canvas: canvas.text((8, 8), "\ufffd", fill=WHITE,
                                                          font=lettering.fonts[0]))

    def test_info_table_and_json(self, clip, tmp_path):
        table = run_cli([clip, "--info"], tmp_path, capture_output=True, text=True)
        assert table.returncode == 0, table.stderr
        rows = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in table.stdout.splitlines())
        assert rows == {
            "file": str(clip), "codec": "h264", "size": "160x96 (width x height)",
            "frames": "60", "frame rate": "25 frames/s", "duration": "2.400 s",
            "first timestamp": "0.000 s", "last timestamp": "2.360 s",
            "keyframes": "4, every 15 frames", "rotation": "none",
            "pixel format": "yuv420p (8 bits per sample)", "time base": "1/12800 s"}
        described = run_cli([clip, "--info", "--json"], tmp_path, capture_output=True, text=True)
        fields = json.loads(described.stdout)
        assert fields["frames"] == 60 and fields["keyframes"] == [0, 15, 30, 45]
        assert fields["frame_rate"] == "25" and fields["duration"] == 2.4

    def test_info_says_when_the_file_gives_no_timestamps(self, clip, tmp_path):
        raw = tmp_path / "clip.h264"
        subprocess.run(["ffmpeg", "-v", "error", "-i", str(clip), "-c", "copy", "-bsf:v",
                        "h264_mp4toannexb", "-f", "h264", str(raw)], check=True)
        table = run_cli([raw, "--info"], tmp_path, capture_output=True, text=True)
        assert table.returncode == 0, table.stderr
        rows = dict(re.split(r"\s{2,}", line, maxsplit=1) for line in table.stdout.splitlines())
        assert rows["frames"] == "60" and rows["keyframes"] == "4, every 15 frames"
        assert rows["timestamps"].startswith("none in the file: a decode numbered the frames")
        described = run_cli([raw, "--info", "--json"], tmp_path, capture_output=True, text=True)
        assert json.loads(described.stdout)["has_timestamps"] is False
        assert json.loads(run_cli([clip, "--info", "--json"], tmp_path, capture_output=True,
                                  text=True).stdout)["has_timestamps"] is True

    def test_json_summary(self, clip, tmp_path):
        result = run_cli([clip, "--frames", "uniform:3", "--json"], tmp_path,
                         capture_output=True, text=True)
        summary = json.loads(result.stdout)
        assert summary["frames"] == 3 and summary["shape"] == [3, 3, 96, 160]
        assert summary["frames_per_second"] == pytest.approx(3 / summary["seconds"])

    @pytest.mark.parametrize("mode", [[], ["--stream"]])
    def test_a_progress_bar_on_a_terminal(self, clip, tmp_path, mode):
        leader, follower = pty.openpty()
        # A new terminal is 0 columns wide, too narrow for any bar.
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 120, 0, 0))
        started = start_cli([clip, "--threads", "2", *mode], tmp_path, stdout=subprocess.PIPE,
                            stderr=follower, text=True)
        os.close(follower)
        shown = b""
        while True:
            try:
                data = os.read(leader, 65536)  # while it runs: a closed terminal keeps nothing
            except OSError:  # closed by the program's exit
                break
            if not data:
                break
            shown += data
        os.close(leader)
        out, _ = started.communicate()
        assert started.returncode == 0
        assert SUMMARY.fullmatch(out.strip())
        assert re.search(rb"\d+/60 \[", shown), shown  # tqdm counting the frames that arrived
