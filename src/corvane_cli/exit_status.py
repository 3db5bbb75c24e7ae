"""How a `corvane` command ends, the same for every command: 0 done, 1 failed
(one line on stderr says why), 2 a wrong command line, 128 + the signal's
number when stopped by SIGINT (130) or SIGTERM (143)."""

from __future__ import annotations

import signal

from corvane_cli.signals import Interrupted

DONE = 0
FAILED = 1
USAGE = 2


class UsageError(Exception):
    """A wrong command line that argparse cannot tell; the message says why."""


class EncodeFailure(Exception):
    """The encode failed; the message says why."""


class BatchFailure(Exception):
    """The batch cannot go on; the message says why."""


class CheckFailure(Exception):
    """The check cannot start; the message says why."""


# What ends a command with its message on stderr, and the status it ends with.
# Any other exception is a fault of corvane's own, or the machine's (out of
# memory): exit 1 too, its kind named, and never a traceback.
EXIT_STATUSES: tuple[tuple[type[Exception], int], ...] = (
    (UsageError, USAGE),
    (EncodeFailure, FAILED),
    (BatchFailure, FAILED),
    (CheckFailure, FAILED),
    (OSError, FAILED),  # the system's: a file, a disk, the network
)


def exit_status(error: BaseException) -> int | None:
    """The status `error` ends a command with; None for what is not an error
    (SystemExit)."""
    if isinstance(error, KeyboardInterrupt):
        return 128 + (error.signum if isinstance(error, Interrupted) else signal.SIGINT)
    if not isinstance(error, Exception):
        return None
    return next((status for kind, status in EXIT_STATUSES if isinstance(error, kind)), FAILED)


def failure_line(error: BaseException) -> str:
    """The one line for stderr: what ended the command, then the notes added to it."""
    if isinstance(error, KeyboardInterrupt):
        what = "interrupted"
    elif isinstance(error, MemoryError):
        what = "out of memory"
    elif any(isinstance(error, kind) for kind, _ in EXIT_STATUSES):
        what = str(error)
    else:
        what = f"internal error: {type(error).__name__}: {error}"
    lines = [f"corvane: {what}", *getattr(error, "__notes__", [])]
    return "; ".join(" ".join(line.split()) if "\n" in line else line for line in lines)
