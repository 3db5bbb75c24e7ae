"""SIGINT and SIGTERM: the exception they become, and the two ways the commands
take them."""

from __future__ import annotations

import signal
from types import FrameType
from typing import Any

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


class Interrupted(KeyboardInterrupt):
    """Stopped by a signal, SIGINT or SIGTERM, whose number it carries."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class StopSignals:
    """Notes SIGINT and SIGTERM instead of raising where they land, so that a
    signal never cuts a cleanup short; the work loop polls `check`."""

    def __init__(self) -> None:
        self.signum: int | None = None
        self._previous: dict[int, Any] = {}  # whatever signal.signal returned

    def _note(self, signum: int, frame: FrameType | None) -> None:
        if self.signum is None:
            self.signum = signum

    def __enter__(self) -> StopSignals:
        for sig in STOP_SIGNALS:
            self._previous[sig] = signal.signal(sig, self._note)
        return self

    def __exit__(self, *exc: object) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)

    def check(self) -> None:
        if self.signum is not None:
            raise Interrupted(self.signum)


def _raise_interrupted(signum: int, frame: FrameType | None) -> None:
    raise Interrupted(signum)


def raise_on_stop_signals() -> None:
    """From now on SIGINT and SIGTERM raise Interrupted where they land, even in
    a process started with SIGINT ignored (in the background of a script)."""
    for sig in STOP_SIGNALS:
        signal.signal(sig, _raise_interrupted)
