"""What the renditions hold: encryption, streams, sizes, key frames, timing, and
footage that needs turning, tone-mapping, reshaping, deinterlacing or sound."""

import re
import subprocess
from fractions import Fraction

import pytest

import corvane
from conftest import (
    FFMPEG,
    FFPROBE,
    HDR_BARS,
    SIZES,
    TABLE_BITRATES,
    clip_duration,
    concatenate,
    decrypt_rendition,
    encode,
    encoder_bitrate,
    master_text,
    master_variants,
    parse_master,
    parse_media_playlist,
    picture_times,
    probe,
    segment_iv,
    stream_of,
    video_frames,
)
from fuzzing import tool_environment

FPS = 30
GOP = 60
TOLERANCE = 0.1  # seconds


def source_video_duration(path):
    probed = probe(path)
    # Matroska/WebM keeps the duration on the container only.
    return float(stream_of(probed, "video").get("duration", probed["format"]["duration"]))


def check_streams(segment, size):
    probed = probe(segment)
    assert probed["format"]["format_name"] == "mpegts"
    video = stream_of(probed, "video")
    assert (video["codec_name"], video["pix_fmt"]) == ("h264", "yuv420p")
    assert (video["width"], video["height"]) == size
    audio = stream_of(probed, "audio")
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "44100", 2)
    return probed


def start_gap(segment):
    """|audio start - video start| of a clear segment, in seconds."""
    probed = probe(segment)
    return abs(
        float(stream_of(probed, "audio")["start_time"])
        - float(stream_of(probed, "video")["start_time"])
    )


def key_frame_indices(path):
    return [i for i, (key, _) in enumerate(video_frames(path)) if key]


# --- the default four-rendition ladder ----------------------------------------------------


@pytest.fixture(scope="session")
def default_ladder(clip, keyinfo, tmp_path_factory):
    out = tmp_path_factory.mktemp("default")
    corvane.hls_encoder(str(clip("mp4")), str(out / "master.m3u8"), key=str(keyinfo.path))
    return out


@pytest.fixture(scope="session")
def default_clear(default_ladder, keyinfo, tmp_path_factory):
    """Rendition name -> (clear segments, their concatenation)."""
    clear_dir = tmp_path_factory.mktemp("default_clear")
    clear = {}
    for name in SIZES:
        segments = decrypt_rendition(default_ladder / f"{name}.m3u8", keyinfo.key, clear_dir / name)
        clear[name] = (segments, concatenate(segments, clear_dir / f"{name}.ts"))
    return clear


def test_default_master_lists_four_renditions(default_ladder, default_clear):
    master = default_ladder / "master.m3u8"
    variants = master_variants(
        master, list(SIZES), clear={name: clear[0] for name, clear in default_clear.items()}
    )
    assert master.read_bytes().decode() == master_text(*variants)
    assert [v["resolution"] for v in variants] == list(SIZES.values())
    # The profile and level differ with the size: High at 4.0 for 1080p, 3.0 for 360p.
    assert [v["codecs"] for v in variants[::3]] == [
        "avc1.640028,mp4a.40.2",
        "avc1.64001E,mp4a.40.2",
    ]
    for name, (segments, _) in default_clear.items():
        assert encoder_bitrate(segments[0]) == TABLE_BITRATES[name]


@pytest.mark.parametrize("name", ["480p", "360p"])
def test_a_rendition_alone_is_made_as_in_the_ladder(
    default_ladder, default_clear, clip, keyinfo, tmp_path, name
):
    # The renditions share one decode of the source, and none changes another:
    # made alone, a rendition has the same playlist, segments and pictures. The
    # pictures are compared, not the segments' bytes: given the same pictures,
    # x264 now and then codes a block otherwise when the machine is busy.
    encode(
        clip("mp4"), tmp_path, resolution=[name], bitrate=[TABLE_BITRATES[name]], key=keyinfo.path
    )
    files = sorted(p.name for p in default_ladder.glob(f"{name}*"))
    assert sorted(p.name for p in tmp_path.glob(f"{name}*")) == files
    playlist = f"{name}.m3u8"
    assert (tmp_path / playlist).read_text() == (default_ladder / playlist).read_text()
    alone = concatenate(
        decrypt_rendition(tmp_path / playlist, keyinfo.key, tmp_path / "clear"),
        tmp_path / "alone.ts",
    )
    in_ladder = default_clear[name][1]
    assert video_frames(alone) == video_frames(in_ladder)
    log = filter_log(["-i", str(alone), "-i", str(in_ladder)], "[0:v][1:v]psnr")
    assert float(re.findall(r"PSNR .* min:(\S+)", log)[-1]) >= 50, log[-500:]


