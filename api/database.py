"""The application's network databases, on SQLite (the default) or PostgreSQL.

The database in force is named by a URL: the one given to
``set_database_url(url)``, else the environment variable
``ORVANE_DATABASE_URL``, else none, which means SQLite.

SQLite (no URL, or ``sqlite:`` followed by an optional folder): a network named
``N`` lives in the file ``N.db`` of the data folder: the folder given to
``set_data_dir(path)``, else the folder of the URL, else ``ORVANE_DATA_DIR``,
else ``./data`` under the working directory.  ``set_data_dir(":memory:")``
keeps networks in memory instead, for tests: they last until the process ends,
``delete_network`` or the next ``set_data_dir``.  The file is in WAL mode and
its tables are made once, by ``create_network``.  Every write runs in one
``BEGIN IMMEDIATE`` transaction, so two processes writing to one network wait
for each other instead of losing work; before it, a writer takes an ``flock``
of the file ``N.db-lock``, so that a waiting writer wakes the moment the one
before it is done instead of sleeping in SQLite's busy handler.  Reads go
through a connection of their own, opened read-only: they take no lock that a
writer holds, so a reader never waits for a writer, and they work on a
read-only folder or file (opened ``immutable`` where the folder is read-only
and no write-ahead log lies beside the file, since nobody can be writing
there).  A write to read-only storage raises ReadOnlyError naming the folder
or file.

PostgreSQL (``postgresql://...`` or ``postgres://...``, a libpq URL): a network
named ``N`` is the schema ``"orvane:N"`` of that database (``"orvane#"`` and a
hash of the name when the name is too long for an identifier; the name itself
is the schema's comment), made by ``create_network``.  Each write sets
``search_path`` to the network's schema for its transaction, and a read for
the session, so the same SQL text runs on both backends.  The server must have
``standard_conforming_strings`` on and UTF8 as its encoding, so that quotes,
backslashes, line feeds and any other text are stored exactly as written;
otherwise every call refuses with UnsuitableDatabaseError.  Every write takes
the lock ``EXCLUSIVE`` on the network's journal table first, so the writers of
one network run one after another, as on SQLite, while readers go on: a read
is one statement in a read-only transaction of its own, and takes no lock that
a writer holds.  Serialisable transactions with retries would buy nothing here:
every command reads the journal (undo and redo pick its newest or oldest entry)
and replaces whole rows (delete, then insert), so any two writers of a network
conflict and one of them would be rolled back and retried, over and over with
eight at once; waiting on one lock does the same work once and needs no retry.
A command's statements go to the server in two simple queries: the lock with
the rows it checks, then its SQL, the journal entry and the commit.  A writer
waits at most ``BUSY_TIMEOUT``.

Each network holds the tag tables ``tags_node`` and ``tags_link`` and the undo
journal, so undo and redo outlive the process, and every command runs in one
transaction: all of it is stored or none of it.  A text holding a NUL
character, which neither database stores, is refused with ValueError before
anything is written.  The drivers' own exceptions (``sqlite3``, ``psycopg``)
pass through; ``Error`` and ``IntegrityError`` are tuples of their classes for
``except`` clauses, to be read there: psycopg's classes join them only once a
PostgreSQL database has been used, so that SQLite alone never loads psycopg.

The undo history tells the truth.  A command is built from what its builder
read (``orvane._set_tag`` reads the stored tag, then hands a DbChangeSet to
``execute_command``), and another writer may change that tag in between.  So
``execute_command``, inside its locked transaction, checks every element that
its undo records name (records of type "tag": ``t_type``, ``id``, ``tag``):
each must still hold the record's tag, None meaning no tag (no row, or a row
whose tag is NULL).  If one does not, nothing is written and ConflictError
tells which element differs, what it holds and what was expected; the caller
builds the command again from what is stored now and retries.  Undo and redo
check the entry they replay the same way: undo expects the tags that the
command's redo records left, redo those that its undo records left, so neither
overwrites a row that a write outside the journal (``execute_batch``) changed.
An import is one journaled command too (``execute_import``): the journal
keeps, beside its entry, one row (t_type, id, old tag, new tag) for each
element it touched, not its SQL, and undo and redo restore those tags with
set-wide statements, at a million tags as at one.
"""

import _thread
import os
import re
import sqlite3
import sys
from itertools import repeat

try:
    import fcntl
except ImportError:      # Windows: writers wait in SQLite's busy handler alone
    fcntl = None

__all__ = [
    "ChangeSet", "DbChangeSet", "NetworkNotFoundError", "UnsuitableDatabaseError", "ConflictError",
    "ReadOnlyError", "g_update_prefix", "read_all", "try_read", "execute_command", "execute_import",
    "execute_batch", "undo", "redo",
    "journal", "create_network", "delete_network", "list_networks",
    "network_exists", "set_data_dir", "data_dir", "set_database_url",
    "database_url", "backend_name", "close_all",
]

MEMORY = ":memory:"
BUSY_TIMEOUT = 30.0   # seconds a writer waits for another one to finish
MAX_NAME_LENGTH = 200
SCHEMA_PREFIX = "orvane:"
LONG_SCHEMA_PREFIX = "orvane#"
_MAX_IDENTIFIER = 63  # bytes in a PostgreSQL identifier

g_update_prefix = {"operation": "update"}


class NetworkNotFoundError(LookupError):
    """The named network has no database."""


class UnsuitableDatabaseError(RuntimeError):
    """The database server would not store SQL texts exactly as written."""


class ConflictError(RuntimeError):
    """A tag that a command, an undo or a redo expected no longer holds the
    value expected: another writer changed it in between.  Nothing was written;
    build the command again from what is stored now.

    ``network`` names the network; ``t_type`` and ``id`` the first element that
    differs, ``stored`` its tag now and ``expected`` the tag expected (None: no
    tag); ``count`` how many elements differ."""

    def __init__(self, network, t_type, id, stored, expected, count=1, since="this command was read",
                 who="the command"):
        self.network, self.t_type, self.id = network, t_type, id
        self.stored, self.expected, self.count = stored, expected, count
        more = "" if count == 1 else f", and {count - 1} more element{'s differ' if count > 2 else ' differs'}"
        super().__init__(
            f"network {network!r}: {t_type} {id} changed since {since} (it holds {_tag_text(stored)}, "
            f"{who} expected {_tag_text(expected)}{more}); nothing was written")


