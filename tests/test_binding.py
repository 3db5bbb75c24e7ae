"""The Python surface of corvane: names, documentation and argument conversion."""

import ast
import errno
import re
import subprocess
import sys
from importlib.metadata import files, version
from pathlib import Path

import pytest

import corvane
from conftest import (
    FFPROBE,
    SIZES,
    TABLE_BITRATES,
    encode,
    listing,
    parse_master,
    probe,
    run,
    stream_of,
)

# Each argument of hls_encoder: its name, what the signature says it takes, and
# its default. pybind11 3 spells a list argument collections.abc.Sequence[str]
# and an int typing.SupportsInt (| typing.SupportsIndex) where 2.13 spells
# list[str] and int; the table spells them one way for both.
ARGUMENTS = [
    ("input", "str", None),
    ("output", "str", None),
    ("resolution", "Sequence[str]", ["1080p", "720p", "480p", "360p"]),
    ("bitrate", "Sequence[int]", [5000000, 2500000, 1000000, 400000]),
    ("key", "str", "enc.keyinfo"),
]


def spelled(annotation):
    """An annotation as ARGUMENTS spells it: list[...] as Sequence[...], each
    name without its module, and SupportsInt (or SupportsIndex) as int."""
    text = re.sub(r"[\w.]*\.", "", ast.unparse(annotation)).replace("list[", "Sequence[")
    return re.sub(r"SupportsInt \| SupportsIndex|SupportsInt", "int", text)


def test_module_exports_its_functions_the_rendition_table_and_version():
    assert corvane.__doc__ == (
        "HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"
    )
    assert [name for name in dir(corvane) if not name.startswith("_")] == [
        "RENDITIONS",
        "hls_encoder",
        "probe",
        "versions",
    ]
    assert callable(corvane.hls_encoder)
    assert corvane.__version__ == version("corvane") == corvane.versions()["corvane"]
    # The table the call plans from, read-only, landscape sizes.
    assert [tuple(r) for r in corvane.RENDITIONS] == [
        (name, *SIZES[name], TABLE_BITRATES[name]) for name in SIZES
    ]
    with pytest.raises(TypeError):
        corvane.RENDITIONS[0] = corvane.RENDITIONS[1]  # type: ignore[index]


def test_versions_are_those_ffprobe_runs_with():
    versions = corvane.versions()
    assert versions["corvane"] == version("corvane")
    listed = run(FFPROBE, "-version")
    assert f"ffprobe version {versions['ffmpeg']} " in listed
    for library in ("libavformat", "libavcodec", "libavfilter", "libswscale", "libavutil"):
        major, minor, micro = versions[library].split(".")
        assert re.search(rf"^{library}\s+{major}\.\s*{minor}\.\s*{micro} / ", listed, re.M)


@pytest.mark.parametrize("kind", ["mp4", "video_only", "webm"])
def test_probe_says_what_ffprobe_says(clip, kind):
    probed, seen = corvane.probe(str(clip(kind))), probe(clip(kind))
    assert probed["duration"] == pytest.approx(float(seen["format"]["duration"]), abs=1e-3)
    video = stream_of(seen, "video")
    assert (probed["width"], probed["height"]) == (video["width"], video["height"])
    assert probed["streams"] == [
        {"index": s["index"], "type": s["codec_type"], "codec": s["codec_name"]}
        for s in seen["streams"]
    ]


def test_hls_encoder_documents_signature_and_purpose():
    lines = corvane.hls_encoder.__doc__.splitlines()
    assert lines[1:3] == ["", "Transcode video to HLS with dynamic ABR"]
    [function] = ast.parse(f"def {lines[0]}: ...").body
    assert function.name == "hls_encoder"
    arguments = function.args.args
    defaults = [None] * (len(arguments) - len(function.args.defaults)) + [
        ast.literal_eval(default) for default in function.args.defaults
    ]
    assert [
        (a.arg, spelled(a.annotation), default) for a, default in zip(arguments, defaults)
    ] == ARGUMENTS
    assert ast.unparse(function.returns) == "None"


def installed_stub():
    """The module's types, as the installed distribution ships them."""
    [stub] = [f for f in files("corvane") if f.as_posix() == "corvane-stubs/__init__.pyi"]
    return Path(stub.locate())


