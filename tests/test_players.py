"""The ladder in real players, fetched over HTTP from a server on loopback and
decrypted through its key URI: hls.js, Shaka Player and the native HLS
playback of Chromium, GStreamer's playbin and FFmpeg's HLS reader; and corvane
itself, given the served ladder as a URL source.

One small encrypted two-rendition ladder is made once and shared by every
player, from a 13-second clip at 25 pictures per second: a common broadcast
rate whose picture times do not fall on a 1/30 s grid. Its key frames every
60 pictures cut it into segments of 7.2, 4.8 and 1 seconds. Two one-second
360p ladders of footage corvane treats, a phone's portrait clip and HDR bars,
play in hls.js as well.
"""

import json
import os
import re
import shutil
import subprocess
from fractions import Fraction
from pathlib import Path

import m3u8
import pytest

from conftest import (
    FFMPEG,
    HDR_BARS,
    SIZES,
    LoopbackServer,
    clip_duration,
    concatenate,
    decrypt_rendition,
    encode,
    parse_master,
    parse_media_playlist,
    probe,
    stream_of,
)
from fuzzing import run_call, tool_environment

HERE = Path(__file__).parent
PAGE_FILES = HERE / "players"
HLS_JS = HERE.parent / "node_modules" / "hls.js" / "dist"
SHAKA = HERE.parent / "node_modules" / "shaka-player" / "dist"
CHROMIUM = "/usr/bin/chromium"
NODE = shutil.which("node")
GST_LAUNCH = shutil.which("gst-launch-1.0")

RENDITIONS = ("360p", "480p")
BITRATES = (400000, 1000000)
SOURCE = "pal"
SOURCE_RATE = 25
PICTURES = round(clip_duration(SOURCE) * SOURCE_RATE)
FRAME = 1 / SOURCE_RATE
KEY_NAME = "enc.key"


@pytest.fixture(scope="module")
def ladder(clip, tmp_path_factory):
    """An encrypted 360p + 480p ladder whose key URI is a bare file name: the
    key sits beside the playlists and players resolve it relative to them."""
    out = tmp_path_factory.mktemp("players") / "ladder"
    out.mkdir()
    key = out / KEY_NAME
    key.write_bytes(os.urandom(16))
    # No IV line: each segment has an IV of its own, given in the playlists.
    key_info = out.parent / "enc.keyinfo"
    key_info.write_text(f"{KEY_NAME}\n{key}\n")
    encode(clip(SOURCE), out, resolution=RENDITIONS, bitrate=BITRATES, key=key_info)
    # Two segment boundaries for the players to cross.
    assert [len(segment_names(out, name)) for name in RENDITIONS] == [3] * len(RENDITIONS)
    return out


# Footage clip -> the size of its 360p rendition: the portrait clip turned upright.
FOOTAGE = {"rotated_90": (360, 640), "hdr_pq": (640, 360)}


@pytest.fixture(scope="module")
def footage(clip, tmp_path_factory):
    """A folder with a clear 360p ladder of each FOOTAGE clip, in a folder named after it."""
    root = tmp_path_factory.mktemp("footage")
    for kind in FOOTAGE:
        encode(clip(kind), root / kind, resolution=["360p"])
    return root


@pytest.fixture(scope="module")
def server(ladder, footage):
    routes = {
        "ladder": ladder,
        "footage": footage,
        "player": PAGE_FILES,
        "hls.js": HLS_JS,
        "shaka": SHAKA,
    }
    with LoopbackServer(routes) as running:
        yield running


def segment_names(ladder, name):
    return [s["uri"] for s in parse_media_playlist(ladder / f"{name}.m3u8")["segments"]]


def served(requests):
    """{file name: [status, ...]} of the ladder files requested."""
    files = {}
    for path, status in requests:
        if path.startswith("/ladder/"):
            files.setdefault(path.removeprefix("/ladder/"), []).append(status)
    return files


def assert_fetched_whole_rendition(requests, ladder, name):
    files = served(requests)
    for wanted in [f"{name}.m3u8", KEY_NAME, *segment_names(ladder, name)]:
        assert wanted in files, f"{wanted} was never requested: {files}"
    assert all(status in (200, 304) for statuses in files.values() for status in statuses), files


