# Two entry points for a fresh Debian 12 machine: `make demo` and `make test`.
# Every step can run again without harm.
SHELL := /bin/bash
VENV := .venv
PYTHON := $(VENV)/bin/python
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

# $(call apt_install,PACKAGES): installs those of PACKAGES that are missing.
apt_install = missing=$$(for p in $(1); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

# What building, the demo and the tests need from Debian; the players the tests
# play the ladders in (Chromium, GStreamer's playbin) and chattr (e2fsprogs), which the
# disk-fault tests use, among them.
APT_PACKAGES := build-essential ccache cmake ninja-build pkg-config libgtest-dev openssl ffmpeg \
	python3-dev python3-venv e2fsprogs \
	libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev libswresample-dev \
	chromium gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good \
	gstreamer1.0-plugins-bad gstreamer1.0-libav

# Our compiles go through ccache, whose cache lives outside the clone beside the
# Debian roots and the components, so that a fresh clone (every CI run) compiles
# only what changed. Paths inside the clone are hashed relative to it, and the
# build folder is left out of the hash of debug builds.
CORVANE_CACHE ?= $(HOME)/.cache/corvane
export CMAKE_CXX_COMPILER_LAUNCHER := ccache
export CCACHE_DIR := $(CORVANE_CACHE)/ccache/host
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: demo test system venv node build lint format unit-tests python-tests bench clean matrix \
	user-path sanitize-build tsan-build sanitize-test asan-test tsan-test sanitize-fuzz fuzz memcheck

demo: build
	$(PYTHON) scripts/demo.py

test: lint unit-tests python-tests

system:
	@$(call apt_install,$(APT_PACKAGES))
	@command -v npm > /dev/null || { \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq nodejs npm; }

$(VENV)/.installed: requirements-dev.txt
	python3 -m venv $(VENV)
	$(PYTHON) -m pip install -q --upgrade pip
	$(PYTHON) -m pip install -q -r requirements-dev.txt
	touch $@

venv: system $(VENV)/.installed

# hls.js, Shaka Player and playwright-core, at the versions package-lock.json pins.
node_modules/.installed: package.json package-lock.json
	npm ci --no-audit --no-fund
	touch $@

node: system node_modules/.installed

# Build isolation off: the pinned build tools are already in the environment.
# Our own builds treat warnings as errors; a plain `pip install .` does not.
build: venv
	$(PYTHON) -m pip install -q --no-build-isolation -C cmake.define.CORVANE_WERROR=ON .

# The engine's C++ against .clang-format (`make format` rewrites it).
CPP_SOURCES = $(shell find engine tests/cpp -name '*.h' -o -name '*.cpp')

lint: venv
	$(PYTHON) -m ruff check scripts tests bench src packaging
	$(PYTHON) -m ruff format --check scripts tests bench src packaging
	$(PYTHON) -m mypy --strict src scripts packaging
	@echo "clang-format --dry-run --Werror engine tests/cpp"
	@$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(PYTHON) scripts/check_layout.py
	$(MAKE) --no-print-directory docs

format: venv
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)
	$(PYTHON) -m ruff check --select I --fix scripts tests bench src packaging
	$(PYTHON) -m ruff format scripts tests bench src packaging

unit-tests: venv
	cmake -S . -B build/unit -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_TESTS=ON \
	  -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Debug > /dev/null
	cmake --build build/unit
	ctest --test-dir build/unit --output-on-failure

python-tests: build node
	$(PYTHON) -m pytest

bench: build
	$(PYTHON) bench/ladder_bench.py

# The documentation site, docs/ as HTML in build/docs (mkdocs.yml: strict, so a
# broken link, a link to a missing page or a page missing from the nav fails it).
# Not --quiet: it hides the warnings that strict mode counts, and nothing fails.
.PHONY: docs
docs: venv
	$(PYTHON) -m mkdocs build

