"""The four key modes of a ladder: a new key in it (the default), a new key kept
beside it and served from a URI (--key-uri), the caller's key info file
(--key), or none (--no-encryption). Each says what the manifest records of it,
how `corvane encode` is asked for it, what the summary says, which key info
file the call reads, and which key a ladder made now would have.

A ladder's key is part of the ladder: its manifest records the key's URI, how
its segments get their IVs and the SHA-256 of the key bytes (never the key),
and no publish removes the only copy of the key a published ladder needs."""

from __future__ import annotations

import hashlib
import os
import stat
from abc import ABC, abstractmethod
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import ClassVar
from urllib.parse import unquote, urlparse

from corvane_cli.checker import (
    decrypt,
    first_picture_problem,
    parse_master,
    parse_media_playlist,
    read_key,
    segment_iv,
)
from corvane_cli.exit_status import EncodeFailure
from corvane_cli.publish import KEY, Attempt, outside_key, within

# In a batch's --key-uri, replaced by each ladder's name.
NAME_FIELD = "{name}"
# The IVs of a ladder whose key info file has no IV line: the module gives each
# segment its own.
PER_SEGMENT = "per-segment"
KEY_INFO_BYTES = 1 << 16


@dataclass(frozen=True)
class KeyInfo:
    """What a key info file says: the key URI, the key file, the IV line if any."""

    uri: str
    key_file: Path | None
    iv: str | None

    def ivs(self) -> str:
        """The segments' IVs, as the manifest records them: the one given, or
        one of their own."""
        return f"0x{self.iv.lower()}" if self.iv else PER_SEGMENT


def read_key_info(path: Path) -> KeyInfo:
    """The key URI, key file and IV a key info file names (its three lines)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as file:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise EncodeFailure(f"key info file {path} is not a regular file")
            data = file.read(KEY_INFO_BYTES + 1)
    except OSError as error:
        raise EncodeFailure(f"cannot read key info file {path}: {error.strerror}") from None
    if len(data) > KEY_INFO_BYTES:
        raise EncodeFailure(f"key info file {path} is larger than {KEY_INFO_BYTES} bytes")
    try:
        lines = [line.strip() for line in data.decode().splitlines()]
    except UnicodeDecodeError:
        raise EncodeFailure(f"key info file {path} is not text") from None
    lines += [""] * (3 - len(lines))
    return KeyInfo(lines[0], Path(lines[1]) if lines[1] else None, lines[2] or None)


def key_bytes(path: Path) -> bytes:
    try:
        return read_key(path)
    except ValueError as error:
        raise EncodeFailure(str(error)) from None


def write_key_info(folder: Path, uri: str, key_file: Path) -> str:
    """A key info file in `folder` for `key_file`, served as `uri`: private, as
    the call reads it once and it is never published. Without an IV line, so
    that each segment gets an IV of its own."""
    info = folder / "enc.keyinfo"
    info.write_text(f"{uri}\n{key_file}\n")
    return str(info)


def key_record(uri: str, iv: str, key: bytes) -> dict[str, str]:
    """What the manifest keeps of a ladder's key: never the key itself."""
    return {"uri": uri, "iv": iv, "sha256": hashlib.sha256(key).hexdigest()}


def relative_uri(uri: str) -> PurePosixPath | None:
    """The path a key URI names relative to the playlists, when it is one that
    stays inside the ladder folder; None for a key server's URL and the rest."""
    parsed = urlparse(uri)
    if parsed.scheme or parsed.netloc or not parsed.path:
        return None
    path = PurePosixPath(unquote(parsed.path))
    if path.is_absolute() or ".." in path.parts:
        return None
    return path


