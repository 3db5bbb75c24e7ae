"""The ladder checker: reads an HLS ladder from disk (its playlists, what its
segments weigh, their decryption and first picture) and makes the report
`corvane check` prints and `corvane encode` requires to be clean."""

from __future__ import annotations

import math
import os
import re
import stat
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from urllib.parse import unquote, urlparse

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

_ATTRIBUTE = re.compile(r'([A-Z0-9-]+)=("[^"]*"|[^,]*)')


def attributes(text: str) -> dict[str, str]:
    return {name: value.strip('"') for name, value in _ATTRIBUTE.findall(text)}


# --- playlists -------------------------------------------------------------------------


@dataclass
class Segment:
    uri: str
    duration: float
    sequence: int
    key: dict[str, str] | None


@dataclass
class MediaPlaylist:
    target: int | None = None
    endlist: bool = False
    segments: list[Segment] = field(default_factory=list)


@dataclass
class Variant:
    uri: str
    attributes: dict[str, str]

    @property
    def bandwidth(self) -> int | None:
        value = self.attributes.get("BANDWIDTH", "")
        return int(value) if value.isdigit() else None


def parse_media_playlist(text: str) -> MediaPlaylist:
    """The playlist as far as it goes: a partly written one gives the segments
    listed so far."""
    playlist = MediaPlaylist()
    sequence = 0
    duration: float | None = None
    key: dict[str, str] | None = None
    for line in text.splitlines():
        line = line.strip()
        tag, _, value = line.partition(":")
        if tag == "#EXT-X-MEDIA-SEQUENCE" and value.isdigit():
            sequence = int(value)
        elif tag == "#EXT-X-TARGETDURATION" and value.isdigit():
            playlist.target = int(value)
        elif tag == "#EXT-X-KEY":
            key = attributes(value)
            if key.get("METHOD") == "NONE":
                key = None
        elif tag == "#EXTINF":
            try:
                duration = float(value.split(",")[0])
            except ValueError:
                duration = None
        elif line == "#EXT-X-ENDLIST":
            playlist.endlist = True
        elif line and not line.startswith("#") and duration is not None:
            playlist.segments.append(
                Segment(line, duration, sequence + len(playlist.segments), key)
            )
            duration = None
    return playlist


def parse_master(text: str) -> list[Variant]:
    variants = []
    pending: dict[str, str] | None = None
    for line in text.splitlines():
        line = line.strip()
        if line.startswith("#EXT-X-STREAM-INF:"):
            pending = attributes(line.split(":", 1)[1])
        elif line and not line.startswith("#") and pending is not None:
            variants.append(Variant(line, pending))
            pending = None
    return variants


def seconds_written(playlist: Path) -> float:
    """The seconds of media in the segments a media playlist lists so far; 0
    before the playlist exists."""
    try:
        text = playlist.read_text(errors="replace")
    except OSError:
        return 0.0
    return sum(s.duration for s in parse_media_playlist(text).segments)


# --- measuring --------------------------------------------------------------------------


def peak_bit_rate(sizes: list[int], durations: list[float], target: float) -> float:
    """The largest bit rate of any run of consecutive segments lasting 0.5 to 1.5
    target durations (HLS's peak segment bit rate); the whole playlist's rate
    when no run lasts that long."""
    peak = 0.0
    for first in range(len(sizes)):
        size, seconds = 0, 0.0
        for last in range(first, len(sizes)):
            size += sizes[last]
            seconds += durations[last]
            if seconds > 1.5 * target:
                break
            if seconds >= 0.5 * target:
                peak = max(peak, 8 * size / seconds)
    if peak == 0.0 and sum(durations) > 0:
        peak = 8 * sum(sizes) / sum(durations)
    return peak


# --- segments ---------------------------------------------------------------------------


def segment_iv(segment: Segment) -> bytes:
    """The key's IV attribute, else the segment's media sequence number."""
    iv = (segment.key or {}).get("IV")
    if iv:
        return bytes.fromhex(iv[2:] if iv.lower().startswith("0x") else iv)
    return segment.sequence.to_bytes(16, "big")


def decrypt(data: bytes, key: bytes, iv: bytes) -> bytes:
    """AES-128-CBC with PKCS#7 padding; ValueError when the data or padding is wrong."""
    if not data or len(data) % 16:
        raise ValueError(f"{len(data)} bytes is not a whole number of AES blocks")
    decryptor = Cipher(algorithms.AES(key), modes.CBC(iv)).decryptor()
    clear = decryptor.update(data) + decryptor.finalize()
    unpadder = padding.PKCS7(128).unpadder()
    return unpadder.update(clear) + unpadder.finalize()


TS_PACKET = 188
H264_STREAM = 0x1B
IDR_SLICE, SLICE = 5, 1


def _payload(packet: bytes) -> bytes:
    control = packet[3] >> 4 & 3
    if not control & 1:
        return b""
    start = 4 + (1 + packet[4] if control & 2 else 0)
    return packet[start:]


def _section(payload: bytes) -> bytes:
    return payload[1 + payload[0] :] if payload else b""