@pytest.mark.parametrize("name", SIZES)
def test_media_playlist_is_complete_and_keyed(default_ladder, keyinfo, name):
    playlist = parse_media_playlist(default_ladder / f"{name}.m3u8")
    assert playlist["lines"][-1] == "#EXT-X-ENDLIST"
    segments = playlist["segments"]
    assert [s["uri"] for s in segments] == [f"{name}_{i:03d}.ts" for i in range(len(segments))]
    assert sorted(p.name for p in default_ladder.glob(f"{name}_*")) == [s["uri"] for s in segments]
    for segment in segments:
        assert segment["key"]["METHOD"] == "AES-128"
        assert segment["key"]["URI"] == keyinfo.uri
        assert segment["key"]["IV"].lower() == "0x" + keyinfo.iv.hex()
        assert 0 < segment["duration"] <= playlist["target"]


@pytest.mark.parametrize("name", SIZES)
def test_segments_are_unreadable_without_the_key(default_ladder, name):
    for segment in sorted(default_ladder.glob(f"{name}_*.ts")):
        data = segment.read_bytes()
        assert len(data) % 16 == 0
        # Clear MPEG-TS has a sync byte every 188 bytes.
        assert not all(data[i] == 0x47 for i in range(0, min(len(data), 188 * 8), 188))
        done = subprocess.run(
            [
                FFPROBE,
                "-v",
                "error",
                "-of",
                "csv=p=0",
                "-show_entries",
                "stream=codec_name,width",
                str(segment),
            ],
            capture_output=True,
            text=True,
        )
        assert done.returncode != 0 or "h264" not in done.stdout


@pytest.mark.parametrize("name", SIZES)
def test_decrypted_segments_hold_h264_and_aac(default_clear, name):
    for segment in default_clear[name][0]:
        check_streams(segment, SIZES[name])


@pytest.mark.parametrize("name", SIZES)
def test_rendition_keeps_every_picture_and_the_duration(default_clear, clip, name):
    _, whole = default_clear[name]
    source = source_video_duration(clip("mp4"))
    assert len(video_frames(whole)) == round(source * FPS)
    assert float(stream_of(probe(whole), "video")["duration"]) == pytest.approx(
        source, abs=TOLERANCE
    )
    assert key_frame_indices(whole) == list(range(0, round(source * FPS), GOP))


@pytest.mark.parametrize("name", SIZES)
def test_audio_starts_with_video(default_clear, name):
    assert start_gap(default_clear[name][0][0]) < TOLERANCE


# --- segmentation and key frames on a longer source -----------------------------------------

LONG_RENDITIONS = ("360p", "480p")


@pytest.fixture(scope="session")
def long_ladder(clip, keyinfo_no_iv, tmp_path_factory):
    """One two-rendition call, its key info file without an IV line: rendition
    name -> (playlist, segments decrypted with the IVs it gives, their concatenation)."""
    out = tmp_path_factory.mktemp("long")
    encode(clip("long"), out, resolution=LONG_RENDITIONS, key=keyinfo_no_iv.path)
    ladder = {}
    for name in LONG_RENDITIONS:
        playlist = parse_media_playlist(out / f"{name}.m3u8")
        segments = decrypt_rendition(out / f"{name}.m3u8", keyinfo_no_iv.key, out / "clear" / name)
        ladder[name] = (playlist, segments, concatenate(segments, out / f"{name}.ts"))
    return ladder


@pytest.fixture(scope="session")
def long_rendition(long_ladder):
    return long_ladder["360p"]


def test_long_source_is_cut_into_six_second_segments(long_rendition, keyinfo_no_iv):
    playlist, segments, _ = long_rendition
    assert playlist["endlist"]
    assert [s["uri"] for s in playlist["segments"]] == ["360p_000.ts", "360p_001.ts", "360p_002.ts"]
    assert [s["duration"] for s in playlist["segments"]] == pytest.approx([6, 6, 1], abs=TOLERANCE)
    assert playlist["target"] == 6
    assert all(s["key"]["URI"] == keyinfo_no_iv.uri for s in playlist["segments"])
    for segment in segments:
        check_streams(segment, SIZES["360p"])
        assert video_frames(segment)[0][0] == 1


