"""Failures: which exception a caller gets, and what is (not) left behind."""

import errno
import http.server
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import corvane
from conftest import (
    FFMPEG,
    Loopback,
    LoopbackServer,
    corvane_command,
    encode,
    listing,
    master_variants,
    parse_media_playlist,
    run,
)
from fuzzing import run_call


@pytest.fixture
def out(tmp_path):
    folder = tmp_path / "out"
    folder.mkdir()
    return folder


def test_missing_input_raises_file_not_found(out, tmp_path):
    missing = tmp_path / "nowhere" / "clip.mp4"
    with pytest.raises(FileNotFoundError) as raised:
        encode(missing, out)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(missing)
    assert listing(out) == []


@pytest.mark.parametrize(
    "kind, words",
    [
        pytest.param("garbage", (), id="garbage-bytes"),
        pytest.param("audio_only", ("video stream",), id="audio-only"),
        # As an https URL does with the self-contained wheel, which has no TLS.
        pytest.param("nosuch://host/clip.mp4", ("no protocol for it",), id="no-protocol"),
    ],
)
def test_unusable_source_raises_value_error(clip, garbage, out, kind, words):
    source = garbage if kind == "garbage" else kind if "://" in kind else clip(kind)
    with pytest.raises(ValueError) as raised:
        encode(source, out)
    message = str(raised.value)
    for word in words:
        assert word in message
    assert listing(out) == []


def test_missing_output_directory_raises_file_not_found(clip, tmp_path):
    missing = tmp_path / "not-made"
    with pytest.raises(FileNotFoundError) as raised:
        corvane.hls_encoder(
            str(clip("mp4")), str(missing / "master.m3u8"), resolution=["360p"], key=""
        )
    assert raised.value.errno == errno.ENOENT
    assert os.path.normpath(raised.value.filename) == str(missing)
    assert not missing.exists()
    assert listing(tmp_path) == []


