#!/usr/bin/env bash
# user_path.sh [--installed VENV] [PIP_OPTION...]
#
# What a new user does, from this clone: a fresh venv, `pip install .` with
# build isolation (the build tools come from pyproject.toml's ranges, not from
# requirements-dev.txt), `pip install '.[batch]'`, then `corvane encode` on a
# generated sample and `corvane check` on the ladder it made; the installed
# distribution must hold the module's stub. PIP_OPTIONs go to the first
# install (e.g. -C cmake.define.CORVANE_WERROR=ON).
#
# --installed VENV skips the installs and runs the encode and check with
# VENV's corvane, for a venv that has it already.
set -euo pipefail
cd "$(dirname "$0")/../.."

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-user.XXXXXX")
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = --installed ]; then
  venv=$2
else
  venv=$work/venv
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install -q "$@" .
  "$venv/bin/python" -m pip install -q '.[batch]'
  "$venv/bin/python" -c 'import dask, distributed'
fi

# The module's types where type checkers look: a stub package beside it.
"$venv/bin/python" -c 'from importlib.metadata import files
assert "corvane-stubs/__init__.pyi" in {f.as_posix() for f in files("corvane")}, "no stub"'

# Two seconds of 480p with sound: a sample the ladder's 480p and 360p come from.
ffmpeg -v error -f lavfi -i testsrc2=size=854x480:rate=30:duration=2 \
  -f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 \
  -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest "$work/sample.mp4"
"$venv/bin/corvane" encode "$work/sample.mp4" "$work/ladder"
"$venv/bin/corvane" check "$work/ladder/master.m3u8"
echo "user path: $("$venv/bin/corvane" --version) on Python" \
  "$("$venv/bin/python" -c 'import platform; print(platform.python_version())')" \
  "and FFmpeg $(ffmpeg -version | sed -n '1s/^ffmpeg version \([^ ]*\).*/\1/p'): encoded and checked"
