"""Shared fixtures for the corvane end-to-end tests.

Source clips are made with the ffmpeg CLI from lavfi sources, once per session.
Outputs are checked with independent tools only: ffprobe, openssl and a small
m3u8 reader below.
"""

import http.server
import json
import os
import random
import re
import shutil
import subprocess
import threading
from pathlib import Path

import pytest

import corvane
from fuzzing import tool_environment

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")
OPENSSL = shutil.which("openssl")

# Rendition name -> (width, height) of a landscape source, and its table bitrate.
SIZES = {"1080p": (1920, 1080), "720p": (1280, 720), "480p": (854, 480), "360p": (640, 360)}
TABLE_BITRATES = {"1080p": 5000000, "720p": 2500000, "480p": 1000000, "360p": 400000}


def _av(duration, size="320x180", rate=30, vcodec=("-c:v", "libx264", "-pix_fmt", "yuv420p"),
        acodec=("-c:a", "aac"), fmt="mp4"):
    return [
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={rate}:duration={duration}",
        "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=48000:duration={duration}",
        *vcodec, *acodec, "-shortest", "-f", fmt,
    ]


# Clip kind -> (file name, duration in seconds, ffmpeg arguments before the output path).
CLIPS = {
    "mp4": ("src.mp4", 2, _av(2)),
    "portrait": ("portrait.mp4", 2, _av(2, size="180x320")),
    "fps60": ("fps60.mp4", 2, _av(2, rate=60)),
    "mpegts": ("src.ts", 2, _av(2, fmt="mpegts")),
    "long": ("long.mp4", 13, _av(13, size="160x90")),
    "pal": ("pal.mp4", 13, _av(13, size="160x90", rate=25)),
    "webm": ("src.webm", 1.5, _av(
        1.5, vcodec=("-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8",
                     "-b:v", "200k"),
        acodec=("-c:a", "libopus"), fmt="webm")),
    "audio_only": ("audio.m4a", 1, [
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000:duration=1",
        "-c:a", "aac", "-f", "mp4"]),
    # Float samples 30000 times full scale: what a corrupted float track can hold.
    "loud_float": ("loud.mkv", 1, [
        "-f", "lavfi", "-i", "testsrc2=size=160x90:rate=30:duration=1",
        "-f", "lavfi", "-i", "aevalsrc=30000*sin(2*PI*440*t):s=48000:d=1",
        "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "pcm_f32le", "-shortest",
        "-f", "matroska"]),
    # An audio track declared, with no packet in it.
    "empty_audio": ("empty_audio.mkv", 1, [*_av(1, size="160x90")[:-2], "-frames:a", "0",
                                           "-f", "matroska"]),
    "video_only": ("silent.mp4", 1, [
        "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=30:duration=1",
        "-c:v", "libx264", "-pix_fmt", "yuv420p", "-f", "mp4"]),
}


def run(*args):
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          env=tool_environment())
    assert done.returncode == 0, f"{args[0]} failed: {done.stderr}"
    return done.stdout


@pytest.fixture(scope="session", autouse=True)
def tools():
    missing = [n for n, p in (("ffmpeg", FFMPEG), ("ffprobe", FFPROBE), ("openssl", OPENSSL))
               if p is None]
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
            made[kind] = path
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
    corvane.hls_encoder(str(source), str(master), resolution=list(resolution), key=str(key),
                        **kwargs)
    return master


def master_text(*entries):
    """The master playlist expected for [(name, bandwidth, (width, height))]."""
    return "#EXTM3U\n#EXT-X-VERSION:3\n" + "".join(
        f"#EXT-X-STREAM-INF:BANDWIDTH={b},RESOLUTION={w}x{h}\n{name}.m3u8\n"
        for name, b, (w, h) in entries)


# --- serving files over HTTP ------------------------------------------------------------

TYPES = {".m3u8": "application/vnd.apple.mpegurl", ".ts": "video/mp2t",
         ".js": "text/javascript", ".html": "text/html; charset=utf-8"}


class LoopbackServer:
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

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join()

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
    playlist = {"sequence": 0, "target": None, "endlist": False, "keys": [], "segments": [],
                "lines": lines}
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
    run(OPENSSL, "enc", "-d", "-aes-128-cbc", "-K", key.hex(), "-iv", iv.hex(),
        "-in", path, "-out", out_path)
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
        clear.append(decrypt_segment(playlist_path.parent / segment["uri"], key,
                                     segment_iv(playlist, i), out_folder / segment["uri"]))
    return clear


def concatenate(paths, out_path):
    with open(out_path, "wb") as out:
        for path in paths:
            out.write(Path(path).read_bytes())
    return Path(out_path)


def probe(path):
    """ffprobe's view of a file (streams and format), as parsed JSON."""
    return json.loads(run(FFPROBE, "-v", "error", "-of", "json", "-show_streams",
                          "-show_format", path))


def stream_of(probed, kind):
    found = [s for s in probed["streams"] if s["codec_type"] == kind]
    assert len(found) == 1, f"expected one {kind} stream, got {probed['streams']}"
    return found[0]


def video_frames(path):
    """[(key_frame, pict_type)] of every decoded picture, in presentation order."""
    out = json.loads(run(FFPROBE, "-v", "error", "-of", "json", "-select_streams", "v",
                         "-show_frames", "-show_entries", "frame=key_frame,pict_type", path))
    return [(int(f["key_frame"]), f["pict_type"]) for f in out["frames"]]


def listing(folder):
    return sorted(p.name for p in Path(folder).iterdir())
