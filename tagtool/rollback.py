"""Rewriting a file in its own inode, so that a kill at any moment leaves it
whole, and putting right a rewrite that a kill cut off.

A file with other names (hard links), or in a folder the user may not write,
is rewritten in its own inode, so that every name sees the new content.
Before that, as SQLite's rollback journal does, its current content is saved
as a *rollback copy* beside it (in the user's state folder when its folder
is closed) with a *record*: the file's real path and inode, and the size and
hash of its old and its new content, with a hash of each block of the new.
Both are synced before the first byte of the file changes, and removed once
the rewrite is synced.

A rewrite cut off by a kill leaves them behind, and the next tagtool that
touches the file (``settle``), or that starts while records lie in the state
folder (``settle_leftovers``), puts the file right first and says so:
  1. a file whole, with its old or its new content (by hash): the leftovers go;
  2. a file as an interrupted rewrite leaves it (the new content's first
     bytes, then the old content's rest or NUL bytes, which the copy and the
     record let us check): the copy is written back, then the leftovers go;
  3. anything else was changed since by someone: the file is left alone and
     the copy kept under a name that says so.
A restore cut off in turn is marked in its record first, and done again.
"""

import errno
import os
import stat

from api.database.tempfiles import remove, sweep, sync_folder, temp_name, writer_gone, writer_of

from .output import Failure, note, warn, write_status

COPY, RECORD, KEPT = ".old", ".rec", ".tagtool-rollback"
BLOCK = 4096                # bytes of the new content under one hash of the record
TAIL = 1 << 16              # bytes compared at once when finding where two contents agree


def effective_ids():
    """Whether os.access can judge by the effective ids."""
    return os.access in os.supports_effective_ids


def open_folder(folder):
    """Whether the user may make files in ``folder``."""
    return os.access(folder, os.W_OK | os.X_OK, effective_ids=effective_ids())


def in_place(path):
    """Whether the existing file ``path`` is rewritten where it is rather
    than replaced: it has other names, or its folder takes no new file."""
    real = os.path.realpath(path)
    try:
        links = os.stat(real).st_nlink
    except FileNotFoundError:
        return False
    return links > 1 or not open_folder(os.path.dirname(real))


def write_in_place(path, data):
    """Rewrite the file ``path`` in its own inode, so that each of its names
    sees the new content, with a rollback copy kept until the rewrite is
    synced.  The room is claimed first, so that a full disk leaves the old
    content whole; the caller holds the file's lock, so no other tagtool
    sees it half-written."""
    real = os.path.realpath(path)
    with open(real, "r+b") as f:
        fd = f.fileno()
        old = f.read()
        if old == data:
            return
        rollback = Rollback.keep(real, os.fstat(fd), old, data)
        try:
            if len(data) > len(old) and hasattr(os, "posix_fallocate"):
                try:
                    os.posix_fallocate(fd, 0, len(data))
                except OSError as e:
                    if e.errno in (errno.ENOSPC, errno.EDQUOT):
                        raise
                    # A file system that cannot claim room ahead: write as it comes.
            f.seek(0)
            f.write(data)
            f.truncate()
            f.flush()
            os.fsync(fd)
        except BaseException:
            # Stopped by an error or a signal it could handle: the old
            # content goes back now (a kill leaves that to the next tagtool).
            f.seek(0)
            f.write(old)
            f.truncate()
            f.flush()
            os.fsync(fd)
            rollback.drop()
            raise
    rollback.drop()


# Rollback copies

def state_folder():
    """The folder of the rollback copies of files in closed folders: the
    user's state folder."""
    from .places import user_dir

    return user_dir("state")


def _digest(data):
    import hashlib

    return hashlib.sha256(data).hexdigest()


def _blocks(data):
    """The short hash of each BLOCK of ``data``, the last one maybe shorter."""
    import hashlib

    view = memoryview(data)
    return [hashlib.blake2b(view[i:i + BLOCK], digest_size=8).hexdigest()
            for i in range(0, len(data), BLOCK)]


