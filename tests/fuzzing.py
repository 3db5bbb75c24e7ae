"""Corrupted sources for hls_encoder, and a judge of what each call did with one.

A seeded mutator turns a few tiny valid sources (MP4, Matroska, WebM, MPEG-TS),
and files disguised as sources that name other files (an HLS playlist, a
concat list), into broken ones: truncated, bit-flipped, zeroed, repeated,
spliced, garbage, empty, lines dropped, and files whose structures claim huge
sizes, counts or stream numbers.
Each call runs in a child interpreter, so a crash or a hang is seen as such
instead of taking the test run with it. Used by tests/test_fuzz.py (a small set)
and scripts/fuzz.py (a large set on demand).
"""

import json
import os
import random
import shutil
import struct
import subprocess
import sys
from pathlib import Path

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")


def _seed_args(vcodec, acodec, fmt):
    return [
        "-f",
        "lavfi",
        "-i",
        "testsrc2=size=160x90:rate=30:duration=1",
        "-f",
        "lavfi",
        "-i",
        "sine=frequency=440:sample_rate=48000:duration=1",
        *vcodec,
        *acodec,
        "-shortest",
        "-f",
        fmt,
    ]


# Seed kind -> (file name, ffmpeg arguments before the output path, or the text
# of the file with {folder} standing for the seeds' folder). One second, 160x90,
# a different pair of codecs in each container; Matroska again, cut into
# clusters whose timestamps far_times (below) moves to the ends of 64 bits; and
# an HLS playlist and a concat list under media file names, naming the MPEG-TS
# seed: a local source that names other files is refused, and stays refused
# however it is broken.
SEEDS = {
    "mp4": (
        "seed.mp4",
        _seed_args(("-c:v", "libx264", "-pix_fmt", "yuv420p"), ("-c:a", "aac"), "mp4"),
    ),
    "mkv": ("seed.mkv", _seed_args(("-c:v", "mpeg4"), ("-c:a", "libmp3lame"), "matroska")),
    "webm": (
        "seed.webm",
        _seed_args(
            ("-c:v", "libvpx-vp9", "-deadline", "realtime", "-cpu-used", "8", "-b:v", "100k"),
            ("-c:a", "libopus"),
            "webm",
        ),
    ),
    "ts": ("seed.ts", _seed_args(("-c:v", "mpeg2video"), ("-c:a", "mp2"), "mpegts")),
    "mkv-far-times": (
        "far_times.mkv",
        _seed_args(
            ("-c:v", "libx264", "-pix_fmt", "yuv420p"),
            ("-c:a", "aac", "-cluster_time_limit", "200"),
            "matroska",
        ),
    ),
    # The same without sound: the silence is timed by the pictures alone.
    "mkv-far-times-silent": (
        "far_times_silent.mkv",
        _seed_args(
            ("-c:v", "libx264", "-pix_fmt", "yuv420p"),
            ("-an", "-cluster_time_limit", "200"),
            "matroska",
        ),
    ),
    "hls-as-mp4": (
        "playlist.mp4",
        ("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n{folder}/seed.ts\n#EXT-X-ENDLIST\n"),
    ),
    "concat-as-mkv": ("list.mkv", "ffconcat version 1.0\nfile 'seed.ts'\n"),
}


