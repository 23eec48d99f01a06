"""The lock file ``N.db-lock`` beside a network file, on which a waiting
SQLite writer sleeps so that it wakes as soon as the writer before it is
done."""

import os

try:
    import fcntl
except ImportError:      # Windows: writers wait in SQLite's busy handler alone
    fcntl = None


class WriteLock:
    """An ``flock`` on the file ``N.db-lock`` beside a network's file, taken by
    every write before ``BEGIN IMMEDIATE``.  SQLite's own lock keeps writers
    apart; this one only makes a waiting writer wake the moment the lock is
    free, where SQLite's busy handler sleeps a fixed while between tries."""

    def __init__(self, path):
        self.path = path
        self.fd = self._open()
        self.waiter = None

    def _open(self):
        return os.open(self.path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o644)

    def acquire(self, timeout):
        """Take the lock, waiting at most ``timeout`` seconds; whether it was taken."""
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except BlockingIOError:
            pass
        if self.waiter is None:
            self.waiter = _Waiter(self.fd)
        if self.waiter.take(timeout):
            return True
        # The waiter goes on waiting on the old descriptor and closes it once it
        # has the lock; the next write waits on a new one.
        self.waiter, self.fd = None, self._open()
        return False

    def release(self):
        fcntl.flock(self.fd, fcntl.LOCK_UN)

    def close(self):
        if self.waiter is not None:
            self.waiter.take(None)          # it lets go of the descriptor
        else:
            os.close(self.fd)


class _Waiter:
    """A thread that takes an flock for a writer: flock cannot time out, but
    the writer's wait for this thread can."""

    def __init__(self, fd):
        import threading        # only a writer that has to wait needs it

        self.fd, self.cond = fd, threading.Condition()
        self.asked = self.taken = False
        self.quit = False
        threading.Thread(target=self.run, daemon=True, name="orvane write lock").start()

    def run(self):
        while True:
            with self.cond:
                self.cond.wait_for(lambda: self.asked)
                if self.quit:
                    break
            fcntl.flock(self.fd, fcntl.LOCK_EX)
            with self.cond:
                if self.quit:
                    break
                self.asked, self.taken = False, True
                self.cond.notify_all()
        os.close(self.fd)

    def take(self, timeout):
        """Whether the lock was taken within ``timeout`` seconds; else (and
        with None) the thread ends, closing the descriptor once it can."""
        with self.cond:
            if timeout is not None:
                self.asked = True
                self.cond.notify_all()
                if self.cond.wait_for(lambda: self.taken, timeout):
                    self.taken = False
                    return True
            self.asked = self.quit = True
            self.cond.notify_all()
            return False
