# The project's commands. `make demo` and `make test` work on a fresh machine.
VENV ?= .venv
PY311_VENV ?= .venv-py311
PYTHON311 ?= $(firstword $(wildcard /root/.pyenv/versions/3.11.*/bin/python3.11))
CMAKE = $(VENV)/bin/cmake
ASAN_BUILD = build/cpp-asan
FUZZ_BUILD = build/fuzz
FUZZ_SECONDS ?= 60
# The sample videos shared between checkouts, next to this one (as the Python tests find them),
# and the files others made (raw streams, packed B-frames, files cut mid-stream).
SHARED_VIDEOS ?= $(abspath $(CURDIR)/..)/shared/videos
EXTRA_VIDEOS ?= $(abspath $(CURDIR)/..)/shared/videos-ext

.PHONY: setup demo test test-python test-cpp asan-build test-sanitized-workers test-py311 fuzz \
    bench bench-pipelines format lint

setup:
	VENV=$(VENV) scripts/setup.sh

# Loads every frame of the bundled sample video and draws a contact sheet of them.
demo: setup
	$(VENV)/bin/python -m lorvex --sheet sheet.png

test: setup lint test-python test-cpp test-sanitized-workers

# Code that clang-format would change, and the Python linter's errors, fail the build.
lint: setup
	clang-format --dry-run -Werror $$(git ls-files '*.cpp' '*.hpp')
	$(VENV)/bin/ruff check python tests bench scripts

test-python:
	$(VENV)/bin/pytest -q tests/python

# The C++ units and the worker programs, built with AddressSanitizer and
# UndefinedBehaviorSanitizer.
asan-build: setup
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_BUILD_TYPE=Debug -DLORVEX_WERROR=ON -DLORVEX_BUILD_PYTHON=OFF -DLORVEX_BUILD_TESTS=ON -DLORVEX_SANITIZE=ON >/dev/null
	$(CMAKE) --build $(ASAN_BUILD)

# The pickle tests compare the workers' reader with what this environment's CPython writes.
test-cpp: asan-build
	cd $(ASAN_BUILD) && LORVEX_TEST_PYTHON=$(abspath $(VENV))/bin/python ../../$(VENV)/bin/ctest --output-on-failure

# The sanitized worker programs over every shared sample video once (skipped without them),
# each video's frames checked against the installed workers'.
test-sanitized-workers: asan-build
	$(VENV)/bin/python scripts/run_sanitized_workers.py $(ASAN_BUILD) $(SHARED_VIDEOS)
	$(VENV)/bin/python scripts/run_sanitized_workers.py $(ASAN_BUILD) $(EXTRA_VIDEOS)

# The Python tests once more under CPython 3.11, in an environment of its own, with the
# libraries of the training adapters (lorvex.torch, lorvex.ray): torch's CPU build for 3.11.
PY311_EXTRAS ?= torch==2.13.0+cpu ray[data]==2.58.0
test-py311:
	VENV=$(PY311_VENV) PYTHON=$(PYTHON311) EXTRAS="$(PY311_EXTRAS)" scripts/setup.sh
	$(PY311_VENV)/bin/pytest -q tests/python

# Coverage-guided fuzzing (clang, libFuzzer) of what a worker reads: its command line, the row
# map, the share list, the frame table's memory file, and the video file itself (open, frame
# table, a decode job); FUZZ_SECONDS each, the corpus kept in build/fuzz-corpus.
fuzz: setup
	CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORVEX_WERROR=ON -DLORVEX_BUILD_PYTHON=OFF -DLORVEX_BUILD_WORKERS=OFF \
	    -DLORVEX_BUILD_FUZZERS=ON >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD)
	for fuzzer in $(FUZZ_BUILD)/*_fuzzer; do \
	    mkdir -p build/fuzz-corpus/$$(basename $$fuzzer); \
	    $$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=25 build/fuzz-corpus/$$(basename $$fuzzer) \
	        tests/fuzz/corpus/$$(basename $$fuzzer) || exit 1; \
	done

# lorvex against decord, PyAV, OpenCV, torchcodec and the ffmpeg CLI, in environments of
# the benchmark's own (build/bench-env-py310, -py311); FULL=1 for the README's figures. Then
# videos read over http and from an S3-compatible store against the same loads of the files.
bench:
	bench/setup_envs.sh
	build/bench-env-py311/bin/python bench/run.py $(if $(FULL),--full)
	build/bench-env-py311/bin/python bench/bench_remote.py

# The training adapters against their peers: decord has no build for CPython 3.11 and torch's
# CPU build is for 3.11 only, so each runs where it installs, never in the test environments.
BENCH310_VENV ?= build/bench-pipelines-py310
BENCH311_VENV ?= build/bench-pipelines-py311
BENCH_VIDEOS ?= build/bench-pipelines-videos
bench-pipelines:
	VENV=$(BENCH310_VENV) EXTRAS="decord==0.6.0 ray[data]==2.58.0" scripts/setup.sh
	VENV=$(BENCH311_VENV) PYTHON=$(PYTHON311) \
	    EXTRAS="torch==2.13.0+cpu torchcodec==0.13.0 ray[data]==2.58.0" scripts/setup.sh
	$(BENCH310_VENV)/bin/python bench/bench_pipelines.py --videos $(BENCH_VIDEOS)
	$(BENCH311_VENV)/bin/python bench/bench_pipelines.py --videos $(BENCH_VIDEOS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
