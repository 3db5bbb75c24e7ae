"""The command line: `corvane encode`, `corvane check`, `corvane batch`."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import corvane
from corvane_cli import __version__
from corvane_cli.checker import check_ladder, read_key, table
from corvane_cli.encode import run as run_encode
from corvane_cli.exit_status import (
    DONE,
    FAILED,
    CheckFailure,
    UsageError,
    exit_status,
    failure_line,
)
from corvane_cli.keys import KeyInfoFile, KeyUri, NewKey, NoEncryption
from corvane_cli.options import RENDITION_NAMES, EncodeOptions

INT32_MAX = 2**31 - 1
DEFAULT_TIMEOUT = 180.0


def resolution_list(text: str) -> list[str]:
    names = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in RENDITION_NAMES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown rendition {', '.join(unknown) or text!r}; "
            f"choose from {','.join(RENDITION_NAMES)}"
        )
    return names


def bitrate_list(text: str) -> list[int]:
    """Bit rates in bit/s, with an optional k or M: 400k,1.5M,2500000."""
    values: list[int] = []
    for item in text.split(","):
        item = item.strip()
        scale = {"k": 1000, "m": 1000000}.get(item[-1:].lower(), 1)
        try:
            value = round(float(item[:-1] if scale != 1 else item) * scale)
        except (ValueError, OverflowError):  # not a number, or nan or inf
            raise argparse.ArgumentTypeError(f"not a bit rate: {item!r}") from None
        if not 0 < value <= INT32_MAX:
            raise argparse.ArgumentTypeError(f"bit rate out of range: {item!r}")
        values.append(value)
    return values


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}")
    return value


def add_encode_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--resolution",
        type=resolution_list,
        metavar="NAMES",
        help=f"renditions, in master playlist order (default {','.join(RENDITION_NAMES)})",
    )
    parser.add_argument(
        "--bitrate",
        type=bitrate_list,
        metavar="RATES",
        help="video bit rates matched to --resolution by position, in bit/s "
        "(400k and 2.5M are understood); missing ones come from the table",
    )
    # Each key option sets the key mode; none leaves the default, a new key.
    keys = parser.add_mutually_exclusive_group()
    keys.add_argument(
        "--key",
        dest="key_mode",
        type=key_info_file,
        metavar="KEYINFO",
        help="encrypt as this HLS key info file directs",
    )
    keys.add_argument(
        "--key-uri",
        dest="key_mode",
        type=KeyUri,
        metavar="URI",
        help="encrypt with a new key written beside the ladder folder as "
        "OUTDIR.key (mode 0600, not published) and fetched from URI",
    )
    keys.add_argument(
        "--no-encryption",
        dest="key_mode",
        action="store_const",
        const=NoEncryption(),
        help="make a clear ladder",
    )
    parser.set_defaults(key_mode=NewKey())
    parser.add_argument(
        "--overwrite",
        action="store_true",
        help="make the ladder again even when the one there is already what "
        "is asked, and replace whatever else is there (never the source, the "
        "current folder or a key)",
    )


def key_info_file(text: str) -> KeyInfoFile:
    return KeyInfoFile(Path(text))


def encode_options(args: argparse.Namespace) -> EncodeOptions:
    return EncodeOptions(
        resolution=args.resolution,
        bitrate=args.bitrate,
        key=args.key_mode,
        overwrite=args.overwrite,
    )


class ShowVersions(argparse.Action):
    """--version: corvane's, and those of the FFmpeg and libx264 its module runs."""

    def __init__(self, option_strings: list[str], dest: str, **kwargs: object) -> None:
        super().__init__(
            option_strings,
            dest,
            nargs=0,
            help="show the versions of corvane, FFmpeg and libx264, and exit",
        )

    def __call__(self, parser: argparse.ArgumentParser, *_: object) -> None:
        runs = corvane.versions()
        print(f"corvane {__version__} (FFmpeg {runs['ffmpeg']}, libx264 {runs['libx264']})")
        parser.exit()


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="corvane", description="Make, check and batch encrypted HLS ladders."
    )
    top.add_argument("--version", action=ShowVersions)
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    encode = commands.add_parser(
        "encode",
        help="make one ladder",
        description="Make the ladder of INPUT in OUTDIR (master.m3u8 and the renditions). "
        "By default it is encrypted with a new random key, enc.key, beside the "
        "playlists. OUTDIR appears only once the ladder is whole and checked; "
        "a ladder there already is kept while its manifest says it is made "
        "from INPUT as it is now with these options and the key at hand, and "
        "made again otherwise.",
    )
    encode.add_argument("input", metavar="INPUT")
    encode.add_argument("outdir", metavar="OUTDIR", type=Path)
    add_encode_options(encode)
    # For `corvane batch`: the outcome as one JSON line on stdout.
    encode.add_argument("--report-json", action="store_true", help=argparse.SUPPRESS)

    check = commands.add_parser(
        "check",
        help="verify a ladder",
        description="Check that every playlist MASTER lists exists and ends, that every "
        "segment exists, decrypts and starts with a key frame, and that each "
        "BANDWIDTH covers the measured peak segment bit rate.",
    )
    check.add_argument("master", metavar="MASTER", type=Path)
    check.add_argument(
        "--key-file",
        type=Path,
        metavar="PATH",
        help="the 16-byte key, when the playlists' key URI is not a local file",
    )

    batch = commands.add_parser(
        "batch",
        help="make one ladder per input on a Dask cluster",
        description="Make the ladder of each INPUT in DIR/<name>/, on a local Dask cluster "
        "or on the one at --scheduler, as `corvane encode` makes each one: a "
        "ladder still what is asked is skipped. Prints a JSON summary.",
    )
    batch.add_argument("inputs", metavar="INPUT", nargs="+", type=Path)
    batch.add_argument("--out", required=True, type=Path, metavar="DIR")
    batch.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="a Dask scheduler, such as tcp://10.0.0.5:8786 (default: a local "
        "cluster on this machine)",
    )
    batch.add_argument(
        "--jobs",
        type=int,
        metavar="N",
        help="ladders at once on the local cluster (default: one per 2 cores "
        "and 1.2 GB of memory this process may use)",
    )
    batch.add_argument(
        "--timeout",
        type=seconds,
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="how long to wait for the scheduler to answer, and for a worker "
        f"offering the 'ladder' resource (default {DEFAULT_TIMEOUT:.0f})",
    )
    add_encode_options(batch)
    return top