class ReadOnlyError(PermissionError):
    """A write to a network whose folder or file is read-only; reads work."""


def _tag_text(tag):
    return "no tag" if tag is None else repr(tag)


def __getattr__(name):
    # The driver classes for except clauses; psycopg's only once it is loaded,
    # since none of its exceptions can have been raised before.
    if name in ("Error", "IntegrityError"):
        psycopg = sys.modules.get("psycopg")
        return (getattr(sqlite3, name),) + ((getattr(psycopg, name),) if psycopg else ())
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class ChangeSet:
    """An ordered list of change records (dicts), kept in ``operations``."""

    __hash__ = None

    def __init__(self, *records):
        self.operations = list(records)

    def __len__(self):
        return len(self.operations)

    def __iter__(self):
        return iter(self.operations)

    def __getitem__(self, index):
        return self.operations[index]

    def __eq__(self, other):
        if not isinstance(other, ChangeSet):
            return NotImplemented
        return self.operations == other.operations

    def __repr__(self):
        return f"ChangeSet({', '.join(map(repr, self.operations))})"

    def append(self, record):
        """Add one change record at the end."""
        self.operations.append(record)

    def merge(self, other):
        """Append the records of change set ``other``; return self."""
        self.operations.extend(_change_set(other).operations)
        return self

    def __add__(self, other):
        if not isinstance(other, ChangeSet):
            return NotImplemented
        return ChangeSet(*self.operations, *other.operations)

    def __iadd__(self, other):
        if not isinstance(other, ChangeSet):
            return NotImplemented
        return self.merge(other)


def _change_set(value):
    if not isinstance(value, ChangeSet):
        raise TypeError(f"expected a ChangeSet, not {type(value).__name__}")
    return value


class DbChangeSet:
    """One undoable command: the SQL that applies it and the SQL that reverts
    it, with the change records of each direction.  Two are equal when their
    four fields are."""

    __match_args__ = ("redo_sql", "undo_sql", "redo_cs", "undo_cs")
    __hash__ = None

    def __init__(self, redo_sql, undo_sql, redo_cs, undo_cs):
        self.redo_sql, self.undo_sql, self.redo_cs, self.undo_cs = redo_sql, undo_sql, redo_cs, undo_cs

    def _fields(self):
        return self.redo_sql, self.undo_sql, self.redo_cs, self.undo_cs

    def __eq__(self, other):
        if other.__class__ is not self.__class__:
            return NotImplemented
        return self._fields() == other._fields()

    def __repr__(self):
        return (f"DbChangeSet(redo_sql={self.redo_sql!r}, undo_sql={self.undo_sql!r}, "
                f"redo_cs={self.redo_cs!r}, undo_cs={self.undo_cs!r})")


# Which database: the URL and the data folder

_url = None               # None: ORVANE_DATABASE_URL, else SQLite
_data_dir = None          # None: the URL's folder, else ORVANE_DATA_DIR, else ./data


def _redact(url):
    return re.sub(r"(://[^:/@]*:)[^@/]*@", r"\1***@", url)


def _scheme(url, source):
    """"postgresql" or "sqlite" for the URL ``url``; ValueError for any other."""
    if not isinstance(url, str):
        raise ValueError(f"database URL must be a str, not {type(url).__name__}")
    if url.startswith(("postgresql://", "postgres://")) and "\x00" not in url:
        return "postgresql"
    if url.startswith("sqlite:") and "\x00" not in url:
        return "sqlite"
    raise ValueError(f"unsupported database URL {_redact(url)!r} ({source}): it must begin "
                     "with postgresql://, postgres:// or sqlite:")


def _sqlite_folder(url):
    """The folder of ``sqlite:FOLDER`` or ``sqlite://FOLDER``, or None."""
    folder = url[len("sqlite:"):]
    return (folder[2:] if folder.startswith("//") else folder) or None


def set_database_url(url):
    """Use the database named by ``url`` from now on: ``postgresql://...`` for
    PostgreSQL, ``sqlite:`` or ``sqlite:FOLDER`` for SQLite; None for the
    default.  Closes this process's connections to network files and servers."""
    global _url
    if url is not None:
        _scheme(url, "set_database_url")
    with _lock:
        _close(memory_too=False)
        _url = url


def database_url():
    """The database URL in force, or None for SQLite in the data folder."""
    return _url if _url is not None else os.environ.get("ORVANE_DATABASE_URL") or None


def _source():
    return "set_database_url" if _url is not None else "ORVANE_DATABASE_URL"


def backend_name():
    """"sqlite" or "postgresql": the kind of database in force."""
    url = database_url()
    return "sqlite" if url is None else _scheme(url, _source())


def set_data_dir(path):
    """Keep SQLite networks in the folder ``path`` (":memory:" for memory; None
    for the default).  Closes this process's connections."""
    global _data_dir
    if path is not None and path != MEMORY:
        path = os.fspath(path)
        if not isinstance(path, str) or not path or "\x00" in path:
            raise ValueError(f"data folder must be a non-empty text path, not {path!r}")
    with _lock:
        _close(memory_too=True)
        _data_dir = path


def data_dir():
    """The SQLite data folder in force as an absolute path, or ":memory:"."""
    url = database_url()
    from_url = _sqlite_folder(url) if url and url.startswith("sqlite:") else None
    path = _data_dir or from_url or os.environ.get("ORVANE_DATA_DIR") or "data"
    return path if path == MEMORY else os.path.abspath(path)


def _check_name(name):
    if not isinstance(name, str):
        raise ValueError(f"network name must be a str, not {type(name).__name__}")
    if (not name or name in (".", "..") or len(name) > MAX_NAME_LENGTH
            or any(c in "/\\" or c < " " for c in name)):
        raise ValueError(
            f"invalid network name {name!r}: it must be a plain file name of 1 to "
            f"{MAX_NAME_LENGTH} characters without path separators or control characters")
    return name


def _check_text(text, what):
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str, not {type(text).__name__}")
    if "\x00" in text:
        store = "PostgreSQL" if backend_name() == "postgresql" else "SQLite"
        raise ValueError(f"{what} holds a NUL character, which {store} cannot store: {text[:80]!r}")
    return text


# Connections: one per network (SQLite) or server (PostgreSQL) and process,
# made lazily

