"""Shared fixtures for the corvane end-to-end tests.

Source clips are made with the ffmpeg CLI from lavfi sources, once per session.
Outputs are checked with independent tools only: ffprobe, openssl, the m3u8
package and a small m3u8 reader below.
"""

import http.server
import json
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import threading
from fractions import Fraction
from pathlib import Path

import m3u8
import pytest

import corvane
from fuzzing import mp4_boxes, tool_environment
from markers import SOURCES

# The console scripts installed beside this interpreter.
CORVANE = Path(sys.executable).parent / "corvane"
DASK = Path(sys.executable).parent / "dask"
FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")
OPENSSL = shutil.which("openssl")

# Rendition name -> (width, height) of a landscape source, and its table bitrate.
SIZES = {"1080p": (1920, 1080), "720p": (1280, 720), "480p": (854, 480), "360p": (640, 360)}
TABLE_BITRATES = {"1080p": 5000000, "720p": 2500000, "480p": 1000000, "360p": 400000}


def _av(
    duration,
    size="320x180",
    rate=30,
    vcodec=("-c:v", "libx264", "-pix_fmt", "yuv420p"),
    acodec=("-c:a", "aac"),
    fmt="mp4",
    pattern="testsrc2",
):
    return [
        "-f",
        "lavfi",
        "-i",
        f"{pattern}=size={size}:rate={rate}:duration={duration}",
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=440:sample_rate=48000:duration={duration}",
        *vcodec,
        *acodec,
        "-shortest",
        "-f",
        fmt,
    ]


# The SMPTE HD bars that the HDR clips are made from, as the lavfi source that
# renders them in SDR.
HDR_BARS = "smptehdbars=size=320x180:rate=30"


def _hdr(transfer):
    """One second of the bars made HDR: BT.2020 in PQ (smpte2084) or HLG
    (arib-std-b67), 10 bits, HEVC Main 10, their white at 203 cd/m², where
    BT.2408 puts reference white."""
    to_hdr = (
        f"zscale=tin=bt709:pin=bt709:min=bt709:rin=tv:t={transfer}:p=bt2020:m=bt2020nc"
        ":r=tv:npl=203,format=yuv420p10le"
    )
    x265 = f"log-level=error:crf=12:colorprim=bt2020:transfer={transfer}:colormatrix=bt2020nc"
    return _av(
        1,
        vcodec=("-vf", to_hdr, "-c:v", "libx265", "-preset", "ultrafast", "-x265-params", x265),
        pattern="smptehdbars",
    )


