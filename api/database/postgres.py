"""PostgreSQL: networks as the schemas ``"orvane:N"`` of one database, their
writers kept apart by a lock on the journal table, their reads one
statement in a read-only transaction of its own."""

import _thread
import os
import sys

from .connections import BUSY_TIMEOUT, cache, forget_ended_threads, redact
from .records import DatabaseUnavailableError, UnsuitableDatabaseError, not_found
from .schema import ADD_STAMPS_POSTGRES, POSTGRES, WHOLE, Transaction, journal_statements, schema

SCHEMA_PREFIX = "orvane:"
LONG_SCHEMA_PREFIX = "orvane#"
_MAX_IDENTIFIER = 63  # bytes in a PostgreSQL identifier
CONNECT_TIMEOUT = 10    # seconds, unless the URL gives connect_timeout
_CATALOGUE_LOCK = 0x6f7276616e65    # advisory lock held while networks are made or dropped

# The catalogue: whether a schema is there, and the search path set to it
# (for the transaction, or for the session) when it is.
_FIND = "select 1 from pg_namespace where nspname = %s"
_WHOLE = "select count(*) as n from pg_tables where schemaname = %s and tablename = any(%s)"
_ENTER = "select set_config('search_path', %s, {}) as path from pg_namespace where nspname = %s"


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


def _enter(name, session):
    """The statement and parameters that set the search path to network
    ``name``'s schema; it gives no row when there is none."""
    schema = _schema(name)
    return _ENTER.format("false" if session else "true"), (_quote_ident(schema), schema)


def _rollback(conn):
    """End a failed transaction, keeping the error that failed it."""
    try:
        if not conn.closed:
            conn.execute("rollback")
    except Exception:
        conn.close()    # in an unknown state: the next use connects anew


class PostgresTransaction(Transaction):
    """One write transaction on a network's schema.  Its statements are held
    back, their parameters bound in the client, and sent together as one
    simple query when a result is needed or at the commit, so that a command
    costs two round trips: the lock with the rows it checks, then its SQL,
    the journal and the commit."""

    sql = journal_statements("%s", "is distinct from")
    P = "%s"
    CHUNK = 1 << 20     # characters of statements sent in one query

    def __init__(self, conn, name, where):
        import psycopg
        self.conn, self.name, self.where = conn, name, where
        self.binder = psycopg.ClientCursor(conn)
        self.queue, self.size, self.found, self.flushes, self.journaled = [], 0, None, 0, False
        self.script("begin read write")
        self.run(*_enter(name, session=False))
        self.found = len(self.queue) - 1        # no row: no such network
        # The identifier that the journal entries of this transaction keep.
        self.command_id = os.urandom(16).hex()
        self.run("select set_config('orvane.command', %s, true)", (self.command_id,))
        self.script("lock table undo_journal in exclusive mode")
        self.script(ADD_STAMPS_POSTGRES)        # a network made before entries had a time and a user

    def hold(self):
        self.flush()

    def script(self, text):
        self.queue.append(text)
        self.size += len(text)
        if self.size >= self.CHUNK:
            self.flush()

    def run(self, sql, params=None):
        if sql is self.sql["add"]:
            self.journaled = True
        self.script(self.binder.mogrify(sql, params) if params else sql)

    def flush(self):
        """Send what is held as one simple query; the rows of its last result."""
        if not self.queue:
            return []
        # Each text on lines of its own: a comment that ends one cannot run on.
        text, self.queue, self.size = "\n;\n".join(self.queue), [], 0
        self.flushes += 1
        cursor = self.conn.execute(text)
        results = []
        while True:
            results.append(cursor.fetchall() if cursor.description else [])
            if not cursor.nextset():
                break
        if self.found is not None:
            found, self.found = results[self.found], None
            if not found:
                raise not_found(self.name, self.where)
        return results[-1]

    def rows(self, sql, params=None):
        self.run(sql, params)
        return self.flush()

    def read(self, sql, limit):
        self.flush()
        cursor = self.conn.execute(sql, binary=True)      # one statement only
        if cursor.description is None:
            return []
        return cursor.fetchall() if limit is None else cursor.fetchmany(limit)

    def savepoint(self):
        self.script("savepoint orvane_command")
        self.saved = (len(self.queue) - 1, self.flushes)

    def back_to_savepoint(self):
        at, flushes = self.saved
        if flushes == self.flushes:
            del self.queue[at:]         # none of it reached the server
            self.size = sum(map(len, self.queue))
        else:
            self.queue, self.size = [], 0
            self.conn.execute("rollback to savepoint orvane_command")
            self.conn.execute("release savepoint orvane_command")

    def release_savepoint(self):
        self.script("release savepoint orvane_command")

    def add_changes(self, seq, changes):
        self.flush()
        with self.conn.cursor().copy(
                "copy journal_changes (seq, t_type, id, old_tag, new_tag) from stdin") as copy:
            for change in changes:
                copy.write_row((seq, *change))

    def statements(self, texts):
        for text in texts:
            self.script(text)

    def commit(self):
        if self.found is not None:
            self.flush()          # the network is known to be there before the commit
        self.script("commit")
        self.flush()

    def rollback(self):
        _rollback(self.conn)
        Postgres.forget(self.conn)


