#!/usr/bin/env bash
# Builds the benchmark's own environments, apart from the project's .venv and .venv-py311:
#   build/bench-env-py310  lorvex, decord, PyAV, OpenCV, matplotlib (CPython 3.10)
#   build/bench-env-py311  lorvex, torch (CPU), torchcodec, PyAV, OpenCV, matplotlib (CPython 3.11)
# decord has no build for 3.11 and torchcodec needs torch, whose 3.10 build on PyPI is a huge
# CUDA one, hence two. Quick when nothing changed: lorvex is rebuilt incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

pick() {
    local version=$1
    for candidate in /root/.pyenv/versions/"$version".*/bin/python"$version" \
                     "$(command -v python"$version" || true)"; do
        [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
    echo "bench: no CPython $version found" >&2
    exit 1
}

make_env() {
    local env=$1 python=$2 requirements=$3
    if [ ! -x "$env/bin/python" ]; then
        echo "bench: creating $env from $python"
        "$python" -m venv "$env"
    fi
    local stamp="$env/.bench-requirements"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$requirements" ]; then
        "$env/bin/python" -m pip install -q --upgrade pip
        # shellcheck disable=SC2086
        "$env/bin/python" -m pip install -q $requirements
        echo "$requirements" >"$stamp"
    fi
    local tag
    tag=$("$env/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    "$env/bin/python" -m pip install -q --no-build-isolation --no-deps \
        -Cbuild-dir="build/$(basename "$env")-$tag" .
}

# The Debian packages (FFmpeg's development files, the ffmpeg CLI) come with the project's setup.
VENV=.venv scripts/setup.sh >/dev/null

common="numpy tqdm Pillow>=10.1 scikit-build-core>=0.10 cmake ninja av opencv-python-headless matplotlib fsspec s3fs moto[server]"
make_env build/bench-env-py310 "$(pick 3.10)" "$common decord"
make_env build/bench-env-py311 "$(pick 3.11)" "$common torch==2.13.0+cpu torchcodec==0.13.0"
echo "bench: environments ready"