def make_seeds(folder):
    """Writes every seed into `folder`; returns {kind: bytes}."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    seeds = {}
    for kind, (name, recipe) in SEEDS.items():
        path = folder / name
        if isinstance(recipe, str):
            path.write_text(recipe.format(folder=folder))
        else:
            subprocess.run(
                [FFMPEG, "-v", "error", "-y", *recipe, str(path)],
                check=True,
                capture_output=True,
                env=tool_environment(),
            )
        if kind.startswith("mkv-far-times"):
            path.write_bytes(far_times(path.read_bytes()))
        seeds[kind] = path.read_bytes()
    return seeds


# Cluster timestamps (milliseconds, read as signed 64 bits) at the ends of the
# range: as far below and above 0 as still fits in 1/90000 s, then just below
# the largest, then wrapped round to just above the least, then negative; what
# the timeline makes of them must never overflow.
FAR_TIMES = (2**64 - 10**17, 10**17, 2**63 - 2000, 2**63 + 500, 2**64 - 1200)


def far_times(data):
    """The Matroska file `data` with each cluster's timestamp, widened to 8
    bytes, set from FAR_TIMES in turn; the segment's size becomes unknown."""
    data = bytearray(data)
    elements = ebml_elements(data)
    clusters = [e for e in elements if e[1] == 0x1F43B675]
    for index, cluster in reversed(list(enumerate(clusters))):
        at, _, _, size_at, size_len, payload, length = cluster
        stamps = [e for e in elements if e[1] == 0xE7 and payload <= e[0] < payload + length]
        if not stamps or size_len < 2:
            continue
        stamp_at, _, id_len, _, _, stamp_payload, stamp_length = stamps[0]
        widened = bytes([0xE7, 0x88]) + (FAR_TIMES[index % len(FAR_TIMES)]).to_bytes(8, "big")
        data[stamp_at : stamp_payload + stamp_length] = widened
        grown = len(widened) - (stamp_payload + stamp_length - stamp_at)
        data[size_at : size_at + size_len] = ebml_size(length + grown, size_len)
    for segment in (e for e in elements if e[1] == 0x18538067):
        _, _, _, size_at, size_len, _, _ = segment
        data[size_at : size_at + size_len] = ebml_size((1 << (7 * size_len)) - 1, size_len)
    return bytes(data)


