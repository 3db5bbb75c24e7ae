"""Sources whose timing is broken the way real uploads break it, and a measure of
where their picture and sound land.

Every source carries a marker every 2 s from 0.5 s on: the picture turns white
for 100 ms and a 1 kHz beep sounds, beginning together. Beep k lasts
40 + 20 k ms, so each beep can be told from the others wherever a fault moves
it. The measure decodes a file with the ffmpeg CLI and finds the flashes in
the pictures' brightness (signalstats) and the beeps in the sound
(silencedetect), each at its decoded time.
"""

import json
import math
import re
import shutil
import subprocess
from pathlib import Path

import corvane
from fuzzing import TS_PACKET, tool_environment

FFMPEG = shutil.which("ffmpeg")
FFPROBE = shutil.which("ffprobe")
NODE = shutil.which("node")
RECORDER = Path(__file__).parent / "players" / "record.mjs"

PERIOD = 2  # seconds between markers
FLASH_LUMA = 200  # the white picture's mean luma is 235; the moving picture's far below
BEEP_BASE, BEEP_STEP = 0.04, 0.02  # beep k lasts BEEP_BASE + k BEEP_STEP seconds
TS_CLOCK = 90000


def marked_inputs(duration, start=0, rate=30, spacing=None, layout="mono"):
    """ffmpeg input arguments for `duration` seconds of a moving 160x90 picture
    and sound, both with markers, `start` seconds into the marker timeline.
    `spacing` is a setpts expression that retimes the pictures (in ms, before
    the flashes are drawn at their new times)."""
    t = f"(t+{start})"  # the time into the marker timeline
    retime = f",settb=1/1000,setpts={spacing}" if spacing else ""
    # A hair below the marker, so that a picture exactly on it counts.
    video = (
        f"testsrc2=size=160x90:rate={rate}:duration={duration}{retime},"
        f"drawbox=c=white:t=fill:enable='between(mod({t}\\,{PERIOD})\\,0.4999\\,0.5999)'"
    )
    beep = (
        f"0.5*sin(2*PI*1000*t)*between(mod({t}\\,{PERIOD})\\,0.5\\,"
        f"{0.5 + BEEP_BASE}+{BEEP_STEP}*floor({t}/{PERIOD}))"
    )
    sound = f"aevalsrc='{beep}':c={layout}:s=48000:d={duration}"
    return ["-f", "lavfi", "-i", video, "-f", "lavfi", "-i", sound]


# A key frame every second, as broadcasters send them.
H264_AAC = ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "30", "-c:a", "aac"]