# --- Chromium: hls.js and the browser's own HLS playback --------------------------------


@pytest.fixture(scope="module")
def browser(server, tmp_path_factory):
    """What the test page reported, from one headless Chromium session."""
    assert Path(CHROMIUM).exists(), "Debian's chromium is not installed: run `make system`"
    scripts = [HLS_JS / "hls.min.js", SHAKA / "shaka-player.hls.js"]
    assert NODE and all(p.exists() for p in scripts), "node packages missing: run `make node`"
    return run_browser(server, "ladder/master.m3u8", tmp_path_factory)


def run_browser(server, master, tmp_path_factory, players="hlsjs,shaka,native"):
    """What the test page reported for the master playlist at `master`, from one
    headless Chromium session with a fresh profile, for `players`."""
    profile = tmp_path_factory.mktemp("chromium-profile")
    mark = len(server.requests)
    done = subprocess.run(
        [
            NODE,
            PAGE_FILES / "browser.mjs",
            server.url("player/page.html"),
            server.url(master),
            profile,
            players,
        ],
        capture_output=True,
        text=True,
        timeout=240,
        env=tool_environment(),
    )
    assert done.returncode == 0, f"browser run failed: {done.stderr}"
    report = json.loads(done.stdout)
    report["requests"] = server.requests_since(mark)
    return report


def level_sizes():
    return [SIZES[name] for name in RENDITIONS]


def shown_sizes(pictures):
    """The picture sizes the video element presented, in order, without repeats."""
    sizes = []
    for picture in pictures:
        size = (picture["width"], picture["height"])
        if not sizes or sizes[-1] != size:
            sizes.append(size)
    return sizes


def assert_played_to_the_end(report):
    assert report["mediaError"] is None
    assert report["ended"], f"stopped at {report['currentTime']} of {report['duration']}"
    assert report["currentTime"] == pytest.approx(clip_duration(SOURCE), abs=0.2)
    # Decoded pictures, not only a clock running: nearly every picture of the
    # clip was decoded, and the ones read back are not flat.
    assert report["framesDecoded"] >= 0.9 * PICTURES
    assert report["samples"], "no picture could be read back"
    for sample in report["samples"]:
        assert sample["spread"] > 20, f"flat picture: {sample}"
    # No stall once playback runs.
    assert [e for e in report["events"] if e["name"] == "waiting" and e["time"] > 0.5] == []


@pytest.mark.browser
def test_hlsjs_lists_one_level_per_rendition(browser, server, ladder):
    hlsjs = browser["hlsjs"]
    assert hlsjs["supported"], "hls.js finds no Media Source Extensions in this Chromium"
    # Every level kept, with what the master says of it: hls.js drops a level
    # whose CODECS the browser cannot decode.
    variants = [p.stream_info for p in m3u8.load(str(ladder / "master.m3u8")).playlists]
    assert [
        (
            level["width"],
            level["height"],
            level["bitrate"],
            level["averageBitrate"],
            f"{level['videoCodec']},{level['audioCodec']}",
            level["frameRate"],
        )
        for level in hlsjs["levels"]
    ] == [
        (*SIZES[name], info.bandwidth, info.average_bandwidth, info.codecs, info.frame_rate)
        for name, info in zip(RENDITIONS, variants)
    ]
    assert [level["url"] for level in hlsjs["levels"]] == [
        server.url(f"ladder/{name}.m3u8") for name in RENDITIONS
    ]


@pytest.mark.browser
def test_hlsjs_plays_to_the_end_through_every_level(browser, server):
    hlsjs = browser["hlsjs"]
    assert [e for e in hlsjs["errors"] if e["fatal"]] == []
    assert "playError" not in hlsjs
    assert_played_to_the_end(hlsjs)
    # Every level in turn, each shown at its own size.
    assert hlsjs["switches"] == list(range(len(RENDITIONS)))
    assert shown_sizes(hlsjs["pictures"]) == level_sizes()
    assert [(s["width"], s["height"]) for s in hlsjs["samples"]] == level_sizes()
    # Decrypted with the key fetched through the playlists' key URI.
    assert set(hlsjs["keys"]) == {server.url(f"ladder/{KEY_NAME}")}
    assert browser["console"].get("hlsjs", []) == []


