"""The application's network databases: one SQLite database per network.

A network named ``N`` lives in the file ``N.db`` of the data folder: ``./data``
under the working directory, or the folder named by ``ORVANE_DATA_DIR`` or by
``set_data_dir(path)``.  ``set_data_dir(":memory:")`` keeps networks in memory
instead, for tests: they last until the process ends, ``delete_network`` or the
next ``set_data_dir``.

Each database holds the tag tables ``tags_node`` and ``tags_link`` and the undo
journal, so undo and redo outlive the process.  Every write runs in one
``BEGIN IMMEDIATE`` transaction: all of it is stored or none of it, and two
processes writing to one network wait for each other instead of losing work.
"""

import json
import os
import pathlib
import sqlite3
import threading
from dataclasses import dataclass

__all__ = [
    "ChangeSet", "DbChangeSet", "NetworkNotFoundError", "g_update_prefix",
    "read_all", "try_read", "execute_command", "execute_batch", "undo", "redo",
    "journal", "create_network", "delete_network", "list_networks",
    "network_exists", "set_data_dir", "data_dir", "close_all",
]

MEMORY = ":memory:"
BUSY_TIMEOUT = 30.0   # seconds a writer waits for another one to finish
MAX_NAME_LENGTH = 200

g_update_prefix = {"operation": "update"}

_SCHEMA = (
    "create table if not exists tags_node (id text primary key, tag text)",
    "create table if not exists tags_link (id text primary key, tag text)",
    "create table if not exists undo_journal ("
    " seq integer primary key autoincrement,"
    " redo_sql text not null, undo_sql text not null,"
    " redo_cs text not null, undo_cs text not null,"
    " undone integer not null default 0)",
)


class NetworkNotFoundError(LookupError):
    """The named network has no database."""


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


@dataclass
class DbChangeSet:
    """One undoable command: the SQL that applies it and the SQL that reverts
    it, with the change records of each direction."""

    redo_sql: str
    undo_sql: str
    redo_cs: list
    undo_cs: list


# Data folder and network names

_data_dir = None          # None: ORVANE_DATA_DIR, else ./data


def set_data_dir(path):
    """Keep networks in the folder ``path`` (":memory:" for memory; None for
    the default).  Closes this process's connections."""
    global _data_dir
    if path is not None and path != MEMORY:
        path = os.fspath(path)
        if not isinstance(path, str) or not path or "\x00" in path:
            raise ValueError(f"data folder must be a non-empty text path, not {path!r}")
    with _lock:
        _close(memory_too=True)
        _data_dir = path


def data_dir():
    """The data folder in force as an absolute path, or ":memory:"."""
    path = _data_dir or os.environ.get("ORVANE_DATA_DIR") or "data"
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
        raise ValueError(f"{what} holds a NUL character, which SQLite cannot store: {text[:80]!r}")
    return text


# Connections: one per network and process, made lazily

_lock = threading.RLock()
_connections = {}         # (pid, path or (":memory:", name)) -> Connection


def _reset_after_fork():
    # A parent's lock may be held by a thread the child does not have; its
    # connections stay in the cache under the parent's pid, unused and unclosed.
    global _lock
    _lock = threading.RLock()


os.register_at_fork(after_in_child=_reset_after_fork)


def _location(name):
    folder = data_dir()
    if folder == MEMORY:
        return (MEMORY, name)
    return os.path.join(folder, name + ".db")


def _connect(name, create=False):
    """The cached connection to network ``name``, opened (and with ``create``
    made) when needed.  Caller holds ``_lock``."""
    location = _location(_check_name(name))
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
        uri = pathlib.Path(location).as_uri() + ("?mode=rwc" if create else "?mode=rw")
        try:
            conn = sqlite3.connect(uri, uri=True, timeout=BUSY_TIMEOUT,
                                   isolation_level=None, check_same_thread=False)
        except sqlite3.OperationalError:
            if not create and not os.path.exists(location):
                raise NetworkNotFoundError(
                    f"no network named {name!r} in {os.path.dirname(location)}") from None
            raise
    try:
        conn.execute("pragma journal_mode = wal")
        _in_transaction(conn, lambda: [conn.execute(sql) for sql in _SCHEMA])
    except BaseException:
        conn.close()
        raise
    _connections[key] = conn
    return conn


def _close(memory_too):
    pid = os.getpid()
    for key in [k for k in _connections if k[0] == pid]:
        if memory_too or not isinstance(key[1], tuple):
            _connections.pop(key).close()


def close_all():
    """Close this process's connections to network files; the next use opens
    them again.  In-memory networks are kept."""
    with _lock:
        _close(memory_too=False)


# Networks

def create_network(name):
    """Create network ``name`` with its tables; an existing one is kept."""
    with _lock:
        _connect(name, create=True)


def network_exists(name):
    """Whether network ``name`` has a database."""
    location = _location(_check_name(name))
    if isinstance(location, tuple):
        return (os.getpid(), location) in _connections
    return os.path.isfile(location)


