#!/usr/bin/env bash
# Installs what lorvex needs and builds it into a virtual environment.
#   VENV   the environment to use or create (default: .venv in the checkout)
#   PYTHON the interpreter to create it from (default: CPython 3.10, else the newest >= 3.10)
#   EXTRAS more pip requirements for this environment only, space-separated (default: none),
#          such as the optional libraries whose adapters the tests then exercise
# Quick when nothing changed: packages, environment and dependencies are only added when
# missing, and the build directory is kept, so the rebuild is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=${VENV:-.venv}

debian_packages=(libavformat-dev libavcodec-dev libavutil-dev libswscale-dev pkg-config ffmpeg
                 clang libclang-rt-14-dev libgtest-dev clang-format fonts-dejavu-core
                 fonts-wqy-microhei)
missing=()
for package in "${debian_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" = 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

pick_python() {
    if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
    for candidate in /root/.pyenv/versions/3.10.*/bin/python3.10 "$(command -v python3.10 || true)" \
                     /root/.pyenv/versions/3.1[1-9].*/bin/python3 "$(command -v python3 || true)"; do
        [ -x "$candidate" ] || continue
        if "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 10))'; then
            echo "$candidate"; return
        fi
    done
    echo "setup: no CPython >= 3.10 found" >&2
    exit 1
}

if [ ! -x "$VENV/bin/python" ]; then
    python=$(pick_python)
    echo "setup: creating $VENV from $python"
    "$python" -m venv "$VENV"
fi

# fsspec and s3fs read videos from object stores; moto's server is the tests' S3-compatible store.
requirements="numpy tqdm Pillow>=10.1 pytest scikit-build-core>=0.10 cmake ninja ruff fsspec s3fs moto[server]${EXTRAS:+ $EXTRAS}"
stamp="$VENV/.lorvex-requirements"
if [ "$(cat "$stamp" 2>/dev/null)" != "$requirements" ]; then
    "$VENV/bin/python" -m pip install -q --upgrade pip
    # Split into words without globbing: "ray[data]" is a requirement, not a file pattern.
    read -r -a requirement_list <<<"$requirements"
    "$VENV/bin/python" -m pip install -q "${requirement_list[@]}"
    echo "$requirements" >"$stamp"
fi

tag=$("$VENV/bin/python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
build_dir="build/$(basename "$(cd "$VENV" && pwd)")-$tag"
"$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -Cbuild-dir="$build_dir" -Ccmake.define.LORVEX_WERROR=ON .
echo "setup: lorvex installed in $VENV"
