# The project's commands. `make demo` and `make test` work on a fresh machine.
VENV ?= .venv
PY311_VENV ?= .venv-py311
PYTHON311 ?= $(firstword $(wildcard /root/.pyenv/versions/3.11.*/bin/python3.11))
CMAKE = $(VENV)/bin/cmake
ASAN_BUILD = build/cpp-asan
FUZZ_BUILD = build/fuzz
FUZZ_SECONDS ?= 60
# The sample videos shared between checkouts, next to this one (as the Python tests find them).
SHARED_VIDEOS ?= $(abspath $(CURDIR)/..)/shared/videos

.PHONY: setup demo test test-python test-cpp asan-build test-sanitized-workers test-py311 fuzz \
    bench format lint

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

test-cpp: asan-build
	cd $(ASAN_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure

# The sanitized worker programs over every shared sample video once (skipped without them),
# each video's frames checked against the installed workers'.
test-sanitized-workers: asan-build
	$(VENV)/bin/python scripts/run_sanitized_workers.py $(ASAN_BUILD) $(SHARED_VIDEOS)

# The Python tests once more under CPython 3.11, in an environment of its own.
test-py311:
	VENV=$(PY311_VENV) PYTHON=$(PYTHON311) scripts/setup.sh
	$(PY311_VENV)/bin/pytest -q tests/python

# Coverage-guided fuzzing of the worker's command-line decoders (clang, libFuzzer).
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

# The peers it compares with come from PyPI, into the same environment.
bench: setup
	$(VENV)/bin/python -m pip install -q av opencv-python-headless
	$(VENV)/bin/python bench/bench_load.py

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