def keep_key(key_file: Path, uri: str, attempt: Attempt, key: bytes) -> None:
    """A key file inside OUTDIR goes with the ladder there when a new one
    replaces it. Copies it into the new ladder, where the playlists' URI,
    relative, names it there; refuses where the URI names it anywhere else (a
    key server's key is never published)."""
    outdir = attempt.outdir
    if not os.path.lexists(outdir) or not within(key_file, outdir):
        return
    path = relative_uri(uri)
    if path is not None and os.path.realpath(outdir / path) == os.path.realpath(key_file):
        copy = attempt.ladder.joinpath(*path.parts)
        copy.parent.mkdir(parents=True, exist_ok=True)
        copy.write_bytes(key)
        copy.chmod(stat.S_IMODE(os.stat(key_file).st_mode))
        return
    raise EncodeFailure(
        f"the key {key_file} is inside {outdir}, which this encode replaces, and the "
        f"playlists fetch it from {uri}, not from beside them: move the key out of "
        f"{outdir} and name its new place in the key info file"
    )


def iv_problem(master: Path, iv: str) -> str | None:
    """None when every segment the ladder's playlists list has the IV `iv` asks:
    one of its own, or the one given; else what is wrong. Reads the playlists."""
    ivs: list[bytes | None] = []
    for variant in parse_master(master.read_text(errors="replace")):
        playlist = parse_media_playlist((master.parent / unquote(variant.uri)).read_text())
        ivs += [segment_iv(s) if (s.key or {}).get("IV") else None for s in playlist.segments]
    if iv == PER_SEGMENT:
        if None in ivs or len(set(ivs)) != len(ivs):
            return "its segments share an IV"
    elif any(v is None or "0x" + v.hex() != iv.lower() for v in ivs):
        return f"its segments' IV is not {iv}"
    return None


@dataclass(frozen=True)
class Key:
    """The key a ladder is made with: the key info file the call reads ("" for
    none), the key file the check reads, and the manifest's record of it."""

    info: str
    file: Path | None
    record: dict[str, str] | None


@dataclass(frozen=True)
class CurrentKey:
    """The key a ladder at OUTDIR would be made with now: its URI, IVs, file,
    and bytes (None when there is none yet, so that a new one would be made)."""

    uri: str
    iv: str
    path: Path
    key: bytes | None

    def problem(self, recorded: object) -> str | None:
        """Why a ladder whose manifest's key record is `recorded` does not have
        this key; None when it does."""
        if not isinstance(recorded, dict):
            return "it was made without a key record"
        if recorded.get("uri") != self.uri:
            return "it was made with another key URI"
        if recorded.get("iv") != self.iv:
            return f"it was made with IVs {recorded.get('iv')}, not {self.iv}"
        if self.key is None:
            return f"its key {self.path} is missing"
        if recorded.get("sha256") != hashlib.sha256(self.key).hexdigest():
            return f"its key {self.path} is not the key it was made with"
        return None

    def decrypts(self, master: Path) -> str | None:
        """For a manifest from before key records: None when the first segment
        of the first rendition decrypts with this key to a picture that starts
        on a key frame, and the segments' IVs are as asked; else why not."""
        if self.key is None:
            return f"its key {self.path} is missing"
        try:
            variants = parse_master(master.read_text(errors="replace"))
            playlist = master.parent / unquote(variants[0].uri)
            segment = parse_media_playlist(playlist.read_text(errors="replace")).segments[0]
            path = playlist.parent / unquote(segment.uri)
            clear = decrypt(path.read_bytes(), self.key, segment_iv(segment))
            if first_picture_problem(path, clear) is None:
                return iv_problem(master, self.iv)
        except (OSError, ValueError, IndexError):
            pass
        return f"its key {self.path} does not decrypt it"

    def record(self) -> dict[str, str] | None:
        return key_record(self.uri, self.iv, self.key) if self.key is not None else None


class KeyMode(ABC):
    mode: ClassVar[str]  # as the manifest records it
    outside: ClassVar[bool] = False  # the key kept beside the ladder, not in it

    @abstractmethod
    def record(self) -> dict[str, str]:
        """The mode, and the URI the playlists name, for the manifest."""

    @abstractmethod
    def arguments(self) -> list[str]:
        """The options of `corvane encode` that ask for this mode."""

    @abstractmethod
    def describe(self, outdir: Path) -> str:
        """Where the key of the ladder at OUTDIR is, for the summary."""

    @abstractmethod
    def current(self, outdir: Path) -> CurrentKey | None:
        """The key a ladder at OUTDIR would be made with now; None for none.
        Reads only."""

    @abstractmethod
    def prepare(self, attempt: Attempt, private: Path) -> Key:
        """The key for the ladder `attempt` makes: writes the key info file (in
        `private`) and a new key where they are new, and keeps a key inside
        OUTDIR that the ladder there is replaced with."""

    def for_ladder(self, name: str) -> KeyMode:
        """The mode for the ladder `name` of a batch."""
        return self