class Postgres:
    """Networks as the schemas of one PostgreSQL database."""

    SCHEMA = schema(POSTGRES)
    THREADED_READS = True       # each thread reads through a connection of its own

    def __init__(self, url):
        self.url = url

    def where(self, name=None):
        return redact(self.url)

    def connect(self, name=None, key=None):
        """The connection through which this process writes (or, with
        ``key``, the one cached under that key)."""
        key = key or (os.getpid(), self.url)
        conn = cache.get(key)
        if conn is not None and (conn.closed or conn.broken):
            del cache[key]       # the server went away: try a new one
            conn.close()
            conn = None
        if conn is None:
            try:
                import psycopg
                from psycopg.rows import dict_row
            except ImportError as e:
                raise ImportError("a PostgreSQL database needs the driver psycopg: "
                                  "pip install -r requirements-pg.txt") from e
            timeout = {} if "connect_timeout" in self.url else {"connect_timeout": CONNECT_TIMEOUT}
            try:
                conn = psycopg.connect(self.url, autocommit=True, row_factory=dict_row,
                                       client_encoding="utf8", application_name="orvane", **timeout)
            except psycopg.OperationalError as e:
                raise DatabaseUnavailableError(
                    f"the PostgreSQL server at {self.where()} is unavailable: {str(e).strip()}") from e
            try:
                self.check(conn)
                conn.execute(f"set lock_timeout = {int(BUSY_TIMEOUT * 1000)}")
                conn.execute("set default_transaction_read_only = on")
            except BaseException:
                conn.close()
                raise
            cache[key] = conn
        self.check(conn)
        return conn

    def check(self, conn):
        """Refuse a server on which SQL text would not store what it says."""
        status = conn.info.parameter_status
        where = self.where()
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
        """Make network ``name``'s schema and tables in one transaction, so
        that it is there whole or not at all; True when this made it (or gave
        a schema without them its tables), False when it was there."""
        schema = _schema(name)

        def work(conn):
            if conn.execute(_FIND, (schema,)).fetchone():
                # A network made before the journal kept imports gains its table.
                whole = conn.execute(_WHOLE, (schema, list(WHOLE))).fetchone()["n"] == len(WHOLE)
                conn.execute(*_enter(name, session=False))
                conn.execute("set local client_min_messages = warning")
                for statement in self.SCHEMA:
                    conn.execute(statement)
                conn.execute(f"alter table undo_journal add column if not exists command {POSTGRES['COMMAND']}")
                return not whole
            conn.execute(f"create schema {_quote_ident(schema)}")
            conn.execute(f"comment on schema {_quote_ident(schema)} is {_quote_text(name)}")
            conn.execute(*_enter(name, session=False))
            for statement in self.SCHEMA:
                conn.execute(statement)
            return True
        return self.catalogue(work)

    def exists(self, name):
        return self.connect().execute(_FIND, (_schema(name),)).fetchone() is not None

    def names(self):
        rows = self.connect().execute(
            "select obj_description(oid, 'pg_namespace') as name from pg_namespace"
            " where starts_with(nspname, %s) or starts_with(nspname, %s)",
            (SCHEMA_PREFIX, LONG_SCHEMA_PREFIX)).fetchall()
        return [row["name"] for row in rows if row["name"] is not None]

    def delete(self, name):
        schema = _schema(name)

        def work(conn):
            if not conn.execute(_FIND, (schema,)).fetchone():
                raise not_found(name, self.where())
            conn.execute(f"drop schema {_quote_ident(schema)} cascade")
        self.catalogue(work)

    def begin(self, name):
        """A write transaction on network ``name``'s schema, with the journal
        locked once its first statements reach the server."""
        return PostgresTransaction(self.connect(), name, self.where())

    def failed(self, name, error):
        """Raise NetworkNotFoundError when a write failed with ``error``
        because network ``name`` has no schema (any more)."""
        if self.gone(self.connect_if_open(), name, error):
            raise not_found(name, self.where()) from None

    def fault(self, error, conn=None):
        """The DatabaseUnavailableError that ``error`` (raised on ``conn``,
        else on the write connection) stands for, or None: the server failed
        or the connection to it did."""
        if isinstance(error, DatabaseUnavailableError):
            return error
        psycopg = sys.modules.get("psycopg")
        if psycopg is None or not isinstance(error, (psycopg.OperationalError, psycopg.InterfaceError)):
            return None
        conn = conn or self.connect_if_open()
        first = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        fault = DatabaseUnavailableError(f"the PostgreSQL server at {self.where()} is unavailable: {first}")
        fault.lost = conn is None or conn.closed or conn.broken
        return fault

    def committed(self, name, tx):
        """Whether the transaction ``tx``, whose commit was cut off, left its
        journal entry; None when that cannot be known (it journaled nothing,
        or the server cannot be asked)."""
        if not tx.journaled:
            return None
        try:
            rows = self.connect().execute(
                f"select 1 from {_quote_ident(_schema(name))}.undo_journal where command = %s limit 1",
                (tx.command_id,)).fetchall()
        except Exception:
            return None
        return bool(rows)

    def connect_if_open(self):
        return cache.get((os.getpid(), self.url))

    def reader(self):
        """This thread's read connection, so that no reader waits for a
        writer thread's transaction."""
        key = (os.getpid(), self.url, "ro", _thread.get_ident())
        if key not in cache:
            forget_ended_threads()
        return self.connect(key=key)

    def read(self, name, sql, limit):
        # One statement in a transaction of its own, read-only as every
        # transaction of the session is unless it says otherwise; the session
        # keeps the search path of the network read last.
        conn = self.reader()
        try:
            if getattr(conn, "orvane_network", None) != name:
                conn.orvane_network = None
                if conn.execute(*_enter(name, session=True)).fetchone() is None:
                    raise not_found(name, self.where())
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
                raise not_found(name, self.where()) from None
            fault = self.fault(e, conn)
            if fault is not None:
                raise fault from e
            raise

    @staticmethod
    def forget(conn):
        """Set the search path again at the next read."""
        conn.orvane_network = None

    def gone(self, conn, name, error):
        """Whether a statement failed with ``error`` because network ``name``
        has no schema (any more)."""
        psycopg = sys.modules["psycopg"]
        if conn is None or not isinstance(error, psycopg.Error) or conn.closed:
            return False
        try:
            return not self.exists(name)
        except psycopg.Error:
            return False
