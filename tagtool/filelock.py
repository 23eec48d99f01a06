"""The advisory lock that makes the tagtools reading and writing one INP file
take turns: an import or an export holds it from reading the file to the
rename of the new one (and the record of the exchange), so that each sees
the result of the one before it.

The lock is an ``flock`` of the file itself, so that nothing is left beside
it.  A writer that replaces the file by a rename leaves those that wait
holding the old one: each checks, once it has the lock, that the name
still leads to the file it locked, and else locks the new one.  A second
tagtool waits up to ``WAIT`` seconds, then gives up with TRY_AGAIN.  Whoever
takes the lock first puts right what a writer killed before it left
(rollback.py): a rewrite cut off, temporary files.
"""

import os
import stat
import time

from .output import TRY_AGAIN, Failure
from .rollback import settle

try:
    import fcntl
except ImportError:         # Windows: no advisory locks, one writer assumed
    fcntl = None

WAIT = 10.0                 # seconds a second tagtool waits for the lock
POLL = 0.02


def regular(path):
    """Whether ``path`` is a regular file.  Only those are locked: a reader
    of our own held open on a FIFO would let a write into it succeed with
    no one to read it, and lose it."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False


class FileLock:
    """``with FileLock(path):`` holds the lock of the file ``path``."""

    held = set()            # the real paths of the files this process holds the lock of

    def __init__(self, path):
        self.path, self.fd = path, None

    def __enter__(self):
        if fcntl is None:
            return self
        deadline = time.monotonic() + WAIT
        while True:
            if not regular(self.path):
                return self
            try:
                fd = os.open(self.path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            except OSError:
                return self         # the read that follows says what is wrong
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                os.close(fd)        # replaced by a FIFO or a device meanwhile
                return self
            if self._take(fd, deadline):
                try:
                    same = os.path.samestat(os.fstat(fd), os.stat(self.path))
                except OSError:
                    same = False
                if same:
                    self.fd = fd
                    self.real = os.path.realpath(self.path)
                    FileLock.held.add(self.real)
                    try:
                        settle(self.path, locked=True)
                    except BaseException:
                        self.__exit__()
                        raise
                    return self
            os.close(fd)            # replaced while waiting: lock the new file

    def _take(self, fd, deadline):
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return True
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    os.close(fd)
                    raise Failure(f"{self.path}: file is locked by another tagtool (waited "
                                  f"{WAIT:g} s); nothing written, try again", TRY_AGAIN) from None
                time.sleep(POLL)

    def __exit__(self, *exc):
        if self.fd is not None:
            FileLock.held.discard(self.real)
            os.close(self.fd)       # closing the descriptor lets the lock go
            self.fd = None