@dataclass(frozen=True)
class NewKey(KeyMode):
    mode = "new-key"

    def record(self) -> dict[str, str]:
        return {"mode": self.mode, "uri": KEY}

    def arguments(self) -> list[str]:
        return []

    def describe(self, outdir: Path) -> str:
        return f"{outdir / KEY}, beside the playlists"

    def current(self, outdir: Path) -> CurrentKey:
        path = outdir / KEY
        return CurrentKey(KEY, PER_SEGMENT, path, key_bytes(path) if path.is_file() else None)

    def prepare(self, attempt: Attempt, private: Path) -> Key:
        key_file = attempt.key()
        key = key_bytes(key_file)
        return Key(
            write_key_info(private, KEY, key_file), key_file, key_record(KEY, PER_SEGMENT, key)
        )


@dataclass(frozen=True)
class KeyUri(KeyMode):
    uri: str
    mode = "key-uri"
    outside = True

    def record(self) -> dict[str, str]:
        return {"mode": self.mode, "uri": self.uri}

    def arguments(self) -> list[str]:
        return ["--key-uri", self.uri]

    def describe(self, outdir: Path) -> str:
        return f"{outside_key(outdir)} (mode 0600), served as {self.uri}"

    def current(self, outdir: Path) -> CurrentKey:
        path = outside_key(outdir)
        key = key_bytes(path) if os.path.lexists(path) else None
        return CurrentKey(self.uri, PER_SEGMENT, path, key)

    def prepare(self, attempt: Attempt, private: Path) -> Key:
        key_file = attempt.key()
        key = key_bytes(key_file)
        keep_key(key_file, self.uri, attempt, key)
        info = write_key_info(private, self.uri, key_file)
        return Key(info, key_file, key_record(self.uri, PER_SEGMENT, key))

    def for_ladder(self, name: str) -> KeyUri:
        return KeyUri(self.uri.replace(NAME_FIELD, name))


@dataclass(frozen=True)
class KeyInfoFile(KeyMode):
    path: Path
    mode = "key-info"

    def record(self) -> dict[str, str]:
        return {"mode": self.mode, "uri": read_key_info(self.path).uri}

    def arguments(self) -> list[str]:
        return ["--key", str(self.path.absolute())]

    def describe(self, outdir: Path) -> str:
        return f"as {self.path} directs"

    def read(self) -> tuple[KeyInfo, Path]:
        info = read_key_info(self.path)
        if info.key_file is None:
            raise EncodeFailure(f"key info file {self.path} names no key file on its second line")
        return info, info.key_file

    def current(self, outdir: Path) -> CurrentKey:
        info, key_file = self.read()
        return CurrentKey(info.uri, info.ivs(), key_file, key_bytes(key_file))

    def prepare(self, attempt: Attempt, private: Path) -> Key:
        info, key_file = self.read()
        key = key_bytes(key_file)
        keep_key(key_file, info.uri, attempt, key)
        return Key(str(self.path.absolute()), key_file, key_record(info.uri, info.ivs(), key))


@dataclass(frozen=True)
class NoEncryption(KeyMode):
    mode = "none"

    def record(self) -> dict[str, str]:
        return {"mode": self.mode}

    def arguments(self) -> list[str]:
        return ["--no-encryption"]

    def describe(self, outdir: Path) -> str:
        return "none (not encrypted)"

    def current(self, outdir: Path) -> None:
        return None

    def prepare(self, attempt: Attempt, private: Path) -> Key:
        return Key("", None, None)
