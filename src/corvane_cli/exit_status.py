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


# What ends a command with its message on stderr and no traceback, and the
# status it ends with. Anything else is a fault of corvane's own: a traceback.
EXIT_STATUSES: tuple[tuple[type[Exception], int], ...] = (
    (UsageError, USAGE),
    (EncodeFailure, FAILED),
    (BatchFailure, FAILED),
    (OSError, FAILED),  # the system's: a file, a disk, the network
)


def exit_status(error: BaseException) -> int | None:
    """The status `error` ends a command with; None for a fault."""
    if isinstance(error, KeyboardInterrupt):
        return 128 + (error.signum if isinstance(error, Interrupted) else signal.SIGINT)
    return next((status for kind, status in EXIT_STATUSES if isinstance(error, kind)), None)


def failure_line(error: BaseException) -> str:
    """The line for stderr: what ended the command, then the notes added to it."""
    what = "interrupted" if isinstance(error, KeyboardInterrupt) else str(error)
    return "; ".join([f"corvane: {what}", *getattr(error, "__notes__", [])])
