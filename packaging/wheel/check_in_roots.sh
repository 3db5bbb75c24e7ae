#!/usr/bin/env bash
# check_in_roots.sh debian12|debian13|debian-testing WHEEL
#
# Installs a self-contained wheel where nothing else is, and makes a ladder:
#   debian12  a Debian 12 root with python3 and python3-venv alone (no FFmpeg
#             library): pip install the wheel, `corvane encode` a clip made on
#             the host, `corvane check` the ladder.
#   debian13  a Debian 13 root with Debian's own FFmpeg libraries installed:
#             Debian's libavcodec is loaded into the process first, with its
#             symbols global, then corvane is imported and makes a ladder, which
#             `corvane check` reads.
#   debian-testing  a Debian testing root with python3 and python3-venv alone
#             (Python 3.14 as of this writing): corvane is imported in a venv of
#             testing's python3 and makes a ladder, which `corvane check` reads.
# Roots come from packaging/roots/debian_root.sh (cached); commands run in them through
# packaging/roots/in_root.sh, with the wheel and the clip piped in as a tar.
set -euo pipefail
cd "$(dirname "$0")/../.."
case ${1:-} in
  debian12) release=bookworm; packages=(python3 python3-venv) ;;
  debian13) release=trixie; packages=(python3 python3-venv libavcodec61) ;;
  debian-testing) release=testing; packages=(python3 python3-venv) ;;
  *) echo "usage: $0 debian12|debian13|debian-testing WHEEL" >&2; exit 2 ;;
esac
check=$1
wheel=$(realpath "$2")

given=$(mktemp -d)
trap 'rm -rf "$given"' EXIT
cp "$wheel" "$given/"
# Four seconds of 720p with sound, in the MP4 a phone would upload.
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=1280x720:rate=30:duration=4 \
  -f lavfi -i sine=frequency=440:duration=4 -c:v libx264 -pix_fmt yuv420p -c:a aac \
  -shortest "$given/clip.mp4"

root=$(packaging/roots/debian_root.sh "$release" "${packages[@]}")
echo "=== $check: $(basename "$wheel") in $root"
tar -C "$given" -cf - . | packaging/roots/in_root.sh "$root" /bin/bash -euc '
  check=$1
  mkdir /tmp/given && tar -C /tmp/given -xf -
  cd /tmp/given
  python3 -m venv /tmp/venv
  /tmp/venv/bin/python -m pip install -q ./*.whl
  /tmp/venv/bin/corvane --version
  if [ "$check" = debian12 ]; then
    if ls /usr/lib/x86_64-linux-gnu/libav* 2> /dev/null; then
      echo "this root has FFmpeg libraries of its own" >&2; exit 1
    fi
    /tmp/venv/bin/corvane encode clip.mp4 /tmp/ladder
  else
    /tmp/venv/bin/python - "$check" <<EOF
import ctypes, os, sys
if sys.argv[1] == "debian13":
    # Debian'"'"'s FFmpeg first, its symbols global: what another module or
    # library in the same process may do before corvane is imported.
    theirs = ctypes.CDLL("libavcodec.so.61", ctypes.RTLD_GLOBAL)
    avutil = ctypes.CDLL("libavutil.so.59", ctypes.RTLD_GLOBAL)
    avutil.av_version_info.restype = ctypes.c_char_p
    print("Debian FFmpeg", avutil.av_version_info().decode(), "loaded")
import corvane
print("Python", sys.version.split()[0], "runs corvane", corvane.versions())
os.makedirs("/tmp/ladder")
with open("/tmp/ladder/enc.key", "wb") as key:
    key.write(os.urandom(16))
with open("/tmp/enc.keyinfo", "w") as info:
    info.write("enc.key\n/tmp/ladder/enc.key\n")
corvane.hls_encoder("clip.mp4", "/tmp/ladder/master.m3u8", key="/tmp/enc.keyinfo")
EOF
  fi
  /tmp/venv/bin/corvane check /tmp/ladder/master.m3u8
' check_in_roots "$check"
echo "=== $check: passed"
