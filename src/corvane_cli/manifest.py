"""The manifest a published ladder carries: what it was made from and with which
options, and every file it holds, so that a later run can tell whether it is
still the ladder asked for."""

from __future__ import annotations

import hashlib
import json
import os
import stat
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path

from corvane_cli.checker import LadderReport

MANIFEST = "manifest.json"


def file_digest(path: Path, between: Callable[[], None] = lambda: None) -> str:
    """The file's SHA-256; `between` runs between its MiB, to stop early."""
    digest = hashlib.sha256()
    with path.open("rb") as file:
        while chunk := file.read(1 << 20):
            digest.update(chunk)
            between()
    return digest.hexdigest()


@dataclass(frozen=True)
class SourceIdentity:
    """A source as it was before the encode. For a file: its size and SHA-256,
    and the device, inode and modification time that `change` compares."""

    path: str
    size: int | None = None
    sha256: str | None = None
    stamp: tuple[int, int, int] | None = None

    @classmethod
    def take(cls, source: str, between: Callable[[], None] = lambda: None) -> SourceIdentity:
        """Stats, then hashes (running `between` as file_digest does): a file
        written meanwhile differs from the stat `change` takes later."""
        try:
            before = os.stat(source)
        except OSError:
            return cls(source)  # a URL, or a missing file the call reports
        if not stat.S_ISREG(before.st_mode):
            return cls(source)
        path = Path(source).absolute()
        return cls(
            str(path),
            before.st_size,
            file_digest(path, between),
            (before.st_dev, before.st_ino, before.st_mtime_ns),
        )

    def change(self) -> str | None:
        """What became of the file since `take`; None when nothing did."""
        if self.stamp is None:
            return None
        try:
            now = os.stat(self.path)
        except OSError as error:
            return f"it is gone ({error.strerror})"
        if now.st_size != self.size:
            return f"its size went from {self.size} to {now.st_size} bytes"
        if (now.st_dev, now.st_ino) != self.stamp[:2]:
            return "another file took its name"
        if now.st_mtime_ns != self.stamp[2]:
            return "it was modified"
        return None

    def record(self) -> dict[str, object]:
        if self.sha256 is None:
            return {"path": self.path}
        return {"path": self.path, "size": self.size, "sha256": self.sha256}


def manifest(
    folder: Path,
    report: LadderReport,
    source: SourceIdentity,
    options: Mapping[str, object],
    versions: Mapping[str, str],
) -> dict[str, object]:
    """What `folder` holds (every file but the manifest), with the measured bit
    rates, the options and source it was made from, and the versions that made
    it (for information: they never make a ladder out of date)."""
    files = {
        p.relative_to(folder).as_posix(): {"size": p.stat().st_size, "sha256": file_digest(p)}
        for p in sorted(folder.rglob("*"))
        if p.is_file() and p.name != MANIFEST
    }
    return {
        "versions": versions,
        "master": report.master.name,
        "options": options,
        "source": source.record(),
        "renditions": [
            {
                "name": r.name,
                "playlist": r.uri,
                "resolution": r.resolution,
                "segments": r.segments,
                "seconds": round(r.seconds, 3),
                "bandwidth": r.bandwidth,
                "average_bit_rate": round(r.average),
                "peak_bit_rate": round(r.peak),
            }
            for r in report.renditions
        ],
        "files": files,
    }


def manifest_problem(
    folder: Path, source: SourceIdentity, options: Mapping[str, object]
) -> str | None:
    """None when `folder`'s manifest says it was made from `source` as it is now,
    with `options`, and its files are all there, unchanged; else why not."""
    try:
        recorded = json.loads((folder / MANIFEST).read_text())
        made_with = recorded.get("options", {})
        differing = [name for name in options if made_with.get(name) != options[name]]
        if differing:
            return f"it was made with other {' and '.join(differing)}"
        if source.sha256 is None:
            return f"{source.path} is not a file whose content can be compared"
        made_from = recorded["source"]
        if (made_from.get("size"), made_from.get("sha256")) != (source.size, source.sha256):
            return "its source changed"
        for name, entry in recorded["files"].items():
            path = folder / name
            if path.stat().st_size != entry["size"] or file_digest(path) != entry["sha256"]:
                return f"{name} changed"
    except FileNotFoundError as error:
        return f"{error.filename} is missing"
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        return f"unreadable manifest: {error}"
    return None