_lock = _thread.RLock()
_connections = {}         # (pid, file path, (":memory:", name) or URL) -> connection


def _reset_after_fork():
    # A parent's lock may be held by a thread the child does not have.  Its
    # SQLite connections stay in the cache under the parent's pid, unused and
    # unclosed.  Its server connections share their sockets with the parent:
    # closing one here would end the parent's session, so the child's copy of
    # the socket is pointed at /dev/null first and only then closed.
    global _lock
    _lock = _thread.RLock()
    for key in [k for k, conn in _connections.items() if not isinstance(conn, sqlite3.Connection)]:
        conn = _connections.pop(key)
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


def _close(memory_too):
    # Readers first: the last connection to a network file, which clears its
    # write-ahead log away, has to be one that may write.
    pid = os.getpid()
    for key in sorted((k for k in _connections if k[0] == pid), key=len, reverse=True):
        if memory_too or not isinstance(key[1], tuple):
            _connections.pop(key).close()


def close_all():
    """Close this process's connections to network files and servers; the
    next use opens them again.  In-memory networks are kept."""
    with _lock:
        _close(memory_too=False)


def _backend():
    url = database_url()
    if url is not None and _scheme(url, _source()) == "postgresql":
        return _Postgres(url)
    return _SQLite(data_dir())


def _connect(name, create=False):
    """The connection that serves network ``name`` (with ``create``, made when
    needed).  Caller holds ``_lock``."""
    backend = _backend()
    if create:
        backend.create(_check_name(name))
    return backend.connect(_check_name(name))


TABLES = {"NODE": "tags_node", "LINK": "tags_link"}


def _journal_statements(p, distinct):
    """The journal's parameterised statements, with the placeholder ``p`` and
    the null-safe comparison ``distinct`` of the backend."""
    sql = {
        "add": f"insert into undo_journal (redo_sql, undo_sql, redo_cs, undo_cs) values ({p}, {p}, {p}, {p})"
               " returning seq",
        "mark": f"update undo_journal set undone = {p} where seq = {p}",
        "summary": f"update undo_journal set redo_cs = {p}, undo_cs = {p} where seq = {p}",
        "add_change": f"insert into journal_changes (seq, t_type, id, old_tag, new_tag) values ({p}, {p}, {p}, {p}, {p})",
    }
    # The changes of an import entry, by table: how many rows differ from the
    # column expected, the first of them, the removal of the rows of every
    # element the entry names and the insertion of the tags of a column.
    for t_type, table in TABLES.items():
        differ = (f"from journal_changes c left join {table} t on t.id = c.id"
                  f" where c.seq = {p} and c.t_type = '{t_type}' and t.tag {distinct} c.{{expect}}")
        sql[t_type] = {
            "count": f"select count(*) as n {differ}",
            "first": f"select c.id, t.tag as stored, c.{{expect}} as expected {differ} order by c.id limit 1",
            "clear": f"delete from {table} where id in"
                     f" (select id from journal_changes where seq = {p} and t_type = '{t_type}')",
            "restore": f"insert into {table} (id, tag) select id, {{put}} from journal_changes"
                       f" where seq = {p} and t_type = '{t_type}' and {{put}} is not null",
        }
    return sql


_NEWEST_APPLIED_SEQ = "coalesce((select seq from undo_journal where not undone order by seq desc limit 1), 0)"
DROP_UNDONE = (f"delete from journal_changes where seq > {_NEWEST_APPLIED_SEQ}",
               f"delete from undo_journal where seq > {_NEWEST_APPLIED_SEQ}")
# Undone entries are always the newest ones: undo marks the newest applied
# entry, redo the oldest undone one, and a new command drops every undone one.
NEWEST_APPLIED = ("select seq, undo_sql as sql, redo_cs as expect, undo_cs as cs from undo_journal"
                  " where not undone order by seq desc limit 1")
OLDEST_UNDONE = ("select seq, redo_sql as sql, undo_cs as expect, redo_cs as cs from undo_journal"
                 f" where undone and seq > {_NEWEST_APPLIED_SEQ} order by seq limit 1")
CHANGES_TABLE = ("create table if not exists journal_changes (seq bigint not null, t_type text not null,"
                 " id text not null, old_tag text, new_tag text, primary key (seq, t_type, id))")


# SQLite

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


def _rows(cursor, limit=None):
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


def _in_transaction(conn, work):
    """Run ``work()`` in one SQLite write transaction and return its result;
    on any failure roll back and raise."""
    conn.execute("begin immediate")
    try:
        result = work()
        conn.execute("commit")
    except BaseException:
        if conn.in_transaction:
            conn.rollback()
        raise
    return result


class _SQLiteTransaction:
    sql = _journal_statements("?", "is not")

    def __init__(self, conn):
        self.conn = conn

    def script(self, text):
        for statement in _statements(text):
            self.conn.execute(statement)

    def rows(self, sql, params=()):
        return _rows(self.conn.execute(sql, params))

    def run(self, sql, params=()):
        self.conn.execute(sql, params)

    def tags(self, keys):
        """The stored tags of the elements ``keys`` ((t_type, id) pairs) that
        have a row."""
        found = {}
        for t_type, id in keys:
            row = self.conn.execute(f"select tag from {TABLES[t_type]} where id = ?", (id,)).fetchone()
            if row is not None:
                found[t_type, id] = row[0]
        return found

    def add_changes(self, seq, changes):
        self.conn.executemany(self.sql["add_change"], ((seq, *change) for change in changes))

    def statements(self, texts):
        # One cursor for them all; each text is new to the statement cache, so
        # the connection's cache is left alone (it keeps the journal's).
        execute = self.conn.cursor().execute
        for text in texts:
            execute(text)               # refuses a text of more than one statement


class _Connection(sqlite3.Connection):
    """A connection to a network file, with the lock file that its writes take."""

    lock = None

    def close(self):
        super().close()
        if self.lock is not None:
            self.lock.close()
            self.lock = None


class _WriteLock:
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


def _read_only(path, what):
    return ReadOnlyError(f"{what} {path} is read-only: nothing was written")