def _video_pid(ts: bytes) -> int | None:
    """The PID of the H.264 stream the segment's own PAT and PMT name."""
    pmt_pid = None
    for at in range(0, len(ts) - TS_PACKET + 1, TS_PACKET):
        packet = ts[at : at + TS_PACKET]
        if packet[0] != 0x47 or not packet[1] & 0x40:
            continue
        pid = (packet[1] & 0x1F) << 8 | packet[2]
        section = _section(_payload(packet))
        if len(section) < 12:
            continue
        end = min(3 + ((section[1] & 0x0F) << 8 | section[2]) - 4, len(section))
        if pid == 0 and section[0] == 0x00:
            for entry in range(8, end - 3, 4):
                if section[entry] << 8 | section[entry + 1]:  # not the network PID
                    pmt_pid = (section[entry + 2] & 0x1F) << 8 | section[entry + 3]
                    break
        elif pid == pmt_pid and section[0] == 0x02:
            entry = 12 + ((section[10] & 0x0F) << 8 | section[11])
            while entry + 5 <= end:
                if section[entry] == H264_STREAM:
                    return (section[entry + 1] & 0x1F) << 8 | section[entry + 2]
                entry += 5 + ((section[entry + 3] & 0x0F) << 8 | section[entry + 4])
            return None
    return None


def ts_first_picture_problem(ts: bytes) -> str | None:
    """None when the MPEG-TS data's first H.264 picture is an IDR (key) frame,
    else what is wrong. Reads the segment's PAT and PMT, joins the first video
    PES packet and walks its NAL units up to the first slice."""
    if len(ts) < TS_PACKET or ts[0] != 0x47:
        return "not MPEG-TS data (no sync byte)"
    pid = _video_pid(ts)
    if pid is None:
        return "no H.264 stream in its PAT/PMT"
    pes = bytearray()
    for at in range(0, len(ts) - TS_PACKET + 1, TS_PACKET):
        packet = ts[at : at + TS_PACKET]
        if packet[0] != 0x47 or ((packet[1] & 0x1F) << 8 | packet[2]) != pid:
            continue
        if packet[1] & 0x40:
            if pes:
                break
            pes += _payload(packet)
        elif pes:
            pes += _payload(packet)
    if len(pes) < 9 or pes[:3] != b"\x00\x00\x01":
        return "no video PES packet"
    stream = bytes(pes[9 + pes[8] :])
    at = stream.find(b"\x00\x00\x01")
    while at != -1 and at + 3 < len(stream):
        kind = stream[at + 3] & 0x1F
        if kind == IDR_SLICE:
            return None
        if kind == SLICE:
            return "does not start with a key frame"
        at = stream.find(b"\x00\x00\x01", at + 3)
    return "no picture in the first video PES packet"


# First-picture readers by segment extension; any other is read as MPEG-TS,
# as HLS reads a segment without EXT-X-MAP.
FIRST_PICTURE_READERS: dict[str, Callable[[bytes], str | None]] = {
    ".ts": ts_first_picture_problem,
}
DEFAULT_CONTAINER = ".ts"


def first_picture_problem(path: Path, data: bytes) -> str | None:
    """None when the segment's first picture is a key frame, else what is wrong."""
    reader = FIRST_PICTURE_READERS.get(path.suffix.lower())
    return (reader or FIRST_PICTURE_READERS[DEFAULT_CONTAINER])(data)


# --- checking a ladder -----------------------------------------------------------------


@dataclass
class RenditionReport:
    uri: str
    resolution: str = ""
    bandwidth: int | None = None
    segments: int = 0
    seconds: float = 0.0
    size: int = 0
    peak: float = 0.0
    problems: list[str] = field(default_factory=list)

    @property
    def name(self) -> str:
        return self.uri.rsplit(".", 1)[0]

    @property
    def average(self) -> float:
        return 8 * self.size / self.seconds if self.seconds else 0.0


@dataclass
class LadderReport:
    master: Path
    renditions: list[RenditionReport] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.problems and not any(r.problems for r in self.renditions)


def _local_key(uri: str, playlist: Path) -> Path | None:
    """The file a key URI names on this machine: a relative URI or file: URL."""
    parsed = urlparse(uri)
    if parsed.scheme == "file":
        return Path(unquote(parsed.path))
    if parsed.scheme or parsed.netloc:
        return None
    return playlist.parent / unquote(parsed.path)


KEY_BYTES = 16


