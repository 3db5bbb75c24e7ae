"""Runs short transcodes under valgrind's memcheck and reports what it finds.

    python scripts/memcheck.py

One child interpreter makes a small encrypted ladder (its key info file
without an IV line, so each segment is served a fresh one), then fails in five
ways (a source that cannot be opened, a playlist disguised as a media file, an
MP4 cut after its first box, one without a single frame, a key file that cannot
be read). memcheck's errors and definite leaks are read from its XML report and
split by whether a frame of the corvane module is on their stack. The exit
status is 1 when any is corvane's, or when a definite leak is nobody's known
one (tests/sanitizers/valgrind.supp names FFmpeg's).
"""

import collections
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUPPRESSIONS = ROOT / "tests" / "sanitizers" / "valgrind.supp"

sys.path.insert(0, str(ROOT / "tests"))

import fuzzing  # noqa: E402

CHILD = r"""
import sys
import corvane
folder = sys.argv[1]
small = {"resolution": ["360p"], "bitrate": [200000]}
corvane.hls_encoder(folder + "/src.mp4", folder + "/ok/master.m3u8",
                    key=folder + "/ok.keyinfo", **small)
for source, out, key in [(folder + "/absent.mp4", "/missing", ""),
                         (folder + "/playlist.mp4", "/refused", ""),
                         (folder + "/head.mp4", "/no_moov", ""),
                         (folder + "/headers.mkv", "/no_frame", ""),
                         (folder + "/src.mp4", "/bad_key", folder + "/bad.keyinfo")]:
    try:
        corvane.hls_encoder(source, folder + out + "/master.m3u8", key=key, **small)
    except Exception as error:
        print(type(error).__name__, error)
"""


def make_inputs(folder: pathlib.Path) -> None:
    seeds = folder / "seeds"
    fuzzing.make_seeds(seeds)
    shutil.copy(seeds / fuzzing.SEEDS["mp4"][0], folder / "src.mp4")
    shutil.copy(seeds / fuzzing.SEEDS["hls-as-mp4"][0], folder / "playlist.mp4")
    # Read as MP4 from its first box, then refused by the demuxer: no moov.
    (folder / "head.mp4").write_bytes((folder / "src.mp4").read_bytes()[:64])
    # A Matroska file cut where its first packet begins: both streams declared,
    # no frame.
    mkv = seeds / fuzzing.SEEDS["mkv"][0]
    (folder / "headers.mkv").write_bytes(mkv.read_bytes()[: fuzzing.first_packet_offset(mkv)])
    (folder / "k.bin").write_bytes(os.urandom(16))
    (folder / "ok.keyinfo").write_text(f"k.bin\n{folder / 'k.bin'}\n")
    (folder / "bad.keyinfo").write_text(f"k.bin\n{folder / 'no-such.key'}\n")
    for out in ("ok", "missing", "refused", "no_moov", "no_frame", "bad_key"):
        (folder / out).mkdir()


def frames(error: ElementTree.Element) -> list[tuple[str, str]]:
    return [
        (frame.findtext("obj") or "", frame.findtext("fn") or "") for frame in error.iter("frame")
    ]


def main() -> int:
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed (apt-get install valgrind)")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="corvane-memcheck-"))
    make_inputs(folder)
    report = folder / "memcheck.xml"
    env = dict(os.environ, PYTHONMALLOC="malloc")  # Python's objects where memcheck sees them
    done = subprocess.run(
        [
            "valgrind",
            "--tool=memcheck",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--errors-for-leak-kinds=definite",
            "--num-callers=50",
            "--xml=yes",
            f"--xml-file={report}",
            f"--suppressions={SUPPRESSIONS}",
            sys.executable,
            "-c",
            CHILD,
            str(folder),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    print(done.stdout, end="")
    if done.returncode != 0:
        sys.exit(f"the child failed ({done.returncode}): {done.stderr[-2000:]}")

    root = ElementTree.parse(report).getroot()
    ours = []
    theirs: collections.Counter[str] = collections.Counter()
    for error in root.iter("error"):
        kind = error.findtext("kind")
        stack = frames(error)
        if any("corvane" in obj for obj, _ in stack):
            ours.append((kind, error.findtext("what") or error.findtext("xwhat/text"), stack))
        else:
            where = " < ".join(fn or os.path.basename(obj) for obj, fn in stack[:3])
            theirs[f"{kind} in {where}"] += 1
    suppressed = {
        s.findtext("name"): int(s.findtext("count") or 0)
        for s in root.iter("pair")
        if s.findtext("name")
    }

    print(f"memcheck report: {report}")
    print(f"errors and definite leaks with a corvane frame on the stack: {len(ours)}")
    for kind, what, stack in ours:
        print(f"  {kind}: {what}")
        for obj, fn in stack[:12]:
            print(f"      {fn}  ({os.path.basename(obj)})")
    print("without a corvane frame: " + ("none" if not theirs else ""))
    for what, count in theirs.items():
        print(f"  {count} x {what}")
    print("suppressed: " + (", ".join(f"{k} x{v}" for k, v in suppressed.items()) or "none"))
    definite_unknown = any(k.startswith("Leak_DefinitelyLost") for k in theirs)
    return 1 if ours or definite_unknown else 0


if __name__ == "__main__":
    sys.exit(main())
