"""Every code example of README.md, run as written: the Python blocks, the console transcripts
(output compared line by line, "…" standing for anything), and the shell commands; the
reference table against the package's own signatures, the option table against --help."""
import importlib
import importlib.util
import enum
import inspect
import json
import re
import shlex
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from PIL import Image

from conftest import frame_numbers
from lorvex.cli import sheet as contact_sheet

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```$", re.S | re.M)

pytestmark = pytest.mark.skipif(not README.exists(), reason="not run from a checkout")


def blocks(kind):
    return [body for language, body in BLOCK.findall(README.read_text()) if language == kind]


def transcript(body):
    """[(command, expected output lines)] of a console block."""
    steps = []
    for line in body.splitlines():
        if line.startswith("$ "):
            steps.append((line[2:], []))
        else:
            steps[-1][1].append(line)
    return steps


def matches(expected, line):
    parts = map(re.escape, expected.split("…"))
    return re.fullmatch(".*".join(parts), line) is not None


# The libraries that the examples of the training adapters and of remote videos need, by block.
NEEDS = {2: ["torch"], 3: ["ray.data"], 5: ["s3fs", "moto"], 6: ["ray.data", "s3fs", "moto"]}
# The blocks that read from a server and a store: run against servers of the test's own on the
# loopback address, named in the text where the README has its example addresses.
REMOTE = {5, 6}


def test_the_readme_has_its_examples():
    assert len(blocks("python")) == 7 and len(blocks("console")) == 2 and blocks("sh")
    assert "from lorvex.torch import" in blocks("python")[2]
    assert "import lorvex.ray" in blocks("python")[3]


# Ray keeps descriptors of its own open after ray.shutdown(): its example runs in an
# interpreter of its own, as a user's script would, where this process cannot be blamed.
OWN_PROCESS = {3, 6}


@pytest.fixture(scope="module")
def example_servers(tmp_path_factory):
    """An http server with the sample video and an S3 store with two copies of it under
    clips/; what to write for the README's example addresses and credentials."""
    import lorvex
    from remote_servers import ObjectStore, RangeServer

    folder = tmp_path_factory.mktemp("served")
    (folder / "sample.mp4").symlink_to(lorvex.SAMPLE_VIDEO)
    http = RangeServer(folder)
    store = ObjectStore({"clips/a.mp4": folder / "sample.mp4",
                         "clips/b.mp4": folder / "sample.mp4"})
    yield {"https://videos.example.com": http.url("").rstrip("/"),
           "https://s3.example.com": store.endpoint, "AKIAEXAMPLE": "testing",
           "wJalrEXAMPLEKEY": "testing", "my-bucket": store.bucket}
    http.stop()
    store.stop()


def served_here(text, addresses):
    for example, real in addresses.items():
        text = text.replace(example, real)
    return text


@pytest.mark.parametrize("number", range(len(blocks("python"))))
def test_python_examples(number, tmp_path, monkeypatch, capsys, request):
    for needed in NEEDS.get(number, []):
        pytest.importorskip(needed)
    monkeypatch.chdir(tmp_path)
    addresses = request.getfixturevalue("example_servers") if number in REMOTE else {}
    code = served_here(blocks("python")[number], addresses)
    if number in OWN_PROCESS:
        printed = subprocess.run([sys.executable, "-c", code], check=True,
                                 capture_output=True, text=True).stdout.splitlines()
    else:
        request.getfixturevalue("leak_check")
        exec(compile(code, f"README.md python block {number}", "exec"), {})
        printed = capsys.readouterr().out.splitlines()
    # The outputs the comments promise.
    if number == 0:
        assert printed[:6] == ["250 (120, 160)", "[0.   0.04 0.08]", "h264 25 10.0",
                               "[25 26 27] [1.   1.04 1.08]", "[ 0  6 12 18]",
                               "250 (3, 120, 160)"]
        assert printed[6:] == ["(32, 3, 120, 160)"] * 7 + ["(26, 3, 120, 160)"]
    elif number == 1:
        assert printed == ["250 25"] + ["(50, 3, 224, 224)"] * 5
    elif number == 2:
        assert printed == ["torch.Size([4, 16, 3, 112, 112])"] * 4
    elif number == 4:
        assert printed == ["<bytes of 35640>", "(4, 120, 160, 3) uint16", "True"]
    elif number == 5:
        assert printed == [served_here("https://videos.example.com/sample.mp4 250", addresses),
                           "(4, 3, 120, 160)", "(2, 3, 120, 160)"]
    elif number == 6:
        paths = [served_here(f"s3://my-bucket/clips/{name}.mp4", addresses) for name in "ab"]
        assert printed == [str([(path, n) for path in paths for n in (0, 100)]), "2"]
    else:
        assert printed == ["(100, 3, 224, 224)"] * 2 + ["(50, 3, 224, 224)",
                                                         "4 (16, 3, 112, 112)"]


@pytest.mark.parametrize("number", range(len(blocks("console"))))
def test_console_examples(number, tmp_path):
    for command, expected in transcript(blocks("console")[number]):
        words = shlex.split(command)
        assert words[:3] == ["python", "-m", "lorvex"], command
        result = subprocess.run([sys.executable, *words[1:]], cwd=tmp_path, text=True,
                                capture_output=True)
        shown = (result.stdout + result.stderr).splitlines()
        assert len(shown) == len(expected) and all(map(matches, expected, shown)), (command,
                                                                                    shown)
        failing = expected[0].startswith("lorvex: ")
        assert result.returncode == (2 if failing else 0), (command, result.stderr)
    if number == 0:  # what the first transcript left behind
        frames = np.load(tmp_path / "frames.npy")
        assert frames.shape == (10, 3, 120, 160)
        assert frame_numbers(frames) == list(range(200, 250, 5))


def sheet_tiles(path, count):
    numbers = list(range(count))
    layout = contact_sheet.plan_sheet((240, 320), numbers, [n / 25 for n in numbers], "",
                                      contact_sheet._lettering())
    image = np.asarray(Image.open(path).convert("RGB"))
    tiles = [image[top:bottom, left:right].transpose(2, 0, 1)
             for left, top, right, bottom in map(layout.tile_box, range(len(layout.shown)))]
    return frame_numbers(np.stack(tiles)), layout


def run_make_demo(tmp_path):
    # make demo is setup, then the main job: the recipe is checked, then its two steps run.
    venv = ["VENV=" + sys.prefix]
    recipe = subprocess.run(["make", "-s", "-n", "demo", *venv], cwd=ROOT, check=True,
                            capture_output=True, text=True).stdout.splitlines()
    assert recipe == [f"VENV={sys.prefix} scripts/setup.sh",
                      f"{sys.prefix}/bin/python -m lorvex --sheet sheet.png"]
    subprocess.run(["make", "-s", "setup", *venv], cwd=ROOT, check=True, capture_output=True)
    return subprocess.run(shlex.split(recipe[1]), cwd=ROOT,
                          capture_output=True, text=True)


def test_shell_commands(tmp_path):
    commands = [line for body in blocks("sh") for line in body.splitlines()]
    assert commands == [
        "make demo", "make test",
        "sudo apt-get install g++ pkg-config libavformat-dev libavcodec-dev libavutil-dev "
        "libswscale-dev",
        "pip install ."]
    # make demo: the summary, and a sheet whose tiles show frames 0, 5, 10, … in order.
    demo = run_make_demo(tmp_path)
    assert demo.returncode == 0, demo.stderr
    summary, drawn = demo.stdout.splitlines()
    assert matches("sample.mp4: 250 frames, array (250, 3, 240, 320) uint8, … s, … frames/s",
                   summary)
    assert drawn == "wrote a contact sheet of 50 frames to sheet.png"
    shown, layout = sheet_tiles(ROOT / "sheet.png", 250)
    assert shown == list(range(0, 250, 5))
    assert layout.labels[:3] == ["#0  0.000 s", "#5  0.200 s", "#10  0.400 s"]
    # make test: what it says it runs.
    recipe = subprocess.run(["make", "-n", "test"], cwd=ROOT, check=True, capture_output=True,
                            text=True).stdout
    assert "scripts/setup.sh" in recipe and "pytest -q tests/python" in recipe
    assert "ctest --output-on-failure" in recipe
    # The Debian packages are real, and are the ones a build needs (setup.sh installs them).
    packages = commands[2].split()[3:]
    setup = (ROOT / "scripts" / "setup.sh").read_text()
    assert all(package in setup for package in packages if package != "g++")
    listed = subprocess.run(["apt-cache", "show", *packages], capture_output=True, text=True)
    assert listed.returncode == 0, listed.stderr
    # pip install .: test_install.py installs with pip (--target) and loads frames from there.


def section(title):
    """The text of the README's section `title`, up to the next one."""
    return README.read_text().split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def call(name, function):
    """How the reference writes a call: `name(a, b=None, *, c="text")`."""
    parts = []
    for parameter in inspect.signature(function).parameters.values():
        if parameter.name == "self":
            continue
        if parameter.kind is parameter.KEYWORD_ONLY and "*" not in parts:
            parts.append("*")
        default = parameter.default
        if default is parameter.empty:
            parts.append(parameter.name)
        else:
            if isinstance(default, str):
                shown = json.dumps(default)
            elif isinstance(default, type):  # numpy.uint8
                shown = f"{default.__module__}.{default.__name__}"
            elif isinstance(default, enum.Enum):  # the video's own setting
                shown = default.name
            else:
                shown = repr(default)
            parts.append(f"{parameter.name}={shown}")
    return f"`{name}({', '.join(parts)})`"


# The classes whose methods and properties the reference lists, and what it calls an instance.
INSTANCES = {"Video": "video", "FrameStream": "stream", "VideoMetadata": "metadata",
             "ClipDataset": "dataset"}


def test_the_reference_names_every_public_name_and_argument():
    reference = section("Reference")
    modules = [importlib.import_module("lorvex")]
    for name, needs in (("lorvex.torch", "torch"), ("lorvex.ray", "ray.data")):
        if importlib.util.find_spec(needs.split(".")[0]) is not None:
            modules.append(importlib.import_module(name))
    wanted = []
    for module in modules:
        for name in module.__all__:
            value, written = getattr(module, name), f"{module.__name__}.{name}"
            fields = getattr(value, "_fields", None) or getattr(value, "__dataclass_fields__", None)
            if fields is not None:  # named tuples and dataclasses: their fields
                wanted += [f"`{written}`"] + [f"`{field}`" for field in fields]
            elif callable(value) and name != "FrameStream":  # made by video.stream alone
                wanted.append(call(written, value))
            else:
                wanted.append(f"`{written}`")
            instance = INSTANCES.get(name)
            for member, attribute in vars(value).items() if instance else ():
                if member.startswith("_"):
                    continue
                if isinstance(attribute, property):
                    wanted.append(f"`{instance}.{member}`")
                elif callable(attribute):
                    wanted.append(call(f"{instance}.{member}", attribute))
    assert len(wanted) > 30
    assert [text for text in wanted if text not in reference] == []


def test_the_command_line_options_are_those_of_the_readme():
    shown = subprocess.run([sys.executable, "-m", "lorvex", "--help"], check=True,
                           capture_output=True, text=True).stdout
    in_help = re.findall(r"^  (\S.*?)(?:  |$)", shown, re.M)
    in_readme = re.findall(r"^\| `([^`]+)` \|", section("The command line"), re.M)
    assert "--frames WHICH" in in_help and "VIDEO" in in_readme
    assert sorted(in_help) == sorted(in_readme)


def test_the_architecture_tables_name_files_that_exist():
    # "Where each piece lives" names files within the folder of its row (or of the row above);
    # "Where to find" names paths from the checkout or from src/lorvex/.
    text = (ROOT / "docs" / "architecture.md").read_text()
    sections = dict(re.findall(r"^## (.+?)\n(.*?)(?=^## |\Z)", text, re.S | re.M))
    named, folder = [], None
    for row in re.findall(r"^\|(.+)\|$", sections["Where each piece lives"], re.M)[2:]:
        place, files = row.split("|")[:2]
        folder = re.findall(r"`([^`]+)`", place)[0] if place.strip() else folder
        named += [(folder + name, [ROOT]) for name in re.findall(r"`([^`]+)`", files)]
    for row in re.findall(r"^\|(.+)\|$", sections["Where to find"], re.M)[2:]:
        answer = row.split("|")[1]
        named += [(path, [ROOT, ROOT / "src" / "lorvex"])
                  for path in re.findall(r"`([\w./*-]+)`", answer)
                  if "/" in path or re.search(r"\.(py|cpp|hpp|\*)$", path)]
    assert len(named) > 100, "the tables were not found"
    missing = [path for path, bases in named
               if not any(list(base.glob(path.rstrip("/"))) for base in bases)]
    assert not missing, missing
