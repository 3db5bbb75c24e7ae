"""The command line: `corvane encode`, `corvane check`, `corvane batch`."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from corvane_cli import __version__
from corvane_cli.encode import RENDITIONS, EncodeOptions
from corvane_cli.encode import run as run_encode
from corvane_cli.ladder import check_ladder, table

INT32_MAX = 2**31 - 1


def resolution_list(text: str) -> list[str]:
    names = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in RENDITIONS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown rendition {', '.join(unknown) or text!r}; choose from {','.join(RENDITIONS)}")
    return names


def bitrate_list(text: str) -> list[int]:
    """Bit rates in bit/s, with an optional k or M: 400k,1.5M,2500000."""
    values = []
    for item in text.split(","):
        item = item.strip()
        scale = {"k": 1000, "m": 1000000}.get(item[-1:].lower(), 1)
        try:
            value = round(float(item[:-1] if scale != 1 else item) * scale)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a bit rate: {item!r}") from None
        if not 0 < value <= INT32_MAX:
            raise argparse.ArgumentTypeError(f"bit rate out of range: {item!r}")
        values.append(value)
    return values


def add_encode_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--resolution", type=resolution_list, metavar="NAMES",
                        help="renditions, in master playlist order "
                             f"(default {','.join(RENDITIONS)})")
    parser.add_argument("--bitrate", type=bitrate_list, metavar="RATES",
                        help="video bit rates matched to --resolution by position, in bit/s "
                             "(400k and 2.5M are understood); missing ones come from the table")
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument("--key", type=Path, metavar="KEYINFO",
                      help="encrypt as this HLS key info file directs")
    keys.add_argument("--key-uri", metavar="URI",
                      help="encrypt with a new key written beside the ladder folder as "
                           "OUTDIR.key (mode 0600, not published) and fetched from URI")
    keys.add_argument("--no-encryption", action="store_true", help="make a clear ladder")


def encode_options(args: argparse.Namespace, **extra: object) -> EncodeOptions:
    return EncodeOptions(resolution=args.resolution, bitrate=args.bitrate, key_info=args.key,
                         key_uri=args.key_uri, encrypt=not args.no_encryption, **extra)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="corvane", description="Make, check and batch encrypted HLS ladders.")
    top.add_argument("--version", action="version", version=f"corvane {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    encode = commands.add_parser(
        "encode", help="make one ladder",
        description="Make the ladder of INPUT in OUTDIR (master.m3u8 and the renditions). "
                    "By default it is encrypted with a new random key, enc.key, beside the "
                    "playlists. OUTDIR appears only once the ladder is whole and checked.")
    encode.add_argument("input", metavar="INPUT")
    encode.add_argument("outdir", metavar="OUTDIR", type=Path)
    add_encode_options(encode)
    encode.add_argument("--overwrite", action="store_true", help="replace an existing OUTDIR")

    check = commands.add_parser(
        "check", help="verify a ladder",
        description="Check that every playlist MASTER lists exists and ends, that every "
                    "segment exists, decrypts and starts with a key frame, and that each "
                    "BANDWIDTH covers the measured peak segment bit rate.")
    check.add_argument("master", metavar="MASTER", type=Path)
    check.add_argument("--key-file", type=Path, metavar="PATH",
                       help="the 16-byte key, when the playlists' key URI is not a local file")

    batch = commands.add_parser(
        "batch", help="make one ladder per input on a Dask cluster",
        description="Make the ladder of each INPUT in DIR/<name>/, on a local Dask cluster "
                    "or on the one at --scheduler. Inputs whose ladder's manifest still "
                    "verifies are skipped. Prints a JSON summary.")
    batch.add_argument("inputs", metavar="INPUT", nargs="+", type=Path)
    batch.add_argument("--out", required=True, type=Path, metavar="DIR")
    batch.add_argument("--scheduler", metavar="ADDRESS",
                       help="a Dask scheduler, such as tcp://10.0.0.5:8786 (default: a local "
                            "cluster on this machine)")
    batch.add_argument("--jobs", type=int, metavar="N",
                       help="ladders at once on the local cluster (default: one per 2 cores)")
    add_encode_options(batch)
    return top


def run_check(master: Path, key_file: Path | None) -> int:
    report = check_ladder(master, key_file)
    print(table(report), end="")
    problems = len(report.problems) + sum(len(r.problems) for r in report.renditions)
    print(f"{master}: " + ("ok" if report.ok else f"{problems} problem(s)"))
    return 0 if report.ok else 1


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        if args.command == "encode":
            options = encode_options(args, overwrite=args.overwrite)
            return run_encode(args.input, args.outdir, options)
        if args.command == "check":
            return run_check(args.master, args.key_file)
        from corvane_cli.batch import run as run_batch

        if args.jobs is not None and (args.jobs < 1 or args.scheduler):
            print("corvane: --jobs takes a positive number, and only for the local cluster",
                  file=sys.stderr)
            return 2
        return run_batch(args.inputs, args.out, encode_options(args), args.scheduler, args.jobs)
    except KeyboardInterrupt:
        print("corvane: interrupted", file=sys.stderr)
        return 130
