"""Runs one hls_encoder call in a process of its own, for `corvane encode`.

The call holds the interpreter lock until it returns, so the parent, which
draws the progress bars and answers Ctrl-C, runs it here; so does the probe of
the source before it, which may stall on a URL as the call may. The request
comes as JSON in argv[1]. Written to stdout, one JSON line each: first what
corvane.probe says of the source and corvane.versions(), then, on failure, the
exception's type and message. The exit status is 0, 1, or 130 when
interrupted.
"""

import ctypes
import json
import os
import signal
import sys

PR_SET_PDEATHSIG = 1


def die_with_parent(parent: int, sig: int) -> None:
    """Asks Linux to send `sig` when the parent ends, and ends now if it already has."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, sig, 0, 0, 0)
    except (OSError, AttributeError):
        return
    if os.getppid() != parent:
        sys.exit(1)


def main() -> int:
    request = json.loads(sys.argv[1])
    die_with_parent(request["parent"], signal.SIGKILL)
    import corvane

    options = {name: request[name] for name in ("resolution", "bitrate") if name in request}
    try:
        started = {"probe": corvane.probe(request["input"]), "versions": corvane.versions()}
        print(json.dumps(started), flush=True)
        corvane.hls_encoder(request["input"], request["output"], key=request["key"], **options)
    except KeyboardInterrupt:
        return 130
    except Exception as error:
        print(json.dumps({"type": type(error).__name__, "message": str(error)}), flush=True)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