def list_networks():
    """The names of the networks in the data folder, sorted."""
    folder = data_dir()
    if folder == MEMORY:
        pid = os.getpid()
        names = [k[1][1] for k in _connections if k[0] == pid and isinstance(k[1], tuple)]
    else:
        try:
            files = os.listdir(folder)
        except FileNotFoundError:
            return []
        names = [f[:-3] for f in files if f.endswith(".db") and os.path.isfile(os.path.join(folder, f))]
    return sorted(names)


def delete_network(name):
    """Remove network ``name`` and its database for good."""
    with _lock:
        location = _location(_check_name(name))
        conn = _connections.pop((os.getpid(), location), None)
        if conn is not None:
            conn.close()
        if isinstance(location, tuple):
            if conn is None:
                raise NetworkNotFoundError(f"no network named {name!r} in memory")
            return
        if not os.path.isfile(location):
            raise NetworkNotFoundError(f"no network named {name!r} in {os.path.dirname(location)}")
        os.remove(location)
        for suffix in ("-wal", "-shm"):
            try:
                os.remove(location + suffix)
            except FileNotFoundError:
                pass


# Running SQL

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


def _run_script(conn, script):
    for statement in _statements(script):
        conn.execute(statement)


def _in_transaction(conn, work):
    """Run ``work()`` in one write transaction and return its result; on any
    failure roll back and raise."""
    conn.execute("begin immediate")
    try:
        result = work()
        conn.execute("commit")
    except BaseException:
        if conn.in_transaction:
            conn.rollback()
        raise
    return result


def _write(name, work):
    with _lock:
        conn = _connect(name)
        return _in_transaction(conn, lambda: work(conn))


def _query(name, sql, limit=None):
    """The rows of the one read statement ``sql`` (at most ``limit`` of them)
    as dicts keyed by column name; a statement that writes is refused."""
    _check_text(sql, "sql")
    with _lock:
        conn = _connect(name)
        conn.execute("pragma query_only = on")
        try:
            return _rows(conn.execute(sql), limit)
        finally:
            conn.execute("pragma query_only = off")


def _rows(cursor, limit=None):
    names = [d[0] for d in cursor.description or ()]
    rows = cursor.fetchall() if limit is None else cursor.fetchmany(limit)
    cursor.close()   # an unfinished statement would keep its read snapshot open
    return [dict(zip(names, row)) for row in rows]


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
    ``name`` in one transaction; return how many texts ran."""
    texts = [statements] if isinstance(statements, str) else list(statements)
    for i, text in enumerate(texts):
        _check_text(text, f"statement {i}")

    def work(conn):
        for text in texts:
            _run_script(conn, text)
        return len(texts)
    return _write(name, work)


# Commands and the undo journal

def execute_command(name, db_cs):
    """Apply ``db_cs.redo_sql`` on network ``name`` and journal the command for
    undo, in one transaction; return a ChangeSet of its redo records."""
    redo_sql = _check_text(db_cs.redo_sql, "redo_sql")
    undo_sql = _check_text(db_cs.undo_sql, "undo_sql")
    redo_cs, undo_cs = list(db_cs.redo_cs), list(db_cs.undo_cs)
    entry = (redo_sql, undo_sql, json.dumps(redo_cs), json.dumps(undo_cs))

    def work(conn):
        _run_script(conn, redo_sql)
        conn.execute("delete from undo_journal where undone")
        conn.execute("insert into undo_journal (redo_sql, undo_sql, redo_cs, undo_cs)"
                     " values (?, ?, ?, ?)", entry)
    _write(name, work)
    return ChangeSet(*redo_cs)


def _step(name, select, undone):
    def work(conn):
        row = conn.execute(select).fetchone()
        if row is None:
            return ChangeSet()
        seq, sql, records = row
        _run_script(conn, sql)
        conn.execute("update undo_journal set undone = ? where seq = ?", (undone, seq))
        return ChangeSet(*json.loads(records))
    return _write(name, work)


def undo(name):
    """Revert the newest command still applied; return a ChangeSet of its undo
    records (empty when there is nothing to undo)."""
    return _step(name, "select seq, undo_sql, undo_cs from undo_journal"
                       " where not undone order by seq desc limit 1", 1)


def redo(name):
    """Apply again the command undone last; return a ChangeSet of its redo
    records (empty when there is nothing to redo)."""
    return _step(name, "select seq, redo_sql, redo_cs from undo_journal"
                       " where undone order by seq limit 1", 0)


def journal(name):
    """The journal of network ``name``, oldest command first: dicts with
    ``seq``, ``redo_sql``, ``undo_sql``, ``redo_cs``, ``undo_cs`` and
    ``undone``."""
    with _lock:
        rows = _rows(_connect(name).execute("select * from undo_journal order by seq"))
    for row in rows:
        row["redo_cs"], row["undo_cs"] = json.loads(row["redo_cs"]), json.loads(row["undo_cs"])
        row["undone"] = bool(row["undone"])
    return rows
