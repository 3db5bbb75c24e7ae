#!/usr/bin/env bash
# root_suite.sh pins|lower-bounds
#
# Runs inside a Debian root (see packaging/roots/matrix.sh), from a copy of the clone
# in the current folder: a venv with the pinned dev tools (pins) or with the
# project's dependencies at the lower bounds of their ranges (lower-bounds),
# `pip install '.[batch]'` with warnings as errors, the C++ unit tests, a
# ladder made and checked by the `corvane` command, and the pytest suite
# without the tests that need Chromium.
set -euo pipefail
mode=$1

venv=/tmp/venv
python3 -m venv "$venv"
case $mode in
  pins) cp requirements-dev.txt /tmp/requirements.txt ;;
  lower-bounds) python3 packaging/roots/lower_bounds.py > /tmp/requirements.txt ;;
  *) echo "$0: pins or lower-bounds, not $mode" >&2; exit 2 ;;
esac
"$venv/bin/python" -m pip install -q -r /tmp/requirements.txt

# One CMake build makes both the module and the C++ unit tests, so corvane's
# own code compiles once: this is what costs time on two cores.
"$venv/bin/python" -m pip install -q --no-build-isolation \
  -C cmake.define.CORVANE_WERROR=ON -C cmake.define.CORVANE_TESTS=ON \
  -C build-dir=/tmp/build '.[batch]'

# Every step runs even when one before it failed: one run reports all.
failed=()
ctest --test-dir /tmp/build --output-on-failure || failed+=("C++ unit tests")
packaging/roots/user_path.sh --installed "$venv" || failed+=("corvane encode and check")
"$venv/bin/python" -m pytest -p no:cacheprovider -m 'not browser' || failed+=(pytest)
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi
