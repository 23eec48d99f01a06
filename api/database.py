"""The application's network databases, on SQLite (the default) or PostgreSQL.

The database in force is named by a URL: the one given to
``set_database_url(url)``, else the environment variable
``ORVANE_DATABASE_URL``, else none, which means SQLite.

SQLite (no URL, or ``sqlite:`` followed by an optional folder): a network named
``N`` lives in the file ``N.db`` of the data folder: the folder given to
``set_data_dir(path)``, else the folder of the URL, else ``ORVANE_DATA_DIR``,
else ``./data`` under the working directory.  ``set_data_dir(":memory:")``
keeps networks in memory instead, for tests: they last until the process ends,
``delete_network`` or the next ``set_data_dir``.  Every write runs in one
``BEGIN IMMEDIATE`` transaction, so two processes writing to one network wait
for each other instead of losing work.

PostgreSQL (``postgresql://...`` or ``postgres://...``, a libpq URL): a network
named ``N`` is the schema ``"orvane:N"`` of that database (``"orvane#"`` and a
hash of the name when the name is too long for an identifier; the name itself
is the schema's comment), made by ``create_network``.  Each transaction sets
``search_path`` to the network's schema, so the same SQL text runs on both
backends.  The server must have ``standard_conforming_strings`` on and UTF8 as
its encoding, so that quotes, backslashes, line feeds and any other text are
stored exactly as written; otherwise every call refuses with
UnsuitableDatabaseError.  Every write takes the lock ``EXCLUSIVE`` on the
network's journal table first, so the writers of one network run one after
another, as on SQLite, while readers go on.  Serialisable transactions with
retries would buy nothing here: every command reads the journal (undo and redo
pick its newest or oldest entry) and replaces whole rows (delete, then insert),
so any two writers of a network conflict and one of them would be rolled back
and retried, over and over with eight at once; waiting on one lock does the
same work once and needs no retry.  A writer waits at most ``BUSY_TIMEOUT``.

Each network holds the tag tables ``tags_node`` and ``tags_link`` and the undo
journal, so undo and redo outlive the process, and every command runs in one
transaction: all of it is stored or none of it.  A text holding a NUL
character, which neither database stores, is refused with ValueError before
anything is written.  The drivers' own exceptions (``sqlite3``, ``psycopg``)
pass through; ``Error`` and ``IntegrityError`` are tuples of their classes for
``except`` clauses, to be read there: psycopg's classes join them only once a
PostgreSQL database has been used, so that SQLite alone never loads psycopg.
"""

import hashlib
import json
import os
import pathlib
import re
import sqlite3
import sys
import threading
from dataclasses import dataclass

