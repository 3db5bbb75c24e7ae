"""What `corvane encode` is asked for: the renditions, their bit rates, the key
mode, whether to make the ladder again; and the record of it a manifest keeps."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TypedDict

import corvane
from corvane_cli.keys import KeyMode, NewKey

# The renditions hls_encoder knows, in its default order.
RENDITION_NAMES = tuple(rendition.name for rendition in corvane.RENDITIONS)


class Requested(TypedDict):
    """What a ladder is to be, as its manifest records it."""

    renditions: list[str]
    bitrates: list[int | None]  # as given; None: the table's
    key: dict[str, str]


@dataclass(frozen=True)
class EncodeOptions:
    resolution: list[str] | None = None
    bitrate: list[int] | None = None
    key: KeyMode = field(default_factory=NewKey)
    overwrite: bool = False

    def renditions(self) -> list[str]:
        """The renditions hls_encoder will make: known names, each once."""
        names = self.resolution if self.resolution is not None else list(RENDITION_NAMES)
        return [n for i, n in enumerate(names) if n in RENDITION_NAMES and n not in names[:i]]

    def requested(self) -> Requested:
        """The renditions, each one's bit rate as given, and the key mode."""
        names = self.resolution if self.resolution is not None else list(RENDITION_NAMES)
        given = self.bitrate or []
        # The call pairs a name's first place in the list with the bit rate there.
        bitrates = [
            given[i] if i < len(given) else None
            for i in (names.index(n) for n in self.renditions())
        ]
        return {"renditions": self.renditions(), "bitrates": bitrates, "key": self.key.record()}

    def arguments(self) -> list[str]:
        """The options of `corvane encode` that ask for these."""
        args = []
        if self.resolution is not None:
            args += ["--resolution", ",".join(self.resolution)]
        if self.bitrate is not None:
            args += ["--bitrate", ",".join(map(str, self.bitrate))]
        args += self.key.arguments()
        if self.overwrite:
            args.append("--overwrite")
        return args
