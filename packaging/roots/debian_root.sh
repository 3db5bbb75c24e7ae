#!/usr/bin/env bash
# debian_root.sh RELEASE PACKAGE...
#
# Prints the path of a Debian root of RELEASE (bookworm, trixie, testing,
# forky, sid) with PACKAGE... installed, made with mmdebstrap. Roots are cached
# outside the clone, in ${CORVANE_CACHE:-$HOME/.cache/corvane}/roots/, one per
# release and package list, so a fresh clone reuses them; one older than
# CORVANE_ROOT_MAX_AGE days (default 7) is made again, to pick up the
# release's updates. When that fails (Debian testing in the middle of a
# transition cannot always be installed), the cached root is used and stderr
# says so. The host's CA bundle and pip configuration are copied in at every
# call, so pip in the root reaches the same package index as on the host.
#
# Run commands in a root with packaging/roots/in_root.sh ROOT COMMAND...
set -euo pipefail

if [ $# -lt 2 ]; then
  echo "usage: $0 RELEASE PACKAGE..." >&2
  exit 2
fi
release=$1
shift

mirror=${CORVANE_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${CORVANE_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
max_age_days=${CORVANE_ROOT_MAX_AGE:-7}
roots=${CORVANE_CACHE:-$HOME/.cache/corvane}/roots

# The key: the release and the sorted, de-duplicated package list.
packages=$(printf '%s\n' "$@" | sort -u | tr '\n' ' ')
key=$(printf '%s\n%s\n' "$release" "$packages" | sha256sum | cut -c1-16)
root=$roots/$release-$key
# Written last: a root without it is a broken attempt, never used.
done_mark=$root/.corvane-root

# What goes into the root's sources.list. A stable release gets its updates
# and security suites; testing and unstable have neither.
case $release in
  bookworm | trixie)
    sources=("deb $mirror $release main" "deb $mirror $release-updates main"
      "deb $security_mirror $release-security main")
    valid_until=() ;;
  testing | forky | sid | unstable)
    sources=("deb $mirror $release main")
    # A snapshot mirror serves testing's Release file as it was on the day of
    # the snapshot, past its Valid-Until of a week: accept it for a test root.
    valid_until=(--aptopt='Acquire::Check-Valid-Until "false"') ;;
  *)
    echo "$0: unknown release '$release' (bookworm, trixie, testing, forky, sid)" >&2
    exit 2 ;;
esac

make_root() {
  command -v mmdebstrap > /dev/null || {
    echo "installing mmdebstrap" >&2
    apt-get update -qq >&2 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >&2
  }
  mkdir -p "$roots"
  local partial=$root.partial-$$
  rm -rf "$partial"
  echo "making the $release root $root ($packages)" >&2
  # --mode=root: we are root here, and a root mode root is owned by real root,
  # as the chroot that runs the tests expects.
  if ! mmdebstrap --mode=root --variant=apt --format=directory --quiet \
      "${valid_until[@]}" --include="$(printf '%s\n' "$@" | sort -u | paste -sd,)" \
      "$release" "$partial" "${sources[@]}" >&2; then
    rm -rf "$partial"
    return 1
  fi
  printf '%s\n%s\n' "$release" "$packages" > "$partial/.corvane-root"
  rm -rf "$root"
  mv "$partial" "$root"
}

is_fresh() {
  [ -n "$(find "$done_mark" -mtime -"$max_age_days" 2> /dev/null)" ]
}

# One maker of a root at a time; another call for it waits, then reuses it.
mkdir -p "$roots"
exec 9> "$root.lock"
flock 9

if [ ! -f "$done_mark" ]; then
  make_root "$@" || { echo "$0: could not make the $release root" >&2; exit 1; }
elif ! is_fresh; then
  if ! make_root "$@"; then
    echo "$0: $release cannot be installed today; using the cached root of" \
      "$(date -r "$done_mark" +%F) instead" >&2
  fi
fi

# The host's CA bundle (it may hold a CA that the package index's proxy needs)
# and its pip configuration, copied in at every call so they stay the host's.
mkdir -p "$root/etc/ssl/certs"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"
for conf in /etc/pip.conf /etc/xdg/pip/pip.conf; do
  if [ -f "$conf" ]; then
    mkdir -p "$root$(dirname "$conf")"
    cp "$conf" "$root$conf"
  fi
done
for conf in "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf"; do
  if [ -f "$conf" ]; then
    mkdir -p "$root/etc"
    cp "$conf" "$root/etc/pip.conf"
  fi
done

echo "$root"
