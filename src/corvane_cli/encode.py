"""`corvane encode`: one ladder, made in a private folder beside OUTDIR and moved
into place only once it is whole and checked, by the one process holding
OUTDIR's lock; a ladder already there is kept while it is still what is asked.

The hls_encoder call runs in a child process (it holds the interpreter lock
until it returns); this process draws a bar per rendition from the media
playlists as they grow, and on SIGINT or SIGTERM stops the child (SIGINT, then
SIGKILL after a grace period) and removes everything the encode wrote.
"""

from __future__ import annotations

import json
import os
import secrets
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import Any, BinaryIO

from tqdm import tqdm

from corvane_cli.checker import LadderReport, check_ladder, seconds_written, table
from corvane_cli.manifest import MANIFEST, SourceIdentity, manifest, manifest_problem
from corvane_cli.publish import (
    KEY,
    EncodeFailure,
    OutputLock,
    Staging,
    remove_leftovers,
)

# The bars are refreshed by the poll below: no monitor thread of tqdm's. Only
# this process draws them: a thread lock, not tqdm's default multiprocessing
# one, which from Python 3.14 on (forkserver by default) starts a resource
# tracker process that an interrupted encode would leave behind for a moment.
tqdm.monitor_interval = 0
tqdm.set_lock(threading.RLock())

# The renditions hls_encoder knows, in its default order.
RENDITIONS = ("1080p", "720p", "480p", "360p")
MASTER = "master.m3u8"
GRACE_SECONDS = 3.0
POLL_SECONDS = 0.25
# Set by `corvane batch` for the encodes it starts: the parent worker's pid.
PARENT_ENV = "CORVANE_PARENT_PID"


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
        self._previous: dict[int, object] = {}

    def _note(self, signum: int, frame: FrameType | None) -> None:
        if self.signum is None:
            self.signum = signum

    def __enter__(self) -> StopSignals:
        for sig in (signal.SIGINT, signal.SIGTERM):
            self._previous[sig] = signal.signal(sig, self._note)
        return self

    def __exit__(self, *exc: object) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)

    def check(self) -> None:
        if self.signum is not None:
            raise Interrupted(self.signum)


@dataclass(frozen=True)
class EncodeOptions:
    resolution: list[str] | None = None
    bitrate: list[int] | None = None
    key_info: Path | None = None  # the caller's own key info file
    key_uri: str | None = None  # a key kept outside the ladder, served from this URI
    encrypt: bool = True
    overwrite: bool = False

    def renditions(self) -> list[str]:
        """The renditions hls_encoder will make: known names, each once."""
        names = self.resolution if self.resolution is not None else list(RENDITIONS)
        return [n for i, n in enumerate(names) if n in RENDITIONS and n not in names[:i]]

    def requested(self) -> dict[str, object]:
        """What the ladder is to be, as its manifest records it: the renditions,
        each one's bit rate as given (None: the table's), and its encryption."""
        names = self.resolution if self.resolution is not None else list(RENDITIONS)
        given = self.bitrate or []
        # The call pairs a name's first place in the list with the bit rate there.
        bitrates = [given[i] if i < len(given) else None
                    for i in (names.index(n) for n in self.renditions())]
        if self.key_info is not None:
            key = {"mode": "key-info", "uri": read_key_info(self.key_info)[0]}
        elif not self.encrypt:
            key = {"mode": "none"}
        elif self.key_uri is not None:
            key = {"mode": "key-uri", "uri": self.key_uri}
        else:
            key = {"mode": "new-key", "uri": KEY}
        return {"renditions": self.renditions(), "bitrates": bitrates, "key": key}


def die_with_parent_from_environment() -> None:
    """Under a batch worker: end (through SIGTERM, cleaning up) when the worker does."""
    parent = os.environ.get(PARENT_ENV)
    if parent and parent.isdigit():
        from corvane_cli.child import die_with_parent

        die_with_parent(int(parent), signal.SIGTERM)


def read_key_info(path: Path) -> tuple[str, Path | None]:
    """The key URI and the key file a key info file names (its first two lines)."""
    try:
        lines = path.read_text().splitlines()
    except OSError as error:
        raise EncodeFailure(f"cannot read key info file {path}: {error.strerror}") from None
    uri = lines[0] if lines else ""
    return uri, Path(lines[1]) if len(lines) > 1 and lines[1] else None