class _SQLite:
    """Networks as the files ``N.db`` of a folder, or in memory."""

    SCHEMA = (
        "create table if not exists tags_node (id text primary key, tag text)",
        "create table if not exists tags_link (id text primary key, tag text)",
        "create table if not exists undo_journal ("
        " seq integer primary key autoincrement,"
        " redo_sql text not null, undo_sql text not null,"
        " redo_cs text not null, undo_cs text not null,"
        " undone integer not null default 0)",
        CHANGES_TABLE + " without rowid",
    )

    def __init__(self, folder):
        self.folder = folder

    def location(self, name):
        if self.folder == MEMORY:
            return (MEMORY, name)
        return os.path.join(self.folder, name + ".db")

    def _open(self, name, location, mode):
        try:
            import pathlib

            return sqlite3.connect(pathlib.Path(location).as_uri() + "?mode=" + mode, uri=True,
                                   timeout=BUSY_TIMEOUT, isolation_level=None,
                                   check_same_thread=False, factory=_Connection)
        except sqlite3.OperationalError:
            if not os.path.exists(location):
                raise NetworkNotFoundError(
                    f"no network named {name!r} in {os.path.dirname(location)}") from None
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
        conn = _connections.get(key)
        if conn is not None:
            return conn
        if isinstance(location, tuple):
            if not create:
                raise NetworkNotFoundError(f"no network named {name!r} in memory")
            conn = sqlite3.connect(MEMORY, isolation_level=None, check_same_thread=False)
        else:
            if create:
                os.makedirs(os.path.dirname(location), exist_ok=True)
            elif not os.path.exists(location):
                raise NetworkNotFoundError(f"no network named {name!r} in {os.path.dirname(location)}")
            self._writable(location)
            conn = self._open(name, location, "rwc" if create else "rw")
            try:
                conn.lock = _WriteLock(location + "-lock") if fcntl else None
            except BaseException:
                conn.close()
                raise
        _connections[key] = conn
        return conn

    def reader(self, name):
        """The connection through which this process reads network ``name``:
        a read-only one, which takes no write lock and works on read-only
        storage too."""
        location = self.location(name)
        if isinstance(location, tuple):
            return self.connect(name)
        key = (os.getpid(), location, "ro")
        conn = _connections.get(key)
        if conn is None:
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
            _connections[key] = conn
        return conn

    def create(self, name):
        conn = self.connect(name, create=True)
        try:
            if not isinstance(self.location(name), tuple):
                conn.execute("pragma journal_mode = wal")
            _in_transaction(conn, lambda: [conn.execute(sql) for sql in self.SCHEMA])
        except BaseException:
            self.forget(name)
            raise

    def forget(self, name):
        location = self.location(name)
        reader = _connections.pop((os.getpid(), location, "ro"), None)
        if reader is not None:
            reader.close()
        conn = _connections.pop((os.getpid(), location), None)
        if conn is not None:
            conn.close()
        return conn

    def exists(self, name):
        location = self.location(name)
        if isinstance(location, tuple):
            return (os.getpid(), location) in _connections
        return os.path.isfile(location)

    def names(self):
        if self.folder == MEMORY:
            pid = os.getpid()
            return [k[1][1] for k in _connections if k[0] == pid and isinstance(k[1], tuple)]
        try:
            files = os.listdir(self.folder)
        except FileNotFoundError:
            return []
        return [f[:-3] for f in files if f.endswith(".db") and os.path.isfile(os.path.join(self.folder, f))]

    def delete(self, name):
        location = self.location(name)
        conn = self.forget(name)
        if isinstance(location, tuple):
            if conn is None:
                raise NetworkNotFoundError(f"no network named {name!r} in memory")
            return
        if not os.path.isfile(location):
            raise NetworkNotFoundError(f"no network named {name!r} in {os.path.dirname(location)}")
        self._writable(location)
        os.remove(location)
        for suffix in ("-wal", "-shm", "-lock"):
            try:
                os.remove(location + suffix)
            except FileNotFoundError:
                pass

    def write(self, name, work):
        conn = self.connect(name)
        lock = getattr(conn, "lock", None)
        if lock is not None and not lock.acquire(BUSY_TIMEOUT):
            raise sqlite3.OperationalError(
                f"database is locked: another writer held network {name!r} for {BUSY_TIMEOUT:g} s")
        try:
            return _in_transaction(conn, lambda: work(_SQLiteTransaction(conn)))
        except sqlite3.OperationalError as e:
            location = self.location(name)
            if getattr(e, "sqlite_errorcode", 0) & 0xff == 8 and not isinstance(location, tuple):
                self._writable(location)        # SQLITE_READONLY: say which is read-only
            raise
        finally:
            if lock is not None:
                lock.release()

    def read(self, name, sql, limit):
        conn = self.reader(name)
        if not isinstance(self.location(name), tuple):
            return _rows(conn.execute(sql), limit)
        conn.execute("pragma query_only = on")
        try:
            return _rows(conn.execute(sql), limit)
        finally:
            conn.execute("pragma query_only = off")


# PostgreSQL

_CATALOGUE_LOCK = 0x6f7276616e65    # advisory lock held while networks are made or dropped


def _quote_ident(identifier):
    return '"' + identifier.replace('"', '""') + '"'


def _quote_text(text):
    # Exact only with standard_conforming_strings on, which check() makes sure of.
    return "'" + text.replace("'", "''") + "'"


def _schema(name):
    """The schema of network ``name``: readable when the name fits in an
    identifier, else a hash of it."""
    schema = SCHEMA_PREFIX + name
    if len(schema.encode()) > _MAX_IDENTIFIER:
        import hashlib

        schema = LONG_SCHEMA_PREFIX + hashlib.sha256(name.encode()).hexdigest()[:40]
    return schema


def _rollback(conn):
    """End a failed transaction, keeping the error that failed it."""
    try:
        if not conn.closed:
            conn.execute("rollback")
    except Exception:
        conn.close()    # in an unknown state: the next use connects anew


