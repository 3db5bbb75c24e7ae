"""The child process that runs one hls_encoder call for `corvane encode`
(encoder_parent.py is the parent's side).

The call holds the interpreter lock until it returns, so the parent, which
draws the progress bars and answers Ctrl-C, runs it here; so does the probe of
the source before it, which may stall on a URL as the call may. The request
comes as JSON in argv[1]. Written to stdout, one JSON line each: first what
corvane.probe says of the source and corvane.versions(), then, on failure, the
exception's type and message. The exit status is 0, 1, or 130 when
interrupted.
"""

import json
import signal
import sys

from corvane_cli.parent_death import die_with_parent


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
