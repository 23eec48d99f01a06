"""The advisory lock that makes the tagtools reading and writing one INP file
take turns: an import or an export holds it from reading the file to the
rename of the new one (and the record of the exchange), so that each sees
the result of the one before it.

The lock is an ``flock`` of the file ``.NAME.tagtool-lock`` beside the
target (a rename would take a lock on the target itself away with the old
file); in a folder that takes no new file, where the file is rewritten in
place, the target itself is locked.  A second tagtool waits up to
``WAIT`` seconds, then gives up with TRY_AGAIN.
"""

import os
import time

from .output import TRY_AGAIN, Failure

try:
    import fcntl
except ImportError:         # Windows: no advisory locks, one writer assumed
    fcntl = None

WAIT = 10.0                 # seconds a second tagtool waits for the lock
POLL = 0.02


def lock_path(real):
    folder, name = os.path.split(real)
    return os.path.join(folder, f".{name}.tagtool-lock")


class FileLock:
    """``with FileLock(path):`` holds the lock of the file ``path`` (its
    real path, as the baselines name it)."""

    def __init__(self, path, shown=None):
        self.real = os.path.realpath(path)
        self.shown = shown or path
        self.fd = None

    def _open(self):
        try:
            return os.open(lock_path(self.real), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        except (PermissionError, OSError):
            return os.open(self.real, os.O_RDONLY | os.O_CLOEXEC)

    def __enter__(self):
        if fcntl is None:
            return self
        self.fd = self._open()
        deadline = time.monotonic() + WAIT
        while True:
            try:
                fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return self
            except BlockingIOError:
                if time.monotonic() >= deadline:
                    os.close(self.fd)
                    self.fd = None
                    raise Failure(f"{self.shown}: file is locked by another tagtool (waited "
                                  f"{WAIT:g} s); nothing written, try again", TRY_AGAIN) from None
                time.sleep(POLL)

    def __exit__(self, *exc):
        if self.fd is not None:
            os.close(self.fd)       # closing the last descriptor lets the lock go
            self.fd = None