class _PostgresTransaction:
    """One write transaction on a network's schema.  Its statements are held
    back, their parameters bound in the client, and sent together as one
    simple query when a result is needed or at the commit, so that a command
    costs two round trips: the lock with the rows it checks, then its SQL,
    the journal and the commit."""

    sql = _journal_statements("%s", "is distinct from")
    CHUNK = 1 << 20     # characters of statements sent in one query

    def __init__(self, conn, name, where):
        import psycopg
        self.conn, self.name, self.where = conn, name, where
        self.binder = psycopg.ClientCursor(conn)
        self.queue, self.size, self.found = [], 0, None

    def begin(self):
        self.script("begin read write")
        self.run("select set_config('search_path', %s, true) as path from pg_namespace where nspname = %s",
                 (_quote_ident(_schema(self.name)), _schema(self.name)))
        self.found = len(self.queue) - 1        # no row: no such network
        self.script("lock table undo_journal in exclusive mode")

    def script(self, text):
        self.queue.append(text)
        self.size += len(text)
        if self.size >= self.CHUNK:
            self.flush()

    def run(self, sql, params=None):
        self.script(self.binder.mogrify(sql, params) if params else sql)

    def flush(self):
        """Send what is held as one simple query; the rows of its last result."""
        if not self.queue:
            return []
        # Each text on lines of its own: a comment that ends one cannot run on.
        text, self.queue, self.size = "\n;\n".join(self.queue), [], 0
        cursor = self.conn.execute(text)
        results = []
        while True:
            results.append(cursor.fetchall() if cursor.description else [])
            if not cursor.nextset():
                break
        if self.found is not None:
            found, self.found = results[self.found], None
            if not found:
                raise NetworkNotFoundError(f"no network named {self.name!r} in {self.where}")
        return results[-1]

    def rows(self, sql, params=None):
        self.run(sql, params)
        return self.flush()

    def tags(self, keys):
        found = {}
        for t_type, table in TABLES.items():
            ids = [id for t, id in keys if t == t_type]
            if ids:
                marks = ", ".join(["%s"] * len(ids))
                for row in self.rows(f"select id, tag from {table} where id in ({marks})", ids):
                    found[t_type, row["id"]] = row["tag"]
        return found

    def add_changes(self, seq, changes):
        self.flush()
        with self.conn.cursor().copy(
                "copy journal_changes (seq, t_type, id, old_tag, new_tag) from stdin") as copy:
            for change in changes:
                copy.write_row((seq, *change))

    def statements(self, texts):
        for text in texts:
            self.script(text)


class _Postgres:
    """Networks as the schemas of one PostgreSQL database."""

    SCHEMA = (
        "create table tags_node (id text primary key, tag text)",
        "create table tags_link (id text primary key, tag text)",
        "create table undo_journal ("
        " seq bigint generated always as identity primary key,"
        " redo_sql text not null, undo_sql text not null,"
        " redo_cs text not null, undo_cs text not null,"
        " undone boolean not null default false)",
        CHANGES_TABLE,
    )

    def __init__(self, url):
        self.url = url

    def connect(self, name=None):
        key = (os.getpid(), self.url)
        conn = _connections.get(key)
        if conn is not None and conn.closed:
            del _connections[key]       # the server went away: try a new one
            conn = None
        if conn is None:
            try:
                import psycopg
                from psycopg.rows import dict_row
            except ImportError as e:
                raise ImportError("a PostgreSQL database needs the driver psycopg: "
                                  "pip install -r requirements-pg.txt") from e
            conn = psycopg.connect(self.url, autocommit=True, row_factory=dict_row,
                                   client_encoding="utf8", application_name="orvane")
            try:
                self.check(conn)
                conn.execute(f"set lock_timeout = {int(BUSY_TIMEOUT * 1000)}")
                conn.execute("set default_transaction_read_only = on")
            except BaseException:
                conn.close()
                raise
            _connections[key] = conn
        self.check(conn)
        return conn

    def check(self, conn):
        """Refuse a server on which SQL text would not store what it says."""
        status = conn.info.parameter_status
        where = _redact(self.url)
        if status("standard_conforming_strings") != "on":
            raise UnsuitableDatabaseError(
                f"the PostgreSQL server at {where} has standard_conforming_strings off, so "
                "backslashes in quoted texts would be read as escapes: turn it on")
        if status("server_encoding") != "UTF8":
            raise UnsuitableDatabaseError(
                f"the PostgreSQL database at {where} has the encoding {status('server_encoding')}, "
                "which cannot store every text: use a database made with ENCODING 'UTF8'")

    def catalogue(self, work):
        """Run ``work(conn)`` in one transaction that no other making or
        dropping of a network overlaps; return its result, or roll back and
        raise."""
        conn = self.connect()
        conn.execute("begin read write")
        self.forget(conn)
        try:
            conn.execute(f"select pg_advisory_xact_lock({_CATALOGUE_LOCK})")
            result = work(conn)
            conn.execute("commit")
        except BaseException:
            _rollback(conn)
            raise
        return result

    def create(self, name):
        schema = _schema(name)

        def work(conn):
            if conn.execute("select 1 from pg_namespace where nspname = %s", (schema,)).fetchone():
                # A network made before the journal kept imports gains its table.
                conn.execute("select set_config('search_path', %s, true)", (_quote_ident(schema),))
                conn.execute("set local client_min_messages = warning")
                conn.execute(CHANGES_TABLE)
                return
            conn.execute(f"create schema {_quote_ident(schema)}")
            conn.execute(f"comment on schema {_quote_ident(schema)} is {_quote_text(name)}")
            conn.execute("select set_config('search_path', %s, true)", (_quote_ident(schema),))
            for statement in self.SCHEMA:
                conn.execute(statement)
        self.catalogue(work)

    def exists(self, name):
        conn = self.connect()
        found = conn.execute("select 1 from pg_namespace where nspname = %s", (_schema(name),))
        return found.fetchone() is not None

    def names(self):
        rows = self.connect().execute(
            "select obj_description(oid, 'pg_namespace') as name from pg_namespace"
            " where starts_with(nspname, %s) or starts_with(nspname, %s)",
            (SCHEMA_PREFIX, LONG_SCHEMA_PREFIX)).fetchall()
        return [row["name"] for row in rows if row["name"] is not None]

    def delete(self, name):
        schema = _schema(name)

        def work(conn):
            if not conn.execute("select 1 from pg_namespace where nspname = %s", (schema,)).fetchone():
                raise NetworkNotFoundError(f"no network named {name!r} in {_redact(self.url)}")
            conn.execute(f"drop schema {_quote_ident(schema)} cascade")
        self.catalogue(work)

    def write(self, name, work):
        """Run ``work(tx)`` in one transaction on network ``name``'s schema,
        with the journal locked, and return its result, or roll back and raise."""
        tx = _PostgresTransaction(self.connect(), name, _redact(self.url))
        try:
            tx.begin()
            result = work(tx)
            if tx.found is not None:
                tx.flush()          # the network is known to be there before the commit
            tx.script("commit")
            tx.flush()
        except BaseException as e:
            _rollback(tx.conn)
            self.forget(tx.conn)
            if self.gone(tx.conn, name, e):
                raise NetworkNotFoundError(f"no network named {name!r} in {tx.where}") from None
            raise
        return result

    def read(self, name, sql, limit):
        # One statement in a transaction of its own, read-only as every
        # transaction of the session is unless it says otherwise; the session
        # keeps the search path of the network read last.
        conn = self.connect()
        try:
            if getattr(conn, "orvane_network", None) != name:
                conn.orvane_network = None
                if conn.execute("select set_config('search_path', %s, false) from pg_namespace where nspname = %s",
                                (_quote_ident(_schema(name)), _schema(name))).fetchone() is None:
                    raise NetworkNotFoundError(f"no network named {name!r} in {_redact(self.url)}")
                conn.orvane_network = name
            # Binary results go through the extended protocol, which takes one
            # statement only.
            cursor = conn.execute(sql, binary=True)
            if cursor.description is None:
                return []
            return cursor.fetchall() if limit is None else cursor.fetchmany(limit)
        except Exception as e:
            self.forget(conn)
            if self.gone(conn, name, e):
                raise NetworkNotFoundError(f"no network named {name!r} in {_redact(self.url)}") from None
            raise

    @staticmethod
    def forget(conn):
        """Set the search path again at the next read."""
        conn.orvane_network = None

    def gone(self, conn, name, error):
        """Whether a statement failed with ``error`` because network ``name``
        has no schema (any more)."""
        psycopg = sys.modules["psycopg"]
        if not isinstance(error, psycopg.Error) or conn.closed:
            return False
        try:
            return not self.exists(name)
        except psycopg.Error:
            return False