def start_hole(error):
    """hls.js times the buffer from the first video decode timestamp; H.264 with
    B-frames presents its first picture two frames later, and hls.js may step
    over that gap before the first picture. It does so on the ffmpeg CLI's own
    HLS output of the same clip as well."""
    return (
        error["details"] == "bufferSeekOverHole"
        and error["time"] < 0.5
        and "seeking from 0 to" in (error["reason"] or "")
    )


@pytest.mark.browser
def test_hlsjs_finds_no_hole_or_overlap_across_levels(browser):
    hlsjs = browser["hlsjs"]
    assert [e for e in hlsjs["errors"] if not start_hole(e)] == []
    # The picture before a level switch and the one after are neighbours
    # (a picture dropped by the decoder at double speed aside).
    pictures = hlsjs["pictures"]
    for before, after in zip(pictures, pictures[1:]):
        if (before["width"], before["height"]) != (after["width"], after["height"]):
            assert 0 < after["time"] - before["time"] <= 3 * FRAME + 0.001, (before, after)
    fragments = sorted(hlsjs["fragments"], key=lambda f: f["sn"])
    assert [f["sn"] for f in fragments] == [0, 1, 2]
    assert {f["level"] for f in fragments} == set(range(len(RENDITIONS)))
    for kind in ("audio", "video"):
        for before, after in zip(fragments, fragments[1:]):
            end = before["streams"][kind]["endPTS"]
            start = after["streams"][kind]["startPTS"]
            assert start == pytest.approx(end, abs=FRAME / 2), (kind, before, after)
    assert len(hlsjs["buffered"]) == 1


@pytest.mark.browser
def test_shaka_plays_the_master_playlist_to_the_end(browser, server):
    shaka = browser["shaka"]
    assert shaka["supported"], "Shaka Player finds no Media Source Extensions in this Chromium"
    assert "loadError" not in shaka and "playError" not in shaka, shaka
    assert [e for e in shaka["errors"] if e["severity"] == 2] == []  # 2: critical
    assert_played_to_the_end(shaka)
    assert sorted((v["width"], v["height"]) for v in shaka["variants"]) == level_sizes()
    assert set(shown_sizes(shaka["pictures"])) <= set(level_sizes())
    assert set(shaka["keys"]) == {server.url(f"ladder/{KEY_NAME}")}
    assert browser["console"].get("shaka", []) == []


@pytest.mark.browser
def test_chromium_plays_the_master_playlist_natively(browser, server):
    native = browser["native"]
    if native["canPlayType"] == "":
        pytest.skip(
            "this Chromium has no HLS playback of its own "
            "(canPlayType('application/vnd.apple.mpegurl') is empty)"
        )
    assert "playError" not in native
    assert_played_to_the_end(native)
    assert set(shown_sizes(native["pictures"])) <= set(level_sizes())
    assert served(browser["requests"]).get(KEY_NAME), "the browser never fetched the key"
    assert browser["console"].get("native", []) == []


# --- footage: a phone's portrait clip and HDR bars, in hls.js ---------------------------


@pytest.fixture(scope="module", params=list(FOOTAGE))
def footage_browser(request, server, footage, clip, tmp_path_factory):
    """(clip kind, the clip, what the page reported) for each FOOTAGE ladder."""
    assert Path(CHROMIUM).exists(), "Debian's chromium is not installed: run `make system`"
    assert NODE and (HLS_JS / "hls.min.js").exists(), "node packages missing: run `make node`"
    kind = request.param
    return (
        kind,
        clip(kind),
        run_browser(server, f"footage/{kind}/master.m3u8", tmp_path_factory, players="hlsjs"),
    )