# Clip kind -> (file name, duration in seconds, ffmpeg arguments before the output path).
CLIPS = {
    "mp4": ("src.mp4", 2, _av(2)),
    "portrait": ("portrait.mp4", 2, _av(2, size="180x320")),
    "fps60": ("fps60.mp4", 2, _av(2, rate=60)),
    "mpegts": ("src.ts", 2, _av(2, fmt="mpegts")),
    "long": ("long.mp4", 13, _av(13, size="160x90")),
    # Long enough that a call is well under way, not nearly done, at its first segment.
    "longer": ("longer.mp4", 40, _av(40, size="160x90")),
    # Shorter than half a second: less than one segment, by far.
    "short": ("short.mp4", 0.4, _av(0.4, size="160x90")),
    # One picture, and a second of sound.
    "one_picture": (
        "one_picture.mp4",
        1,
        [
            "-f",
            "lavfi",
            "-i",
            "testsrc2=size=160x90:rate=1:duration=1",
            "-f",
            "lavfi",
            "-i",
            "sine=frequency=440:sample_rate=48000:duration=1",
            "-c:v",
            "libx264",
            "-pix_fmt",
            "yuv420p",
            "-c:a",
            "aac",
            "-f",
            "mp4",
        ],
    ),
    # Three short sources for batches.
    **{f"short{s}": (f"short{s}.mp4", s, _av(s, size="160x90")) for s in (2, 3, 4)},
    "pal": ("pal.mp4", 13, _av(13, size="160x90", rate=25)),
    "seven": ("seven.mp4", 7, _av(7, size="160x90")),
    "webm": (
        "src.webm",
        1.5,
        _av(
            1.5,
            vcodec=(
                "-c:v",
                "libvpx-vp9",
                "-deadline",
                "realtime",
                "-cpu-used",
                "8",
                "-b:v",
                "200k",
            ),
            acodec=("-c:a", "libopus"),
            fmt="webm",
        ),
    ),
    "audio_only": (
        "audio.m4a",
        1,
        [
            "-f",
            "lavfi",
            "-i",
            "sine=frequency=440:sample_rate=48000:duration=1",
            "-c:a",
            "aac",
            "-f",
            "mp4",
        ],
    ),
    # Float samples 30000 times full scale: what a corrupted float track can hold.
    "loud_float": (
        "loud.mkv",
        1,
        [
            "-f",
            "lavfi",
            "-i",
            "testsrc2=size=160x90:rate=30:duration=1",
            "-f",
            "lavfi",
            "-i",
            "aevalsrc=30000*sin(2*PI*440*t):s=48000:d=1",
            "-c:v",
            "libx264",
            "-pix_fmt",
            "yuv420p",
            "-c:a",
            "pcm_f32le",
            "-shortest",
            "-f",
            "matroska",
        ],
    ),
    # An audio track declared, with no packet in it: its sound trimmed to
    # nothing (the CLI of FFmpeg 7.1 and later ends the whole file at once
    # when told to write no audio frame at all).
    "empty_audio": (
        "empty_audio.mkv",
        1,
        [
            "-f",
            "lavfi",
            "-i",
            "testsrc2=size=160x90:rate=30:duration=1",
            "-f",
            "lavfi",
            "-i",
            "sine=frequency=440:sample_rate=48000:duration=1",
            "-c:v",
            "libx264",
            "-pix_fmt",
            "yuv420p",
            "-af",
            "atrim=end_sample=0",
            "-c:a",
            "aac",
            "-f",
            "matroska",
        ],
    ),
    "video_only": (
        "silent.mp4",
        1,
        [
            "-f",
            "lavfi",
            "-i",
            "testsrc2=size=320x180:rate=30:duration=1",
            "-c:v",
            "libx264",
            "-pix_fmt",
            "yuv420p",
            "-f",
            "mp4",
        ],
    ),
    # Display matrices (DISPLAY_MATRICES), as phones write them.
    "rotated_90": ("rotated_90.mp4", 1, _av(1)),
    "rotated_180": ("rotated_180.mp4", 1, _av(1)),
    "rotated_270": ("rotated_270.mp4", 1, _av(1)),
    "mirrored": ("mirrored.mp4", 1, _av(1)),
    "hdr_pq": ("hdr_pq.mp4", 1, _hdr("smpte2084")),
    "hdr_hlg": ("hdr_hlg.mp4", 1, _hdr("arib-std-b67")),
    "four_three": ("four_three.mp4", 1, _av(1, size="320x240")),
    # PAL DVD's shape: 720x576 at SAR 16:15 shows 4:3; tagged BT.601 as it is,
    # on the pictures (what the CLI of FFmpeg 7.1 and later writes) and on the
    # encoder (what 5.1's writes).
    "anamorphic": (
        "anamorphic.mp4",
        1,
        _av(
            1,
            size="720x576",
            rate=25,
            vcodec=(
                "-vf",
                "setsar=16/15,setparams=color_primaries=bt470bg:color_trc=smpte170m"
                ":colorspace=bt470bg",
                "-c:v",
                "libx264",
                "-pix_fmt",
                "yuv420p",
                "-color_primaries",
                "bt470bg",
                "-color_trc",
                "smpte170m",
                "-colorspace",
                "bt470bg",
            ),
        ),
    ),
    # 1080i25, top field first: each picture woven from two moments 1/50 s apart.
    "interlaced": (
        "interlaced.ts",
        1,
        _av(
            1,
            size="1920x1080",
            rate=50,
            vcodec=(
                "-vf",
                "tinterlace=interleave_top,fieldorder=tff",
                "-c:v",
                "libx264",
                "-preset",
                "ultrafast",
                "-flags",
                "+ildct+ilme",
                "-pix_fmt",
                "yuv420p",
            ),
            fmt="mpegts",
        ),
    ),
}

# The display matrix written into the video track's header (tkhd) of these
# clips after encoding: (a, b, c, d) of [a b; c d], mapping a picture point
# (x, y) to (a x + c y, b x + d y), with y down. The ffmpeg CLI of Debian 12
# cannot write a mirrored one.
DISPLAY_MATRICES = {
    "rotated_90": (0, 1, -1, 0),  # a quarter turn clockwise: a phone held upright
    "rotated_180": (-1, 0, 0, -1),
    "rotated_270": (0, -1, 1, 0),
    "mirrored": (0, 1, 1, 0),  # mirrored left to right, then a quarter turn clockwise
}

