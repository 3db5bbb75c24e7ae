"""The ladder already at OUTDIR: kept while it is what is asked, made again when
not, and never replaced where that would remove what must stay.

Up to date means: the manifest says the ladder was made from the source as it
is now, with the options asked and the key at hand; every file the playlists
name is there; every file in the folder is listed in the manifest, each with
its size and SHA-256. A folder holding anything its manifest does not list is
not corvane's to replace without --overwrite.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from corvane_cli.exit_status import EncodeFailure
from corvane_cli.keys import KeyInfoFile, KeyUri
from corvane_cli.manifest import (
    MANIFEST,
    MASTER,
    SourceIdentity,
    manifest_problem,
    read_manifest,
    unlisted,
)
from corvane_cli.options import EncodeOptions
from corvane_cli.publish import Attempt, remove, within


@dataclass
class Existing:
    """The ladder at OUTDIR, as the up-to-date test finds it."""

    reason: str | None  # why it is made again; "" when it is what is asked; None: none there
    completed: dict[str, Any] | None = None  # an older manifest, with the key record it lacked


def with_key(recorded: dict[str, Any], key: dict[str, str] | None) -> dict[str, Any]:
    """An older manifest with a key record, placed as a new one has it."""
    completed: dict[str, Any] = {}
    for name, value in recorded.items():
        completed[name] = value
        if name == "options":
            completed["key"] = key
    completed.setdefault("key", key)
    return completed


def existing_ladder(
    outdir: Path,
    source: SourceIdentity,
    options: EncodeOptions,
    between: Callable[[], None] = lambda: None,
) -> Existing:
    """Whether the ladder at OUTDIR is what `options` ask, made from `source` as
    it is now, with the key at hand; raises when OUTDIR holds what is not
    corvane's to replace without --overwrite. Reads only."""
    if not os.path.lexists(outdir) or (outdir.is_dir() and not any(outdir.iterdir())):
        return Existing(None)
    if options.overwrite:
        return Existing("--overwrite")
    if not outdir.is_dir() or not os.path.lexists(outdir / MANIFEST):
        raise EncodeFailure(
            f"{outdir} exists and is not a corvane ladder; pass --overwrite to replace it"
        )
    try:
        recorded = read_manifest(outdir)
    except ValueError as error:
        raise EncodeFailure(
            f"the manifest of {outdir} cannot be read ({error}); pass --overwrite to replace it"
        ) from None
    extra = unlisted(outdir, recorded)
    if extra:
        named = ", ".join(extra[:3]) + (f" and {len(extra) - 3} more" if len(extra) > 3 else "")
        raise EncodeFailure(
            f"{outdir} holds {named}, which its manifest does not list; "
            "pass --overwrite to replace them with the ladder"
        )
    reason = manifest_problem(outdir, recorded, source, options.requested(), between)
    if reason:
        return Existing(reason)
    current = options.key.current(outdir)
    if "key" in recorded:
        if current is None:
            return Existing("" if recorded["key"] is None else "it was made encrypted")
        return Existing(current.problem(recorded["key"]) or "")
    # A manifest from before key records: kept when the key decrypts the ladder.
    if current is None:
        return Existing("", with_key(recorded, None))
    problem = current.decrypts(outdir / MASTER)
    return Existing(problem) if problem else Existing("", with_key(recorded, current.record()))


def up_to_date(outdir: Path, source: SourceIdentity, options: EncodeOptions) -> bool:
    """Whether the ladder at OUTDIR is what `options` ask, made from `source` as
    it is now, and its manifest needs nothing: the test by which an encode
    keeps it. Reads only."""
    try:
        existing = existing_ladder(outdir, source, options)
    except (EncodeFailure, OSError):  # the encode says why
        return False
    return existing.reason == "" and existing.completed is None


def complete_manifest(outdir: Path, attempt: str, record: dict[str, Any]) -> None:
    """Replaces the manifest of the ladder at OUTDIR by `record` in one rename,
    from an attempt's folder, so that nothing half-written is ever in the ladder."""
    folder = Attempt(outdir, attempt, key_outside=False)
    folder.create()
    try:
        made = folder.folder / MANIFEST
        with made.open("w") as file:
            file.write(json.dumps(record, indent=2) + "\n")
            file.flush()
            os.fsync(file.fileno())
        os.rename(made, outdir / MANIFEST)
    finally:
        remove(folder.folder)


def must_stay(outdir: Path, source: SourceIdentity, options: EncodeOptions) -> str | None:
    """Why what is at OUTDIR cannot be replaced, even with --overwrite: it is or
    holds the source, the current folder or the key info file, or it is the
    key of the ladder beside it. None when it can be."""
    if source.stamp is not None and within(source.path, outdir):
        return f"it holds the source {source.path}"
    try:
        here: str | None = os.getcwd()
    except OSError:
        here = None
    if here is not None and within(here, outdir):
        return "it is the current folder, or holds it"
    if isinstance(options.key, KeyInfoFile) and within(options.key.path, outdir):
        return f"it holds the key info file {options.key.path}"
    if outdir.name.endswith(".key"):
        owner = outdir.with_name(outdir.name.removesuffix(".key"))
        try:
            mode = read_manifest(owner).get("options", {}).get("key", {}).get("mode")
        except (ValueError, AttributeError):
            mode = None
        if mode == KeyUri.mode:
            return f"it is the key of the ladder {owner}"
    return None
