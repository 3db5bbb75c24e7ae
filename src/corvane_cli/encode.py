"""`corvane encode`: one ladder, made in a private folder beside OUTDIR and moved
into place only once it is whole and checked, by the one process holding
OUTDIR's lock; a ladder already there is kept while it is still what is asked
(existing.py).

The hls_encoder call runs in a child process (it holds the interpreter lock
until it returns: see encoder_parent.py); on SIGINT or SIGTERM the encode stops
it and removes everything it wrote.
"""

from __future__ import annotations

import json
import os
import stat
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

from corvane_cli.checker import LadderReport, check_ladder, table
from corvane_cli.encoder_parent import run_encoder
from corvane_cli.existing import complete_manifest, existing_ladder, must_stay
from corvane_cli.exit_status import DONE, EncodeFailure
from corvane_cli.keys import Key, iv_problem
from corvane_cli.manifest import MANIFEST, MASTER, SourceIdentity, manifest
from corvane_cli.options import EncodeOptions
from corvane_cli.parent_death import die_with_parent_from_environment
from corvane_cli.publish import Attempt, OutputLock, clear_leftovers, make_parents, remove_empty
from corvane_cli.signals import Interrupted, StopSignals

NOT_A_FILE = {
    stat.S_IFIFO: "a FIFO",
    stat.S_IFDIR: "a folder",
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFSOCK: "a socket",
}


def refuse_at_once(source: str, outdir: Path) -> None:
    """What is refused before anything is read or written: an OUTDIR with no
    parent to make it in, or that is a symbolic link (a publish renames a
    folder into place, which would replace the link, not what it names), and a
    local source that is not a regular file (a FIFO would be drained by the
    probe, and the encode would then wait forever)."""
    if not outdir.name:
        raise EncodeFailure(f"{outdir} cannot be OUTDIR: a ladder is made beside it, in its parent")
    if outdir.is_symlink():
        raise EncodeFailure(
            f"{outdir} is a symbolic link: give the folder it names, or another OUTDIR "
            "(corvane would replace the link, not what it names)"
        )
    try:
        mode = os.stat(source).st_mode
    except (OSError, ValueError):
        return  # a URL, or a missing file the call reports
    if not stat.S_ISREG(mode):
        kind = NOT_A_FILE.get(stat.S_IFMT(mode), "not a regular file")
        raise EncodeFailure(f"{source} is {kind}: corvane reads a regular file or a URL")


def verify(
    folder: Path,
    source: SourceIdentity,
    options: EncodeOptions,
    key: Key,
    versions: dict[str, str],
    stop: StopSignals,
) -> LadderReport:
    """Checks the made ladder, and its IVs, and writes its manifest."""
    report = check_ladder(folder / MASTER, key.file, stop.check)
    if not report.ok:
        problems = report.problems + [p for r in report.renditions for p in r.problems]
        raise EncodeFailure("the ladder failed its check: " + "; ".join(problems))
    if key.record is not None and (problem := iv_problem(folder / MASTER, key.record["iv"])):
        raise EncodeFailure(f"the ladder failed its check: {problem}")
    record = manifest(folder, report, source, options.requested(), versions, key.record, stop.check)
    (folder / MANIFEST).write_text(json.dumps(record, indent=2) + "\n")
    return report


@dataclass
class Outcome:
    """What became of OUTDIR: "done" (made) or "skipped" (already what was asked)."""

    status: str
    report: LadderReport | None = None
    leftovers_removed: int = 0
    left_alone: list[str] = field(default_factory=list)  # beside OUTDIR, not proven ours
    replaced: str | None = None  # why a ladder already there was made again
    completed: bool = False  # an older manifest given its key record


def warn_left_alone(outdir: Path, names: list[str]) -> None:
    if names:
        print(
            f"corvane: warning: left alone beside {outdir}: {', '.join(names)}, which an "
            "earlier corvane may have left, without the marker that would prove it; "
            "remove them yourself (a .old- folder holds a ladder it was replacing)",
            file=sys.stderr,
        )


def make_or_keep(
    source: str, outdir: Path, options: EncodeOptions, stop: StopSignals, attempt_id: str
) -> Outcome:
    """Under OUTDIR's lock: clears what dead attempts left, then keeps the
    ladder there or makes it again."""
    leftovers = clear_leftovers(outdir)
    warn_left_alone(outdir, leftovers.left_alone)
    outcome = Outcome("done", leftovers_removed=leftovers.removed, left_alone=leftovers.left_alone)
    identity = SourceIdentity.take(source, stop.check)
    existing = existing_ladder(outdir, identity, options, stop.check)
    if existing.reason == "":
        if existing.completed is not None:
            complete_manifest(outdir, attempt_id, existing.completed)
            outcome.completed = True
        outcome.status = "skipped"
        return outcome
    outcome.replaced = existing.reason
    if os.path.lexists(outdir) and (why := must_stay(outdir, identity, options)):
        raise EncodeFailure(f"will not replace {outdir}: {why}; choose another OUTDIR")
    attempt = Attempt(outdir, attempt_id, key_outside=options.key.outside)
    attempt.create()
    try:
        with tempfile.TemporaryDirectory(prefix="corvane-") as private:
            key = options.key.prepare(attempt, Path(private))
            versions = run_encoder(identity, attempt.ladder / MASTER, options, key.info, stop)
        outcome.report = verify(attempt.ladder, identity, options, key, versions, stop)
        stop.check()
        attempt.publish()
    except BaseException:
        attempt.discard()
        raise
    outcome.report.master = outdir / MASTER
    return outcome


def encode(source: str, outdir: Path, options: EncodeOptions, stop: StopSignals) -> Outcome:
    """Makes the ladder of `source` in OUTDIR (absolute) unless it is there
    already; raises EncodeFailure or Interrupted with nothing left behind,
    OUTDIR's parents it created included."""
    refuse_at_once(source, outdir)
    created = make_parents(outdir.parent)
    try:
        with OutputLock(outdir) as lock:
            return make_or_keep(source, outdir, options, stop, lock.id)
    except BaseException:
        remove_empty(created)
        raise


def summary(outcome: Outcome, outdir: Path, options: EncodeOptions, seconds: float) -> str:
    if outcome.report is None:
        completed = "; its manifest now has its key record" if outcome.completed else ""
        return (
            f"ladder: {outdir / MASTER} is up to date (the same source, options and key)"
            f"{completed}; pass --overwrite to make it again\n"
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
            outcome = encode(source, Path(os.path.abspath(outdir)), options, stop)
        except Interrupted as interrupted:
            interrupted.add_note("nothing was published")
            raise
    if report_json:
        made = {"status": outcome.status, "leftovers_removed": outcome.leftovers_removed}
        print(json.dumps({**made, "left_alone": outcome.left_alone}))
    else:
        print(summary(outcome, outdir, options, time.monotonic() - started), end="")
    return DONE