# The clips whose pictures or sound corvane changes before any rendition
# scales them: turned, tone-mapped, reshaped, deinterlaced or given silence.
TREATED_CLIPS = {
    *DISPLAY_MATRICES,
    "hdr_pq",
    "hdr_hlg",
    "four_three",
    "anamorphic",
    "interlaced",
    "video_only",
}


def set_display_matrix(path, matrix):
    """Writes `matrix` ((a, b, c, d), whole numbers) into the header of the first
    track of an MP4 file, with the translation that keeps the turned picture in
    place."""
    data = bytearray(Path(path).read_bytes())
    tkhd = next(at + header for at, header, _, kind in mp4_boxes(data) if kind == b"tkhd")
    # Version 0: 20 bytes of times, track ID and duration, 8 reserved, 8 of
    # layer, group and volume, then the matrix: a b u c d v x y w.
    assert data[tkhd] == 0, "a version 1 track header"
    at = tkhd + 4 + 20 + 8 + 8
    width, height = (struct.unpack_from(">I", data, at + 36 + i * 4)[0] for i in range(2))
    a, b, c, d = matrix
    x = max(0, -a) * width + max(0, -c) * height
    y = max(0, -b) * width + max(0, -d) * height
    struct.pack_into(">9i", data, at, a << 16, b << 16, 0, c << 16, d << 16, 0, x, y, 1 << 30)
    Path(path).write_bytes(bytes(data))


def run(*args):
    done = subprocess.run(
        [str(a) for a in args], capture_output=True, text=True, env=tool_environment()
    )
    assert done.returncode == 0, f"{args[0]} failed: {done.stderr}"
    return done.stdout


@pytest.fixture(scope="session", autouse=True)
def tools():
    missing = [
        n for n, p in (("ffmpeg", FFMPEG), ("ffprobe", FFPROBE), ("openssl", OPENSSL)) if p is None
    ]
    assert not missing, f"required tools not installed: {missing}"


@pytest.fixture(scope="session")
def clip(tmp_path_factory):
    """clip(kind) -> Path of a cached source clip of that kind."""
    folder = tmp_path_factory.mktemp("clips")
    made = {}

    def make(kind):
        if kind not in made:
            path = folder / CLIPS[kind][0]
            run(FFMPEG, "-v", "error", "-y", *CLIPS[kind][2], path)
            if kind in DISPLAY_MATRICES:
                set_display_matrix(path, DISPLAY_MATRICES[kind])
            made[kind] = path
        return made[kind]

    return make


@pytest.fixture(scope="session")
def marked_source(tmp_path_factory):
    """marked_source(kind) -> (source, reference): a cached source of
    markers.SOURCES, and the file whose pictures and markers its ladder must
    reproduce (the source itself, or the source before its damage)."""
    folder = tmp_path_factory.mktemp("marked")
    made = {}

    def make(kind):
        if kind not in made:
            made[kind] = SOURCES[kind](folder)
        return made[kind]

    return make


@pytest.fixture(scope="session")
def garbage(tmp_path_factory):
    path = tmp_path_factory.mktemp("garbage") / "noise.mp4"
    path.write_bytes(random.Random(20240611).randbytes(8192))
    return path


def clip_duration(kind):
    return CLIPS[kind][1]


class KeyInfo:
    """A key info file for FFmpeg's hls muxer and the values it names."""

    def __init__(self, folder, with_iv):
        folder.mkdir(parents=True, exist_ok=True)
        self.key = os.urandom(16)
        self.iv = os.urandom(16) if with_iv else None
        self.uri = "https://keys.example/stream.key"
        key_file = folder / "stream.key"
        key_file.write_bytes(self.key)
        lines = [self.uri, str(key_file)] + ([self.iv.hex()] if with_iv else [])
        self.path = folder / "stream.keyinfo"
        self.path.write_text("\n".join(lines) + "\n")


@pytest.fixture(scope="session")
def keyinfo(tmp_path_factory):
    return KeyInfo(tmp_path_factory.mktemp("key_iv"), with_iv=True)


@pytest.fixture(scope="session")
def keyinfo_no_iv(tmp_path_factory):
    return KeyInfo(tmp_path_factory.mktemp("key_seq"), with_iv=False)