def reference_saturation(kind, source, time, size):
    """The mean spread between the largest and smallest of R, G and B, as the
    page measures it, of what the ffmpeg CLI shows at `time` in the clip the
    footage ladder was made from (turned, as its display matrix says), or of
    the SDR bars the HDR clip was made from, at `size`."""
    source = (
        ["-f", "lavfi", "-i", f"{HDR_BARS}:duration=1"] if kind == "hdr_pq" else ["-i", str(source)]
    )
    done = subprocess.run(
        [
            FFMPEG,
            "-v",
            "error",
            *source,
            "-vf",
            f"setpts=PTS-STARTPTS,trim=start={time},scale={size[0]}:{size[1]}",
            "-frames:v",
            "1",
            "-f",
            "rawvideo",
            "-pix_fmt",
            "rgb24",
            "-",
        ],
        capture_output=True,
        check=True,
        env=tool_environment(),
    )
    pixels = [done.stdout[i : i + 3] for i in range(0, len(done.stdout) - 2, 3 * 7)]
    return sum(max(p) - min(p) for p in pixels) / len(pixels)


@pytest.mark.browser
def test_hlsjs_shows_footage_upright_and_in_colour(footage_browser):
    kind, source, report = footage_browser
    hlsjs = report["hlsjs"]
    assert [e for e in hlsjs["errors"] if e["fatal"]] == []
    assert "playError" not in hlsjs and hlsjs["mediaError"] is None
    assert hlsjs["ended"], f"stopped at {hlsjs['currentTime']} of {hlsjs['duration']}"
    assert hlsjs["framesDecoded"] >= 0.9 * clip_duration(kind) * 30
    size = FOOTAGE[kind]
    assert [(level["width"], level["height"]) for level in hlsjs["levels"]] == [size]
    assert shown_sizes(hlsjs["pictures"]) == [size]
    # The picture as the browser draws it: upright and with its colours, not
    # on its side nor washed out (HDR shown as SDR keeps a quarter of them).
    [sample] = hlsjs["samples"]
    assert (sample["width"], sample["height"]) == size
    reference = reference_saturation(kind, source, sample["time"], size)
    assert sample["saturation"] >= 0.8 * reference, (sample, reference)
    assert report["console"].get("hlsjs", []) == []


# --- GStreamer ------------------------------------------------------------------------


def decoded_caps(output, decoder):
    """The caps of what a decoder (avdec_h264, avdec_aac) put out, as gst-launch -v
    printed them; the last ones when playbin made the decoder more than once."""
    found = re.findall(rf"/{decoder}[^/.]*\.GstPad:src: caps = (.*)", output)
    assert found, f"nothing came out of {decoder}:\n{output[-3000:]}"
    return found[-1]


