"""Making a ladder beside OUTDIR and putting it in place, one writer at a time.

The one process making OUTDIR holds an fcntl lock on `.NAME.lock` beside it,
from before its private folder exists until the ladder is published: fcntl
locks hold on NFSv4 too, and the kernel (or the NFS server, once the lease
ends) lets go of them when their holder dies, so a lock nobody holds marks
what is left beside OUTDIR as abandoned. Each attempt works in one folder,
NAME.partial-<id>, whose marker file proves it the attempt's: the next holder
of the lock removes such a folder, and nothing else beside OUTDIR. The ladder
appears only after its key, and replaces the one before in a single exchange
where the filesystem can.
"""

from __future__ import annotations

import ctypes
import errno
import fcntl
import json
import os
import re
import secrets
import shutil
import socket
import stat
import time
from dataclasses import dataclass, field
from pathlib import Path

from corvane_cli.checker import KEY_BYTES
from corvane_cli.exit_status import EncodeFailure

KEY = "enc.key"
# Inside an attempt's folder: its marker, the ladder being made, a new key kept
# outside the ladder until it is in place, and what OUTDIR held while a publish
# by two renames is under way.
MARKER = "corvane-attempt.json"
LADDER = "ladder"
NEW_KEY = "key"
OLD = "old"
MARKER_BYTES = 4096


def outside_key(outdir: Path) -> Path:
    """Where a ladder's key kept out of it goes: OUTDIR.key, beside it."""
    return outdir.with_name(f"{outdir.name}.key")


def within(path: Path | str, folder: Path) -> bool:
    """Whether `path` is `folder` or inside it, as named or as the filesystem
    resolves either."""
    named = Path(os.path.abspath(path))
    real = Path(os.path.realpath(path))
    return any(p.is_relative_to(f) for p in (named, real) for f in (folder, folder.resolve()))


def make_parents(folder: Path) -> list[Path]:
    """Creates `folder` and its missing parents; returns those it created,
    deepest first, for remove_empty."""
    missing = []
    while not os.path.lexists(folder) and folder != folder.parent:
        missing.append(folder)
        folder = folder.parent
    try:
        for path in reversed(missing):
            path.mkdir(exist_ok=True)
    except OSError as error:
        remove_empty(missing)
        raise EncodeFailure(f"cannot create {error.filename}: {error.strerror}") from None
    return missing


def remove_empty(folders: list[Path]) -> None:
    """Removes the folders make_parents created, deepest first, while they are empty."""
    for folder in folders:
        try:
            folder.rmdir()
        except FileNotFoundError:
            continue
        except OSError:
            return


def holder_line(attempt: str) -> str:
    return (
        f"pid {os.getpid()} on {socket.gethostname()}, since "
        f"{time.strftime('%Y-%m-%d %H:%M:%S %Z')}, attempt {attempt}"
    )


class OutputLock:
    """The lock on OUTDIR: `with OutputLock(outdir):` fails at once, naming the
    holder, when another process holds it. `id` names this attempt."""

    def __init__(self, outdir: Path) -> None:
        self.outdir = outdir
        self.path = outdir.with_name(f".{outdir.name}.lock")
        self.id = secrets.token_hex(4)
        self.fd: int | None = None

    def _open(self) -> int:
        try:
            # Not through a link: truncating it would truncate whatever it names.
            flags = os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW
            return os.open(self.path, flags, 0o644)
        except OSError as error:
            raise EncodeFailure(f"cannot create the lock {self.path}: {error.strerror}") from None

    def __enter__(self) -> OutputLock:
        while True:
            fd = self._open()
            try:
                fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as error:
                holder = os.pread(fd, 512, 0).decode(errors="replace").strip()
                os.close(fd)
                if error.errno in (errno.EACCES, errno.EAGAIN):
                    raise EncodeFailure(
                        f"{self.outdir} is being made by another corvane "
                        f"({holder or 'holder unknown'}); nothing was done"
                    ) from None
                raise
            # The holder before may have removed the file as it let go: only a
            # lock on the file still at the path counts.
            try:
                now = os.stat(self.path)
            except FileNotFoundError:
                now = None
            held = os.fstat(fd)
            if now is not None and (now.st_dev, now.st_ino) == (held.st_dev, held.st_ino):
                break
            os.close(fd)
        self.fd = fd
        try:
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"{holder_line(self.id)}\n".encode(), 0)
        except OSError as error:
            self.__exit__()  # a full disk: no empty lock file left behind
            raise EncodeFailure(f"cannot write the lock {self.path}: {error.strerror}") from None
        return self

    def __exit__(self, *exc: object) -> None:
        # Removed while still held, so that no one locks a file on its way out.
        self.path.unlink(missing_ok=True)
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


def remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        path.unlink(missing_ok=True)


def is_attempt(folder: Path, outdir: Path) -> bool:
    """Whether `folder` is an attempt's of OUTDIR: a real folder named
    NAME.partial-<id> whose marker names NAME and that id."""
    attempt = folder.name.removeprefix(f"{outdir.name}.partial-")
    try:
        if not stat.S_ISDIR(folder.lstat().st_mode):
            return False
        fd = os.open(folder / MARKER, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
        with os.fdopen(fd, "rb") as file:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                return False
            marker = json.loads(file.read(MARKER_BYTES))
    except (OSError, ValueError):
        return False
    return isinstance(marker, dict) and (marker.get("ladder"), marker.get("attempt")) == (
        outdir.name,
        attempt,
    )


def missing_or_empty(folder: Path) -> bool:
    """Whether nothing is at `folder`, or an empty folder, which a published
    ladder never is."""
    if not os.path.lexists(folder):
        return True
    return folder.is_dir() and not folder.is_symlink() and not any(folder.iterdir())


@dataclass
class Leftovers:
    """What clear_leftovers found beside OUTDIR."""

    removed: int = 0  # attempts' folders, each once
    left_alone: list[str] = field(default_factory=list)  # names an earlier corvane used


def earlier_names(outdir: Path) -> re.Pattern[str]:
    """The names of what earlier versions left beside OUTDIR, without a marker."""
    name = re.escape(outdir.name)
    return re.compile(rf"(?:{name}\.(?:partial|old)-|\.{name}\.key\.partial-)[0-9a-f]{{8}}")


def clear_leftovers(outdir: Path) -> Leftovers:
    """Under the lock: removes the folders of attempts that died beside OUTDIR,
    each proven an attempt's by its marker, first putting back the ladder a
    publish cut short left in one. Anything else is left where it is; those
    named as an earlier corvane named its leftovers are reported."""
    found = Leftovers()
    prefix = f"{outdir.name}.partial-"
    earlier = earlier_names(outdir)
    with os.scandir(outdir.parent) as entries:
        names = sorted(entry.name for entry in entries)
    for name in names:
        path = outdir.parent / name
        if name.startswith(prefix) and is_attempt(path, outdir):
            old = path / OLD
            if os.path.lexists(old) and missing_or_empty(outdir):
                os.rename(old, outdir)
            remove(path)
            found.removed += 1
        elif earlier.fullmatch(name):
            found.left_alone.append(name)
    return found


AT_FDCWD = -100
RENAME_EXCHANGE = 2


def exchange(first: Path, second: Path) -> bool:
    """Swaps two names in one step (renameat2 with RENAME_EXCHANGE); False where
    the C library or the filesystem cannot (NFS, among others)."""
    try:
        renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
    except AttributeError:
        return False
    renameat2.argtypes = [
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_int,
        ctypes.c_char_p,
        ctypes.c_uint,
    ]
    if renameat2(AT_FDCWD, os.fsencode(first), AT_FDCWD, os.fsencode(second), RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), str(first), None, str(second))


