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
from pathlib import Path, PurePosixPath
from typing import Any
from urllib.parse import unquote, urlparse

from corvane_cli.checker import LadderReport, parse_master, parse_media_playlist

MANIFEST = "manifest.json"
MASTER = "master.m3u8"
MANIFEST_BYTES = 64 << 20


def file_digest(path: Path, between: Callable[[], None] = lambda: None) -> str:
    """The regular file's SHA-256; `between` runs between its MiB, to stop early."""
    digest = hashlib.sha256()
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with os.fdopen(fd, "rb") as file:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{path} is not a regular file")
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
    key: Mapping[str, str] | None,
    between: Callable[[], None] = lambda: None,
) -> dict[str, object]:
    """What `folder` holds (every file but the manifest), with the measured bit
    rates, the options, key and source it was made from, and the versions that
    made it (for information: they never make a ladder out of date)."""
    files = {
        p.relative_to(folder).as_posix(): {
            "size": p.stat().st_size,
            "sha256": file_digest(p, between),
        }
        for p in sorted(folder.rglob("*"))
        if p.is_file() and p.relative_to(folder).as_posix() != MANIFEST
    }
    return {
        "versions": versions,
        "master": report.master.name,
        "options": options,
        "key": key,
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


def read_manifest(folder: Path) -> dict[str, Any]:
    """The manifest of the ladder at `folder`; ValueError saying why it cannot
    be read as one (a link, not JSON, too large, files not listed by name)."""
    path = folder / MANIFEST
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as file:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise ValueError("it is not a regular file")
            data = file.read(MANIFEST_BYTES + 1)
    except OSError as error:
        raise ValueError(error.strerror) from None
    if len(data) > MANIFEST_BYTES:
        raise ValueError(f"it is larger than {MANIFEST_BYTES} bytes")
    recorded = json.loads(data)
    if not isinstance(recorded, dict) or not isinstance(recorded.get("files"), dict):
        raise ValueError("it lists no files")
    return recorded


def folder_entries(folder: Path) -> tuple[dict[str, os.stat_result], list[str]]:
    """What `folder` holds, walked without following links: its regular files
    but the manifest, by path relative to it, and everything else that is not
    a folder (links, FIFOs, devices)."""
    files: dict[str, os.stat_result] = {}
    others: list[str] = []
    pending = [folder]
    while pending:
        with os.scandir(pending.pop()) as entries:
            for entry in entries:
                name = Path(entry.path).relative_to(folder).as_posix()
                info = entry.stat(follow_symlinks=False)
                if stat.S_ISDIR(info.st_mode):
                    pending.append(Path(entry.path))
                elif stat.S_ISREG(info.st_mode):
                    if name != MANIFEST:
                        files[name] = info
                else:
                    others.append(name)
    return files, others


def unlisted(folder: Path, recorded: Mapping[str, Any]) -> list[str]:
    """What `folder` holds that its manifest does not list: not corvane's to
    remove. (A listed name that is no longer a regular file makes the ladder
    out of date instead.)"""
    files, others = folder_entries(folder)
    return sorted(name for name in [*files, *others] if name not in recorded["files"])


def plain_name(name: object) -> bool:
    """Whether a manifest entry's name is a plain path inside the ladder folder."""
    if not isinstance(name, str) or not name:
        return False
    path = PurePosixPath(name)
    # As written, without "//", "./" or a trailing "/" that the path would drop.
    return not path.is_absolute() and ".." not in path.parts and path.as_posix() == name


class OutOfDate(Exception):
    """What makes a ladder out of date, found on the way."""


def named_files(folder: Path) -> set[str]:
    """The files the ladder's playlists name, its media playlists and segments,
    as paths relative to `folder`. (Its key is the key record's to compare: a
    key URI may name a file served from elsewhere.)"""
    named: set[str] = set()

    def local(uri: str, base: PurePosixPath) -> str:
        parsed = urlparse(uri)
        path = PurePosixPath(unquote(parsed.path))
        if parsed.scheme or parsed.netloc or path.is_absolute() or ".." in path.parts:
            raise OutOfDate(f"its playlists name {uri}, which is not a file in the ladder")
        return (base / path).as_posix()

    for variant in parse_master((folder / MASTER).read_text(errors="replace")):
        playlist = local(variant.uri, PurePosixPath())
        named.add(playlist)
        base = PurePosixPath(playlist).parent
        for segment in parse_media_playlist(
            (folder / playlist).read_text(errors="replace")
        ).segments:
            named.add(local(segment.uri, base))
    return named


def manifest_problem(
    folder: Path,
    recorded: Mapping[str, Any],
    source: SourceIdentity,
    options: Mapping[str, object],
    between: Callable[[], None] = lambda: None,
) -> str | None:
    """None when the manifest `recorded` of `folder` says it was made from
    `source` as it is now, with `options`, and the files it lists are all
    there, unchanged, plain files inside `folder`, with every file the
    playlists name among them; else why not. Opens no file before it is known
    to be a regular file of the ladder; `between` runs as hashing goes, to stop
    early."""
    try:
        made_with = recorded.get("options", {})
        differing = [name for name in options if made_with.get(name) != options[name]]
        if differing:
            return f"it was made with other {' and '.join(differing)}"
        if source.sha256 is None:
            return f"{source.path} is not a file whose content can be compared"
        made_from = recorded["source"]
        if (made_from.get("size"), made_from.get("sha256")) != (source.size, source.sha256):
            return "its source changed"
        files: dict[str, Any] = recorded["files"]
        if recorded.get("master") != MASTER or MASTER not in files:
            return f"its manifest does not list {MASTER}"
        for name, entry in files.items():
            if not plain_name(name):
                return f"its manifest lists {name!r}, which is not a file in the ladder"
            info = (folder / name).lstat()
            if not stat.S_ISREG(info.st_mode):
                return f"{name} is not a regular file"
            if info.st_size != entry["size"]:
                return f"{name} changed"
        missing = sorted(named_files(folder) - set(files))
        if missing:
            return f"{missing[0]}, which its playlists name, is missing"
        for name, entry in files.items():
            if file_digest(folder / name, between) != entry["sha256"]:
                return f"{name} changed"
    except OutOfDate as error:
        return str(error)
    except FileNotFoundError as error:
        return f"{error.filename} is missing"
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        return f"unreadable manifest: {error}"
    return None
