"""The `corvane` command through real processes: encode, check, Ctrl-C."""

import hashlib
import json
import os
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
    one_line,
    parse_master,
    parse_media_playlist,
    probe,
    run,
    segment_iv,
    stream_of,
)
from corvane_cli import cli

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


def sha256_of(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def snapshot(folder):
    """Everything under `folder`: each path with its bytes, link target or kind."""
    found = {}
    for path in sorted(Path(folder).rglob("*")):
        if path.is_symlink():
            found[path] = ("link", os.readlink(path))
        elif path.is_file():
            found[path] = ("file", path.read_bytes())
        else:
            found[path] = ("folder" if path.is_dir() else "other", None)
    return found


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
    assert manifest["key"] == (
        None
        if key_file is None
        else {"uri": uri, "iv": "per-segment", "sha256": sha256_of(key_file)}
    )
    assert sorted(manifest["files"]) == [n for n in listing(ladder) if n != "manifest.json"]
    for name, entry in manifest["files"].items():
        assert entry["sha256"] == hashlib.sha256((ladder / name).read_bytes()).hexdigest()

    check_key = ["--key-file", key_file] if mode in ("key-uri", "key-info") else []
    checked = corvane_command("check", ladder / "master.m3u8", *check_key)
    assert checked.returncode == 0, checked.stdout
    assert checked.stdout.splitlines()[-1] == f"{ladder / 'master.m3u8'}: ok"


def key_info_naming(folder, key_bytes):
    """--key and a key info file in `folder` naming a key file holding `key_bytes`."""
    folder.mkdir()
    (folder / "odd.key").write_bytes(key_bytes)
    (folder / "odd.keyinfo").write_text(f"https://keys.example/k\n{folder / 'odd.key'}\n")
    return ["--key", folder / "odd.keyinfo"]


def failing_setup(case, tmp_path, clip, garbage):
    """(INPUT, OUTDIR, more arguments) for a case of the failure table."""
    out = tmp_path / "out"
    if case == "missing-input-new-parents":
        return tmp_path / "absent.mp4", out / "new" / "deeper" / "talk", []
    if case == "garbage-input":
        return garbage, out / "talk", []
    if case == "existing-outdir":
        (out / "talk").mkdir()
        (out / "talk" / "mine.txt").write_text("kept")
    if case == "fifo-input":
        os.mkfifo(tmp_path / "upload.mp4")  # opened by anyone, the command would block
        return tmp_path / "upload.mp4", out / "talk", []
    if case == "symlinked-outdir":
        (out / "real").mkdir()
        (out / "talk").symlink_to("real")
    if case == "root-outdir":
        return clip("mp4"), Path("/"), []
    if case == "oversized-key":
        return clip("mp4"), out / "talk", key_info_naming(tmp_path / "keys", bytes(17))
    if case == "key-info-not-text":
        (tmp_path / "binary.keyinfo").write_bytes(bytes(range(256)))
        return clip("mp4"), out / "talk", ["--key", tmp_path / "binary.keyinfo"]
    if case == "key-info-naming-dev-zero":
        (tmp_path / "zero.keyinfo").write_text("enc.key\n/dev/zero\n")
        return clip("mp4"), out / "talk", ["--key", tmp_path / "zero.keyinfo"]
    source = tmp_path / "absent.mp4" if case == "missing-input" else clip("mp4")
    return source, out / "talk", []


FAILURES = [
    ("missing-input", 1, "No such file or directory"),
    ("missing-input-new-parents", 1, "No such file or directory"),
    ("garbage-input", 1, "Invalid data"),
    ("existing-outdir", 1, "is not a corvane ladder; pass --overwrite"),
    ("unknown-rendition", 2, "unknown rendition"),
    ("infinite-bitrate", 2, "not a bit rate: 'inf'"),
    ("fifo-input", 1, "upload.mp4 is a FIFO: corvane reads a regular file or a URL"),
    ("symlinked-outdir", 1, "talk is a symbolic link: give the folder it names"),
    ("root-outdir", 1, "corvane: / cannot be OUTDIR"),
    ("oversized-key", 1, "odd.key holds more than 16 bytes, not 16"),
    ("key-info-not-text", 1, "binary.keyinfo is not text"),
    ("key-info-naming-dev-zero", 1, "key /dev/zero is not a regular file"),
]


@pytest.mark.parametrize("case, status, message", FAILURES, ids=[case for case, *_ in FAILURES])
def test_encode_failure_says_why_and_leaves_nothing(clip, garbage, tmp_path, case, status, message):
    out = tmp_path / "out"
    out.mkdir()
    source, outdir, args = failing_setup(case, tmp_path, clip, garbage)
    before = snapshot(tmp_path)
    resolution = "540p" if case == "unknown-rendition" else "360p"
    bitrate = "inf" if case == "infinite-bitrate" else "400k"
    done = corvane_command(
        "encode", source, outdir, "--resolution", resolution, "--bitrate", bitrate, *args
    )
    assert done.returncode == status
    assert message in (done.stderr if status == 2 else one_line(done.stderr))
    assert "Traceback" not in done.stderr
    # No lock, no private folder, no parent folder made for OUTDIR, nothing touched.
    assert snapshot(tmp_path) == before


KEY_URI = ["--resolution", "360p", "--key-uri", "https://k.example/t"]


@pytest.fixture(scope="module")
def key_uri_ladder(clip, tmp_path_factory):
    """A folder holding talk/, a one-segment ladder made with --key-uri, and its key
    talk.key, for tests to copy."""
    folder = tmp_path_factory.mktemp("made")
    done = corvane_command("encode", clip("mp4"), folder / "talk", *KEY_URI)
    assert done.returncode == 0, done.stderr
    return folder


def copy_ladder(made, folder):
    shutil.copytree(made / "talk", folder / "talk", symlinks=True)
    shutil.copy2(made / "talk.key", folder / "talk.key")


def edit_manifest(ladder, change):
    path = ladder / "manifest.json"
    record = json.loads(path.read_text())
    change(record)
    path.write_text(json.dumps(record, indent=2))


def mark_attempt(folder, attempt):
    """An attempt's folder as a dead encode of talk leaves it, marker and all."""
    folder.mkdir()
    (folder / "corvane-attempt.json").write_text(json.dumps({"ladder": "talk", "attempt": attempt}))
    (folder / "ladder").mkdir()
    (folder / "ladder" / "360p_000.ts").write_bytes(bytes(188))


def cut_short(folder):
    # A publish by two renames cut short between them: talk is in the attempt's folder.
    attempt = folder / "talk.partial-0a1b2c3d"
    mark_attempt(attempt, "0a1b2c3d")
    (folder / "talk").rename(attempt / "old")


def drop_segment(folder):
    (folder / "talk" / "360p_000.ts").unlink()
    edit_manifest(folder / "talk", lambda m: m["files"].pop("360p_000.ts"))


def list_dev_zero(folder):
    entry = {"size": 0, "sha256": hashlib.sha256(b"").hexdigest()}
    edit_manifest(folder / "talk", lambda m: m["files"].update({"/dev/zero": entry}))


def fifo_for_segment(folder):
    (folder / "talk" / "360p_000.ts").unlink()
    os.mkfifo(folder / "talk" / "360p_000.ts")


def drop_key_record(folder):
    edit_manifest(folder / "talk", lambda m: m.pop("key"))


def replace_key(folder):
    (folder / "talk.key").write_bytes(os.urandom(16))


# case: (change to the folder holding talk/ and talk.key, more arguments, why the
# ladder is made again: None when it is kept)
AGAIN = {
    "same-source-and-options": (None, [], None),
    "other-resolution": (None, ["--resolution", "480p"], "it was made with other renditions"),
    "other-source": ("short2", [], "its source changed"),
    "overwrite": (None, ["--overwrite"], "--overwrite"),
    "after-a-publish-cut-short": (cut_short, [], None),
    "key-replaced": (replace_key, [], "its key talk.key is not the key it was made with"),
    "key-removed": (lambda f: (f / "talk.key").unlink(), [], "its key talk.key is missing"),
    "segment-dropped-from-manifest": (
        drop_segment,
        [],
        "360p_000.ts, which its playlists name, is missing",
    ),
    "manifest-lists-dev-zero": (
        list_dev_zero,
        [],
        "its manifest lists '/dev/zero', which is not a file in the ladder",
    ),
    "segment-replaced-by-a-fifo": (fifo_for_segment, [], "360p_000.ts is not a regular file"),
    "older-manifest": (drop_key_record, [], None),
    "older-manifest-other-key": (
        lambda f: (drop_key_record(f), replace_key(f)),
        [],
        "its key talk.key does not decrypt it",
    ),
}


@pytest.mark.parametrize("case", list(AGAIN))
def test_encode_again_keeps_a_ladder_only_while_it_is_what_is_asked(
    clip, key_uri_ladder, tmp_path, case
):
    change, args, reason = AGAIN[case]
    upload, out, key = tmp_path / "upload.mp4", tmp_path / "talk", tmp_path / "talk.key"
    copy_ladder(key_uri_ladder, tmp_path)
    shutil.copy(clip(change if isinstance(change, str) else "mp4"), upload)
    master = (out / "master.m3u8").stat().st_ino
    if callable(change):
        change(tmp_path)
    key_before = key.read_bytes() if key.exists() else None
    done = corvane_command("encode", upload, out, *KEY_URI, *args, timeout=60)
    assert done.returncode == 0, done.stderr
    if reason is None:
        assert "is up to date" in done.stdout, done.stdout
        assert (out / "master.m3u8").stat().st_ino == master
    else:
        assert f"replaced: the ladder there before ({reason}" in done.stdout.replace(
            str(tmp_path) + "/", ""
        ), done.stdout
        assert (out / "master.m3u8").stat().st_ino != master
    assert ("its manifest now has its key record" in done.stdout) == (case == "older-manifest")
    manifest = json.loads((out / "manifest.json").read_text())
    renditions = [args[-1]] if "--resolution" in args else ["360p"]
    assert manifest["options"]["renditions"] == renditions
    assert manifest["source"]["sha256"] == sha256_of(upload)
    # The live ladder keeps its key throughout, and the manifest records which.
    if key_before is not None:
        assert key.read_bytes() == key_before
    record = {"uri": "https://k.example/t", "iv": "per-segment", "sha256": sha256_of(key)}
    assert manifest["key"] == record
    assert listing(tmp_path) == ["talk", "talk.key", "upload.mp4"]
    checked = corvane_command("check", out / "master.m3u8", "--key-file", key)
    assert checked.returncode == 0, checked.stdout


def key_inside_a_default_ladder(clip, folder):
    """A ladder made the default way, then a key info file naming its enc.key."""
    done = corvane_command("encode", clip("mp4"), folder / "talk", "--resolution", "360p")
    assert done.returncode == 0, done.stderr
    (folder / "reuse.keyinfo").write_text(f"enc.key\n{folder / 'talk' / 'enc.key'}\n")
    return None


def key_in_a_plain_folder(clip, folder):
    """The key beside where the playlists will be, as a first call makes it."""
    (folder / "talk").mkdir()
    (folder / "talk" / "enc.key").write_bytes(os.urandom(16))
    (folder / "reuse.keyinfo").write_text(f"enc.key\n{folder / 'talk' / 'enc.key'}\n")
    return "is not a corvane ladder; pass --overwrite"


@pytest.mark.parametrize("setup", [key_inside_a_default_ladder, key_in_a_plain_folder])
def test_a_key_inside_outdir_stays_with_the_ladder_that_replaces_it(clip, tmp_path, setup):
    refused = setup(clip, tmp_path)
    out = tmp_path / "talk"
    key = (out / "enc.key").read_bytes()
    command = ["encode", clip("short2"), out, "--resolution", "360p", "--key", "reuse.keyinfo"]
    done = corvane_command(*command, cwd=tmp_path)
    if refused:
        assert done.returncode == 1 and refused in one_line(done.stderr)
        done = corvane_command(*command, "--overwrite", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert (out / "enc.key").read_bytes() == key
    manifest = json.loads((out / "manifest.json").read_text())
    assert manifest["key"]["sha256"] == hashlib.sha256(key).hexdigest()
    assert "enc.key" in manifest["files"]
    checked = corvane_command("check", out / "master.m3u8")  # the key beside the playlists
    assert checked.returncode == 0, checked.stdout
    again = corvane_command(*command, cwd=tmp_path)
    assert again.returncode == 0 and "is up to date" in again.stdout, again.stderr


def refusal_setup(case, folder):
    """(OUTDIR, more arguments, working folder) for a case of the refusal table;
    talk/, talk.key and the source upload.mp4 are in `folder`, or the source in
    uploads/."""
    if case == "file-its-manifest-does-not-list":
        (folder / "talk" / "notes.txt").write_text("mine")
        return folder / "talk", [], folder
    if case == "unreadable-manifest":
        (folder / "talk" / "manifest.json").write_text("{")
        return folder / "talk", [], folder
    if case == "folder-holding-the-source":
        (folder / "uploads").mkdir()
        (folder / "upload.mp4").rename(folder / "uploads" / "upload.mp4")
        (folder / "uploads" / "other.mp4").write_text("another upload")
        return folder / "uploads", ["--overwrite"], folder
    if case == "the-source-itself":
        return folder / "upload.mp4", ["--overwrite"], folder
    if case == "current-folder":
        (folder / "here").mkdir()
        (folder / "here" / "notes.txt").write_text("mine")
        return Path("."), ["--overwrite"], folder / "here"
    if case == "parent-of-the-current-folder":
        (folder / "work" / "sub").mkdir(parents=True)
        return folder / "work", ["--overwrite"], folder / "work" / "sub"
    if case == "key-of-the-ladder-beside":
        return folder / "talk.key", ["--overwrite"], folder
    if case == "key-info-file-inside":
        (folder / "talk" / "k.keyinfo").write_text(f"enc.key\n{folder / 'talk.key'}\n")
        return folder / "talk", ["--overwrite", "--key", folder / "talk" / "k.keyinfo"], folder
    if case == "key-server-key-inside":
        (folder / "talk" / "served.key").write_bytes(os.urandom(16))
        served = folder / "talk" / "served.key"
        (folder / "k.keyinfo").write_text(f"https://keys.example/k\n{served}\n")
        return folder / "talk", ["--overwrite", "--key", folder / "k.keyinfo"], folder
    raise AssertionError(case)


REFUSALS = [
    ("file-its-manifest-does-not-list", "holds notes.txt, which its manifest does not list"),
    ("unreadable-manifest", "talk cannot be read (Expecting"),
    ("folder-holding-the-source", "it holds the source"),
    ("the-source-itself", "it holds the source"),
    ("current-folder", "it is the current folder, or holds it"),
    ("parent-of-the-current-folder", "it is the current folder, or holds it"),
    ("key-of-the-ladder-beside", "it is the key of the ladder"),
    ("key-info-file-inside", "it holds the key info file"),
    ("key-server-key-inside", "served.key is inside"),
]


@pytest.mark.parametrize("case, message", REFUSALS, ids=[case for case, _ in REFUSALS])
def test_encode_never_replaces_what_must_stay(clip, key_uri_ladder, tmp_path, case, message):
    copy_ladder(key_uri_ladder, tmp_path)
    shutil.copy(clip("mp4"), tmp_path / "upload.mp4")
    outdir, args, cwd = refusal_setup(case, tmp_path)
    source = next(tmp_path.glob("**/upload.mp4"))
    before = snapshot(tmp_path)
    done = corvane_command("encode", source, outdir, "--resolution", "360p", *args, cwd=cwd)
    assert done.returncode == 1
    assert message in one_line(done.stderr)
    assert snapshot(tmp_path) == before


OURS = ("talk", "talk.key")


@pytest.mark.parametrize("talk", ["up-to-date", "absent"])
def test_only_an_attempt_marked_as_ours_is_cleared_beside_outdir(
    clip, key_uri_ladder, tmp_path, talk
):
    shutil.copy(clip("mp4"), tmp_path / "upload.mp4")
    if talk == "up-to-date":
        copy_ladder(key_uri_ladder, tmp_path)
    # A user's backups, a ladder whose name looks like a leftover, what an
    # earlier corvane left without a marker, and a dead attempt's folder.
    (tmp_path / "talk.old-2024").mkdir()
    (tmp_path / "talk.old-2024" / "notes.txt").write_text("mine")
    (tmp_path / "talk.old-mine").mkdir()
    shutil.copytree(key_uri_ladder / "talk", tmp_path / "talk.partial-v2")
    (tmp_path / "talk.partial-0a1b2c3d").mkdir()
    kept = snapshot(tmp_path)
    mark_attempt(tmp_path / "talk.partial-1234abcd", "1234abcd")
    done = corvane_command(
        "encode", tmp_path / "upload.mp4", tmp_path / "talk", *KEY_URI, "--report-json"
    )
    assert done.returncode == 0, done.stderr
    status = "skipped" if talk == "up-to-date" else "done"
    assert json.loads(done.stdout) == {
        "status": status,
        "leftovers_removed": 1,
        "left_alone": ["talk.partial-0a1b2c3d"],
    }
    assert "warning: left alone beside" in one_line(done.stderr)
    assert listing(tmp_path) == [
        "talk",
        "talk.key",
        "talk.old-2024",
        "talk.old-mine",
        "talk.partial-0a1b2c3d",
        "talk.partial-v2",
        "upload.mp4",
    ]

    def siblings(found):  # all but the ladder and its key
        return {p: v for p, v in found.items() if p.relative_to(tmp_path).parts[0] not in OURS}

    assert siblings(snapshot(tmp_path)) == siblings(kept)


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


def swap_segments(ladder, folder):
    (ladder / "360p_000.ts").rename(folder / "first.ts")
    (ladder / "360p_001.ts").rename(ladder / "360p_000.ts")
    (folder / "first.ts").rename(ladder / "360p_001.ts")


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
    # Each segment has its IV: one played in another's place does not decrypt.
    "swapped-segments": (swap_segments, "segment 360p_000.ts: not MPEG-TS data"),
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


def test_segments_of_a_command_made_ladder_carry_distinct_ivs(ladder):
    playlist = parse_media_playlist(ladder / "360p.m3u8")
    ivs = [segment["key"].get("IV") for segment in playlist["segments"]]
    assert len(ivs) == 3 and None not in ivs and len(set(ivs)) == 3, ivs
    assert json.loads((ladder / "manifest.json").read_text())["key"]["iv"] == "per-segment"


def key_file_for(case, folder):
    if case == "dev-zero":
        return Path("/dev/zero")
    path = folder / "given.key"
    if case == "fifo":
        os.mkfifo(path)  # opened for reading, the check would block
    elif case == "seventeen-bytes":
        path.write_bytes(bytes(17))
    return path


KEY_FILES = [
    ("dev-zero", "key /dev/zero is not a regular file"),
    ("fifo", "given.key is not a regular file"),
    ("seventeen-bytes", "given.key holds more than 16 bytes, not 16"),
    ("missing", "cannot read key"),
]


@pytest.mark.parametrize("case, message", KEY_FILES, ids=[case for case, _ in KEY_FILES])
def test_check_refuses_a_key_file_that_is_no_key_in_one_line(ladder, tmp_path, case, message):
    done = corvane_command(
        "check", ladder / "master.m3u8", "--key-file", key_file_for(case, tmp_path), timeout=60
    )
    assert done.returncode == 1
    assert message in one_line(done.stderr)
    assert done.stdout == ""


@pytest.mark.parametrize(
    "error, line",
    [
        (MemoryError(), "corvane: out of memory"),
        (RuntimeError("odd"), "corvane: internal error: RuntimeError: odd"),
        (OSError(28, "No space left on device"), "corvane: [Errno 28] No space left on device"),
    ],
    ids=["memory", "fault", "system"],
)
def test_an_unforeseen_error_ends_the_command_in_one_line(monkeypatch, capsys, error, line):
    def fail(args):
        raise error

    monkeypatch.setattr(cli, "run_command", fail)
    assert cli.main(["check", "master.m3u8"]) == 1
    assert capsys.readouterr().err == line + "\n"


def test_ctrl_c_stops_the_comparison_at_once(clip, key_uri_ladder, tmp_path):
    # A large file the manifest lists: hashing it whole would take a minute.
    copy_ladder(key_uri_ladder, tmp_path)
    large = tmp_path / "talk" / "large.bin"
    with large.open("wb") as file:
        file.truncate(32 << 30)
    entry = {"size": 32 << 30, "sha256": "0" * 64}
    edit_manifest(tmp_path / "talk", lambda m: m["files"].update({"large.bin": entry}))
    before = ((tmp_path / "talk.key").read_bytes(), large.stat().st_ino, listing(large.parent))
    encode = subprocess.Popen(
        [CORVANE, "encode", clip("mp4"), tmp_path / "talk", *KEY_URI],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )

    def hashing():
        fds = Path(f"/proc/{encode.pid}/fd")
        return any(os.path.realpath(fd) == str(large) for fd in fds.iterdir())

    deadline = time.monotonic() + 60
    while encode.poll() is None and not hashing():
        assert time.monotonic() < deadline, "the encode never hashed the large file"
        time.sleep(0.01)
    encode.send_signal(signal.SIGINT)
    _, stderr = encode.communicate(timeout=10)
    assert encode.returncode == 130
    assert one_line(stderr).startswith("corvane: interrupted")
    after = ((tmp_path / "talk.key").read_bytes(), large.stat().st_ino, listing(large.parent))
    assert after == before
    assert listing(tmp_path) == ["talk", "talk.key"]


def test_ctrl_c_stops_the_encode_and_publishes_nothing(clip, tmp_path):
    out = tmp_path / "out"
    encode = subprocess.Popen(
        [CORVANE, "encode", clip("longer"), out / "talk", "--resolution", "720p"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while not list(out.glob("talk.partial-*/ladder/*.ts")) and encode.poll() is None:
        assert time.monotonic() < deadline, "the encode never started writing"
        time.sleep(0.05)
    encoders = child_pids(encode.pid)
    assert encode.poll() is None and encoders, "the encode ended before it could be stopped"
    encode.send_signal(signal.SIGINT)
    stdout, stderr = encode.communicate(timeout=120)
    assert encode.returncode == 130
    assert "interrupted" in stderr and "Traceback" not in stderr
    assert stdout == ""
    assert not out.exists()  # nor the folder it made for OUTDIR
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
    assert not out.exists()