# Networks

def create_network(name):
    """Create network ``name`` with its tables; an existing one is kept."""
    with _lock:
        _backend().create(_check_name(name))


def network_exists(name):
    """Whether network ``name`` has a database."""
    _check_name(name)
    with _lock:
        return _backend().exists(name)


def list_networks():
    """The names of the networks in the data folder or database, sorted."""
    with _lock:
        return sorted(_backend().names())


def delete_network(name):
    """Remove network ``name`` and its database for good."""
    with _lock:
        _backend().delete(_check_name(name))


# Running SQL

def _write(name, work):
    _check_name(name)
    with _lock:
        return _backend().write(name, work)


def _query(name, sql, limit=None):
    """The rows of the one read statement ``sql`` (at most ``limit`` of them)
    as dicts keyed by column name; a statement that writes is refused."""
    _check_name(name)
    _check_text(sql, "sql")
    with _lock:
        return _backend().read(name, sql, limit)


def read_all(name, sql):
    """All rows of the query ``sql`` on network ``name``, as dicts keyed by
    column name."""
    return _query(name, sql)


def try_read(name, sql):
    """The first row of the query ``sql`` as a dict, or None when it has none."""
    rows = _query(name, sql, 1)
    return rows[0] if rows else None


def execute_batch(name, statements):
    """Run ``statements`` (one SQL text or an iterable of them) on network
    ``name`` in one transaction; return how many texts ran.  A batch is not
    journaled: it cannot be undone, and an undo or redo that would overwrite
    a row it changed refuses with ConflictError."""
    texts = [statements] if isinstance(statements, str) else list(statements)
    for i, text in enumerate(texts):
        _check_text(text, f"statement {i}")

    def work(tx):
        for text in texts:
            tx.script(text)
        return len(texts)
    return _write(name, work)


# Commands and the undo journal

def _expected(name, records):
    """The tag that each element named by the tag change ``records`` should
    hold, by (t_type, id): the last record of an element wins, since the SQL
    it goes with runs in the records' order."""
    want = {}
    for record in records:
        if (isinstance(record, dict) and record.get("type") == "tag" and record.get("t_type") in TABLES
                and isinstance(record.get("id"), str)):
            tag = record.get("tag")
            if tag is not None and not isinstance(tag, str):
                raise TypeError(f"network {name!r}: the record of {record['t_type']} {record['id']} "
                                f"holds a tag of type {type(tag).__name__}, not str")
            want[record["t_type"], record["id"]] = tag
    return want


def _check(tx, name, want, since, who):
    """Raise ConflictError unless every element of ``want`` holds the tag
    given there; a row whose tag is NULL counts as no tag."""
    if not want:
        return
    stored = tx.tags(want)
    differ = [key for key, tag in want.items() if stored.get(key) != tag]
    if differ:
        t_type, id = differ[0]
        raise ConflictError(name, t_type, id, stored.get(differ[0]), want[differ[0]], len(differ), since, who)


def _drop_undone(tx):
    """Drop the undone entries, which a new command makes unreachable."""
    for sql in DROP_UNDONE:
        tx.run(sql)


def execute_command(name, db_cs):
    """Apply ``db_cs.redo_sql`` on network ``name`` and journal the command for
    undo, in one transaction; return a ChangeSet of its redo records.

    Every element that a record of ``db_cs.undo_cs`` names (records of type
    "tag") must still hold the record's tag (None: no tag): the undo would
    restore it, so it is what the command was built from.  If one does not,
    another writer changed it since the command was read: nothing is written
    and ConflictError is raised, so that the caller can build the command
    again."""
    redo_sql = _check_text(db_cs.redo_sql, "redo_sql")
    undo_sql = _check_text(db_cs.undo_sql, "undo_sql")
    import json

    redo_cs, undo_cs = list(db_cs.redo_cs), list(db_cs.undo_cs)
    want = _expected(name, undo_cs)
    entry = (redo_sql, undo_sql, json.dumps(redo_cs), json.dumps(undo_cs))

    def work(tx):
        _check(tx, name, want, "this command was read", "the command")
        tx.script(redo_sql)
        _drop_undone(tx)
        tx.run(tx.sql["add"], entry)
    _write(name, work)
    return ChangeSet(*redo_cs)