def run_check(master: Path, key_file: Path | None) -> int:
    if key_file is not None:
        try:
            read_key(key_file)
        except ValueError as error:
            raise CheckFailure(str(error)) from None
    report = check_ladder(master, key_file)
    print(table(report), end="")
    problems = len(report.problems) + sum(len(r.problems) for r in report.renditions)
    print(f"{master}: " + ("ok" if report.ok else f"{problems} problem(s)"))
    return DONE if report.ok else FAILED


def run_command(args: argparse.Namespace) -> int:
    if args.command == "encode":
        return run_encode(args.input, args.outdir, encode_options(args), args.report_json)
    if args.command == "check":
        return run_check(args.master, args.key_file)
    from corvane_cli.batch import run as run_batch

    if args.jobs is not None and (args.jobs < 1 or args.scheduler):
        raise UsageError("--jobs takes a positive number, and only for the local cluster")
    return run_batch(
        args.inputs, args.out, encode_options(args), args.scheduler, args.jobs, args.timeout
    )


def main(argv: list[str] | None = None) -> int:
    """The exit status, as exit_status.py tells it; a failure's reason in one
    line on stderr."""
    args = parser().parse_args(argv)
    try:
        return run_command(args)
    except BaseException as error:
        status = exit_status(error)
        if status is None:
            raise
        print(failure_line(error), file=sys.stderr)
        return status
