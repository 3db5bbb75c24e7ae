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

.PHONY: demo test system venv node build unit-tests python-tests bench clean

demo: build
	$(PYTHON) scripts/demo.py

test: unit-tests python-tests

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
build: venv
	$(PYTHON) -m pip install -q --no-build-isolation .

unit-tests: venv
	cmake -S . -B build/unit -G Ninja -DCORVANE_MODULE=OFF -DCORVANE_TESTS=ON \
	  -DCMAKE_BUILD_TYPE=Debug > /dev/null
	cmake --build build/unit
	ctest --test-dir build/unit --output-on-failure

python-tests: build node
	$(PYTHON) -m pytest

bench: build
	$(PYTHON) bench/ladder_bench.py

clean:
	rm -rf build demo $(VENV) node_modules