class Rollback:
    """A rollback copy and its record: the copy ``copy`` (a path) of the old
    content of the file ``file``, and the record at ``path``, a JSON object."""

    def __init__(self, path, record):
        self.path, self.record = path, record

    @classmethod
    def keep(cls, real, info, old, new):
        """Save ``old``, the content of the file ``real`` (os.stat ``info``),
        and the record of its rewrite to ``new``, synced; beside the file, or
        in the state folder when its folder is closed."""
        import json

        folder = os.path.dirname(real)
        if not open_folder(folder):
            folder = state_folder()
            try:
                os.makedirs(folder, mode=0o700, exist_ok=True)
            except OSError as e:
                raise Failure(f"{real}: nothing written: cannot keep a rollback copy in "
                              f"{folder}: {e.strerror or e}", write_status(e)) from None
        stem = os.path.join(folder, temp_name(os.path.basename(real)))
        record = {"file": real, "device": info.st_dev, "inode": info.st_ino, "pid": os.getpid(),
                  "copy": stem + COPY, "old": [len(old), _digest(old)],
                  "new": [len(new), _digest(new)], "blocks": _blocks(new), "restoring": False}
        rollback = cls(stem + RECORD, record)
        mode = stat.S_IMODE(info.st_mode) & 0o666 | 0o600      # the file's own readers
        try:
            _create(stem + COPY, old, mode)
            _create(stem + RECORD, json.dumps(record).encode(), mode)
            sync_folder(folder)
        except BaseException as e:
            rollback.drop()
            if not isinstance(e, OSError):
                raise
            raise Failure(f"{real}: nothing written: cannot keep a rollback copy in {folder}: "
                          f"{e.strerror or e}", write_status(e)) from None
        return rollback

    @classmethod
    def read(cls, path):
        """The Rollback of the record at ``path``; None for one cut off while
        it was written (the rewrite never began), which goes with its copy."""
        import json

        try:
            with open(path, "rb") as f:
                record = json.loads(f.read())
            record["file"], record["copy"], record["new"], record["blocks"]
        except FileNotFoundError:
            return None
        except (ValueError, TypeError, KeyError):
            stem = path[:-len(RECORD)]
            for name in (path, stem + COPY):
                remove(name)
            return None
        return cls(path, record)

    def drop(self):
        # The record first: a copy without one is a leftover that is swept.
        # Unsynced: removals that a crash undoes leave a whole file to find.
        for name in (self.path, self.record["copy"]):
            remove(name)

    def mark_restoring(self):
        """Say in the record, atomically, that the copy is being written back."""
        import json

        self.record["restoring"] = True
        temp = self.path + ".part"
        _create(temp, json.dumps(self.record).encode(), 0o600)
        os.replace(temp, self.path)
        sync_folder(os.path.dirname(self.path))

    def matches(self, real, info):
        return real == self.record["file"] or (
            (info.st_dev, info.st_ino) == (self.record["device"], self.record["inode"]))

    def settle(self):
        """Put the file right after the interrupted rewrite (see the module's
        steps) and say what was done."""
        file, copy, record = self.record["file"], self.record["copy"], self.record
        try:
            with open(copy, "rb") as f:
                old = f.read()
        except OSError:
            old = None
        if old is None or [len(old), _digest(old)] != record["old"]:
            warn(f"warning: {file}: a tagtool rewrite of it was cut off, and its rollback copy "
                 f"{copy} is missing or damaged: the file was left as it is")
            remove(self.path)
            return
        try:
            f = open(file, "r+b")
        except PermissionError:
            self.refuse_half_written(file, old)
            return
        except OSError as e:
            self.keep_copy(f"cannot be opened ({e.strerror or e})")
            return
        with f:
            content = f.read()
            size_hash = [len(content), _digest(content)]
            if size_hash in (record["old"], record["new"]):
                note(f"{file}: found whole after a tagtool rewrite that was cut off; removed its "
                     "rollback copy")
            elif record["restoring"] or interrupted(content, old, record):
                self.mark_restoring()
                f.seek(0)
                f.write(old)
                f.truncate()
                f.flush()
                os.fsync(f.fileno())
                note(f"{file}: restored its content from before a tagtool rewrite that was cut "
                     "off")
            else:
                self.keep_copy("has been changed since")
                return
        self.drop()

    def refuse_half_written(self, file, old):
        """For a user who may read the file but not write it: refuse it when
        it is as the cut-off rewrite left it, and leave all to its writers."""
        from .output import NO_PERMISSION

        with open(file, "rb") as f:
            content = f.read()
        if [len(content), _digest(content)] not in (self.record["old"], self.record["new"]) \
                and interrupted(content, old, self.record):
            raise Failure(f"{file}: half-written by a tagtool rewrite that was cut off, which only "
                          "a user who may write the file can put right (its content before is in "
                          f"{self.record['copy']})", NO_PERMISSION)

    def keep_copy(self, why):
        """Leave the file alone and keep the copy, under a name of its own."""
        file, copy = self.record["file"], self.record["copy"]
        kept = os.path.join(os.path.dirname(copy),
                            os.path.basename(file)[:200] + f".{self.record['pid']}{KEPT}")
        try:
            os.replace(copy, kept)
        except OSError:
            kept = copy
        remove(self.path)
        warn(f"warning: {file}: a tagtool rewrite of it was cut off, and the file {why}: left "
             f"as it is; its content from before that rewrite is in {kept}")