def gst_play(url):
    """Plays a playlist with playbin into fake sinks; returns gst-launch's output."""
    assert GST_LAUNCH, "gst-launch-1.0 is not installed: run `make system`"
    done = subprocess.run(
        [
            GST_LAUNCH,
            "-v",
            "-m",
            "playbin",
            f"uri={url}",
            "video-sink=fakesink name=vsink",
            "audio-sink=fakesink name=asink",
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=tool_environment(),
    )
    output = done.stdout + done.stderr
    assert done.returncode == 0, output[-3000:]
    assert 'Got EOS from element "playbin' in output
    bus_errors = [
        line
        for line in output.splitlines()
        if re.search(r"\((error|warning)\)|^(ERROR|WARNING)", line)
    ]
    assert bus_errors == []
    audio = decoded_caps(output, "avdec_aac")
    assert "rate=(int)44100" in audio and "channels=(int)2" in audio
    return output


@pytest.mark.parametrize("name", RENDITIONS)
def test_gstreamer_plays_each_media_playlist(ladder, server, name):
    mark = len(server.requests)
    output = gst_play(server.url(f"ladder/{name}.m3u8"))
    width, height = SIZES[name]
    assert f"width=(int){width}, height=(int){height}" in decoded_caps(output, "avdec_h264")
    assert_fetched_whole_rendition(server.requests_since(mark), ladder, name)


def test_gstreamer_plays_the_master_playlist(ladder, server):
    mark = len(server.requests)
    output = gst_play(server.url("ladder/master.m3u8"))
    video = decoded_caps(output, "avdec_h264")
    assert any(f"width=(int){w}, height=(int){h}" in video for w, h in level_sizes())
    files = served(server.requests_since(mark))
    assert "master.m3u8" in files and KEY_NAME in files
    # Each segment position played from one rendition or another.
    for index in range(len(segment_names(ladder, RENDITIONS[0]))):
        assert any(f"{name}_{index:03d}.ts" in files for name in RENDITIONS), files


# --- FFmpeg's HLS reader ------------------------------------------------------------


def framecrc(text):
    """The header lines of ffmpeg's framecrc output, and {stream: [(pts, duration)]}."""
    header = [line for line in text.splitlines() if line.startswith("#")]
    frames = {}
    for line in text.splitlines():
        if line and not line.startswith("#"):
            index, _, pts, duration, *_ = (field.strip() for field in line.split(","))
            frames.setdefault(int(index), []).append((int(pts), int(duration)))
    return header, frames


@pytest.mark.parametrize("variant", range(len(RENDITIONS)), ids=RENDITIONS)
def test_ffmpeg_decodes_every_variant_to_its_end(ladder, server, variant):
    mark = len(server.requests)
    done = subprocess.run(
        [
            FFMPEG,
            "-nostdin",
            "-v",
            "warning",
            "-i",
            server.url("ladder/master.m3u8"),
            "-map",
            f"0:p:{variant}",
            "-f",
            "framecrc",
            "-",
        ],
        capture_output=True,
        text=True,
        timeout=60,
        env=tool_environment(),
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    header, frames = framecrc(done.stdout)
    width, height = SIZES[RENDITIONS[variant]]
    assert f"#dimensions 0: {width}x{height}" in header
    assert "#tb 1: 1/44100" in header and "#sample_rate 1: 44100" in header
    video_tb = next(Fraction(line.split(": ")[1]) for line in header if line.startswith("#tb 0:"))
    video = [pts * video_tb for pts, _ in frames[0]]
    assert len(video) == PICTURES
    # Every picture of the source, evenly spaced: a picture that comes early or
    # late makes players that time pictures by their neighbours stutter.
    assert {b - a for a, b in zip(video, video[1:])} == {Fraction(1, SOURCE_RATE)}
    # The audio has no gap, across segment boundaries too, and runs from the
    # first picture to the last.
    audio = frames[1]
    for (pts, duration), (next_pts, _) in zip(audio, audio[1:]):
        assert next_pts == pts + duration
    assert Fraction(audio[0][0], 44100) <= video[0]
    assert Fraction(sum(audio[-1]), 44100) >= video[-1]
    assert_fetched_whole_rendition(server.requests_since(mark), ladder, RENDITIONS[variant])


def test_served_ladder_is_a_url_source_corvane_transcodes(ladder, server, tmp_path):
    # A URL source keeps FFmpeg's defaults, HLS input and its key fetches included.
    # The call holds the interpreter lock: it runs in a child while this process serves.
    mark = len(server.requests)
    master = tmp_path / "again" / "master.m3u8"
    result = run_call(server.url("ladder/master.m3u8"), master.parent, timeout=120)
    assert result["outcome"] == "completed", result
    assert [uri for _, uri in parse_master(master)] == ["360p.m3u8"]
    segments = parse_media_playlist(master.parent / "360p.m3u8")["segments"]
    whole = concatenate([master.parent / s["uri"] for s in segments], tmp_path / "whole.ts")
    video = stream_of(probe(whole), "video")
    assert (video["width"], video["height"]) == SIZES["360p"]
    assert float(video["duration"]) == pytest.approx(clip_duration(SOURCE), abs=0.2)
    files = served(server.requests_since(mark))
    assert "master.m3u8" in files and KEY_NAME in files, files


def test_segments_start_together_in_every_rendition(ladder, tmp_path):
    """A player switching levels between segments k-1 and k joins segment k of
    another rendition: its audio and video must start where this one's do."""
    starts = {}
    for name in RENDITIONS:
        clear = decrypt_rendition(
            ladder / f"{name}.m3u8", ladder.joinpath(KEY_NAME).read_bytes(), tmp_path / name
        )
        starts[name] = [
            (
                float(stream_of(probe(path), "video")["start_time"]),
                float(stream_of(probe(path), "audio")["start_time"]),
            )
            for path in clear
        ]
    first, *others = RENDITIONS
    for name in others:
        assert starts[name] == starts[first]