def test_every_segment_of_a_call_has_an_iv_of_its_own(long_ladder):
    # Without an IV line, the IV that decrypts each segment is on the EXT-X-KEY
    # line before it, and is none of the others' in any rendition of the call.
    ivs = []
    for name, (playlist, segments, _) in long_ladder.items():
        assert len(segments) == 3
        for index, segment in enumerate(segments):
            assert "IV" in playlist["segments"][index]["key"]
            check_streams(segment, SIZES[name])
            ivs.append(segment_iv(playlist, index))
    assert len(set(ivs)) == len(ivs)


def test_key_frames_every_sixty_pictures(long_rendition, clip):
    _, _, whole = long_rendition
    pictures = len(video_frames(whole))
    assert pictures == round(clip_duration("long") * FPS)
    assert key_frame_indices(whole) == list(range(0, pictures, GOP))


def test_long_rendition_duration_matches_source(long_rendition, clip):
    _, _, whole = long_rendition
    assert float(stream_of(probe(whole), "video")["duration"]) == pytest.approx(
        source_video_duration(clip("long")), abs=TOLERANCE
    )


@pytest.mark.parametrize(
    "kind, rate, last", [("pal", 25, 1.0), ("mp4", 30, 2.0), ("seven", 30, 1.0)]
)
def test_segment_durations_cover_every_picture(clip, tmp_path, kind, rate, last):
    # The durations add up to the span of the pictures, the last picture's own
    # included: a player that trusts them plays to the end. Half a picture off
    # would be one picture missed.
    encode(clip(kind), tmp_path)
    playlist = parse_media_playlist(tmp_path / "360p.m3u8")
    segments = [tmp_path / s["uri"] for s in playlist["segments"]]
    times = picture_times(concatenate(segments, tmp_path / "whole.ts"))
    assert len(times) == round(clip_duration(kind) * rate)
    span = times[-1] - times[0] + (times[-1] - times[-2])
    durations = [s["duration"] for s in playlist["segments"]]
    assert sum(durations) == pytest.approx(span, abs=0.5 / rate)
    # Every segment but the last is six seconds long, whatever the picture rate.
    assert durations[:-1] == pytest.approx([6.0] * (len(durations) - 1), abs=0.5 / rate)
    assert durations[-1] == pytest.approx(last, abs=0.5 / rate)
    assert durations[-1] == pytest.approx(len(picture_times(segments[-1])) / rate, abs=0.5 / rate)


# --- other sources ----------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["webm", "fps60", "mpegts"])
def test_other_sources_make_complete_renditions(clip, keyinfo, tmp_path, kind):
    source = clip(kind)
    master = encode(source, tmp_path / "out", key=keyinfo.path)
    assert [uri for _, uri in parse_master(master)] == ["360p.m3u8"]
    playlist = tmp_path / "out" / "360p.m3u8"
    assert parse_media_playlist(playlist)["endlist"]
    segments = decrypt_rendition(playlist, keyinfo.key, tmp_path / "clear")
    for segment in segments:
        check_streams(segment, SIZES["360p"])
    assert start_gap(segments[0]) < TOLERANCE

    whole = concatenate(segments, tmp_path / "whole.ts")
    duration = float(stream_of(probe(whole), "video")["duration"])
    assert duration == pytest.approx(source_video_duration(source), abs=TOLERANCE)
    # At most 30 pictures a second, whatever the source's rate.
    assert abs(len(video_frames(whole)) - duration * FPS) <= 2


def test_empty_key_leaves_segments_in_clear(clip, tmp_path):
    encode(clip("mp4"), tmp_path, key="")
    playlist = parse_media_playlist(tmp_path / "360p.m3u8")
    assert playlist["endlist"]
    assert not any(line.startswith("#EXT-X-KEY") for line in playlist["lines"])
    assert playlist["segments"]
    for segment in playlist["segments"]:
        check_streams(tmp_path / segment["uri"], SIZES["360p"])


# --- footage: turned, tone-mapped, reshaped, deinterlaced, given sound ----------------------

