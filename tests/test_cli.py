"""The `corvane` command through real processes: encode, check, Ctrl-C."""

import hashlib
import json
import re
import shutil
import signal
import subprocess
import time
import tomllib
from importlib.metadata import version
from pathlib import Path

import pytest

import corvane
from conftest import (
    CORVANE,
    FFMPEG,
    OPENSSL,
    SIZES,
    KeyInfo,
    child_pids,
    corvane_command,
    decrypt_rendition,
    decrypt_segment,
    h264_stream,
    listing,
    parse_master,
    parse_media_playlist,
    probe,
    run,
    segment_iv,
    stream_of,
)

ROOT = Path(__file__).resolve().parents[1]


def test_version_comes_from_the_package_metadata():
    done = corvane_command("--version")
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    runs = corvane.versions()
    assert (done.returncode, done.stdout) == (
        0,
        f"corvane {declared} (FFmpeg {runs['ffmpeg']}, libx264 {runs['libx264']})\n",
    )
    assert version("corvane") == declared


def key_arguments(mode, tmp_path):
    """(command arguments, the key file, the URI the playlists name) for a key mode."""
    if mode == "new-key":
        return [], tmp_path / "out" / "talk" / "enc.key", "enc.key"
    if mode == "key-uri":
        uri = "https://keys.example/talk.key"
        return ["--key-uri", uri], tmp_path / "out" / "talk.key", uri
    if mode == "key-info":
        info = KeyInfo(tmp_path / "keys", with_iv=False)
        return ["--key", info.path], info.path.parent / "stream.key", info.uri
    return ["--no-encryption"], None, None


@pytest.mark.parametrize("mode", ["new-key", "key-uri", "key-info", "clear"])
def test_encode_publishes_a_checked_ladder(clip, tmp_path, mode):
    args, key_file, uri = key_arguments(mode, tmp_path)
    out = tmp_path / "out"
    done = corvane_command("encode", clip("mp4"), out / "talk", "--resolution", "360p", *args)
    assert done.returncode == 0, done.stderr
    ladder = out / "talk"
    assert listing(out) == (["talk", "talk.key"] if mode == "key-uri" else ["talk"])
    assert listing(ladder) == sorted(
        ["master.m3u8", "360p.m3u8", "360p_000.ts", "manifest.json"]
        + (["enc.key"] if mode == "new-key" else [])
    )
    summary = done.stdout.splitlines()
    assert summary[0].startswith(f"ladder: {ladder / 'master.m3u8'} (1 rendition,")
    row = next(line.split() for line in summary if line.startswith("360p "))
    assert row[1] == "640x360" and row[-1] == "ok"

    playlist = parse_media_playlist(ladder / "360p.m3u8")
    segment = ladder / "360p_000.ts"
    if key_file is None:
        assert playlist["keys"] == []
        clear = segment
    else:
        assert [k["URI"] for k in playlist["keys"]] == [uri]
        if mode == "key-uri":
            assert key_file.stat().st_mode & 0o777 == 0o600
        (clear,) = decrypt_rendition(
            ladder / "360p.m3u8", key_file.read_bytes(), tmp_path / "clear"
        )
    video = stream_of(probe(clear), "video")
    assert (video["codec_name"], (video["width"], video["height"])) == ("h264", SIZES["360p"])
    versions = json.loads((ladder / "manifest.json").read_text())["versions"]
    assert f"x264 - core {versions['libx264']} - ".encode() in h264_stream(clear)

    # BANDWIDTH covers the one segment's bit rate, as measured here.
    ((attrs, _),) = parse_master(ladder / "master.m3u8")
    seconds = playlist["segments"][0]["duration"]
    assert int(attrs["BANDWIDTH"]) >= 8 * segment.stat().st_size / seconds

    manifest = json.loads((ladder / "manifest.json").read_text())
    assert manifest["versions"]["corvane"] == version("corvane")
    assert manifest["options"]["renditions"] == ["360p"]
    assert manifest["options"]["key"].get("uri") == uri
    assert manifest["source"]["sha256"] == hashlib.sha256(clip("mp4").read_bytes()).hexdigest()
    assert sorted(manifest["files"]) == [n for n in listing(ladder) if n != "manifest.json"]
    for name, entry in manifest["files"].items():
        assert entry["sha256"] == hashlib.sha256((ladder / name).read_bytes()).hexdigest()

    check_key = ["--key-file", key_file] if mode in ("key-uri", "key-info") else []
    checked = corvane_command("check", ladder / "master.m3u8", *check_key)
    assert checked.returncode == 0, checked.stdout
    assert checked.stdout.splitlines()[-1] == f"{ladder / 'master.m3u8'}: ok"


