"""Sources that declare more than they hold, or hold what no encoder expects.

Each call completes with a whole ladder or raises; none leaves a master playlist
naming a rendition that is empty, and none runs forever.
"""

import pytest

from conftest import encode, listing, parse_media_playlist, probe, stream_of
from fuzzing import first_packet_offset, ladder_faults, run_call


def test_source_cut_before_its_first_frame_fails_without_a_master(clip, tmp_path):
    # The headers declare both streams; not one packet follows them: bad data,
    # raised as such, not as the renditions it failed.
    whole = clip("webm")
    cut = tmp_path / "cut.webm"
    cut.write_bytes(whole.read_bytes()[:first_packet_offset(whole)])
    out = tmp_path / "out"
    with pytest.raises(ValueError) as raised:
        encode(cut, out)
    assert "no picture of the source could be decoded" in str(raised.value)
    assert "master.m3u8" not in listing(out)


def test_audio_track_without_packets_fails_without_a_master(clip, tmp_path):
    out = tmp_path / "out"
    with pytest.raises(ValueError) as raised:
        encode(clip("empty_audio"), out)
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
