"""SQLite: networks as the files ``N.db`` of a data folder, in WAL mode, their
writers kept apart by ``BEGIN IMMEDIATE`` and woken by an ``flock`` of
``N.db-lock``, their readers on read-only connections of their own."""

import _thread
import errno
import os
import sqlite3
from itertools import repeat

from .connections import BUSY_TIMEOUT, cache, forget_ended_threads
from .records import DatabaseUnavailableError, NetworkNotFoundError, ReadOnlyError, not_found
from .schema import ADD_STAMPS_SQLITE, SQLITE, WHOLE, Transaction, journal_statements, schema
from .tempfiles import remove, sweep, sync_folder, temp_name

from .sqlite_lock import WriteLock, fcntl


def _statements(script):
    """Yield the statements of ``script`` one by one, cut at each semicolon
    that SQLite's own parser sees as the end of a statement (not one inside a
    quoted text or a comment)."""
    start = 0
    end = script.find(";")
    while end != -1:
        if sqlite3.complete_statement(script[start:end + 1]):
            yield script[start:end + 1]
            start = end + 1
        end = script.find(";", end + 1)
    if script[start:].strip():
        yield script[start:]


def dict_rows(cursor, limit=None):
    """The rows of ``cursor`` (at most ``limit``) as dicts keyed by column name."""
    # The rows become dicts as the cursor steps, without a list of tuples
    # beside them, and without a Python loop.
    names = [d[0] for d in cursor.description or ()]
    try:
        rows = cursor if limit is None else cursor.fetchmany(limit)
        if len(names) == 2:
            # The rows of a tag table (id, tag), which a dict display makes
            # faster than dict() does.
            first, second = names
            return [{first: a, second: b} for a, b in rows]
        return list(map(dict, map(zip, repeat(names), rows)))
    finally:
        cursor.close()   # an unfinished statement would keep its read snapshot open


def _os_user():
    """The operating system's user of this process, as the journal names it:
    getpass.getuser()'s answer, without its imports."""
    for name in ("LOGNAME", "USER", "LNAME", "USERNAME"):
        if os.environ.get(name):
            return os.environ[name]
    try:
        import pwd

        return pwd.getpwuid(os.getuid()).pw_name
    except (ImportError, KeyError):
        return str(os.getuid()) if hasattr(os, "getuid") else "unknown"


def _stamps():
    user = _os_user().replace("'", "''").replace("\x00", "")
    return ", made_at, made_by", f", strftime('%Y-%m-%dT%H:%M:%SZ', 'now'), '{user}'"


class SQLiteTransaction(Transaction):
    sql = journal_statements("?", "is not", _stamps())
    P = "?"

    def __init__(self, conn, lock=None):
        self.conn, self.lock = conn, lock
        conn.execute("begin immediate")
        if not conn.stamped:
            self.add_stamps()

    def add_stamps(self):
        """Give the journal of a network made before entries had a time and
        a user their columns (once a connection; the new file made by
        ``create`` has no journal yet)."""
        columns = {row["name"] for row in self.rows("pragma table_info(undo_journal)")}
        if columns and "made_by" not in columns:
            for sql in ADD_STAMPS_SQLITE:
                self.conn.execute(sql)
        self.conn.stamped = bool(columns)

    def hold(self):
        pass                            # BEGIN IMMEDIATE took the lock

    def script(self, text):
        for statement in _statements(text):
            self.conn.execute(statement)

    def rows(self, sql, params=()):
        return dict_rows(self.conn.execute(sql, params))

    def run(self, sql, params=()):
        self.conn.execute(sql, params)

    def read(self, sql, limit):
        self.conn.execute("pragma query_only = on")
        try:
            return dict_rows(self.conn.execute(sql), limit)
        finally:
            self.conn.execute("pragma query_only = off")

    def savepoint(self):
        self.conn.execute("savepoint orvane_command")

    def back_to_savepoint(self):
        self.conn.execute("rollback to orvane_command")
        self.conn.execute("release orvane_command")

    def release_savepoint(self):
        self.conn.execute("release orvane_command")

    def add_changes(self, seq, changes):
        self.conn.executemany(self.sql["add_change"], ((seq, *change) for change in changes))

    def statements(self, texts):
        # One cursor for them all; each text is new to the statement cache, so
        # the connection's cache is left alone (it keeps the journal's).
        execute = self.conn.cursor().execute
        for text in texts:
            execute(text)               # refuses a text of more than one statement

    def commit(self):
        try:
            self.conn.execute("commit")
        finally:
            self.release()

    def rollback(self):
        try:
            if self.conn.in_transaction:
                self.conn.rollback()
        finally:
            self.release()

    def release(self):
        if self.lock is not None:
            self.lock.release()
            self.lock = None


class Connection(sqlite3.Connection):
    """A connection to a network file, with the lock file that its writes take."""

    lock = None
    stamped = False         # the journal has the columns of an entry's time and user

    def close(self):
        super().close()
        if self.lock is not None:
            self.lock.close()
            self.lock = None