def test_output_directory_that_is_a_file_raises_not_a_directory(clip, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    with pytest.raises(NotADirectoryError):
        corvane.hls_encoder(
            str(clip("mp4")), str(blocker / "master.m3u8"), resolution=["360p"], key=""
        )
    assert listing(tmp_path) == ["file"]
    assert blocker.read_text() == "not a folder"


def test_missing_key_info_file_raises_file_not_found(clip, out, tmp_path):
    missing = tmp_path / "absent.keyinfo"
    with pytest.raises(FileNotFoundError) as raised:
        encode(clip("mp4"), out, key=missing)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(missing)
    assert listing(out) == []


def test_default_key_info_file_is_looked_up_in_working_directory(clip, out, monkeypatch):
    monkeypatch.chdir(out)
    with pytest.raises(FileNotFoundError) as raised:
        corvane.hls_encoder(str(clip("mp4")), str(out / "master.m3u8"), resolution=["360p"])
    assert raised.value.filename == "enc.keyinfo"
    assert listing(out) == []


@pytest.mark.parametrize(
    "kwargs, message",
    [
        pytest.param({"bitrate": [0]}, "bitrate[0] is 0, for 360p", id="bitrate-zero"),
        pytest.param(
            {"resolution": ["480p", "360p"], "bitrate": [1000000, -5]},
            "bitrate[1] is -5, for 360p",
            id="bitrate-negative-second",
        ),
        pytest.param(
            {"resolution": ["540p", "360p"], "bitrate": [7, -(2**31)]},
            "bitrate[1] is -2147483648, for 360p",
            id="bitrate-int32-lowest",
        ),
        # The master, written last, would replace a rendition's own file.
        pytest.param(
            {"resolution": ["720p", "360p"], "name": "720p.m3u8"},
            "rendition 720p's file 720p.m3u8",
            id="master-is-media-playlist",
        ),
        pytest.param(
            {"name": "360p_000.ts"},
            "rendition 360p's file 360p_000.ts",
            id="master-is-first-segment",
        ),
        pytest.param(
            {"name": "360p_1000.ts"},
            "rendition 360p's file 360p_1000.ts",
            id="master-is-later-segment",
        ),
        pytest.param(
            {"name": "link.m3u8", "link": "360p.m3u8"},
            "rendition 360p's file 360p.m3u8",
            id="master-links-to-media-playlist",
        ),
        # Named from inside the folder, with nothing in front.
        pytest.param(
            {"resolution": ["720p", "360p"], "name": "720p.m3u8", "bare": True},
            "rendition 720p's file 720p.m3u8",
            id="bare-master-is-first-playlist",
        ),
        pytest.param(
            {"resolution": ["720p", "360p"], "name": "360p.m3u8", "bare": True},
            "rendition 360p's file 360p.m3u8",
            id="bare-master-is-last-playlist",
        ),
        pytest.param(
            {"name": "360p_000.ts", "bare": True},
            "rendition 360p's file 360p_000.ts",
            id="bare-master-is-segment",
        ),
    ],
)
def test_refused_plan_raises_value_error_and_writes_nothing(
    clip, out, monkeypatch, kwargs, message
):
    kwargs = dict(kwargs)
    if "link" in kwargs:
        (out / kwargs["name"]).symlink_to(kwargs.pop("link"))
    folder = out
    if kwargs.pop("bare", False):
        monkeypatch.chdir(out)
        folder = Path()
    before = listing(out)
    with pytest.raises(ValueError) as raised:
        encode(clip("mp4"), folder, **kwargs)
    assert message in str(raised.value)
    assert listing(out) == before


@pytest.mark.parametrize(
    "resolution", [["540p", "720P"], [], ["360"]], ids=["unknown-names", "empty", "no-suffix"]
)
def test_no_known_rendition_raises_value_error(clip, out, resolution):
    with pytest.raises(ValueError) as raised:
        encode(clip("mp4"), out, resolution=resolution)
    assert "rendition" in str(raised.value)
    assert listing(out) == []


def test_unreadable_key_fails_every_rendition(clip, out, tmp_path):
    info = tmp_path / "broken.keyinfo"
    info.write_text(f"key.bin\n{tmp_path / 'no-such.key'}\n")
    with pytest.raises(RuntimeError) as raised:
        encode(clip("mp4"), out, resolution=["480p", "360p"], key=info)
    assert type(raised.value) is RuntimeError
    message = str(raised.value)
    assert "480p" in message and "360p" in message
    assert not (out / "master.m3u8").exists()


def test_one_failed_rendition_leaves_the_others_in_the_master(clip, out):
    # A directory where 720p's first segment must go makes that rendition fail.
    (out / "720p_000.ts").mkdir()
    with pytest.raises(RuntimeError) as raised:
        encode(clip("mp4"), out, resolution=["720p", "360p"])
    message = str(raised.value)
    assert "720p" in message
    assert "360p:" not in message
    master_variants(out / "master.m3u8", ["360p"])
    playlist = parse_media_playlist(out / "360p.m3u8")
    assert playlist["lines"][-1] == "#EXT-X-ENDLIST"
    assert [s["uri"] for s in playlist["segments"]] == ["360p_000.ts"]
    assert (out / "360p_000.ts").stat().st_size > 0


def test_unwritable_master_playlist_raises_os_error(clip, out):
    # The renditions complete; only the master playlist has nowhere to go.
    (out / "master.m3u8").mkdir()
    with pytest.raises(IsADirectoryError) as raised:
        encode(clip("mp4"), out)
    assert "master playlist" in str(raised.value)
    assert parse_media_playlist(out / "360p.m3u8")["lines"][-1] == "#EXT-X-ENDLIST"


@pytest.mark.parametrize("folder", ["take%d", "part%03dx", "variant%v"])
def test_output_folder_the_muxer_would_misread_is_refused(clip, tmp_path, folder):
    out = tmp_path / folder
    out.mkdir()
    with pytest.raises(ValueError) as raised:
        encode(clip("mp4"), out)
    assert folder in str(raised.value)
    assert listing(out) == []


def playlist(segment):
    """An HLS media playlist of one segment: what FFmpeg's HLS reader would fetch."""
    return f"#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXTINF:2,\n{segment}\n#EXT-X-ENDLIST\n"


@pytest.mark.parametrize(
    "name, text",
    [
        pytest.param("evil.mp4", playlist("{root}/private/other.ts"), id="playlist-absolute"),
        pytest.param("evil.mkv", playlist("../private/other.ts"), id="playlist-up-mkv"),
        pytest.param("evil.ts", playlist("../private/other.ts"), id="playlist-up-ts"),
        pytest.param("evil.m3u8", playlist("{root}/private/other.ts"), id="m3u8"),
        pytest.param("evil.mp4", playlist("{url}"), id="playlist-loopback-url"),
        pytest.param("evil.mp4", "ffconcat version 1.0\nfile 'otheruser.ts'\n", id="concat-list"),
        pytest.param("frame%03d.png", None, id="image-sequence"),
    ],
)
def test_source_naming_other_files_is_refused(clip, out, tmp_path, name, text):
    # An upload beside another user's, and a private folder beside the uploads:
    # all of them media FFmpeg would read and corvane publish.
    uploads = tmp_path / "uploads"
    others = [uploads / "otheruser.ts", tmp_path / "private" / "other.ts"]
    for other in others:
        other.parent.mkdir()
        shutil.copy(clip("mpegts"), other)
        # Accessed before modified: the first read of it sets its access time.
        os.utime(other, (1, other.stat().st_mtime))
    source = uploads / name
    with LoopbackServer({"private": tmp_path / "private"}) as server:
        if text is None:
            run(
                FFMPEG,
                "-v",
                "error",
                "-f",
                "lavfi",
                "-i",
                "testsrc2=size=64x64",
                "-frames:v",
                "3",
                source,
            )
        else:
            source.write_text(text.format(root=tmp_path, url=server.url("private/other.ts")))
        # In a child, so that this process serves while the call holds the
        # interpreter lock, and a call that goes on reading fails the test.
        result = run_call(source, out, timeout=120)
        # The command reads the source only through corvane, under the same rule.
        command = corvane_command("encode", source, tmp_path / "ladder", timeout=120)
    # Whichever refused it, corvane or (from 7.1 on, for a playlist named like
    # a media file) FFmpeg's own probe, and in whatever words.
    assert (result["outcome"], result.get("type")) == ("raised", "ValueError"), result
    assert str(source) in result["message"]
    assert [other.stat().st_atime for other in others] == [1] * len(others)
    assert command.returncode == 1
    assert str(source) in command.stderr
    assert listing(out) == []
    assert not (tmp_path / "ladder").exists()
    assert server.requests == []


# A call in a child that reports how it ended, and when.
INTERRUPTED_CALL = r"""
import sys, time
import corvane
try:
    corvane.hls_encoder(sys.argv[1], sys.argv[2], resolution=["1080p", "360p"], key="")
    print("completed")
except KeyboardInterrupt:
    print("KeyboardInterrupt", time.monotonic())
"""


def test_ctrl_c_stops_the_call_and_removes_what_it_wrote(clip, out):
    (out / "notes.txt").write_text("not the call's")
    call = subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_CALL, str(clip("longer")), str(out / "master.m3u8")],
        stdout=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while not list(out.glob("*.ts")) and call.poll() is None:
        assert time.monotonic() < deadline, "the call never started writing"
        time.sleep(0.05)
    call.send_signal(signal.SIGINT)
    sent = time.monotonic()
    stdout, _ = call.communicate(timeout=120)
    assert call.returncode == 0
    outcome, raised = stdout.split()
    assert outcome == "KeyboardInterrupt", "the call ran to its end"
    assert listing(out) == ["notes.txt"]
    print(f"KeyboardInterrupt raised {float(raised) - sent:.3f} s after SIGINT")


