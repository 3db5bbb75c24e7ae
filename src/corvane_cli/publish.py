"""Making a ladder beside OUTDIR and putting it in place, one writer at a time.

The one process making OUTDIR holds an fcntl lock on `.NAME.lock` beside it,
from before its private folder exists until the ladder is published: fcntl
locks hold on NFSv4 too, and the kernel (or the NFS server, once the lease
ends) lets go of them when their holder dies, so a lock nobody holds marks
what is left beside OUTDIR as abandoned. The ladder appears only after its key,
and replaces the one before in a single exchange where the filesystem can.
"""

from __future__ import annotations

import ctypes
import errno
import fcntl
import glob
import os
import secrets
import shutil
import socket
import time
from pathlib import Path

from corvane_cli.exit_status import EncodeFailure

KEY = "enc.key"
KEY_BYTES = 16


def outside_key(outdir: Path) -> Path:
    """Where a ladder's key kept out of it goes: OUTDIR.key, beside it."""
    return outdir.with_name(f"{outdir.name}.key")


class OutputLock:
    """The lock on OUTDIR: `with OutputLock(outdir):` fails at once, naming the
    holder, when another process holds it."""

    def __init__(self, outdir: Path) -> None:
        self.outdir = outdir
        self.path = outdir.with_name(f".{outdir.name}.lock")
        self.fd: int | None = None

    def __enter__(self) -> OutputLock:
        while True:
            fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
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
        os.ftruncate(fd, 0)
        os.pwrite(
            fd,
            f"pid {os.getpid()} on {socket.gethostname()}, since "
            f"{time.strftime('%Y-%m-%d %H:%M:%S %Z')}\n".encode(),
            0,
        )
        self.fd = fd
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


def remove_leftovers(outdir: Path) -> int:
    """Under the lock: clears what an attempt that died left beside OUTDIR (its
    private folder, its new key not yet in place, a ladder it was replacing),
    putting back a replaced ladder that a publish cut short left outside OUTDIR.
    Returns how many it found."""
    name = glob.escape(outdir.name)
    replaced = sorted(outdir.parent.glob(f"{name}.old-*"), key=lambda p: p.lstat().st_mtime)
    found = len(replaced)
    if replaced and not os.path.lexists(outdir):
        os.rename(replaced.pop(), outdir)
    for path in [
        *outdir.parent.glob(f"{name}.partial-*"),
        *outdir.parent.glob(f".{name}.key.partial-*"),
        *replaced,
    ]:
        remove(path)
        found += 1
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


class Staging:
    """The private folder a ladder is made in, beside OUTDIR, and the key it is
    encrypted with: in the folder, or with a key URI beside it as OUTDIR.key,
    which a ladder made again keeps."""

    def __init__(self, outdir: Path, key_outside: bool) -> None:
        self.outdir = outdir
        self.token = secrets.token_hex(4)
        self.folder = outdir.with_name(f"{outdir.name}.partial-{self.token}")
        self.key_final = outside_key(outdir) if key_outside else None
        self.new_key: Path | None = None  # a new key outside, until it is in place
        self.key_placed = False
        self.published = False

    def create(self) -> None:
        try:
            self.folder.mkdir()
        except OSError as error:
            raise EncodeFailure(f"cannot create {error.filename}: {error.strerror}") from None

    def key(self) -> Path:
        """The key file the ladder is to be encrypted with: OUTDIR.key as it is
        when there is one, so that the live ladder and its key always agree,
        else a new random key (readable by its owner only when it stays out of
        the ladder)."""
        key = secrets.token_bytes(KEY_BYTES)
        if self.key_final is None:
            path = self.folder / KEY
            path.write_bytes(key)
            return path
        if os.path.lexists(self.key_final):
            try:
                size = self.key_final.stat().st_size
            except OSError as error:
                raise EncodeFailure(f"cannot read {self.key_final}: {error.strerror}") from None
            if size != KEY_BYTES:
                raise EncodeFailure(
                    f"{self.key_final} holds {size} bytes, not a "
                    f"{KEY_BYTES}-byte key; remove it to have a new one made"
                )
            return self.key_final
        self.new_key = self.outdir.with_name(f".{self.outdir.name}.key.partial-{self.token}")
        fd = os.open(self.new_key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as file:
            file.write(key)
            file.flush()
            os.fsync(file.fileno())
        return self.new_key

    def publish(self) -> None:
        """The key, then the ladder: OUTDIR is never without a whole ladder once
        it has one, nor a ladder without its key."""
        parent = self.outdir.parent
        if self.new_key is not None and self.key_final is not None:
            os.rename(self.new_key, self.key_final)
            self.key_placed = True
            sync_folder(parent)
        replaced: Path | None = None
        try:
            os.rename(self.folder, self.outdir)  # no OUTDIR, or an empty folder
        except OSError as error:
            if error.errno not in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR, errno.EISDIR):
                raise
            if exchange(self.folder, self.outdir):
                replaced = self.folder
            else:
                # No exchange here: the shortest window without OUTDIR, two renames;
                # a run after one cut short in between puts the old ladder back.
                replaced = self.outdir.with_name(f"{self.outdir.name}.old-{self.token}")
                os.rename(self.outdir, replaced)
                try:
                    os.rename(self.folder, self.outdir)
                except OSError:
                    os.rename(replaced, self.outdir)
                    raise
        self.published = True
        sync_folder(parent)
        if replaced is not None:
            remove(replaced)

    def discard(self) -> None:
        """Removes what this encode wrote, unless its ladder is out already."""
        if self.published:
            return
        remove(self.folder)
        if self.new_key is not None:
            # A key this encode put in place had no ladder before it.
            remove(self.key_final if self.key_placed and self.key_final else self.new_key)