def tool_environment():
    """The environment for helper tools: without a sanitizer runtime preloaded for
    the module under test, which the tools do not need."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def first_packet_offset(path):
    """Where the first packet of a source starts: its headers end there."""
    out = subprocess.run(
        [FFPROBE, "-v", "error", "-of", "json", "-show_entries", "packet=pos", str(path)],
        check=True,
        capture_output=True,
        text=True,
        env=tool_environment(),
    ).stdout
    return min(
        int(p["pos"]) for p in json.loads(out)["packets"] if p.get("pos") not in (None, "N/A")
    )


# --- structure walkers ------------------------------------------------------------------

MP4_CONTAINERS = {
    b"moov",
    b"trak",
    b"mdia",
    b"minf",
    b"stbl",
    b"edts",
    b"dinf",
    b"udta",
    b"mvex",
    b"moof",
    b"traf",
}
# Full boxes whose first field after version and flags is an entry count.
MP4_COUNTED = {
    b"stts",
    b"stsc",
    b"stco",
    b"co64",
    b"stss",
    b"ctts",
    b"stsd",
    b"elst",
    b"dref",
    b"sdtp",
}


def mp4_boxes(data, start=0, end=None):
    """[(offset, header length, size, type)] of every box, depth first."""
    end = len(data) if end is None else end
    boxes = []
    at = start
    while at + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, at)
        header = 8
        if size == 1 and at + 16 <= end:
            size = struct.unpack_from(">Q", data, at + 8)[0]
            header = 16
        elif size == 0:
            size = end - at
        if size < header or at + size > end:
            break
        boxes.append((at, header, size, kind))
        if kind in MP4_CONTAINERS:
            boxes.extend(mp4_boxes(data, at + header, at + size))
        at += size
    return boxes


EBML_MASTERS = {
    0x1A45DFA3,
    0x18538067,
    0x114D9B74,
    0x4DBB,
    0x1549A966,
    0x1654AE6B,
    0xAE,
    0xE0,
    0xE1,
    0x1F43B675,
    0xA0,
    0x1C53BB6B,
    0xBB,
    0xB7,
    0x1254C367,
    0x7373,
    0x6D80,
    0x6240,
    0x5034,
}


def _vint(data, at, keep_marker):
    """(value, length) of the EBML variable-length integer at `at`, or None."""
    if at >= len(data) or data[at] == 0:
        return None
    first = data[at]
    length = 8 - first.bit_length() + 1
    if at + length > len(data):
        return None
    value = first if keep_marker else first & (0xFF >> length)
    for byte in data[at + 1 : at + length]:
        value = value << 8 | byte
    return value, length


def ebml_elements(data, start=0, end=None):
    """[(offset, id, id length, size offset, size length, payload offset, size)], depth first."""
    end = len(data) if end is None else end
    elements = []
    at = start
    while at < end:
        ident = _vint(data, at, keep_marker=True)
        if ident is None:
            break
        size_at = at + ident[1]
        size = _vint(data, size_at, keep_marker=False)
        if size is None:
            break
        payload = size_at + size[1]
        unknown = size[0] == (1 << (7 * size[1])) - 1
        length = end - payload if unknown else size[0]
        if payload + length > end:
            length = end - payload
        elements.append((at, ident[0], ident[1], size_at, size[1], payload, length))
        if ident[0] in EBML_MASTERS:
            elements.extend(ebml_elements(data, payload, payload + length))
        at = payload + length
    return elements


def ebml_size(value, length):
    """`value` written as an EBML size of `length` bytes."""
    return ((1 << (8 - length)) << (8 * (length - 1)) | value).to_bytes(length, "big")


TS_PACKET = 188


def mpeg_crc32(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = (crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def ts_section_packets(data, table_id):
    """[(packet, pointer field, section)] offsets of the packets that start a PSI
    section with `table_id` (0 PAT, 2 PMT)."""
    found = []
    for at in range(0, len(data) - TS_PACKET + 1, TS_PACKET):
        if data[at] != 0x47 or not data[at + 1] & 0x40:
            continue
        payload = at + 4
        if data[at + 3] & 0x20:
            payload += 1 + data[at + 4]
        if payload >= at + TS_PACKET:
            continue
        section = payload + 1 + data[payload]  # after the pointer field
        if section < at + TS_PACKET and data[section] == table_id:
            found.append((at, payload, section))
    return found


# --- mutations: each takes (bytearray, rng, kind) and returns (bytes, description) ------

HUGE_32 = (0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 0x10000000, 0xFFFFFFF0)


def truncate(data, rng, kind):
    point = rng.choice(
        [
            rng.randrange(0, 64),
            rng.randrange(0, len(data) // 4 + 1),
            rng.randrange(0, len(data) + 1),
            len(data) - rng.randrange(1, 64),
        ]
    )
    point = max(0, min(point, len(data)))
    return bytes(data[:point]), f"truncate at {point}"


def flip_header(data, rng, kind):
    span = min(len(data), 4096)
    count = rng.randint(1, 16)
    for _ in range(count):
        data[rng.randrange(span)] ^= 1 << rng.randrange(8)
    return bytes(data), f"flip {count} header bits"


def flip_middle(data, rng, kind):
    count = rng.randint(1, 64)
    low = len(data) // 4
    high = max(3 * len(data) // 4, low + 1)
    for _ in range(count):
        data[rng.randrange(low, high)] = rng.randrange(256)
    return bytes(data), f"replace {count} middle bytes"


def zero_chunk(data, rng, kind):
    length = rng.choice([16, 188, 1024, 4096, len(data) // 3])
    start = rng.randrange(len(data))
    data[start : start + length] = bytes(len(data[start : start + length]))
    return bytes(data), f"zero {length} at {start}"


def repeat_chunk(data, rng, kind):
    length = rng.choice([8, 188, 1000, 5000])
    start = rng.randrange(len(data))
    chunk = data[start : start + length]
    times = rng.randint(1, 20)
    at = rng.randrange(len(data) + 1)
    data[at:at] = chunk * times
    return bytes(data), f"repeat {len(chunk)}x{times} from {start} at {at}"


def splice_garbage(data, rng, kind):
    at = rng.randrange(len(data))
    length = rng.randint(1, 4096)
    data[at : at + length] = rng.randbytes(length)
    return bytes(data), f"garbage {length} at {at}"


def all_garbage(data, rng, kind):
    length = rng.choice([1, 7, 188, 4096, 65536])
    head = bytes(data[: rng.choice([0, 4, 8, 16, 64])])  # sometimes a real magic
    return head + rng.randbytes(length), f"garbage {length} after {len(head)} real bytes"


def empty(data, rng, kind):
    return b"", "empty"


def drop_line(data, rng, kind):
    lines = bytes(data).split(b"\n")
    at = rng.randrange(len(lines))
    return b"\n".join(lines[:at] + lines[at + 1 :]), f"drop line {at}"


def mp4_huge_box(data, rng, kind):
    boxes = mp4_boxes(data)
    if not boxes:
        return flip_header(data, rng, kind)
    at, _, size, box = rng.choice(boxes)
    value = rng.choice(HUGE_32 + (0, 1, 7, size + rng.randint(1, 1 << 20)))
    struct.pack_into(">I", data, at, value & 0xFFFFFFFF)
    return bytes(data), f"{box.decode(errors='replace')} size {value:#x}"


def mp4_huge_count(data, rng, kind):
    boxes = [b for b in mp4_boxes(data) if b[3] in MP4_COUNTED or b[3] == b"stsz"]
    if not boxes:
        return flip_header(data, rng, kind)
    at, header, _, box = rng.choice(boxes)
    field = at + header + (8 if box == b"stsz" else 4)
    value = rng.choice(HUGE_32 + (0, 2, 1000))
    struct.pack_into(">I", data, field, value)
    return bytes(data), f"{box.decode()} count {value:#x}"


def mp4_huge_field(data, rng, kind):
    # Time scales, durations and picture sizes in movie, track and sample headers.
    fields = {b"mvhd": (12, 16), b"mdhd": (12, 16), b"tkhd": (20, 76, 80)}
    boxes = [b for b in mp4_boxes(data) if b[3] in fields]
    if not boxes:
        return flip_header(data, rng, kind)
    at, header, _, box = rng.choice(boxes)
    offset = rng.choice(fields[box])
    value = rng.choice(HUGE_32 + (0,))
    struct.pack_into(">I", data, at + header + offset, value)
    return bytes(data), f"{box.decode()}+{offset} = {value:#x}"


def mp4_many_tracks(data, rng, kind):
    boxes = mp4_boxes(data)
    moov = [b for b in boxes if b[3] == b"moov"]
    traks = [b for b in boxes if b[3] == b"trak"]
    if not moov or not traks or moov[0][1] != 8:
        return flip_header(data, rng, kind)
    at, _, size, _ = rng.choice(traks)
    times = rng.choice([10, 100, 500])
    extra = bytes(data[at : at + size]) * times
    moov_at, _, moov_size, _ = moov[0]
    if moov_size + len(extra) > 0xFFFFFFFF:
        return flip_header(data, rng, kind)
    data[at + size : at + size] = extra
    struct.pack_into(">I", data, moov_at, moov_size + len(extra))
    # Chunk offsets after the moov (moov before mdat) now point short; leave them so.
    return bytes(data), f"{times} more tracks"


def mkv_huge_size(data, rng, kind):
    elements = ebml_elements(data)
    if not elements:
        return flip_header(data, rng, kind)
    _, ident, _, size_at, size_len, _, _ = rng.choice(elements)
    top = (1 << (7 * size_len)) - 2
    value = rng.choice([top, top // 2, 0, rng.randrange(top + 1)])
    data[size_at : size_at + size_len] = ebml_size(value, size_len)
    return bytes(data), f"element {ident:#x} size {value:#x}"


def mkv_huge_field(data, rng, kind):
    # Picture size, sample rate, channels, track number, time scale, lacing.
    interesting = {0xB0, 0xBA, 0xB5, 0x9F, 0xD7, 0x2AD7B1, 0x83, 0x23E383, 0x63A2, 0xA3}
    elements = [e for e in ebml_elements(data) if e[1] in interesting and e[6] > 0]
    if not elements:
        return flip_header(data, rng, kind)
    _, ident, _, _, _, payload, length = rng.choice(elements)
    if ident == 0xA3:  # SimpleBlock: claim lacing with a huge frame count
        if length > 5:
            data[payload + 3] |= rng.choice([0x02, 0x04, 0x06])
            data[payload + 4] = 0xFF
            return bytes(data), "block lacing 255 frames"
        return flip_header(data, rng, kind)
    fill = rng.choice([0xFF, 0x00, 0x7F])
    data[payload : payload + length] = bytes([fill]) * length
    return bytes(data), f"element {ident:#x} filled with {fill:#x}"


def mkv_many_tracks(data, rng, kind):
    elements = ebml_elements(data)
    entries = [e for e in elements if e[1] == 0xAE]
    tracks = [e for e in elements if e[1] == 0x1654AE6B]
    segments = [e for e in elements if e[1] == 0x18538067]
    if not entries or not tracks or not segments:
        return flip_header(data, rng, kind)
    entry_at, _, _, _, _, payload, length = rng.choice(entries)
    entry = bytes(data[entry_at : payload + length])
    times = rng.choice([10, 100, 1000])
    _, _, _, size_at, size_len, tracks_payload, tracks_length = tracks[0]
    data[payload + length : payload + length] = entry * times
    # Rewrite the Tracks size with the new length (8 bytes, so it always fits)
    # and make the Segment's size unknown.
    new_size = ebml_size(tracks_length + len(entry) * times, 8)
    data[size_at : size_at + size_len] = new_size
    _, _, _, seg_size_at, seg_size_len, _, _ = segments[0]
    data[seg_size_at : seg_size_at + seg_size_len] = (
        b"\xff" * seg_size_len
        if seg_size_len == 1
        else ebml_size((1 << (7 * seg_size_len)) - 1, seg_size_len)
    )
    return bytes(data), f"{times} more tracks"


def ts_huge_field(data, rng, kind):
    packets = ts_section_packets(data, rng.choice([0, 2]))
    if not packets:
        return flip_header(data, rng, kind)
    at, pointer, section = rng.choice(packets)
    choice = rng.randrange(3)
    if choice == 0:  # section length
        data[section + 1] = (data[section + 1] & 0xF0) | 0x0F
        data[section + 2] = 0xFF
        what = "section length 0xfff"
    elif choice == 1:  # pointer field past the packet
        data[pointer] = rng.choice([0xB7, 0xFF])
        what = "pointer field huge"
    else:  # adaptation field that claims the whole packet and more
        data[at + 3] |= 0x20
        data[at + 4] = 0xFF
        what = "adaptation field 255"
    return bytes(data), what


def ts_many_streams(data, rng, kind):
    packets = ts_section_packets(data, 2)
    if not packets:
        return flip_header(data, rng, kind)
    at, _, section = packets[0]
    # A PMT, with a good CRC, that lists many streams of assorted types.
    count = rng.choice([20, 33, 36])
    types = [0x02, 0x03, 0x04, 0x0F, 0x1B, 0x24, 0x81, 0x06, 0x15]
    program = data[section + 3 : section + 5]
    body = (
        bytearray([0x02, 0, 0])
        + program
        + bytes([0xC1, 0x00, 0x00])
        + bytes([0xE1, 0x00, 0xF0, 0x00])
    )
    for i in range(count):
        pid = 0x100 + rng.randrange(0x1E00) if rng.random() < 0.5 else 0x100 + i
        body += bytes([rng.choice(types), 0xE0 | pid >> 8, pid & 0xFF, 0xF0, 0x00])
    length = len(body) - 3 + 4
    body[1] = 0xB0 | length >> 8
    body[2] = length & 0xFF
    body += struct.pack(">I", mpeg_crc32(body))
    room = at + TS_PACKET - section
    if len(body) > room:
        return flip_header(data, rng, kind)
    data[section : section + len(body)] = body
    data[section + len(body) : at + TS_PACKET] = b"\xff" * (at + TS_PACKET - section - len(body))
    return bytes(data), f"PMT with {count} streams"


def ts_flip_pids(data, rng, kind):
    count = rng.randint(1, 30)
    packets = len(data) // TS_PACKET
    if packets == 0:
        return flip_header(data, rng, kind)
    for _ in range(count):
        at = rng.randrange(packets) * TS_PACKET
        data[at + 1] ^= rng.randrange(1, 32)
        data[at + 2] ^= rng.randrange(256)
    return bytes(data), f"{count} packet ids changed"


def splice_seeds(data, rng, kind, seeds=None):
    other = seeds[rng.choice(sorted(seeds))] if seeds else bytes(data)
    cut = rng.randrange(len(data) + 1)
    tail = rng.randrange(len(other) + 1)
    return bytes(data[:cut]) + other[tail:], f"head {cut} + other tail from {tail}"


GENERIC = [
    (truncate, 4),
    (flip_header, 4),
    (flip_middle, 3),
    (zero_chunk, 2),
    (repeat_chunk, 2),
    (splice_garbage, 2),
    (all_garbage, 1),
    (empty, 0.3),
    (splice_seeds, 1),
]
BY_KIND = {
    "mp4": [(mp4_huge_box, 3), (mp4_huge_count, 3), (mp4_huge_field, 2), (mp4_many_tracks, 1)],
    "mkv": [(mkv_huge_size, 3), (mkv_huge_field, 3), (mkv_many_tracks, 1)],
    "webm": [(mkv_huge_size, 3), (mkv_huge_field, 3), (mkv_many_tracks, 1)],
    "ts": [(ts_huge_field, 3), (ts_many_streams, 2), (ts_flip_pids, 2)],
    "mkv-far-times": [(mkv_huge_size, 1), (mkv_huge_field, 1)],
    "mkv-far-times-silent": [(mkv_huge_size, 1), (mkv_huge_field, 1)],
    "hls-as-mp4": [(drop_line, 4)],
    "concat-as-mkv": [(drop_line, 2)],
}


def mutate(seed, kind, rng, seeds=None):
    """One corrupted file from `seed` (a source of `kind`): 1 to 3 mutations
    drawn by `rng`. Returns (bytes, description)."""
    table = GENERIC + BY_KIND[kind]
    data = bytes(seed)
    done = []
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        if not data:
            break
        mutation = rng.choices([m for m, _ in table], weights=[w for _, w in table])[0]
        if mutation is splice_seeds:
            data, what = splice_seeds(bytearray(data), rng, kind, seeds)
        else:
            data, what = mutation(bytearray(data), rng, kind)
        done.append(f"{mutation.__name__}: {what}")
    return data, "; ".join(done)


def case(seeds, index, base_seed):
    """Case `index` of the run seeded by `base_seed`: (kind, bytes, description).
    The same arguments always give the same case."""
    kinds = sorted(seeds)
    kind = kinds[index % len(kinds)]
    rng = random.Random(f"{base_seed}:{index}")
    data, what = mutate(seeds[kind], kind, rng, seeds)
    return kind, data, what


# --- running one call, and judging it -----------------------------------------------------

CHILD = r"""
import sys
import corvane
source, master = sys.argv[1], sys.argv[2]
try:
    corvane.hls_encoder(source, master, resolution=["360p"], bitrate=[200000], key="")
