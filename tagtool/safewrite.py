"""Writing files so that a kill at any moment leaves them whole.

A regular file with one name in a folder the user may write is replaced:
the new content goes to a temporary file beside it (its name holds this
process's id, api/database/tempfiles.py), synced, then renamed over it.

A file with other names (hard links), or in a folder the user may not write,
is rewritten in its own inode instead, with a rollback copy (rollback.py).
"""

import os
import stat

from api.database.tempfiles import sync_folder, temp_name

from .output import CANT_CREATE, Failure, write_status
from .rollback import effective_ids, in_place, settle, write_in_place

KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"),
         (stat.S_ISBLK, "a block device"), (stat.S_ISFIFO, "a FIFO"),
         (stat.S_ISSOCK, "a socket"))


def kind_of(mode):
    return next((name for test, name in KINDS if test(mode)), "a special file")


def write_file(path, data):
    """Write ``data`` to ``path``: straight into a FIFO or a character
    device, into a regular file (new or not) as ``write_regular`` does.
    True when written straight."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as e:
        raise Failure(f"{path}: cannot write: {e.strerror or e}", write_status(e)) from None
    if mode is not None and (stat.S_ISFIFO(mode) or stat.S_ISCHR(mode)):
        with open(path, "wb") as f:
            f.write(data)
        return True
    if mode is None or stat.S_ISREG(mode):
        write_regular(path, data)
        return False
    raise Failure(f"{path}: cannot write: {kind_of(mode)}, not a regular file, FIFO or "
                  "character device", CANT_CREATE)


def check_writable(path):
    """Refuse an existing file that the user may not write, as the kernel
    judges the effective ids and capabilities (root without its override
    is a user like any other)."""
    from .output import NO_PERMISSION

    if os.path.exists(path) and not os.access(path, os.W_OK, effective_ids=effective_ids()):
        mode = stat.S_IMODE(os.stat(path).st_mode)
        raise Failure(f"{path}: you may not write this file (mode {mode:04o}); nothing written",
                      NO_PERMISSION)


def write_regular(path, data):
    """Write a regular file, refused when the user may not write it; in
    place when it has other names or its folder is closed, else atomically."""
    check_writable(path)
    settle(path)
    if in_place(path):
        write_in_place(path, data)
    else:
        write_atomic(path, data)


def write_atomic(path, data):
    """Write ``data`` to the file ``path`` (through a symbolic link, to its
    target) so that a reader sees the old file or the new one, never a part:
    a temporary file in the same folder, renamed over the old one, with the
    old one's mode (and owner and group, where the user may give them).  On
    any failure the old file stays as it was and the temporary file goes."""
    path = os.path.realpath(path)
    folder = os.path.dirname(path)
    try:
        old = os.stat(path)
        mode = stat.S_IMODE(old.st_mode)
    except FileNotFoundError:
        old = None
        mask = os.umask(0)
        os.umask(mask)
        mode = 0o666 & ~mask
    temp = os.path.join(folder, temp_name(os.path.basename(path)))
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
            if old is not None and (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
                try:
                    os.fchown(f.fileno(), old.st_uid, old.st_gid)
                except PermissionError:
                    pass
        os.chmod(temp, mode)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise
    sync_folder(folder)
