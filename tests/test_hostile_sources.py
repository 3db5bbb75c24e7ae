"""Sources that declare more than they hold, or hold what no encoder expects.

Each call completes with a whole ladder or raises; none leaves a master playlist
naming a rendition that is empty, and none runs forever.
"""

import os
import subprocess
import sys
import threading

import pytest

from conftest import FFMPEG, encode, listing, parse_media_playlist, probe, run, stream_of
from fuzzing import first_packet_offset, ladder_faults, run_call


def test_source_cut_before_its_first_frame_fails_without_a_master(clip, tmp_path):
    # The headers declare both streams; not one packet follows them: bad data,
    # raised as such, not as the renditions it failed.
    whole = clip("webm")
    cut = tmp_path / "cut.webm"
    cut.write_bytes(whole.read_bytes()[: first_packet_offset(whole)])
    out = tmp_path / "out"
    with pytest.raises(ValueError) as raised:
        encode(cut, out)
    assert "no picture of the source could be decoded" in str(raised.value)
    assert "master.m3u8" not in listing(out)


def test_audio_track_without_packets_fails_without_a_master(clip, tmp_path):
    source = clip("empty_audio")
    probed = probe(source, "-count_packets")
    assert [(s["codec_type"], s.get("nb_read_packets", "0")) for s in probed["streams"]] == [
        ("video", "30"),
        ("audio", "0"),
    ]
    out = tmp_path / "out"
    with pytest.raises(ValueError) as raised:
        encode(source, out)
    assert "no sound of the source could be decoded" in str(raised.value)
    assert "master.m3u8" not in listing(out)


def test_float_audio_far_beyond_full_scale_completes(clip, tmp_path):
    # FFmpeg's AAC encoder never returns from what the loudness filter makes of
    # this; the call runs in a child so that a hang fails the test.
    out = tmp_path / "out"
    result = run_call(clip("loud_float"), out, timeout=120)
    assert result["outcome"] == "completed", result
    assert ladder_faults(out, result) == []
    segments = parse_media_playlist(out / "360p.m3u8")["segments"]
    audio = stream_of(probe(out / segments[0]["uri"]), "audio")
    assert (audio["codec_name"], audio["sample_rate"]) == ("aac", "44100")


# Runs one call and prints how it ended and how long it took, in seconds.
TIMED_CALL = r"""
import sys, time
import corvane
start = time.monotonic()
try:
    corvane.hls_encoder(sys.argv[1], sys.argv[2], resolution=["360p"], key="")
    print("completed", time.monotonic() - start)
except Exception as error:
    print(type(error).__name__, time.monotonic() - start)
"""


def timed_call(source, out):
    """(outcome, seconds the call took, peak resident memory of its process in
    KiB) of a call in a child interpreter."""
    out.mkdir(parents=True, exist_ok=True)
    with subprocess.Popen(
        [sys.executable, "-c", TIMED_CALL, str(source), str(out / "master.m3u8")],
        stdout=subprocess.PIPE,
        text=True,
    ) as child:
        watchdog = threading.Timer(120, child.kill)
        watchdog.start()
        stdout = child.stdout.read()
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
        watchdog.cancel()
    assert child.returncode == 0, f"the call ended with status {child.returncode}"
    outcome, seconds = stdout.split()
    return outcome, float(seconds), usage.ru_maxrss


# One black picture of each size, more than any H.264, HEVC or AV1 level allows:
# 64 Mi samples, and a side over 16384. (libx264 refuses the wide one.)
OVERSIZED = {
    "8192x8192": [
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-crf",
        "51",
        "-threads",
        "1",
        "-x264-params",
        "rc-lookahead=0:sync-lookahead=0",
    ],
    "16400x64": ["-c:v", "mjpeg"],
}


@pytest.mark.parametrize("size", OVERSIZED)
def test_oversized_pictures_are_refused_at_once(garbage, tmp_path, size):
    source = tmp_path / f"{size}.mkv"
    run(
        FFMPEG,
        "-v",
        "error",
        "-f",
        "lavfi",
        "-i",
        f"color=c=black:s={size}:r=10",
        *OVERSIZED[size],
        "-frames:v",
        "1",
        source,
    )
    outcome, seconds, peak = timed_call(source, tmp_path / "out")
    assert outcome == "ValueError"
    assert seconds < 1, f"refused after {seconds:.2f} s"
    # Not one picture decoded: no more memory than refusing a few bytes of
    # garbage takes, give or take a quarter of an 8192x8192 picture (96 MiB).
    _, _, baseline = timed_call(garbage, tmp_path / "baseline")
    assert peak - baseline < 24 * 1024, f"peak {peak} KiB, refusing garbage {baseline} KiB"
    assert listing(tmp_path / "out") == []
