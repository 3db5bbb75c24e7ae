#!/usr/bin/env bash
# matrix.sh [RELEASE...]
#
# Builds corvane and runs its suite (packaging/roots/root_suite.sh) in a Debian root of
# each RELEASE: by default Debian 13 (trixie: FFmpeg 7.1, Python 3.13), with
# the dependencies at their lower bounds, and Debian testing (FFmpeg 9.0,
# Python 3.14 as of this writing), with the pinned ones. The host itself,
# Debian 12, runs `make test` with the pins. The roots come from
# packaging/roots/debian_root.sh, cached; the clone's files (tracked and new, not
# ignored) are copied into each root's /tmp, so nothing is written to the
# clone or kept in the root.
set -euo pipefail
cd "$(dirname "$0")/../.."

# What building and testing need from a release: its toolchain, Python
# headers, the FFmpeg -dev packages, GoogleTest, the readers the tests check
# ladders with (ffmpeg, openssl, GStreamer's playbin), and chattr and mount
# for the disk-fault tests (testing no longer has mount by default).
PACKAGES=(build-essential ccache cmake ninja-build pkg-config libgtest-dev python3-dev python3-venv
  libavformat-dev libavcodec-dev libavfilter-dev libswscale-dev libavutil-dev libswresample-dev
  ffmpeg openssl ca-certificates gstreamer1.0-tools gstreamer1.0-plugins-base
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav e2fsprogs mount)

mode_of() {
  case $1 in
    trixie) echo lower-bounds ;;
    *) echo pins ;;
  esac
}

[ $# -gt 0 ] || set -- trixie testing
failed=()
for release in "$@"; do
  started=$SECONDS
  root=$(packaging/roots/debian_root.sh "$release" "${PACKAGES[@]}")
  made=$((SECONDS - started))
  mode=$(mode_of "$release")
  echo "=== $release ($mode): $root, ready in ${made} s"
  # Each release's compiler cache, kept with the roots and components.
  if git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - |
      CORVANE_ROOT_CCACHE=${CORVANE_CACHE:-$HOME/.cache/corvane}/ccache/$release \
      packaging/roots/in_root.sh "$root" /bin/bash -euc \
        'mkdir /tmp/src && cd /tmp/src && tar -xf - && exec packaging/roots/root_suite.sh "$1"' \
        root_suite "$mode"; then
    echo "=== $release ($mode): passed in $((SECONDS - started)) s"
  else
    echo "=== $release ($mode): FAILED after $((SECONDS - started)) s"
    failed+=("$release")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "matrix failed in: ${failed[*]}" >&2
  exit 1
fi
