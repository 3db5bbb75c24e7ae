# Two entry points for a fresh Debian 12 machine: `make demo` and `make test`.
# Every step can run again without harm.
SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# What building, the demo and the tests need from Debian; the players the tests
# play the ladders in (Chromium, GStreamer's playbin) among them.
APT_PACKAGES := build-essential cmake ninja-build pkg-config libgtest-dev openssl ffmpeg \
	libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev libswresample-dev \
	chromium gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
	gstreamer1.0-plugins-bad gstreamer1.0-libav

.PHONY: demo test system venv node build lint unit-tests python-tests bench clean \
	sanitize-build sanitize-test sanitize-fuzz fuzz memcheck

demo: build
	$(PYTHON) scripts/demo.py

test: lint unit-tests python-tests

system:
	@missing=$$(for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
	@python3 -c 'import ensurepip, venv' 2>/dev/null || { \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq python3-venv; }
	@command -v npm > /dev/null || { \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq nodejs npm; }

$(VENV)/.installed: requirements-dev.txt
	python3 -m venv $(VENV)
	$(PYTHON) -m pip install -q --upgrade pip
	$(PYTHON) -m pip install -q -r requirements-dev.txt
	touch $@

venv: system $(VENV)/.installed

# hls.js and playwright-core, at the versions package-lock.json pins.
node_modules/.installed: package.json package-lock.json
	npm ci --no-audit --no-fund
	touch $@

node: system node_modules/.installed

# Build isolation off: the pinned build tools are already in the environment.
# Our own builds treat warnings as errors; a plain `pip install .` does not.
build: venv
	$(PYTHON) -m pip install -q --no-build-isolation -C cmake.define.CORVANE_WERROR=ON .

lint: venv
	$(PYTHON) -m ruff check scripts tests bench src

unit-tests: venv
	cmake -S . -B build/unit -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_TESTS=ON \
	  -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
	cmake --build build/unit
	ctest --test-dir build/unit --output-on-failure

python-tests: build node
	$(PYTHON) -m pytest

bench: build
	$(PYTHON) bench/ladder_bench.py

# Feeds corrupted sources to hls_encoder and prints what became of them:
# make fuzz COUNT=5000 SEED=7
COUNT ?= 1000
SEED ?= 1
fuzz: build
	$(PYTHON) scripts/fuzz.py --count $(COUNT) --seed $(SEED) --workers 2

# Short transcodes, successes and failures, under valgrind's memcheck.
memcheck: build
	@command -v valgrind > /dev/null || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq valgrind; }
	$(PYTHON) scripts/memcheck.py

# The unit tests and the whole pytest suite (the fuzz set included) against a
# build with AddressSanitizer and UndefinedBehaviorSanitizer in build/sanitize.
# Python itself is not instrumented, so the ASan runtime is preloaded into it,
# with the C++ runtime beside it for ASan to find the real __cxa_throw.
# PYTHONMALLOC=malloc puts Python's objects on the heap LeakSanitizer scans: in
# its own arenas, the pointers they hold go unseen and their targets look leaked.
# The slow unwinder gives whole allocation stacks through FFmpeg's libraries,
# built without frame pointers, so that a suppression can name FFmpeg's frames.
SANITIZE_DIR := build/sanitize
SANITIZER_ENV := \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:strict_init_order=1:fast_unwind_on_malloc=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
SANITIZER_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)

sanitize-build: venv
	cmake -S . -B $(SANITIZE_DIR) -G Ninja -DCORVANE_SANITIZE=ON -DCORVANE_TESTS=ON -DCORVANE_WERROR=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) \
	  -Dpybind11_DIR="$$($(PYTHON) -m pybind11 --cmakedir)" > /dev/null
	cmake --build $(SANITIZE_DIR)

# The command line comes from the ordinary build (it is pure Python); the module
# from the sanitizer build shadows the ordinary one through PYTHONPATH.
sanitize-test: sanitize-build build
	$(SANITIZER_ENV) ctest --test-dir $(SANITIZE_DIR) --output-on-failure
	$(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONPATH=$(CURDIR)/$(SANITIZE_DIR) \
	  $(PYTHON) -c 'import corvane, sys; sys.exit(not corvane.__file__.startswith("$(CURDIR)/$(SANITIZE_DIR)/"))'
	$(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONPATH=$(CURDIR)/$(SANITIZE_DIR) \
	  $(PYTHON) -m pytest -p no:cacheprovider

# make fuzz against the sanitizer build: a report from ASan, UBSan or LSan ends
# the child with an error status, counted as crashed and printed.
sanitize-fuzz: sanitize-build
	$(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONPATH=$(CURDIR)/$(SANITIZE_DIR) \
	  $(PYTHON) scripts/fuzz.py --count $(COUNT) --seed $(SEED) --workers 2

clean:
	rm -rf build demo $(VENV) node_modules