class Bars:
    """One bar per rendition: seconds of the source in the segments written so far."""

    def __init__(self, names: list[str], folder: Path, total: float | None) -> None:
        self.folder = folder
        self.total = total
        shape = ("{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s [{elapsed}<{remaining}]"
                 if total else "{desc}: {n:.1f} s [{elapsed}]")
        self.bars = {name: tqdm(total=total, desc=f"{name:>5}", unit="s", position=i,
                                leave=True, bar_format=shape, disable=None, file=sys.stderr)
                     for i, name in enumerate(names)}

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


def require_unchanged(source: SourceIdentity) -> None:
    if change := source.change():
        raise EncodeFailure(f"{source.path} changed while it was encoded ({change}); "
                            "encode it again once it is whole")


def started_line(output: BinaryIO) -> dict[str, Any] | None:
    """The child's first line, once written whole: the probe of the source and
    the versions, or None (yet, or because the probe failed)."""
    head = os.pread(output.fileno(), 1 << 16, 0)
    if b"\n" not in head:
        return None
    line = json.loads(head.split(b"\n", 1)[0])
    return line if "probe" in line else None


def run_child(source: SourceIdentity, staging: Staging, options: EncodeOptions, key_info: str,
              stop: StopSignals) -> dict[str, Any]:
    """Runs the probe and the call in the child and waits for them, stopping
    them as soon as the source is seen to change. Returns the versions that
    made the ladder."""
    request: dict[str, object] = {"input": source.path, "output": str(staging.folder / MASTER),
                                  "key": key_info, "parent": os.getpid()}
    if options.resolution is not None:
        request["resolution"] = options.resolution
    # Bit rates not given come from the table by rendition name (the call's own
    # default list would pair with the names by position).
    request["bitrate"] = options.bitrate or []
    started: dict[str, Any] | None = None
    bars: Bars | None = None
    with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
        # A session of its own: a Ctrl-C at the terminal reaches this process only,
        # which passes one SIGINT on.
        child = subprocess.Popen([sys.executable, "-m", "corvane_cli.child", json.dumps(request)],
                                 stdout=output, stderr=errors, start_new_session=True)
        try:
            while child.poll() is None:
                stop.check()
                require_unchanged(source)
                if bars is None and (started := started_line(output)) is not None:
                    bars = Bars(options.renditions(), staging.folder,
                                started["probe"]["duration"])
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
                    bars = Bars(options.renditions(), staging.folder,
                                started["probe"]["duration"])
                bars.finish()
        except BaseException:
            stop_child(child)
            raise
        finally:
            if bars is not None:
                bars.close()
        if child.returncode == 0 and started is not None:
            return started["versions"]
        output.seek(0)
        out = output.read().decode(errors="replace")
        if child.returncode == 1 and out.strip():
            raise EncodeFailure(json.loads(out.strip().splitlines()[-1])["message"])
        errors.seek(0)
        tail = errors.read().decode(errors="replace").strip()[-2000:]
        ended = (f"signal {signal.Signals(-child.returncode).name}" if child.returncode < 0
                 else f"status {child.returncode}")
        raise EncodeFailure(f"the encoder ended with {ended}" + (f": {tail}" if tail else ""))


def stop_child(child: subprocess.Popen) -> None:
    if child.poll() is not None:
        return
    child.send_signal(signal.SIGINT)
    try:
        child.wait(GRACE_SECONDS)
    except subprocess.TimeoutExpired:
        child.kill()
        child.wait()


def verify(staging: Staging, source: SourceIdentity, options: EncodeOptions,
           key_file: Path | None, versions: dict[str, Any]) -> LadderReport:
    """Checks the made ladder and writes its manifest."""
    report = check_ladder(staging.folder / MASTER, key_file)
    if not report.ok:
        raise EncodeFailure("the ladder failed its check:\n" + table(report).rstrip())
    record = manifest(staging.folder, report, source, options.requested(), versions)
    (staging.folder / MANIFEST).write_text(json.dumps(record, indent=2) + "\n")
    return report


@dataclass
class Outcome:
    """What became of OUTDIR: "done" (made) or "skipped" (already what was asked)."""
    status: str
    report: LadderReport | None = None
    leftovers_removed: int = 0
    replaced: str | None = None  # why a ladder already there was made again


