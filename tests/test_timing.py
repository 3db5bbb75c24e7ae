"""Sources whose timing is broken the way real uploads break it: each plays in its
ladder as it plays itself, every picture at its time and the sound with it."""

import pytest

from conftest import concatenate, encode, parse_media_playlist, picture_times, probe, stream_of
from markers import grid_overflow, markers, offsets, picture_count

FRAME = 1 / 30  # the ladder's picture interval
AAC_DELAY = 1024 / 44100  # the AAC encoder's priming, which its decoder may or may not skip
IN_STEP = FRAME + AAC_DELAY  # how far the sound may move against the picture


@pytest.mark.parametrize(
    "kind, seconds, capped",
    [
        # (source kind, how long it plays, how many of its pictures the
        # 30-a-second cap may drop; None: those no grid of 1/30 s slots can hold)
        pytest.param("dropout_ts", 10, 0, id="ts-sound-drops-out-for-2s"),
        pytest.param("joined_ts", 10, 0, id="ts-captures-joined"),
        # 303 pictures 31 and 35 ms apart: a grid holds at least 297 of them
        # (FFmpeg 9's CLI writes this clip with some pictures at one time, which
        # no grid holds either).
        pytest.param("jittered_webm", 10, None, id="webm-31-35ms-pictures"),
        pytest.param("recorded_webm", 8, None, id="webm-mediarecorder", marks=pytest.mark.browser),
        pytest.param("ac3_switch_ts", 10, 0, id="ac3-5.1-then-stereo"),
        pytest.param("damaged_ts", 3, 0, id="ts-first-picture-99min-ahead"),
        pytest.param("picture_ends_mp4", 10, 0, id="mp4-picture-stops-at-3s"),
    ],
)
def test_broken_timing_plays_as_the_source_does(marked_source, tmp_path, kind, seconds, capped):
    source, reference = marked_source(kind)
    encode(source, tmp_path)
    playlist = parse_media_playlist(tmp_path / "360p.m3u8")
    whole = concatenate([tmp_path / s["uri"] for s in playlist["segments"]], tmp_path / "all.ts")

    # The whole span, in segments a player can schedule.
    durations = [s["duration"] for s in playlist["segments"]]
    assert sum(durations) == pytest.approx(seconds, abs=0.1), durations
    assert max(map(round, durations)) <= playlist["target"] <= 6, (playlist["target"], durations)
    probed = probe(whole)
    assert float(stream_of(probed, "audio")["duration"]) == pytest.approx(
        float(stream_of(probed, "video")["duration"]), abs=0.1
    )

    # Every picture the source shows, but what the cap drops.
    shown, kept = picture_count(reference), picture_count(whole)
    if capped is None:
        capped = grid_overflow(picture_times(reference))
    assert shown - capped <= kept <= shown, f"{kept} of {shown} pictures kept"

    # The markers the source has: each flash as far from the first as there
    # (each picture within a slot of its time), each beep as far from its
    # flash as there, or missing where the source lost it.
    expected, found = markers(reference), markers(whole)
    figures = f"source {expected}, ladder {found}"
    assert {k: (flash is None, beep is None) for k, (flash, beep) in found.items()} == {
        k: (flash is None, beep is None) for k, (flash, beep) in expected.items()
    }, figures
    for k, (flash, _) in expected.items():
        if flash is None:
            continue
        assert found[k][0] - found[0][0] == pytest.approx(flash - expected[0][0], abs=2 * FRAME), (
            figures
        )
    drift = {k: offset - offsets(expected)[k] for k, offset in offsets(found).items()}
    assert all(abs(d) <= IN_STEP for d in drift.values()), f"sound moved {drift}; {figures}"
