#!/usr/bin/env bash
# in_root.sh ROOT COMMAND...
#
# Runs COMMAND as root inside ROOT (a root from packaging/roots/debian_root.sh), with
# the host's /proc, /dev and /sys, a /tmp of its own, and the host's name
# resolution; standard input and output pass through (pipe a tar in to give it
# files). Needs root.
#
# chroot inside a mount namespace of its own (unshare --mount) rather than a
# container of user namespaces: as root, it needs nothing more than util-linux,
# and every mount made for the command goes when the command ends, even when it
# is killed, so no mount is ever left behind in a cached root.
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 ROOT COMMAND..." >&2
  exit 2
fi
root=$(realpath "$1")
shift
[ -f "$root/.corvane-root" ] || { echo "$0: $root is not a root made by debian_root.sh" >&2; exit 2; }

cp /etc/resolv.conf "$root/etc/resolv.conf"
cp /etc/hosts "$root/etc/hosts"

# What belongs to the host's own Python alone stays out, and so does the
# host's compiler cache: the root's compiles use one only when
# CORVANE_ROOT_CCACHE names a folder of the host for it, mounted at /tmp/ccache.
unset VIRTUAL_ENV PYTHONPATH PYTHONHOME LD_PRELOAD LD_LIBRARY_PATH
unset CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DIR CCACHE_BASEDIR CCACHE_NOHASHDIR
compiler_cache=()
if [ -n "${CORVANE_ROOT_CCACHE:-}" ]; then
  mkdir -p "$CORVANE_ROOT_CCACHE"
  compiler_cache=(CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/tmp/ccache
    CCACHE_BASEDIR=/tmp/src CCACHE_NOHASHDIR=1)
fi
exec unshare --mount --propagation private -- /bin/bash -euc '
  root=$1
  shift
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind -o ro /sys "$root/sys"
  # The tests make tmpfs mounts of their own; the sources, venv and build of a
  # run go in /tmp too, gone with the namespace.
  mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  # A local folder of wheels the host'"'"'s pip is told to look in, read-only.
  if [ -d "${PIP_FIND_LINKS:-}" ]; then
    mkdir -p "$root$PIP_FIND_LINKS"
    mount --bind -o ro "$PIP_FIND_LINKS" "$root$PIP_FIND_LINKS"
  fi
  if [ -n "${CORVANE_ROOT_CCACHE:-}" ]; then
    mkdir -p "$root/tmp/ccache"
    mount --bind "$CORVANE_ROOT_CCACHE" "$root/tmp/ccache"
  fi
  cd /
  exec chroot "$root" /usr/bin/env HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
' in_root "$root" "${compiler_cache[@]}" "$@"