def test_stub_declares_what_the_module_holds():
    tree = ast.parse(installed_stub().read_text())
    declared = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    # Its other classes are types of values (type_check_only), not names of the module.
    assert all(
        isinstance(node.decorator_list[0], ast.Name)
        and node.decorator_list[0].id == "type_check_only"
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    )
    assert sorted(declared) == sorted(
        name for name in dir(corvane) if not name.startswith("_") or name == "__version__"
    )
    [function] = [node for node in tree.body if getattr(node, "name", "") == "hls_encoder"]
    defaults = [None] * (len(function.args.args) - len(function.args.defaults)) + [
        ast.literal_eval(default) for default in function.args.defaults
    ]
    assert [(a.arg, default) for a, default in zip(function.args.args, defaults)] == [
        (name, default) for name, _, default in ARGUMENTS
    ]


def test_mypy_takes_the_module_types_from_the_stub(tmp_path):
    user = tmp_path / "user.py"
    user.write_text(
        "import corvane\n"
        "reveal_type(corvane.RENDITIONS[0].width)\n"
        "corvane.hls_encoder('talk.mp4', 'out/master.m3u8', bitrate=[2.5e6])\n"
    )
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path / "cache"),
            user.name,
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
    )
    assert 'user.py:2: note: Revealed type is "int"' in done.stdout, done.stdout + done.stderr
    assert (
        'user.py:3: error: List item 0 has incompatible type "float"; expected "int"' in done.stdout
    )


@pytest.mark.parametrize(
    "kwargs",
    [
        pytest.param({"resolution": "360p"}, id="resolution-str"),
        pytest.param({"resolution": [360]}, id="resolution-int-item"),
        pytest.param({"bitrate": [5e6]}, id="bitrate-float"),
        pytest.param({"bitrate": [2**31]}, id="bitrate-above-int32"),
        pytest.param({"bitrate": [-(2**31) - 1]}, id="bitrate-below-int32"),
        pytest.param({"bitrate": ["400000"]}, id="bitrate-str"),
        pytest.param({"key": None}, id="key-none"),
        pytest.param({"input": None}, id="input-none"),
        pytest.param({"crf": 23}, id="unknown-keyword"),
    ],
)
def test_rejected_arguments_raise_type_error_and_write_nothing(clip, tmp_path, kwargs):
    out = tmp_path / "out"
    out.mkdir()
    call = {
        "input": str(clip("mp4")),
        "output": str(out / "master.m3u8"),
        "resolution": ["360p"],
        "key": "",
    }
    call.update(kwargs)
    with pytest.raises(TypeError):
        corvane.hls_encoder(**call)
    assert listing(out) == []


@pytest.mark.parametrize(
    "kwargs",
    [
        pytest.param({"resolution": ("360p",)}, id="resolution-tuple"),
        pytest.param({"bitrate": [True]}, id="bitrate-bool"),
        pytest.param({"bitrate": (2**31 - 1, -(2**31))}, id="bitrate-int32-bounds"),
        pytest.param({"bitrate": []}, id="bitrate-empty"),
        pytest.param({"key": "no.keyinfo"}, id="key-str"),
    ],
)
def test_accepted_arguments_reach_the_source_check(tmp_path, kwargs):
    # Conversion succeeds, so the call gets as far as opening the (missing) input.
    missing = tmp_path / "absent.mp4"
    with pytest.raises(FileNotFoundError) as raised:
        corvane.hls_encoder(str(missing), str(tmp_path / "master.m3u8"), **kwargs)
    assert raised.value.errno == errno.ENOENT
    assert raised.value.filename == str(missing)


def test_bytes_paths_are_accepted(clip, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    corvane.hls_encoder(
        bytes(clip("mp4")), bytes(out / "master.m3u8"), resolution=("360p",), key=b""
    )
    assert [uri for _, uri in parse_master(out / "master.m3u8")] == ["360p.m3u8"]
    video = stream_of(probe(out / "360p_000.ts"), "video")
    assert (video["width"], video["height"]) == SIZES["360p"]


def test_successful_call_prints_nothing(clip, keyinfo, tmp_path, capfd):
    capfd.readouterr()
    encode(clip("mp4"), tmp_path, key=keyinfo.path)
    captured = capfd.readouterr()
    assert (tmp_path / "master.m3u8").exists()
    assert captured.out == ""
    assert captured.err == ""