def _whole(conn):
    found = conn.execute("select count(*) from sqlite_master where type = 'table' and name in "
                         f"({', '.join('?' * len(WHOLE))})", WHOLE).fetchone()[0]
    return found == len(WHOLE)


def _half_made(name, location):
    return NetworkNotFoundError(
        f"network {name!r} is half-made: its file {location} lacks its tag tables or its journal "
        "(a create cut off): create it again to complete it, or drop it")


def _build(path, statements):
    """A new network file at ``path`` holding the tables ``statements``
    make, in WAL mode, synced, with no write-ahead log beside it."""
    conn = sqlite3.connect(path, isolation_level=None)
    try:
        conn.execute("pragma journal_mode = wal")
        conn.execute("begin immediate")
        for sql in statements:
            conn.execute(sql)
        conn.execute("commit")
    finally:
        conn.close()            # the last connection: the log is checkpointed and goes
    if os.path.exists(path + "-wal"):
        raise DatabaseUnavailableError(f"the SQLite database {path} kept its write-ahead log")
    with open(path, "rb+") as f:
        os.fsync(f.fileno())


def _link(temp, location):
    """Give the file ``temp`` the name ``location`` too, unless a file has
    that name already; whether it did."""
    try:
        os.link(temp, location)
    except FileExistsError:
        return False
    except OSError as e:
        if e.errno not in _NO_LINKS:
            raise
        # A file system without hard links: a rename that replaces nothing
        # (on Windows no rename replaces; elsewhere a check just before).
        if os.name != "nt" and os.path.exists(location):
            return False
        try:
            os.rename(temp, location)
        except FileExistsError:
            return False
    sync_folder(os.path.dirname(location))
    return True


_NO_LINKS = {getattr(errno, n) for n in ("EPERM", "ENOTSUP", "EOPNOTSUPP", "EMLINK", "ENOSYS")
             if hasattr(errno, n)}


def _read_only(path, what):
    return ReadOnlyError(f"{what} {path} is read-only: nothing was written")