def read_key(path: Path) -> bytes:
    """The bytes of an AES-128 key file; ValueError saying why not. Reads no
    more than a key's worth, and nothing but a regular file (not /dev/zero, not
    a FIFO that would block)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as file:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise ValueError(f"key {path} is not a regular file")
            data = file.read(KEY_BYTES + 1)
    except OSError as error:
        raise ValueError(f"cannot read key {path}: {error.strerror}") from None
    if len(data) != KEY_BYTES:
        held = "more than 16" if len(data) > KEY_BYTES else str(len(data))
        raise ValueError(f"key {path} holds {held} bytes, not {KEY_BYTES}")
    return data


def _key_bytes(
    segment: Segment, playlist: Path, key_file: Path | None, cache: dict[Path, bytes]
) -> bytes:
    uri = (segment.key or {}).get("URI", "")
    path = key_file if key_file is not None else _local_key(uri, playlist)
    if path is None:
        raise ValueError(f"key {uri} is not a local file: pass --key-file")
    if path not in cache:
        cache[path] = read_key(path)
    return cache[path]


def check_rendition(
    playlist_path: Path,
    report: RenditionReport,
    key_file: Path | None,
    keys: dict[Path, bytes],
    between: Callable[[], None] = lambda: None,
) -> None:
    try:
        playlist = parse_media_playlist(playlist_path.read_text(errors="replace"))
    except OSError as error:
        report.problems.append(f"playlist {report.uri}: {error.strerror}")
        return
    if not playlist.endlist:
        report.problems.append(f"playlist {report.uri} does not end with #EXT-X-ENDLIST")
    if playlist.target is None:
        report.problems.append(f"playlist {report.uri} has no #EXT-X-TARGETDURATION")
    if not playlist.segments:
        report.problems.append(f"playlist {report.uri} lists no segment")
    sizes, durations = [], []
    for segment in playlist.segments:
        between()
        path = playlist_path.parent / unquote(segment.uri)
        try:
            data = path.read_bytes()
        except OSError as error:
            report.problems.append(f"segment {segment.uri}: {error.strerror}")
            continue
        sizes.append(len(data))
        durations.append(segment.duration)
        if playlist.target is not None and round(segment.duration) > playlist.target:
            report.problems.append(
                f"segment {segment.uri} lasts {segment.duration:.3f} s, "
                f"beyond the target duration {playlist.target} s"
            )
        method = (segment.key or {}).get("METHOD")
        try:
            if method == "AES-128":
                data = decrypt(
                    data, _key_bytes(segment, playlist_path, key_file, keys), segment_iv(segment)
                )
            elif method is not None:
                raise ValueError(f"encrypted with {method}, which this check cannot read")
        except ValueError as error:
            report.problems.append(f"segment {segment.uri}: cannot decrypt: {error}")
            continue
        problem = first_picture_problem(path, data)
        if problem:
            report.problems.append(f"segment {segment.uri}: {problem}")
    report.segments = len(playlist.segments)
    report.seconds = sum(durations)
    report.size = sum(sizes)
    report.peak = peak_bit_rate(sizes, durations, playlist.target or 1)
    if report.bandwidth is None:
        report.problems.append(f"{report.uri} has no BANDWIDTH in the master playlist")
    elif report.bandwidth < report.peak:
        report.problems.append(
            f"{report.uri}: BANDWIDTH {report.bandwidth} is below the "
            f"measured peak segment bit rate {math.ceil(report.peak)}"
        )


def check_ladder(
    master: Path, key_file: Path | None = None, between: Callable[[], None] = lambda: None
) -> LadderReport:
    """Every playlist the master lists exists and ends, every segment exists,
    decrypts with its key and starts with a key frame, and each BANDWIDTH covers
    the measured peak segment bit rate. `between` runs before each segment, to
    stop early."""
    report = LadderReport(master)
    try:
        text = master.read_text(errors="replace")
    except OSError as error:
        report.problems.append(f"master playlist {master}: {error.strerror}")
        return report
    if not text.startswith("#EXTM3U"):
        report.problems.append(f"{master} is not an M3U playlist")
    variants = parse_master(text)
    if not variants:
        report.problems.append(f"{master} lists no variant stream")
    keys: dict[Path, bytes] = {}
    for variant in variants:
        rendition = RenditionReport(
            variant.uri, variant.attributes.get("RESOLUTION", ""), variant.bandwidth
        )
        check_rendition(master.parent / unquote(variant.uri), rendition, key_file, keys, between)
        report.renditions.append(rendition)
    return report


def _size(count: int) -> str:
    value = float(count)
    for unit in ("B", "KiB", "MiB"):
        if value < 1024:
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    return f"{value:.1f} GiB"


def table(report: LadderReport) -> str:
    """The report as a table, then each problem on a line of its own."""
    head = (
        "RENDITION",
        "RESOLUTION",
        "SEGMENTS",
        "DURATION",
        "SIZE",
        "AVERAGE",
        "PEAK",
        "BANDWIDTH",
        "RESULT",
    )
    rows = [head]
    for r in report.renditions:
        rows.append(
            (
                r.name,
                r.resolution,
                str(r.segments),
                f"{r.seconds:.2f} s",
                _size(r.size),
                f"{r.average / 1000:.0f} kbit/s",
                f"{r.peak / 1000:.0f} kbit/s",
                f"{r.bandwidth / 1000:.0f} kbit/s" if r.bandwidth is not None else "-",
                "ok" if not r.problems else f"{len(r.problems)} problem(s)",
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(len(head))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]
    problems = report.problems + [p for r in report.renditions for p in r.problems]
    lines += [f"problem: {p}" for p in problems]
    return "\n".join(lines) + "\n"