class StallingServer(Loopback):
    """Serves `data` once from 127.0.0.1 as a 200 with the whole length declared,
    sends its first `sent` bytes and then nothing more, holding the connection
    open until the server is closed. `asked` is set when the request arrives."""

    def __init__(self, data, sent):
        self.asked = threading.Event()
        released = self.released = threading.Event()
        asked = self.asked

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                asked.set()
                self.send_response(200)
                self.send_header("Content-Type", "video/mp2t")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data[:sent])
                self.wfile.flush()
                released.wait()

            def log_message(self, *args):
                pass

        super().__init__(Handler)
        self.url = f"{self.base}/live.ts"

    def __exit__(self, *exc):
        self.released.set()  # the stalled request ends before the server does
        super().__exit__(*exc)


def wait_until_idle(pid, quiet=0.5, limit=120):
    """Returns once process `pid` has used no processor time for `quiet` seconds."""
    deadline = time.monotonic() + limit
    used, since = None, time.monotonic()
    while time.monotonic() - since < quiet:
        assert time.monotonic() < deadline, f"process {pid} never went idle"
        # utime and stime, after the parenthesised command name
        now = Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[11:13]
        if now != used:
            used, since = now, time.monotonic()
        time.sleep(0.05)


# Where the server stops sending: before the first byte of the source, so that
# opening and probing wait; or half way through, so that the encode waits.
STALLS = [pytest.param(0, id="after-headers"), pytest.param(0.5, id="half-way")]


@pytest.mark.parametrize("share", STALLS)
def test_ctrl_c_ends_a_call_whose_source_stalls(clip, out, share):
    data = clip("mpegts").read_bytes()
    with (
        StallingServer(data, int(len(data) * share) // 188 * 188) as server,
        subprocess.Popen(
            [sys.executable, "-c", INTERRUPTED_CALL, server.url, str(out / "master.m3u8")],
            stdout=subprocess.PIPE,
            text=True,
        ) as call,
    ):
        assert server.asked.wait(60), "the call never asked for its source"
        wait_until_idle(call.pid)  # done with what came; waiting for what does not
        call.send_signal(signal.SIGINT)
        sent = time.monotonic()
        try:
            stdout, _ = call.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            call.kill()
            pytest.fail("the call was still running 10 s after SIGINT")
    outcome, raised = stdout.split()
    assert outcome == "KeyboardInterrupt"
    assert float(raised) - sent < 1, f"KeyboardInterrupt {float(raised) - sent:.3f} s after SIGINT"
    assert listing(out) == []


@pytest.mark.parametrize("share", STALLS)
def test_a_source_that_stalls_times_out(clip, out, monkeypatch, share):
    monkeypatch.setenv("CORVANE_READ_TIMEOUT", "2")
    data = clip("mpegts").read_bytes()
    with StallingServer(data, int(len(data) * share) // 188 * 188) as server:
        started = time.monotonic()
        result = run_call(server.url, out, timeout=30)
        took = time.monotonic() - started
    assert (result["outcome"], result.get("type")) == ("raised", "TimeoutError"), result
    assert server.url in result["message"]
    assert took < 2 + 10, f"timed out after {took:.1f} s"
    assert listing(out) == []