# The suite in Debian 13 (FFmpeg 7.1, Python 3.13; dependencies at their lower
# bounds) and Debian testing (FFmpeg 9.0, Python 3.14; pinned) roots, made
# with mmdebstrap and cached in $CORVANE_CACHE (default ~/.cache/corvane)/roots: see
# packaging/roots/matrix.sh. The Chromium tests stay on the host. Needs root.
# make matrix RELEASES=testing
RELEASES ?= trixie testing
matrix:
	packaging/roots/matrix.sh $(RELEASES)

# A new user's install into a fresh venv, with build isolation, then a ladder
# made and checked with the `corvane` command: see packaging/roots/user_path.sh.
user-path: system
	packaging/roots/user_path.sh

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

# The unit tests and the whole pytest suite (the fuzz set included) against two
# instrumented builds of corvane's own code: AddressSanitizer with
# UndefinedBehaviorSanitizer in build/sanitize, then ThreadSanitizer in
# build/tsan. Python itself is not instrumented, so the sanitizer's runtime is
# preloaded into it; ASan's with the C++ runtime beside it, for ASan to find the
# real __cxa_throw.
# PYTHONMALLOC=malloc puts Python's objects on the heap LeakSanitizer scans: in
# its own arenas, the pointers they hold go unseen and their targets look leaked.
# The slow unwinder gives whole allocation stacks through FFmpeg's libraries,
# built without frame pointers, so that a suppression can name FFmpeg's frames.
# FFmpeg's libraries are not instrumented either: TSan cannot see their atomics
# (reference counts, the decoder's frame-thread progress), so what they do
# through its interceptors (free, memcpy) is not judged; every access of
# corvane's own code is.
SANITIZE_DIR := build/sanitize
SANITIZER_ENV := \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:strict_init_order=1:fast_unwind_on_malloc=0 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
SANITIZER_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
TSAN_DIR := build/tsan
TSAN_ENV := TSAN_OPTIONS=halt_on_error=1:ignore_noninstrumented_modules=1:second_deadlock_stack=1
TSAN_PRELOAD = $(shell g++ -print-file-name=libtsan.so)

# $(call instrumented_build,folder,sanitizer)
instrumented_build = cmake -S . -B $(1) -G Ninja -DCORVANE_SANITIZE=$(2) -DCORVANE_TESTS=ON \
	  -DCORVANE_WERROR=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(CURDIR)/$(PYTHON) \
	  -Dpybind11_DIR="$$($(PYTHON) -m pybind11 --cmakedir)" > /dev/null && cmake --build $(1)

# $(call instrumented_suite,folder,environment,preload)
define instrumented_suite
	$(2) ctest --test-dir $(1) --output-on-failure
	$(2) LD_PRELOAD="$(3)" PYTHONPATH=$(CURDIR)/$(1) \
	  $(PYTHON) -c 'import corvane, sys; sys.exit(not corvane.__file__.startswith("$(CURDIR)/$(1)/"))'
	$(2) LD_PRELOAD="$(3)" PYTHONPATH=$(CURDIR)/$(1) $(PYTHON) -m pytest -p no:cacheprovider
endef

sanitize-build: venv
	$(call instrumented_build,$(SANITIZE_DIR),address)

tsan-build: venv
	$(call instrumented_build,$(TSAN_DIR),thread)

sanitize-test: asan-test tsan-test

# The command line comes from the ordinary build (it is pure Python); the module
# from the sanitizer build shadows the ordinary one through PYTHONPATH.
asan-test: sanitize-build build node
	$(call instrumented_suite,$(SANITIZE_DIR),$(SANITIZER_ENV),$(SANITIZER_PRELOAD))

tsan-test: tsan-build build node
	$(call instrumented_suite,$(TSAN_DIR),$(TSAN_ENV),$(TSAN_PRELOAD))