class SQLite:
    """Networks as the files ``N.db`` of a folder."""

    SCHEMA = schema(SQLITE)
    THREADED_READS = True       # each thread reads through a connection of its own

    def __init__(self, folder):
        self.folder = folder

    MAX_FILE_NAME = 255             # bytes in a file name
    LONGEST = ".db-journal"         # of the names beside it: -journal, -wal, -shm, -lock

    def location(self, name):
        limit = self.MAX_FILE_NAME - len(self.LONGEST)
        size = len(os.fsencode(name))
        if size > limit:
            raise ValueError(f"invalid network name {name[:20]!r}...: it takes {size} bytes, and a network "
                             f"on SQLite is a file whose name holds at most {limit} bytes of it")
        return os.path.join(self.folder, name + ".db")

    def where(self, name):
        return self.folder

    def _open(self, name, location, mode):
        try:
            import pathlib

            return sqlite3.connect(pathlib.Path(location).as_uri() + "?mode=" + mode, uri=True,
                                   timeout=BUSY_TIMEOUT, isolation_level=None,
                                   check_same_thread=False, factory=Connection)
        except sqlite3.OperationalError:
            if not os.path.exists(location):
                raise not_found(name, self.where(name)) from None
            raise

    def _writable(self, location):
        """Refuse a write where the folder or the file is read-only."""
        folder = os.path.dirname(location)
        if not os.access(folder, os.W_OK):
            raise _read_only(folder, "the data folder")
        if os.path.exists(location) and not os.access(location, os.W_OK):
            raise _read_only(location, "the database file")

    def connect(self, name, create=False):
        """The connection through which this process writes network ``name``."""
        location = self.location(name)
        key = (os.getpid(), location)
        conn = cache.get(key)
        if conn is None:
            conn = cache[key] = self.open_writer(name, location, create)
        return conn

    def open_writer(self, name, location, create):
        if create:
            os.makedirs(os.path.dirname(location), exist_ok=True)
        elif not os.path.exists(location):
            raise not_found(name, self.where(name))
        self._writable(location)
        conn = self._open(name, location, "rwc" if create else "rw")
        try:
            if not create and not _whole(conn):
                raise _half_made(name, location)
            conn.lock = WriteLock(location + "-lock") if fcntl else None
        except BaseException:
            conn.close()
            raise
        return conn

    def reader(self, name):
        """The connection through which this process reads network ``name``:
        a read-only one, which takes no write lock and works on read-only
        storage too."""
        location = self.location(name)
        key = (os.getpid(), location, "ro", _thread.get_ident())
        conn = cache.get(key)
        if conn is None:
            forget_ended_threads()
            conn = self._open(name, location, "ro")
            try:
                conn.execute("pragma schema_version").fetchone()    # the file is opened here
            except sqlite3.OperationalError:
                conn.close()
                # A read-only folder without the write-ahead log beside the
                # file: nobody can be writing, so the file is all there is.
                if os.access(os.path.dirname(location), os.W_OK) or os.path.exists(location + "-wal"):
                    raise
                conn = self._open(name, location, "ro&immutable=1")
            if not _whole(conn):
                conn.close()
                raise _half_made(name, location)
            cache[key] = conn
        return conn

    def create(self, name):
        """Make network ``name``: its file is built under a temporary name
        and linked into place, so that it appears whole or not at all, and
        never over one that appeared meanwhile.  True when this made it (or
        completed one left half-made), False when it was there whole."""
        location = self.location(name)
        folder = os.path.dirname(location)
        os.makedirs(folder, exist_ok=True)
        self._writable(location)
        sweep(folder)
        if not os.path.exists(location):
            temp = os.path.join(folder, temp_name(os.path.basename(location)))
            try:
                _build(temp, self.SCHEMA)
                if _link(temp, location):
                    return True
            finally:
                for suffix in ("", "-wal", "-shm", "-journal"):
                    remove(temp + suffix)
        return self.complete(name)

    def complete(self, name):
        """Give the file of network ``name`` the tables it lacks: all of
        them when an interrupted create left it half-made (True), else the
        side tables and columns that older networks lack (False)."""
        conn = self.connect(name, create=True)
        try:
            self.prepare(conn)
            made = not _whole(conn)
            tx = SQLiteTransaction(conn)
            try:
                for sql in self.SCHEMA:
                    tx.run(sql)
                if not any(row["name"] == "command" for row in tx.rows("pragma table_info(undo_journal)")):
                    tx.run("alter table undo_journal add column command text")    # a network made before
                tx.commit()
            except BaseException:
                tx.rollback()
                raise
        except BaseException:
            self.forget(name)
            raise
        return made

    @staticmethod
    def prepare(conn):
        conn.execute("pragma journal_mode = wal")

    def forget(self, name):
        location, pid = self.location(name), os.getpid()
        for key in [k for k in cache if k[:3] == (pid, location, "ro")] + [(pid, location)]:
            conn = cache.pop(key, None)
            if conn is not None:
                conn.close()
        return conn

    def exists(self, name):
        """Whether network ``name`` is there whole (a file left half-made by
        a create cut off is not)."""
        location = self.location(name)
        if not os.path.isfile(location):
            return False
        try:
            conn = self._open(name, location, "ro")
        except NetworkNotFoundError:
            return False
        try:
            return _whole(conn)
        except sqlite3.DatabaseError:
            return True         # not a network file: its own error tells when it is used
        finally:
            conn.close()

    def names(self):
        try:
            files = os.listdir(self.folder)
        except FileNotFoundError:
            return []
        sweep(self.folder)      # what creates cut off by a kill left
        return [f[:-3] for f in files if f.endswith(".db") and os.path.isfile(os.path.join(self.folder, f))]

    def delete(self, name):
        location = self.location(name)
        self.forget(name)
        if not os.path.isfile(location):
            raise not_found(name, self.where(name))
        self._writable(location)
        os.remove(location)
        for suffix in ("-wal", "-shm", "-lock"):
            try:
                os.remove(location + suffix)
            except FileNotFoundError:
                pass

    def begin(self, name):
        """A write transaction on network ``name``, its writers' lock taken."""
        conn = self.connect(name)
        lock = getattr(conn, "lock", None)
        if lock is not None and not lock.acquire(BUSY_TIMEOUT):
            raise DatabaseUnavailableError(
                f"database is locked: another writer held network {name!r} for {BUSY_TIMEOUT:g} s")
        try:
            return SQLiteTransaction(conn, lock)
        except BaseException as e:
            if lock is not None:
                lock.release()
            self.failed(name, e)
            raise

    def failed(self, name, error):
        """Raise the error that tells why a write of network ``name`` failed
        with ``error``, when it is not ``error`` itself."""
        if isinstance(error, sqlite3.OperationalError) and getattr(error, "sqlite_errorcode", 0) & 0xff == 8:
            self._writable(self.location(name))     # SQLITE_READONLY: say which is read-only

    def read(self, name, sql, limit):
        return dict_rows(self.reader(name).execute(sql), limit)

    # The primary result codes that tell of the file or the lock on it, not
    # of the SQL: busy, locked, out of memory, I/O error, corrupt, full,
    # cannot open, not a database.
    FAULTS = {5: "is busy", 6: "is locked", 7: "is out of memory", 10: "cannot be read or written",
              11: "is corrupt", 13: "is full", 14: "cannot be opened", 26: "is not a database"}

    def fault(self, error):
        """The DatabaseUnavailableError that ``error`` stands for, or None."""
        if isinstance(error, DatabaseUnavailableError):
            return error
        what = self.FAULTS.get(getattr(error, "sqlite_errorcode", 0) & 0xff)
        if not isinstance(error, sqlite3.Error) or what is None:
            return None
        return DatabaseUnavailableError(f"the SQLite database in {self.where(None)} {what}: {error}")

    @staticmethod
    def committed(name, tx):
        return None         # a commit on a local file returns or the process ends