__all__ = [
    "ChangeSet", "DbChangeSet", "NetworkNotFoundError", "UnsuitableDatabaseError", "g_update_prefix",
    "read_all", "try_read", "execute_command", "execute_batch", "undo", "redo",
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


@dataclass
class DbChangeSet:
    """One undoable command: the SQL that applies it and the SQL that reverts
    it, with the change records of each direction."""

    redo_sql: str
    undo_sql: str
    redo_cs: list
    undo_cs: list


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

_lock = threading.RLock()
_connections = {}         # (pid, file path, (":memory:", name) or URL) -> connection


def _reset_after_fork():
    # A parent's lock may be held by a thread the child does not have.  Its
    # SQLite connections stay in the cache under the parent's pid, unused and
    # unclosed.  Its server connections share their sockets with the parent:
    # closing one here would end the parent's session, so the child's copy of
    # the socket is pointed at /dev/null first and only then closed.
    global _lock
    _lock = threading.RLock()
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
    pid = os.getpid()
    for key in [k for k in _connections if k[0] == pid]:
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


def _journal_statements(p):
    """The journal's parameterised statements, with the placeholder ``p``."""
    return {
        "add": f"insert into undo_journal (redo_sql, undo_sql, redo_cs, undo_cs) values ({p}, {p}, {p}, {p})",
        "mark": f"update undo_journal set undone = {p} where seq = {p}",
    }


DROP_UNDONE = "delete from undo_journal where undone"
NEWEST_APPLIED = ("select seq, undo_sql as sql, undo_cs as cs from undo_journal"
                  " where not undone order by seq desc limit 1")
OLDEST_UNDONE = "select seq, redo_sql as sql, redo_cs as cs from undo_journal where undone order by seq limit 1"


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
    names = [d[0] for d in cursor.description or ()]
    rows = cursor.fetchall() if limit is None else cursor.fetchmany(limit)
    cursor.close()   # an unfinished statement would keep its read snapshot open
    return [dict(zip(names, row)) for row in rows]


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
    sql = _journal_statements("?")

    def __init__(self, conn):
        self.conn = conn

    def script(self, text):
        for statement in _statements(text):
            self.conn.execute(statement)

    def rows(self, sql, params=()):
        return _rows(self.conn.execute(sql, params))


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
    )

    def __init__(self, folder):
        self.folder = folder

    def location(self, name):
        if self.folder == MEMORY:
            return (MEMORY, name)
        return os.path.join(self.folder, name + ".db")

    def connect(self, name, create=False):
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
            _in_transaction(conn, lambda: [conn.execute(sql) for sql in self.SCHEMA])
        except BaseException:
            conn.close()
            raise
        _connections[key] = conn
        return conn

    def create(self, name):
        self.connect(name, create=True)

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

    def write(self, name, work):
        conn = self.connect(name)
        return _in_transaction(conn, lambda: work(_SQLiteTransaction(conn)))

    def read(self, name, sql, limit):
        conn = self.connect(name)
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
    sql = _journal_statements("%s")

    def __init__(self, conn):
        self.conn = conn

    def script(self, text):
        # Without parameters psycopg sends the text as one simple query, which
        # may hold many statements; they run inside the open transaction.
        self.conn.execute(text)

    def rows(self, sql, params=()):
        cursor = self.conn.execute(sql, params)
        return cursor.fetchall() if cursor.description else []


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

    def transaction(self, name, work, begin="begin", lock=None):
        """Run ``work(conn)`` in one transaction, with ``search_path`` set to
        the schema of network ``name`` (unless None) and then ``lock`` run;
        return its result, or roll back and raise."""
        conn = self.connect()
        conn.execute(begin)
        try:
            if name is not None and conn.execute(
                    "select set_config('search_path', %s, true) from pg_namespace where nspname = %s",
                    (_quote_ident(_schema(name)), _schema(name))).fetchone() is None:
                raise NetworkNotFoundError(f"no network named {name!r} in {_redact(self.url)}")
            if lock:
                conn.execute(lock)
            result = work(conn)
            conn.execute("commit")
        except BaseException:
            _rollback(conn)
            raise
        return result

    def catalogue(self, work):
        """Run ``work(conn)`` in one transaction that no other making or
        dropping of a network overlaps."""
        return self.transaction(None, work, lock=f"select pg_advisory_xact_lock({_CATALOGUE_LOCK})")

    def create(self, name):
        schema = _schema(name)

        def work(conn):
            if conn.execute("select 1 from pg_namespace where nspname = %s", (schema,)).fetchone():
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
        return self.transaction(name, lambda conn: work(_PostgresTransaction(conn)),
                                lock="lock table undo_journal in exclusive mode")

    def read(self, name, sql, limit):
        def work(conn):
            # Binary results go through the extended protocol, which takes one
            # statement only.
            cursor = conn.execute(sql, binary=True)
            if cursor.description is None:
                return []
            return cursor.fetchall() if limit is None else cursor.fetchmany(limit)
        return self.transaction(name, work, begin="begin read only")


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
    ``name`` in one transaction; return how many texts ran."""
    texts = [statements] if isinstance(statements, str) else list(statements)
    for i, text in enumerate(texts):
        _check_text(text, f"statement {i}")

    def work(tx):
        for text in texts:
            tx.script(text)
        return len(texts)
    return _write(name, work)


def execute_import(name, statements, changes):
    """Stand-in until imports are journaled: apply an import on network
    ``name`` in one transaction.  ``changes`` holds one ``(t_type, id, old,
    new)`` tuple per element touched (None: no row); ``statements`` the insert
    statements of the elements whose new tag is not None.  Returns the counts
    ``{"added": a, "changed": c, "removed": r}``."""
    changes = list(changes)
    texts = list(statements)
    counts = {"added": 0, "changed": 0, "removed": 0}
    for _, _, old, new in changes:
        counts["added" if old is None else "removed" if new is None else "changed"] += 1

    def work(tx):
        for t_type, id, old, _ in changes:
            if old is not None:
                table = "tags_node" if t_type == "NODE" else "tags_link"
                tx.rows(f"delete from {table} where id = " + ("?" if tx.sql["add"].endswith("?)") else "%s"), (id,))
        for text in texts:
            tx.script(text)
    _write(name, work)
    return counts


# Commands and the undo journal

def execute_command(name, db_cs):
    """Apply ``db_cs.redo_sql`` on network ``name`` and journal the command for
    undo, in one transaction; return a ChangeSet of its redo records."""
    redo_sql = _check_text(db_cs.redo_sql, "redo_sql")
    undo_sql = _check_text(db_cs.undo_sql, "undo_sql")
    redo_cs, undo_cs = list(db_cs.redo_cs), list(db_cs.undo_cs)
    entry = (redo_sql, undo_sql, json.dumps(redo_cs), json.dumps(undo_cs))

    def work(tx):
        tx.script(redo_sql)
        tx.rows(DROP_UNDONE)
        tx.rows(tx.sql["add"], entry)
    _write(name, work)
    return ChangeSet(*redo_cs)


def _step(name, select, undone):
    def work(tx):
        rows = tx.rows(select)
        if not rows:
            return ChangeSet()
        tx.script(rows[0]["sql"])
        tx.rows(tx.sql["mark"], (undone, rows[0]["seq"]))
        return ChangeSet(*json.loads(rows[0]["cs"]))
    return _write(name, work)


def undo(name):
    """Revert the newest command still applied; return a ChangeSet of its undo
    records (empty when there is nothing to undo)."""
    return _step(name, NEWEST_APPLIED, True)


def redo(name):
    """Apply again the command undone last; return a ChangeSet of its redo
    records (empty when there is nothing to redo)."""
    return _step(name, OLDEST_UNDONE, False)


def journal(name):
    """The journal of network ``name``, oldest command first: dicts with
    ``seq``, ``redo_sql``, ``undo_sql``, ``redo_cs``, ``undo_cs`` and
    ``undone``."""
    rows = _query(name, "select * from undo_journal order by seq")
    for row in rows:
        row["redo_cs"], row["undo_cs"] = json.loads(row["redo_cs"]), json.loads(row["undo_cs"])
        row["undone"] = bool(row["undone"])
    return rows
