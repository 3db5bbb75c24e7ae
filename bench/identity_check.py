"""Whether two builds of corvane make byte-identical ladders.

    python bench/identity_check.py OLD_DIR NEW_DIR [--bench-sources] [--all]

OLD_DIR and NEW_DIR each hold a built `corvane` module (a wheel's install
folder, a build folder). Every kind of source the test suite makes (its clips
and its fuzz seeds), and with --bench-sources the benchmark's cached sources,
goes through the same calls with each build, in child processes, with one key
info file that has an IV line. The script prints, per call, the files written
and whether each one's sha256 is the same (and a call that raises, whether
both raised alike); the exit status is 1 when any differs. The clips whose
pictures or sound corvane treats before scaling them (turned, tone-mapped,
reshaped, deinterlaced, given silence) are left out unless --all is given (a
build that treats them and one that does not make different ladders); --all
also takes the timing table's marked sources (tests/markers.py) but the one a
browser records.
"""

import argparse
import hashlib
import os
import pathlib
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from fuzzing import SEEDS, make_seeds, tool_environment  # noqa: E402

# The test suite's clips (tests/conftest.py), without importing the module
# under test into this process.
sys.modules.setdefault("corvane", type(sys)("corvane"))
from conftest import CLIPS, TREATED_CLIPS  # noqa: E402

FAILING = {"audio_only", "empty_audio"}
DEFAULT_LADDER = ["1080p", "720p", "480p", "360p"]

CALL = r"""
import json, sys
import corvane
source, master, resolution, key = sys.argv[1:]
corvane.hls_encoder(source, master, resolution=json.loads(resolution), key=key)
"""


def sha256(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def make(folder, name, args):
    path = folder / name
    if not path.exists():
        subprocess.run(
            ["ffmpeg", "-v", "error", "-y", *args, str(path)], check=True, env=tool_environment()
        )
    return path


def calls(media, bench_sources, everything):
    """[(label, source, resolution)] to compare."""
    found = []
    for kind, (name, _, args) in CLIPS.items():
        if kind in FAILING or (kind in TREATED_CLIPS and not everything):
            continue
        source = make(media, name, args)
        found.append((f"clip {kind}", source, ["360p"]))
    found.append(("clip mp4, default ladder", make(media, *CLIPS["mp4"][::2]), DEFAULT_LADDER))
    found.append(("clip pal, 360p+480p", make(media, *CLIPS["pal"][::2]), ["360p", "480p"]))
    make_seeds(media / "seeds")
    for kind, (name, recipe) in SEEDS.items():
        if not isinstance(recipe, str):  # the playlists and lists are refused, not made
            found.append((f"fuzz seed {kind}", media / "seeds" / name, ["360p"]))
    if everything:
        from markers import SOURCES

        for kind, make_marked in SOURCES.items():
            if kind != "recorded_webm":
                found.append((f"marked {kind}", make_marked(media)[0], ["360p"]))
    if bench_sources:
        for source in sorted((ROOT / "bench" / ".cache").glob("source-*.mp4")) + sorted(
            (ROOT / "bench" / ".cache").glob("source-*.mkv")
        ):
            found.append((f"bench {source.stem}", source, DEFAULT_LADDER))
    return found


def run(build, source, out, resolution, key_info):
    import json

    out.mkdir(parents=True)
    env = dict(os.environ, PYTHONPATH=str(build))
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            CALL,
            str(source),
            str(out / "master.m3u8"),
            json.dumps(resolution),
            str(key_info),
        ],
        capture_output=True,
        text=True,
        env=env,
    )
    # A call that raises is compared by what it raised and what it left.
    outcome = done.stderr.strip().splitlines()[-1] if done.returncode else "completed"
    return {"(outcome)": outcome, **{p.name: sha256(p) for p in sorted(out.iterdir())}}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old", type=pathlib.Path)
    parser.add_argument("new", type=pathlib.Path)
    parser.add_argument(
        "--bench-sources",
        action="store_true",
        help="also the benchmark's cached sources in bench/.cache",
    )
    parser.add_argument(
        "--all",
        action="store_true",
        help="also the treated clips and the timing table's marked sources",
    )
    args = parser.parse_args()
    work = pathlib.Path(tempfile.mkdtemp(prefix="corvane-identity-"))
    media = work / "media"
    media.mkdir()
    (work / "enc.key").write_bytes(bytes(range(16)))
    key_info = work / "enc.keyinfo"
    key_info.write_text(f"enc.key\n{work / 'enc.key'}\n{'0f' * 16}\n")

    differing = 0
    print(f"{'call':44} {'files':>5}  result")
    for i, (label, source, resolution) in enumerate(calls(media, args.bench_sources, args.all)):
        old = run(args.old.resolve(), source, work / f"{i}-old", resolution, key_info)
        new = run(args.new.resolve(), source, work / f"{i}-new", resolution, key_info)
        same = old == new
        differing += not same
        detail = (
            "all sha256 equal"
            if same
            else "DIFFERENT: "
            + ", ".join(
                sorted(name for name in old.keys() | new.keys() if old.get(name) != new.get(name))
            )
        )
        if same and new["(outcome)"] != "completed":
            detail += f", both raised: {new['(outcome)'][:60]}"
        print(f"{label:44} {len(new) - 1:5}  {detail}", flush=True)
    print(f"\n{differing} of the calls differ; files kept in {work}")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
