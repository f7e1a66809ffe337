"""The worker programs are found however pip installed the package: they live inside it, the
loaders start them from there, and importing the package changes nothing around it."""
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import lorvex

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = Path(lorvex.__file__).parent / "data" / "sample.mp4"

LOAD = f"""
import os, subprocess, lorvex
from lorvex import tandry
started = []
class Recording:
    TimeoutExpired = subprocess.TimeoutExpired
    @staticmethod
    def Popen(command, **options):
        started.append(options["executable"])
        return subprocess.Popen(command, **options)
tandry.subprocess = Recording
frames = tandry.VideoReader({str(SAMPLE)!r}, 24, 32, num_threads=2).get_batch([0, 5, 249])
print(lorvex.__file__)
print(sorted(set(started)))
print(os.environ["PATH"])
print(frames.shape)
"""


def test_a_target_install_loads_frames(tmp_path):
    target = tmp_path / "target"
    # The build folder scripts/setup.sh uses for this environment, so only what changed since
    # is compiled again; the install itself is pip's own.
    tag = f"cp{sys.version_info[0]}{sys.version_info[1]}"
    build = ROOT / "build" / f"{Path(sys.prefix).name}-{tag}"
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation",
                    "--no-deps", f"-Cbuild-dir={build}", "--target", str(target), str(ROOT)],
                   check=True, capture_output=True)
    assert not (target / "bin").exists()  # nothing beside the package, nothing on PATH
    # Nothing else to find the programs with: a PATH of system folders only.
    env = {"PYTHONPATH": str(target), "PATH": "/usr/bin:/bin", "HOME": str(tmp_path)}
    result = subprocess.run([sys.executable, "-c", LOAD], env=env, cwd=tmp_path,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    package, programs, path, shape = result.stdout.splitlines()
    assert package == str(target / "lorvex" / "__init__.py")
    assert programs == repr([str(target / "lorvex" / "bin" / "lorvex")])
    assert path == "/usr/bin:/bin"
    assert shape == "(3, 3, 24, 32)"


def test_the_environment_install_has_no_programs_in_its_scripts_folder():
    scripts = Path(sysconfig.get_path("scripts"))
    assert not (scripts / "lorvex").exists() and not (scripts / "lorvex_interleaved").exists()
    assert os.access(lorvex.WORKER_DIR / "lorvex", os.X_OK)


@pytest.mark.skipif(shutil.which("ldd") is None, reason="needs ldd")
def test_worker_programs_start_without_ffmpeg_and_their_decoder_has_it():
    """Loading FFmpeg's libraries is most of what an idle worker would cost: only the decoder
    that a worker with frames becomes may load them. The fronts are linked with no more than
    they use, so no FFmpeg library on their link line goes unnoticed here."""
    def libraries(program):
        return subprocess.run(["ldd", str(lorvex.WORKER_DIR / program)], check=True,
                              capture_output=True, text=True).stdout

    for front in ("lorvex", "lorvex_interleaved"):
        assert "libav" not in libraries(front), front
    assert "libavcodec" in libraries("lorvex_decoder")


def test_importing_leaves_path_alone(tmp_path):
    show = "import os, lorvex; print(os.environ.get('PATH'))"
    for path in (None, "/usr/bin", f"/usr/bin:{lorvex.WORKER_DIR}:/bin"):
        env = {"PYTHONPATH": os.environ.get("PYTHONPATH", "")}
        if path is not None:
            env["PATH"] = path
        result = subprocess.run([sys.executable, "-c", show], env=env, cwd=tmp_path,
                                capture_output=True, text=True, check=True)
        assert result.stdout.strip() == str(path)
