"""The four key modes of a ladder: a new key in it (the default), a new key kept
beside it and served from a URI (--key-uri), the caller's key info file
(--key), or none (--no-encryption). Each says what the manifest records of it,
how `corvane encode` is asked for it, what the summary says, and which key
info file the call reads."""

from __future__ import annotations

import secrets
from abc import ABC, abstractmethod
from dataclasses import dataclass
from pathlib import Path
from typing import ClassVar

from corvane_cli.exit_status import EncodeFailure
from corvane_cli.publish import KEY, Staging, outside_key

# In a batch's --key-uri, replaced by each ladder's name.
NAME_FIELD = "{name}"


def read_key_info(path: Path) -> tuple[str, Path | None]:
    """The key URI and the key file a key info file names (its first two lines)."""
    try:
        lines = path.read_text().splitlines()
    except OSError as error:
        raise EncodeFailure(f"cannot read key info file {path}: {error.strerror}") from None
    uri = lines[0] if lines else ""
    return uri, Path(lines[1]) if len(lines) > 1 and lines[1] else None


def write_key_info(folder: Path, uri: str, key_file: Path) -> str:
    """A key info file in `folder` for `key_file`, served as `uri`, with a new
    IV: private, as the call reads it once and it is never published."""
    info = folder / "enc.keyinfo"
    info.write_text(f"{uri}\n{key_file}\n{secrets.token_bytes(16).hex()}\n")
    return str(info)


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
    def key_info(self, staging: Staging, private: Path) -> tuple[str, Path | None]:
        """The key info file for the call ("" for none) and the key file it
        names, writing them (in `private`, and the key as `staging` keeps it)
        where they are new."""

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

    def key_info(self, staging: Staging, private: Path) -> tuple[str, Path | None]:
        key_file = staging.key()
        return write_key_info(private, KEY, key_file), key_file


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

    def key_info(self, staging: Staging, private: Path) -> tuple[str, Path | None]:
        key_file = staging.key()
        return write_key_info(private, self.uri, key_file), key_file

    def for_ladder(self, name: str) -> KeyUri:
        return KeyUri(self.uri.replace(NAME_FIELD, name))


@dataclass(frozen=True)
class KeyInfoFile(KeyMode):
    path: Path
    mode = "key-info"

    def record(self) -> dict[str, str]:
        return {"mode": self.mode, "uri": read_key_info(self.path)[0]}

    def arguments(self) -> list[str]:
        return ["--key", str(self.path.absolute())]

    def describe(self, outdir: Path) -> str:
        return f"as {self.path} directs"

    def key_info(self, staging: Staging, private: Path) -> tuple[str, Path | None]:
        return str(self.path.absolute()), read_key_info(self.path)[1]


@dataclass(frozen=True)
class NoEncryption(KeyMode):
    mode = "none"

    def record(self) -> dict[str, str]:
        return {"mode": self.mode}

    def arguments(self) -> list[str]:
        return ["--no-encryption"]

    def describe(self, outdir: Path) -> str:
        return "none (not encrypted)"

    def key_info(self, staging: Staging, private: Path) -> tuple[str, Path | None]:
        return "", None
