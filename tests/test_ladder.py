"""Planning the ladder: which renditions, their sizes and bitrates, and where files go."""

import pytest

import corvane
from conftest import (
    SIZES,
    TABLE_BITRATES,
    encode,
    encoder_bitrate,
    listing,
    master_text,
    master_variants,
    parse_master,
    parse_media_playlist,
    probe,
    stream_of,
)


def check_ladder(master, expected):
    """The master lists [(name, bitrate, size)] in that order, each measured
    from its files (see master_variants), and each encoded at its bitrate."""
    variants = master_variants(master, [name for name, _, _ in expected])
    assert master.read_bytes().decode("ascii") == master_text(*variants)
    assert [v["resolution"] for v in variants] == [size for _, _, size in expected]
    for name, bitrate, _ in expected:
        assert encoder_bitrate(master.parent / f"{name}_000.ts") == bitrate // 1000 * 1000


@pytest.mark.parametrize(
    "kind, resolution, bitrate, expected",
    [
        pytest.param(
            "mp4",
            ["360p", "480p"],
            [],
            [("360p", 400000, SIZES["360p"]), ("480p", 1000000, SIZES["480p"])],
            id="table-bitrates-in-list-order",
        ),
        pytest.param(
            "mp4",
            ["360p", "540p", "480p"],
            [123456],
            [("360p", 123456, SIZES["360p"]), ("480p", 1000000, SIZES["480p"])],
            id="completed-by-name-unknown-skipped",
        ),
        pytest.param(
            "mp4",
            ["360p", "360p"],
            [700000, 800000],
            [("360p", 700000, SIZES["360p"])],
            id="repeat-planned-once",
        ),
        pytest.param(
            "mp4",
            ["360p"],
            [300000, -999],
            [("360p", 300000, SIZES["360p"])],
            id="longer-bitrate-list",
        ),
        pytest.param(
            "short", ["360p"], [], [("360p", 400000, SIZES["360p"])], id="shorter-than-a-segment"
        ),
        pytest.param(
            "one_picture",
            ["360p"],
            [],
            [("360p", 400000, SIZES["360p"])],
            id="one-picture-no-frame-rate",
        ),
    ],
)
def test_master_playlist_text(clip, tmp_path, kind, resolution, bitrate, expected):
    master = encode(clip(kind), tmp_path, resolution=resolution, bitrate=bitrate)
    check_ladder(master, expected)
    made = {name for name, _, _ in expected}
    assert {p.stem for p in tmp_path.glob("*.m3u8")} == made | {"master"}
    for name in made:
        assert parse_media_playlist(tmp_path / f"{name}.m3u8")["endlist"]


def test_default_bitrates_pair_with_names_by_position(clip, tmp_path):
    # Leaving the bitrate out is the same as passing the default list, which
    # pairs with the resolution list position by position.
    master = encode(clip("mp4"), tmp_path, resolution=["360p", "480p"])
    check_ladder(
        master,
        [
            ("360p", TABLE_BITRATES["1080p"], SIZES["360p"]),
            ("480p", TABLE_BITRATES["720p"], SIZES["480p"]),
        ],
    )


@pytest.mark.parametrize("layout", ["absolute", "relative", "bare", "other-name"])
def test_renditions_are_written_beside_the_master(clip, tmp_path, monkeypatch, layout):
    work = tmp_path / "cwd"
    work.mkdir()
    out = tmp_path / "out" if layout != "bare" else work
    out.mkdir(exist_ok=True)
    name = "index.m3u8" if layout == "other-name" else "master.m3u8"
    output = {
        "absolute": str(out / name),
        "relative": f"../out/{name}",
        "bare": name,
        "other-name": str(out / name),
    }[layout]
    monkeypatch.chdir(work)
    corvane.hls_encoder(str(clip("mp4")), output, resolution=["360p"], key="")

    assert listing(out) == sorted([name, "360p.m3u8", "360p_000.ts"])
    if out != work:
        assert listing(work) == []
    assert [uri for _, uri in parse_master(out / name)] == ["360p.m3u8"]
    segments = parse_media_playlist(out / "360p.m3u8")["segments"]
    assert [s["uri"] for s in segments] == ["360p_000.ts"]


def test_percent_sign_in_output_folder(clip, tmp_path):
    out = tmp_path / "50%off"
    encode(clip("mp4"), out)
    assert listing(out) == ["360p.m3u8", "360p_000.ts", "master.m3u8"]
    assert [s["uri"] for s in parse_media_playlist(out / "360p.m3u8")["segments"]] == [
        "360p_000.ts"
    ]
    assert stream_of(probe(out / "360p_000.ts"), "video")["codec_name"] == "h264"


def test_portrait_source_gets_portrait_renditions(clip, tmp_path):
    master = encode(clip("portrait"), tmp_path)
    ((attrs, uri),) = parse_master(master)
    assert (uri, attrs["RESOLUTION"]) == ("360p.m3u8", "360x640")
    video = stream_of(probe(tmp_path / "360p_000.ts"), "video")
    assert (video["width"], video["height"]) == (360, 640)


def test_existing_master_playlist_is_replaced(clip, tmp_path):
    stale = "#EXTM3U\n" + "#EXT-X-STREAM-INF:BANDWIDTH=1,RESOLUTION=1x1\nold.m3u8\n" * 50
    (tmp_path / "master.m3u8").write_text(stale)
    master = encode(clip("mp4"), tmp_path, bitrate=[250000])
    check_ladder(master, [("360p", 250000, SIZES["360p"])])
