"""`corvane encode`: one ladder, made in a private folder beside OUTDIR and moved
into place only once it is whole and checked.

The hls_encoder call runs in a child process (it holds the interpreter lock
until it returns); this process draws a bar per rendition from the media
playlists as they grow, and on SIGINT or SIGTERM stops the child (SIGINT, then
SIGKILL after a grace period) and removes everything the encode wrote.
"""

from __future__ import annotations

import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from types import FrameType

from tqdm import tqdm

from corvane_cli import __version__
from corvane_cli.ladder import (
    MANIFEST,
    LadderReport,
    check_ladder,
    manifest,
    seconds_written,
    table,
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
KEY = "enc.key"
GRACE_SECONDS = 3.0
POLL_SECONDS = 0.25
# Set by `corvane batch` for the encodes it starts: the parent worker's pid.
PARENT_ENV = "CORVANE_PARENT_PID"


class EncodeFailure(Exception):
    """The encode failed; the message says why."""


class Interrupted(Exception):
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


def source_duration(source: str) -> float | None:
    """The source's duration by ffprobe, when ffprobe is installed; the bars then
    show an ETA."""
    ffprobe = shutil.which("ffprobe")
    if ffprobe is None:
        return None
    try:
        done = subprocess.run([ffprobe, "-v", "error", "-show_entries", "format=duration",
                               "-of", "csv=p=0", source], capture_output=True, text=True,
                              timeout=60, check=False)
        return float(done.stdout.strip()) if done.returncode == 0 else None
    except (subprocess.TimeoutExpired, ValueError):
        return None


def die_with_parent_from_environment() -> None:
    """Under a batch worker: end (through SIGTERM, cleaning up) when the worker does."""
    parent = os.environ.get(PARENT_ENV)
    if parent and parent.isdigit():
        from corvane_cli.child import die_with_parent

        die_with_parent(int(parent), signal.SIGTERM)


class Staging:
    """The private folder a ladder is made in, beside OUTDIR, and (with a key
    URI) the key file beside it; `publish` moves both into place."""

    def __init__(self, outdir: Path, options: EncodeOptions) -> None:
        self.outdir = outdir
        self.token = secrets.token_hex(4)
        self.folder = outdir.with_name(f"{outdir.name}.partial-{self.token}")
        self.key: Path | None = None  # the key file this encode writes
        self.key_final: Path | None = None
        if options.key_uri is not None:
            self.key_final = outdir.with_name(f"{outdir.name}.key")
        self.overwrite = options.overwrite

    def refuse_existing(self) -> None:
        if self.overwrite:
            return
        if self.outdir.exists() and not (self.outdir.is_dir() and not any(self.outdir.iterdir())):
            raise EncodeFailure(f"{self.outdir} exists; pass --overwrite to replace it")
        if self.key_final is not None and self.key_final.exists():
            raise EncodeFailure(f"{self.key_final} exists; pass --overwrite to replace it")

    def create(self) -> None:
        try:
            self.outdir.parent.mkdir(parents=True, exist_ok=True)
            self.folder.mkdir()
        except OSError as error:
            raise EncodeFailure(f"cannot create {error.filename}: {error.strerror}") from None

    def write_key(self, key: bytes) -> Path:
        """Writes the key file, readable by its owner only when it stays out of the ladder."""
        if self.key_final is None:
            self.key = self.folder / KEY
            self.key.write_bytes(key)
        else:
            self.key = self.outdir.with_name(f".{self.outdir.name}.key.partial-{self.token}")
            fd = os.open(self.key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
            with os.fdopen(fd, "wb") as file:
                file.write(key)
        return self.key

    def publish(self) -> None:
        try:
            os.rename(self.folder, self.outdir)
        except OSError:
            if not self.overwrite or not self.outdir.exists():
                raise EncodeFailure(f"{self.outdir} appeared while encoding; "
                                    "pass --overwrite to replace it") from None
            old = self.outdir.with_name(f"{self.outdir.name}.old-{self.token}")
            os.rename(self.outdir, old)
            os.rename(self.folder, self.outdir)
            if old.is_dir():
                shutil.rmtree(old)
            else:
                old.unlink()
        if self.key_final is not None and self.key is not None:
            os.replace(self.key, self.key_final)

    def discard(self) -> None:
        shutil.rmtree(self.folder, ignore_errors=True)
        if self.key is not None and self.key_final is not None:
            self.key.unlink(missing_ok=True)


def key_from_key_info(path: Path) -> Path | None:
    """The key file a key info file names (its second line)."""
    try:
        lines = path.read_text().splitlines()
    except OSError as error:
        raise EncodeFailure(f"cannot read key info file {path}: {error.strerror}") from None
    return Path(lines[1]) if len(lines) > 1 and lines[1] else None


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


def run_child(source: str, staging: Staging, options: EncodeOptions, key_info: str,
              stop: StopSignals) -> None:
    request: dict[str, object] = {"input": source, "output": str(staging.folder / MASTER),
                                  "key": key_info, "parent": os.getpid()}
    if options.resolution is not None:
        request["resolution"] = options.resolution
    # Bit rates not given come from the table by rendition name (the call's own
    # default list would pair with the names by position).
    request["bitrate"] = options.bitrate or []
    bars = Bars(options.renditions(), staging.folder, source_duration(source))
    with tempfile.TemporaryFile() as output, tempfile.TemporaryFile() as errors:
        # A session of its own: a Ctrl-C at the terminal reaches this process only,
        # which passes one SIGINT on.
        child = subprocess.Popen([sys.executable, "-m", "corvane_cli.child", json.dumps(request)],
                                 stdout=output, stderr=errors, start_new_session=True)
        try:
            while child.poll() is None:
                stop.check()
                bars.update()
                time.sleep(POLL_SECONDS)
            stop.check()
            if child.returncode == 0:
                bars.finish()
        except BaseException:
            stop_child(child)
            raise
        finally:
            bars.close()
        if child.returncode == 0:
            return
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


def verify(staging: Staging, source: str, key_file: Path | None) -> LadderReport:
    """Checks the made ladder and writes its manifest."""
    master = staging.folder / MASTER
    report = check_ladder(master, key_file)
    if not report.ok:
        raise EncodeFailure("the ladder failed its check:\n" + table(report).rstrip())
    record = manifest(staging.folder, report, source, __version__)
    (staging.folder / MANIFEST).write_text(json.dumps(record, indent=2) + "\n")
    return report


def encode(source: str, outdir: Path, options: EncodeOptions, stop: StopSignals) -> LadderReport:
    """Makes the ladder of `source` in OUTDIR; raises EncodeFailure or Interrupted
    with nothing left behind."""
    staging = Staging(outdir, options)
    staging.refuse_existing()
    staging.create()
    try:
        with tempfile.TemporaryDirectory(prefix="corvane-") as private:
            key_file: Path | None = None
            key_info = ""
            if options.key_info is not None:
                key_info = str(options.key_info.absolute())
                key_file = key_from_key_info(options.key_info)
            elif options.encrypt:
                key_file = staging.write_key(secrets.token_bytes(16))
                uri = options.key_uri if options.key_uri is not None else KEY
                # Read once, at encode time: it stays out of the published folder.
                info = Path(private) / "enc.keyinfo"
                info.write_text(f"{uri}\n{key_file}\n{secrets.token_bytes(16).hex()}\n")
                key_info = str(info)
            run_child(source, staging, options, key_info, stop)
        report = verify(staging, source, key_file)
        stop.check()
        staging.publish()
    except BaseException:
        staging.discard()
        raise
    report.master = outdir / MASTER
    return report


def summary(report: LadderReport, outdir: Path, options: EncodeOptions, seconds: float) -> str:
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
    return (f"ladder: {report.master} ({count} rendition{'s' if count != 1 else ''}, "
            f"{size / 2**20:.1f} MiB of segments, made in {seconds:.1f} s)\n"
            f"key: {key}\n" + table(report))


def run(source: str, outdir: Path, options: EncodeOptions) -> int:
    """The command: 0 when the ladder is published, 1 on failure, 128 + the
    signal's number when interrupted."""
    die_with_parent_from_environment()
    started = time.monotonic()
    with StopSignals() as stop:
        try:
            report = encode(source, outdir.absolute(), options, stop)
        except Interrupted as interrupted:
            print("corvane: interrupted; nothing was published", file=sys.stderr)
            return 128 + interrupted.signum
        except EncodeFailure as failure:
            print(f"corvane: {failure}", file=sys.stderr)
            return 1
        except OSError as error:
            print(f"corvane: {error}", file=sys.stderr)
            return 1
    print(summary(report, outdir, options, time.monotonic() - started), end="")
    return 0