def make(path, *args):
    done = subprocess.run(
        [FFMPEG, "-v", "error", "-y", *map(str, args), str(path)],
        capture_output=True,
        text=True,
        env=tool_environment(),
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return Path(path)


# --- MPEG-TS surgery -----------------------------------------------------------------


def stream_pids(path):
    """{codec_type: PID} of an MPEG-TS file, as ffprobe reads its program map."""
    out = subprocess.run(
        [FFPROBE, "-v", "error", "-of", "json", "-show_entries", "stream=id,codec_type", str(path)],
        capture_output=True,
        text=True,
        check=True,
        env=tool_environment(),
    ).stdout
    return {s["codec_type"]: int(s["id"], 16) for s in json.loads(out)["streams"]}


def pes_starts(data, pid):
    """[(packet offset, PES header offset)] of the packets of `pid` that start a PES."""
    found = []
    for at in range(0, len(data) - TS_PACKET + 1, TS_PACKET):
        if ((data[at + 1] & 0x1F) << 8 | data[at + 2]) != pid or not data[at + 1] & 0x40:
            continue
        payload = at + 4 + (1 + data[at + 4] if data[at + 3] & 0x20 else 0)
        if data[payload : payload + 3] == b"\x00\x00\x01":
            found.append((at, payload))
    return found


def read_stamp(data, at):
    """The 33-bit PTS or DTS written at `at`."""
    return (
        (data[at] >> 1 & 7) << 30
        | data[at + 1] << 22
        | (data[at + 2] >> 1) << 15
        | data[at + 3] << 7
        | data[at + 4] >> 1
    )


def write_stamp(data, at, value):
    """Writes `value` over the PTS or DTS at `at`, keeping its 4-bit prefix."""
    value %= 1 << 33
    data[at : at + 5] = bytes(
        [
            data[at] & 0xF0 | (value >> 29 & 0x0E) | 1,
            value >> 22 & 0xFF,
            (value >> 14 & 0xFE) | 1,
            value >> 7 & 0xFF,
            (value << 1 & 0xFE) | 1,
        ]
    )


def pes_stamps(data, header):
    """Offsets of the PTS and of the DTS in the PES header at `header`, each None
    when absent."""
    flags = data[header + 7] >> 6
    pts = header + 9 if flags & 2 else None
    dts = header + 14 if flags == 3 else None
    return pts, dts


def drop_sound(path, start, end):
    """Removes every audio packet of the PES whose timestamps lie from `start` to
    `end` seconds after the first: the sound of a capture that lost the signal."""
    data = bytearray(Path(path).read_bytes())
    pid = stream_pids(path)["audio"]
    starts = pes_starts(data, pid)
    first = read_stamp(data, pes_stamps(data, starts[0][1])[0])
    cut = set()
    for (at, header), (following, _) in zip(starts, [*starts[1:], (len(data), None)]):
        if start <= (read_stamp(data, pes_stamps(data, header)[0]) - first) / TS_CLOCK < end:
            cut.update(range(at, following, TS_PACKET))
    kept = [
        data[at : at + TS_PACKET]
        for at in range(0, len(data), TS_PACKET)
        if at not in cut or ((data[at + 1] & 0x1F) << 8 | data[at + 2]) != pid
    ]
    Path(path).write_bytes(b"".join(kept))
    return Path(path)


def damage_first_picture(path, ahead):
    """Moves the timestamps of the first picture `ahead` seconds forward, as one
    damaged byte in its PES header can."""
    data = bytearray(Path(path).read_bytes())
    _, header = pes_starts(data, stream_pids(path)["video"])[0]
    for at in pes_stamps(data, header):
        if at is not None:
            write_stamp(data, at, read_stamp(data, at) + ahead * TS_CLOCK)
    Path(path).write_bytes(bytes(data))
    return Path(path)


def joined(path, parts):
    """`parts` written one after the other into `path`, as `cat` joins captures."""
    path.write_bytes(b"".join(Path(p).read_bytes() for p in parts))
    for part in parts:
        Path(part).unlink()
    return path


# --- the sources ---------------------------------------------------------------------


def dropout_ts(folder):
    """10 s at 30 pictures a second whose sound drops out from 3 to 5 s."""
    path = drop_sound(
        make(folder / "dropout.ts", *marked_inputs(10), *H264_AAC, "-f", "mpegts"), 3, 5
    )
    return path, path


def joined_ts(folder):
    """Two 5 s captures joined end to end, timestamps starting again between them."""
    parts = [
        make(folder / f"part{start}.ts", *marked_inputs(5, start=start), *H264_AAC, "-f", "mpegts")
        for start in (0, 5)
    ]
    path = joined(folder / "joined.ts", parts)
    return path, path


def jittered_webm(folder):
    """303 pictures 31 and 35 ms apart in turn (30.3 a second), in WebM."""
    path = make(
        folder / "jittered.webm",
        *marked_inputs(10.1, spacing="(floor(N/2)*66+mod(N\\,2)*31)"),
        "-t",
        "10",
        "-c:v",
        "libvpx-vp9",
        "-deadline",
        "realtime",
        "-cpu-used",
        "8",
        "-b:v",
        "200k",
        "-fps_mode",
        "passthrough",
        "-c:a",
        "libopus",
        "-f",
        "webm",
    )
    return path, path


def ac3_switch_ts(folder):
    """A broadcast in AC-3 whose 5.1 sound turns stereo at 5 s, timestamps going on.
    The markers are measured in the same 10 s without the switch: FFmpeg 7's
    command line, whose threads reconfigure its filters at the switch, sometimes
    decodes a burst there that would read as a beep."""
    ac3 = ["-c:v", "libx264", "-pix_fmt", "yuv420p", "-g", "30", "-c:a", "ac3", "-f", "mpegts"]
    parts = [
        make(folder / f"ac3_{layout}.ts", *marked_inputs(5, start=start, layout=layout), *ac3)
        for start, layout in ((0, "5.1"), (5, "stereo"))
    ]
    # FFmpeg's concat reader carries the timestamps on from one part to the next.
    listing = folder / "ac3_parts.txt"
    listing.write_text("".join(f"file '{part.name}'\n" for part in parts))
    path = make(
        folder / "ac3_switch.ts", "-f", "concat", "-i", listing, "-c", "copy", "-f", "mpegts"
    )
    for used in (listing, *parts):
        used.unlink()
    return path, make(folder / "ac3_stereo.ts", *marked_inputs(10, layout="stereo"), *ac3)


def damaged_ts(folder):
    """3 s whose first picture's timestamps are 99 minutes ahead; the markers are
    where they were before the damage."""
    intact = make(folder / "intact.ts", *marked_inputs(3), *H264_AAC, "-f", "mpegts")
    damaged = folder / "damaged.ts"
    damaged.write_bytes(intact.read_bytes())
    return damage_first_picture(damaged, 99 * 60), intact


def recorded_webm(folder):
    """8 s recorded by Chromium's MediaRecorder from a canvas and WebAudio."""
    assert NODE and Path("/usr/bin/chromium").exists(), "run `make system node`"
    path = folder / "recorded.webm"
    done = subprocess.run(
        [NODE, RECORDER, path, "8", folder / "chromium-profile"],
        capture_output=True,
        text=True,
        timeout=120,
        env=tool_environment(),
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return path, path


def picture_ends_mp4(folder):
    """10 s whose picture stops at 3 s while the sound goes on, as a screen
    recording whose window closed; it plays as its last picture held."""
    picture = "trim=end=3"
    path = make(folder / "picture_ends.mp4", *marked_inputs(10), "-vf", picture, *H264_AAC)
    held = make(
        folder / "picture_held.mp4",
        *marked_inputs(10),
        "-vf",
        f"{picture},tpad=stop_mode=clone:stop_duration=7",
        *H264_AAC,
    )
    return path, held


# Kind -> a function of a folder that writes the source there and returns it,
# with the file whose markers and pictures a ladder of it must reproduce.
SOURCES = {
    f.__name__: f
    for f in (
        dropout_ts,
        joined_ts,
        jittered_webm,
        recorded_webm,
        ac3_switch_ts,
        damaged_ts,
        picture_ends_mp4,
    )
}


# --- the measure ---------------------------------------------------------------------


def picture_count(path):
    """How many pictures ffprobe decodes from a file."""
    out = subprocess.run(
        [
            FFPROBE,
            "-v",
            "error",
            "-of",
            "json",
            "-select_streams",
            "v",
            "-count_frames",
            "-show_entries",
            "stream=nb_read_frames",
            str(path),
        ],
        capture_output=True,
        text=True,
        check=True,
        env=tool_environment(),
    ).stdout
    return int(json.loads(out)["streams"][0]["nb_read_frames"])


def grid_overflow(times, rate=30):
    """How many of the pictures at `times` (seconds, in order) a grid of 1/rate s
    slots must drop when each picture takes its nearest slot, or a later one
    within one slot of its time, and no slot holds two: what the 30-a-second
    cap cannot help dropping, for the grid's least lucky phase. Taking the
    first such slot that is free, in turn, holds the most."""

    def dropped(phase):
        slot, held = None, 0
        for time in times:
            at = (time - times[0]) * rate + phase
            free = math.floor(at + 0.5) if slot is None else max(slot + 1, math.floor(at + 0.5))
            if free <= at + 1:
                slot, held = free, held + 1
        return len(times) - held

    return max(dropped(tenth / 10) for tenth in range(10))


def markers(path):
    """{k: (flash time, beep time)} of the markers decoded from a file, either
    time None when missing. The k-th flash is marker k; a beep is known by its
    length."""
    done = subprocess.run(
        [
            FFMPEG,
            "-hide_banner",
            "-nostdin",
            "-i",
            str(path),
            "-filter_complex",
            "[0:v]signalstats,metadata=print:key=lavfi.signalstats.YAVG:file=-;"
            "[0:a]aformat=channel_layouts=mono,silencedetect=noise=-30dB:duration=0.015",
            "-f",
            "null",
            "-",
        ],
        capture_output=True,
        text=True,
        env=tool_environment(),
    )
    assert done.returncode == 0, done.stderr[-3000:]
    pictures = re.findall(r"pts_time:(\S+)\s+lavfi\.signalstats\.YAVG=(\S+)", done.stdout)
    flashes = [
        float(t)
        for (t, luma), (_, before) in zip(pictures, [("", "0"), *pictures])
        if float(luma) >= FLASH_LUMA > float(before)
    ]
    # Sound between the end of a silence and the start of the next is a beep;
    # sound that runs to the end of the file is not.
    events = re.findall(r"silence_(start|end): (\S+)", done.stderr)
    beeps = {}
    for (kind, onset), (next_kind, end) in zip(events, events[1:]):
        if (kind, next_kind) == ("end", "start"):
            k = round((float(end) - float(onset) - BEEP_BASE) / BEEP_STEP)
            beeps.setdefault(k, float(onset))
    return {
        k: (flashes[k] if k < len(flashes) else None, beeps.get(k))
        for k in range(max(len(flashes), max(beeps, default=-1) + 1))
    }


def offsets(found):
    """{k: beep time - flash time} of the markers with both, in seconds."""
    return {
        k: beep - flash
        for k, (flash, beep) in found.items()
        if flash is not None and beep is not None
    }


# --- a report: `python tests/markers.py [KIND ...]` ---------------------------------


def describe(found):
    """Each marker as its flash time and its beep's lead over the flash."""

    def one(flash, beep):
        if flash is None:
            return "no flash" + (f", beep at {beep:.2f} s" if beep is not None else "")
        return f"{flash:.2f} s " + (
            f"{(beep - flash) * 1000:+.0f} ms" if beep is not None else "no beep"
        )

    return "; ".join(f"{k}: {one(*marker)}" for k, marker in found.items())


def report(kinds, folder):
    """Prints, for each source kind, what a one-rendition ladder of it made of
    its pictures and markers, with the installed corvane."""
    for kind in kinds:
        out = folder / kind / "ladder"
        out.mkdir(parents=True)
        source, reference = SOURCES[kind](folder / kind)
        print(f"{kind}: {picture_count(reference)} pictures; {describe(markers(reference))}")
        try:
            corvane.hls_encoder(str(source), str(out / "master.m3u8"), resolution=["360p"], key="")
        except Exception as error:
            print(f"  raised {type(error).__name__}: {error}")
            continue
        lines = (out / "360p.m3u8").read_text().splitlines()
        whole = folder / kind / "all.ts"
        whole.write_bytes(
            b"".join((out / line).read_bytes() for line in lines if not line.startswith("#"))
        )
        streams = json.loads(
            subprocess.run(
                [
                    FFPROBE,
                    "-v",
                    "error",
                    "-of",
                    "json",
                    "-show_entries",
                    "stream=codec_type,duration",
                    str(whole),
                ],
                capture_output=True,
                text=True,
                check=True,
            ).stdout
        )["streams"]
        spans = ", ".join(f"{s['codec_type']} {float(s.get('duration', 0)):.2f} s" for s in streams)
        target = next(line for line in lines if line.startswith("#EXT-X-TARGETDURATION"))
        print(f"  ladder: {picture_count(whole)} pictures, {spans}, {target}")
        print(f"  {describe(markers(whole))}")


if __name__ == "__main__":
    import sys
    import tempfile

    with tempfile.TemporaryDirectory() as scratch:
        report(sys.argv[1:] or list(SOURCES), Path(scratch))