def sync_folder(folder: Path) -> None:
    """Makes the renames in `folder` so far survive a crash, in their order."""
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class Attempt:
    """One encode's private folder beside OUTDIR, NAME.partial-<id>, marked as
    its own: the ladder is made in it, with the key it is encrypted with (in the
    ladder, or with a key URI beside it as OUTDIR.key, which a ladder made again
    keeps)."""

    def __init__(self, outdir: Path, attempt: str, key_outside: bool) -> None:
        self.outdir = outdir
        self.id = attempt
        self.folder = outdir.with_name(f"{outdir.name}.partial-{attempt}")
        self.ladder = self.folder / LADDER
        self.key_final = outside_key(outdir) if key_outside else None
        self.new_key: Path | None = None  # a new key outside, until it is in place
        self.key_placed = False
        self.published = False

    def create(self) -> None:
        try:
            self.folder.mkdir()
        except OSError as error:
            raise EncodeFailure(f"cannot create {error.filename}: {error.strerror}") from None
        try:
            marker = {"ladder": self.outdir.name, "attempt": self.id, "by": holder_line(self.id)}
            fd = os.open(self.folder / MARKER, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            with os.fdopen(fd, "w") as file:
                file.write(json.dumps(marker) + "\n")
                file.flush()
                os.fsync(file.fileno())
            self.ladder.mkdir()
        except OSError as error:
            remove(self.folder)
            raise EncodeFailure(f"cannot write {error.filename}: {error.strerror}") from None

    def key(self) -> Path:
        """The key file the ladder is to be encrypted with: OUTDIR.key as it is
        when there is one, so that the live ladder and its key always agree,
        else a new random key (readable by its owner only when it stays out of
        the ladder)."""
        key = secrets.token_bytes(KEY_BYTES)
        if self.key_final is None:
            path = self.ladder / KEY
            path.write_bytes(key)
            return path
        if os.path.lexists(self.key_final):
            try:
                mode = self.key_final.stat().st_mode
            except OSError as error:
                raise EncodeFailure(f"cannot read {self.key_final}: {error.strerror}") from None
            if not stat.S_ISREG(mode):
                raise EncodeFailure(
                    f"{self.key_final}, where this ladder's key goes, is not a key file; "
                    "move it away to have a new key made there"
                )
            return self.key_final
        self.new_key = self.folder / NEW_KEY
        fd = os.open(self.new_key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as file:
            file.write(key)
            file.flush()
            os.fsync(file.fileno())
        return self.new_key

    def publish(self) -> None:
        """The key, then the ladder: OUTDIR is never without a whole ladder once
        it has one, nor a ladder without its key. What OUTDIR held goes with
        this attempt's folder."""
        parent = self.outdir.parent
        if self.new_key is not None and self.key_final is not None:
            os.rename(self.new_key, self.key_final)
            self.key_placed = True
            sync_folder(parent)
        try:
            os.rename(self.ladder, self.outdir)  # no OUTDIR, or an empty folder
        except OSError as error:
            if error.errno not in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR):
                raise
            if not exchange(self.ladder, self.outdir):
                # No exchange here: the shortest window without OUTDIR, two renames;
                # a run after one cut short in between puts the old ladder back.
                old = self.folder / OLD
                os.rename(self.outdir, old)
                try:
                    os.rename(self.ladder, self.outdir)
                except OSError:
                    os.rename(old, self.outdir)
                    raise
        self.published = True
        sync_folder(parent)
        remove(self.folder)

    def discard(self) -> None:
        """Removes what this encode wrote, unless its ladder is out already."""
        if self.published:
            return
        old = self.folder / OLD
        if os.path.lexists(old):
            try:
                os.rename(old, self.outdir)
            except OSError:
                return  # kept, with its marker: the next run puts it back
        remove(self.folder)
        if self.key_placed and self.key_final is not None:
            # A key this encode put in place had no ladder before it.
            remove(self.key_final)