except Exception as error:
    text = " ".join(str(error).split())[:400]
    print("corvane-fuzz: raised", type(error).__name__, text, flush=True)
else:
    print("corvane-fuzz: completed", flush=True)
"""

# What a corrupted source may raise: the exceptions hls_encoder documents.
EXPECTED_RAISES = (
    "ValueError",
    "RuntimeError",
    "MemoryError",
    "OSError",
    "FileNotFoundError",
    "PermissionError",
    "IsADirectoryError",
    "InterruptedError",
    "TimeoutError",
    "BlockingIOError",
)


def run_call(source, out_dir, timeout):
    """Runs hls_encoder on `source` into `out_dir` in a child interpreter.

    Returns a dict: outcome ("completed", "raised", "crashed" or "hung"), the
    exception type and text when raised, the exit status and the child's
    error output when it crashed."""
    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    try:
        done = subprocess.run(
            [sys.executable, "-c", CHILD, str(source), str(out_dir / "master.m3u8")],
            capture_output=True,
            text=True,
            errors="replace",
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        return {"outcome": "hung"}
    result = {"returncode": done.returncode, "stderr": done.stderr[-4000:]}
    marker = [line for line in done.stdout.splitlines() if line.startswith("corvane-fuzz: ")]
    if done.returncode != 0 or not marker:
        result["outcome"] = "crashed"
        return result
    words = marker[-1].split(" ", 3)
    result["outcome"] = words[1]
    if words[1] == "raised":
        result["type"] = words[2]
        result["message"] = words[3] if len(words) > 3 else ""
    return result


def ladder_faults(out_dir, result):
    """What is wrong with what the call left in `out_dir`, as a list of sentences:
    a master playlist naming a rendition whose media playlist is not complete
    (no end tag, a missing, empty or non-MPEG-TS segment), a completed call
    without its rendition, files left by a call refused before any work, or an
    exception hls_encoder does not document."""
    out_dir = Path(out_dir)
    faults = []
    master = out_dir / "master.m3u8"
    named = []
    if master.exists():
        lines = master.read_text(errors="replace").splitlines()
        if not lines or lines[0] != "#EXTM3U":
            faults.append("master playlist without #EXTM3U")
        named = [line for line in lines if line and not line.startswith("#")]
        for uri in named:
            faults += [f"{uri}: {f}" for f in media_playlist_faults(out_dir / uri)]
    if result["outcome"] == "completed" and named != ["360p.m3u8"]:
        faults.append(f"completed, but the master playlist names {named}")
    if result["outcome"] == "raised":
        kind = result["type"]
        if kind not in EXPECTED_RAISES:
            faults.append(f"raised {kind}, which hls_encoder does not document")
        if kind == "RuntimeError" and master.exists():
            faults.append("the only rendition failed, yet a master playlist was written")
        if kind != "RuntimeError" and any(out_dir.iterdir()):
            faults.append(f"refused with {kind}, yet wrote {sorted(os.listdir(out_dir))}")
    return faults


def media_playlist_faults(path):
    if not path.exists():
        return ["media playlist missing"]
    lines = path.read_text(errors="replace").splitlines()
    if not lines or lines[0] != "#EXTM3U":
        return ["media playlist without #EXTM3U"]
    if lines[-1] != "#EXT-X-ENDLIST":
        return ["media playlist does not end with #EXT-X-ENDLIST"]
    segments = [line for line in lines if line and not line.startswith("#")]
    if not segments:
        return ["media playlist lists no segment"]
    faults = []
    for uri in segments:
        segment = path.parent / uri
        if not segment.exists() or segment.stat().st_size == 0:
            faults.append(f"segment {uri} missing or empty")
            continue
        data = segment.read_bytes()
        if len(data) % TS_PACKET or any(data[i] != 0x47 for i in range(0, len(data), TS_PACKET)):
            faults.append(f"segment {uri} is not whole MPEG-TS packets")
    return faults


def try_case(seeds, index, base_seed, work_dir, timeout, keep=False):
    """Writes case `index`, runs it and judges it. Returns a dict with the case
    (index, kind, description), the call's result and its faults."""
    kind, data, what = case(seeds, index, base_seed)
    folder = Path(work_dir) / f"case{index:05d}"
    folder.mkdir(parents=True, exist_ok=True)
    source = folder / ("input" + Path(SEEDS[kind][0]).suffix)
    source.write_bytes(data)
    out_dir = folder / "out"
    result = run_call(source, out_dir, timeout)
    faults = ladder_faults(out_dir, result) if result["outcome"] in ("completed", "raised") else []
    report = {
        "index": index,
        "kind": kind,
        "what": what,
        "size": len(data),
        **result,
        "faults": faults,
    }
    if not keep and result["outcome"] in ("completed", "raised") and not faults:
        shutil.rmtree(folder)
    return report


def describe(report):
    """One line about a case that went wrong, enough to reproduce it."""
    line = f"case {report['index']} ({report['kind']}, {report['size']} bytes, {report['what']}): "
    line += report["outcome"]
    if report["outcome"] == "crashed":
        line += f" with status {report['returncode']}: {report['stderr'][-1500:]}"
    if report.get("faults"):
        line += ": " + "; ".join(report["faults"])
    return line
