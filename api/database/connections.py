"""This process's connections to networks and servers: one per network
(SQLite) or server (PostgreSQL), made lazily by the backends and kept here,
under one lock, until they are closed."""

import _thread
import os
import re
import sys

MEMORY = ":memory:"
BUSY_TIMEOUT = 30.0   # seconds a writer waits for another one to finish

lock = _thread.RLock()
cache = {}            # (pid, file path, (":memory:", name) or URL, ...) -> connection


def redact(url):
    """``url`` with its password, if any, shown as ***."""
    return re.sub(r"(://[^:/@]*:)[^@/]*@", r"\1***@", url)


def _reset_after_fork():
    # A parent's lock may be held by a thread the child does not have.  Its
    # SQLite connections stay in the cache under the parent's pid, unused and
    # unclosed.  Its server connections share their sockets with the parent:
    # closing one here would end the parent's session, so the child's copy of
    # the socket is pointed at /dev/null first and only then closed.
    lock._at_fork_reinit()
    for key in [k for k, conn in cache.items() if hasattr(conn, "pgconn")]:
        conn = cache.pop(key)
        try:
            devnull = os.open(os.devnull, os.O_RDWR)
            try:
                os.dup2(devnull, conn.pgconn.socket)
            finally:
                os.close(devnull)
            conn.close()
        except Exception:
            pass        # already closed: nothing of the parent's to protect


os.register_at_fork(after_in_child=_reset_after_fork)


def close(memory_too):
    """Close this process's connections, in-memory networks too or not.
    Caller holds ``lock``."""
    # Readers first: the last connection to a network file, which clears its
    # write-ahead log away, has to be one that may write.
    pid = os.getpid()
    for key in sorted((k for k in cache if k[0] == pid), key=len, reverse=True):
        if memory_too or not isinstance(key[1], tuple):
            cache.pop(key).close()


def forget_ended_threads():
    """Close the read connections of this process's threads that have ended."""
    threading = sys.modules.get("threading")
    if threading is None:
        return
    alive = {thread.ident for thread in threading.enumerate()}
    for key in [k for k in cache if len(k) == 4 and k[3] not in alive]:
        cache.pop(key).close()