# make fuzz against the ASan build: a report from ASan, UBSan or LSan ends
# the child with an error status, counted as crashed and printed.
sanitize-fuzz: sanitize-build
	$(SANITIZER_ENV) LD_PRELOAD="$(SANITIZER_PRELOAD)" PYTHONPATH=$(CURDIR)/$(SANITIZE_DIR) \
	  $(PYTHON) scripts/fuzz.py --count $(COUNT) --seed $(SEED) --workers 2

clean:
	rm -rf build demo $(VENV) node_modules

# The self-contained wheel, for the venv's Python, in dist/: FFmpeg, libx264,
# zimg and dav1d built from Debian's source packages (packaging/wheel/components.toml
# names them; the build is cached in ${CORVANE_CACHE:-~/.cache/corvane}/components)
# and linked into the module, repaired and checked with auditwheel.
WHEEL_APT_PACKAGES := dpkg-dev nasm meson ninja-build autoconf automake libtool

.PHONY: wheel-tools wheel wheel-sources wheel-check wheel-roots wheel-suite

wheel-tools: venv
	@$(call apt_install,$(WHEEL_APT_PACKAGES))

wheel: wheel-tools
	nice -n 10 $(PYTHON) packaging/wheel/make_wheel.py

# The venv's wheel in a Debian 12 root with python3 and python3-venv alone:
# install, `corvane encode`, `corvane check`.
wheel-check: wheel
	packaging/wheel/check_in_roots.sh debian12 "$$(ls -t dist/corvane-*-cp311-*.whl | head -1)"

# The suite's ladder tests (the footage that needs treating among them), the
# error tests and the command's, against the venv's wheel installed in a venv
# of its own. Not the tests of sources that name other files: they expect the
# words of an FFmpeg with every demuxer, and the wheel's has none of those
# (HLS apart, which FFmpeg 7.1 itself refuses there), so such a source is
# refused as data no demuxer reads, or, for an image sequence's name, as a
# file that does not exist.
WHEEL_VENV := build/wheel-venv
wheel-suite: wheel
	python3 -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q -r requirements-dev.txt
	$(WHEEL_VENV)/bin/python -m pip install -q --force-reinstall --no-deps \
	  "$$(ls -t dist/corvane-*-cp311-*.whl | head -1)"
	$(WHEEL_VENV)/bin/corvane --version
	$(WHEEL_VENV)/bin/python -m pytest -p no:cacheprovider \
	  tests/test_media.py tests/test_errors.py tests/test_cli.py \
	  -k 'not test_source_naming_other_files_is_refused'

# The wheels of Debian 13's Python (3.13) and Debian testing's (3.14), both
# built in a Debian 13 root from the cached components and tagged by its glibc
# (manylinux_2_41). Testing's Python comes as its own .debs, unpacked in the
# root: a module linked in a testing root needs testing's glibc 2.43, past
# auditwheel's last policy, and cannot be repaired. The cp313 wheel is checked
# in a Debian 13 root beside Debian's own FFmpeg, the cp314 wheel in a Debian
# testing root with its python3 alone.
wheel-roots: wheel
	nice -n 10 packaging/wheel/build_in_root.sh trixie
	packaging/wheel/check_in_roots.sh debian13 "$$(ls -t dist/corvane-*-cp313-*.whl | head -1)"
	nice -n 10 packaging/wheel/build_in_root.sh trixie testing
	packaging/wheel/check_in_roots.sh debian-testing "$$(ls -t dist/corvane-*-cp314-*.whl | head -1)"

# What the wheel's notice names as its source: the exact Debian source packages
# it was built from, and corvane's own source with the build script.
wheel-sources: wheel-tools
	components=$$($(PYTHON) packaging/wheel/build_components.py) && \
	rm -rf dist/sources && mkdir -p dist/sources && \
	cp -r "$$components/sources/." dist/sources/ && \
	git archive --prefix=corvane/ -o dist/sources/corvane.tar.gz HEAD
	@ls -R dist/sources