@pytest.mark.parametrize(
    "case, status, message",
    [
        pytest.param("missing", 1, "No such file or directory", id="missing-input"),
        pytest.param("garbage", 1, "Invalid data", id="garbage-input"),
        pytest.param(
            "exists", 1, "is not a corvane ladder; pass --overwrite", id="existing-outdir"
        ),
        pytest.param("bad-name", 2, "unknown rendition", id="unknown-rendition"),
        pytest.param("bad-rate", 2, "not a bit rate: 'inf'", id="infinite-bitrate"),
    ],
)
def test_encode_failure_says_why_and_leaves_nothing(clip, garbage, tmp_path, case, status, message):
    out = tmp_path / "out"
    out.mkdir()
    source = {"missing": tmp_path / "absent.mp4", "garbage": garbage}.get(case, clip("mp4"))
    if case == "exists":
        (out / "talk").mkdir()
        (out / "talk" / "mine.txt").write_text("kept")
    resolution = "540p" if case == "bad-name" else "360p"
    bitrate = "inf" if case == "bad-rate" else "400k"
    done = corvane_command(
        "encode", source, out / "talk", "--resolution", resolution, "--bitrate", bitrate
    )
    assert done.returncode == status
    assert message in done.stderr
    assert "Traceback" not in done.stderr
    assert listing(out) == (["talk"] if case == "exists" else [])
    if case == "exists":
        assert listing(out / "talk") == ["mine.txt"]


@pytest.mark.parametrize(
    "source, again, made",
    [
        pytest.param("mp4", [], False, id="same-source-and-options"),
        pytest.param("mp4", ["--resolution", "480p"], True, id="other-resolution"),
        pytest.param("short2", [], True, id="other-source"),
        pytest.param("mp4", ["--overwrite"], True, id="overwrite"),
        # A publish cut short between its two renames, where the filesystem
        # cannot swap, and a dead encode's partial folder.
        pytest.param("mp4", ["cut-short"], False, id="after-a-publish-cut-short"),
    ],
)
def test_encode_again_keeps_a_ladder_only_while_it_is_what_is_asked(
    clip, tmp_path, source, again, made
):
    upload, out, key = tmp_path / "upload.mp4", tmp_path / "talk", tmp_path / "talk.key"
    shutil.copy(clip("mp4"), upload)
    first = ["encode", upload, out, "--resolution", "360p", "--key-uri", "https://k.example/t"]
    assert corvane_command(*first).returncode == 0
    made_before, key_before = (out / "manifest.json").stat().st_mtime_ns, key.read_bytes()
    shutil.copy(clip(source), upload)
    if again == ["cut-short"]:
        again = []
        out.rename(tmp_path / "talk.old-0a1b2c3d")
        (tmp_path / "talk.partial-4e5f6a7b").mkdir()
    done = corvane_command(*first, *again)
    assert done.returncode == 0, done.stderr
    assert ("replaced: the ladder there before" in done.stdout) == made
    assert ((out / "manifest.json").stat().st_mtime_ns != made_before) == made
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["options"]["renditions"] == [again[1] if "--resolution" in again else "360p"]
    assert manifest["source"]["sha256"] == hashlib.sha256(upload.read_bytes()).hexdigest()
    # The live ladder keeps its key throughout.
    assert key.read_bytes() == key_before
    assert listing(tmp_path) == ["talk", "talk.key", "upload.mp4"]
    checked = corvane_command("check", out / "master.m3u8", "--key-file", key)
    assert checked.returncode == 0, checked.stdout


@pytest.fixture(scope="module")
def ladder(clip, tmp_path_factory):
    """A three-segment encrypted ladder made by `corvane encode`."""
    out = tmp_path_factory.mktemp("ladder") / "talk"
    done = corvane_command("encode", clip("long"), out, "--resolution", "360p")
    assert done.returncode == 0, done.stderr
    return out


def start_mid_picture(ladder, folder):
    """Replaces the first segment by one that starts half a second in, past its key
    frame, encrypted again with the same key and IV."""
    playlist = parse_media_playlist(ladder / "360p.m3u8")
    key, iv = (ladder / "enc.key").read_bytes(), segment_iv(playlist, 0)
    clear = decrypt_segment(ladder / "360p_000.ts", key, iv, folder / "clear.ts")
    run(
        FFMPEG,
        "-v",
        "error",
        "-i",
        clear,
        "-ss",
        "0.5",
        "-c",
        "copy",
        "-copyinkf",
        "-f",
        "mpegts",
        folder / "cut.ts",
    )
    run(
        OPENSSL,
        "enc",
        "-aes-128-cbc",
        "-K",
        key.hex(),
        "-iv",
        iv.hex(),
        "-in",
        folder / "cut.ts",
        "-out",
        ladder / "360p_000.ts",
    )


