"""Feeds hls_encoder many corrupted sources and counts what became of each call.

    python scripts/fuzz.py --count 1000 --seed 1 --workers 2

Every call runs in a child interpreter with a timeout. The counts printed at the
end: files tried, completed, raised, crashed, hung, and ladders with faults (a
master playlist naming an incomplete rendition, files left by a refused call,
an undocumented exception). Each case that crashed, hung or left a fault is
listed with what was done to its seed, and its files are kept under --keep-dir.
The exit status is 1 when any call crashed, hung or left a fault.
"""

import argparse
import collections
import concurrent.futures
import pathlib
import shutil
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import fuzzing  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1000, help="files to try")
    parser.add_argument("--seed", default="1", help="the run's seed; the same seed, the same files")
    parser.add_argument("--first", type=int, default=0, help="index of the first case")
    parser.add_argument("--workers", type=int, default=2, help="calls running at once")
    parser.add_argument("--timeout", type=float, default=120, help="seconds before a call is hung")
    parser.add_argument(
        "--keep-dir",
        default=None,
        help="where cases that went wrong are kept (default: a new temporary one)",
    )
    args = parser.parse_args()

    work = pathlib.Path(args.keep_dir or tempfile.mkdtemp(prefix="corvane-fuzz-"))
    work.mkdir(parents=True, exist_ok=True)
    seeds = fuzzing.make_seeds(work / "seeds")
    counts: collections.Counter[str] = collections.Counter()
    raised: collections.Counter[str] = collections.Counter()
    wrong = []
    started = time.monotonic()
    indices = range(args.first, args.first + args.count)
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.workers) as pool:
        futures = [
            pool.submit(fuzzing.try_case, seeds, i, args.seed, work, args.timeout) for i in indices
        ]
        for done, future in enumerate(concurrent.futures.as_completed(futures), 1):
            report = future.result()
            counts[report["outcome"]] += 1
            if report["outcome"] == "raised":
                raised[report["type"]] += 1
            if report["outcome"] in ("crashed", "hung") or report["faults"]:
                counts["faulty ladder"] += bool(report["faults"])
                wrong.append(report)
                print(fuzzing.describe(report), flush=True)
            if done % 100 == 0:
                print(
                    f"... {done} of {args.count} in {time.monotonic() - started:.0f} s", flush=True
                )

    kept = f"cases that went wrong are kept in {work}" if wrong else "nothing went wrong"
    if not wrong and not args.keep_dir:
        shutil.rmtree(work)
    print(
        f"seed {args.seed}, cases {args.first}..{args.first + args.count - 1}, "
        f"{time.monotonic() - started:.0f} s; {kept}"
    )
    print(f"files tried: {args.count}")
    for outcome in ("completed", "raised", "crashed", "hung", "faulty ladder"):
        print(f"{outcome}: {counts[outcome]}")
    print("raised by type: " + ", ".join(f"{k} {v}" for k, v in raised.most_common()))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