def encode(source, folder, resolution=("360p",), key="", name="master.m3u8", **kwargs):
    """Runs hls_encoder into `folder` and returns the master playlist path."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    master = folder / name
    corvane.hls_encoder(
        str(source), str(master), resolution=list(resolution), key=str(key), **kwargs
    )
    return master


def master_text(*variants):
    """The master playlist expected for variants as master_variants gives them."""
    lines = ["#EXTM3U", "#EXT-X-VERSION:3", "#EXT-X-INDEPENDENT-SEGMENTS"]
    for v in variants:
        attrs = [
            f"BANDWIDTH={v['bandwidth']}",
            f"AVERAGE-BANDWIDTH={v['average']}",
            f'CODECS="{v["codecs"]}"',
            "RESOLUTION={}x{}".format(*v["resolution"]),
        ]
        if v["frame_rate"] is not None:
            attrs.append(f"FRAME-RATE={v['frame_rate']:.3f}")
        lines += ["#EXT-X-STREAM-INF:" + ",".join(attrs), f"{v['name']}.m3u8"]
    return "\n".join(lines) + "\n"


def measured_rates(playlist_path):
    """(peak, average) bit rates of a rendition in bit/s, rounded up, summed here
    from its media playlist (read with the m3u8 package) and its segment files:
    the peak is the busiest run of consecutive segments lasting between half and
    one and a half target durations, the whole rendition when none does.
    (None, None) when the segments last no time at all."""
    playlist_path = Path(playlist_path)
    playlist = m3u8.load(str(playlist_path))
    sizes = [
        ((playlist_path.parent / s.uri).stat().st_size * 8, Fraction(str(s.duration)))
        for s in playlist.segments
    ]
    target = Fraction(playlist.target_duration)
    total = sum(seconds for _, seconds in sizes)
    if total == 0:
        return None, None
    runs = [sizes[i:j] for i in range(len(sizes)) for j in range(i + 1, len(sizes) + 1)]
    rates = [
        sum(b for b, _ in run) / sum(s for _, s in run)
        for run in runs
        if target / 2 <= sum(s for _, s in run) <= target * 3 / 2 and sum(s for _, s in run)
    ]
    average = sum(b for b, _ in sizes) / total
    return math.ceil(max(rates, default=average)), math.ceil(average)


# What ffprobe calls the H.264 profiles and AAC object types a CODECS name numbers.
H264_PROFILES = {"Constrained Baseline": 66, "Baseline": 66, "Main": 77, "High": 100}
AAC_OBJECT_TYPES = {"Main": 1, "LC": 2, "HE-AAC": 5, "HE-AACv2": 29}


def h264_stream(segment):
    """The video of a clear segment as ffmpeg copies it out: H.264 with start codes."""
    done = subprocess.run(
        [FFMPEG, "-v", "error", "-i", str(segment), "-map", "0:v", "-c", "copy", "-f", "h264", "-"],
        capture_output=True,
        env=tool_environment(),
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def encoder_bitrate(segment):
    """The bitrate libx264 was set to, bit/s, from the settings it writes into
    the stream; it counts in kbit/s."""
    found = re.search(rb"x264 - core .*? bitrate=(\d+) ", h264_stream(segment))
    assert found, f"no x264 settings in {segment}"
    return int(found.group(1)) * 1000


def rendition_codecs(segment):
    """CODECS for a clear segment: the profile, constraint flags and level of
    the SPS in its video, checked against ffprobe's profile and level, and
    the AAC object type of ffprobe's profile."""
    stream = h264_stream(segment)
    sps = next(
        stream[m.end() + 1 : m.end() + 4]
        for m in re.finditer(b"\x00\x00\x01", stream)
        if stream[m.end()] & 0x1F == 7
    )
    probed = probe(segment)
    video = stream_of(probed, "video")
    assert (H264_PROFILES[video["profile"]], video["level"]) == (sps[0], sps[2])
    audio = AAC_OBJECT_TYPES[stream_of(probed, "audio")["profile"]]
    return f"avc1.{sps.hex().upper()},mp4a.40.{audio}"


def picture_rate(segments):
    """Pictures per second over the clear segments of a rendition: the intervals
    between its pictures over the time they span; None for a single picture."""
    pts = [
        packet["pts"]
        for segment in segments
        for packet in json.loads(
            run(
                FFPROBE,
                "-v",
                "error",
                "-select_streams",
                "v",
                "-show_entries",
                "packet=pts",
                "-of",
                "json",
                segment,
            )
        )["packets"]
    ]
    # The segments' MPEG-TS clock counts in 1/90000 s.
    return (len(pts) - 1) * 90000 / (max(pts) - min(pts)) if len(pts) > 1 else None


