"""`corvane encode`: one ladder, made in a private folder beside OUTDIR and moved
into place only once it is whole and checked, by the one process holding
OUTDIR's lock; a ladder already there is kept while it is still what is asked.

The hls_encoder call runs in a child process (it holds the interpreter lock
until it returns: see encoder_parent.py); on SIGINT or SIGTERM the encode stops
it and removes everything it wrote.
"""

from __future__ import annotations

import json
import os
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from corvane_cli.checker import LadderReport, check_ladder, table
from corvane_cli.encoder_parent import run_encoder
from corvane_cli.exit_status import DONE, EncodeFailure
from corvane_cli.keys import KeyUri
from corvane_cli.manifest import MANIFEST, SourceIdentity, manifest, manifest_problem
from corvane_cli.options import EncodeOptions, Requested
from corvane_cli.parent_death import die_with_parent_from_environment
from corvane_cli.publish import OutputLock, Staging, outside_key, remove_leftovers
from corvane_cli.signals import Interrupted, StopSignals

MASTER = "master.m3u8"


def verify(
    staging: Staging,
    source: SourceIdentity,
    options: EncodeOptions,
    key_file: Path | None,
    versions: dict[str, str],
) -> LadderReport:
    """Checks the made ladder and writes its manifest."""
    report = check_ladder(staging.folder / MASTER, key_file)
    if not report.ok:
        raise EncodeFailure("the ladder failed its check:\n" + table(report).rstrip())
    record = manifest(staging.folder, report, source, options.requested(), versions)
    (staging.folder / MANIFEST).write_text(json.dumps(record, indent=2) + "\n")
    return report


@dataclass
class Outcome:
    """What became of OUTDIR: "done" (made) or "skipped" (already what was asked)."""

    status: str
    report: LadderReport | None = None
    leftovers_removed: int = 0
    replaced: str | None = None  # why a ladder already there was made again


def why_make_again(
    outdir: Path, source: SourceIdentity, requested: Requested, overwrite: bool
) -> str | None:
    """Why the ladder at OUTDIR is to be made again for `requested`, "" when it
    is what is asked, None when there is none; raises when OUTDIR holds
    something else. Reads only."""
    if not os.path.lexists(outdir) or (outdir.is_dir() and not any(outdir.iterdir())):
        return None
    if overwrite:
        return "--overwrite"
    if not outdir.is_dir() or not (outdir / MANIFEST).is_file():
        raise EncodeFailure(
            f"{outdir} exists and is not a corvane ladder; pass --overwrite to replace it"
        )
    key = outside_key(outdir)
    if requested["key"]["mode"] == KeyUri.mode and not key.is_file():
        return f"its key {key} is missing"
    return manifest_problem(outdir, source, requested) or ""


def up_to_date(outdir: Path, source: SourceIdentity, requested: Requested) -> bool:
    """Whether the ladder at OUTDIR is what `requested` asks, made from `source`
    as it is now: the test by which an encode keeps it. Reads only."""
    try:
        return why_make_again(outdir, source, requested, overwrite=False) == ""
    except EncodeFailure:
        return False


def encode(source: str, outdir: Path, options: EncodeOptions, stop: StopSignals) -> Outcome:
    """Makes the ladder of `source` in OUTDIR unless it is there already; raises
    EncodeFailure or Interrupted with nothing left behind."""
    try:
        outdir.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise EncodeFailure(f"cannot create {error.filename}: {error.strerror}") from None
    with OutputLock(outdir):
        outcome = Outcome("done", leftovers_removed=remove_leftovers(outdir))
        identity = SourceIdentity.take(source, stop.check)
        outcome.replaced = why_make_again(outdir, identity, options.requested(), options.overwrite)
        if outcome.replaced == "":
            outcome.status = "skipped"
            return outcome
        staging = Staging(outdir, key_outside=options.key.outside)
        staging.create()
        try:
            with tempfile.TemporaryDirectory(prefix="corvane-") as private:
                key_info, key_file = options.key.key_info(staging, Path(private))
                versions = run_encoder(identity, staging.folder / MASTER, options, key_info, stop)
            outcome.report = verify(staging, identity, options, key_file, versions)
            stop.check()
            staging.publish()
        except BaseException:
            staging.discard()
            raise
    outcome.report.master = outdir / MASTER
    return outcome


def summary(outcome: Outcome, outdir: Path, options: EncodeOptions, seconds: float) -> str:
    if outcome.report is None:
        return (
            f"ladder: {outdir / MASTER} is up to date (the same source and options); "
            "pass --overwrite to make it again\n"
        )
    report = outcome.report
    size = sum(r.size for r in report.renditions)
    count = len(report.renditions)
    replaced = (
        f"replaced: the ladder there before ({outcome.replaced})\n" if outcome.replaced else ""
    )
    return (
        f"ladder: {report.master} ({count} rendition{'s' if count != 1 else ''}, "
        f"{size / 2**20:.1f} MiB of segments, made in {seconds:.1f} s)\n"
        f"key: {options.key.describe(outdir)}\n" + replaced + table(report)
    )


def run(source: str, outdir: Path, options: EncodeOptions, report_json: bool = False) -> int:
    """The command: 0 when the ladder is published or already was; raises as
    `encode` does. `report_json` (for `corvane batch`) prints the outcome as
    one JSON line instead of the summary."""
    die_with_parent_from_environment()
    started = time.monotonic()
    with StopSignals() as stop:
        try:
            outcome = encode(source, outdir.absolute(), options, stop)
        except Interrupted as interrupted:
            interrupted.add_note("nothing was published")
            raise
    if report_json:
        print(
            json.dumps({"status": outcome.status, "leftovers_removed": outcome.leftovers_removed})
        )
    else:
        print(summary(outcome, outdir, options, time.monotonic() - started), end="")
    return DONE
