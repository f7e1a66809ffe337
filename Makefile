# The project's commands. `make demo` and `make test` work on a fresh machine.
VENV ?= .venv
PY311_VENV ?= .venv-py311
PYTHON311 ?= $(firstword $(wildcard /root/.pyenv/versions/3.11.*/bin/python3.11))
CMAKE = $(VENV)/bin/cmake
ASAN_BUILD = build/cpp-asan
FUZZ_BUILD = build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: setup demo test test-python test-cpp test-py311 fuzz bench format

setup:
	VENV=$(VENV) scripts/setup.sh

# Loads every frame of the bundled sample video and draws a contact sheet of them.
demo: setup
	$(VENV)/bin/python -m lorvex --sheet sheet.png

test: setup test-python test-cpp

test-python:
	$(VENV)/bin/pytest -q tests/python

# The C++ units, built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-cpp: setup
	$(CMAKE) -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_BUILD_TYPE=Debug -DLORVEX_BUILD_PYTHON=OFF -DLORVEX_BUILD_TESTS=ON -DLORVEX_SANITIZE=ON >/dev/null
	$(CMAKE) --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure

# The Python tests once more under CPython 3.11, in an environment of its own.
test-py311:
	VENV=$(PY311_VENV) PYTHON=$(PYTHON311) scripts/setup.sh
	$(PY311_VENV)/bin/pytest -q tests/python

# Coverage-guided fuzzing of the worker's command-line decoders (clang, libFuzzer).
fuzz: setup
	CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLORVEX_BUILD_PYTHON=OFF -DLORVEX_BUILD_WORKERS=OFF \
	    -DLORVEX_BUILD_FUZZERS=ON >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD)
	for fuzzer in $(FUZZ_BUILD)/*_fuzzer; do \
	    mkdir -p build/fuzz-corpus/$$(basename $$fuzzer); \
	    $$fuzzer -max_total_time=$(FUZZ_SECONDS) build/fuzz-corpus/$$(basename $$fuzzer) \
	        tests/fuzz/corpus/$$(basename $$fuzzer) || exit 1; \
	done

# lorvex against decord, PyAV, OpenCV, torchcodec and the ffmpeg CLI, in environments of
# the benchmark's own (build/bench-env-py310, -py311); FULL=1 for the README's figures.
bench:
	bench/setup_envs.sh
	build/bench-env-py311/bin/python bench/run.py $(if $(FULL),--full)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')
