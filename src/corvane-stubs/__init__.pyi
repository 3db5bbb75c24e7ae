"""corvane: turns one video into an HTTP Live Streaming adaptive-bitrate ladder.

The types of the extension module, which is compiled C++, for type checkers
and editors. A successful call prints nothing; a failure raises a built-in
exception naming what failed, with FFmpeg's reason.
"""

from collections.abc import Sequence
from typing import Final, NamedTuple, TypedDict, type_check_only

__version__: Final[str]
"""corvane's version: the package's, as pip built it."""

@type_check_only
class Rendition(NamedTuple):
    """A known rendition (not a name the module holds: the type of the items of
    RENDITIONS)."""

    name: str
    """"1080p", "720p", "480p" or "360p": what hls_encoder's `resolution` names."""
    width: int
    """In pixels, landscape; a source shown portrait gets the sizes transposed."""
    height: int
    bitrate: int
    """The video bit rate in bit/s when `bitrate` gives none for it."""

RENDITIONS: Final[tuple[Rendition, ...]]
"""The known renditions in hls_encoder's default order: 1080p (1920x1080,
5000000 bit/s), 720p (1280x720, 2500000), 480p (854x480, 1000000) and 360p
(640x360, 400000)."""

def hls_encoder(
    input: str | bytes,
    output: str | bytes,
    resolution: Sequence[str] = ["1080p", "720p", "480p", "360p"],
    bitrate: Sequence[int] = [5000000, 2500000, 1000000, 400000],
    key: str | bytes = "enc.keyinfo",
) -> None:
    """Makes the ladder of `input`: a media playlist with 6-second MPEG-TS
    segments per rendition, then the master playlist at `output`.

    input: the local path of one self-contained media file, or a URL, with a
        decodable video stream.
    output: the master playlist's path; the renditions' playlists (NAME.m3u8)
        and segments (NAME_000.ts, ...) go beside it, in a folder that must
        exist.
    resolution: rendition names, in the master playlist's order (default
        ["1080p", "720p", "480p", "360p"]); unknown names and repeats are
        skipped.
    bitrate: video bit rates in bit/s, matched to `resolution` by position
        (default [5000000, 2500000, 1000000, 400000]); a shorter list is
        completed by name from RENDITIONS, extra values are ignored.
    key: the path of an HLS key info file (default "enc.keyinfo"); "" makes an
        unencrypted ladder.

    Holds the interpreter lock until every rendition has finished; checks for
    signals about every 100 ms.

    Raises:
        FileNotFoundError: the input, the output's folder or the key info file
            does not exist.
        PermissionError: the input may not be read.
        ValueError: data FFmpeg cannot read, a refused source format, no
            decodable video stream, pictures too large, no known rendition, a
            bit rate of 0 or less, an output folder whose name the HLS muxer
            reads as a pattern, an output that is a rendition's file.
        MemoryError: a source whose headers claim more than FFmpeg allocates.
        TimeoutError: a source that sends nothing for 30 s
            (CORVANE_READ_TIMEOUT).
        ConnectionError, OSError: other input or output failures.
        RuntimeError: a rendition failed (each one's reason), or this FFmpeg
            lacks libx264.
        KeyboardInterrupt: Ctrl-C, or a signal handler that raised; what the
            call wrote is removed.
        TypeError: arguments of the wrong type.
    """

@type_check_only
class Stream(TypedDict):
    index: int
    type: str
    """"video", "audio", "subtitle", "data", "attachment" or "unknown"."""
    codec: str

@type_check_only
class Probe(TypedDict):
    duration: float | None
    """In seconds; None when the container does not say."""
    width: int | None
    """The stored picture size of the video stream hls_encoder would encode;
    None without one."""
    height: int | None
    streams: list[Stream]

def probe(input: str | bytes) -> Probe:
    """What a source holds, opened and read as hls_encoder reads it: its
    duration, the size of the video stream hls_encoder would encode, and every
    stream's index, type and codec.

    Raises what hls_encoder raises when the source cannot be opened or read
    (FileNotFoundError, PermissionError, ValueError, MemoryError,
    TimeoutError, OSError, TypeError); Ctrl-C does not interrupt it.
    """

def versions() -> dict[str, str]:
    """The versions of corvane ("corvane"), of the FFmpeg libraries it runs
    with ("ffmpeg", "libavformat", "libavcodec", ...), and of libx264
    ("libx264", as the encoder writes it into the stream it makes).

    Raises:
        RuntimeError: this FFmpeg lacks libx264.
    """