def low_bandwidth(ladder, folder):
    master = ladder / "master.m3u8"
    master.write_text(re.sub(r"BANDWIDTH=\d+", "BANDWIDTH=1000", master.read_text()))


BREAKAGES = {
    "intact": (lambda ladder, folder: None, None),
    "missing-playlist": (
        lambda ladder, folder: (ladder / "360p.m3u8").unlink(),
        "playlist 360p.m3u8: No such file or directory",
    ),
    "no-endlist": (
        lambda ladder, folder: (ladder / "360p.m3u8").write_text(
            (ladder / "360p.m3u8").read_text().replace("#EXT-X-ENDLIST\n", "")
        ),
        "playlist 360p.m3u8 does not end with #EXT-X-ENDLIST",
    ),
    "missing-segment": (
        lambda ladder, folder: (ladder / "360p_001.ts").unlink(),
        "segment 360p_001.ts: No such file or directory",
    ),
    "truncated-segment": (
        lambda ladder, folder: (ladder / "360p_001.ts").write_bytes(
            (ladder / "360p_001.ts").read_bytes()[:1000]
        ),
        "segment 360p_001.ts: cannot decrypt",
    ),
    "wrong-key": (
        lambda ladder, folder: (ladder / "enc.key").write_bytes(bytes(16)),
        "segment 360p_000.ts: ",
    ),
    "mid-picture": (start_mid_picture, "360p_000.ts: does not start with a key frame"),
    "low-bandwidth": (low_bandwidth, "BANDWIDTH 1000 is below the measured peak"),
}


@pytest.mark.parametrize("breakage", list(BREAKAGES))
def test_check_reports_what_is_broken(ladder, tmp_path, breakage):
    copy = tmp_path / "talk"
    shutil.copytree(ladder, copy)
    damage, message = BREAKAGES[breakage]
    damage(copy, tmp_path)
    done = corvane_command("check", copy / "master.m3u8")
    header, row = done.stdout.splitlines()[:2]
    assert header.split()[:3] == ["RENDITION", "RESOLUTION", "SEGMENTS"]
    segments = "0" if breakage == "missing-playlist" else "3"
    assert row.split()[:3] == ["360p", "640x360", segments]
    if message is None:
        assert done.returncode == 0, done.stdout
        assert "problem" not in done.stdout
    else:
        assert done.returncode == 1
        problems = [line for line in done.stdout.splitlines() if line.startswith("problem: ")]
        assert [line for line in problems if message in line], problems
        assert done.stdout.splitlines()[-1].endswith("problem(s)")


def test_ctrl_c_stops_the_encode_and_publishes_nothing(clip, tmp_path):
    out = tmp_path / "out"
    encode = subprocess.Popen(
        [CORVANE, "encode", clip("longer"), out / "talk", "--resolution", "720p"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while not list(out.glob("talk.partial-*/*.ts")) and encode.poll() is None:
        assert time.monotonic() < deadline, "the encode never started writing"
        time.sleep(0.05)
    encoders = child_pids(encode.pid)
    assert encode.poll() is None and encoders, "the encode ended before it could be stopped"
    encode.send_signal(signal.SIGINT)
    stdout, stderr = encode.communicate(timeout=120)
    assert encode.returncode == 130
    assert "interrupted" in stderr and "Traceback" not in stderr
    assert stdout == ""
    assert listing(out) == []
    assert not any(Path(f"/proc/{pid}").exists() for pid in encoders)


def test_a_second_writer_fails_at_once_and_a_growing_source_publishes_nothing(clip, tmp_path):
    upload, out = tmp_path / "upload.mp4", tmp_path / "out"
    shutil.copy(clip("longer"), upload)
    first = subprocess.Popen(
        [CORVANE, "encode", upload, out / "talk", "--resolution", "720p"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    # The partial folder is made once the source is hashed, and under the lock.
    while not list(out.glob("talk.partial-*")) and first.poll() is None:
        assert time.monotonic() < deadline, "the encode never started"
        time.sleep(0.05)
    second = corvane_command(
        "encode", clip("mp4"), out / "talk", "--resolution", "360p", timeout=30
    )
    assert second.returncode == 1
    assert f"is being made by another corvane (pid {first.pid} on " in second.stderr
    assert first.poll() is None, "the first encode ended before its source grew"
    with upload.open("ab") as growing:
        growing.write(bytes(4096))
    stdout, stderr = first.communicate(timeout=300)
    assert first.returncode == 1
    assert "upload.mp4 changed while it was encoded (its size went from" in stderr
    assert "Traceback" not in stderr
    assert listing(out) == []