def earlier_ladder(outdir: Path, source: SourceIdentity, requested: dict[str, Any],
                   overwrite: bool) -> str | None:
    """Why the ladder at OUTDIR is to be made again for `requested` (as
    EncodeOptions.requested gives it), "" when it is what is asked, None when
    there is none; raises when OUTDIR holds something else. Reads only."""
    if not os.path.lexists(outdir) or (outdir.is_dir() and not any(outdir.iterdir())):
        return None
    if overwrite:
        return "--overwrite"
    if not outdir.is_dir() or not (outdir / MANIFEST).is_file():
        raise EncodeFailure(f"{outdir} exists and is not a corvane ladder; "
                            "pass --overwrite to replace it")
    key = outdir.with_name(f"{outdir.name}.key")
    if requested["key"]["mode"] == "key-uri" and not key.is_file():
        return f"its key {key} is missing"
    return manifest_problem(outdir, source, requested) or ""


def encode(source: str, outdir: Path, options: EncodeOptions, stop: StopSignals) -> Outcome:
    """Makes the ladder of `source` in OUTDIR unless it is there already; raises
    EncodeFailure or Interrupted with nothing left behind."""
    try:
        outdir.parent.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise EncodeFailure(f"cannot create {error.filename}: {error.strerror}") from None
    with OutputLock(outdir):
        outcome = Outcome("done", leftovers_removed=remove_leftovers(outdir))
        identity = SourceIdentity.take(source, stop.check)
        outcome.replaced = earlier_ladder(outdir, identity, options.requested(),
                                          options.overwrite)
        if outcome.replaced == "":
            outcome.status = "skipped"
            return outcome
        staging = Staging(outdir, key_outside=options.key_uri is not None)
        staging.create()
        try:
            with tempfile.TemporaryDirectory(prefix="corvane-") as private:
                key_file: Path | None = None
                key_info = ""
                if options.key_info is not None:
                    key_info = str(options.key_info.absolute())
                    key_file = read_key_info(options.key_info)[1]
                elif options.encrypt:
                    key_file = staging.key()
                    uri = options.key_uri if options.key_uri is not None else KEY
                    # Read once, at encode time: it stays out of the published folder.
                    info = Path(private) / "enc.keyinfo"
                    info.write_text(f"{uri}\n{key_file}\n{secrets.token_bytes(16).hex()}\n")
                    key_info = str(info)
                versions = run_child(identity, staging, options, key_info, stop)
            outcome.report = verify(staging, identity, options, key_file, versions)
            stop.check()
            staging.publish()
        except BaseException:
            staging.discard()
            raise
    outcome.report.master = outdir / MASTER
    return outcome


def summary(outcome: Outcome, outdir: Path, options: EncodeOptions, seconds: float) -> str:
    if outcome.report is None:
        return (f"ladder: {outdir / MASTER} is up to date (the same source and options); "
                "pass --overwrite to make it again\n")
    report = outcome.report
    size = sum(r.size for r in report.renditions)
    if options.key_info is not None:
        key = f"as {options.key_info} directs"
    elif not options.encrypt:
        key = "none (not encrypted)"
    elif options.key_uri is not None:
        key = f"{outdir.with_name(outdir.name + '.key')} (mode 0600), served as {options.key_uri}"
    else:
        key = f"{outdir / KEY}, beside the playlists"
    count = len(report.renditions)
    replaced = (f"replaced: the ladder there before ({outcome.replaced})\n"
                if outcome.replaced else "")
    return (f"ladder: {report.master} ({count} rendition{'s' if count != 1 else ''}, "
            f"{size / 2**20:.1f} MiB of segments, made in {seconds:.1f} s)\n"
            f"key: {key}\n" + replaced + table(report))


def run(source: str, outdir: Path, options: EncodeOptions, report_json: bool = False) -> int:
    """The command: 0 when the ladder is published or already was, 1 on failure,
    128 + the signal's number when interrupted. `report_json` (for `corvane
    batch`) prints the outcome as one JSON line instead of the summary."""
    die_with_parent_from_environment()
    started = time.monotonic()
    with StopSignals() as stop:
        try:
            outcome = encode(source, outdir.absolute(), options, stop)
        except Interrupted as interrupted:
            print("corvane: interrupted; nothing was published", file=sys.stderr)
            return 128 + interrupted.signum
        except EncodeFailure as failure:
            print(f"corvane: {failure}", file=sys.stderr)
            return 1
        except OSError as error:
            print(f"corvane: {error}", file=sys.stderr)
            return 1
    if report_json:
        print(json.dumps({"status": outcome.status,
                          "leftovers_removed": outcome.leftovers_removed}))
    else:
        print(summary(outcome, outdir, options, time.monotonic() - started), end="")
    return 0
