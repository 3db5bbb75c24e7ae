"""The bars `corvane encode` draws on a terminal: one per rendition, the seconds
of the source in the segments its media playlist lists so far."""

from __future__ import annotations

import sys
import threading
from pathlib import Path
from typing import NoReturn

from tqdm import tqdm

from corvane_cli.checker import seconds_written

# Our poll refreshes the bars: no monitor thread. A thread lock: tqdm's default
# one starts a process (Python 3.14) that an interrupt would leave behind.
tqdm.monitor_interval = 0
tqdm.set_lock(threading.RLock())


class Bars:
    """One bar per rendition: seconds of the source in the segments written so far."""

    def __init__(self, names: list[str], folder: Path, total: float | None) -> None:
        self.folder = folder
        self.total = total
        shape = (
            "{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s [{elapsed}<{remaining}]"
            if total
            else "{desc}: {n:.1f} s [{elapsed}]"
        )
        self.bars = {
            name: tqdm(
                total=total,
                desc=f"{name:>5}",
                unit="s",
                position=i,
                leave=True,
                bar_format=shape,
                disable=None,
                file=sys.stderr,
            )
            for i, name in enumerate(names)
        }

    def update(self) -> None:
        for name, bar in self.bars.items():
            seconds = seconds_written(self.folder / f"{name}.m3u8")
            if self.total:
                seconds = min(seconds, self.total)
            if seconds > bar.n:
                bar.update(seconds - bar.n)

    def finish(self) -> None:
        """The call returned: every rendition holds the whole source."""
        for bar in self.bars.values():
            if self.total and bar.n < self.total:
                bar.update(self.total - bar.n)

    def close(self) -> None:
        for bar in self.bars.values():
            bar.close()


def batch_bar(total: int) -> tqdm[NoReturn]:
    """`corvane batch`'s one bar: the ladders finished, of `total`."""
    return tqdm(total=total, desc="ladders", unit="ladder", disable=None, file=sys.stderr)