def master_variants(master, names, clear=None):
    """The variants of `master`, read with the m3u8 package, checked against the
    renditions' files and returned as master_text takes them. `clear` maps a
    name to its clear segments when the ladder is encrypted.

    BANDWIDTH must be at least the peak segment bit rate summed here, and within
    10 % of it; AVERAGE-BANDWIDTH within 10 % of the average. CODECS, RESOLUTION
    and FRAME-RATE must be what the segments hold."""
    master = Path(master)
    parsed = m3u8.load(str(master))
    assert parsed.is_variant and parsed.is_independent_segments and parsed.version == 3
    assert [p.uri for p in parsed.playlists] == [f"{name}.m3u8" for name in names]
    variants = []
    for name, playlist in zip(names, parsed.playlists):
        info = playlist.stream_info
        media = master.parent / f"{name}.m3u8"
        segments = (clear or {}).get(name) or [
            master.parent / s.uri for s in m3u8.load(str(media)).segments
        ]
        peak, average = measured_rates(media)
        if peak is None:
            # No time to share the bytes over: timed as one picture at 30 a second.
            bits = sum(Path(s).stat().st_size for s in segments) * 8
            assert info.bandwidth == info.average_bandwidth >= bits * 30
        else:
            assert peak <= info.bandwidth <= 1.1 * peak, (name, info.bandwidth, peak)
            assert abs(info.average_bandwidth - average) <= 0.1 * average, (name, average)
        video = stream_of(probe(segments[0]), "video")
        variant = {
            "name": name,
            "bandwidth": info.bandwidth,
            "average": info.average_bandwidth,
            "codecs": rendition_codecs(segments[0]),
            "resolution": (video["width"], video["height"]),
            "frame_rate": picture_rate(segments),
        }
        assert info.codecs == variant["codecs"]
        assert info.resolution == variant["resolution"]
        assert info.frame_rate == (
            None if variant["frame_rate"] is None else round(variant["frame_rate"], 3)
        )
        variants.append(variant)
    return variants


# --- serving files over HTTP ------------------------------------------------------------

TYPES = {
    ".m3u8": "application/vnd.apple.mpegurl",
    ".ts": "video/mp2t",
    ".js": "text/javascript",
    ".html": "text/html; charset=utf-8",
}


class Loopback:
    """An HTTP server of `handler` on 127.0.0.1, on a free port at `base`,
    serving inside a with block."""

    def __init__(self, handler):
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()


class LoopbackServer(Loopback):
    """Serves each folder of `routes` ({prefix: folder}) under /prefix/ from
    127.0.0.1 on a free port, and records each request as (path, status)."""

    def __init__(self, routes):
        routes = {prefix: Path(folder) for prefix, folder in routes.items()}
        missing = str(next(iter(routes.values())) / "no such file")
        self.requests = []
        requests = self.requests

        class Handler(http.server.SimpleHTTPRequestHandler):
            extensions_map = {"": "application/octet-stream", **TYPES}

            def translate_path(self, path):
                prefix, _, rest = path.split("?", 1)[0].lstrip("/").partition("/")
                root = routes.get(prefix)
                if root is None or not rest or ".." in rest.split("/"):
                    return missing
                return str(root / rest)

            def log_request(self, code="-", size="-"):
                requests.append((self.path, int(code)))

            def log_message(self, *args):
                pass  # the request log above is the only record kept

        super().__init__(Handler)

    def url(self, path):
        return f"{self.base}/{path}"

    def requests_since(self, mark):
        return self.requests[mark:]


# --- readers ---------------------------------------------------------------------------

_ATTR = re.compile(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)')


def attributes(text):
    return {k: v.strip('"') for k, v in _ATTR.findall(text)}


def parse_master(path):
    """[(attributes, uri)] for each #EXT-X-STREAM-INF entry."""
    lines = Path(path).read_text().splitlines()
    assert lines and lines[0] == "#EXTM3U"
    entries = []
    for i, line in enumerate(lines):
        if line.startswith("#EXT-X-STREAM-INF:"):
            entries.append((attributes(line.split(":", 1)[1]), lines[i + 1]))
    return entries


