"""The parent's side of the encoder child (encoder_child.py): starts it, draws
the bars while it runs, watches the source, and stops it on a signal (SIGINT,
then SIGKILL after a grace period) or when the source changes."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import IO, Any

from corvane_cli.exit_status import EncodeFailure
from corvane_cli.manifest import SourceIdentity
from corvane_cli.options import EncodeOptions
from corvane_cli.progress import Bars
from corvane_cli.signals import StopSignals

GRACE_SECONDS = 3.0
POLL_SECONDS = 0.25


def require_unchanged(source: SourceIdentity) -> None:
    if change := source.change():
        raise EncodeFailure(
            f"{source.path} changed while it was encoded ({change}); "
            "encode it again once it is whole"
        )


def started_line(output: IO[bytes]) -> dict[str, Any] | None:
    """The child's first line, once written whole: the probe of the source and
    the versions, or None (yet, or because the probe failed)."""
    head = os.pread(output.fileno(), 1 << 16, 0)
    if b"\n" not in head:
        return None
    line: dict[str, Any] = json.loads(head.split(b"\n", 1)[0])
    return line if "probe" in line else None


def stop_child(child: subprocess.Popen[bytes]) -> None:
    if child.poll() is not None:
        return
    child.send_signal(signal.SIGINT)
    try:
        child.wait(GRACE_SECONDS)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()


def run_encoder(
    source: SourceIdentity, master: Path, options: EncodeOptions, key_info: str, stop: StopSignals
) -> dict[str, str]:
    """Runs the probe and the call in the child and waits for them, stopping
    them as soon as the source is seen to change. Returns the versions that
    made the ladder."""
    request: dict[str, object] = {
        "input": source.path,
        "output": str(master),
        "key": key_info,
        "parent": os.getpid(),
    }
    if options.resolution is not None:
        request["resolution"] = options.resolution
    # Not the call's default list, which pairs with the names by position.
    request["bitrate"] = options.bitrate or []
    started: dict[str, Any] | None = None
    bars: Bars | None = None
    with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
        # A session of its own: a Ctrl-C at the terminal reaches this process only,
        # which passes one SIGINT on.
        child = subprocess.Popen(
            [sys.executable, "-m", "corvane_cli.encoder_child", json.dumps(request)],
            stdout=output,
            stderr=errors,
            start_new_session=True,
        )
        try:
            while child.poll() is None:
                stop.check()
                require_unchanged(source)
                if bars is None and (started := started_line(output)) is not None:
                    bars = Bars(options.renditions(), master.parent, started["probe"]["duration"])
                if bars is not None:
                    bars.update()
                time.sleep(POLL_SECONDS)
            stop.check()
            require_unchanged(source)
            if child.returncode == 0:
                started = started_line(output)
                if started is None:
                    raise EncodeFailure("the encoder said nothing of the source")
                if bars is None:
                    bars = Bars(options.renditions(), master.parent, started["probe"]["duration"])
                bars.finish()
        except BaseException:
            stop_child(child)
            raise
        finally:
            if bars is not None:
                bars.close()
        if child.returncode == 0 and started is not None:
            versions: dict[str, str] = started["versions"]
            return versions
        output.seek(0)
        out = output.read().decode(errors="replace")
        if child.returncode == 1 and out.strip():
            raise EncodeFailure(json.loads(out.strip().splitlines()[-1])["message"])
        errors.seek(0)
        tail = errors.read().decode(errors="replace").strip()[-2000:]
        ended = (
            f"signal {signal.Signals(-child.returncode).name}"
            if child.returncode < 0
            else f"status {child.returncode}"
        )
        raise EncodeFailure(f"the encoder ended with {ended}" + (f": {tail}" if tail else ""))
