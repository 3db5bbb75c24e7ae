"""An output directory that fills up or turns unwritable while the ladder is
being written: the call raises and says why, the master playlist names no
failed rendition, and no thread is left behind; the command fails in one line
and leaves nothing."""

import json
import os
import subprocess
import sys

import pytest

from conftest import (
    corvane_command,
    encode,
    listing,
    one_line,
    parse_master,
    parse_media_playlist,
)

# At 200 kbit/s the 13-second clip makes 6-second segments of about 330 KB.
SMALL = {"resolution": ["360p"], "bitrate": [200000]}


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def small_disk(tmp_path):
    """A 512 KiB tmpfs: room for the first segment, not for the second."""
    folder = tmp_path / "disk"
    folder.mkdir()
    mounted = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=512k", "corvane-test", str(folder)],
        capture_output=True,
        text=True,
    )
    if mounted.returncode != 0:
        pytest.skip(
            "mounting a small tmpfs needs root with CAP_SYS_ADMIN: " + mounted.stderr.strip()
        )
    yield folder
    subprocess.run(["umount", str(folder)], check=True)


def test_disk_that_fills_up_midway(clip, small_disk):
    before = threads()
    with pytest.raises(RuntimeError) as raised:
        encode(clip("long"), small_disk, **SMALL)
    message = str(raised.value)
    assert message.startswith("1 of 1 renditions failed: 360p: ")
    assert "No space left on device" in message
    assert "master.m3u8" not in listing(small_disk)
    assert (small_disk / "360p_000.ts").stat().st_size > 0  # it failed midway
    assert threads() == before


def test_command_on_a_full_disk_fails_in_one_line_and_leaves_nothing(clip, small_disk):
    fill = os.open(small_disk / "fill", os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(fill, bytes(4096)):
            pass
    except OSError:
        pass
    finally:
        os.close(fill)
    done = corvane_command("encode", clip("mp4"), small_disk / "out" / "talk")
    assert done.returncode == 1
    assert "No space left on device" in one_line(done.stderr)
    assert listing(small_disk) == ["fill"]  # no lock file, no folder made for OUTDIR


@pytest.fixture
def immutable(tmp_path):
    """make(folder) sets the immutable attribute on a folder, undone afterwards."""
    made = []

    def make(folder):
        done = subprocess.run(["chattr", "+i", str(folder)], capture_output=True, text=True)
        if done.returncode != 0:
            pytest.skip(
                "chattr +i needs root and a filesystem that keeps the attribute: "
                + done.stderr.strip()
            )
        made.append(folder)

    yield make
    for folder in made:
        subprocess.run(["chattr", "-i", str(folder)], check=True)


def test_folder_that_turns_unwritable_midway(clip, tmp_path, immutable):
    # The files of the first segment are there before the folder turns
    # immutable: they are written, and the first file the run has to create is
    # refused, as when a folder turns read-only midway. Root ignores file modes,
    # not this attribute.
    out = tmp_path / "out"
    out.mkdir()
    (out / "360p_000.ts").touch()
    (out / "360p.m3u8").touch()
    immutable(out)
    before = threads()
    with pytest.raises(RuntimeError) as raised:
        encode(clip("long"), out, **SMALL)
    assert "Operation not permitted" in str(raised.value)
    assert "master.m3u8" not in listing(out)
    assert (out / "360p_000.ts").stat().st_size > 0
    assert threads() == before


# Runs one call under a limit on the size of any file it writes (RLIMIT_FSIZE,
# with SIGXFSZ ignored so that a write past it fails with EFBIG), like a quota:
# playlists still fit when segments no longer do.
LIMITED = r"""
import json, resource, signal, sys
import corvane
limit, source, master, resolution, bitrate = sys.argv[1:]
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(limit), int(limit)))
try:
    corvane.hls_encoder(source, master, resolution=json.loads(resolution),
                        bitrate=json.loads(bitrate), key="")
    print(json.dumps(["completed", ""]))
except Exception as error:
    print(json.dumps([type(error).__name__, str(error)]))
"""


def run_limited(limit, source, folder, resolution, bitrate):
    folder.mkdir()
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            LIMITED,
            str(limit),
            str(source),
            str(folder / "master.m3u8"),
            json.dumps(resolution),
            json.dumps(bitrate),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_segments_past_a_file_size_limit_fail_their_rendition(clip, tmp_path):
    # 360p's segments stay under 600 kB; 480p's, at 1.2 Mbit/s, do not.
    out = tmp_path / "out"
    outcome, message = run_limited(600_000, clip("long"), out, ["360p", "480p"], [200000, 1200000])
    assert outcome == "RuntimeError"
    assert message.startswith("1 of 2 renditions failed: 480p: ")
    assert "File too large" in message
    assert [uri for _, uri in parse_master(out / "master.m3u8")] == ["360p.m3u8"]
    playlist = parse_media_playlist(out / "360p.m3u8")
    assert playlist["endlist"] and len(playlist["segments"]) == 3
    for segment in playlist["segments"]:
        assert (out / segment["uri"]).stat().st_size % 188 == 0
