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
through a connection of their own for each thread, opened read-only: they
take no lock that a writer holds, so a reader never waits for a writer, not
even for a writer thread of its own process, and they work on a
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
anything is written.  A network name is a plain file name of at most
``MAX_NAME_LENGTH`` characters without path separators, control, format or
line and paragraph separator characters (Unicode categories Cc, Cf, Zl, Zp);
on SQLite its file names must also fit, which leaves 244 bytes for the name.

A failure of the server, the file or the connection raises
DatabaseUnavailableError, with the driver's exception as its ``__cause__``.
A connection found cut is replaced once, transparently, when nothing can have
been written: a read, a write cut off before its commit, or one whose commit
was cut off and whose transaction's identifier (the ``command`` of its
journal entries) is not in the journal; found there, it was applied, and is
not applied again.  A batch cut off at its commit cannot be looked for: its
error says so (``applied`` None).  An import is not run again (its input is
read once): its error says whether it was applied.  A connection to a server
that is down fails within ``connect_timeout`` (10 s unless the URL gives it);
the next call connects anew.  Errors of the SQL itself are the drivers' own
(``sqlite3``, ``psycopg``) and pass through; ``Error`` and ``IntegrityError``
are tuples of their classes for ``except`` clauses, to be read there:
psycopg's classes join them only once a PostgreSQL database has been used, so
that SQLite alone never loads psycopg.

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

A command scope, ``with command(name):``, takes the network's write lock
before the command is read: inside it this thread's ``try_read`` and
``read_all`` of that network read in the write transaction and the writes
join it, so nobody can overtake the command and it never conflicts; every
writer that waits for the lock gets it in turn, none of them starves.  The
block is committed at its end, or rolled back when it raises; a write that
fails in it is taken back alone (a savepoint).

An import is one journaled command too (``execute_import``): the journal
keeps, beside its entry, one row (t_type, id, old tag, new tag) for each
element it touched, not its SQL, and undo and redo restore those tags with
set-wide statements, at a million tags as at one.
"""

import sqlite3
import sys

from .records import (ChangeSet, ConflictError, DatabaseUnavailableError, DbChangeSet, NetworkNotFoundError, ReadOnlyError,
                      UnsuitableDatabaseError, g_update_prefix, not_found)
from .schema import DROP_UNDONE, NEWEST_APPLIED, OLDEST_UNDONE, TABLES
from .connections import BUSY_TIMEOUT, MEMORY, redact
from .store import (MAX_NAME_LENGTH, backend, backend_name, close_all, data_dir, database_url, given_data_dir,
                    set_data_dir, set_database_url)
from .transaction import (command, connect, create_network, delete_network, execute_batch, list_networks,
                          network_exists, query, read_all, try_read, write)
from .journal import execute_command, execute_import, journal, redo, undo
from .side_tables import (CorruptRecord, command_labels, exchange_records, keep_map_colours, label_newest,
                          linked_model, map_colours, read_exchange, read_model_cache, set_linked_model,
                          write_exchange, write_model_cache)

__all__ = [
    "ChangeSet", "DbChangeSet", "NetworkNotFoundError", "UnsuitableDatabaseError", "ConflictError",
    "ReadOnlyError", "DatabaseUnavailableError", "g_update_prefix", "read_all", "try_read", "execute_command", "execute_import",
    "execute_batch", "undo", "redo",
    "journal", "create_network", "delete_network", "list_networks",
    "network_exists", "set_data_dir", "data_dir", "set_database_url",
    "database_url", "backend_name", "close_all", "command",
    "set_linked_model", "linked_model", "label_newest", "command_labels", "CorruptRecord",
    "exchange_records", "read_exchange", "write_exchange",
    "read_model_cache", "write_model_cache", "map_colours", "keep_map_colours",
]


def __getattr__(name):
    # The driver classes for except clauses; psycopg's only once it is loaded,
    # since none of its exceptions can have been raised before.
    if name in ("Error", "IntegrityError"):
        psycopg = sys.modules.get("psycopg")
        return (getattr(sqlite3, name),) + ((getattr(psycopg, name),) if psycopg else ())
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