def parse_media_playlist(path):
    """The media playlist as a dict: sequence, target, endlist, keys and segments.

    Each segment is a dict with uri, duration and the key attributes in effect."""
    lines = Path(path).read_text().splitlines()
    assert lines and lines[0] == "#EXTM3U"
    playlist = {
        "sequence": 0,
        "target": None,
        "endlist": False,
        "keys": [],
        "segments": [],
        "lines": lines,
    }
    key = None
    duration = None
    for line in lines[1:]:
        if line.startswith("#EXT-X-MEDIA-SEQUENCE:"):
            playlist["sequence"] = int(line.split(":", 1)[1])
        elif line.startswith("#EXT-X-TARGETDURATION:"):
            playlist["target"] = int(line.split(":", 1)[1])
        elif line.startswith("#EXT-X-KEY:"):
            key = attributes(line.split(":", 1)[1])
            playlist["keys"].append(key)
        elif line.startswith("#EXTINF:"):
            duration = float(line.split(":", 1)[1].split(",")[0])
        elif line == "#EXT-X-ENDLIST":
            playlist["endlist"] = True
        elif line and not line.startswith("#"):
            playlist["segments"].append({"uri": line, "duration": duration, "key": key})
            duration = None
    return playlist


def decrypt_segment(path, key, iv, out_path):
    run(
        OPENSSL,
        "enc",
        "-d",
        "-aes-128-cbc",
        "-K",
        key.hex(),
        "-iv",
        iv.hex(),
        "-in",
        path,
        "-out",
        out_path,
    )
    return Path(out_path)


def segment_iv(playlist, index):
    """The IV of segment `index`: the key's IV attribute, else its sequence number."""
    segment = playlist["segments"][index]
    iv = (segment["key"] or {}).get("IV")
    if iv:
        assert iv.lower().startswith("0x")
        return bytes.fromhex(iv[2:])
    return (playlist["sequence"] + index).to_bytes(16, "big")


def decrypt_rendition(playlist_path, key, out_folder):
    """Decrypts every segment of a media playlist; returns the clear segment paths."""
    playlist_path = Path(playlist_path)
    out_folder = Path(out_folder)
    out_folder.mkdir(parents=True, exist_ok=True)
    playlist = parse_media_playlist(playlist_path)
    clear = []
    for i, segment in enumerate(playlist["segments"]):
        assert segment["key"] is not None and segment["key"]["METHOD"] == "AES-128"
        clear.append(
            decrypt_segment(
                playlist_path.parent / segment["uri"],
                key,
                segment_iv(playlist, i),
                out_folder / segment["uri"],
            )
        )
    return clear


def concatenate(paths, out_path):
    with open(out_path, "wb") as out:
        for path in paths:
            out.write(Path(path).read_bytes())
    return Path(out_path)


def probe(path, *options):
    """ffprobe's view of a file (streams and format), as parsed JSON; `options`
    go to ffprobe (-count_packets)."""
    return json.loads(
        run(FFPROBE, "-v", "error", "-of", "json", *options, "-show_streams", "-show_format", path)
    )


def stream_of(probed, kind):
    found = [s for s in probed["streams"] if s["codec_type"] == kind]
    assert len(found) == 1, f"expected one {kind} stream, got {probed['streams']}"
    return found[0]


def video_frames(path):
    """[(key_frame, pict_type)] of every decoded picture, in presentation order."""
    out = json.loads(
        run(
            FFPROBE,
            "-v",
            "error",
            "-of",
            "json",
            "-select_streams",
            "v",
            "-show_frames",
            "-show_entries",
            "frame=key_frame,pict_type",
            path,
        )
    )
    return [(int(f["key_frame"]), f["pict_type"]) for f in out["frames"]]


def picture_times(path):
    """The presentation time of every decoded picture, in seconds, in order."""
    out = json.loads(
        run(
            FFPROBE,
            "-v",
            "error",
            "-of",
            "json",
            "-select_streams",
            "v",
            "-show_frames",
            "-show_entries",
            "frame=best_effort_timestamp_time",
            path,
        )
    )
    return sorted(float(f["best_effort_timestamp_time"]) for f in out["frames"])


def listing(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def corvane_command(*args, timeout=300, cwd=None):
    """Runs the `corvane` command; the finished process, output as text."""
    return subprocess.run(
        [str(CORVANE), *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
        cwd=cwd,
    )


def one_line(stderr):
    """The command's one line on stderr, which says why it failed."""
    lines = [line for line in stderr.splitlines() if line.strip()]
    assert len(lines) == 1 and lines[0].startswith("corvane: "), stderr
    assert "Traceback" not in stderr
    return lines[0]


def child_pids(pid):
    """The pids of a process's children, from /proc."""
    found = []
    for children in Path(f"/proc/{pid}/task").glob("*/children"):
        try:
            found += [int(p) for p in children.read_text().split()]
        except OSError:
            pass  # the thread ended meanwhile
    return found