UNTAGGED = {}
BT709 = {
    "color_primaries": "bt709",
    "color_transfer": "bt709",
    "color_space": "bt709",
    "color_range": "tv",
}
BT601 = {
    "color_primaries": "bt470bg",
    "color_transfer": "smpte170m",
    "color_space": "bt470bg",
    "color_range": "tv",
}
COLOUR_TAGS = ("color_primaries", "color_transfer", "color_space", "color_range")
# What ffprobe (and idet) read in each clip that makes it need treating.
SOURCE_SAYS = {
    "rotated_90": {"rotation": -90},
    "rotated_180": {"rotation": -180},
    "rotated_270": {"rotation": 90},
    "mirrored": {"rotation": -90},
    "hdr_pq": {"color_transfer": "smpte2084"},
    "hdr_hlg": {"color_transfer": "arib-std-b67"},
    "four_three": {"display_aspect_ratio": "4:3"},
    "anamorphic": {"sample_aspect_ratio": "16:15", "display_aspect_ratio": "4:3", **BT601},
    "interlaced": {"field_order": "tt"},
    "video_only": {},
}
MOMENT = 0.5  # seconds into the clip: the picture compared


def filter_log(inputs, graph, pictures=None):
    """What ffmpeg logs running the filter graph `graph` over `inputs` into nothing."""
    limit = ["-frames:v", str(pictures)] if pictures else []
    done = subprocess.run(
        [
            FFMPEG,
            "-hide_banner",
            "-nostdin",
            *inputs,
            "-filter_complex",
            graph,
            *limit,
            "-f",
            "null",
            "-",
        ],
        capture_output=True,
        text=True,
        env=tool_environment(),
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stderr


def reader(source):
    """ffmpeg's input arguments for a file, or for a lavfi source one second long."""
    return (
        ["-i", str(source)]
        if not isinstance(source, str)
        else ["-f", "lavfi", "-i", f"{source}:duration=1"]
    )


def at_moment(size=None):
    """Filters that keep the pictures from MOMENT on, counted from the stream's
    first picture, scaled to `size` with square samples when given."""
    scaled = f",scale={size[0]}:{size[1]},setsar=1" if size else ""
    return f"setpts=PTS-STARTPTS,trim=start={MOMENT}{scaled},format=yuv420p"


def ssim(rendition, reference, size):
    """SSIM (all planes) of the rendition's picture at MOMENT against the
    reference's, both at `size`: the ffmpeg CLI turns a file as its display
    matrix says and scales both to the same display size."""
    log = filter_log(
        [*reader(rendition), *reader(reference)],
        f"[0:v]{at_moment(size)}[a];[1:v]{at_moment(size)}[b];[a][b]ssim",
        1,
    )
    return float(re.findall(r"All:([\d.]+)", log)[-1])


def saturation(source):
    """signalstats' average saturation of the picture at MOMENT, in 8 bits."""
    log = filter_log(
        reader(source),
        f"[0:v]{at_moment()},signalstats,metadata=print:key=lavfi.signalstats.SATAVG",
        1,
    )
    return float(re.findall(r"SATAVG=([\d.]+)", log)[-1])


def interlaced_pictures(source):
    """The pictures idet's single-picture detection finds interlaced."""
    log = filter_log(reader(source), "[0:v]idet")
    # The CLI sets the graph up twice, and the first idet reports nothing.
    tff, bff, progressive = re.findall(
        r"Single frame detection: TFF:\s*(\d+) BFF:\s*(\d+) "
        r"Progressive:\s*(\d+)",
        log,
    )[-1]
    return int(tff) + int(bff), int(progressive)


def loudest(source):
    """volumedetect's max_volume of the audio, in dB (-inf for digital silence)."""
    log = filter_log(["-i", str(source)], "[0:a]volumedetect")
    return float(re.findall(r"max_volume: (\S+) dB", log)[-1])


def display_aspect(video):
    """The display aspect ratio of an ffprobe video stream: its stored size, its
    sample aspect ratio (unknown is square) and a quarter turn of its display
    matrix."""
    sar = video.get("sample_aspect_ratio", "1:1")
    sar = Fraction(*map(int, sar.split(":"))) if sar not in ("0:1", "N/A") else Fraction(1)
    aspect = Fraction(video["width"], video["height"]) * sar
    rotation = next(
        (int(side["rotation"]) for side in video.get("side_data_list", []) if "rotation" in side), 0
    )
    return 1 / aspect if rotation % 180 else aspect


@pytest.mark.parametrize(
    "kind, name, reference, size, colour, similar",
    [
        # Turned: the reference is the source as the ffmpeg CLI shows it, turned.
        pytest.param("rotated_90", "360p", None, (360, 640), UNTAGGED, 0.98, id="rotated-90"),
        pytest.param("rotated_180", "360p", None, (640, 360), UNTAGGED, 0.98, id="rotated-180"),
        pytest.param("rotated_270", "360p", None, (360, 640), UNTAGGED, 0.98, id="rotated-270"),
        pytest.param("mirrored", "360p", None, (360, 640), UNTAGGED, 0.98, id="mirrored"),
        # Tone-mapped: the reference is the bars the clip was made from, in SDR.
        pytest.param("hdr_pq", "360p", HDR_BARS, (640, 360), BT709, 0.9, id="hdr-pq"),
        pytest.param("hdr_hlg", "360p", HDR_BARS, (640, 360), BT709, 0.9, id="hdr-hlg"),
        # Shown at the source's display aspect, 4:3, at the rendition's stored size.
        pytest.param("four_three", "360p", None, (640, 360), UNTAGGED, 0.98, id="four-three"),
        pytest.param("anamorphic", "360p", None, (640, 360), BT601, 0.98, id="sar-16-15"),
        # Deinterlaced at full size, where combing would show: against the
        # progressive pictures the fields were taken from, 50 a second.
        pytest.param(
            "interlaced",
            "1080p",
            "testsrc2=size=1920x1080:rate=50",
            (1920, 1080),
            UNTAGGED,
            0.9,
            id="1080i25",
        ),
        pytest.param("video_only", "360p", None, (640, 360), UNTAGGED, 0.98, id="no-sound"),
    ],
)
def test_footage_comes_out_as_people_see_it(
    clip, tmp_path, kind, name, reference, size, colour, similar
):
    source = clip(kind)
    source_video = stream_of(probe(source), "video")
    sides = {
        key: value for side in source_video.get("side_data_list", []) for key, value in side.items()
    }
    assert {key: {**source_video, **sides}.get(key) for key in SOURCE_SAYS[kind]} == SOURCE_SAYS[
        kind
    ]
    encode(source, tmp_path, resolution=[name])
    segments = [
        tmp_path / s["uri"] for s in parse_media_playlist(tmp_path / f"{name}.m3u8")["segments"]
    ]
    whole = concatenate(segments, tmp_path / "whole.ts")
    probed = probe(whole)
    video = stream_of(probed, "video")

    # The stored size and RESOLUTION stay the rendition's; the sample aspect
    # ratio makes players show the source's display aspect.
    assert (video["width"], video["height"]) == size
    assert [(a["RESOLUTION"], uri) for a, uri in parse_master(tmp_path / "master.m3u8")] == [
        (f"{size[0]}x{size[1]}", f"{name}.m3u8")
    ]
    assert float(display_aspect(video)) == pytest.approx(
        float(display_aspect(source_video)), rel=0.01
    )

    # The colour description the pictures really have; untagged stays untagged.
    assert {
        key: video[key] for key in COLOUR_TAGS if video.get(key, "unknown") != "unknown"
    } == colour
    # Upright, in its colours, at its shape: one picture against the same
    # moment of the reference, both at the rendition's display size.
    sar = Fraction(video.get("sample_aspect_ratio", "1:1").replace(":", "/"))
    shown = (round(size[0] * sar / 2) * 2, size[1])
    assert ssim(whole, reference or source, shown) >= similar
    assert saturation(whole) == pytest.approx(saturation(reference or source), rel=0.2)

    # Deinterlaced, one picture per frame: idet finds no combing, but in the
    # first and last pictures, deinterlaced without a neighbour on one side.
    combed, progressive = interlaced_pictures(whole)
    assert combed <= (2 if kind == "interlaced" else 0), (combed, progressive)
    if kind == "interlaced":
        assert interlaced_pictures(source)[0] == 25  # every picture of the source is combed
    assert len(video_frames(whole)) == round(
        clip_duration(kind) * min(FPS, Fraction(source_video["r_frame_rate"]))
    )

    # Sound: the source's, or silence as long as the video.
    audio = stream_of(probed, "audio")
    assert (audio["codec_name"], audio["sample_rate"], audio["channels"]) == ("aac", "44100", 2)
    assert float(audio["duration"]) == pytest.approx(float(video["duration"]), abs=TOLERANCE)
    silent = not [s for s in probe(source)["streams"] if s["codec_type"] == "audio"]
    assert (loudest(whole) <= -90) == silent