def _import_changes(changes, counts):
    """Check and count the (t_type, id, old_tag, new_tag) tuples ``changes``
    while they are stored."""
    for i, change in enumerate(changes):
        try:
            t_type, id, old, new = change
        except (TypeError, ValueError):
            raise ValueError(f"change {i} must be a tuple (t_type, id, old_tag, new_tag), not {change!r}") from None
        if t_type not in TABLES:
            raise ValueError(f"change {i}: bad tag type {t_type!r}: expected 'NODE' or 'LINK'")
        # Texts without a NUL pass here; any other value gets the checks and
        # their messages.
        if not (type(id) is str and "\x00" not in id
                and (old is None or type(old) is str and "\x00" not in old)
                and (new is None or type(new) is str and "\x00" not in new)):
            _check_text(id, f"change {i}: id")
            for tag, what in ((old, "old_tag"), (new, "new_tag")):
                if tag is not None:
                    _check_text(tag, f"change {i}: {what}")
        if old is None:
            counts["added"] += new is not None
        else:
            counts["changed" if new is not None else "removed"] += old != new
        counts["new"] += new is not None
        yield t_type, id, old, new


def _summary(added, changed, removed):
    return g_update_prefix | {"type": "import", "added": added, "changed": changed, "removed": removed}


def _check_import(tx, name, seq, expect, since, who):
    """Raise ConflictError unless every element of import entry ``seq`` holds
    the tag of its column ``expect`` (old_tag or new_tag)."""
    counts = {t_type: tx.rows(tx.sql[t_type]["count"].format(expect=expect), (seq,))[0]["n"]
              for t_type in TABLES}
    if any(counts.values()):
        t_type = next(t for t, n in counts.items() if n)
        row = tx.rows(tx.sql[t_type]["first"].format(expect=expect), (seq,))[0]
        raise ConflictError(name, t_type, row["id"], row["stored"], row["expected"], sum(counts.values()),
                            since, who)


def _clear_import(tx, seq):
    """Remove the rows of the elements of import entry ``seq``."""
    for t_type in TABLES:
        tx.run(tx.sql[t_type]["clear"], (seq,))


def execute_import(name, statements, changes, baseline=None):
    """Import tags into network ``name`` as one journaled command, so that undo
    takes it back and redo applies it again; return the counts
    ``{"added": a, "changed": c, "removed": r}``.

    ``changes`` holds one (t_type, id, old_tag, new_tag) tuple for each element
    that the import touches, at most once each, with None for no tag;
    ``statements`` the insert statements (one statement a text, as
    ``orvane.inp_in_tag`` builds them) of the elements whose new tag is not
    None.  In one transaction: every old_tag must still be stored
    (ConflictError otherwise, and nothing is written), the rows of the
    elements named are removed, the statements run, and the journal keeps the
    changes themselves, one row each beside the entry, not the statements.
    ``baseline``, a (real path, tags) pair, is stored as that file's
    baseline in the same transaction."""
    import json

    counts = {"added": 0, "changed": 0, "removed": 0, "new": 0}

    def work(tx):
        texts = 0

        def checked():
            nonlocal texts
            for text in statements:
                yield (text if type(text) is str and "\x00" not in text
                       else _check_text(text, f"statement {texts}"))
                texts += 1

        _drop_undone(tx)
        seq = tx.rows(tx.sql["add"], ("", "", "[]", "[]"))[0]["seq"]
        tx.add_changes(seq, _import_changes(changes, counts))
        _check_import(tx, name, seq, "old_tag", "this import was read", "the import")
        _clear_import(tx, seq)
        tx.statements(checked())
        if texts != counts["new"]:
            raise ValueError(f"network {name!r}: {texts} insert statements for {counts['new']} new tags: "
                             "an import gives one for each change whose new tag is not None; nothing was written")
        tx.run(tx.sql["summary"], (json.dumps([_summary(counts["added"], counts["changed"], counts["removed"])]),
                                    json.dumps([_summary(counts["removed"], counts["changed"], counts["added"])]),
                                    seq))
        if baseline is not None:
            _put_baseline(tx, *baseline)
    _write(name, work)
    del counts["new"]
    return counts


def _step(name, select, undone, since, who):
    import json

    def work(tx):
        rows = tx.rows(select)
        if not rows:
            return ChangeSet()
        seq, records = rows[0]["seq"], json.loads(rows[0]["cs"])
        if rows[0]["sql"] == "" and len(records) == 1 and records[0].get("type") == "import":
            expect, put = ("new_tag", "old_tag") if undone else ("old_tag", "new_tag")
            _check_import(tx, name, seq, expect, since, who)
            _clear_import(tx, seq)
            for t_type in TABLES:
                tx.run(tx.sql[t_type]["restore"].format(put=put), (seq,))
        else:
            _check(tx, name, _expected(name, json.loads(rows[0]["expect"])), since, who)
            tx.script(rows[0]["sql"])
        tx.run(tx.sql["mark"], (undone, seq))
        return ChangeSet(*records)
    return _write(name, work)


def undo(name):
    """Revert the newest command still applied; return a ChangeSet of its undo
    records (empty when there is nothing to undo).  Every element that the
    command changed must still hold what the command left there (ConflictError
    otherwise, and nothing is written)."""
    return _step(name, NEWEST_APPLIED, True, "the command to undo was done", "the undo")


def redo(name):
    """Apply again the command undone last; return a ChangeSet of its redo
    records (empty when there is nothing to redo).  Every element that the
    command changes must still hold what its undo left there (ConflictError
    otherwise, and nothing is written)."""
    return _step(name, OLDEST_UNDONE, False, "the command to redo was undone", "the redo")


def journal(name):
    """The journal of network ``name``, oldest command first: dicts with
    ``seq``, ``redo_sql``, ``undo_sql``, ``redo_cs``, ``undo_cs`` and
    ``undone``.  An import shows empty SQL texts and one summary record of
    type "import" with its counts in each direction."""
    import json

    rows = _query(name, "select * from undo_journal order by seq")
    for row in rows:
        row["redo_cs"], row["undo_cs"] = json.loads(row["redo_cs"]), json.loads(row["undo_cs"])
        row["undone"] = bool(row["undone"])
    return rows


