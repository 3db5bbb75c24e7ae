"""Failures: which exception a caller gets, and what is (not) left behind."""

import errno
import os

import pytest

import corvane
from conftest import encode, listing, master_variants, parse_media_playlist


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
        pytest.param("audio_only", ("video",), id="audio-only"),
    ],
)
def test_unusable_source_raises_value_error(clip, garbage, out, kind, words):
    source = garbage if kind == "garbage" else clip(kind)
    with pytest.raises(ValueError) as raised:
        encode(source, out)
    message = str(raised.value)
    for word in words:
        assert f"{word} stream" in message
    assert listing(out) == []


def test_missing_output_directory_raises_file_not_found(clip, tmp_path):
    missing = tmp_path / "not-made"
    with pytest.raises(FileNotFoundError) as raised:
        corvane.hls_encoder(str(clip("mp4")), str(missing / "master.m3u8"),
                            resolution=["360p"], key="")
    assert raised.value.errno == errno.ENOENT
    assert os.path.normpath(raised.value.filename) == str(missing)
    assert not missing.exists()
    assert listing(tmp_path) == []


def test_output_directory_that_is_a_file_raises_not_a_directory(clip, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a folder")
    with pytest.raises(NotADirectoryError):
        corvane.hls_encoder(str(clip("mp4")), str(blocker / "master.m3u8"),
                            resolution=["360p"], key="")
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
        pytest.param({"resolution": ["480p", "360p"], "bitrate": [1000000, -5]},
                     "bitrate[1] is -5, for 360p", id="bitrate-negative-second"),
        pytest.param({"resolution": ["540p", "360p"], "bitrate": [7, -(2**31)]},
                     "bitrate[1] is -2147483648, for 360p", id="bitrate-int32-lowest"),
        # The master, written last, would replace a rendition's own file.
        pytest.param({"resolution": ["720p", "360p"], "name": "720p.m3u8"},
                     "rendition 720p's file 720p.m3u8", id="master-is-media-playlist"),
        pytest.param({"name": "360p_000.ts"}, "rendition 360p's file 360p_000.ts",
                     id="master-is-first-segment"),
        pytest.param({"name": "360p_1000.ts"}, "rendition 360p's file 360p_1000.ts",
                     id="master-is-later-segment"),
        pytest.param({"name": "link.m3u8", "link": "360p.m3u8"},
                     "rendition 360p's file 360p.m3u8", id="master-links-to-media-playlist"),
    ],
)
def test_refused_plan_raises_value_error_and_writes_nothing(clip, out, kwargs, message):
    kwargs = dict(kwargs)
    if "link" in kwargs:
        (out / kwargs["name"]).symlink_to(kwargs.pop("link"))
    before = listing(out)
    with pytest.raises(ValueError) as raised:
        encode(clip("mp4"), out, **kwargs)
    assert message in str(raised.value)
    assert listing(out) == before


@pytest.mark.parametrize("resolution", [["540p", "720P"], [], ["360"]],
                         ids=["unknown-names", "empty", "no-suffix"])
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