def _create(path, data, mode):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
    with os.fdopen(fd, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(fd)


def agree_from(a, b):
    """The smallest k for which a[k:] == b[k:] (``a`` and ``b`` of one
    length): compared a TAIL at a time from the end, then halved."""
    end = len(a)
    while end > 0:
        start = max(0, end - TAIL)
        if a[start:end] != b[start:end]:
            break
        end = start
    else:
        return 0
    while start < end:
        middle = (start + end) // 2
        if a[middle:len(a)] == b[middle:len(b)]:
            end = middle
        else:
            start = middle + 1
    return start


def interrupted(content, old, record):
    """Whether ``content`` is what a rewrite of ``old`` to the new content of
    ``record`` leaves when cut off: the new content's first bytes, then the
    old content's rest (NUL bytes where the room claimed goes past it), or
    NUL bytes alone, at the old or the new content's size.  The new bytes
    are checked against the record's block hashes up to the end of the
    block where the rest begins: a write from the file's start stops at a
    page's end when it is killed (Linux), and a block is a page."""
    size, new_size = len(content), record["new"][0]
    if size not in (len(old), new_size):
        return False
    blocks = record["blocks"]
    for rest in (old[:size] + bytes(max(0, size - len(old))), bytes(size)):
        start = agree_from(content, rest)
        written = min(-(-start // BLOCK) * BLOCK, new_size)
        if start <= new_size and _blocks(content[:written]) == blocks[:-(-written // BLOCK)]:
            return True
    return False


def _leftovers(folder, stem=None):
    """The temporary files in ``folder`` (of ``stem``, and the records of
    any file) whose writer is gone: (their paths, the records among them)."""
    try:
        names = os.listdir(folder)
    except OSError:
        return [], []
    found = [name for name in names
             if (writer_of(name, stem) is not None or name.endswith(RECORD))
             and writer_of(name) is not None and writer_gone(writer_of(name))]
    return found, [os.path.join(folder, name) for name in found if name.endswith(RECORD)]


def settle(path, locked=False):
    """Put the file ``path`` right, as the module says, when a rewrite of it
    was cut off, and remove the temporary files of its dead writers: under
    the file's lock, which FileLock calls this with (``locked``); else the
    lock is taken here when there is something to do."""
    from .filelock import FileLock

    real = os.path.realpath(path)
    folder, stem = os.path.split(real)
    found, records = _leftovers(folder, stem)
    if not found:
        return
    if not locked and real not in FileLock.held:
        with FileLock(path):        # which settles
            return
    try:
        info = os.stat(real)
    except OSError:
        return
    for record in records:
        rollback = Rollback.read(record)
        if rollback is not None and rollback.matches(real, info):
            rollback.settle()
    sweep(folder, stem)


def settle_leftovers():
    """Settle every rollback whose record lies in the user's state folder
    (the files of closed folders), each under its file's lock, then remove
    the temporary files there whose writer is gone.  One that cannot be
    settled now (its file locked) is told and kept for the next command."""
    folder = state_folder()
    found, records = _leftovers(folder)
    if not found:
        return
    from .filelock import FileLock

    keep = set()
    for path in records:
        rollback = Rollback.read(path)
        if rollback is None:
            continue
        try:
            with FileLock(rollback.record["file"]):
                if os.path.exists(path):
                    rollback.settle()
        except Failure as e:
            warn(f"warning: {e}: a rewrite of it that was cut off is put right later")
            keep.update(os.path.basename(name) for name in (path, rollback.record["copy"]))
    sweep(folder, keep=keep)