# ---------------------------------------------------------------------------
# The linked model and the labels of commands
#
# Two small tables beside the tags, each made by the first write that needs
# it: networks made before them lack them, and a read that finds one missing
# answers as if it were empty, writing nothing.
#   linked_model (path): at most one row, the INP file the network's tags
#     belong to, so that a tool can check ids and draw without being told.
#   command_labels (seq, label): what a journal entry did, in the words of
#     the tool that wrote it, where its records do not say it (an import of a
#     table and a placing by zones are both imports to the journal).
# Values are written as quoted texts, as the tags' own statements are.

_LINKED_MODEL = "create table if not exists linked_model (path text not null)"
_COMMAND_LABELS = "create table if not exists command_labels (seq bigint primary key, label text not null)"
__all__ += ["set_linked_model", "linked_model", "label_newest", "command_labels"]


def _literal(text):
    return "'" + _check_text(text, "text").replace("'", "''") + "'"


def _has_table(name, table):
    """Whether network ``name`` holds the table ``table`` (read only)."""
    if backend_name() == "postgresql":
        sql = ("select count(*) as n from pg_catalog.pg_tables"
               f" where schemaname = current_schema() and tablename = '{table}'")
    else:
        sql = f"select count(*) as n from sqlite_master where type = 'table' and name = '{table}'"
    return _query(name, sql)[0]["n"] > 0


def set_linked_model(name, path):
    """Record ``path`` as the model of network ``name`` (None: no model)."""
    value = None if path is None else _literal(path)

    def work(tx):
        tx.run(_LINKED_MODEL)
        tx.run("delete from linked_model")
        if value is not None:
            tx.run(f"insert into linked_model (path) values ({value})")
    _write(name, work)


def linked_model(name):
    """The model recorded for network ``name``, or None."""
    if not _has_table(name, "linked_model"):
        return None
    rows = _query(name, "select path from linked_model")
    return rows[0]["path"] if rows else None


def label_newest(name, label, records):
    """Label the newest applied journal entry of network ``name`` with
    ``label`` when its redo records are ``records`` (the entry the caller
    just wrote, not another writer's since); whether it was labelled."""
    import json

    text = _literal(label)

    def work(tx):
        rows = tx.rows("select seq, redo_cs from undo_journal where not undone order by seq desc limit 1")
        if not rows or json.loads(rows[0]["redo_cs"]) != list(records):
            return False
        tx.run(_COMMAND_LABELS)
        tx.run(f"delete from command_labels where seq = {int(rows[0]['seq'])}")
        tx.run(f"insert into command_labels (seq, label) values ({int(rows[0]['seq'])}, {text})")
        return True
    return _write(name, work)


def command_labels(name):
    """{seq: label} of the labelled journal entries of network ``name``."""
    if not _has_table(name, "command_labels"):
        return {}
    return {row["seq"]: row["label"] for row in _query(name, "select seq, label from command_labels")}


# Baselines: the tags last exchanged with each INP file
#
# A network remembers, for every file it imported from or exported into, the
# tags the two held in common after that exchange, so that the next exchange
# can tell who changed what since (a three-way merge).  A file is named by its
# real path (os.path.realpath: absolute, symbolic links resolved).  Its tags
# are kept as one compressed blob in the table file_baselines: one entry a
# line, "N" or "L", the id and the tag joined by NUL (the tags of tag lines
# hold no line break).  Networks made before baselines have no table: the
# first write makes it, and a read without it finds no baseline.

BASELINE_TABLE = "file_baselines"
_BASELINE_TYPES = {"NODE": "N", "LINK": "L"}
_BASELINE_NAMES = {"N": "NODE", "L": "LINK"}


def _baseline_text(text):
    return "'" + text.replace("'", "''") + "'"


def _pack_baseline(tags):
    import zlib
    from itertools import islice

    letter, entries = _BASELINE_TYPES, iter(tags.items())
    packer, parts, count = zlib.compressobj(1), [], 0
    # Joined and compressed a slice at a time, so that the entries are
    # never all held as texts.
    while True:
        chunk = "\n".join(f"{letter[t_type]}\0{id}\0{tag}" for (t_type, id), tag in islice(entries, 8192))
        if not chunk:
            break
        lines = chunk.count("\n") + 1
        if chunk.count("\0") != 2 * lines:
            raise ValueError("the ids and tags of a baseline hold neither a line break nor NUL")
        parts.append(packer.compress((("\n" if count else "") + chunk).encode("utf-8", "surrogatepass")))
        count += lines
    parts.append(packer.flush())
    return b"".join(parts)


def _unpack_baseline(blob, keys):
    import zlib

    text = zlib.decompress(bytes(blob)).decode("utf-8", "surrogatepass")
    names, found = _BASELINE_NAMES, {}
    for line in text.split("\n") if text else ():
        t, id, tag = line.split("\0")
        key = (names[t], id)
        if keys is None or key in keys:
            found[key] = tag
    return found


def _put_baseline(tx, path, tags):
    """Store ``tags`` as the baseline of ``path`` within the transaction ``tx``."""
    postgres = backend_name() == "postgresql"
    tx.script(f"create table if not exists {BASELINE_TABLE}"
              f" (path text primary key, tags {'bytea' if postgres else 'blob'} not null)")
    tx.run(f"insert into {BASELINE_TABLE} (path, tags) values ({_baseline_text(path)}, {'%s' if postgres else '?'})"
           " on conflict (path) do update set tags = excluded.tags", (_pack_baseline(tags),))


def read_baseline(name, path, keys=None):
    """The baseline of the file at the real path ``path`` in network ``name``,
    {(t_type, id): tag} (only the elements of ``keys`` when given), or None
    when the network never exchanged tags with it.  Writes nothing."""
    _check_text(path, "path")
    if backend_name() == "postgresql":
        exists = f"select 1 as found from pg_tables where schemaname = current_schema() and tablename = '{BASELINE_TABLE}'"
    else:
        exists = f"select 1 as found from sqlite_master where type = 'table' and name = '{BASELINE_TABLE}'"
    if not _query(name, exists, 1):
        return None
    rows = _query(name, f"select tags from {BASELINE_TABLE} where path = {_baseline_text(path)}", 1)
    return _unpack_baseline(rows[0]["tags"], keys) if rows else None


def write_baseline(name, path, tags):
    """Make ``tags`` ({(t_type, id): tag}) the baseline of the file at the
    real path ``path`` in network ``name``."""
    _check_text(path, "path")
    _write(name, lambda tx: _put_baseline(tx, path, tags))
