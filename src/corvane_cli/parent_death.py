"""Ending with the parent process: the encode's child ends with the encode, and
an encode `corvane batch` started ends with the worker that started it."""

from __future__ import annotations

import ctypes
import os
import signal
import sys

PR_SET_PDEATHSIG = 1
# The pid of the batch worker an encode is to end with.
PARENT_PID_ENV = "CORVANE_PARENT_PID"


def die_with_parent(parent: int, sig: int) -> None:
    """Asks Linux to send `sig` when the parent ends, and ends now if it already has."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, sig, 0, 0, 0)
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:
        sys.exit(1)


def child_environment() -> dict[str, str]:
    """The environment for a `corvane encode` that is to end when this process does."""
    return {**os.environ, PARENT_PID_ENV: str(os.getpid())}


def die_with_parent_from_environment() -> None:
    """Under a batch worker: end (through SIGTERM, cleaning up) when the worker does."""
    parent = os.environ.get(PARENT_PID_ENV)
    if parent and parent.isdigit():
        die_with_parent(int(parent), signal.SIGTERM)
